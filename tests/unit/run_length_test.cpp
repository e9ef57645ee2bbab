// The pattern code: known codes of chosen key areas, and random key areas
// checked against a bit-at-a-time model of the coder.
#include "run_length.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "pattern_code.h"
#include "pattern_model.h"

namespace zelto {
namespace {

using testing::KEY_BITS;
using testing::PATTERN_CODE_CAPACITY;
using testing::run_length_encoding;

using Key = std::array<unsigned char, KEY_AREA_SIZE>;
using Code = std::vector<unsigned char>;

// Bit `i` in coding order: words from 0 to 19, each from bit 31 down, on
// little-endian words, so bit 0 is the top bit of byte 3.
std::size_t byte_of_bit(int i) {
  return static_cast<std::size_t>(4 * (i / 32) + 3 - (i % 32) / 8);
}
unsigned char mask_of_bit(int i) {
  return static_cast<unsigned char>(0x80 >> (i % 8));
}

void set_bit(Key& key, int i) {
  key[byte_of_bit(i)] |= mask_of_bit(i);
}

// A key whose bits [begin, end) are set; the rest clear.
Key with_set_range(Key key, int begin, int end) {
  for (int i = begin; i < end; ++i) set_bit(key, i);
  return key;
}

Key filled(unsigned char byte) {
  Key key;
  key.fill(byte);
  return key;
}

// The code bytes that `run_length_encoding` writes for `key`.
Code encode(const Key& key) {
  std::array<unsigned char, PATTERN_CODE_CAPACITY> buffer{};
  const std::size_t length = run_length_encoding(key.data(), buffer.data(), buffer.size());
  EXPECT_LE(length, 641u);
  EXPECT_EQ(buffer[length], 0) << "the code is NUL-terminated";
  return Code(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
}

// The coder's steps one bit at a time, as the shared model computes them.
Code model_encode(const Key& key) {
  return testing::model_code(key.data());
}

Code bytes(std::initializer_list<unsigned char> list) {
  return Code(list);
}

Code repeated(std::size_t count, unsigned char byte) {
  return Code(count, byte);
}

struct KnownCode {
  const char* name;
  Key key;
  Code code;
};

TEST(RunLength, KnownCodes) {
  const Key zero{};
  Key bit32 = zero;
  bit32[0] = 0x01;
  Code aa = repeated(640, 0x01);
  aa[0] = 0x02;
  const std::vector<KnownCode> cases = {
      {"all clear", zero, bytes({0x01, 0x80})},
      {"all set", filled(0xFF), bytes({0x81})},
      {"first bit only", with_set_range(zero, 0, 1), bytes({0x02, 0x7F})},
      {"first bit is the top bit of byte 3",
       [] {
         Key k{};
         k[3] = 0x80;
         return k;
       }(),
       bytes({0x02, 0x7F})},
      {"32nd bit only", bit32, bytes({0x01, 0x1F, 0x01, 0x60})},
      {"33rd bit is the top bit of byte 7", with_set_range(zero, 32, 33),
       bytes({0x01, 0x20, 0x01, 0x5F})},
      // A clear run of 256 bits wraps to 0 and leaves no byte ...
      {"set, 256 clear, set, 382 clear", with_set_range(with_set_range(zero, 0, 1), 257, 258),
       bytes({0x02, 0x01, 0x7E})},
      // ... and so does one of 512: a different key with the same code.
      {"set, clear, 126 set, 512 clear", with_set_range(with_set_range(zero, 0, 1), 2, 128),
       bytes({0x02, 0x01, 0x7E})},
      // The leading set run's counter starts at 1, so 255 set bits wrap.
      {"255 set, 385 clear", with_set_range(zero, 0, 255), bytes({0x81})},
      {"511 set, 129 clear", with_set_range(zero, 0, 511), bytes({0x81})},
      {"254 set, 386 clear", with_set_range(zero, 0, 254), bytes({0xFF, 0x82})},
      {"a set run of 256 after the first run vanishes", with_set_range(zero, 10, 266),
       bytes({0x01, 0x0A, 0x76})},
      {"every byte 55: the longest code", filled(0x55), repeated(641, 0x01)},
      {"every byte AA", filled(0xAA), aa},
  };
  for (const KnownCode& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encode(c.key), c.code);
    EXPECT_EQ(model_encode(c.key), c.code) << "the model disagrees with the expected code";
  }
}

TEST(RunLength, ClearsTheWholeGivenLengthAndNoMore) {
  constexpr std::size_t capacity = 700;
  std::vector<unsigned char> buffer(capacity + 20, 0xEE);
  const Key key = with_set_range(Key{}, 0, 1);
  const std::size_t length = run_length_encoding(key.data(), buffer.data(), capacity);
  ASSERT_EQ(length, 2u);
  EXPECT_EQ(buffer[0], 0x02);
  EXPECT_EQ(buffer[1], 0x7F);
  for (std::size_t i = length; i < capacity; ++i) {
    ASSERT_EQ(buffer[i], 0) << "byte " << i << " was not cleared";
  }
  for (std::size_t i = capacity; i < buffer.size(); ++i) {
    ASSERT_EQ(buffer[i], 0xEE) << "byte " << i << " beyond the given length was written";
  }
}

TEST(RunLength, NoCodeIsTheSingleByte80) {
  // The unique pass starts from the code {0x80}; no key may produce it. A
  // single byte means one run covering all 640 bits, which is all set (0x81).
  std::mt19937 rng(80);
  for (int n = 0; n < 2000; ++n) {
    Key key{};
    const int set_end = static_cast<int>(rng() % (KEY_BITS + 1));
    key = with_set_range(key, 0, set_end);
    EXPECT_NE(encode(key), bytes({0x80})) << "leading set run " << set_end;
  }
}

// Keys made of alternating runs whose lengths favour the wrapping points.
Key runs_key(std::mt19937& rng) {
  static constexpr std::array<int, 16> lengths = {1,   2,   7,   31,  32,  33,  127, 128,
                                                  255, 256, 257, 383, 511, 512, 513, 0};
  Key key{};
  bool set = (rng() & 1) != 0;
  int position = 0;
  while (position < KEY_BITS) {
    int length = lengths[rng() % lengths.size()];
    if (length == 0) length = 1 + static_cast<int>(rng() % 64);
    const int end = std::min(KEY_BITS, position + length);
    if (set) key = with_set_range(key, position, end);
    position = end;
    set = !set;
  }
  return key;
}

Key random_bytes_key(std::mt19937& rng, unsigned density_percent) {
  Key key{};
  for (int i = 0; i < KEY_BITS; ++i) {
    if (rng() % 100 < density_percent) set_bit(key, i);
  }
  return key;
}

TEST(RunLength, MatchesBitAtATimeModelOnRandomKeys) {
  std::mt19937 rng(20240611);
  for (int n = 0; n < 3000; ++n) {
    Key key;
    switch (n % 4) {
      case 0: key = runs_key(rng); break;
      case 1: key = random_bytes_key(rng, 50); break;
      case 2: key = random_bytes_key(rng, 2); break;
      default: key = random_bytes_key(rng, 98); break;
    }
    std::array<unsigned char, PATTERN_CODE_CAPACITY> buffer;
    buffer.fill(0xEE);
    const std::size_t length = run_length_encoding(key.data(), buffer.data(), buffer.size());
    const Code expected = model_encode(key);
    ASSERT_EQ(Code(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length)), expected)
        << "key number " << n;
    for (std::size_t i = length; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], 0);
  }
}

