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
#include <utility>
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

// A file that takes the name binary.tmp while the run reads the records (the
// next batch moved into place by another job) is not the file read: it
// stays, whatever the run did with the records it read.
TEST(Safety, RecordFileNameTakenDuringTheRunIsKept) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD)");
  Sandbox box;
  box.write("manager.txt", parameters(3).text());
  box.write("binary.tmp", THREE_RECORDS);
  box.write("next.tmp", "the next batch");
  RunOptions options{{}};
  // The move happens as the output file is opened.
  options.environment = with_fault("replace:next.tmp:binary.tmp");
  const RunResult r = box.run_with(options);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(box.read("out.txt"), THREE_LINES);
  EXPECT_EQ(box.read("binary.tmp"), "the next batch");
  EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt", "out.txt"}));
}

// Standard output, the fallback file or the error log is the record file:
// it takes what the run writes to it, or keeps its records, and is never
// removed. An error log that is the file read gets no message: standard
// error does.
struct WrittenRecordFileCase {
  std::string name;
  std::string record_path;  // where the records are, and parameter line 7
  std::string output_line;  // parameter line 8
  std::string link;         // a name linked to the record file, if any
  std::string redirection;  // of the command's standard output
  int status;
  std::string err;
  bool lines_appended;        // the lines follow the records
  bool lines_over_the_start;  // the lines overwrite the records' start
};

void PrintTo(const WrittenRecordFileCase& c, std::ostream* os) {
  *os << c.name;
}

class WrittenRecordFile : public ::testing::TestWithParam<WrittenRecordFileCase> {};

TEST_P(WrittenRecordFile, IsKept) {
  const WrittenRecordFileCase& c = GetParam();
  Parameters p = parameters(3, c.output_line);
  p.input_path = c.record_path;
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write(c.record_path, THREE_RECORDS);
  if (!c.link.empty()) fs::create_symlink(c.record_path, box.path(c.link));
  const RunResult r = box.run_script(command_line(binary_path(), {}) + " " + c.redirection);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(r.err, c.err);
  std::string expected = THREE_RECORDS;
  if (c.lines_appended) expected += THREE_LINES;
  if (c.lines_over_the_start) expected.replace(0, THREE_LINES.size(), THREE_LINES);
  EXPECT_TRUE(box.read(c.record_path) == expected);
  if (c.status == 1) {
    EXPECT_EQ(box.read("zelto.txt"), THREE_LINES);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Safety, WrittenRecordFile,
    ::testing::Values(WrittenRecordFileCase{"StandardOutputAppends", "binary.tmp", "", "",
                                            ">> binary.tmp", 0, "", true, false},
                      WrittenRecordFileCase{"StandardOutputInPlace", "binary.tmp", "", "",
                                            "1<> binary.tmp", 0, "", false, true},
                      WrittenRecordFileCase{"ErrorLogLinksToTheRecordFile", "binary.tmp",
                                            "nodir/out.txt", "error.txt", "> /dev/null", 1,
                                            "fopen() error-1: nodir/out.txt\n", false, false},
                      WrittenRecordFileCase{"ErrorLogIsTheFileRead", "error.txt", "nodir/out.txt",
                                            "", "> /dev/null", 1,
                                            "fopen() error-1: nodir/out.txt\n", false, false}),
    [](const ::testing::TestParamInfo<WrittenRecordFileCase>& info) { return info.param.name; });

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
// Only the tables' numbers for them: Windows has no such signals, and the
// tests that send them skip themselves there.
constexpr int SIGKILL = 9;
constexpr int SIGHUP = 1;
constexpr int SIGQUIT = 3;
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

#ifdef _WIN32
// Ctrl-Break as a console sends it, at moments through a run that replaces
// the record file with its lines: the records or every line stay, and no
// replacement is left beside them.
TEST(Safety, CtrlBreakDuringTheReplacementLeavesTheRecordsOrEveryLine) {
  const LongLines data = long_lines(40000, 900, 1024);
  int delivered = 0;
  for (const int delay_ms : {0, 50, 150, 300}) {
    Sandbox box;
    box.write("manager.txt", data.parameters.text());
    box.write("binary.tmp", data.records);
    const ChildProcess child(binary_path(), {}, {}, box.dir(), "", "", "");
    ASSERT_TRUE(child.started());
    Sleep(static_cast<DWORD>(delay_ms));
    if (child.interrupt()) ++delivered;
    (void)child.wait();
    EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}))
        << "after " << delay_ms << " ms";
    const std::string left = box.read("binary.tmp");
    EXPECT_TRUE(left == data.records || left == data.lines) << "after " << delay_ms << " ms";
  }
  // Without a console (wine under CTest) the event cannot be sent at all.
  if (delivered == 0) GTEST_SKIP() << "no console here to send Ctrl-Break through";
}
#endif

