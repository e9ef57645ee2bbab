// The parameter file and the command-line scan, table-driven: every case
// states only the settings it changes from the defaults, and all thirteen
// settings are compared.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "run_binary.h"
#include "zeltoMain.h"

namespace zelto {
namespace {

using Change = std::function<void(RunSettings&)>;

void expect_settings(const RunSettings& got, const RunSettings& want) {
  EXPECT_EQ(got.record_count, want.record_count) << "record_count";
  EXPECT_EQ(got.key_type, want.key_type) << "key_type";
  EXPECT_EQ(got.record_size, want.record_size) << "record_size";
  EXPECT_EQ(got.numbered, want.numbered) << "numbered";
  EXPECT_EQ(got.case_sensitive, want.case_sensitive) << "case_sensitive";
  EXPECT_EQ(got.report_ties, want.report_ties) << "report_ties";
  EXPECT_EQ(got.input_path, want.input_path) << "input_path";
  EXPECT_EQ(got.output_path, want.output_path) << "output_path";
  EXPECT_EQ(got.crlf, want.crlf) << "crlf";
  EXPECT_EQ(got.descending, want.descending) << "descending";
  EXPECT_EQ(got.guide_to_stderr, want.guide_to_stderr) << "guide_to_stderr";
  EXPECT_EQ(got.remove_record_file, want.remove_record_file) << "remove_record_file";
  EXPECT_EQ(got.unique, want.unique) << "unique";
}

RunSettings changed(const Change& change) {
  RunSettings s;
  if (change) change(s);
  return s;
}

// Settings where every flag and number differs from its default, to show
// that what a file or argument list leaves alone keeps its value.
void preset(RunSettings& s) {
  s.record_count = 11;
  s.key_type = 22;
  s.record_size = 333;
  s.numbered = 1;
  s.case_sensitive = 0;
  s.report_ties = 1;
  s.input_path = "preset-in";
  s.output_path = "preset-out";
  s.crlf = 0;
  s.descending = 1;
  s.guide_to_stderr = 0;
  s.remove_record_file = 0;
  s.unique = 1;
}

// Thirteen lines, each followed by LF.
std::string lines(const std::vector<std::string>& values) {
  std::string text;
  for (const std::string& v : values) text += v + "\n";
  return text;
}

// Six "0"/number lines to reach line 7, the first path line.
const std::string TO_LINE_7 = lines({"0", "0", "0", "0", "0", "0"});
const Change LINES_1_TO_6 = [](RunSettings&) {};

struct TextCase {
  std::string name;
  std::string text;
  Change change;
};

void run_text_cases(const std::vector<TextCase>& cases) {
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.name);
    RunSettings got;
    apply_parameter_text(c.text, got);
    expect_settings(got, changed(c.change));
  }
}