// Pairs of keys whose codes are equal, differ early, differ late, or where
// one code is a prefix of the other.
TEST(RunLength, SamePatternCodeAgreesWithTheCodes) {
  const Key zero{};
  const Key wrap_256 = with_set_range(with_set_range(zero, 0, 1), 257, 258);
  const Key wrap_512 = with_set_range(with_set_range(zero, 0, 1), 2, 128);
  const Key all_set = filled(0xFF);
  const Key leading_255 = with_set_range(zero, 0, 255);
  const Key leading_254 = with_set_range(zero, 0, 254);
  // Codes 01 1F 01 60 and 01 1F 01 5F 01: equal in their first three bytes.
  const Key bit_32 = with_set_range(zero, 31, 32);
  const Key bit_32_and_last = with_set_range(bit_32, 639, 640);
  // 128 clear bits, then 512 set bits whose run leaves no byte: 01 80, the
  // code of all clear; with the last bit clear instead, 01 80 FF 01.
  const Key trailing_512 = with_set_range(zero, 128, 640);
  const Key trailing_511 = with_set_range(zero, 128, 639);
  struct Pair {
    const char* name;
    Key a;
    Key b;
    bool same;
  };
  const std::vector<Pair> pairs = {
      {"identical", wrap_256, wrap_256, true},
      {"clear runs of 256 and 512 wrap", wrap_256, wrap_512, true},
      {"all set and 255 set", all_set, leading_255, true},
      {"255 set and 254 set", leading_255, leading_254, false},
      {"differ from the fourth byte", bit_32, bit_32_and_last, false},
      {"a trailing set run of 512 vanishes", zero, trailing_512, true},
      {"one code a prefix of the other", zero, trailing_511, false},
      {"all clear and all set", zero, all_set, false},
      {"55 and AA", filled(0x55), filled(0xAA), false},
      {"55 and 55", filled(0x55), filled(0x55), true},
  };
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.name);
    ASSERT_EQ(encode(p.a) == encode(p.b), p.same) << "the case itself is wrong";
    EXPECT_EQ(same_pattern_code(p.a.data(), p.b.data()), p.same);
    EXPECT_EQ(same_pattern_code(p.b.data(), p.a.data()), p.same);
  }
  std::mt19937 rng(642);
  for (int n = 0; n < 2000; ++n) {
    const Key a = runs_key(rng);
    // Half the time a near copy: one bit flipped, often leaving the code.
    Key b = runs_key(rng);
    if (n % 2 == 0) {
      b = a;
      const int i = static_cast<int>(rng() % KEY_BITS);
      b[byte_of_bit(i)] ^= mask_of_bit(i);
    }
    ASSERT_EQ(same_pattern_code(a.data(), b.data()), model_encode(a) == model_encode(b))
        << "pair number " << n;
  }
}

}  // namespace
}  // namespace zelto
