// The engine of zelto-sort: the lines of a batch sorted by the shared
// engine (sort_engine.h) with the keys' digests as prefixes, level after
// level, and the exact comparison only within runs the digests cannot tell
// apart. Lines that compare equal leave in input order, so the result is
// that of a stable sort by `LineComparator::compare`, whatever the thread
// count.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "large_buffer.h"
#include "line_key_source.h"
#include "sort_engine.h"
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
using LineSource = LineKeySource<LineRef, text::LineComparator>;

// The bytes the engine needs for each line it sorts, beside the line: an
// entry of digest and index, the source's note of where the line's first
// key lies and whether its digest goes deeper, and the first digest kept
// while the lines are put into buckets.
inline constexpr std::size_t ENGINE_BYTES_PER_LINE = 12 + sizeof(LineSource::Note) + 8;

// The memory of one sort of `count` lines, in small pages: just after
// another large process (a sort, say) let its memory go, the system has to
// gather every huge page before it hands it out, which cost more system
// time (about 0.5 s of 1.8 on 600 MB) than small pages' extra TLB misses.
class LineOrder {
 public:
  explicit LineOrder(std::size_t count)
      : space_(count, PageSize::Small), notes_(count * sizeof(LineSource::Note), PageSize::Small) {}
  [[nodiscard]] bool allocated() const { return space_.allocated() && notes_.allocated(); }
  // Orders `count` lines next, if it was made for as many (false
  // otherwise): one order serves batch after batch without its memory
  // being faulted in again.
  [[nodiscard]] bool reuse_for(std::size_t count) {
    return count * sizeof(LineSource::Note) <= notes_.size() && space_.reuse_for(count);
  }
  // After `sort_lines`: the indices of the lines in sorted order.
  [[nodiscard]] std::span<const std::uint32_t> indices() const { return indices_; }

 private:
  friend void sort_lines(std::span<const LineRef>, const text::LineComparator&, LineOrder&,
                         unsigned);
  SortSpace space_;
  LargeBuffer notes_;
  std::span<const std::uint32_t> indices_;
};

// Sorts `lines` (at most MOST_LINES_SORTED) into `order`, which was made for
// as many lines and allocated, on up to `threads` threads.
void sort_lines(std::span<const LineRef> lines, const text::LineComparator& comparator,
                LineOrder& order, unsigned threads);

}  // namespace zelto::sorter