INSTANTIATE_TEST_SUITE_P(Safety, InterruptedReplacement,
                         ::testing::Values(SignalCase{"Interrupt", SIGINT},
                                           SignalCase{"Terminate", SIGTERM},
                                           SignalCase{"Kill", SIGKILL}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                           return info.param.name;
                         });

// The arguments of env(1) for `fault`, as shell words.
std::string fault_words(const std::string& fault) {
  std::string words;
  for (const std::string& w : with_fault(fault)) words += shell_quote(w) + " ";
  return words;
}

// Runs an ordinary user's commands: this prefix starts the command as nobody.
const std::string AS_NOBODY = "setpriv --reuid=65534 --regid=65534 --clear-groups -- ";

// Lets nobody work in the sandbox's directory; false when nobody cannot
// even start the command here (the build lies where only root may look).
bool open_to_nobody(const Sandbox& box) {
#ifdef _WIN32
  (void)box;
  return false;
#else
  fs::permissions(box.beside("x").parent_path(),
                  fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
  if (chown(box.dir().c_str(), 65534, 65534) != 0) return false;
  return box.run_script(AS_NOBODY + shell_quote(binary_path()) + " -V").status == 1;
#endif
}

// Replacing a file keeps its owner, group and mode, and refuses a file the
// user could not write, as any other output is refused: the lines then go
// to the fallback file. A hard link to the replaced file keeps the records.
struct PermissionCase {
  std::string name;
  bool as_nobody;
  std::string target;  // the output: the record file or another file
  fs::perms mode;
  bool replaced;
};

void PrintTo(const PermissionCase& c, std::ostream* os) {
  *os << c.name;
}

class ReplacementPermissions : public ::testing::TestWithParam<PermissionCase> {};

TEST_P(ReplacementPermissions, AreHonoured) {
  SKIP_WITHOUT_POSIX("owners and permission bits");
#ifndef _WIN32
  const PermissionCase& c = GetParam();
  Sandbox box;
  if (c.as_nobody && !open_to_nobody(box)) GTEST_SKIP() << "nobody cannot run the command here";
  box.write("manager.txt", parameters(3, c.target).text());
  box.write("binary.tmp", THREE_RECORDS);
  if (c.target != "binary.tmp") box.write(c.target, "old lines\n");
  const std::string before = box.read(c.target);
  fs::create_hard_link(box.path(c.target), box.path("other.name"));
  for (const std::string& name : {std::string("binary.tmp"), c.target}) {
    EXPECT_EQ(chown(box.path(name).c_str(), 65534, 65534), 0);
  }
  fs::permissions(box.path(c.target), c.mode);
  const RunResult r =
      box.run_script((c.as_nobody ? AS_NOBODY : "") + shell_quote(binary_path()) + " >/dev/null");
  struct stat status {};
  if (c.replaced) {
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(box.read(c.target), THREE_LINES);
    ASSERT_EQ(stat(box.path(c.target).c_str(), &status), 0);
    EXPECT_EQ(status.st_uid, 65534U);
    EXPECT_EQ(status.st_gid, 65534U);
    EXPECT_EQ(fs::status(box.path(c.target)).permissions(), c.mode);
    EXPECT_TRUE(box.read("other.name") == before);
  } else {
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(box.read("error.txt"), "fopen() error-1: " + c.target);
    EXPECT_EQ(box.read("zelto.txt"), THREE_LINES);
    // The lines arrived, in the fallback file: the record file goes.
    EXPECT_FALSE(box.exists("binary.tmp"));
    if (c.target != "binary.tmp") {
      EXPECT_TRUE(box.read(c.target) == before);
    }
  }
#endif
}

constexpr fs::perms READ_ONLY =
    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
constexpr fs::perms OWNER_WRITES =
    fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read;

INSTANTIATE_TEST_SUITE_P(
    Safety, ReplacementPermissions,
    ::testing::Values(
        PermissionCase{"ReadOnlyRecordFileIsRefused", true, "binary.tmp", READ_ONLY, false},
        PermissionCase{"ReadOnlyOtherFileIsRefused", true, "out.txt", READ_ONLY, false},
        PermissionCase{"WritableRecordFileKeepsItsMode", true, "binary.tmp", OWNER_WRITES, true},
        PermissionCase{"RootKeepsOwnerGroupAndMode", false, "binary.tmp", OWNER_WRITES, true}),
    [](const ::testing::TestParamInfo<PermissionCase>& info) { return info.param.name; });

// "-o binary.tmp" where the usual means are missing: no /proc, no nameless
// files, no linking of them, a directory deeper than PATH_MAX. The lines
// replace the records all the same and nothing else is left; a rename that
// fails is named and leaves the records.
struct UnhelpedCase {
  std::string name;
  std::string script;  // $Z is the command; runs in the sandbox's directory
  int status = 0;
  std::string err;
};

void PrintTo(const UnhelpedCase& c, std::ostream* os) {
  *os << c.name;
}

class UnhelpedReplacement : public ::testing::TestWithParam<UnhelpedCase> {};

// Exits with 77 where a mount namespace cannot be had.
const std::string WITHOUT_PROC =
    "unshare -m true 2>/dev/null || exit 77; unshare -m sh -c 'umount -l /proc && exec \"$@\"' - ";

// Runs the command in a directory whose absolute path is above 4,500 bytes
// long, then brings the record file back up, lists what was left beside
// the sandbox's directory and removes the deep one.
const std::string DEEP =
    "top=$PWD; d=$(printf 'd%.0s' $(seq 250)); for i in $(seq 18); do mkdir $d && cd $d || exit "
    "9; done; cp \"$top/manager.txt\" \"$top/binary.tmp\" . && \"$Z\" -o binary.tmp; s=$?; "
    "ls -A >\"$top/../left\"; cp binary.tmp \"$top/binary.tmp\"; cd \"$top\" && rm -rf d*; "
    "exit $s";

TEST_P(UnhelpedReplacement, StillReplacesTheRecords) {
  SKIP_WITHOUT_POSIX("a shell, mount namespaces and fault libraries");
  const UnhelpedCase& c = GetParam();
  if (SANITIZED_BUILD && c.script.find(WITHOUT_PROC) != std::string::npos) {
    GTEST_SKIP() << "the sanitizer's runtime cannot run without /proc";
  }
  Sandbox box;
  if (c.script.find(AS_NOBODY) != std::string::npos && !open_to_nobody(box)) {
    GTEST_SKIP() << "nobody cannot run the command here";
  }
  box.write("manager.txt", parameters(3).text());
  box.write("binary.tmp", THREE_RECORDS);
#ifndef _WIN32
  chown(box.path("binary.tmp").c_str(), 65534, 65534);
#endif
  const RunResult r = box.run_script("Z=" + shell_quote(binary_path()) + "; " + c.script);
  if (r.status == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(r.status, c.status) << r.err;
  EXPECT_EQ(r.err, c.err);
  EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}));
  EXPECT_EQ(box.read("binary.tmp"), c.status == 0 ? THREE_LINES : THREE_RECORDS);
  if (c.script == DEEP) {
    EXPECT_EQ(read_file(box.beside("left")), "binary.tmp\nmanager.txt\n");
  }
}