TEST(ParameterText, WholeFiles) {
  run_text_cases({
      {"empty file", "", nullptr},
      {"the example file",
       lines({"500", "1", "128", "-#", "0", "0", "binary.tmp", "out.txt", "-CRLF", "0", "0", "0",
              "0"}),
       [](RunSettings& s) {
         s.record_count = 500;
         s.key_type = 1;
         s.record_size = 128;
         s.numbered = 1;
         s.output_path = "out.txt";
       }},
      {"every option in force",
       lines({"3", "2", "96", "-#", "-f", "-!", "in", "out", "-LF", "-r", "-s", "-y", "-u"}),
       [](RunSettings& s) {
         s.record_count = 3;
         s.key_type = 2;
         s.record_size = 96;
         s.numbered = 1;
         s.case_sensitive = 0;
         s.report_ties = 1;
         s.input_path = "in";
         s.output_path = "out";
         s.crlf = 0;
         s.descending = 1;
         s.guide_to_stderr = 0;
         s.remove_record_file = 0;
         s.unique = 1;
       }},
      {"empty lines put every flag in force", std::string(13, '\n'),
       [](RunSettings& s) {
         s.numbered = 1;
         s.case_sensitive = 0;
         s.report_ties = 1;
         s.input_path = "";
         s.crlf = 1;
         s.descending = 1;
         s.guide_to_stderr = 0;
         s.remove_record_file = 0;
         s.unique = 1;
       }},
      {"three lines set three settings", "7\n1\n100\n",
       [](RunSettings& s) {
         s.record_count = 7;
         s.key_type = 1;
         s.record_size = 100;
       }},
      {"last line without newline", "7\n2",
       [](RunSettings& s) {
         s.record_count = 7;
         s.key_type = 2;
       }},
      {"lines from 14 on are ignored",
       lines({"1", "1", "91", "0", "0", "0", "in", "", "-LF", "0", "0", "0", "0", "-u", "-r",
              std::string(600, 'z'), "9"}),
       [](RunSettings& s) {
         s.record_count = 1;
         s.key_type = 1;
         s.record_size = 91;
         s.input_path = "in";
         s.crlf = 0;
       }},
      {"CR LF line ends", "5\r\n1\r\n96\r\n0\r\n0\r\n0\r\nin\r\nout\r\n",
       [](RunSettings& s) {
         s.record_count = 5;
         s.key_type = 1;
         s.record_size = 96;
         s.input_path = "in";
         s.output_path = "out";
       }},
  });
}

TEST(ParameterText, NumberLines) {
  struct NumberCase {
    std::string line;
    std::int32_t value;
  };
  const std::vector<NumberCase> cases = {
      {"42", 42},
      {"  42", 42},
      {"\v\f 8", 8},
      {"+7", 7},
      {"-13", -13},
      {"007", 7},
      {"12abc", 12},
      {"1 2", 1},
      {"100|count", 100},
      {"100'count", 100},
      {"abc", 0},
      {"", 0},
      {"+", 0},
      {"-", 0},
      {"--5", 0},
      {"- 5", 0},
      {"0x10", 0},
      {"\t5", 0},  // the TAB cuts the line before the number
      {std::string("1\0"
                   "99",
                   4),
       1},
      {"2147483647", 2147483647},
      {"2147483648", 2147483647},
      {"4294967296", 2147483647},
      {"99999999999999999999999999", 2147483647},
      {"-2147483648", -2147483648},
      {"-2147483649", -2147483648},
      {"-99999999999999999999999999", -2147483648},
  };
  for (const NumberCase& c : cases) {
    SCOPED_TRACE("line \"" + c.line + "\"");
    for (int line = 1; line <= 3; ++line) {
      std::string text;
      for (int i = 1; i < line; ++i) text += "9\n";
      text += c.line + "\n";
      RunSettings got;
      apply_parameter_text(text, got);
      const std::int32_t fields[] = {got.record_count, got.key_type, got.record_size};
      EXPECT_EQ(fields[line - 1], c.value) << "parameter line " << line;
    }
  }
  // A CR that is not before an LF stays, and strtol skips it as white space.
  RunSettings got;
  apply_parameter_text("\r9\n", got);
  EXPECT_EQ(got.record_count, 9);
}

