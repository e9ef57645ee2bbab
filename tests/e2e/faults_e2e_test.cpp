// Faults from outside: full devices, paths that cannot be opened, memory that
// cannot be had, odd parameter files, and a reader that stops early. The
// tests run as root, so every fault is made with paths, not permissions.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "records.h"
#include "run_binary.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

const std::string THREE_RECORDS = record_file(key_kind_records());
const std::string THREE_LINES = "B\na\nb\n";

Tree ready(const Parameters& p) {
  return {{"manager.txt", p.text()}, {"binary.tmp", THREE_RECORDS}};
}

// Many records whose lines (about 1.3 MB) fill more than one write block.
std::string many_records(int count) {
  std::vector<Bytes> records;
  for (int i = count; i-- > 0;) {
    records.push_back(int_record({i}, i, numbered_line(std::string(60, 'x'), i)));
  }
  return record_file(records);
}

struct FullDeviceCase {
  std::string name;
  std::vector<std::string> arguments;
  std::string output_line;  // parameter line 8
  std::string stdout_path;
  std::string message;
  int count = 3;
};

// Case names only, not their bytes.
void PrintTo(const FullDeviceCase& c, std::ostream* os) {
  *os << c.name;
}

class FullDevice : public ::testing::TestWithParam<FullDeviceCase> {};

