// The run driver through the built command: the parameter file, the command
// line, removal of the record file and the tie report.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "records.h"
#include "run_binary.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

const std::string KEY_KIND_FILE = record_file(key_kind_records());

// A run over the three key-kind records that writes `lines` to out.txt and
// removes binary.tmp.
Scenario ordered(std::string name, const Parameters& p, std::vector<std::string> arguments,
                 std::string lines) {
  return Scenario{.name = std::move(name),
                  .files = {{"manager.txt", p.text()}, {"binary.tmp", KEY_KIND_FILE}},
                  .arguments = std::move(arguments),
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", std::move(lines)}}};
}

Parameters key_kind(std::int32_t key_type, std::string ignore_case = "0",
                    std::string descending = "0") {
  Parameters p = parameters(3);
  p.key_type = key_type;
  p.ignore_case = std::move(ignore_case);
  p.descending = std::move(descending);
  return p;
}

class KeyOrder : public ::testing::TestWithParam<Scenario> {};
TEST_P(KeyOrder, WritesLinesInTheSelectedOrder) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Driver, KeyOrder,
    ::testing::Values(
        ordered("PhraseExact", key_kind(0), {}, "B\na\nb\n"),
        ordered("PhraseIgnoringCaseFromCommandLine", key_kind(0), {"-f"}, "a\nB\nb\n"),
        ordered("PhraseIgnoringCaseFromLine5", key_kind(0, "-f"), {}, "a\nB\nb\n"),
        ordered("EmptyLine5IgnoresCase", key_kind(0, ""), {}, "a\nB\nb\n"),
        ordered("KeyType5IsExactEvenWithF", key_kind(5), {"-f"}, "B\na\nb\n"),
        ordered("NegativeKeyTypeIsExactPhrase", key_kind(-1, "-f"), {}, "B\na\nb\n"),
        ordered("Integers", key_kind(1), {}, "a\nb\nB\n"),
        ordered("IntegersIgnoreF", key_kind(1), {"-f"}, "a\nb\nB\n"),
        ordered("Doubles", key_kind(2), {}, "b\nB\na\n"),
        ordered("PhraseDescending", key_kind(0), {"-r"}, "b\na\nB\n"),
        ordered("PhraseIgnoringCaseDescending", key_kind(0, "-f", "-r"), {}, "b\nB\na\n"),
        ordered("IntegersDescending", key_kind(1), {"-r"}, "B\nb\na\n"),
        ordered("DoublesDescendingFromLine10", key_kind(2, "0", "-r"), {}, "a\nB\nb\n"),
        // Blanks are kept: "0 " is not "0", so the option is in force.
        ordered("Line10ZeroBlankCommentIsDescending", key_kind(0, "0", "0 |ascending"), {},
                "b\na\nB\n"),
        ordered("Line10ZeroCommentIsAscending", key_kind(0, "0", "0|ascending"), {}, "B\na\nb\n"),
        ordered("Line10EmptyIsDescending", key_kind(0, "0", ""), {}, "b\na\nB\n"),
        ordered("Line10TabCommentIsAscending", key_kind(0, "0", "0\tascending"), {}, "B\na\nb\n")),
    scenario_name);

Parameters with_count(std::int32_t count) {
  return parameters(count);
}

Parameters numbered_as(std::string line4) {
  Parameters p = parameters(2);
  p.numbered = std::move(line4);
  return p;
}

// Records whose text at offset 80 ("one", "two") differs from their text at
// offset 91 ("ONE", "TWO"); in file order two, one.
std::string two_text_file() {
  Bytes one = phrase_record("k1", 0, "ONE\n");
  put_bytes(one, TEXT_OFFSET, std::string("one\n\0", 5));
  Bytes two = phrase_record("k2", 0, "TWO\n");
  put_bytes(two, TEXT_OFFSET, std::string("two\n\0", 5));
  return record_file({two, one});
}

