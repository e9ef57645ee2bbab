// The order the sort engine is checked against: a plain stable merge sort of
// record indices that asks the comparator for every decision, so records it
// calls equal keep their record order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zelto::testing {

// The indices of the `count` records of `record_size` bytes at `records`, in
// the order of `compare(a, b)` (negative, zero or positive, like a qsort
// comparator); equal records stay in record order.
template <typename Compare>
std::vector<std::uint32_t> sort_by_comparator(const unsigned char* records, std::size_t record_size,
                                              std::size_t count, Compare compare) {
  std::vector<std::uint32_t> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<std::uint32_t>(i);
  std::vector<std::uint32_t> merged(count);
  const auto after = [&](std::uint32_t a, std::uint32_t b) {
    return compare(records + a * record_size, records + b * record_size) > 0;
  };
  // Bottom-up: runs of `width` are merged pairwise until one run is left.
  for (std::size_t width = 1; width < count; width *= 2) {
    for (std::size_t begin = 0; begin < count; begin += 2 * width) {
      const std::size_t middle = begin + width < count ? begin + width : count;
      const std::size_t end = begin + 2 * width < count ? begin + 2 * width : count;
      std::size_t left = begin;
      std::size_t right = middle;
      for (std::size_t out = begin; out < end; ++out) {
        // The left run's record goes first unless the right one sorts
        // strictly before it.
        const bool take_right = left == middle || (right < end && after(order[left], order[right]));
        merged[out] = take_right ? order[right++] : order[left++];
      }
    }
    order.swap(merged);
  }
  return order;
}

}  // namespace zelto::testing
