// Nothing is lost on a failure: the record file is removed only when it was
// the file read, an output that is the record file replaces it only once
// complete, memory that cannot be had never aborts the run, and failed
// writes (the tie report, a file-size limit, a full disk) are reported.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

#include "records.h"
#include "run_binary.h"
#include "sample_records.h"

namespace zelto::testing {
namespace {

namespace fs = std::filesystem;

const std::string THREE_RECORDS = record_file(key_kind_records());
const std::string THREE_LINES = "B\na\nb\n";

// `count` integer-keyed records stored in descending key order, each with a
// text of `width` letters and its number; and the lines they sort into.
struct LongLines {
  std::string records;
  std::string lines;
  Parameters parameters;
};

LongLines long_lines(int count, int width, std::int32_t record_size) {
  LongLines made;
  std::vector<Bytes> records;
  for (int i = count; i-- > 0;) {
    const std::string text = numbered_line(std::string(static_cast<std::size_t>(width), 'x'), i);
    records.push_back(int_record({i}, i, text, {.record_size = record_size}));
  }
  for (int i = 0; i < count; ++i) {
    made.lines += numbered_line(std::string(static_cast<std::size_t>(width), 'x'), i);
  }
  made.records = record_file(records);
  made.parameters = integers(count, "binary.tmp");
  made.parameters.record_size = record_size;
  return made;
}

// Removal: binary.tmp goes only when it is the file that was read, through
// whatever name; links are laid out before the run.
struct RemovalCase {
  std::string name;
  std::vector<std::pair<std::string, std::string>> links;  // link name, target
  std::string record_file;                                 // where the records are
  std::vector<std::string> arguments;
  bool record_file_removed;
};

void PrintTo(const RemovalCase& c, std::ostream* os) {
  *os << c.name;
}

class RecordFileRemoval : public ::testing::TestWithParam<RemovalCase> {};

TEST_P(RecordFileRemoval, OnlyTheFileRead) {
  const RemovalCase& c = GetParam();
  Sandbox box;
  box.write("manager.txt", parameters(3).text());
  box.write(c.record_file, THREE_RECORDS);
  if (c.record_file != "binary.tmp") box.write("binary.tmp", "another packed file");
  for (const auto& [link, target] : c.links) {
    fs::remove(box.path(link));
    fs::create_symlink(target, box.path(link));
  }
  const RunResult r = box.run(c.arguments);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(box.read("out.txt"), THREE_LINES);
  EXPECT_EQ(fs::exists(fs::symlink_status(box.path("binary.tmp"))), !c.record_file_removed);
}

INSTANTIATE_TEST_SUITE_P(
    Safety, RecordFileRemoval,
    ::testing::Values(
        RemovalCase{"BinaryTmpItself", {}, "binary.tmp", {}, true},
        RemovalCase{"DotSlashBinaryTmp", {}, "binary.tmp", {"./binary.tmp"}, true},
        RemovalCase{
            "LinkToBinaryTmp", {{"link.bin", "binary.tmp"}}, "binary.tmp", {"link.bin"}, true},
        RemovalCase{"BinaryTmpLinksToTheInput",
                    {{"binary.tmp", "data.bin"}},
                    "data.bin",
                    {"data.bin"},
                    true},
        RemovalCase{"AnotherFile", {}, "data.bin", {"data.bin"}, false},
        RemovalCase{"AnotherFileThroughALink",
                    {{"link.bin", "data.bin"}},
                    "data.bin",
                    {"link.bin"},
                    false}),
    [](const ::testing::TestParamInfo<RemovalCase>& info) { return info.param.name; });

// Replacement: "-o binary.tmp" ended by a signal at any moment leaves the
// record file as it was or holding every line, and no other file.
struct SignalCase {
  std::string name;
  int signal_number;
};

void PrintTo(const SignalCase& c, std::ostream* os) {
  *os << c.name;
}

class InterruptedReplacement : public ::testing::TestWithParam<SignalCase> {};

#ifdef _WIN32
// Only the table's number for it: Windows has no such signal, and the test
// skips itself there.
constexpr int SIGKILL = 9;
#endif

TEST_P(InterruptedReplacement, LeavesTheRecordsOrEveryLine) {
  SKIP_WITHOUT_POSIX("a shell to send signals");
  const LongLines data = long_lines(40000, 900, 1024);
  for (const int delay_ms : {0, 50, 150, 300}) {
    Sandbox box;
    box.write("manager.txt", data.parameters.text());
    box.write("binary.tmp", data.records);
    box.run_script(command_line(binary_path(), {}) + " >/dev/null 2>/dev/null & pid=$!; sleep " +
                   std::to_string(delay_ms / 1000.0) + "; kill -" +
                   std::to_string(GetParam().signal_number) + " $pid; wait $pid");
    EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}))
        << "after " << delay_ms << " ms";
    const std::string left = box.read("binary.tmp");
    EXPECT_TRUE(left == data.records || left == data.lines) << "after " << delay_ms << " ms";
  }
}