TEST(ParameterText, FlagLines) {
  struct FlagCase {
    int line;
    std::string value;
    int expected;
  };
  const std::vector<FlagCase> cases = {
      {4, "0", 0},     {4, "-#", 1},    {4, "", 1},      {4, "no", 1},
      {5, "0", 1},     {5, "-f", 0},    {5, "", 0},      {6, "0", 0},
      {6, "-!", 1},    {6, "", 1},      {9, "-LF", 0},   {9, "-L", 0},
      {9, "0", 0},     {9, "-CRLF", 1}, {9, "-L-", 1},   {9, "-e", 1},
      {9, "-8", 1},    {9, "-lf", 1},   {9, "", 1},      {9, "-LF ", 1},
      {9, "-LF|x", 0}, {10, "0", 0},    {10, "-r", 1},   {10, "0 |x", 1},
      {10, "0|x", 0},  {10, "0'x", 0},  {10, "0\tx", 0}, {10, " 0", 1},
      {10, "00", 1},   {10, "-R", 1},   {11, "0", 1},    {11, "-s", 0},
      {11, "", 0},     {12, "0", 1},    {12, "-y", 0},   {12, "", 0},
      {13, "0", 0},    {13, "-u", 1},   {13, "", 1},     {13, std::string("0\0x", 3), 0},
  };
  for (const FlagCase& c : cases) {
    SCOPED_TRACE("line " + std::to_string(c.line) + " \"" + c.value + "\"");
    // Lines before the flag line hold values that leave defaults alone where
    // they can; only the flag line's setting is compared.
    std::vector<std::string> values = {"0", "0",     "0", "0", "0", "0", "binary.tmp",
                                       "",  "-CRLF", "0", "0", "0", "0"};
    values[static_cast<std::size_t>(c.line - 1)] = c.value;
    RunSettings got;
    apply_parameter_text(lines(values), got);
    const int fields[] = {
        got.numbered,   got.case_sensitive,  got.report_ties,        0,         0, got.crlf,
        got.descending, got.guide_to_stderr, got.remove_record_file, got.unique};
    EXPECT_EQ(fields[c.line - 4], c.expected);
  }
}

TEST(ParameterText, PathLines) {
  const std::string a255(255, 'a');
  const std::string a254(254, 'a');
  run_text_cases({
      {"comment after a bar", TO_LINE_7 + "in|comment\nout'comment\n",
       [](RunSettings& s) {
         s.input_path = "in";
         s.output_path = "out";
       }},
      {"TAB cuts", TO_LINE_7 + "in\tx\nout\ty\n",
       [](RunSettings& s) {
         s.input_path = "in";
         s.output_path = "out";
       }},
      {"blanks are kept", TO_LINE_7 + " in \nout x\n",
       [](RunSettings& s) {
         s.input_path = " in ";
         s.output_path = "out x";
       }},
      {"CR not before LF stays", TO_LINE_7 + "a\rb\nout\r\r\n",
       [](RunSettings& s) {
         s.input_path = "a\rb";
         s.output_path = "out\r";
       }},
      {"CR at end of file stays", TO_LINE_7 + "in\r",
       [](RunSettings& s) { s.input_path = "in\r"; }},
      {"NUL ends the value", TO_LINE_7 + std::string("in\0tail\n", 8),
       [](RunSettings& s) { s.input_path = "in"; }},
      // 300 characters make two pieces: 255 and 45; "-LF" lands on line 9.
      {"300-character line takes two line numbers", TO_LINE_7 + std::string(300, 'a') + "\n-LF\n",
       [](RunSettings& s) {
         s.input_path = std::string(255, 'a');
         s.output_path = std::string(45, 'a');
         s.crlf = 0;
       }},
      // Exactly 255 characters fill a piece; the newline is a piece of its own.
      {"255-character line is followed by an empty piece", TO_LINE_7 + a255 + "\nout\n-r\n",
       [&](RunSettings& s) {
         s.input_path = a255;
         s.output_path = "";
         s.crlf = 1;
         s.descending = 1;
       }},
      // The CR before the LF does not count, so the line fits in one piece.
      {"254 characters and CR LF are one line", TO_LINE_7 + a254 + "\r\nout\r\n-LF\r\n",
       [&](RunSettings& s) {
         s.input_path = a254;
         s.output_path = "out";
         s.crlf = 0;
       }},
      {"254 characters, CR, x, LF: the CR fills the piece", TO_LINE_7 + a254 + "\rx\n-r\n",
       [&](RunSettings& s) {
         s.input_path = a254 + "\r";
         s.output_path = "x";
         s.crlf = 1;
       }},
      // A NUL still counts toward the piece's 255 characters.
      {"NUL counts toward the piece",
       TO_LINE_7 + std::string("ab\0", 3) + std::string(252, 'c') + "\nout\n",
       [](RunSettings& s) {
         s.input_path = "ab";
         s.output_path = "";
         s.crlf = 1;
       }},
      {"empty input path", TO_LINE_7 + "\n", [](RunSettings& s) { s.input_path = ""; }},
  });
}