INSTANTIATE_TEST_SUITE_P(
    Safety, UnhelpedReplacement,
    ::testing::Values(
        UnhelpedCase{"WithoutProc", WITHOUT_PROC + "\"$Z\" -o binary.tmp"},
        UnhelpedCase{"WithoutProcAsNobody", WITHOUT_PROC + AS_NOBODY + "\"$Z\" -o binary.tmp"},
        UnhelpedCase{"WithoutNamelessFiles",
                     "env " + fault_words("no-tmpfile") + "\"$Z\" -o binary.tmp"},
        UnhelpedCase{"WithoutLinks", "env " + fault_words("linkat") + "\"$Z\" -o binary.tmp"},
        UnhelpedCase{"DeepDirectory", DEEP},
        UnhelpedCase{"FailedRename", "env " + fault_words("renameat") + "\"$Z\" -o binary.tmp", 1,
                     "rename() error: binary.tmp: Input/output error\n"}),
    [](const ::testing::TestParamInfo<UnhelpedCase>& info) { return info.param.name; });

// A signal ignored when the run began stays ignored while a named
// replacement is written (as under nohup): the run goes on to the end.
class IgnoredSignal : public ::testing::TestWithParam<SignalCase> {};

TEST_P(IgnoredSignal, StaysIgnoredDuringAReplacement) {
  SKIP_WITHOUT_POSIX("a shell to send signals");
  const LongLines data = long_lines(20000, 900, 1024);
  const std::string name = std::to_string(GetParam().signal_number);
  Sandbox box;
  box.write("manager.txt", data.parameters.text());
  box.write("binary.tmp", data.records);
  const RunResult r = box.run_script("trap '' " + name + "; env " + fault_words("no-tmpfile") +
                                     shell_quote(binary_path()) +
                                     " >/dev/null & pid=$!; for i in $(seq 60); do kill -" + name +
                                     " $pid 2>/dev/null; sleep 0.01; done; wait $pid");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}));
  EXPECT_TRUE(box.read("binary.tmp") == data.lines);
}

