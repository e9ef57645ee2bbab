// One radix step of the engine: a stable least-significant-digit sort of
// prefix entries by their 64-bit key.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace zelto {

// A record index with the prefix of its key at the current level. Packed to
// 12 bytes: the engine's memory is two arrays of these.
#pragma pack(push, 4)
struct Entry {
  std::uint64_t key;
  std::uint32_t index;
};
#pragma pack(pop)
static_assert(sizeof(Entry) == 12);

inline constexpr int RADIX_BITS = 11;
inline constexpr int RADIX_DIGITS = (64 + RADIX_BITS - 1) / RADIX_BITS;
inline constexpr std::size_t RADIX_BUCKETS = std::size_t{1} << RADIX_BITS;

inline std::size_t radix_digit(std::uint64_t key, int d) {
  return (key >> (RADIX_BITS * d)) & (RADIX_BUCKETS - 1);
}

// Sorts the `n` entries at `entries` by key, stably, in 11-bit digits,
// skipping every digit in which all keys agree; `scratch` holds `n` entries
// and its contents are lost. May throw std::bad_alloc (its counting tables).
inline void radix_sort(Entry* entries, Entry* scratch, std::size_t n) {
  std::vector<std::array<std::size_t, RADIX_BUCKETS>> counts(RADIX_DIGITS);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t key = entries[i].key;
    for (int d = 0; d < RADIX_DIGITS; ++d) ++counts[d][radix_digit(key, d)];
  }
  Entry* from = entries;
  Entry* to = scratch;
  for (int d = 0; d < RADIX_DIGITS; ++d) {
    auto& count = counts[d];
    if (std::find(count.begin(), count.end(), n) != count.end()) continue;
    std::size_t position = 0;
    for (std::size_t& c : count) position += std::exchange(c, position);
    for (std::size_t i = 0; i < n; ++i) {
      const Entry e = from[i];
      to[count[radix_digit(e.key, d)]++] = e;
    }
    std::swap(from, to);
  }
  if (from != entries) std::memcpy(entries, from, n * sizeof(Entry));
}

}  // namespace zelto
