// The unique pass through the built command: of every run of neighbouring
// records (in sorted order) whose key areas have the same pattern code, only
// the first gives a line.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "records.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

Parameters unique_run(std::int32_t count, std::int32_t key_type, std::string output = "out.txt") {
  Parameters p = parameters(count, std::move(output));
  p.key_type = key_type;
  p.unique = "-u";
  return p;
}

Scenario kept(std::string name, std::int32_t key_type, const std::vector<Bytes>& records,
              std::vector<std::string> arguments, std::string lines) {
  const auto count = static_cast<std::int32_t>(records.size());
  return Scenario{.name = std::move(name),
                  .files = {{"manager.txt", unique_run(count, key_type).text()},
                            {"binary.tmp", record_file(records)}},
                  .arguments = std::move(arguments),
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", std::move(lines)}}};
}

Bytes key_filled_with(unsigned char value, std::int32_t number, const std::string& text) {
  Bytes r = make_record(number, text);
  std::fill(r.begin(), r.begin() + KEY_AREA_SIZE, value);
  return r;
}

Bytes with_words(const std::vector<std::uint32_t>& words, std::int32_t number,
                 const std::string& text) {
  Bytes r = make_record(number, text);
  for (std::size_t i = 0; i < words.size(); ++i) {
    put_int32(r, 4 * i, static_cast<std::int32_t>(words[i]));
  }
  return r;
}

// Phrase "ab" with a byte after its NUL (or none when `extra` is 0).
Bytes ab_record(std::int32_t number, char extra) {
  Bytes r = phrase_record("ab", number, numbered_line("ab", number));
  r[10] = static_cast<unsigned char>(extra);
  return r;
}

// Two key areas with the code 02 01 7E: a set bit, 256 clear bits (a run
// that wraps to 0 and leaves no byte), a set bit and 382 clear bits; and a
// set bit, a clear bit, 126 set bits and 512 clear bits.
Bytes wrapped_run_x(const std::string& text) {
  std::vector<std::uint32_t> words(20, 0);
  words[0] = 0x80000000U;
  words[8] = 0x40000000U;
  return with_words(words, 1, text);
}
Bytes wrapped_run_y(const std::string& text) {
  return with_words({0xBFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFFU, 0xFFFFFFFFU}, 2, text);
}

class UniqueLines : public ::testing::TestWithParam<Scenario> {};
TEST_P(UniqueLines, KeepOneLinePerPattern) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Unique, UniqueLines,
    ::testing::Values(
        kept("CountZero", 1, {}, {}, ""),
        // Equal keys are ordered by record number, so the first kept is the
        // lowest number ascending and the highest descending.
        kept("EqualIntegerKeysKeepLowestNumber", 1,
             {int_record({42}, 5, "five\n"), int_record({42}, 2, "two\n"),
              int_record({42}, 9, "nine\n")},
             {}, "two\n"),
        kept("EqualIntegerKeysDescendingKeepHighestNumber", 1,
             {int_record({42}, 5, "five\n"), int_record({42}, 2, "two\n"),
              int_record({42}, 9, "nine\n")},
             {"-r"}, "nine\n"),
        kept("ZeroKeyAreasCollapse", 1,
             {int_record({}, 3, "z3\n"), int_record({7}, 4, "seven\n"), int_record({}, 1, "z1\n"),
              int_record({}, 2, "z2\n")},
             {}, "z1\nseven\n"),
        // Empty phrases tie and are ordered by their numbers' text.
        kept("EmptyPhrasesCollapse", 0,
             {phrase_record("", 3, "e3\n"), phrase_record("", 1, "e1\n"),
              phrase_record("", 2, "e2\n")},
             {}, "e1\n"),
        // Alternating bits give the longest code, 641 bytes.
        kept("LongestCodesCollapse", 1,
             {key_filled_with(0x55, 2, "fives2\n"), int_record({}, 9, "zero\n"),
              key_filled_with(0x55, 1, "fives1\n")},
             {}, "zero\nfives1\n"),
        kept("AlternatingFromASetBitDiffers", 1,
             {key_filled_with(0x55, 1, "fives\n"), key_filled_with(0xAA, 2, "tens\n")}, {},
             "tens\nfives\n"),
        // Bytes after the phrase's NUL belong to the key area: records 1 and 3
        // share a key area but are not neighbours.
        kept("BytesAfterThePhraseCount", 0, {ab_record(3, 0), ab_record(2, 'X'), ab_record(1, 0)},
             {}, "ab1\nab2\nab3\n"),
        kept("NeighboursWithTheSameBytesAfterThePhraseCollapse", 0,
             {ab_record(3, 0), ab_record(2, 'X'), ab_record(1, 'X')}, {}, "ab1\nab3\n"),
        // 0.0 and -0.0 are equal keys but different key areas.
        kept("ZeroAndNegativeZeroBothKept", 2,
             {double_record({0.0}, 2, "plus\n"), double_record({-0.0}, 1, "minus\n")}, {},
             "minus\nplus\n"),
        kept("EqualZerosCollapse", 2,
             {double_record({0.0}, 2, "second\n"), double_record({0.0}, 1, "first\n")}, {},
             "first\n"),
        // Letter case changes the key area.
        kept("FoldedPhrasesKeepBothCases", 0,
             {phrase_record("apple", 2, "lower\n"), phrase_record("Apple", 9, "upper\n")}, {"-f"},
             "upper\nlower\n"),
        // Different key areas with the same code count as one pattern when
        // they are neighbours.
        kept("SameCodeNeighboursCollapse", 1,
             {int_record({}, 3, "zero\n"), wrapped_run_y("y\n"), wrapped_run_x("x\n")}, {},
             "x\nzero\n"),
        kept("SameCodeNeighboursCollapseDescending", 1,
             {int_record({}, 3, "zero\n"), wrapped_run_y("y\n"), wrapped_run_x("x\n")}, {"-r"},
             "zero\ny\n"),
        // The filter follows the sorted order: a pattern that returns after
        // another is kept again.
        kept("ReturningPatternIsKeptAgain", 0,
             {ab_record(1, 0), ab_record(2, 'X'), ab_record(3, 0), ab_record(4, 0)}, {},
             "ab1\nab2\nab3\n")),
    scenario_name);