INSTANTIATE_TEST_SUITE_P(
    Safety, IgnoredSignal,
    ::testing::Values(SignalCase{"Hangup", SIGHUP}, SignalCase{"Interrupt", SIGINT},
                      SignalCase{"Terminate", SIGTERM}, SignalCase{"Quit", SIGQUIT}),
    [](const ::testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

// Arranges 3,000 records of long lines into out.txt in `box`, under
// `fault` and the environment words given.
RunResult run_with_fault(Sandbox& box, const char* fault, std::vector<std::string> environment,
                         bool unique) {
  const LongLines data = long_lines(3000, 100, 256);
  Parameters p = data.parameters;
  p.output_path = "out.txt";
  box.write("manager.txt", p.text());
  box.write("binary.tmp", data.records);
  RunOptions options{unique ? std::vector<std::string>{"-u"} : std::vector<std::string>{}};
  options.environment = std::move(environment);
  const std::vector<std::string> words = with_fault(fault);
  options.environment.insert(options.environment.end(), words.begin(), words.end());
  return box.run_with(options);
}

// A record file cut short by another process while it is mapped: in memory
// just as the output is opened, or after the external pass stored its first
// run, as it reads the next chunk through its mapping; or written over in
// place as the output is opened. The run reports it and leaves no output
// behind.
TEST(Safety, RecordFileShrunkOrWrittenUnderTheMappingLeavesNoOutput) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD)");
  struct Case {
    const char* fault;
    std::vector<std::string> memory;  // environment words for the budget
  };
  const Case cases[] = {{"shrink:binary.tmp", {"-u", "ZELTO_MEMORY"}},
                        {"shrink-after-write:binary.tmp", {"ZELTO_MEMORY=64K"}},
                        {"rewrite:binary.tmp", {"-u", "ZELTO_MEMORY"}}};
  for (const Case& c : cases) {
    for (const bool unique : {false, true}) {
      SCOPED_TRACE(std::string(c.fault) + (unique ? " -u" : ""));
      Sandbox box;
      const RunResult r = run_with_fault(box, c.fault, c.memory, unique);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.err, unique ? "fread() error-3: binary.tmp\n" : "fread() error-2: binary.tmp\n");
      EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}));
    }
  }
}

// A run of the external pass that cannot be read back, whichever thread
// reads it: the run names the temporary directory and leaves no output.
TEST(Safety, RunThatCannotBeReadBackLeavesNoOutput) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD)");
  for (const bool unique : {false, true}) {
    SCOPED_TRACE(unique ? "-u" : "plain");
    Sandbox box;
    const fs::path temporary = box.beside("tmp");
    fs::create_directory(temporary);
    const RunResult r =
        run_with_fault(box, "pread", {"ZELTO_MEMORY=64K", "TMPDIR=" + temporary.string()}, unique);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "temporary file error: " + temporary.string() + ": Input/output error\n");
    EXPECT_EQ(box.files(), (std::vector<std::string>{"binary.tmp", "manager.txt"}));
  }
}

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

