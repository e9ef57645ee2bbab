// The record file, the two arranging passes and the line writers.
//
// A record file is a plain sequence of `record_count` records of `record_size`
// bytes: an 80-byte key area, the record number at offset 80 and a
// NUL-terminated text field at offset 80 (or 91 when records are numbered).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "compare.h"
#include "output_file.h"
#include "record_format.h"
#include "sort_engine.h"

namespace zelto {

// What a pass tells the driver: its status (0 or ERROR_CODE) and whether the
// lines reached a destination, the requested output or the fallback file. A
// record file whose lines were not delivered must not be removed.
struct ArrangeResult {
  int status;
  bool lines_delivered;
  // The lines took the place of the record file that was read.
  bool delivered_into_input = false;
  // Writing the lines to standard output failed, and was reported.
  bool stdout_failed = false;
};

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

enum class Delivery { Written, FellBack, Failed };

// How the lines of a pass are written, and what became of them.
struct OutputContext {
  int text_offset;
  int crlf;
  // Lines are gathered here before they are written; reserved before any
  // output is opened.
  std::span<unsigned char> block;
  // The record file that was read: an output that is this file replaces it
  // only once every line is written.
  std::optional<FileIdentity> input;
  // When set: false once the records read turn out unreadable (a mapped
  // file that shrank), checked after the lines are written.
  std::function<bool()> records_intact;
  // The lines must reach stable storage before the pass ends.
  bool durable = false;
  bool delivered_into_input = false;
  bool stdout_failed = false;
};

// Writes each record's text, cut at its first newline, followed by LF or
// (with `crlf` 1) CR LF, to `output_path`; when that cannot be opened, notes
// it in the error log and writes to "zelto.txt" instead (FellBack).
[[nodiscard]] Delivery producing(const std::string& output_path, const RecordTable& table,
                                 OutputContext& context);
// Writes each record's text unchanged to standard output.
[[nodiscard]] Delivery display_records(const RecordTable& table, OutputContext& context);
// Replaces the error log "error.txt" with "<message> <path>"; skipped when
// the log cannot be opened. When the log is the file `records` that was
// read, the records stay: the message goes to standard error instead.
void error_handler(const char* message, const std::string& path,
                   const std::optional<FileIdentity>& records = std::nullopt);

}  // namespace zelto
