// Settings and record files that the pass refuses, and the guarantees it
// keeps when they are odd: sizes checked before anything is opened, a short
// record file reported, binary.tmp kept until its lines are delivered, NaN
// keys sorted without losing a record.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "records.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

const std::string THREE_RECORDS = record_file(key_kind_records());

Parameters sized(std::int32_t count, std::int32_t size) {
  Parameters p = parameters(count);
  p.record_size = size;
  return p;
}

// A run that fails with `message` and changes no file: no output, and
// binary.tmp (or the named input) stays.
Scenario refused(std::string name, const Parameters& p, std::vector<std::string> arguments,
                 std::string message, bool with_record_file = true) {
  Tree files = {{"manager.txt", p.text()}};
  if (with_record_file) files["binary.tmp"] = THREE_RECORDS;
  return Scenario{.name = std::move(name),
                  .files = files,
                  .arguments = std::move(arguments),
                  .status = 1,
                  .err = std::move(message)};
}

class RefusedSizes : public ::testing::TestWithParam<Scenario> {};
TEST_P(RefusedSizes, FailBeforeAnythingIsOpened) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    InputChecks, RefusedSizes,
    ::testing::Values(
        refused("NegativeCount", sized(-1, 128), {}, "record count error: -1\n"),
        refused("MostNegativeCount", sized(std::numeric_limits<std::int32_t>::min(), 128), {},
                "record count error: -2147483648\n"),
        refused("NegativeCountWithNegativeSize", sized(-4, -4), {}, "record count error: -4\n"),
        refused("SizeBelow91", sized(1, 90), {}, "record size error: 90 bytes\n"),
        refused("SizeZero", sized(3, 0), {}, "record size error: 0 bytes\n"),
        refused("NegativeSize", sized(2, -128), {}, "record size error: -128 bytes\n"),
        refused("MostNegativeSize", sized(1, std::numeric_limits<std::int32_t>::min()), {},
                "record size error: -2147483648 bytes\n"),
        refused("SizeCheckedInTheUniquePass", sized(3, 80), {"-u"},
                "record size error: 80 bytes\n"),
        // The sizes are checked before the record file is opened.
        refused("NegativeCountWithoutRecordFile", sized(-1, 128), {}, "record count error: -1\n",
                false),
        refused("SmallSizeWithoutRecordFile", sized(1, 12), {}, "record size error: 12 bytes\n",
                false),
        // And before the output is touched: no fallback, no error log.
        refused("NegativeCountWithUnopenableOutput", sized(-1, 128), {"-o", "nodir/x"},
                "record count error: -1\n")),
    scenario_name);

class ShortRecordFiles : public ::testing::TestWithParam<Scenario> {};
TEST_P(ShortRecordFiles, AreReportedAndKept) {
  check_scenario(GetParam());
}

// A record file shorter than count x size is reported with its path; the
// pass writes nothing and binary.tmp stays.
INSTANTIATE_TEST_SUITE_P(
    InputChecks, ShortRecordFiles,
    ::testing::Values(
        Scenario{.name = "OneRecordMissing",
                 .files = {{"manager.txt", sized(3, 128).text()},
                           {"binary.tmp", THREE_RECORDS.substr(0, 256)}},
                 .status = 1,
                 .err = "fread() error-2: binary.tmp\n"},
        Scenario{.name = "OneByteMissing",
                 .files = {{"manager.txt", sized(3, 128).text()},
                           {"binary.tmp", THREE_RECORDS.substr(0, 383)}},
                 .arguments = {"-o", "nodir/x"},
                 .status = 1,
                 .err = "fread() error-2: binary.tmp\n"},
        Scenario{.name = "Empty",
                 .files = {{"manager.txt", sized(1, 128).text()}, {"binary.tmp", ""}},
                 .status = 1,
                 .err = "fread() error-2: binary.tmp\n"},
        Scenario{.name = "ReadingAsLargerRecords",
                 .files = {{"manager.txt", sized(3, 129).text()}, {"binary.tmp", THREE_RECORDS}},
                 .status = 1,
                 .err = "fread() error-2: binary.tmp\n"},
        Scenario{.name = "NamedInput",
                 .files = {{"manager.txt", sized(3, 128).text()},
                           {"binary.tmp", THREE_RECORDS},
                           {"data.bin", THREE_RECORDS.substr(0, 300)}},
                 .arguments = {"data.bin"},
                 .status = 1,
                 .err = "fread() error-2: data.bin\n"},
        Scenario{.name = "Missing",
                 .files = {{"manager.txt", sized(3, 128).text()}},
                 .status = 1,
                 .err = "fopen() error-2: binary.tmp\n"},
        Scenario{.name = "MissingNamedInputKeepsBinaryTmp",
                 .files = {{"manager.txt", sized(3, 128).text()}, {"binary.tmp", THREE_RECORDS}},
                 .arguments = {"data.bin"},
                 .status = 1,
                 .err = "fopen() error-2: data.bin\n"},
        // A directory opens but cannot be read.
        Scenario{.name = "DirectoryAsRecordFile",
                 .files = {{"manager.txt", sized(3, 128).text()}, {"binary.tmp/", ""}},
                 .status = 1,
                 .err = "fread() error-2: binary.tmp\n"},
        Scenario{.name = "DevNull",
                 .files = {{"manager.txt", sized(1, 128).text()}, {"binary.tmp", THREE_RECORDS}},
                 .arguments = {"/dev/null"},
                 .status = 1,
                 .err = "fread() error-2: /dev/null\n"}),
    scenario_name);