INSTANTIATE_TEST_SUITE_P(Safety, InterruptedReplacement,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT},
                                           SignalCase{"Terminate", SIGTERM},
                                           SignalCase{"Kill", SIGKILL}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                           return info.param.name;
                         });

// The fallback file is a link to the record file: the lines replace the
// records there, which then stay; the link and the old mode stay too.
TEST(Safety, FallbackThroughALinkReplacesTheRecordFile) {
  SKIP_WITHOUT_POSIX("symbolic links and permission bits");
  Sandbox box;
  box.write("manager.txt", parameters(3, "nodir/out.txt").text());
  box.write("binary.tmp", THREE_RECORDS);
  fs::permissions(box.path("binary.tmp"),
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_symlink("binary.tmp", box.path("zelto.txt"));
  const RunResult r = box.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{"binary.tmp", "error.txt", "manager.txt", "zelto.txt"}));
  EXPECT_TRUE(fs::is_symlink(box.path("zelto.txt")));
  EXPECT_EQ(box.read("binary.tmp"), THREE_LINES);
  EXPECT_EQ(fs::status(box.path("binary.tmp")).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

// A file system too small for the lines: the record file stays whole.
TEST(Safety, FullFileSystemKeepsTheRecordFile) {
  Sandbox box;
  const SmallFileSystem small(box.beside("disk"), 1 << 20);
  if (!small.mounted()) GTEST_SKIP() << "cannot mount a small file system here";
  const fs::path& disk = small.path();
  const LongLines data = long_lines(3000, 150, 256);
  {
    std::ofstream(disk / "manager.txt", std::ios::binary) << data.parameters.text();
    std::ofstream(disk / "binary.tmp", std::ios::binary) << data.records;
  }
  const int status =
      run_shell("cd " + shell_quote(disk.string()) + " && " + shell_quote(binary_path()) + " 2>" +
                shell_quote(box.path("err").string()));
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(disk)) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  const std::string records = read_file(disk / "binary.tmp");
  EXPECT_EQ(status, 1);
  EXPECT_EQ(box.read("err"), "fwrite() error-1: binary.tmp\n");
  EXPECT_EQ(left, (std::vector<std::string>{"binary.tmp", "manager.txt"}));
  EXPECT_TRUE(records == data.records);
}

// Memory: just below the smallest address-space limit under which the pass
// succeeds, every allocation of the pass in turn is the one that fails. The
// run must then report its allocation failure, never abort, and leave the
// record file whole.
struct LimitedRun {
  RunResult result;
  std::string record_file;
  std::vector<std::string> files;
};

LimitedRun run_limited(const LongLines& data, bool unique, std::uint64_t limit) {
  Sandbox box;
  box.write("manager.txt", data.parameters.text());
  box.write("binary.tmp", data.records);
  const std::vector<std::string> arguments =
      unique ? std::vector<std::string>{"-u"} : std::vector<std::string>{};
  LimitedRun run{box.run_with(RunOptions{arguments, "", "", limit}), box.read("binary.tmp"),
                 box.files()};
  return run;
}