// Memory requests that fail one at a time, in a run on disk on two threads:
// from the settings' first small buffers (at least 512 bytes) and through
// every large one (at least 4 KiB). The run succeeds or reports its
// allocation failure, never aborts, and an output file that was there keeps
// its old lines until the new ones can all be written.
TEST(Safety, EachFailedRequestOfATwoThreadRunOnDiskIsReported) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD)");
  if (SANITIZED_BUILD) GTEST_SKIP() << "the fault library replaces the sanitizer's allocator";
  const LongLines data = long_lines(100000, 2, 128);
  Parameters p = data.parameters;
  p.output_path = "out.txt";
  p.keep_record_file = "-y";
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", data.records);
  const struct {
    int least_bytes;
    int requests;
  } sweeps[] = {{512, 4}, {4096, 16}};
  for (const auto& sweep : sweeps) {
    for (int n = 1; n <= sweep.requests; ++n) {
      SCOPED_TRACE("request " + std::to_string(n) + " of " + std::to_string(sweep.least_bytes));
      box.write("out.txt", "old lines\n");
      RunOptions options{{}};
      options.environment =
          with_fault("alloc:" + std::to_string(n) + ":" + std::to_string(sweep.least_bytes));
      options.environment.insert(options.environment.end(),
                                 {"ZELTO_THREADS=2", "ZELTO_MEMORY=16M"});
      const RunResult r = box.run_with(options);
      ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << ": " << r.err;
      if (r.status == 0) {
        EXPECT_TRUE(box.read("out.txt") == data.lines);
      } else {
        EXPECT_EQ(r.err, "malloc() error-1: 12800000 bytes\n");
        EXPECT_EQ(box.read("out.txt"), "old lines\n");
      }
      EXPECT_TRUE(box.read("binary.tmp") == data.records);
    }
  }
}

