#include "zeltoMain.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <limits>
#include <optional>

#include "arrange.h"
#include "compare.h"
#include "guide.h"
#include "output_file.h"
#include "parameter_file.h"
#include "process.h"
#include "programs.h"
#include "progress.h"

namespace zelto {

namespace {

// A 256-byte line buffer holds at most this many characters of a line.
constexpr std::size_t PIECE_LIMIT = 255;
// No more of the file than this can reach the thirteen lines: each piece
// takes at most 255 characters and one dropped CR.
constexpr std::size_t PARAMETER_BYTES_READ = parameter_file::LINES * (PIECE_LIMIT + 1) + 1;

std::string cut_path(std::string_view text) {
  return std::string(text.substr(0, PATH_LIMIT));
}

// A line's value ends at the first NUL, newline, apostrophe, bar or TAB;
// the rest is a comment. Blanks are kept.
std::string_view line_value(std::string_view piece) {
  const std::size_t end = piece.find_first_of(std::string_view("\0\n'|\t", 5));
  return piece.substr(0, end);
}

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// A base-10 number read as strtol reads it, kept within the signed 32-bit
// range: leading white space and a sign, then digits up to the first other
// character; no digits give 0.
std::int32_t parse_number(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && is_space(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
    negative = text[i] == '-';
    ++i;
  }
  constexpr long long limit = 1LL << 31;  // beyond either end of the range
  long long magnitude = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    magnitude = std::min(limit, magnitude * 10 + (text[i] - '0'));
  }
  const long long value = negative ? -magnitude : magnitude;
  return static_cast<std::int32_t>(std::clamp<long long>(
      value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

void apply_parameter_line(int line, std::string_view value, RunSettings& s) {
  namespace file = parameter_file;
  const int flag = file::in_force(value) ? 1 : 0;
  switch (line) {
    case file::RECORD_COUNT: s.record_count = parse_number(value); break;
    case file::KEY_TYPE: s.key_type = parse_number(value); break;
    case file::RECORD_SIZE: s.record_size = parse_number(value); break;
    case file::NUMBERED: s.numbered = flag; break;
    case file::IGNORE_CASE: s.case_sensitive = 1 - flag; break;
    case file::REPORT_TIES: s.report_ties = flag; break;
    case file::INPUT_PATH: s.input_path = cut_path(value); break;
    case file::OUTPUT_PATH: s.output_path = cut_path(value); break;
    case file::LINE_END: s.crlf = file::asks_for_crlf(value) ? 1 : 0; break;
    case file::DESCENDING: s.descending = flag; break;
    case file::GUIDE_TO_STDOUT: s.guide_to_stderr = 1 - flag; break;
    case file::KEEP_RECORD_FILE: s.remove_record_file = 1 - flag; break;
    case file::UNIQUE: s.unique = flag; break;
    default: break;
  }
}

}  // namespace

void apply_parameter_text(std::string_view text, RunSettings& settings) {
  std::string piece;
  int line = 0;
  const auto finish_piece = [&] {
    apply_parameter_line(++line, line_value(piece), settings);
    piece.clear();
  };
  for (std::size_t i = 0; i < text.size() && line < parameter_file::LINES; ++i) {
    const char c = text[i];
    // Text mode: a CR right before an LF is not part of the line.
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    piece += c;
    if (c == '\n' || piece.size() == PIECE_LIMIT) finish_piece();
  }
  if (!piece.empty() && line < parameter_file::LINES) finish_piece();
}

void acquire_parameters_from_text(const char* path, RunSettings& settings) {
  std::FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return;
  // On the stack: a run with little memory still reads its settings.
  std::array<char, PARAMETER_BYTES_READ> text;
  const std::size_t read = std::fread(text.data(), 1, text.size(), file);
  std::fclose(file);
  apply_parameter_text({text.data(), read}, settings);
}

ScanOutcome scan_arguments(std::span<const char* const> arguments, RunSettings& s) {
  bool expect_output = false;
  for (const std::string_view arg : arguments) {
    if (arg == "-r")
      s.descending = 1;
    else if (arg == "-CRLF")
      s.crlf = 1;
    else if (arg == "-L-")
      s.crlf = 1;
    else if (arg == "-y")
      s.remove_record_file = 0;
    else if (arg == "-e")
      s.crlf = 0;
    else if (arg == "--help")
      return ScanOutcome::FullGuide;
    else if (arg == "-u")
      s.unique = 1;
    else if (arg == "-o")
      expect_output = true;
    else if (arg == "-f")
      s.case_sensitive = 0;
    else if (arg == "-LF")
      s.crlf = 0;
    else if (arg == "-L")
      s.crlf = 0;
    else if (arg == "-s")
      s.guide_to_stderr = 0;
    // Empties the path but still waits for one: "-o -o- name" writes to name.
    else if (arg == "-o-")
      s.output_path.clear();
    else if (arg == "-8")
      s.crlf = 0;
    else if (arg == "-VC")
      return ScanOutcome::FullGuide;
    else if (arg == "-V")
      return ScanOutcome::ShortGuide;
    else if (expect_output) {
      s.output_path = cut_path(arg);
      expect_output = false;
    } else {
      s.input_path = cut_path(arg);
    }
  }
  return ScanOutcome::Arrange;
}

namespace {

// The record file "binary.tmp" of the working directory when `input_path`
// names it: only that file's records may be removed after the run.
std::optional<FileIdentity> record_file_read(const std::string& input_path) {
  const std::optional<FileIdentity> input = identity_of(input_path);
  if (!input.has_value() || input != identity_of(RECORD_FILE)) return std::nullopt;
  return input;
}

// True when a file the run writes to besides its output is the record file
// itself: standard output (appended to or opened in place), the fallback
// file or the error log. Such a record file is never removed.
bool written_besides_the_output(const FileIdentity& record_file) {
  return standard_output_identity() == record_file || identity_of(FALLBACK_PATH) == record_file ||
         identity_of(ERROR_LOG_PATH) == record_file;
}

// Lists the noted record numbers in slot order, up to the first one that is
// 0 or less. False when the listing could not be written.
bool print_tie_report() {
  bool written = true;
  for (const std::int32_t number : check_ID) {
    if (number <= 0) break;
    written = std::printf("Line-%d\n", number) >= 0 && written;
  }
  return std::fflush(stdout) == 0 && written && std::ferror(stdout) == 0;
}

}  // namespace

int run_command(int argc, const char* const* argv) {
  prepare_process();
  RunSettings s;
  acquire_parameters_from_text(PARAMETER_FILE, s);
  const auto arguments = std::span<const char* const>(argv, static_cast<std::size_t>(argc));
  switch (scan_arguments(arguments.subspan(argc > 0 ? 1 : 0), s)) {
    case ScanOutcome::FullGuide: version_guide(VERSION, 1, s.guide_to_stderr);
    case ScanOutcome::ShortGuide: version_guide(VERSION, 0, s.guide_to_stderr);
    case ScanOutcome::Arrange: break;
  }
  const std::optional<FileIdentity> record_file = record_file_read(s.input_path);
  const bool record_file_written = record_file && written_besides_the_output(*record_file);
  const bool removes_record_file = s.remove_record_file == 1 && record_file && !record_file_written;
  const ArrangeArguments pass{s.input_path,  s.output_path,      s.record_count, s.key_type,
                              s.record_size, s.numbered,         s.crlf,         s.case_sensitive,
                              s.descending,  removes_record_file};
  ArrangeResult result = s.unique == 1 ? arranging_unique_lines_to_produce_text(pass)
                                       : arranging_to_produce_text(pass);
  // Records whose lines were not delivered, or were delivered into the
  // record file itself, stay on disk; so does any file the run did not read,
  // including one that took the record file's name during the run.
  if (removes_record_file && result.lines_delivered && !result.delivered_into_input) {
    remove_if_same(RECORD_FILE, *record_file);
  }
  // The tie report is output too: its loss is a failure, reported once.
  if (s.report_ties == 1 && !print_tie_report()) {
    if (!result.stdout_failed) report("fwrite() error-1: stdout");
    result.status = ERROR_CODE;
  }
  return result.status;
}

}  // namespace zelto