TEST(Safety, AddressSpaceLimitsNeverAbort) {
  SKIP_WITHOUT_POSIX("prlimit --as");
  if (SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer's allocator cannot run under prlimit --as";
  const LongLines data = long_lines(200000, 8, 128);
  constexpr std::uint64_t STEP = 64 << 10;
  for (const bool unique : {false, true}) {
    // The smallest limit that succeeds, to within one step.
    std::uint64_t fails = 8 << 20;
    std::uint64_t succeeds = 512 << 20;
    ASSERT_EQ(run_limited(data, unique, succeeds).result.status, 0);
    while (succeeds - fails > STEP) {
      const std::uint64_t middle = (fails + succeeds) / 2;
      (run_limited(data, unique, middle).result.status == 0 ? succeeds : fails) = middle;
    }
    for (std::uint64_t limit = succeeds - 16 * STEP; limit < succeeds + 2 * STEP; limit += STEP) {
      const LimitedRun run = run_limited(data, unique, limit);
      ASSERT_TRUE(run.result.status == 0 || run.result.status == 1)
          << run.result.status << " at " << limit;
      if (run.result.status == 0) {
        EXPECT_TRUE(run.record_file == data.lines) << limit;
      } else {
        const std::string failure = unique ? "malloc() error-" : "malloc() error-1: ";
        EXPECT_EQ(run.result.err.rfind(failure, 0), 0U) << run.result.err << " at " << limit;
        EXPECT_TRUE(run.record_file == data.records) << limit;
      }
      EXPECT_EQ(run.files, (std::vector<std::string>{"binary.tmp", "manager.txt"})) << limit;
    }
  }
}

// Writes that fail: the tie report on a full or closed standard output, and
// every output under a file-size limit. Each failure is reported once, the
// status is 1, and a record file whose lines did not arrive stays.
struct WriteCase {
  std::string name;
  std::string output_line;  // parameter line 8
  std::string stdout_path;
  bool close_stdout = false;
  std::uint64_t file_size_limit = 0;
  int status = 1;
  std::string err;
  bool record_file_kept = true;
  std::vector<std::string> files;  // what the directory holds afterwards
};

void PrintTo(const WriteCase& c, std::ostream* os) {
  *os << c.name;
}

class FailedWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(FailedWrite, IsReportedOnce) {
  SKIP_WITHOUT_POSIX("/dev/full, a closed standard output or prlimit --fsize");
  const WriteCase& c = GetParam();
  const LongLines data = long_lines(2000, 100, 256);
  Parameters p = data.parameters;
  p.output_path = c.output_line;
  p.report_ties = "-!";
  // Two records share a key, so there is a tie to report.
  std::string records = data.records;
  records.replace(0, 256, data.records.substr(256, 256));
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", records);
  RunOptions options{{}, "", c.stdout_path, 0};
  options.close_stdout = c.close_stdout;
  options.file_size_limit = c.file_size_limit;
  const RunResult r = box.run_with(options);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(box.files(), c.files);
  if (c.record_file_kept) {
    EXPECT_TRUE(box.read("binary.tmp") == records);
  }
}

const std::vector<std::string> KEPT = {"binary.tmp", "manager.txt"};
const std::vector<std::string> KEPT_WITH_OUTPUT = {"binary.tmp", "manager.txt", "out.txt"};

INSTANTIATE_TEST_SUITE_P(
    Safety, FailedWrite,
    ::testing::Values(WriteCase{.name = "TieReportToAFullDevice",
                                .output_line = "out.txt",
                                .stdout_path = "/dev/full",
                                .err = "fwrite() error-1: stdout\n",
                                .record_file_kept = false,
                                .files = {"manager.txt", "out.txt"}},
                      WriteCase{.name = "TieReportToAClosedOutput",
                                .output_line = "out.txt",
                                .close_stdout = true,
                                .err = "fwrite() error-1: stdout\n",
                                .record_file_kept = false,
                                .files = {"manager.txt", "out.txt"}},
                      // The displayed lines failed first: one message for both.
                      WriteCase{.name = "LinesAndTieReportToAFullDevice",
                                .stdout_path = "/dev/full",
                                .err = "fwrite() error-1: stdout\n",
                                .files = KEPT},
                      WriteCase{.name = "OutputFileOverTheSizeLimit",
                                .output_line = "out.txt",
                                .stdout_path = "/dev/null",
                                .file_size_limit = 50000,
                                .err = "fwrite() error-1: out.txt\n",
                                .files = KEPT_WITH_OUTPUT},
                      WriteCase{.name = "RecordFileReplacementOverTheSizeLimit",
                                .output_line = "binary.tmp",
                                .stdout_path = "/dev/null",
                                .file_size_limit = 50000,
                                .err = "fwrite() error-1: binary.tmp\n",
                                .files = KEPT}),
    [](const ::testing::TestParamInfo<WriteCase>& info) { return info.param.name; });

}  // namespace
}  // namespace zelto::testing
