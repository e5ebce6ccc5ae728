// Uses the installed package the way an application would.
#include <basalt/basalt.h>

#include <cstdio>

int main() {
  using namespace basalt;
  const UTF16String wide = utility::UTF8to16(BSL_UTF8("consumer \xC3\xA9"));
  const UTF8String back = utility::UTF16to8(wide);
  void* block = utility::SmallBlockAllocator::Allocate(100);
  utility::SmallBlockAllocator::Dispose(block, 100);
  if (wide.size() != 10 || back != BSL_UTF8("consumer \xC3\xA9")) {
    std::fprintf(stderr, "round trip failed\n");
    return 1;
  }
  std::printf("consumer ok\n");
  return 0;
}