TEST(ParameterFile, MissingFileChangesNothing) {
  RunSettings got;
  preset(got);
  acquire_parameters_from_text("/nonexistent-zelto-dir/manager.txt", got);
  expect_settings(got, changed(preset));
}

TEST(ParameterFile, ReadsTheFileBytesAsTheTextRules) {
  const testing::Sandbox box;
  const std::filesystem::path file = box.path("manager.txt");
  // Lines 1 to 12 of 254 characters and CR LF each: the longest file that
  // still holds thirteen lines; the thirteenth sets `unique`.
  std::string text;
  for (int line = 1; line <= 12; ++line) {
    const std::string value = line <= 3 ? std::to_string(line * 10) : "0";
    text += value + "|" + std::string(253 - value.size(), 'c') + "\r\n";
  }
  text += "-u\r\n";
  text += std::string("ignored\0", 8);
  std::ofstream(file, std::ios::binary) << text;
  RunSettings got;
  preset(got);
  acquire_parameters_from_text(file.string().c_str(), got);
  RunSettings want;
  apply_parameter_text(text, want);
  expect_settings(got, want);
  EXPECT_EQ(got.record_count, 10);
  EXPECT_EQ(got.record_size, 30);
  EXPECT_EQ(got.input_path, "0");
  EXPECT_EQ(got.unique, 1);
}

struct ScanCase {
  std::string name;
  std::vector<std::string> arguments;
  ScanOutcome outcome;
  Change change;
  Change start = nullptr;  // settings before the scan, defaults when null
};

void run_scan_cases(const std::vector<ScanCase>& cases) {
  for (const ScanCase& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const char*> argv;
    for (const std::string& a : c.arguments) argv.push_back(a.c_str());
    RunSettings got = changed(c.start);
    const ScanOutcome outcome = scan_arguments(argv, got);
    EXPECT_EQ(static_cast<int>(outcome), static_cast<int>(c.outcome));
    RunSettings want = changed(c.start);
    if (c.change) c.change(want);
    expect_settings(got, want);
  }
}

const auto LF = [](RunSettings& s) { s.crlf = 0; };
const auto CRLF = [](RunSettings& s) { s.crlf = 1; };

TEST(ScanArguments, EachOption) {
  using O = ScanOutcome;
  run_scan_cases({
      {"no arguments", {}, O::Arrange, nullptr},
      {"-r", {"-r"}, O::Arrange, [](RunSettings& s) { s.descending = 1; }},
      {"-CRLF", {"-CRLF"}, O::Arrange, CRLF, LF},
      {"-L-", {"-L-"}, O::Arrange, CRLF, LF},
      {"-y", {"-y"}, O::Arrange, [](RunSettings& s) { s.remove_record_file = 0; }},
      {"-e", {"-e"}, O::Arrange, LF},
      {"-u", {"-u"}, O::Arrange, [](RunSettings& s) { s.unique = 1; }},
      {"-f", {"-f"}, O::Arrange, [](RunSettings& s) { s.case_sensitive = 0; }},
      {"-LF", {"-LF"}, O::Arrange, LF},
      {"-L", {"-L"}, O::Arrange, LF},
      {"-8", {"-8"}, O::Arrange, LF},
      {"-s", {"-s"}, O::Arrange, [](RunSettings& s) { s.guide_to_stderr = 0; }},
      {"-o-",
       {"-o-"},
       O::Arrange,
       [](RunSettings& s) { s.output_path = ""; },
       [](RunSettings& s) { s.output_path = "old"; }},
      {"--help", {"--help"}, O::FullGuide, nullptr},
      {"-VC", {"-VC"}, O::FullGuide, nullptr},
      {"-V", {"-V"}, O::ShortGuide, nullptr},
      {"plain argument",
       {"records.bin"},
       O::Arrange,
       [](RunSettings& s) { s.input_path = "records.bin"; }},
      {"empty argument", {""}, O::Arrange, [](RunSettings& s) { s.input_path = ""; }},
      {"-o and a name",
       {"-o", "out.txt"},
       O::Arrange,
       [](RunSettings& s) { s.output_path = "out.txt"; }},
  });
}

