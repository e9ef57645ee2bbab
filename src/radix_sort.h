// The engine's radix step: an in-place most-significant-digit sort of prefix
// entries (American flag sort), which hands every run of equal keys on. An
// internal of the engine (sort_engine_impl.h): nothing here is for callers.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

namespace zelto::detail {

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

// Swaps each entry straight into the next free place of its digit, in
// place: the entries of digit d go to [next[d], end[d]), and `next` moves
// up as they are placed. `digit(entry)` is below `digits`.
template <class Next, class End, class Digit>
void permute_by_digit(Entry* entries, std::size_t digits, Next& next, const End& end,
                      const Digit& digit) {
  for (std::size_t d = 0; d < digits; ++d) {
    while (next[d] < end[d]) {
      Entry moving = entries[next[d]];
      for (std::size_t to = digit(moving); to != d; to = digit(moving)) {
        std::swap(moving, entries[next[to]++]);
      }
      entries[next[d]++] = moving;
    }
  }
}

// Orders the `n` entries at `entries`, whose keys agree in every bit above
// the lowest `bits`, by key. Calls `equal_run(first, count)` once for every
// run of two or more equal keys, in ascending key order, and for nothing
// else; `equal_run.announce(first, count)` tells of a run that a call will
// soon order, where that is known ahead. Ranges that fit in `scratch` are
// moved through it, which keeps equal keys in the order they had; larger ones
// are permuted in place, which does not. Ranges shorter than RADIX_SMALL are
// ordered by key and index, their runs handed on in index order.
template <class EqualRun>
void radix_sort(Entry* entries, std::size_t n, int bits, std::span<Entry> scratch,
                const EqualRun& equal_run) {
  for (;;) {
    if (n < 2) return;
    if (bits == 0) {
      equal_run(entries, n);
      return;
    }
    if (n < RADIX_SMALL) {
      sort_by_key_and_index(entries, entries + n);
      // Every run is announced before the first is ordered, so that the
      // records of all of them can be on their way at once.
      for (const bool ordering : {false, true}) {
        for (std::size_t run = 0; run < n;) {
          std::size_t next = run + 1;
          while (next < n && entries[next].key == entries[run].key) ++next;
          if (next - run > 1) {
            if (ordering) {
              equal_run(entries + run, next - run);
            } else {
              equal_run.announce(entries + run, next - run);
            }
          }
          run = next;
        }
      }
      return;
    }
    // Digits that all keys share part nothing: the sort goes on from the
    // highest bit in which any two keys differ.
    std::uint64_t differ = 0;
    for (std::size_t i = 1; i < n; ++i) differ |= entries[i].key ^ entries[0].key;
    if (bits < 64) differ &= (std::uint64_t{1} << bits) - 1;
    if (differ == 0) {
      equal_run(entries, n);
      return;
    }
    bits = 64 - std::countl_zero(differ);
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
    std::array<std::uint32_t, RADIX_BUCKETS> head{};
    std::uint32_t position = 0;
    for (std::size_t d = 0; d < RADIX_BUCKETS; ++d) {
      head[d] = position;
      position += count[d];
    }
    if (n <= scratch.size()) {
      for (std::size_t i = 0; i < n; ++i) scratch[head[digit(entries[i])]++] = entries[i];
      std::memcpy(entries, scratch.data(), n * sizeof(Entry));
    } else {
      std::array<std::uint32_t, RADIX_BUCKETS> tail{};
      for (std::size_t d = 0; d < RADIX_BUCKETS; ++d) tail[d] = head[d] + count[d];
      permute_by_digit(entries, RADIX_BUCKETS, head, tail, digit);
    }
    std::size_t begin = 0;
    for (std::size_t d = 0; d < RADIX_BUCKETS; ++d) {
      radix_sort(entries + begin, count[d], bits, scratch, equal_run);
      begin += count[d];
    }
    return;
  }
}

}  // namespace zelto::detail