// A failed write is reported with the path ("stdout" for standard output),
// the status is 1 and binary.tmp stays: its lines did not arrive.
TEST_P(FullDevice, ReportsTheFailedWriteAndKeepsTheRecordFile) {
  SKIP_WITHOUT_POSIX("/dev/full");
  const FullDeviceCase& c = GetParam();
  Parameters p = integers(c.count, c.output_line);
  Sandbox box;
  box.write("manager.txt", p.text());
  const std::string records = c.count == 3 ? THREE_RECORDS : many_records(c.count);
  box.write("binary.tmp", records);
  const Tree before = box.tree();
  // On one thread the lines are written as they are gathered; with a budget
  // of 8 KiB they come from the pass on disk.
  for (const std::string setting : {"ZELTO_THREADS=", "ZELTO_THREADS=1", "ZELTO_MEMORY=8K"}) {
    SCOPED_TRACE(setting);
    RunOptions options{c.arguments, "", c.stdout_path, 0};
    options.environment = {setting};
    const RunResult r = box.run_with(options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.message);
    EXPECT_TRUE(box.tree() == before);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, FullDevice,
    ::testing::Values(
        FullDeviceCase{"OutputFile", {"-o", "/dev/full"}, "", "", "fwrite() error-1: /dev/full\n"},
        FullDeviceCase{"OutputFileFromLine8", {}, "/dev/full", "", "fwrite() error-1: /dev/full\n"},
        FullDeviceCase{"OutputFileManyBlocks",
                       {"-o", "/dev/full"},
                       "",
                       "",
                       "fwrite() error-1: /dev/full\n",
                       20000},
        FullDeviceCase{
            "UniqueOutputFile", {"-u", "-o", "/dev/full"}, "", "", "fwrite() error-1: /dev/full\n"},
        FullDeviceCase{"StandardOutput", {}, "", "/dev/full", "fwrite() error-1: stdout\n"},
        FullDeviceCase{
            "StandardOutputManyBlocks", {}, "", "/dev/full", "fwrite() error-1: stdout\n", 20000},
        FullDeviceCase{
            "UniqueStandardOutput", {"-u"}, "", "/dev/full", "fwrite() error-1: stdout\n"}),
    [](const ::testing::TestParamInfo<FullDeviceCase>& info) { return info.param.name; });

// An output path that cannot be opened: the error log names it, the lines go
// to zelto.txt, the status is 1 and binary.tmp is removed.
Scenario falls_back(std::string name, Tree extra, const std::string& output) {
  Tree files = ready(parameters(3, output));
  files.merge(extra);
  return Scenario{
      .name = std::move(name),
      .files = files,
      .status = 1,
      .removed = {"binary.tmp"},
      .written = {{"error.txt", "fopen() error-1: " + output}, {"zelto.txt", THREE_LINES}}};
}

class UnopenableOutput : public ::testing::TestWithParam<Scenario> {};
TEST_P(UnopenableOutput, FallsBack) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(
    Faults, UnopenableOutput,
    ::testing::Values(falls_back("MissingDirectory", {}, "nodir/out.txt"),
                      falls_back("MissingNestedDirectories", {}, "a/b/c/out.txt"),
                      falls_back("UnderARegularFile", {}, "manager.txt/out.txt"),
                      falls_back("UnderTheRecordFile", {}, "binary.tmp/out.txt"),
                      falls_back("IsADirectory", {{"sub/", ""}}, "sub"),
                      falls_back("EndsInASlash", {}, "out.txt/"),
                      // An error log that cannot be opened is skipped; the lines still go to
                      // the fallback file.
                      Scenario{.name = "ErrorLogIsADirectory",
                               .files =
                                   [] {
                                     Tree t = ready(parameters(3, "nodir/out.txt"));
                                     t["error.txt/"] = "";
                                     return t;
                                   }(),
                               .status = 1,
                               .removed = {"binary.tmp"},
                               .written = {{"zelto.txt", THREE_LINES}}}),
    scenario_name);

// Neither the output nor the fallback file can be opened: the lines go
// nowhere, so binary.tmp stays.
TEST(Faults, FallbackThatIsADirectoryFails) {
  Tree files = ready(parameters(3, "nodir/out.txt"));
  files["zelto.txt/"] = "";
  check_scenario({.files = files,
                  .status = 1,
                  .err = "fopen() error-4: zelto.txt\n",
                  .written = {{"error.txt", "fopen() error-1: nodir/out.txt"}}});
}

TEST(Faults, FallbackAndErrorLogBothDirectories) {
  Tree files = ready(parameters(3, "nodir/out.txt"));
  files["zelto.txt/"] = "";
  files["error.txt/"] = "";
  check_scenario(
      {.files = files, .arguments = {"-u"}, .status = 1, .err = "fopen() error-4: zelto.txt\n"});
}

// Allocation failures, made with an address-space limit.

struct AllocationCase {
  std::string name;
  std::int32_t count;
  std::int32_t size;
  std::vector<std::string> arguments;
  std::uint64_t limit;
  std::string message;
};

constexpr std::uint64_t GIB = 1ULL << 30;

// Case names only, not their bytes.
void PrintTo(const AllocationCase& c, std::ostream* os) {
  *os << c.name;
}

class AllocationFailure : public ::testing::TestWithParam<AllocationCase> {};

// Nothing is written and binary.tmp (far smaller than declared: the buffers
// are allocated before anything is read) stays.
TEST_P(AllocationFailure, IsReportedWithTheFullSize) {
  if (SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer's allocator cannot run under prlimit --as";
  const AllocationCase& c = GetParam();
  Parameters p = integers(c.count);
  p.record_size = c.size;
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", THREE_RECORDS);
  const Tree before = box.tree();
  const RunResult r = box.run_with(RunOptions{c.arguments, "", "", c.limit});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, c.message);
  EXPECT_TRUE(box.tree() == before);
}

// 10,000,000 records of 128 bytes: the record buffer (1.28 GB) fits under
// 1.35 GB, the sort's 120 MB more do not.
INSTANTIATE_TEST_SUITE_P(
    Faults, AllocationFailure,
    ::testing::Values(
        AllocationCase{
            "RecordBuffer", 100000000, 128, {}, 2 * GIB, "malloc() error-1: 12800000000 bytes\n"},
        AllocationCase{"UniqueFirstBuffer",
                       100000000,
                       128,
                       {"-u"},
                       2 * GIB,
                       "malloc() error-2: 12800000000 bytes\n"},
        AllocationCase{
            "SortSpace", 10000000, 128, {}, 1350000000, "malloc() error-1: 1280000000 bytes\n"},
        AllocationCase{"UniqueSortSpace",
                       10000000,
                       128,
                       {"-u"},
                       1350000000,
                       "malloc() error-3: 1280000000 bytes\n"},
        // Totals beyond 32 bits are printed whole.
        AllocationCase{
            "LargeRecords", 3, 2147483647, {}, 2 * GIB, "malloc() error-1: 6442450941 bytes\n"},
        AllocationCase{"LargestCountAndSize",
                       2147483647,
                       2147483647,
                       {"-o", "out.txt"},
                       2 * GIB,
                       "malloc() error-1: 4611686014132420609 bytes\n"},
        AllocationCase{"LargestCountUnique",
                       2147483647,
                       128,
                       {"-u"},
                       2 * GIB,
                       "malloc() error-2: 274877906816 bytes\n"}),
    [](const ::testing::TestParamInfo<AllocationCase>& info) { return info.param.name; });

// No machine has 4.6 * 10^18 bytes, limit or not: the record file is opened
// before the allocation, so a missing one is what is reported.
TEST(Faults, MissingRecordFileIsReportedBeforeAnImpossibleAllocation) {
  Parameters p = parameters(2147483647);
  p.record_size = 2147483647;
  check_scenario(
      {"", {{"manager.txt", p.text()}}, {}, 1, "", "fopen() error-2: binary.tmp\n", {}, {}});
}

// Parameter files that are not what they should be.

TEST(Faults, ParameterFileThatIsADirectoryLeavesTheDefaults) {
  // Defaults: no records, lines displayed, binary.tmp removed.
  check_scenario({.files = {{"manager.txt/", ""}, {"binary.tmp", THREE_RECORDS}},
                  .arguments = {"-o", "out.txt"},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", ""}}});
}

TEST(Faults, HugeParameterFileIsReadForItsFirstThirteenLines) {
  Parameters p = parameters(3);
  p.descending = "-r";
  std::string text = p.text();
  for (int i = 0; i < 100000; ++i) text += "-1 this line and all after it are ignored -u -s -y\n";
  ASSERT_GT(text.size(), 4000000U);
  check_scenario({.files = {{"manager.txt", text}, {"binary.tmp", THREE_RECORDS}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "b\na\nB\n"}}});
}

// One line of five million digits: every 255 characters make a line, so all
// thirteen settings come from digits. Line 1 overflows to 2147483647, line
// 7 names a missing input, line 12 keeps binary.tmp and line 13 chooses the
// unique pass.
TEST(Faults, HugeParameterLineFillsEverySetting) {
  const std::string digits(5000000, '7');
  check_scenario({.files = {{"manager.txt", digits}, {"binary.tmp", THREE_RECORDS}},
                  .status = 1,
                  .err = "fopen() error-3: " + std::string(255, '7') + "\n"});
}

// Bytes 0xFF: no digits (0 records, size 0), every flag in force, both paths
// 255 bytes of 0xFF. The unique pass cannot open that input.
TEST(Faults, ParameterFileOfHighBytes) {
  const std::string garbage(4000, '\xff');
  check_scenario({.files = {{"manager.txt", garbage}, {"binary.tmp", THREE_RECORDS}},
                  .status = 1,
                  .err = "fopen() error-3: " + std::string(255, '\xff') + "\n"});
}

// Random bytes: whatever settings they make, the command ends normally with
// status 0 or 1 and at most one message.
TEST(Faults, ParameterFileOfRandomBytes) {
  for (const unsigned seed : {1U, 2U, 3U, 4U}) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::string garbage(65536, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    Sandbox box;
    box.write("manager.txt", garbage);
    box.write("binary.tmp", THREE_RECORDS);
    const RunResult r = box.run({});
    EXPECT_TRUE(r.status == 0 || r.status == 1) << r.status;
    EXPECT_LE(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// Without newlines every 255 characters make a line; a comment after "|"
// pads each piece to that length.
TEST(Faults, ParameterFileWithoutNewlines) {
  std::string text;
  for (const char* value :
       {"3", "0", "128", "-#", "0", "0", "binary.tmp", "out.txt", "-CRLF", "-r", "0", "0", "0"}) {
    std::string piece = std::string(value) + "|";
    piece.resize(255, '.');
    text += piece;
  }
  check_scenario({.files = {{"manager.txt", text}, {"binary.tmp", THREE_RECORDS}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "b\r\na\r\nB\r\n"}}});
}

// "2" and no newline: only the record count is set; the default record size
// of 0 is refused.
TEST(Faults, ParameterFileOfOneUnterminatedLine) {
  check_scenario({.files = {{"manager.txt", "2"}, {"binary.tmp", THREE_RECORDS}},
                  .status = 1,
                  .err = "record size error: 0 bytes\n"});
}

// CR LF line ends read as LF; a CR elsewhere stays in the line, so "0\r" on
// line 10 is no "0" and puts descending order in force.
TEST(Faults, ParameterFileWithCarriageReturns) {
  Parameters p = parameters(3);
  std::string text;
  for (const char c : p.text()) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  check_scenario({.files = {{"manager.txt", text}, {"binary.tmp", THREE_RECORDS}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", THREE_LINES}}});
  p.descending = "0\r";
  text.clear();
  for (const char c : p.text()) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  check_scenario({.files = {{"manager.txt", text}, {"binary.tmp", THREE_RECORDS}},
                  .removed = {"binary.tmp"},
                  .written = {{"out.txt", "b\na\nB\n"}}});
}

// A reader that stops after the first line: the command is ended by SIGPIPE
// without a word, before its lines are delivered, so binary.tmp stays.
TEST(Faults, ReaderThatStopsEarly) {
  SKIP_WITHOUT_POSIX("a pipe to a shell command and SIGPIPE");
#ifndef _WIN32
  constexpr int count = 200000;
  std::vector<Bytes> records;
  for (int i = count; i-- > 0;) {
    records.push_back(int_record({i}, i, numbered_line("line", i)));
  }
  const std::string file = record_file(records);
  Parameters p = parameters(count, "");
  p.key_type = 1;
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", file);
  const RunResult r = box.run_with(RunOptions{{}, "head -n 1", "", 0});
  EXPECT_EQ(r.status, 128 + SIGPIPE);
  EXPECT_EQ(r.out, "line0\n");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}));
  EXPECT_TRUE(box.read("binary.tmp") == file);
#endif
}

}  // namespace
}  // namespace zelto::testing
