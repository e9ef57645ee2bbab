// The lines through the built command: the output-file format (LF or CR LF,
// cut at the first newline), the display on standard output (unchanged),
// empty runs, writing into the record file and the fallback file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "records.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

// Record texts in sorted order and what each destination shows of them.
struct TextCase {
  std::string name;
  std::vector<std::string> texts;  // keyed "a", "b", ... and stored in reverse
  std::string lf_file;
  std::string crlf_file;
  std::string display;
};

std::string record_file_for(const std::vector<std::string>& texts) {
  std::vector<Bytes> records;
  for (std::size_t i = texts.size(); i-- > 0;) {
    records.push_back(phrase_record(std::string(1, static_cast<char>('a' + i)),
                                    static_cast<std::int32_t>(i + 1), texts[i]));
  }
  return record_file(records);
}

const std::string X37 = std::string(37, 'x');
const std::string Y37 = std::string(37, 'y');

const std::vector<TextCase> TEXT_CASES = {
    {"Newline", {"abc\n", "de\n"}, "abc\nde\n", "abc\r\nde\r\n", "abc\nde\n"},
    {"CutAtTheFirstNewline", {"ab\ncd\n", "ef\n"}, "ab\nef\n", "ab\r\nef\r\n", "ab\ncd\nef\n"},
    {"NoNewline", {"abc", "def"}, "abc\ndef\n", "abc\r\ndef\r\n", "abcdef"},
    {"CarriageReturnBeforeNewlineKept",
     {"abc\r\n", "x\n"},
     "abc\r\nx\n",
     "abc\r\r\nx\r\n",
     "abc\r\nx\n"},
    {"LoneCarriageReturnKept", {"a\rb\n"}, "a\rb\n", "a\rb\r\n", "a\rb\n"},
    {"EmptyText", {"", "x\n"}, "\nx\n", "\r\nx\r\n", "x\n"},
    {"TextEndsAtItsNul", {std::string("ab\0cd\n", 6)}, "ab\n", "ab\r\n", "ab"},
    {"HighBytesUnchanged",
     {"\xff\x80\x01\n"},
     "\xff\x80\x01\n",
     "\xff\x80\x01\r\n",
     "\xff\x80\x01\n"},
    // Text fields that fill their record up to its last byte, without a NUL,
    // end at the record's end: nothing of the next record may follow.
    {"TextWithoutNulEndsAtTheRecordsEnd",
     {X37, Y37},
     X37 + "\n" + Y37 + "\n",
     X37 + "\r\n" + Y37 + "\r\n",
     X37 + Y37}};

std::vector<Scenario> text_scenarios() {
  std::vector<Scenario> scenarios;
  for (const TextCase& c : TEXT_CASES) {
    const auto count = static_cast<std::int32_t>(c.texts.size());
    const std::string records = record_file_for(c.texts);
    Parameters lf = parameters(count);
    Parameters crlf = parameters(count);
    crlf.crlf = "-CRLF";
    Parameters display = parameters(count, "");
    scenarios.push_back(Scenario{.name = c.name + "_LF",
                                 .files = {{"manager.txt", lf.text()}, {"binary.tmp", records}},
                                 .removed = {"binary.tmp"},
                                 .written = {{"out.txt", c.lf_file}}});
    scenarios.push_back(Scenario{.name = c.name + "_CRLF",
                                 .files = {{"manager.txt", crlf.text()}, {"binary.tmp", records}},
                                 .removed = {"binary.tmp"},
                                 .written = {{"out.txt", c.crlf_file}}});
    scenarios.push_back(
        Scenario{.name = c.name + "_Display",
                 .files = {{"manager.txt", display.text()}, {"binary.tmp", records}},
                 .out = c.display,
                 .removed = {"binary.tmp"}});
  }
  return scenarios;
}

class TextForms : public ::testing::TestWithParam<Scenario> {};
TEST_P(TextForms, AreWrittenAndDisplayed) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Output, TextForms, ::testing::ValuesIn(text_scenarios()), scenario_name);

// Bytes 80 to 90 of a numbered record (its number and seven more bytes) are
// no part of its line.
TEST(Output, NumberedLinesStartAtOffset91) {
  Bytes r = phrase_record("k", 0, "x\n");
  put_bytes(r, RECORD_NUMBER_OFFSET, "JUNKJUNKJUN");
  Parameters p = parameters(1);
  check_scenario({.files = {{"manager.txt", p.text()}, {"binary.tmp", record_file({r})}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "x\n"}}});
}

// Unnumbered records: the text starts at offset 80, where its first four
// bytes are also the record number.
TEST(Output, UnnumberedLinesStartAtOffset80) {
  const RecordShape unnumbered{128, false};
  Parameters p = parameters(2);
  p.numbered = "0";
  const std::string file = record_file({phrase_record("b", 0, "second\n", unnumbered),
                                        phrase_record("a", 0, "first\n", unnumbered)});
  check_scenario({.files = {{"manager.txt", p.text()}, {"binary.tmp", file}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "first\nsecond\n"}}});
}

