#include <basalt/config/Localizer.h>
#include <basalt/config/ZString.h>

namespace basalt {
namespace utility {
namespace {

const int kMarkerCount = 10;

UTF16String Replace(const UTF16String& inText, const UTF16String* const inValues[kMarkerCount]) {
  UTF16String result;
  result.reserve(inText.size());
  const std::size_t size = inText.size();
  for (std::size_t i = 0; i < size; ++i) {
    const UTF16Char unit = inText[i];
    if (unit != u'@' || i + 1 == size) {
      result += unit;
      continue;
    }
    const UTF16Char next = inText[++i];
    if (next >= u'0' && next <= u'9') {
      const UTF16String* value = inValues[next - u'0'];
      if (value) result += *value;
    } else if (next == u'@') {
      result += u'@';
    } else {
      result += u'@';
      result += next;
    }
  }
  return result;
}

template <class Vector>
UTF16String ReplaceFromVector(const UTF16String& inText, const Vector& inValues) {
  const UTF16String* values[kMarkerCount] = {};
  for (std::size_t i = 0; i < inValues.size() && i < kMarkerCount; ++i) values[i] = &inValues[i];
  return Replace(inText, values);
}

}  // namespace

UTF16String ReplaceInString(const UTF16String& inText, const UTF16String& in0, const UTF16String& in1,
                            const UTF16String& in2, const UTF16String& in3, const UTF16String& in4,
                            const UTF16String& in5, const UTF16String& in6, const UTF16String& in7,
                            const UTF16String& in8, const UTF16String& in9) {
  const UTF16String* values[kMarkerCount] = {&in0, &in1, &in2, &in3, &in4, &in5, &in6, &in7, &in8, &in9};
  return Replace(inText, values);
}

UTF16String ReplaceInString(const UTF16String& inText, const SmallBlockAllocator::vector<UTF16String>& inValues) {
  return ReplaceFromVector(inText, inValues);
}

UTF16String ReplaceInString(const UTF16String& inText, const std::vector<UTF16String>& inValues) {
  return ReplaceFromVector(inText, inValues);
}

}  // namespace utility

UTF16String ZString(const char* inKey, const UTF16String& in0, const UTF16String& in1, const UTF16String& in2,
                    const UTF16String& in3, const UTF16String& in4, const UTF16String& in5, const UTF16String& in6,
                    const UTF16String& in7, const UTF16String& in8, const UTF16String& in9) {
  const UTF16String text = config::Localizer::Get()->Localize(inKey);
  return utility::ReplaceInString(text, in0, in1, in2, in3, in4, in5, in6, in7, in8, in9);
}

}  // namespace basalt
