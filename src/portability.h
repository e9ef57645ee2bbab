// What the C++ standard leaves to the compiler, in one place: a 128-bit
// unsigned integer, a byte swap and a prefetch hint. GCC and Clang get their
// built-ins, MSVC its intrinsics, and any other compiler plain standard C++
// that gives the same results (the prefetch hint then does nothing).
//
// No other file uses a compiler extension; a port to another compiler
// starts here.
#pragma once

#include <compare>
#include <cstdint>

#if defined(_MSC_VER) && !defined(__clang__)
#include <stdlib.h>  // _byteswap_uint64
#if defined(_M_X64) || defined(_M_IX86)
#include <xmmintrin.h>  // _mm_prefetch
#endif
#endif

namespace zelto {

namespace detail {

// An unsigned 128-bit integer of two 64-bit halves, with the operations
// the exact double sum needs. Used where the compiler has no such type.
struct Uint128 {
  std::uint64_t high = 0;  // first: the halves compare in this order
  std::uint64_t low = 0;

  constexpr Uint128() = default;
  // Implicit, as for a built-in integer.
  constexpr Uint128(std::uint64_t value) : low(value) {}  // NOLINT
  constexpr Uint128(std::uint64_t high_half, std::uint64_t low_half)
      : high(high_half), low(low_half) {}
  constexpr explicit operator std::uint64_t() const { return low; }

  friend constexpr bool operator==(const Uint128&, const Uint128&) = default;
  friend constexpr std::strong_ordering operator<=>(const Uint128&, const Uint128&) = default;

  friend constexpr Uint128 operator+(Uint128 a, Uint128 b) {
    const std::uint64_t low = a.low + b.low;
    return {a.high + b.high + (low < a.low ? 1 : 0), low};
  }
  friend constexpr Uint128 operator-(Uint128 a, Uint128 b) {
    return {a.high - b.high - (a.low < b.low ? 1 : 0), a.low - b.low};
  }
  friend constexpr Uint128 operator&(Uint128 a, Uint128 b) {
    return {a.high & b.high, a.low & b.low};
  }
  friend constexpr Uint128 operator|(Uint128 a, Uint128 b) {
    return {a.high | b.high, a.low | b.low};
  }
  // Shifts by 0 to 127 bits.
  friend constexpr Uint128 operator<<(Uint128 a, int bits) {
    if (bits == 0) return a;
    if (bits >= 64) return {a.low << (bits - 64), 0};
    return {(a.high << bits) | (a.low >> (64 - bits)), a.low << bits};
  }
  friend constexpr Uint128 operator>>(Uint128 a, int bits) {
    if (bits == 0) return a;
    if (bits >= 64) return {0, a.high >> (bits - 64)};
    return {a.high >> bits, (a.low >> bits) | (a.high << (64 - bits))};
  }
};

}  // namespace detail

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128;
#else
using uint128 = detail::Uint128;
#endif

// `w` with its eight bytes in the opposite order.
[[nodiscard]] inline std::uint64_t byte_swap(std::uint64_t w) {
#if defined(__GNUC__) || defined(__clang__)
  return __builtin_bswap64(w);
#elif defined(_MSC_VER)
  return _byteswap_uint64(w);
#else
  std::uint64_t swapped = 0;
  for (int i = 0; i < 8; ++i) swapped = (swapped << 8) | ((w >> (8 * i)) & 0xFF);
  return swapped;
#endif
}

// Asks for the cache line at `address` to be fetched for reading; changes
// nothing else.
inline void prefetch(const void* address) {
#if defined(__GNUC__) || defined(__clang__)
  __builtin_prefetch(address);
  // A loop that only fetches ahead has no other effect, and the compiler
  // may drop it whole: this keeps it.
  asm volatile("" : : "r"(address));
#elif defined(_MSC_VER) && (defined(_M_X64) || defined(_M_IX86))
  _mm_prefetch(static_cast<const char*>(address), _MM_HINT_T0);
#else
  static_cast<void>(address);
#endif
}

}  // namespace zelto
