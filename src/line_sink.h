// The one way out for the lines of a run.
//
// A sink takes the lines of a pass in order and delivers them: to the
// output file (written in place, or as a replacement when the output is the
// record file that was read), to the fallback file "zelto.txt" when the
// output cannot be opened (noted in the error log), or to standard output.
// Bytes are gathered in a block reserved before any output is opened and
// written by halves, one on a thread of its own while the other fills.
//
// In a file each line is the record's text cut at its first newline and
// ended by LF or CR LF; on standard output the text is shown as it is.
// `finish` says what became of the lines; a pass returns that as its result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "line_gathering.h"
#include "output_file.h"

namespace zelto {

// Bytes gathered before they are written; every plan of a pass counts them.
inline constexpr std::size_t LINE_BLOCK = std::size_t{1} << 20;

// What became of the lines of a pass: its status (0 or ERROR_CODE) and
// whether they reached a destination, the requested output or the fallback
// file. A record file whose lines were not delivered must not be removed.
struct LineDelivery {
  int status;
  bool lines_delivered;
  // The lines took the place of the record file that was read.
  bool delivered_into_input = false;
  // Writing the lines to standard output failed, and was reported.
  bool stdout_failed = false;
};

// Where the lines of a pass go and how they look.
struct LineDestination {
  std::string output_path;  // empty: standard output
  int text_offset;
  bool crlf;
  // The record file that was read: an output that is this file replaces it
  // only once every line is written.
  std::optional<FileIdentity> input;
  // The record file goes after the run: the lines reach stable storage first.
  bool durable = false;
};

class BlockWriter;

class LineSink {
 public:
  // `block` (LINE_BLOCK bytes) is reserved by the pass before the sink opens.
  LineSink(LineDestination destination, std::span<unsigned char> block);
  ~LineSink();
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  // Opens the output, or else the fallback file; standard output is always
  // open. False when no file could be opened (reported): nothing is written.
  [[nodiscard]] bool open();
  // How the lines are to be formed for this destination; valid after open.
  [[nodiscard]] const LineFormat& format() const { return format_; }

  // Appends bytes of lines, in order.
  void append(std::string_view bytes);
  // Appends a record's line and the line end.
  void append_line_of(const unsigned char* record, std::size_t record_size) {
    append(line_of(record, record_size, format_));
    append(format_.line_end);
  }

  // Every line was appended: writes what is gathered and puts the output in
  // place. `records_intact` false (the records read turned out unreadable)
  // gives the output up instead, with the read failure left to the caller.
  [[nodiscard]] LineDelivery finish(bool records_intact = true);
  // Not every line could be had (reported by the caller): gives up what was
  // written, so that nothing is taken for a result.
  [[nodiscard]] LineDelivery abandon();

 private:
  [[nodiscard]] LineDelivery finish_file(bool written);
  [[nodiscard]] LineDelivery finish_display(bool written);
  [[nodiscard]] LineDelivery deliver_to_fallback();
  [[nodiscard]] LineDelivery failed() const;

  LineDestination destination_;
  std::span<unsigned char> block_;
  LineFormat format_{};
  std::string path_;  // the file written: the output or the fallback
  bool fell_back_ = false;
  OutputFile file_;
  std::unique_ptr<BlockWriter> writer_;
};

}  // namespace zelto
