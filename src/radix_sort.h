// The engine's radix step: an in-place most-significant-digit sort of prefix
// entries (American flag sort), which hands every run of equal keys on.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace zelto {

// A record index with the prefix of its key at the current level. Packed to
// 12 bytes: the engine's memory is one array of these.
#pragma pack(push, 4)
struct Entry {
  std::uint64_t key;
  std::uint32_t index;
};
#pragma pack(pop)
static_assert(sizeof(Entry) == 12);

inline constexpr int RADIX_BITS = 8;
inline constexpr std::size_t RADIX_BUCKETS = std::size_t{1} << RADIX_BITS;
// Ranges shorter than this are ordered by a comparison sort.
inline constexpr std::size_t RADIX_SMALL = 64;

// Orders entries [begin, end) by key and then by index: a plain comparison
// sort for short ranges, where equal keys must leave in index order.
inline void sort_by_key_and_index(Entry* begin, Entry* end) {
  std::sort(begin, end, [](const Entry& a, const Entry& b) {
    return a.key < b.key || (a.key == b.key && a.index < b.index);
  });
}

// Orders the `n` entries at `entries`, whose keys agree in every bit above
// the lowest `bits`, by key; the order among equal keys is lost. Calls
// `equal_run(first, count)` once for every run of two or more equal keys, in
// ascending key order, and for nothing else. Ranges shorter than RADIX_SMALL
// are ordered by key and index, their runs handed on in index order.
template <class EqualRun>
void radix_sort(Entry* entries, std::size_t n, int bits, const EqualRun& equal_run) {
  for (;;) {
    if (n < 2) return;
    if (bits == 0) {
      equal_run(entries, n);
      return;
    }
    if (n < RADIX_SMALL) {
      sort_by_key_and_index(entries, entries + n);
      for (std::size_t run = 0; run < n;) {
        std::size_t next = run + 1;
        while (next < n && entries[next].key == entries[run].key) ++next;
        if (next - run > 1) equal_run(entries + run, next - run);
        run = next;
      }
      return;
    }
    const int width = std::min(bits, RADIX_BITS);
    const int shift = bits - width;
    const std::uint64_t mask = (std::uint64_t{1} << width) - 1;
    const auto digit = [&](const Entry& e) {
      return static_cast<std::size_t>(e.key >> shift & mask);
    };
    // Fewer than 2^32 records: 32-bit counts keep the frames of deep
    // recursions small.
    std::array<std::uint32_t, RADIX_BUCKETS> count{};
    for (std::size_t i = 0; i < n; ++i) ++count[digit(entries[i])];
    bits = shift;
    // A digit that all keys share parts nothing: the next one is tried.
    if (count[digit(entries[0])] == n) continue;
    std::array<std::uint32_t, RADIX_BUCKETS> head{};
    std::array<std::uint32_t, RADIX_BUCKETS> tail{};
    std::uint32_t position = 0;
    for (std::size_t d = 0; d < RADIX_BUCKETS; ++d) {
      head[d] = position;
      position += count[d];
      tail[d] = position;
    }
    // Each entry is swapped straight into the next free place of its digit.
    for (std::size_t d = 0; d < RADIX_BUCKETS; ++d) {
      while (head[d] < tail[d]) {
        Entry moving = entries[head[d]];
        for (std::size_t to = digit(moving); to != d; to = digit(moving)) {
          std::swap(moving, entries[head[to]++]);
        }
        entries[head[d]++] = moving;
      }
    }
    std::size_t begin = 0;
    for (std::size_t d = 0; d < RADIX_BUCKETS; ++d) {
      radix_sort(entries + begin, count[d], bits, equal_run);
      begin += count[d];
    }
    return;
  }
}

}  // namespace zelto