TEST(Unique, DisplaysKeptLinesOnStandardOutput) {
  const std::vector<Bytes> records = {int_record({1}, 2, "b\n"), int_record({1}, 1, "a\n"),
                                      int_record({0}, 3, "c\n")};
  check_scenario(
      {"",
       {{"manager.txt", unique_run(3, 1, "").text()}, {"binary.tmp", record_file(records)}},
       {},
       0,
       "c\na\n",
       "",
       {"binary.tmp"},
       {}});
}

// Ties are noted by the sort before the filter, so dropped records appear in
// the report.
TEST(Unique, ReportsTiesOfDroppedRecords) {
  Parameters p = unique_run(2, 1);
  p.report_ties = "-!";
  const std::vector<Bytes> records = {int_record({1}, 6, "b\n"), int_record({1}, 6, "a\n")};
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", record_file(records));
  const RunResult r = box.run({});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "Line-6\n");
  EXPECT_EQ(r.err, "");
  // Either record may come first: their keys and numbers are equal.
  const std::string lines = box.read("out.txt");
  EXPECT_TRUE(lines == "a\n" || lines == "b\n") << lines;
  EXPECT_EQ(box.files(), (std::vector<std::string>{"manager.txt", "out.txt"}));
}

Scenario failing(std::string name, Tree files, std::vector<std::string> arguments,
                 std::string message) {
  return Scenario{.name = std::move(name),
                  .files = std::move(files),
                  .arguments = std::move(arguments),
                  .status = 1,
                  .err = std::move(message)};
}

const std::string THREE_RECORDS = record_file(key_kind_records());

class UniqueFailures : public ::testing::TestWithParam<Scenario> {};
TEST_P(UniqueFailures, ReportAndKeepTheRecordFile) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Unique, UniqueFailures,
    ::testing::Values(
        failing("MissingRecordFile", {{"manager.txt", unique_run(3, 0).text()}}, {},
                "fopen() error-3: binary.tmp\n"),
        failing("MissingInputPath",
                {{"manager.txt", unique_run(3, 0).text()}, {"binary.tmp", THREE_RECORDS}},
                {"data.bin"}, "fopen() error-3: data.bin\n"),
        failing("ShortRecordFile",
                {{"manager.txt", unique_run(3, 0).text()},
                 {"binary.tmp", THREE_RECORDS.substr(0, 383)}},
                {}, "fread() error-3: binary.tmp\n"),
        failing("EmptyRecordFile", {{"manager.txt", unique_run(1, 0).text()}, {"binary.tmp", ""}},
                {}, "fread() error-3: binary.tmp\n"),
        failing("NegativeCount",
                {{"manager.txt", unique_run(-3, 0).text()}, {"binary.tmp", THREE_RECORDS}}, {},
                "record count error: -3\n"),
        failing("SmallRecords",
                {{"manager.txt",
                  [] {
                    Parameters p = unique_run(3, 0);
                    p.record_size = 90;
                    return p.text();
                  }()},
                 {"binary.tmp", THREE_RECORDS}},
                {}, "record size error: 90 bytes\n")),
    scenario_name);

}  // namespace
}  // namespace zelto::testing
