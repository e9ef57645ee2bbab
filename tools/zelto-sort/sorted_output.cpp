#include "sorted_output.h"

#include <algorithm>

#include "line_merge.h"
#include "portability.h"

namespace zelto::sorter {

// The average is taken over lines spread through the order: a piece is
// bounded so that the buffers in flight stay within what the budget set
// aside for them.
std::size_t lines_per_piece(std::span<const LineRef> lines,
                            std::span<const std::uint32_t> indices) {
  constexpr std::size_t sampled = 4096;
  const std::size_t count = std::min(sampled, indices.size());
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < count; ++i) {
    bytes += lines[indices[i * indices.size() / count]].size + 1;
  }
  const std::size_t average = count == 0 ? 1 : std::max<std::size_t>(1, bytes / count);
  return std::clamp<std::size_t>(PIECE_BYTES / average, 64, std::size_t{1} << 15);
}

void format_lines(std::span<const LineRef> lines, std::span<const std::uint32_t> indices,
                  std::size_t begin, std::size_t end, const text::LineComparator& comparator,
                  const OutputStyle& style, std::string& out) {
  // Visited in sorted order, the lines lie scattered in memory: later ones
  // are fetched ahead.
  constexpr std::size_t near = 12;
  constexpr std::size_t far = 24;
  for (std::size_t i = begin; i < end; ++i) {
    if (i + far < end) prefetch(&lines[indices[i + far]]);
    if (i + near < end) prefetch(lines[indices[i + near]].data);
    const std::string_view line = lines[indices[i]].view();
    if (style.unique && i > 0 && comparator.same_keys(lines[indices[i - 1]].view(), line)) {
      continue;
    }
    if (style.debug) {
      text::append_debug_line(line, out);
      comparator.annotate(line, out);
    } else {
      out.append(line).push_back(style.terminator);
    }
  }
}

}  // namespace zelto::sorter
