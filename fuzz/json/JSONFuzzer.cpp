// Fuzzes JSONParse and GetJSONUTF8String.
//
// Checked on every input:
//  - JSONParse either returns or throws std::runtime_error with one of its
//    documented texts; nothing else escapes, and sanitizers see no fault;
//  - a parsed value is written, and the text parses again, without error, to
//    an equal tree (numbers compare by value: the double 100 is written 100
//    and reads back as an integer);
//  - writing that second tree gives a fixed point: its text parses and writes
//    back to itself;
//  - the writer's double format agrees with printf "%.17g" for every double of
//    the tree and for the first eight input bytes taken as a double.
// A failed check traps.
#include <basalt/serialization/JSON.h>

#include "serialization/JSONInternal.h"
#include "serialization/JSONTestSupport.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace {

namespace bs = basalt::serialization;

void Check(bool inCondition) {
  if (!inCondition) __builtin_trap();
}

bool IsDocumentedError(const char* inText) {
  static const char* const kTexts[] = {
      "ParseValue unexpected char",       "ParsePrimitive unexpected char",
      "AdvanceString: unexpected char",   "EscapeString: unexpected char",
      "ParseArray unexpected char",       "ParseObject unexpected char",
      "ParseNumber: number out of range", "JSONParse: nesting deeper than 512 levels",
  };
  for (const char* text : kTexts)
    if (std::strcmp(text, inText) == 0) return true;
  return false;
}

void CheckDouble(double inValue) {
  if (!std::isfinite(inValue)) return;
  char expected[64], actual[bs::internal::kFormatDoubleSpace];
  std::snprintf(expected, sizeof expected, "%1.*lg", 17, inValue);
  *bs::internal::FormatDouble(inValue, actual) = 0;
  Check(std::strcmp(expected, actual) == 0);
}

void CheckDoubles(const bs::JSONValuePtr& inValue) {
  if (!inValue) return;
  if (const double* d = boost::any_cast<double>(inValue.get())) {
    CheckDouble(*d);
  } else if (const bs::JSONArray* array = boost::any_cast<bs::JSONArray>(inValue.get())) {
    for (const bs::JSONValuePtr& element : *array) CheckDoubles(element);
  } else if (const bs::JSONObject* object = boost::any_cast<bs::JSONObject>(inValue.get())) {
    for (const auto& member : *object) CheckDoubles(member.second);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* inData, std::size_t inSize) {
  if (inSize >= sizeof(double)) {
    double value;
    std::memcpy(&value, inData, sizeof value);
    CheckDouble(value);
  }

  bs::JSONValuePtr first;
  try {
    first = bs::JSONParse(inData, inSize);
  } catch (const std::runtime_error& e) {
    Check(IsDocumentedError(e.what()));
    return 0;
  }
  if (!first) return 0;
  CheckDoubles(first);

  // JSON null at the top level writes as the empty text, which has no value.
  const basalt::UTF8String written = bs::GetJSONUTF8String(*first);
  const bs::JSONValuePtr second = bs::JSONParse(written);
  if (first->empty()) {
    Check(written.empty() && !second);
    return 0;
  }
  Check(second && bs::testing::SameValue(first, second));

  const basalt::UTF8String normal = bs::GetJSONUTF8String(*second);
  const bs::JSONValuePtr third = bs::JSONParse(normal);
  Check(third && bs::testing::SameValue(second, third));
  Check(bs::GetJSONUTF8String(*third) == normal);
  return 0;
}
