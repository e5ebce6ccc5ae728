// ImmutableString: interned narrow text.
//
// Equal texts share one representation, so copying an ImmutableString costs
// one atomic increment, and two interned strings are equal exactly when they
// share a representation (operator== compares pointers). The text is UTF-8 by
// convention but is treated as bytes: it may hold NUL bytes when created with
// an explicit length or from a string object, and it is always followed by a
// NUL so that GetText() can be passed to C functions.
//
// Kinds of representation:
//  - dynamic (CreateDynamic): the text is copied into the representation,
//    which counts its holders;
//  - static (CreateStatic): the representation points at the caller's text,
//    which must stay valid and unchanged for the rest of the process; it is
//    never counted and never freed.
// A static and a dynamic request for the same text share whichever
// representation was made first. The empty text has no representation.
//
// Lifetime: when the last holder of a dynamic representation goes, the
// representation expires but stays in the intern table, and a later request
// for the same text revives it. PurgeUnusedStrings frees every expired
// representation; nothing else ever frees one.
//
// Ordering (Compare): an empty string comes before every other; otherwise the
// bytes are compared as unsigned values over the shorter length and, on a tie,
// the shorter text is smaller. Embedded NUL bytes compare like other bytes.
// Overloads taking other kinds of text compare against their UTF-8 form (a
// NUL-terminated argument ends at its NUL; a null pointer is the empty text).
//
// Thread safety: the intern table is split into 64 shards, each with its own
// lock, so interning, expiry and purging may run on any threads at once.
// Distinct ImmutableString objects may be used concurrently even when they
// share a representation; one object must not be written while it is read.
#ifndef BASALT_UTILITY_IMMUTABLESTRING_H
#define BASALT_UTILITY_IMMUTABLESTRING_H

#include <basalt/utility/Export.h>
#include <basalt/utility/UnicodeString.h>

#include <cstdint>
#include <string>

namespace basalt {
namespace utility {

class BSL_EXPORT ImmutableString {
public:
  // Opaque; lives in the intern table.
  struct InternalRepresentation;

  // The empty string.
  ImmutableString() noexcept : mRepresentation(nullptr), mText(sNullString), mLength(0) {}
  ImmutableString(const ImmutableString& inOther) noexcept;
  ImmutableString(ImmutableString&& inOther) noexcept;
  // Another holder of a representation taken from GetRepresentation (null
  // gives the empty string).
  explicit ImmutableString(InternalRepresentation* inRepresentation) noexcept;
  ImmutableString& operator=(const ImmutableString& inOther) noexcept;
  ImmutableString& operator=(ImmutableString&& inOther) noexcept;
  ~ImmutableString();

  // Interned copies of the text. NUL-terminated pointers end at their NUL;
  // null gives the empty string. UTF-16 text is converted to UTF-8 first.
  static ImmutableString CreateDynamic(const char* inText);
  static ImmutableString CreateDynamic(const unsigned char* inText);
  static ImmutableString CreateDynamic(const unsigned char* inText, std::uint64_t inLength);
  static ImmutableString CreateDynamic(const std::string& inText);
  static ImmutableString CreateDynamic(const UTF8String& inText);
  static ImmutableString CreateDynamic(const UTF16String& inText);
  static ImmutableString CreateDynamic(const UTF16Char* inText);

  // Interned references to NUL-terminated text that outlives the process's
  // use of it (string literals); the text is not copied unless a dynamic
  // representation of it already exists, which is then shared.
  static ImmutableString CreateStatic(const char* inText);
  static ImmutableString CreateStatic(const unsigned char* inText);

  // Negative, 0 or positive (-1, 0, 1) as this string sorts before, with or
  // after the argument.
  int Compare(const ImmutableString& inOther) const noexcept;
  int Compare(const std::string& inOther) const noexcept;
  int Compare(const UTF8String& inOther) const noexcept;
  int Compare(const UTF16String& inOther) const;
  int Compare(const char* inOther) const noexcept;
  int Compare(const unsigned char* inOther) const noexcept;
  int Compare(const UTF16Char* inOther) const;

  // Whether the needle occurs in this text. Both must be non-empty, except
  // that a string always contains itself (the same representation).
  bool Contains(const ImmutableString& inNeedle) const noexcept;
  bool Contains(const UTF8String& inNeedle) const noexcept;
  bool Contains(const char* inNeedle) const noexcept;
  bool Contains(const unsigned char* inNeedle) const noexcept;
  bool Contains(const UTF16Char* inNeedle) const;

  // The text read as UTF-8, converted as UTF8to16 does.
  UTF16String ToString() const;

  // The bytes, NUL-terminated; sNullString for the empty string.
  const char* GetText() const noexcept { return mText; }
  std::uint64_t GetLength() const noexcept { return mLength; }
  bool IsEmpty() const noexcept { return mLength == 0; }
  InternalRepresentation* GetRepresentation() const noexcept { return mRepresentation; }

  // Frees every expired representation; true when at least one was freed.
  static bool PurgeUnusedStrings();

  static const char sNullString[1];

  friend bool operator==(const ImmutableString& inLeft, const ImmutableString& inRight) noexcept {
    return inLeft.mRepresentation == inRight.mRepresentation;
  }
  friend bool operator!=(const ImmutableString& inLeft, const ImmutableString& inRight) noexcept {
    return inLeft.mRepresentation != inRight.mRepresentation;
  }
  // The order of Compare, for ordered containers.
  friend bool operator<(const ImmutableString& inLeft, const ImmutableString& inRight) noexcept {
    return inLeft.Compare(inRight) < 0;
  }

private:
  struct AdoptTag {};
  // Takes over a reference the intern table already counted.
  ImmutableString(InternalRepresentation* inRepresentation, AdoptTag) noexcept;
  static ImmutableString Intern(const char* inText, std::uint64_t inLength, bool inDynamic);
  int CompareBytes(const char* inText, std::uint64_t inLength) const noexcept;
  bool ContainsBytes(const char* inText, std::uint64_t inLength) const noexcept;

  InternalRepresentation* mRepresentation;
  const char* mText;
  std::uint64_t mLength;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_IMMUTABLESTRING_H
