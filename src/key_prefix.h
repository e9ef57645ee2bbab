// Key prefixes: a record's key read eight bytes at a time as unsigned 64-bit
// numbers that order as the keys do. The engine sorts by the prefix of one
// level, and only records whose prefixes are equal at every level it needed
// reach the exact comparator.
//
// Level L covers key bytes 8L to 8L+7: two integer words (each with its sign
// bit flipped), one double (as an order-preserving bit pattern), or eight
// phrase bytes (big-endian, zero from the phrase's NUL on).
//
// Callers hold the key kind and read prefixes with `ascending_prefix` (the
// external merge compares first prefixes so); the rest is the engine's, in
// `detail`.
#pragma once

#include <bit>
#include <cstdint>

#include "portability.h"
#include "record_format.h"

namespace zelto {

// How the engine reads a key: the record format's key types, with phrases
// compared exactly or with ASCII letters folded.
enum class KeyKind { Phrase, FoldedPhrase, Integers, Doubles };

namespace detail {

// Eight bytes of a record's phrase key from `offset` (a multiple of 8 below
// 91) as a big-endian number, so that chunks order as the bytes do; bytes from
// the phrase's NUL on, and past the 91-byte window, count as zero. With
// `folded`, ASCII A-Z read as a-z. Phrases compare as the sequences of their
// chunks, up to the first chunk that holds the phrase's end.
inline std::uint64_t phrase_chunk(const unsigned char* record, int offset, bool folded) {
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  const int available = PHRASE_WINDOW - offset;
  std::uint64_t w =
      load_little_endian(record + offset, available < 8 ? static_cast<std::size_t>(available) : 8);
  // The lowest flagged byte is the first zero byte (flags above it may be false).
  const std::uint64_t zeros = (w - ones) & ~w & highs;
  if (zeros != 0) {
    const int first_zero = std::countr_zero(zeros) / 8;
    w &= first_zero == 0 ? 0 : ~0ULL >> (64 - 8 * first_zero);
  }
  if (folded) {
    // Sets bit 5 (adds 20h) of every byte from 'A' to 'Z'.
    const std::uint64_t low7 = w & ~highs;
    const std::uint64_t at_least_a = low7 + 0x3F3F3F3F3F3F3F3FULL;  // low7 >= 41h
    const std::uint64_t beyond_z = low7 + 0x2525252525252525ULL;    // low7 >= 5Bh
    w |= (at_least_a & ~beyond_z & ~w & highs) >> 2;
  }
  return byte_swap(w);
}

// True when the phrase ends within this chunk (it holds a zero byte).
inline bool chunk_ends_phrase(std::uint64_t chunk) {
  return ((chunk - 0x0101010101010101ULL) & ~chunk & 0x8080808080808080ULL) != 0;
}

inline constexpr std::uint64_t SIGN_BIT = 1ULL << 63;
// The prefix every NaN double gets: above every number, so NaNs gather after
// all numbers (before them when descending); all NaNs are equal here, as in
// the comparator, and the deeper levels order them.
inline constexpr std::uint64_t NAN_PREFIX = ~0ULL;

// Doubles as unsigned integers of the same order; -0.0 is 0.0.
inline std::uint64_t double_prefix(const unsigned char* p) {
  std::uint64_t bits = load_le64(p);
  const std::uint64_t magnitude = bits & ~SIGN_BIT;
  if (magnitude > 0x7FF0000000000000ULL) return NAN_PREFIX;
  if (magnitude == 0) bits = 0;
  return (bits & SIGN_BIT) != 0 ? ~bits : bits | SIGN_BIT;
}

}  // namespace detail

// The key prefix of `record` at `level`, in ascending order.
inline std::uint64_t ascending_prefix(const unsigned char* record, KeyKind kind, int level) {
  switch (kind) {
    case KeyKind::Integers: {
      const std::uint64_t hi = load_le32(record + 8 * level) ^ 0x80000000U;
      const std::uint64_t lo = load_le32(record + 8 * level + 4) ^ 0x80000000U;
      return hi << 32 | lo;
    }
    case KeyKind::Doubles: return detail::double_prefix(record + 8 * level);
    case KeyKind::Phrase: return detail::phrase_chunk(record, 8 * level, false);
    case KeyKind::FoldedPhrase: return detail::phrase_chunk(record, 8 * level, true);
  }
  return 0;
}

namespace detail {

// How many levels a key of `kind` has: the whole key area for numbers, the
// 91-byte phrase window for phrases.
inline int level_count(KeyKind kind) {
  switch (kind) {
    case KeyKind::Integers:
    case KeyKind::Doubles: return KEY_AREA_SIZE / 8;
    default: return (PHRASE_WINDOW + 7) / 8;
  }
}

// True when records whose ascending prefix at `level` is `ascending` cannot
// be told apart by a deeper level: the phrase ended within it, or it is the
// last level.
inline bool prefix_settles(KeyKind kind, std::uint64_t ascending, int level) {
  if (level + 1 >= level_count(kind)) return true;
  switch (kind) {
    case KeyKind::Phrase:
    case KeyKind::FoldedPhrase: return chunk_ends_phrase(ascending);
    case KeyKind::Doubles:
    case KeyKind::Integers: return false;
  }
  return true;
}

}  // namespace detail
}  // namespace zelto
