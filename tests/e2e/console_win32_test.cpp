// What only Windows gives the command: its start-up expands "*" and "?" in
// the arguments as a shell would, and files that another program holds
// without sharing are reported, never lost.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "records.h"
#include "sample_records.h"
#include "scenario.h"

namespace zelto::testing {
namespace {

const std::string THREE_RECORDS = record_file(key_kind_records());
const std::string THREE_LINES = "B\na\nb\n";

// The record file under another name, chosen by a pattern on the command
// line; only binary.tmp is ever removed, so it stays.
Scenario picked(std::string name, std::string pattern) {
  return Scenario{.name = std::move(name),
                  .files = {{"manager.txt", parameters(3).text()}, {"rec1.bin", THREE_RECORDS}},
                  .arguments = {std::move(pattern)},
                  .written = {{"out.txt", THREE_LINES}}};
}

class Wildcards : public ::testing::TestWithParam<Scenario> {};
TEST_P(Wildcards, AreExpandedIntoTheMatchingNames) {
  check_scenario(GetParam());
}

INSTANTIATE_TEST_SUITE_P(Console, Wildcards,
                         ::testing::Values(picked("Star", "rec*.bin"),
                                           picked("QuestionMark", "r?c1.bin"),
                                           picked("NoPattern", "rec1.bin"),
                                           Scenario{.name = "PatternThatMatchesNothingStaysAsItIs",
                                                    .files = {{"manager.txt", parameters(3).text()},
                                                              {"rec1.bin", THREE_RECORDS}},
                                                    .arguments = {"none*.bin"},
                                                    .status = 1,
                                                    .err = "fopen() error-2: none*.bin\n"}),
                         scenario_name);

// Opens `path` in the sandbox as another program would, sharing nothing
// but what `sharing` allows, until the end of the scope.
class HeldFile {
 public:
  explicit HeldFile(const std::filesystem::path& path, DWORD sharing = 0)
      : handle_(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, sharing, nullptr,
                            OPEN_EXISTING, 0, nullptr)) {}
  ~HeldFile() {
    if (held()) CloseHandle(handle_);
  }
  HeldFile(const HeldFile&) = delete;
  HeldFile& operator=(const HeldFile&) = delete;
  [[nodiscard]] bool held() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

TEST(Console, RecordFileHeldByAnotherProgramIsReportedAndKept) {
  Sandbox box;
  box.lay_out({{"manager.txt", parameters(3).text()}, {"binary.tmp", THREE_RECORDS}});
  const Tree before = box.tree();
  RunResult r;
  {
    const HeldFile held(box.path("binary.tmp"));
    ASSERT_TRUE(held.held());
    r = box.run({});
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "fopen() error-2: binary.tmp\n");
  EXPECT_EQ(box.tree(), before);
}

TEST(Console, OutputHeldByAnotherProgramFallsBackAndStaysAsItWas) {
  Sandbox box;
  box.lay_out({{"manager.txt", parameters(3).text()},
               {"binary.tmp", THREE_RECORDS},
               {"out.txt", "earlier lines\n"}});
  const Tree before = box.tree();
  RunResult r;
  {
    const HeldFile held(box.path("out.txt"));
    ASSERT_TRUE(held.held());
    r = box.run({});
  }
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(box.tree(),
            changed(before, {"binary.tmp"},
                    {{"error.txt", "fopen() error-1: out.txt"}, {"zelto.txt", THREE_LINES}}));
}

// Another program holds the record file, letting others read it (and
// write it) but not remove or rename it: the lines that were to replace it
// go to the fallback file, reported as any output that cannot be opened
// is, and nothing else.
TEST(Console, RecordFileReplacementRefusedFallsBackLikeAnyOutput) {
  for (const DWORD sharing : {DWORD{FILE_SHARE_READ}, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE}}) {
    SCOPED_TRACE(sharing);
    Sandbox box;
    box.lay_out({{"manager.txt", parameters(3).text()}, {"binary.tmp", THREE_RECORDS}});
    RunResult r;
    {
      const HeldFile held(box.path("binary.tmp"), sharing);
      ASSERT_TRUE(held.held());
      r = box.run({"-o", "binary.tmp"});
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(box.read("binary.tmp"), THREE_RECORDS);
    EXPECT_EQ(box.read("error.txt"), "fopen() error-1: binary.tmp");
    EXPECT_EQ(box.read("zelto.txt"), THREE_LINES);
  }
}

}  // namespace
}  // namespace zelto::testing
