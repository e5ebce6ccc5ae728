// Restores the global C++ locale when a test that changed it ends.
#ifndef BASALT_TESTS_TESTGLOBALLOCALE_H
#define BASALT_TESTS_TESTGLOBALLOCALE_H

#include <locale>

namespace basalt {
namespace testing {

class ScGlobalLocale {
public:
  explicit ScGlobalLocale(const std::locale& inLocale) : mPrevious(std::locale::global(inLocale)) {}
  ~ScGlobalLocale() { std::locale::global(mPrevious); }
  ScGlobalLocale(const ScGlobalLocale&) = delete;
  ScGlobalLocale& operator=(const ScGlobalLocale&) = delete;

private:
  std::locale mPrevious;
};

}  // namespace testing
}  // namespace basalt

#endif  // BASALT_TESTS_TESTGLOBALLOCALE_H