// A device that never ends gives as many records as declared: zero bytes,
// so empty lines.
TEST(InputChecks, EndlessInputGivesTheDeclaredRecords) {
  check_scenario({.files = {{"manager.txt", sized(3, 128).text()}, {"binary.tmp", THREE_RECORDS}},
                  .arguments = {"/dev/zero"},
                  .written = {{"out.txt", "\n\n\n"}}});
}

// A single record with the tie report on: nothing may be noted, since a
// record is never compared with itself.
TEST(InputChecks, SingleRecordNotesNoTie) {
  Parameters p = parameters(1);
  p.report_ties = "-!";
  check_scenario(
      {.files = {{"manager.txt", p.text()}, {"binary.tmp", record_file(phrase_records({"one"}))}},
       .removed = {"binary.tmp"},
       .written = {{"out.txt", "one\n"}}});
}

// Double keys with NaNs in many places, `count` records: r0, r1, ...
std::vector<Bytes> nan_records(int count) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {nan,
                           -nan,
                           std::numeric_limits<double>::signaling_NaN(),
                           std::nan("0x5a5a"),
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           0.0,
                           -0.0,
                           1.5,
                           -1.5,
                           1e300,
                           std::numeric_limits<double>::denorm_min()};
  constexpr int kinds = sizeof values / sizeof values[0];
  std::vector<Bytes> records;
  for (int i = 0; i < count; ++i) {
    const double first = values[(i * 7) % kinds];
    const double second = values[(i * 5 + i / kinds) % kinds];
    records.push_back(
        double_record({first, second, i % 3 == 0 ? nan : 2.0}, i, numbered_line("r", i)));
  }
  return records;
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    lines.push_back(text.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return lines;
}

// The numbers that a tie report may name: those of records whose ten
// doubles hold no NaN and equal another such record's.
std::set<std::string> numbers_with_full_ties(const std::vector<Bytes>& records) {
  std::map<std::string, std::vector<std::int32_t>> by_key;
  for (const Bytes& record : records) {
    std::string key;
    bool ordered = true;
    for (int offset = 0; offset < KEY_AREA_SIZE; offset += 8) {
      double d;
      std::memcpy(&d, record.data() + offset, sizeof d);
      ordered = ordered && !std::isnan(d);
      if (d == 0.0) d = 0.0;
      key.append(reinterpret_cast<const char*>(&d), sizeof d);
    }
    std::int32_t number;
    std::memcpy(&number, record.data() + KEY_AREA_SIZE, sizeof number);
    if (ordered) by_key[key].push_back(number);
  }
  std::set<std::string> numbers;
  for (const auto& [key, tied] : by_key) {
    if (tied.size() > 1) {
      for (const std::int32_t n : tied) numbers.insert("Line-" + std::to_string(n));
    }
  }
  return numbers;
}

// NaN keys make the comparator inconsistent, yet every record still gives
// exactly one line: the output is a permutation of the input. A NaN equals
// nothing, so the tie report names only records whose keys fully equal
// another's.
TEST(InputChecks, NaNDoublesGiveAPermutation) {
  for (const int count : {40, 1300}) {
    for (const std::string order : {"", "-r"}) {
      SCOPED_TRACE(std::to_string(count) + " records " + order);
      Parameters p = parameters(count);
      p.key_type = 2;
      p.report_ties = "-!";
      Sandbox box;
      box.write("manager.txt", p.text());
      const std::vector<Bytes> records = nan_records(count);
      box.write("binary.tmp", record_file(records));
      const RunResult r =
          box.run(order.empty() ? std::vector<std::string>{} : std::vector<std::string>{order});
      EXPECT_EQ(r.status, 0);
      const std::set<std::string> may_name = numbers_with_full_ties(records);
      for (const std::string& tie : split_lines(r.out)) EXPECT_EQ(may_name.count(tie), 1U) << tie;
      EXPECT_EQ(r.err, "");
      std::vector<std::string> lines = split_lines(box.read("out.txt"));
      std::vector<std::string> expected;
      for (int i = 0; i < count; ++i) expected.push_back("r" + std::to_string(i));
      std::sort(lines.begin(), lines.end());
      std::sort(expected.begin(), expected.end());
      EXPECT_EQ(lines, expected);
      EXPECT_EQ(box.files(), (std::vector<std::string>{"manager.txt", "out.txt"}));
    }
  }
}

// The unique pass over NaN keys gives lines of its own records only, none
// twice.
TEST(InputChecks, NaNDoublesInTheUniquePassRepeatNoRecord) {
  constexpr int count = 600;
  Parameters p = parameters(count);
  p.key_type = 2;
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", record_file(nan_records(count)));
  const RunResult r = box.run({"-u"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  std::vector<std::string> lines = split_lines(box.read("out.txt"));
  std::sort(lines.begin(), lines.end());
  EXPECT_EQ(std::adjacent_find(lines.begin(), lines.end()), lines.end());
  EXPECT_FALSE(lines.empty());
  for (const std::string& line : lines) {
    const int number = std::stoi(line.substr(1));
    EXPECT_EQ(line, "r" + std::to_string(number));
    EXPECT_LT(number, count);
  }
}

}  // namespace
}  // namespace zelto::testing
