// The case table: every UTF-16 unit that has a case partner, with its lower,
// upper and fold forms. Units that are not keys map to themselves in all
// three forms. The table itself is generated (see CaseTable.cpp); the lookup
// index over it is built once, on first use.
#ifndef BASALT_UTILITY_CASETABLEINTERNAL_H
#define BASALT_UTILITY_CASETABLEINTERNAL_H

#include <basalt/utility/Export.h>

#include <cstddef>
#include <cstdint>

namespace basalt {
namespace utility {
namespace internal {

enum CaseKind { kCase_Lower = 0, kCase_Upper = 1, kCase_Fold = 2 };

// One form: 1 to 3 units of the basic multilingual plane, none a surrogate.
struct CaseForm {
  std::uint8_t mLength;
  char16_t mUnits[3];
};

struct CaseTableEntry {
  char16_t mKey;
  CaseForm mForms[3];  // indexed by CaseKind
};

// In ascending order of mKey, each key once.
extern const CaseTableEntry kCaseTable[];
extern const std::size_t kCaseTableSize;

// The table's entries for tests that hold them to an independent oracle.
BSL_EXPORT const CaseTableEntry* CaseTableEntries(std::size_t* outCount) noexcept;

}  // namespace internal
}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_CASETABLEINTERNAL_H
