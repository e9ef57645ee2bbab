// Lines of a sorted batch written out in order: all of them, or with -u
// only the first of each run of lines whose keys compare equal, each
// followed by its annotation under --debug.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "line_engine.h"
#include "line_merge.h"
#include "text_keys.h"

namespace zelto::sorter {

struct OutputStyle {
  bool unique = false;
  bool debug = false;
  char terminator = '\n';
};

// Writes `lines` in the order of `indices` to `sink` (anything with
// write_line(line, terminator) and write(bytes)).
template <class Sink>
void write_in_order(std::span<const LineRef> lines, std::span<const std::uint32_t> indices,
                    const text::LineComparator& comparator, const OutputStyle& style, Sink& sink) {
  std::string annotation;
  for (std::size_t i = 0; i < indices.size(); ++i) {
    const std::string_view line = lines[indices[i]].view();
    if (style.unique && i > 0 && comparator.compare_keys(lines[indices[i - 1]].view(), line) == 0) {
      continue;
    }
    if (style.debug) {
      annotation.clear();
      comparator.annotate(line, annotation);
      sink.write_line(line, '\n');
      sink.write(annotation);
    } else {
      sink.write_line(line, style.terminator);
    }
  }
}

}  // namespace zelto::sorter