Scenario numbered_scenario(std::string name, std::string line4, std::string lines) {
  return Scenario{.name = std::move(name),
                  .files = {{"manager.txt", numbered_as(std::move(line4)).text()},
                            {"binary.tmp", two_text_file()}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", std::move(lines)}}};
}

class ParameterLines : public ::testing::TestWithParam<Scenario> {};
TEST_P(ParameterLines, ActAsWritten) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Driver, ParameterLines,
    ::testing::Values(
        // Only the declared number of records is read; the rest is ignored.
        ordered("CountTwoReadsTheFirstTwoRecords", with_count(2), {}, "B\nb\n"),
        Scenario{.name = "CountIgnoresTrailingBytes",
                 .files = {{"manager.txt", with_count(3).text()},
                           {"binary.tmp", KEY_KIND_FILE + std::string(50, 'z')}},
                 .removed = {"binary.tmp"},
                 .written = {{"out.txt", "B\na\nb\n"}}},
        numbered_scenario("NumberedTextAt91", "-#", "ONE\nTWO\n"),
        numbered_scenario("UnnumberedTextAt80", "0", "one\ntwo\n"),
        numbered_scenario("EmptyLine4IsNumbered", "", "ONE\nTWO\n"),
        numbered_scenario("Line4ZeroWithCommentIsUnnumbered", "0'plain", "one\ntwo\n"),
        numbered_scenario("Line4ZeroBlankIsNumbered", "0 ", "ONE\nTWO\n")),
    scenario_name);

Parameters crlf_as(std::string line9) {
  Parameters p = parameters(2);
  p.crlf = std::move(line9);
  return p;
}

const std::string XY_FILE = record_file(phrase_records({"y", "x"}));

Scenario line_end(std::string name, std::string line9, std::vector<std::string> arguments,
                  bool crlf) {
  return Scenario{
      .name = std::move(name),
      .files = {{"manager.txt", crlf_as(std::move(line9)).text()}, {"binary.tmp", XY_FILE}},
      .arguments = std::move(arguments),
      .removed = {"binary.tmp"},
      .written = {{"out.txt", crlf ? "x\r\ny\r\n" : "x\ny\n"}}};
}

class LineEnds : public ::testing::TestWithParam<Scenario> {};
TEST_P(LineEnds, FollowLine9AndTheOptions) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Driver, LineEnds,
    ::testing::Values(
        line_end("Line9LF", "-LF", {}, false), line_end("Line9L", "-L", {}, false),
        line_end("Line9Zero", "0", {}, false),
        line_end("Line9LFWithComment", "-LF|unix", {}, false),
        line_end("Line9CRLF", "-CRLF", {}, true), line_end("Line9LDash", "-L-", {}, true),
        // "-e" and "-8" clear CR LF only on the command line.
        line_end("Line9E", "-e", {}, true), line_end("Line9Eight", "-8", {}, true),
        line_end("Line9Empty", "", {}, true), line_end("Line9LowerCase", "-lf", {}, true),
        line_end("Line9LFWithBlank", "-LF ", {}, true), line_end("OptionE", "-CRLF", {"-e"}, false),
        line_end("OptionLF", "-CRLF", {"-LF"}, false), line_end("OptionL", "-CRLF", {"-L"}, false),
        line_end("OptionEight", "-CRLF", {"-8"}, false),
        line_end("OptionCRLF", "-LF", {"-CRLF"}, true),
        line_end("OptionLDash", "-LF", {"-L-"}, true),
        line_end("LastOptionWinsCRLF", "0", {"-e", "-CRLF"}, true),
        line_end("LastOptionWinsLF", "0", {"-L-", "-8"}, false)),
    scenario_name);

// Files for runs that read key-kind records from a path other than
// binary.tmp, which holds a different record ("z").
Tree with_other_record_file(const Parameters& p, const std::string& input_name) {
  return {{"manager.txt", p.text()},
          {"binary.tmp", record_file(phrase_records({"z"}))},
          {input_name, KEY_KIND_FILE}};
}

Parameters reading(std::string input, std::string output = "out.txt") {
  Parameters p = parameters(3, std::move(output));
  p.input_path = std::move(input);
  return p;
}

