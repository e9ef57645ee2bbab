#include "line_engine.h"

#include "line_key_source.h"
#include "sort_engine_impl.h"

namespace zelto::sorter {

void sort_lines(std::span<const LineRef> lines, const text::LineComparator& comparator,
                LineOrder& order, unsigned threads) {
  if (lines.empty()) {
    order.indices_ = {};
    return;
  }
  auto* notes = reinterpret_cast<LineSource::Note*>(order.notes_.data());
  const LineSource source(lines, comparator, notes);
  order.indices_ = sort_keys(source, order.space_, threads);
}

}  // namespace zelto::sorter
