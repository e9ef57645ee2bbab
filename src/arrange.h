// The record file and the two arranging passes, which hand their lines to
// a line sink (line_sink.h).
//
// A record file is a plain sequence of `record_count` records of `record_size`
// bytes: an 80-byte key area, the record number at offset 80 and a
// NUL-terminated text field at offset 80 (or 91 when records are numbered).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "compare.h"
#include "line_sink.h"
#include "record_format.h"
#include "sort_engine.h"

namespace zelto {

// What a pass tells the driver: what became of its lines.
using ArrangeResult = LineDelivery;

// The nine arguments of a pass, as the run settings give them.
struct ArrangeArguments {
  std::string input_path;
  std::string output_path;
  std::int32_t record_count;
  std::int32_t key_type;
  std::int32_t record_size;
  int numbered;
  int crlf;
  int case_sensitive;
  int descending;
  // The record file goes once the lines are delivered: they must reach
  // stable storage first.
  bool durable = false;
};

// Reads every record, sorts them with the selected comparator and writes each
// record's text line, in the new order, to the output path or standard output.
[[nodiscard]] ArrangeResult arranging_to_produce_text(const ArrangeArguments& args);
// As above, but keeps only a record whose pattern code differs from the code
// of the record just before it in sorted order.
[[nodiscard]] ArrangeResult arranging_unique_lines_to_produce_text(const ArrangeArguments& args);

// The selection table: key type 1 integers, 2 doubles, 0 phrases (folded when
// `case_sensitive` is 0), any other value exact phrases.
[[nodiscard]] SortPolicy select_policy(std::int32_t key_type, int case_sensitive, int descending);

}  // namespace zelto
