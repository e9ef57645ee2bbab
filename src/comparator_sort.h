// The engine's fallback: a stable merge sort of record indices that asks the
// exact comparator for every decision. It serves the runs whose prefixes are
// all equal, where only the comparator can order the records. An internal of
// the engine (sort_engine_impl.h).
#pragma once

#include <cstddef>
#include <cstring>
#include <type_traits>

namespace zelto::detail {

// Runs at most this long are ordered by insertion.
inline constexpr std::size_t INSERTION_THRESHOLD = 12;

// Orders items [begin, end) so that an item moves before another only when
// `before(moving, other)` says so; items it does not part keep their order.
// Stays within [begin, end) whatever `before` answers (an inconsistent
// comparator leaves a permutation). `scratch` holds at least `end` items.
// The comparisons asked depend only on the items and `end - begin`.
template <class Item, class Before>
void comparator_sort(Item* items, Item* scratch, std::size_t begin, std::size_t end,
                     const Before& before) {
  static_assert(std::is_trivially_copyable_v<Item>);
  if (end - begin <= INSERTION_THRESHOLD) {
    for (std::size_t i = begin + 1; i < end; ++i) {
      const Item moving = items[i];
      std::size_t j = i;
      while (j > begin && before(moving, items[j - 1])) {
        items[j] = items[j - 1];
        --j;
      }
      items[j] = moving;
    }
    return;
  }
  const std::size_t middle = begin + (end - begin) / 2;
  comparator_sort(items, scratch, begin, middle, before);
  comparator_sort(items, scratch, middle, end, before);
  std::memcpy(scratch + begin, items + begin, (end - begin) * sizeof(Item));
  std::size_t left = begin;
  std::size_t right = middle;
  std::size_t out = begin;
  while (left < middle && right < end) {
    // The left item goes first unless the right one belongs before it.
    items[out++] = before(scratch[right], scratch[left]) ? scratch[right++] : scratch[left++];
  }
  while (left < middle) items[out++] = scratch[left++];
  while (right < end) items[out++] = scratch[right++];
}

}  // namespace zelto::detail