// Every memory request of at least 512 bytes, failed in turn, in a run on
// disk whose final merge takes eleven runs at once (a reader for each): the
// run succeeds or reports the failure before the output is opened, so the
// old lines stay. The run makes fewer than 200 such requests.
TEST(Safety, EachFailedRequestBeforeAMergeOfManyRunsKeepsTheOutput) {
  if (SANITIZED_BUILD) GTEST_SKIP() << "the fault library replaces the sanitizer's allocator";
  const LongLines data = long_lines(20000, 2, 128);
  Parameters p = data.parameters;
  p.output_path = "out.txt";
  p.keep_record_file = "-y";
  Sandbox box;
  box.write("manager.txt", p.text());
  box.write("binary.tmp", data.records);
  for (int n = 1; n <= 200; ++n) {
    SCOPED_TRACE("request " + std::to_string(n));
    box.write("out.txt", "old lines\n");
    RunOptions options{{}};
    options.environment = with_fault("alloc:" + std::to_string(n) + ":512");
    options.environment.insert(options.environment.end(), {"ZELTO_THREADS=2", "ZELTO_MEMORY=300K"});
    const RunResult r = box.run_with(options);
    ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << ": " << r.err;
    if (r.status == 0) {
      EXPECT_TRUE(box.read("out.txt") == data.lines);
    } else {
      EXPECT_EQ(r.err, "malloc() error-1: 2560000 bytes\n");
      ASSERT_EQ(box.read("out.txt"), "old lines\n");
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
  // On one thread the lines are written as they are gathered; with a budget
  // of 8 KiB they come from the pass on disk, whose runs would meet a
  // file-size limit before the lines do.
  std::vector<std::string> settings = {"ZELTO_THREADS=", "ZELTO_THREADS=1"};
  if (c.file_size_limit == 0) settings.push_back("ZELTO_MEMORY=8K");
  for (const std::string& setting : settings) {
    SCOPED_TRACE(setting);
    Sandbox box;
    box.write("manager.txt", p.text());
    box.write("binary.tmp", records);
    RunOptions options{{}, "", c.stdout_path, 0};
    options.close_stdout = c.close_stdout;
    options.file_size_limit = c.file_size_limit;
    options.environment = {setting};
    const RunResult r = box.run_with(options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(box.files(), c.files);
    if (c.record_file_kept) {
      EXPECT_TRUE(box.read("binary.tmp") == records);
    }
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

namespace zelto::testing {
namespace {

// A run that fails midway (a run of the external pass that cannot be read
// back) removes only a file it created itself: a symbolic link it wrote
// through stays a link, and the file behind it, which the run truncated, is
// cut back to nothing; a file the run created is removed.
TEST(Safety, FailedRunRemovesOnlyAFileItCreated) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD) and symbolic links");
  struct Case {
    const char* name;
    bool through_link;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"through a link", true, {"binary.tmp", "link.txt", "manager.txt", "target.txt"}},
      {"a new file", false, {"binary.tmp", "manager.txt"}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    if (c.through_link) {
      box.write("target.txt", "earlier lines\n");
      fs::create_symlink("target.txt", box.path("link.txt"));
    }
    const fs::path temporary = box.beside("tmp");
    fs::create_directory(temporary);
    const LongLines data = long_lines(3000, 100, 256);
    box.write("manager.txt", data.parameters.text());
    box.write("binary.tmp", data.records);
    RunOptions options{{"-o", c.through_link ? "link.txt" : "out.txt"}};
    options.environment = {"ZELTO_MEMORY=64K", "TMPDIR=" + temporary.string()};
    for (const std::string& w : with_fault("pread")) options.environment.push_back(w);
    const RunResult r = box.run_with(options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(box.files(), c.files);
    if (c.through_link) {
      EXPECT_TRUE(fs::is_symlink(box.path("link.txt")));
      EXPECT_EQ(box.read("target.txt"), "");
    }
  }
}

// Another job moves its next batch to binary.tmp while the run puts the
// lines that replace binary.tmp on storage: the next batch stays, and the
// lines go to the fallback file as for an output that could not be opened.
TEST(Safety, ReplacementLeavesAFileThatTookTheNameDuringTheRun) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD)");
  Sandbox box;
  box.write("manager.txt", parameters(3).text());
  box.write("binary.tmp", THREE_RECORDS);
  box.write("next.tmp", "the next batch");
  RunOptions options{{"-o", "binary.tmp"}};
  options.environment = with_fault("replace-at-fsync:next.tmp:binary.tmp");
  const RunResult r = box.run_with(options);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(box.read("binary.tmp"), "the next batch");
  EXPECT_EQ(box.read("zelto.txt"), THREE_LINES);
  EXPECT_EQ(box.read("error.txt"), "fopen() error-1: binary.tmp");
  EXPECT_EQ(box.files(),
            (std::vector<std::string>{"binary.tmp", "error.txt", "manager.txt", "zelto.txt"}));
}

// In a shared sticky directory, a link to the record file that another user
// put where the output goes is not followed, as the system would not follow
// it for this user: the record file behind it stays, and the lines go to
// the fallback file.
TEST(Safety, ReplacementFollowsNoOtherUsersLinkInASharedDirectory) {
  SKIP_WITHOUT_POSIX("owners of symbolic links and sticky directories");
#ifndef _WIN32
  if (geteuid() != 0) GTEST_SKIP() << "only root can give a link to another user";
  Sandbox box;
  fs::create_directory(box.path("private"));
  fs::create_directory(box.path("shared"));
  fs::permissions(box.path("shared"), fs::perms::all | fs::perms::sticky_bit);
  box.write("private/real.tmp", THREE_RECORDS);
  fs::create_symlink("../private/real.tmp", box.path("shared/binary.tmp"));
  ASSERT_EQ(lchown(box.path("shared/binary.tmp").c_str(), 12345, 12345), 0);
  Parameters p = parameters(3, "shared/binary.tmp");
  p.input_path = "private/real.tmp";
  box.write("manager.txt", p.text());
  const RunResult r = box.run({});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(box.read("private/real.tmp"), THREE_RECORDS);
  EXPECT_TRUE(fs::is_symlink(box.path("shared/binary.tmp")));
  EXPECT_EQ(box.read("zelto.txt"), THREE_LINES);
  EXPECT_EQ(box.read("error.txt"), "fopen() error-1: shared/binary.tmp");
#endif
}

// Storage that cannot keep the lines: a run that would remove the record
// file reports the failed flush and keeps it; a run that keeps it anyway
// (-y) does not ask for the flush at all.
TEST(Safety, RecordFileGoesOnlyOnceTheLinesAreOnStorage) {
  SKIP_WITHOUT_POSIX("a fault library (LD_PRELOAD)");
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool stdout_to_file;
    int status;
    std::string err;
  };
  const Case cases[] = {
      {"output file", {"-o", "out.txt"}, false, 1, "fsync() error: out.txt: Input/output error\n"},
      {"lines shown in a file", {}, true, 1, "fsync() error: stdout: Input/output error\n"},
      {"record file kept", {"-o", "out.txt", "-y"}, false, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox box;
    box.write("manager.txt", parameters(3, c.stdout_to_file ? "" : "out.txt").text());
    box.write("binary.tmp", THREE_RECORDS);
    RunOptions options{c.arguments};
    if (c.stdout_to_file) options.stdout_path = box.path("shown.txt").string();
    options.environment = with_fault("fsync");
    const RunResult r = box.run_with(options);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(box.read("binary.tmp"), THREE_RECORDS);
  }
}

}  // namespace
}  // namespace zelto::testing
