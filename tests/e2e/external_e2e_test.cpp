// Record files beyond the memory budget, through the built command: the
// temporary directory missing or full, a budget that is not a byte count, and
// a file four times the address-space limit sorted without any setting.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "records.h"
#include "run_binary.h"
#include "sample_records.h"

namespace zelto::testing {
namespace {

// Records whose integer keys are 0 to count - 1 in a scrambled order, each
// with its key as its line; arranged, they read "0\n1\n2\n...".
void write_scrambled(const std::filesystem::path& path, std::int32_t count) {
  std::ofstream out(path, std::ios::binary);
  std::vector<char> block;
  for (std::int32_t i = 0; i < count; ++i) {
    const auto key = static_cast<std::int32_t>((static_cast<std::int64_t>(i) * 7919) % count);
    const Bytes r = int_record({key}, i + 1, std::to_string(key) + "\n");
    block.insert(block.end(), r.begin(), r.end());
    if (block.size() >= (1 << 20) || i + 1 == count) {
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
      block.clear();
    }
  }
}

std::string counting_lines(std::int32_t count) {
  std::string lines;
  for (std::int32_t i = 0; i < count; ++i) lines.append(std::to_string(i)).append("\n");
  return lines;
}

struct FailureCase {
  std::string name;
  std::vector<std::string> arguments;
  std::string output;  // parameter line 8
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

// The ways a pass can end before its lines: plain and unique, to a file
// and to standard output.
const auto EVERY_PASS = ::testing::Values(
    FailureCase{"ToAFile", {}, "out.txt"}, FailureCase{"Unique", {"-u"}, "out.txt"},
    FailureCase{"Displayed", {}, ""}, FailureCase{"DisplayedUnique", {"-u"}, ""});

// Runs a pass over 2000 records with `environment` and checks that it ended
// with `message`, status 1, nothing written and every file as it was.
void check_refused(const FailureCase& c, std::vector<std::string> environment,
                   const std::string& message) {
  Sandbox box;
  box.write("manager.txt", integers(2000, c.output).text());
  write_scrambled(box.path("binary.tmp"), 2000);
  const Tree before = box.tree();
  RunOptions options{c.arguments};
  options.environment = std::move(environment);
  const RunResult r = box.run_with(options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, message);
  EXPECT_TRUE(box.tree() == before);
}

class TemporaryDirectory : public ::testing::TestWithParam<FailureCase> {};

TEST_P(TemporaryDirectory, MissingEndsTheRunBeforeAnyOutput) {
  check_refused(GetParam(), {"ZELTO_MEMORY=16K", "TMPDIR=/nonexistent/zelto"},
                "temporary file error: /nonexistent/zelto: No such file or directory\n");
}

TEST_P(TemporaryDirectory, FullEndsTheRunBeforeAnyOutput) {
  Sandbox outside;
  const SmallFileSystem small(outside.beside("small"), 16 << 10);
  if (!small.mounted()) GTEST_SKIP() << "a tmpfs cannot be mounted here";
  if (THREAD_SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer's own file takes the small room";
  // The 2000 records take at most 260,000 bytes (each whole, with its
  // 2-byte header), twice over as their 20 runs are merged into longer ones
  // first; the room is checked before anything is written.
  check_refused(
      GetParam(), {"ZELTO_MEMORY=16K", "TMPDIR=" + small.path().string()},
      "temporary file error: " + small.path().string() + ": needs 520000 bytes, has 16384 free\n");
  EXPECT_TRUE(std::filesystem::is_empty(small.path()));
}

INSTANTIATE_TEST_SUITE_P(External, TemporaryDirectory, EVERY_PASS,
                         [](const auto& info) { return info.param.name; });

TEST(External, MemorySettingThatIsNoByteCountIsRefused) {
  for (const std::string setting : {"12X", "0", "-5M", "1.5G", "lots"}) {
    SCOPED_TRACE(setting);
    check_refused(FailureCase{"", {}, "out.txt"}, {"ZELTO_MEMORY=" + setting},
                  "memory budget error: ZELTO_MEMORY=" + setting + "\n");
  }
}

// Ties noted while runs are sorted and while they are merged: every number
// in the report belongs to a record whose key equals another record's key.
TEST(External, TieReportNamesOnlyRecordsWithAnEqualKey) {
  constexpr std::int32_t COUNT = 3000;
  std::vector<Bytes> records;
  std::vector<bool> tied(COUNT + 1, false);
  for (std::int32_t i = 0; i < COUNT; ++i) {
    // Every seventh record shares its key with a record far away in the
    // file, so most pairs meet only in the merge; the rest are distinct.
    const bool pair = i % 7 == 0;
    const std::int32_t key = pair ? i % 700 : 100000 + i;
    records.push_back(int_record({key}, i + 1, std::to_string(key) + "\n"));
    tied[static_cast<std::size_t>(i + 1)] = pair && COUNT / 700 > 1;
  }
  Parameters p = integers(COUNT);
  p.report_ties = "-!";
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", record_file(records));
  RunOptions options{{}};
  options.environment = {"ZELTO_MEMORY=16K"};
  const RunResult r = box.run_with(options);
  ASSERT_EQ(r.status, 0);
  expect_full_tie_report(
      r.out, [&](int n) { return n >= 1 && n <= COUNT && tied[static_cast<std::size_t>(n)]; });
}

// A budget below what even the smallest external pass needs still sorts on
// disk, never in memory: the missing temporary directory shows which way
// the run went, and with one that exists the lines come out right.
TEST(External, BudgetOfOneByteSortsOnDisk) {
  check_refused(FailureCase{"", {}, "out.txt"}, {"ZELTO_MEMORY=1", "TMPDIR=/nonexistent/zelto"},
                "temporary file error: /nonexistent/zelto: No such file or directory\n");
  Sandbox box;
  box.write("manager.txt", integers(2000).text());
  write_scrambled(box.path("binary.tmp"), 2000);
  RunOptions options{{}};
  options.environment = {"ZELTO_MEMORY=1"};
  const RunResult r = box.run_with(options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(box.read("out.txt") == counting_lines(2000));
}

// A memory cgroup of `bytes` for the life of this object (v2 where the
// unified hierarchy is mounted, v1 otherwise). Making one needs root:
// where it is not allowed, made() is false and the test skips itself.
class MemoryCgroup {
 public:
  explicit MemoryCgroup(std::uint64_t bytes) {
    namespace fs = std::filesystem;
    const bool v2 = fs::exists("/sys/fs/cgroup/cgroup.controllers");
    path_ = fs::path(v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/memory") /
            ("zelto-test-" + std::to_string(getpid()));
    std::error_code error;
    if (!fs::create_directory(path_, error)) return;
    std::ofstream(path_ / (v2 ? "memory.max" : "memory.limit_in_bytes")) << bytes;
    made_ = read_file(path_ / (v2 ? "memory.max" : "memory.limit_in_bytes")) ==
            std::to_string(bytes) + "\n";
  }
  ~MemoryCgroup() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }
  MemoryCgroup(const MemoryCgroup&) = delete;
  MemoryCgroup& operator=(const MemoryCgroup&) = delete;
  [[nodiscard]] bool made() const { return made_; }
  // Shell text that moves the shell running it into the cgroup.
  [[nodiscard]] std::string enter() const {
    return "echo $$ > " + shell_quote((path_ / "cgroup.procs").string());
  }

 private:
  std::filesystem::path path_;
  bool made_ = false;
};

// In a cgroup of 36 MiB the automatic budget leaves room for the program
// itself, and a record file larger than the cgroup is sorted on disk instead
// of being loaded and killed for it.
TEST(External, SmallMemoryCgroupSortsOnDisk) {
  if (SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer's shadow memory does not fit a small cgroup";
  const MemoryCgroup cgroup(36ULL << 20);
  if (!cgroup.made()) GTEST_SKIP() << "cannot make a memory cgroup here";
  constexpr std::int32_t COUNT = 400000;  // 51 MB of records
  Sandbox box;
  box.write("manager.txt", integers(COUNT).text());
  write_scrambled(box.path("binary.tmp"), COUNT);
  const RunResult r =
      box.run_script(cgroup.enter() + " && env -u ZELTO_MEMORY " + shell_quote(binary_path()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(box.read("out.txt") == counting_lines(COUNT));
}

// NaN double keys have one place in the order: the in-memory pass and the
// external one, on any number of threads and in either direction, write the
// same lines, NaNs after every number (before them descending).
TEST(External, NaNKeysGiveTheSameLinesForEveryBudgetAndThreadCount) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {nan, 1.0, -nan, -2.0, nan, 0.0, INFINITY, -0.0};
  std::vector<Bytes> records;
  for (std::int32_t i = 0; i < 40; ++i) {
    const double second = static_cast<double>(i % 3);
    records.push_back(double_record({values[i % 8], second}, i + 1, numbered_line("r", i)));
  }
  for (const std::string descending : {"0", "-r"}) {
    SCOPED_TRACE(descending);
    Parameters p = parameters(40);
    p.key_type = static_cast<std::int32_t>(KeyType::Doubles);
    p.descending = descending;
    p.keep_record_file = "-y";
    Sandbox box;
    box.write("manager.txt", p.text());
    box.write("binary.tmp", record_file(records));
    std::string first;
    for (const std::string memory : {"", "4K"}) {
      for (const std::string threads : {"1", "2", "3"}) {
        RunOptions options{{}};
        options.environment = {"ZELTO_MEMORY=" + memory, "ZELTO_THREADS=" + threads};
        const RunResult r = box.run_with(options);
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string lines = box.read("out.txt");
        if (first.empty()) first = lines;
        EXPECT_EQ(lines, first) << "ZELTO_MEMORY=" << memory << " ZELTO_THREADS=" << threads;
      }
    }
    // Ascending, -2.0 comes first; descending, the NaN keys whose second
    // double is 2, the highest record number first.
    EXPECT_EQ(first.substr(0, first.find('\n')), descending == "-r" ? "r32" : "r3");
  }
}

// The budget comes from the address-space limit itself: a file of four
// times the limit is arranged through runs on disk, and its temporary files
// are gone afterwards.
TEST(External, FileOfFourTimesTheAddressSpaceLimitIsArranged) {
  SKIP_WITHOUT_POSIX("prlimit --as");
  if (SANITIZED_BUILD) GTEST_SKIP() << "the sanitizer's allocator cannot run under prlimit --as";
  constexpr std::uint64_t LIMIT = 96ULL << 20;
  constexpr std::int32_t COUNT = static_cast<std::int32_t>(4 * LIMIT / 128);
  Sandbox box;
  box.write("manager.txt", integers(COUNT).text());
  write_scrambled(box.path("binary.tmp"), COUNT);
  std::filesystem::create_directory(box.beside("tmp"));
  RunOptions options{{}};
  options.address_space_limit = LIMIT;
  options.environment = {"-u", "ZELTO_MEMORY", "TMPDIR=" + box.beside("tmp").string()};
  const RunResult r = box.run_with(options);
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.files(), (std::vector<std::string>{"manager.txt", "out.txt"}));
  EXPECT_TRUE(box.read("out.txt") == counting_lines(COUNT));
  EXPECT_TRUE(std::filesystem::is_empty(box.beside("tmp")));
}

}  // namespace
}  // namespace zelto::testing
