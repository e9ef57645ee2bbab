#include "sorted_output.h"

#include "line_merge.h"
#include "portability.h"

namespace zelto::sorter {

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
    if (style.unique && i > 0 && comparator.compare_keys(lines[indices[i - 1]].view(), line) == 0) {
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