TEST(ScanArguments, OrderAndInteractions) {
  using O = ScanOutcome;
  run_scan_cases({
      {"-o as the last argument keeps the output path",
       {"-o"},
       O::Arrange,
       nullptr,
       [](RunSettings& s) { s.output_path = "kept"; }},
      {"-o, -o-, name: the name is the output",
       {"-o", "-o-", "name"},
       O::Arrange,
       [](RunSettings& s) { s.output_path = "name"; },
       [](RunSettings& s) { s.output_path = "x"; }},
      {"-o A -o- B: display, read B",
       {"-o", "A", "-o-", "B"},
       O::Arrange,
       [](RunSettings& s) {
         s.output_path = "";
         s.input_path = "B";
       }},
      {"an option after -o acts; the next name is the output",
       {"-o", "-r", "out"},
       O::Arrange,
       [](RunSettings& s) {
         s.descending = 1;
         s.output_path = "out";
       }},
      {"-o twice", {"-o", "-o", "out"}, O::Arrange, [](RunSettings& s) { s.output_path = "out"; }},
      {"two plain arguments: the second is the input",
       {"first", "second"},
       O::Arrange,
       [](RunSettings& s) { s.input_path = "second"; }},
      {"-o name then a plain argument",
       {"-o", "out", "in"},
       O::Arrange,
       [](RunSettings& s) {
         s.output_path = "out";
         s.input_path = "in";
       }},
      {"last crlf option wins", {"-LF", "-CRLF", "-e", "-L-"}, O::Arrange, CRLF, LF},
      {"parameter-file-only options are names",
       {"-#", "-o", "-!"},
       O::Arrange,
       [](RunSettings& s) {
         s.input_path = "-#";
         s.output_path = "-!";
       }},
      {"matching is case-sensitive",
       {"-R"},
       O::Arrange,
       [](RunSettings& s) { s.input_path = "-R"; }},
      {"matching is whole", {"-rr"}, O::Arrange, [](RunSettings& s) { s.input_path = "-rr"; }},
      {"--HELP is a name", {"--HELP"}, O::Arrange, [](RunSettings& s) { s.input_path = "--HELP"; }},
      {"-v is a name", {"-v"}, O::Arrange, [](RunSettings& s) { s.input_path = "-v"; }},
      {"-s then --help: guide to stdout",
       {"-s", "--help"},
       O::FullGuide,
       [](RunSettings& s) { s.guide_to_stderr = 0; }},
      {"--help then -s: -s never seen", {"--help", "-s"}, O::FullGuide, nullptr},
      {"earlier arguments act, later ones do not",
       {"-r", "in", "-V", "-u", "other"},
       O::ShortGuide,
       [](RunSettings& s) {
         s.descending = 1;
         s.input_path = "in";
       }},
      {"-VC stops the scan",
       {"-y", "-VC", "-V"},
       O::FullGuide,
       [](RunSettings& s) { s.remove_record_file = 0; }},
      {"options leave unrelated settings alone",
       {"-r", "-u"},
       O::Arrange,
       [](RunSettings& s) {
         s.descending = 1;
         s.unique = 1;
       },
       preset},
  });
}

TEST(ScanArguments, PathsAreCutTo255Characters) {
  const std::string c255(255, 'p');
  run_scan_cases({
      {"input of 300",
       {std::string(300, 'p')},
       ScanOutcome::Arrange,
       [&](RunSettings& s) { s.input_path = c255; }},
      {"input of 255", {c255}, ScanOutcome::Arrange, [&](RunSettings& s) { s.input_path = c255; }},
      {"output of 256",
       {"-o", c255 + "q"},
       ScanOutcome::Arrange,
       [&](RunSettings& s) { s.output_path = c255; }},
  });
}

}  // namespace
}  // namespace zelto
