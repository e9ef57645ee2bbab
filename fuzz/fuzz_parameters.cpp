// Fuzzes the parameter-file reader: the input is the file's bytes. Every
// setting must agree with a plain model of the line rules, both when the
// bytes are applied directly and when they are read from a file.
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "run_binary.h"
#include "zeltoMain.h"

namespace {

using zelto::RunSettings;

constexpr std::size_t PIECE_LIMIT = 255;
constexpr std::size_t LINES_READ = 13;

// Start values that no parameter line yields for a flag or a path, so a
// setting changed without its line is seen.
RunSettings untouched_settings() {
  RunSettings s;
  s.record_count = -123456789;
  s.key_type = 987654321;
  s.record_size = -55555;
  s.numbered = 7;
  s.case_sensitive = 7;
  s.report_ties = 7;
  s.input_path = std::string(300, 'I');
  s.output_path = std::string(300, 'O');
  s.crlf = 7;
  s.descending = 7;
  s.guide_to_stderr = 7;
  s.remove_record_file = 7;
  s.unique = 7;
  return s;
}

// The file as a text-mode read gives it: each CR directly before an LF goes.
std::string text_mode(std::string_view bytes) {
  std::string text;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const bool cr_before_lf = bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n';
    if (!cr_before_lf) text.push_back(bytes[i]);
  }
  return text;
}

// What successive reads into a 256-byte line buffer return: up to and
// including a newline, or 255 characters, whichever comes first.
std::vector<std::string> pieces_of(const std::string& text) {
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t newline = text.find('\n', start);
    std::size_t length = newline == std::string::npos ? text.size() - start : newline - start + 1;
    length = std::min(length, PIECE_LIMIT);
    pieces.push_back(text.substr(start, length));
    start += length;
  }
  return pieces;
}

// The line's value: everything before the first NUL, newline, apostrophe,
// bar or TAB.
std::string value_of(const std::string& piece) {
  std::string value;
  for (const char c : piece) {
    if (c == '\0' || c == '\n' || c == '\'' || c == '|' || c == '\t') break;
    value.push_back(c);
  }
  return value;
}

// strtol in base 10 on the value, then held to the signed 32-bit range.
std::int32_t number_of(const std::string& value) {
  const long n = std::strtol(value.c_str(), nullptr, 10);
  return static_cast<std::int32_t>(std::clamp<long>(n, INT32_MIN, INT32_MAX));
}

RunSettings model(std::string_view bytes) {
  RunSettings s = untouched_settings();
  const std::vector<std::string> pieces = pieces_of(text_mode(bytes));
  for (std::size_t i = 0; i < pieces.size() && i < LINES_READ; ++i) {
    const std::string v = value_of(pieces[i]);
    const int zero = v == "0" ? 1 : 0;
    switch (i + 1) {
      case 1: s.record_count = number_of(v); break;
      case 2: s.key_type = number_of(v); break;
      case 3: s.record_size = number_of(v); break;
      case 4: s.numbered = 1 - zero; break;
      case 5: s.case_sensitive = zero; break;
      case 6: s.report_ties = 1 - zero; break;
      case 7: s.input_path = v.substr(0, 255); break;
      case 8: s.output_path = v.substr(0, 255); break;
      case 9: s.crlf = v == "-LF" || v == "-L" || v == "0" ? 0 : 1; break;
      case 10: s.descending = 1 - zero; break;
      case 11: s.guide_to_stderr = zero; break;
      case 12: s.remove_record_file = zero; break;
      case 13: s.unique = 1 - zero; break;
    }
  }
  return s;
}

// The first setting in which `actual` differs from `expected`, or nullptr.
const char* first_difference(const RunSettings& actual, const RunSettings& expected) {
  if (actual.record_count != expected.record_count) return "record_count";
  if (actual.key_type != expected.key_type) return "key_type";
  if (actual.record_size != expected.record_size) return "record_size";
  if (actual.numbered != expected.numbered) return "numbered";
  if (actual.case_sensitive != expected.case_sensitive) return "case_sensitive";
  if (actual.report_ties != expected.report_ties) return "report_ties";
  if (actual.input_path != expected.input_path) return "input_path";
  if (actual.output_path != expected.output_path) return "output_path";
  if (actual.crlf != expected.crlf) return "crlf";
  if (actual.descending != expected.descending) return "descending";
  if (actual.guide_to_stderr != expected.guide_to_stderr) return "guide_to_stderr";
  if (actual.remove_record_file != expected.remove_record_file) return "remove_record_file";
  if (actual.unique != expected.unique) return "unique";
  return nullptr;
}

void check(const char* reader, const RunSettings& actual, const RunSettings& expected) {
  const char* field = first_difference(actual, expected);
  if (field == nullptr) return;
  std::fprintf(stderr, "%s: setting %s differs from the model\n", reader, field);
  std::fprintf(stderr, "  numbers actual %d %d %d, model %d %d %d\n", actual.record_count,
               actual.key_type, actual.record_size, expected.record_count, expected.key_type,
               expected.record_size);
  std::abort();
}

// A private directory for the file that the reader opens by path, removed
// with it at exit.
const zelto::testing::Sandbox& private_directory() {
  static const zelto::testing::Sandbox box;
  return box;
}
std::string parameter_file;

void write_file(const std::string& path, std::string_view bytes) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size() ||
      std::fclose(file) != 0) {
    std::perror("writing the parameter file");
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  parameter_file = private_directory().path("manager.txt").string();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The fuzzer's own buffer, exactly `size` bytes: a read past it is caught.
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const RunSettings expected = model(bytes);

  RunSettings direct = untouched_settings();
  zelto::apply_parameter_text(bytes, direct);
  check("apply_parameter_text", direct, expected);

  write_file(parameter_file, bytes);
  RunSettings from_file = untouched_settings();
  zelto::acquire_parameters_from_text(parameter_file.c_str(), from_file);
  check("acquire_parameters_from_text", from_file, expected);
  return 0;
}
