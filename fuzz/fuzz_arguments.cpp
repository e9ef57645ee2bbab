// Fuzzes the command-line scan against a model of the option table.
//
// Input: the first byte picks the settings the scan starts from (bit 0 crlf,
// 1 descending, 2 unique, 3 case_sensitive, 4 guide_to_stderr,
// 5 remove_record_file, 6 a non-empty output path); the remaining bytes are the
// arguments, split at NUL bytes (so "a\0\0b" is "a", "" and "b"; no bytes, no
// arguments).
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "zeltoMain.h"

namespace {

using zelto::RunSettings;
using zelto::ScanOutcome;

constexpr std::size_t PATH_LIMIT = 255;

RunSettings start_settings(std::uint8_t bits) {
  RunSettings s;
  // Settings the command line never touches get values of their own.
  s.record_count = 31;
  s.key_type = 2;
  s.record_size = 97;
  s.numbered = 1;
  s.report_ties = 1;
  s.crlf = bits & 1;
  s.descending = (bits >> 1) & 1;
  s.unique = (bits >> 2) & 1;
  s.case_sensitive = (bits >> 3) & 1;
  s.guide_to_stderr = (bits >> 4) & 1;
  s.remove_record_file = (bits >> 5) & 1;
  s.output_path = (bits >> 6) & 1 ? "earlier-output.txt" : "";
  return s;
}

std::vector<std::string> split_at_nul(std::string_view bytes) {
  std::vector<std::string> arguments;
  if (bytes.empty()) return arguments;
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = bytes.find('\0', start);
    arguments.emplace_back(bytes.substr(start, nul - start));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  return arguments;
}

struct Expected {
  RunSettings settings;
  ScanOutcome outcome = ScanOutcome::Arrange;
};

struct ModelState {
  RunSettings& s;
  bool awaiting_output;
};

// Each option's whole text and what it does; any other argument is a path.
const std::map<std::string, void (*)(ModelState&)>& option_table() {
  static const std::map<std::string, void (*)(ModelState&)> table = {
      {"-r", [](ModelState& m) { m.s.descending = 1; }},
      {"-CRLF", [](ModelState& m) { m.s.crlf = 1; }},
      {"-L-", [](ModelState& m) { m.s.crlf = 1; }},
      {"-y", [](ModelState& m) { m.s.remove_record_file = 0; }},
      {"-e", [](ModelState& m) { m.s.crlf = 0; }},
      {"-u", [](ModelState& m) { m.s.unique = 1; }},
      {"-o", [](ModelState& m) { m.awaiting_output = true; }},
      {"-f", [](ModelState& m) { m.s.case_sensitive = 0; }},
      {"-LF", [](ModelState& m) { m.s.crlf = 0; }},
      {"-L", [](ModelState& m) { m.s.crlf = 0; }},
      {"-s", [](ModelState& m) { m.s.guide_to_stderr = 0; }},
      {"-o-", [](ModelState& m) { m.s.output_path.clear(); }},
      {"-8", [](ModelState& m) { m.s.crlf = 0; }},
  };
  return table;
}

Expected model(const std::vector<std::string>& arguments, const RunSettings& start) {
  Expected e{start};
  ModelState m{e.settings, false};
  for (const std::string& arg : arguments) {
    if (arg == "--help" || arg == "-VC") {
      e.outcome = ScanOutcome::FullGuide;
      break;
    }
    if (arg == "-V") {
      e.outcome = ScanOutcome::ShortGuide;
      break;
    }
    const auto option = option_table().find(arg);
    if (option != option_table().end()) {
      option->second(m);
    } else if (m.awaiting_output) {
      e.settings.output_path = arg.substr(0, PATH_LIMIT);
      m.awaiting_output = false;
    } else {
      e.settings.input_path = arg.substr(0, PATH_LIMIT);
    }
  }
  return e;
}

bool is_flag(int v) {
  return v == 0 || v == 1;
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "scan_arguments: %s\n", what);
  std::abort();
}

void check(const RunSettings& a, ScanOutcome outcome, const Expected& e) {
  const RunSettings& x = e.settings;
  if (a.input_path.size() > PATH_LIMIT) fail("input_path longer than 255");
  if (a.output_path.size() > PATH_LIMIT) fail("output_path longer than 255");
  for (const int flag : {a.numbered, a.case_sensitive, a.report_ties, a.crlf, a.descending,
                         a.guide_to_stderr, a.remove_record_file, a.unique}) {
    if (!is_flag(flag)) fail("a flag outside {0, 1}");
  }
  if (outcome != e.outcome) fail("outcome differs from the model");
  if (a.record_count != x.record_count || a.key_type != x.key_type ||
      a.record_size != x.record_size || a.numbered != x.numbered ||
      a.report_ties != x.report_ties) {
    fail("a setting the command line does not own changed");
  }
  if (a.input_path != x.input_path) fail("input_path differs from the model");
  if (a.output_path != x.output_path) fail("output_path differs from the model");
  if (a.crlf != x.crlf) fail("crlf differs from the model");
  if (a.descending != x.descending) fail("descending differs from the model");
  if (a.unique != x.unique) fail("unique differs from the model");
  if (a.case_sensitive != x.case_sensitive) fail("case_sensitive differs from the model");
  if (a.guide_to_stderr != x.guide_to_stderr) fail("guide_to_stderr differs from the model");
  if (a.remove_record_file != x.remove_record_file) {
    fail("remove_record_file differs from the model");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const RunSettings start = start_settings(data[0]);
  const std::vector<std::string> arguments =
      split_at_nul(std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1));

  // Each argument in a buffer of exactly its length and NUL, as in argv, so a
  // read past an argument's end is caught.
  std::vector<std::unique_ptr<char[]>> storage;
  std::vector<const char*> argv;
  for (const std::string& arg : arguments) {
    storage.push_back(std::make_unique<char[]>(arg.size() + 1));
    std::memcpy(storage.back().get(), arg.c_str(), arg.size() + 1);
    argv.push_back(storage.back().get());
  }

  RunSettings actual = start;
  const ScanOutcome outcome = zelto::scan_arguments(argv, actual);
  check(actual, outcome, model(arguments, start));
  return 0;
}