const std::string LONG_NAME = std::string(255, 'n');

class Paths : public ::testing::TestWithParam<Scenario> {};
TEST_P(Paths, ChooseInputOutputAndRemoval) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Paths,
    ::testing::Values(
        // Only the record file that was read is removed: binary.tmp stays when
        // another input path was read.
        Scenario{.name = "Line7NamesTheInput",
                 .files = with_other_record_file(reading("data.bin"), "data.bin"),
                 .written = {{"out.txt", "B\na\nb\n"}}},
        Scenario{.name = "Line8NamesTheOutput",
                 .files = {{"manager.txt", parameters(3, "result.txt").text()},
                           {"binary.tmp", KEY_KIND_FILE}},
                 .removed = {"binary.tmp"},
                 .written = {{"result.txt", "B\na\nb\n"}}},
        Scenario{
            .name = "EmptyLine8Displays",
            .files = {{"manager.txt", parameters(3, "").text()}, {"binary.tmp", KEY_KIND_FILE}},
            .out = "B\na\nb\n",
            .removed = {"binary.tmp"}},
        // No lines were delivered, so binary.tmp stays.
        Scenario{.name = "EmptyLine7FailsToOpen",
                 .files = {{"manager.txt", reading("").text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .status = 1,
                 .err = "fopen() error-2: \n"},
        Scenario{.name = "PlainArgumentOverridesLine7",
                 .files = with_other_record_file(reading("missing.bin"), "data.bin"),
                 .arguments = {"data.bin"},
                 .written = {{"out.txt", "B\na\nb\n"}}},
        Scenario{.name = "SecondPlainArgumentWins",
                 .files =
                     [] {
                       Tree t = with_other_record_file(parameters(3), "second.bin");
                       t["first.bin"] = record_file(phrase_records({"q"}));
                       return t;
                     }(),
                 .arguments = {"first.bin", "second.bin"},
                 .written = {{"out.txt", "B\na\nb\n"}}},
        Scenario{.name = "HashIsAnInputPath",
                 .files = with_other_record_file(parameters(3), "-#"),
                 .arguments = {"-#"},
                 .written = {{"out.txt", "B\na\nb\n"}}},
        Scenario{.name = "BangIsAnInputPath",
                 .files = with_other_record_file(parameters(3), "-!"),
                 .arguments = {"-!"},
                 .written = {{"out.txt", "B\na\nb\n"}}},
        Scenario{.name = "HashAfterOIsTheOutputPath",
                 .files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-o", "-#"},
                 .removed = {"binary.tmp"},
                 .written = {{"-#", "B\na\nb\n"}}},
        // Options are matched exactly: "-R" is no "-r" but a path.
        Scenario{.name = "UpperCaseRIsAPath",
                 .files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-R"},
                 .status = 1,
                 .err = "fopen() error-2: -R\n"},
        Scenario{.name = "OLastKeepsLine8",
                 .files = {{"manager.txt", parameters(3, "keep.txt").text()},
                           {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-o"},
                 .removed = {"binary.tmp"},
                 .written = {{"keep.txt", "B\na\nb\n"}}},
        Scenario{
            .name = "OLastWithEmptyLine8Displays",
            .files = {{"manager.txt", parameters(3, "").text()}, {"binary.tmp", KEY_KIND_FILE}},
            .arguments = {"-r", "-o"},
            .out = "b\na\nB\n",
            .removed = {"binary.tmp"}},
        Scenario{.name = "ODashODashNameWritesName",
                 .files = {{"manager.txt", parameters(3, "keep.txt").text()},
                           {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-o", "-o-", "name.txt"},
                 .removed = {"binary.tmp"},
                 .written = {{"name.txt", "B\na\nb\n"}}},
        Scenario{.name = "ODashAloneDisplays",
                 .files = {{"manager.txt", parameters(3, "keep.txt").text()},
                           {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-o-"},
                 .out = "B\na\nb\n",
                 .removed = {"binary.tmp"}},
        // "-o A -o- B": A becomes the output, "-o-" empties it again and B is
        // read as the input; the lines are displayed.
        Scenario{.name = "OAThenODashBDisplaysB",
                 .files = with_other_record_file(parameters(3, ""), "B.bin"),
                 .arguments = {"-o", "A.txt", "-o-", "B.bin"},
                 .out = "B\na\nb\n"},
        Scenario{.name = "YKeepsTheRecordFile",
                 .files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-y"},
                 .written = {{"out.txt", "B\na\nb\n"}}},
        Scenario{
            .name = "Line12KeepsTheRecordFile",
            .files =
                [] {
                  Parameters p = parameters(3);
                  p.keep_record_file = "-y";
                  return Tree{{"manager.txt", p.text()}, {"binary.tmp", KEY_KIND_FILE}};
                }(),
            .written = {{"out.txt", "B\na\nb\n"}}},
        // Paths keep their first 255 characters.
        Scenario{.name = "LongOutputPathIsCut",
                 .files = {{"manager.txt", parameters(3).text()}, {"binary.tmp", KEY_KIND_FILE}},
                 .arguments = {"-o", LONG_NAME + "tail"},
                 .removed = {"binary.tmp"},
                 .written = {{LONG_NAME, "B\na\nb\n"}}},
        Scenario{.name = "LongInputPathIsCut",
                 .files = with_other_record_file(parameters(3), LONG_NAME),
                 .arguments = {LONG_NAME + "tail"},
                 .written = {{"out.txt", "B\na\nb\n"}}}),
    scenario_name);

// Records with the phrase keys and record numbers given, each with the text
// "<phrase><number>\n".
std::string numbered_phrases(const std::vector<std::pair<std::string, std::int32_t>>& keys) {
  std::vector<Bytes> records;
  for (const auto& [phrase, number] : keys) {
    records.push_back(phrase_record(phrase, number, numbered_line(phrase, number)));
  }
  return record_file(records);
}

Parameters unique_from_line13(std::int32_t count) {
  Parameters p = parameters(count);
  p.unique = "-u";
  return p;
}

TEST(Driver, Line13SelectsTheUniquePass) {
  check_scenario({.files = {{"manager.txt", unique_from_line13(3).text()},
                            {"binary.tmp", numbered_phrases({{"q", 3}, {"p", 2}, {"p", 1}})}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "p1\nq3\n"}}});
}

TEST(Driver, OptionUSelectsTheUniquePass) {
  check_scenario({.files = {{"manager.txt", parameters(3).text()},
                            {"binary.tmp", numbered_phrases({{"q", 3}, {"p", 2}, {"p", 1}})}},
                  .arguments = {"-u"},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "p1\nq3\n"}}});
}

TEST(Driver, NoParameterFileAndNoRecordFileReportsTheOpenFailure) {
  check_scenario({.status = 1, .err = "fopen() error-2: binary.tmp\n"});
}

TEST(Driver, NoParameterFileReadsNoRecordsAndRemovesTheRecordFile) {
  check_scenario({.files = {{"binary.tmp", KEY_KIND_FILE}}, .removed = {"binary.tmp"}});
}

// The tie report: the record numbers noted at full ties, after the lines.

Parameters reporting(std::int32_t count, std::string output = "") {
  Parameters p = parameters(count, std::move(output));
  p.report_ties = "-!";
  return p;
}

// Both "p" records carry number 7, so whichever is compared first, 7 is
// noted.
const std::string TIED_FILE = numbered_phrases({{"p", 7}, {"o", 3}, {"p", 7}});

TEST(TieReport, FollowsTheDisplayedLines) {
  check_scenario({.files = {{"manager.txt", reporting(3).text()}, {"binary.tmp", TIED_FILE}},
                  .out = "o3\np7\np7\nLine-7\n",
                  .removed = {"binary.tmp"}});
}

TEST(TieReport, GoesToStandardOutputWhenLinesGoToAFile) {
  check_scenario(
      {.files = {{"manager.txt", reporting(3, "out.txt").text()}, {"binary.tmp", TIED_FILE}},
       .out = "Line-7\n",
       .removed = {"binary.tmp"},
       .written = {{"out.txt", "o3\np7\np7\n"}}});
}

TEST(TieReport, IsPrintedAfterAFailedPass) {
  check_scenario(
      {"",
       {{"manager.txt", reporting(3, "missing/out.txt").text()}, {"binary.tmp", TIED_FILE}},
       {},
       1,
       "Line-7\n",
       "",
       {"binary.tmp"},
       {{"error.txt", "fopen() error-1: missing/out.txt"}, {"zelto.txt", "o3\np7\np7\n"}}});
}

TEST(TieReport, IsEmptyWithoutTies) {
  check_scenario({.files = {{"manager.txt", reporting(3).text()},
                            {"binary.tmp", numbered_phrases({{"c", 9}, {"a", 4}, {"b", 6}})}},
                  .out = "a4\nb6\nc9\n",
                  .removed = {"binary.tmp"}});
}

// A record is never compared with itself, so many distinct keys note nothing.
TEST(TieReport, NoteNoFalseTiesAmongDistinctKeys) {
  std::vector<Bytes> records;
  std::string lines;
  for (std::int32_t i = 0; i < 1500; ++i) {
    const std::int32_t key = (i * 7919) % 1500;
    records.push_back(int_record({key}, key + 1, numbered_line("k", key)));
  }
  for (std::int32_t key = 0; key < 1500; ++key) lines += numbered_line("k", key);
  Parameters p = integers(1500);
  p.report_ties = "-!";
  check_scenario({.files = {{"manager.txt", p.text()}, {"binary.tmp", record_file(records)}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", lines}}});
}

// A noted number of 0 or less ends the report at its slot. The engine settles
// groups of equal keys in key order, so the "a" tie (number 0, or -5) takes
// slot 0 and hides the "b" tie (number 8) in slot 1.
TEST(TieReport, EndsAtANumberOfZeroOrLess) {
  for (const std::int32_t low : {0, -5}) {
    SCOPED_TRACE(low);
    const std::string file = numbered_phrases({{"a", low}, {"a", low}, {"b", 8}, {"b", 8}});
    const std::string a = numbered_line("a", low);
    check_scenario({.files = {{"manager.txt", reporting(4).text()}, {"binary.tmp", file}},
                    .out = a + a + "b8\nb8\n",
                    .removed = {"binary.tmp"}});
  }
}

// 200 tied pairs fill the 128 slots of the ring and wrap: the report lists
// the slots in order, 129 to 200 (which overwrote slots 0 to 71) and then 73
// to 128, never more than 128 lines.
TEST(TieReport, ListsAtMost128SlotsInSlotOrder) {
  std::vector<Bytes> records;
  std::string lines;
  for (std::int32_t n = 1; n <= 200; ++n) {
    const std::string text = numbered_line("t", n);
    records.push_back(int_record({n}, n, text));
    records.push_back(int_record({n}, n, text));
    lines += text + text;
  }
  std::string report;
  for (std::int32_t n = 129; n <= 200; ++n) report += numbered_line("Line-", n);
  for (std::int32_t n = 73; n <= 128; ++n) report += numbered_line("Line-", n);
  Parameters p = integers(400, "");
  p.report_ties = "-!";
  if (std::getenv("ZELTO_MEMORY") == nullptr) {
    check_scenario({.files = {{"manager.txt", p.text()}, {"binary.tmp", record_file(records)}},
                    .out = lines + report,
                    .removed = {"binary.tmp"}});
    return;
  }
  // With a budget that parts the file into runs, a pair split between two
  // runs is noted when the runs meet, after every pair within a run: the
  // slots then hold other pairs, but still 128 numbers, each of a tied pair.
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", record_file(records));
  const RunResult r = box.run({});
  ASSERT_EQ(r.status, 0);
  ASSERT_EQ(r.out.substr(0, lines.size()), lines);
  expect_full_tie_report(r.out.substr(lines.size()), [](int n) { return n >= 1 && n <= 200; });
}

}  // namespace
}  // namespace zelto::testing
