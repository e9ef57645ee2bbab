// The engine of zelto-sort: orders lines by their digests, level after
// level, with an MSD radix sort, and asks the exact comparison only within
// runs whose digests cannot tell the lines apart. Lines that compare equal
// leave in input order, so the result is the one of a stable sort by
// `LineComparator::compare`, whatever the thread count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "large_buffer.h"
#include "text_keys.h"

namespace zelto::sorter {

// A line of the input, without its terminator.
struct LineRef {
  const char* data;
  std::size_t size;
  [[nodiscard]] std::string_view view() const { return {data, size}; }
};

// The most lines one sort takes: indices are 32 bits.
inline constexpr std::size_t MOST_LINES_SORTED = 0xFFFFFFFEU;
// The bytes the engine needs for each line it sorts, beside the line.
inline constexpr std::size_t ENGINE_BYTES_PER_LINE = 13;

// The memory of one sort of `count` lines, 13 bytes a line.
class LineOrder {
 public:
  explicit LineOrder(std::size_t count);
  [[nodiscard]] bool allocated() const { return entries_.allocated() && flags_.allocated(); }
  // After `sort_lines`: the indices of the lines in sorted order.
  [[nodiscard]] std::span<const std::uint32_t> indices() const { return indices_; }

 private:
  friend void sort_lines(std::span<const LineRef>, const text::LineComparator&, LineOrder&,
                         unsigned);
  std::size_t count_;
  LargeBuffer entries_;
  LargeBuffer flags_;
  std::span<const std::uint32_t> indices_;
};

// Sorts `lines` (at most MOST_LINES_SORTED) into `order`, which was made for
// as many lines and allocated, on up to `threads` threads.
void sort_lines(std::span<const LineRef> lines, const text::LineComparator& comparator,
                LineOrder& order, unsigned threads);

}  // namespace zelto::sorter