// The smallest record: a numbered text field of 91 bytes is empty.
TEST(Output, RecordsOf91BytesGiveEmptyNumberedLines) {
  const RecordShape smallest{MINIMUM_RECORD_SIZE, true};
  Parameters p = parameters(2);
  p.record_size = MINIMUM_RECORD_SIZE;
  const std::string file =
      record_file({phrase_record("b", 2, "", smallest), phrase_record("a", 1, "", smallest)});
  check_scenario({.files = {{"manager.txt", p.text()}, {"binary.tmp", file}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "\n\n"}}});
}

Scenario count_zero(std::string name, std::int32_t size, std::string output, const Tree& written) {
  Parameters p = parameters(0, std::move(output));
  p.record_size = size;
  return Scenario{
      .name = std::move(name),
      .files = {{"manager.txt", p.text()}, {"binary.tmp", "whatever"}, {"out.txt", "old lines\n"}},
      .removed = {"binary.tmp"},
      .written = written};
}

class CountZero : public ::testing::TestWithParam<Scenario> {};
TEST_P(CountZero, WritesAnEmptyOutput) {
  check_scenario(GetParam());
}

// No records: the output file is created or truncated, nothing is
// displayed, whatever the record size.
INSTANTIATE_TEST_SUITE_P(
    Output, CountZero,
    ::testing::Values(count_zero("TruncatesTheOutputFile", 128, "out.txt", {{"out.txt", ""}}),
                      count_zero("CreatesTheOutputFile", 128, "new.txt", {{"new.txt", ""}}),
                      count_zero("DisplaysNothing", 128, "", {}),
                      count_zero("AnySizeZero", 0, "out.txt", {{"out.txt", ""}}),
                      count_zero("AnySizeNegative", -7, "out.txt", {{"out.txt", ""}}),
                      count_zero("AnySizeSmall", 50, "out.txt", {{"out.txt", ""}})),
    scenario_name);

const std::string KEY_KIND_FILE = record_file(key_kind_records());

// Lines written into the record file replace it, and it then stays.
class IntoTheRecordFile : public ::testing::TestWithParam<Scenario> {};
TEST_P(IntoTheRecordFile, ReplacesItAndKeepsIt) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Output, IntoTheRecordFile,
    ::testing::Values(
        Scenario{.name = "OptionO",
                 .files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-o", "binary.tmp"},
                 .written = {{"binary.tmp", "B\na\nb\n"}}},
        Scenario{.name = "OtherSpelling",
                 .files = {{"manager.txt", parameters(3).text()},
                           {"binary.tmp", KEY_KIND_FILE},
                           {"sub/", ""}},
                 .arguments = {"-o", "sub/../binary.tmp"},
                 .written = {{"binary.tmp", "B\na\nb\n"}}},
        Scenario{.name = "Line8",
                 .files = {{"manager.txt", parameters(3, "./binary.tmp").text()},
                           {"binary.tmp", KEY_KIND_FILE}},
                 .written = {{"binary.tmp", "B\na\nb\n"}}},
        Scenario{.name = "UniquePass",
                 .files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-u", "-o", "binary.tmp"},
                 .written = {{"binary.tmp", "B\na\nb\n"}}},
        // Another input written over: binary.tmp, which was not read, stays.
        Scenario{.name = "InputOtherThanBinaryTmp",
                 .files = {{"manager.txt", parameters(3).text()},
                           {"binary.tmp", "unrelated"},
                           {"data.bin", KEY_KIND_FILE}},
                 .arguments = {"data.bin", "-o", "data.bin"},
                 .written = {{"data.bin", "B\na\nb\n"}}}),
    scenario_name);

// An output path that cannot be opened: the error log names it, the lines go
// to zelto.txt in the output-file format, and the status is 1. The lines
// were delivered, so binary.tmp is removed.
TEST(Output, MissingDirectoryFallsBackToZeltoTxt) {
  Parameters p = parameters(3, "nodir/out.txt");
  p.crlf = "-CRLF";
  check_scenario(
      {"",
       {{"manager.txt", p.text()}, {"binary.tmp", KEY_KIND_FILE}},
       {},
       1,
       "",
       "",
       {"binary.tmp"},
       {{"error.txt", "fopen() error-1: nodir/out.txt"}, {"zelto.txt", "B\r\na\r\nb\r\n"}}});
}

TEST(Output, FallbackReplacesOldLogAndFallbackFiles) {
  check_scenario(
      {.files = {{"manager.txt", parameters(3).text()},
                 {"binary.tmp", KEY_KIND_FILE},
                 {"error.txt", std::string(100, 'e')},
                 {"zelto.txt", std::string(100, 'z')}},
       .arguments = {"-o", "nodir/x"},
       .status = 1,
       .removed = {"binary.tmp"},
       .written = {{"error.txt", "fopen() error-1: nodir/x"}, {"zelto.txt", "B\na\nb\n"}}});
}

TEST(Output, UniquePassFallsBackToo) {
  check_scenario(
      {.files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
       .arguments = {"-u", "-o", "nodir/x"},
       .status = 1,
       .removed = {"binary.tmp"},
       .written = {{"error.txt", "fopen() error-1: nodir/x"}, {"zelto.txt", "B\na\nb\n"}}});
}

}  // namespace
}  // namespace zelto::testing
