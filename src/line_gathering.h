// Turns records, in sorted order, into the bytes of their lines.
//
// A line is a record's text field (from the text offset up to its NUL, or up
// to the record's end), cut at its first newline where the format says so,
// then the format's line end. With several threads, each formats its share of
// the order into a buffer of its own and the buffers are handed on in order,
// so the bytes are the same for every thread count.
#pragma once

#include <cstddef>
#include <string_view>

#include "sort_engine.h"

namespace zelto {

struct LineFormat {
  int text_offset;
  bool cut_at_newline;        // only the text before the first newline is kept
  std::string_view line_end;  // written after each text ("" for none)
};

// A record's line without its line end: its text field, cut at the first
// newline when the format says so.
[[nodiscard]] std::string_view line_of(const unsigned char* record, std::size_t record_size,
                                       const LineFormat& format);

class LineSink;

// Appends every line of `table`, in order, to `sink` (possibly several lines
// at once), from the calling thread only. Uses up to `threads` threads.
void gather_lines(const RecordTable& table, const LineFormat& format, unsigned threads,
                  LineSink& sink);

}  // namespace zelto
