// The engine's fallback: a stable merge sort of prefix entries that asks the
// exact comparator for every decision. It serves the runs whose prefixes are
// all equal, where only the comparator can order the records.
#pragma once

#include <cstddef>
#include <cstring>

#include "radix_sort.h"

namespace zelto {

// Runs at most this long are ordered by insertion.
inline constexpr std::size_t INSERTION_THRESHOLD = 12;

// Orders entries [begin, end) so that an entry moves before another only when
// `before(moving, other)` says so; entries it does not part keep their order.
// Stays within [begin, end) whatever `before` answers (an inconsistent
// comparator leaves a permutation). `scratch` holds at least `end` entries.
template <class Before>
void comparator_sort(Entry* entries, Entry* scratch, std::size_t begin, std::size_t end,
                     const Before& before) {
  if (end - begin <= INSERTION_THRESHOLD) {
    for (std::size_t i = begin + 1; i < end; ++i) {
      const Entry moving = entries[i];
      std::size_t j = i;
      while (j > begin && before(moving, entries[j - 1])) {
        entries[j] = entries[j - 1];
        --j;
      }
      entries[j] = moving;
    }
    return;
  }
  const std::size_t middle = begin + (end - begin) / 2;
  comparator_sort(entries, scratch, begin, middle, before);
  comparator_sort(entries, scratch, middle, end, before);
  std::memcpy(scratch + begin, entries + begin, (end - begin) * sizeof(Entry));
  std::size_t left = begin;
  std::size_t right = middle;
  std::size_t out = begin;
  while (left < middle && right < end) {
    // The left entry goes first unless the right one belongs before it.
    entries[out++] = before(scratch[right], scratch[left]) ? scratch[right++] : scratch[left++];
  }
  while (left < middle) entries[out++] = scratch[left++];
  while (right < end) entries[out++] = scratch[right++];
}

}  // namespace zelto
