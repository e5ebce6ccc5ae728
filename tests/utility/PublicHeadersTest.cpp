// The umbrella header includes every public header, and no public header
// includes a system header of the platform.
#include <basalt/basalt.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

std::string ReadAll(const fs::path& inPath) {
  std::ifstream in(inPath);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(PublicHeaders, UmbrellaIncludesEveryHeaderAndNoSystemHeaderLeaks) {
  const fs::path include = fs::path(BASALT_SOURCE_DIR) / "include";
  const std::string umbrella = ReadAll(include / "basalt" / "basalt.h");
  int headers = 0;
  for (const auto& entry : fs::recursive_directory_iterator(include / "basalt")) {
    if (entry.path().extension() != ".h" || entry.path().filename() == "basalt.h") continue;
    ++headers;
    const std::string name = fs::relative(entry.path(), include).generic_string();
    SCOPED_TRACE(name);
    EXPECT_NE(umbrella.find("#include <" + name + ">"), std::string::npos) << "missing from basalt/basalt.h";
    const std::string text = ReadAll(entry.path());
    for (const char* system : {"<unistd.h>", "<pthread.h>", "<windows.h>", "<sys/", "<dlfcn.h>", "<unicode/"})
      EXPECT_EQ(text.find(std::string("#include ") + system), std::string::npos) << "includes " << system;
  }
  EXPECT_GT(headers, 5);
}

}  // namespace
