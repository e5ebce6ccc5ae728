// Flags<T>: a set of option bits held in an unsigned integer.
//
// The library's option parameters take a Flags<T> (the number functions of
// basalt/utility/NumberConversion.h take Flags<unsigned short>). A Flags is
// made implicitly from its bit type, so callers pass a named option, several
// joined with "|", or 0 for none:
//   NumberToString(x, 1, 2, kNumberGroupThousands | kNumberShowPlus, 32);
//
// IsSet asks whether every bit of a mask is set, IsAnySet whether any is.
// Bits that no option names are kept and compared like the others.
//
// A Flags is a plain value: copying is free and nothing is shared.
#ifndef BASALT_UTILITY_FLAGS_H
#define BASALT_UTILITY_FLAGS_H

#include <type_traits>

namespace basalt {
namespace utility {

template <class T>
class Flags {
  static_assert(std::is_integral<T>::value && std::is_unsigned<T>::value, "Flags holds unsigned bits");

public:
  typedef T value_type;

  constexpr Flags() noexcept : mBits(0) {}
  // Implicit on purpose: an option constant or an "|" of them is a Flags.
  constexpr Flags(T inBits) noexcept : mBits(inBits) {}  // NOLINT(google-explicit-constructor)

  constexpr T Get() const noexcept { return mBits; }
  constexpr bool IsEmpty() const noexcept { return mBits == 0; }
  // True when every bit of inMask is set (an empty mask is always set).
  constexpr bool IsSet(T inMask) const noexcept { return static_cast<T>(mBits & inMask) == inMask; }
  constexpr bool IsAnySet(T inMask) const noexcept { return static_cast<T>(mBits & inMask) != 0; }

  Flags& Set(T inMask, bool inOn = true) noexcept {
    mBits = inOn ? static_cast<T>(mBits | inMask) : static_cast<T>(mBits & static_cast<T>(~inMask));
    return *this;
  }
  Flags& Clear(T inMask) noexcept { return Set(inMask, false); }

  Flags& operator|=(Flags inOther) noexcept { return Set(inOther.mBits); }
  Flags& operator&=(Flags inOther) noexcept {
    mBits = static_cast<T>(mBits & inOther.mBits);
    return *this;
  }

  friend constexpr Flags operator|(Flags inA, Flags inB) noexcept { return Flags(static_cast<T>(inA.mBits | inB.mBits)); }
  friend constexpr Flags operator&(Flags inA, Flags inB) noexcept { return Flags(static_cast<T>(inA.mBits & inB.mBits)); }
  friend constexpr bool operator==(Flags inA, Flags inB) noexcept { return inA.mBits == inB.mBits; }
  friend constexpr bool operator!=(Flags inA, Flags inB) noexcept { return inA.mBits != inB.mBits; }

private:
  T mBits;
};

}  // namespace utility
}  // namespace basalt

#endif  // BASALT_UTILITY_FLAGS_H
