// The two-halves 128-bit integer gives what the compiler's own gives, for
// every operation the exact double sum uses, at the halves' edges; the byte
// swap reverses the bytes.
#include "portability.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace zelto {
namespace {

using detail::Uint128;

TEST(Portability, ByteSwapReversesTheBytes) {
  EXPECT_EQ(byte_swap(0x0102030405060708ULL), 0x0807060504030201ULL);
  EXPECT_EQ(byte_swap(0xFF00000000000000ULL), 0xFFULL);
  EXPECT_EQ(byte_swap(byte_swap(0x8899AABBCCDDEEFFULL)), 0x8899AABBCCDDEEFFULL);
}

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 Native;

Native native(const Uint128& v) {
  return (static_cast<Native>(v.high) << 64) | v.low;
}

Uint128 halves(Native v) {
  return {static_cast<std::uint64_t>(v >> 64), static_cast<std::uint64_t>(v)};
}

TEST(Portability, TwoHalvesAgreeWithTheNative128BitInteger) {
  const std::vector<Native> values = {
      0,
      1,
      0xFFFFFFFFFFFFFFFFULL,
      static_cast<Native>(1) << 64,
      (static_cast<Native>(1) << 64) - 1 + (static_cast<Native>(0x8000000000000000ULL) << 64),
      ~static_cast<Native>(0),
      (static_cast<Native>(0x123456789ABCDEF0ULL) << 64) + 0x0FEDCBA987654321ULL,
      static_cast<Native>(1) << 127,
  };
  for (const Native a : values) {
    const Uint128 x = halves(a);
    EXPECT_EQ(static_cast<std::uint64_t>(x), static_cast<std::uint64_t>(a));
    for (const int bits : {0, 1, 13, 63, 64, 65, 100, 127}) {
      EXPECT_TRUE(native(x << bits) == a << bits) << bits;
      EXPECT_TRUE(native(x >> bits) == a >> bits) << bits;
    }
    for (const Native b : values) {
      const Uint128 y = halves(b);
      EXPECT_TRUE(native(x + y) == a + b);
      EXPECT_TRUE(native(x - y) == a - b);
      EXPECT_TRUE(native(x & y) == (a & b));
      EXPECT_TRUE(native(x | y) == (a | b));
      EXPECT_EQ(x == y, a == b);
      EXPECT_EQ(x < y, a < b);
      EXPECT_EQ(x >= y, a >= b);
    }
  }
}
#endif

}  // namespace
}  // namespace zelto
