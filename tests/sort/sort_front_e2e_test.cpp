// End-to-end tests of zelto-sort for what the differential test does not
// reach: an output that is one of the inputs, runs on disk under a small -S
// giving the bytes of a sort in memory, an interrupted run leaving neither a
// temporary file nor a half-written output, and the statuses and files of
// runs that fail.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "run_binary.h"

namespace zelto::testing {
namespace {

// Lines in byte order, each with its terminator.
std::string sorted_text(std::vector<std::string> lines, bool unique = false, char end = '\n') {
  std::sort(lines.begin(), lines.end());
  if (unique) lines.erase(std::unique(lines.begin(), lines.end()), lines.end());
  std::string text;
  for (const std::string& line : lines) text.append(line).push_back(end);
  return text;
}

std::string joined(const std::vector<std::string>& lines, char end = '\n') {
  std::string text;
  for (const std::string& line : lines) text.append(line).push_back(end);
  return text;
}

// Lines of every kind of byte, many repeated, a few long.
std::vector<std::string> mixed_lines(std::size_t count, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) {
    std::string line;
    const std::size_t length = random() % 24;
    for (std::size_t j = 0; j < length; ++j) line += "ab AB\t\r\x01\x7f\xe9"[random() % 11];
    if (i % 5000 == 0) line += std::string(70000 + random() % 1000, 'L');
    lines.push_back(line);
  }
  return lines;
}

struct OntoInputCase {
  std::vector<std::string> arguments;
  std::string file;      // the input that the output replaces
  std::string expected;  // its content afterwards
};

TEST(SortFrontOutput, ReplacesAnInputOnlyWithTheWholeResult) {
  const std::vector<std::string> a = {"delta", "alpha", "charlie", "alpha"};
  const std::vector<std::string> b = {"bravo", "echo"};
  const std::vector<OntoInputCase> cases = {
      {{"-o", "a", "a"}, "a", sorted_text(a)},
      {{"-o", "a", "-S", "1K", "a", "b"},
       "a",
       sorted_text({"delta", "alpha", "charlie", "alpha", "bravo", "echo"})},
      {{"-u", "-o", "a", "a"}, "a", sorted_text(a, true)},
      {{"-o", "link", "a"}, "a", sorted_text(a)},
      {{"-m", "-o", "s", "s", "b"}, "s", sorted_text({"alpha", "charlie", "bravo", "echo"})},
      {{"-o", "b", "-", "b"}, "b", sorted_text({"x", "bravo", "echo"})},
  };
  for (const OntoInputCase& c : cases) {
    Sandbox box;
    box.write("a", joined(a));
    box.write("b", joined(b));
    box.write("s", sorted_text({"alpha", "charlie"}));
    box.write("in", "x\n");
    // Windows gives no symbolic links to every user: the case that needs
    // one is left out there.
    const bool uses_link =
        std::find(c.arguments.begin(), c.arguments.end(), "link") != c.arguments.end();
    if (ON_WINDOWS && uses_link) continue;
    if (!ON_WINDOWS) std::filesystem::create_symlink("a", box.path("link"));
    RunOptions options;
    options.arguments = c.arguments;
    options.stdin_name = "in";
    const RunResult result = box.run_with(options);
    const std::string shown = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.status, 0) << shown << result.err;
    EXPECT_EQ(result.err, "") << shown;
    EXPECT_EQ(box.read(c.file), c.expected) << shown;
    std::vector<std::string> files = {"a", "b", "in", "s"};
    if (!ON_WINDOWS) files.insert(files.begin() + 3, "link");
    EXPECT_EQ(box.files(), files) << shown;
  }
}

TEST(SortFrontRuns, OnDiskGiveTheBytesOfASortInMemory) {
  Sandbox box;
  // Smaller under Windows, whose test runs go through an emulator.
  const std::size_t count = ON_WINDOWS ? 6000 : 60000;
  const std::vector<std::string> lines = mixed_lines(count, 3);
  box.write("mixed", joined(lines));
  box.write("zeros", joined(lines, '\0'));
  // The last line without its newline, and one line of 3 MB.
  std::string ragged = joined(mixed_lines(count / 3, 4)) +
                       std::string(ON_WINDOWS ? 1 << 20 : 3 << 20, 'M') + "\nlast";
  box.write("ragged", ragged);
  box.make_directory("tmp");
  const std::vector<std::vector<std::string>> variants = {
      {"mixed"},        {"-u", "mixed"},     {"-r", "mixed"},          {"-z", "zeros"},
      {"-zu", "zeros"}, {"ragged", "mixed"}, {"-s", "-k1,1", "mixed"}, {"-m", "mixed", "mixed"},
  };
  for (const std::vector<std::string>& arguments : variants) {
    const RunResult whole = box.run(arguments);
    ASSERT_EQ(whole.status, 0) << whole.err;
    for (const std::string threads : {"1", "3"}) {
      RunOptions options;
      options.arguments = {"-S", "256K", "-T", "tmp"};
      options.arguments.insert(options.arguments.end(), arguments.begin(), arguments.end());
      options.environment = {"ZELTO_THREADS=" + threads};
      const RunResult small = box.run_with(options);
      const std::string shown = ::testing::PrintToString(arguments) + " threads " + threads;
      EXPECT_EQ(small.status, 0) << shown << small.err;
      EXPECT_TRUE(small.out == whole.out) << shown;
      EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << shown;
    }
  }
  // Standard output carries the bytes as they are, on every system.
  EXPECT_TRUE(box.run({"mixed"}).raw_out == sorted_text(lines));
}

struct FailureCase {
  std::string script;  // shell text run in the sandbox; $Z is zelto-sort
  int status;
  std::string err;                 // a line standard error must hold
  std::vector<std::string> files;  // every file left in the directory
};

TEST(SortFrontFailures, EndWithSortsStatusAndLeaveNoOutput) {
  SKIP_WITHOUT_POSIX("a shell, /dev/full and resource limits");
  const std::vector<FailureCase> cases = {
      {"$Z -o out in nosuch",
       2,
       "zelto-sort: cannot read: nosuch: No such file or directory",
       {"dir", "in", "unsorted"}},
      {"$Z -o out dir",
       2,
       "zelto-sort: read failed: dir: Is a directory",
       {"dir", "in", "unsorted"}},
      {"head -c 3000000 /dev/zero | tr '\\0' '\\n' | $Z -S 1K -T missing -o out",
       2,
       "zelto-sort: cannot create temporary file in 'missing': No such file or directory",
       {"dir", "in", "unsorted"}},
      {"$Z -c unsorted", 1, "zelto-sort: unsorted:2: disorder: a", {"dir", "in", "unsorted"}},
      {"$Z -C unsorted", 1, "", {"dir", "in", "unsorted"}},
      {"$Z -c < unsorted", 1, "zelto-sort: -:2: disorder: a", {"dir", "in", "unsorted"}},
      {"$Z in > /dev/full",
       2,
       "zelto-sort: fflush failed: 'standard output': No space left on device",
       {"dir", "in", "unsorted"}},
      {"$Z -o /dev/full in", 2, "zelto-sort: write error", {"dir", "in", "unsorted"}},
      {"ZELTO_MEMORY=lots $Z in",
       2,
       "zelto-sort: memory budget error: ZELTO_MEMORY=lots",
       {"dir", "in", "unsorted"}},
      {"$Z -R --random-source=in in",
       2,
       "zelto-sort: 'in': end of file",
       {"dir", "in", "unsorted"}},
      {"printf 'in\\0\\0' | $Z --files0-from=-",
       2,
       "zelto-sort: -:2: invalid zero-length file name",
       {"dir", "in", "unsorted"}},
      {"ulimit -f 1; $Z -o out unsorted unsorted unsorted unsorted",
       2,
       "zelto-sort: write error",
       {"dir", "in", "unsorted"}},
  };
  for (const FailureCase& c : cases) {
    Sandbox box;
    box.write("in", "b\na\n");
    std::string unsorted = "b\na\n";
    for (int i = 0; i < 200; ++i)
      unsorted += std::string(30, static_cast<char>('c' + i % 20)) + "\n";
    box.write("unsorted", unsorted);
    box.make_directory("dir");
    const RunResult result =
        box.run_script("Z=" + shell_quote(binary_path()) + "; " + c.script + " 2>err.txt");
    const std::string err = box.read("err.txt");
    std::filesystem::remove(box.path("err.txt"));
    EXPECT_EQ(result.status, c.status) << c.script << "\n" << err;
    if (c.err.empty()) {
      EXPECT_EQ(err, "") << c.script;
    } else {
      EXPECT_NE(err.find(c.err + "\n"), std::string::npos) << c.script << "\n" << err;
    }
    EXPECT_EQ(box.files(), c.files) << c.script;
  }
}

TEST(SortFrontSignals, AnEndingSignalLeavesNoTemporaryFileNorPartialOutput) {
  SKIP_WITHOUT_POSIX("signals");
  Sandbox box;
  const std::vector<std::string> lines = mixed_lines(150000, 5);
  box.write("in", joined(lines));
  box.make_directory("tmp");
  const std::string expected = sorted_text(lines);
  const std::string z = shell_quote(binary_path());
  // Interrupted while a pipe still feeds it, after runs went to disk.
  RunResult fed = box.run_script("(cat in; sleep 4) | " + z +
                                 " -S 256K -T tmp -o out & sleep 1; kill -TERM $!; wait $!");
  EXPECT_EQ(fed.status, 128 + SIGTERM);
  EXPECT_FALSE(box.exists("out"));
  EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp")));
  // Interrupted at moments through the whole run: the output is either
  // absent or complete, and no temporary file stays.
  for (const char* pause : {"0.05", "0.15", "0.3", "0.5", "0.8"}) {
    const RunResult run = box.run_script(z + " -S 1M -T tmp -o out in & sleep " + pause +
                                         "; kill -TERM $! 2>/dev/null; wait $!");
    if (box.exists("out")) {
      EXPECT_TRUE(box.read("out") == expected) << "a partial output after " << pause << " s";
      std::filesystem::remove(box.path("out"));
    } else {
      EXPECT_EQ(run.status, 128 + SIGTERM) << pause;
    }
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << pause;
  }
  // A file that was there is emptied, not removed: it keeps its name, and a
  // symbolic link named by -o stays and leads to it. Other signals that end
  // a process do the same as TERM. The signal comes as soon as the file is
  // opened for the output (cut to nothing), or a little later.
  std::filesystem::create_symlink("target", box.path("link"));
  for (const char* signal : {"TERM", "USR1", "ALRM"}) {
    for (const char* pause : {"0", "0.05"}) {
      box.write("target", "old\n");
      const RunResult run = box.run_script(
          z + " -S 1M -T tmp -o link in & p=$!; " +
          "while [ \"$(wc -c < target)\" -eq 4 ] && kill -0 $p 2>/dev/null; do :; done; sleep " +
          pause + "; kill -" + signal + " $p 2>/dev/null; wait $p");
      ASSERT_TRUE(std::filesystem::is_symlink(box.path("link"))) << signal << " " << pause;
      const std::string left = box.read("target");
      EXPECT_TRUE(left.empty() || left == expected)
          << signal << " " << pause << ": " << left.size() << " bytes, status " << run.status;
      EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << signal << " " << pause;
    }
  }
}

TEST(SortFrontMerge, MoreInputsThanFilesCanBeOpenGoThroughRunsOnDisk) {
  SKIP_WITHOUT_POSIX("a limit of open files");
  Sandbox box;
  std::vector<std::string> all;
  std::string names;
  for (int file = 0; file < 30; ++file) {
    std::vector<std::string> lines;
    for (int i = 0; i < 40; ++i) lines.push_back(std::to_string((i * 37 + file * 11) % 97 + 100));
    all.insert(all.end(), lines.begin(), lines.end());
    const std::string name = "in" + std::to_string(file);
    box.write(name, sorted_text(lines));
    names += " " + name;
  }
  box.make_directory("tmp");
  const std::string z = shell_quote(binary_path()) + " -T tmp -m";
  // A shell limit of open files, or --batch-size, makes the merge go by
  // groups; files left open by whoever started the command make the groups
  // smaller than the limit alone would.
  const std::vector<std::pair<std::string, std::string>> ways = {
      {"ulimit -n 12; ", ""},
      {"exec 5<in0 6<in0 7<in0 8<in0; ulimit -n 12; ", ""},
      {"exec 5<in0 6<in0 7<in0 8<in0; ulimit -n 40; ", ""},
      {"", " --batch-size=3"},
      {"", ""}};
  for (const auto& [limit, option] : ways) {
    // A sanitizer's runtime needs descriptors of its own to check memory:
    // under so low a limit it reports errors that are not there.
    if (SANITIZED_BUILD && !limit.empty()) continue;
    const std::string script = limit + z + option + names;
    RunResult result = box.run_script(script);
    EXPECT_EQ(result.status, 0) << script << result.err;
    EXPECT_TRUE(result.out == sorted_text(all)) << script;
    result = box.run_script(script + " -u");
    EXPECT_TRUE(result.out == sorted_text(all, true)) << script << " -u";
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << script;
  }
  // Two descriptors beside the standard ones (those a test runner passes on
  // are closed): the run's file takes one and the second input cannot be
  // opened.
  if (!SANITIZED_BUILD) {
    const RunResult result =
        box.run_script("exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; ulimit -n 5; " + z + names);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "zelto-sort: open failed: in1: Too many open files\n");
  }
}

// --compress-program: every run goes through the program and back through
// "PROG -d", in merges of --batch-size runs at most; a program that cannot
// be started, fails either way, or gives back other bytes than it packed
// fails the run, leaving no output.
TEST(SortFrontRuns, GoThroughTheCompressProgramBothWays) {
  SKIP_WITHOUT_POSIX("programs written as shell scripts");
  struct PackCase {
    std::string options;
    std::string program;  // its script; "" for none at all
    int status;
    std::string err;
    std::string limit = "";  // a shell limit set first
  };
  // Swaps the digits 4 and 1 both ways, and notes each time it is run.
  const std::string swapping = "tr 41 14 && echo \"x$1\" >> calls\n";
  const std::vector<PackCase> cases = {
      {"-S 1K", swapping, 0, ""},
      {"-S 1K --batch-size=2", swapping, 0, ""},
      {"-S 1K -u", swapping, 0, ""},
      // Each packed run holds a file open: they are merged before they
      // take every descriptor, those held open by the caller counted.
      {"-S 1K", swapping, 0, "", "ulimit -n 16; "},
      {"-S 1K", swapping, 0, "", "exec 5<in 6<in 7<in; ulimit -n 19; "},
      {"-S 1K", "", 2,
       "zelto-sort: couldn't execute compress program: No such file or directory\n"},
      {"-S 1K", "cat > /dev/null; exit 3\n", 2,
       "zelto-sort: './pack' [-d] terminated abnormally\n"},
      {"-S 1K", "[ \"$1\" = -d ] && exit 4; cat\n", 2,
       "zelto-sort: './pack' [-d] terminated abnormally\n"},
      // Status 0, but a line lost, or lines without end, on the way back.
      {"-S 1K", "if [ \"$1\" = -d ]; then sed '$d'; else cat; fi\n", 2,
       "zelto-sort: './pack' [-d] terminated abnormally\n"},
      {"-S 1K", "cat; [ \"$1\" = -d ] && yes; exit 0\n", 2,
       "zelto-sort: './pack' [-d] terminated abnormally\n"},
  };
  std::vector<std::string> lines;
  for (int i = 0; i < 60000; ++i) lines.push_back(std::to_string((i * 7919) % 60000 + 100000));
  for (const PackCase& c : cases) {
    SCOPED_TRACE(c.limit + c.options + " " + c.program);
    // A sanitizer's runtime needs descriptors of its own.
    if (SANITIZED_BUILD && !c.limit.empty()) continue;
    Sandbox box;
    box.write("in", joined(lines));
    box.make_directory("tmp");
    if (!c.program.empty()) box.write("pack", "#!/bin/sh\n" + c.program);
    // The descriptors a test runner passes on are closed first.
    const RunResult result =
        box.run_script("chmod +x pack 2>/dev/null; exec 3>&- 4>&- 5>&- 6>&- 7>&- 8>&- 9>&-; " +
                       c.limit + shell_quote(binary_path()) + " -T tmp " + c.options +
                       " --compress-program=./pack -o out in");
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.err, c.err);
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp")));
    if (c.status != 0) {
      EXPECT_FALSE(box.exists("out"));
      continue;
    }
    const bool unique = c.options.find("-u") != std::string::npos;
    EXPECT_TRUE(box.read("out") == sorted_text(lines, unique));
    // As many unpackings as packings, and with --batch-size=2 more runs
    // packed than the input made: the merges of two.
    const std::string calls = "\n" + box.read("calls");
    std::size_t packed = 0;
    std::size_t unpacked = 0;
    for (std::size_t at = 0; (at = calls.find("\nx", at)) != std::string::npos; ++at) {
      ++(calls.compare(at, 5, "\nx-d\n") == 0 ? unpacked : packed);
    }
    EXPECT_EQ(packed, unpacked) << calls;
    EXPECT_GE(packed, c.options.find("batch") != std::string::npos ? 10U : 5U) << calls;
  }
}

TEST(SortFrontInput, ReadsANamedPipeOnce) {
  SKIP_WITHOUT_POSIX("named pipes");
  Sandbox box;
  const RunResult result = box.run_script("mkfifo pipe && { printf 'b\\na\\n' > pipe & } && " +
                                          shell_quote(binary_path()) + " pipe");
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(result.out, "a\nb\n");
}

#if defined(ZELTO_FAULT_ALLOCATIONS) && defined(ZELTO_FAULT_CALLS)
TEST(SortFrontFaults, AMappedInputCutShortOrWrittenOverFailsTheRunAndLeavesNoOutput) {
  struct CutCase {
    std::vector<std::string> arguments;
    const char* fault;
    const char* reason;
  };
  const char* const cut = "Input/output error";
  const char* const changed = "file changed as it was read";
  const std::vector<CutCase> cases = {
      // Cut to nothing just as the output is opened, after the lines were
      // sorted from the mapping.
      {{"-o", "out", "in"}, "shrink:", cut},
      // Cut once the first run is on disk: the rest of the file, read a
      // window at a time, is gone (and the file is seen to have changed
      // before a page of it faults).
      {{"-S", "256K", "-T", "tmp", "-o", "out", "in"}, "shrink-after-write:", changed},
      // Written over in place, its size kept, between sorting and writing.
      {{"-o", "out", "in"}, "rewrite:", changed},
  };
  for (const CutCase& c : cases) {
    Sandbox box;
    box.write("in", joined(mixed_lines(20000, 6)));
    box.make_directory("tmp");
    RunOptions options;
    options.arguments = c.arguments;
    options.environment = with_fault(c.fault + box.path("in").string());
    const RunResult result = box.run_with(options);
    EXPECT_EQ(result.status, 2) << c.fault;
    EXPECT_EQ(result.err, std::string("zelto-sort: read failed: in: ") + c.reason + "\n")
        << c.fault;
    EXPECT_FALSE(box.exists("out")) << c.fault;
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << c.fault;
  }
}

// Runs on disk merged on one thread (a small budget), and in parts of keys
// on two (the held parts and each thread's cursors are allocated on the
// merging threads).
struct RunsOnDiskCase {
  const char* name;
  std::size_t lines;
  std::vector<std::string> arguments;
  std::vector<const char*> sizes;  // the smallest memory requests that fail
};

const std::vector<RunsOnDiskCase>& runs_on_disk_cases() {
  static const std::vector<RunsOnDiskCase> cases = {
      {"one merge", 20000, {"-S", "300K"}, {"64", "100000"}},
      {"merge in parts", 100000, {"--parallel=2", "-S", "4M"}, {"64", "1000000"}},
  };
  return cases;
}

TEST(SortFrontFaults, EveryFailedAllocationIsAMessageAndStatusTwo) {
  if (SANITIZED_BUILD) GTEST_SKIP() << "the allocation faults replace the sanitizer's allocator";
  for (const RunsOnDiskCase& c : runs_on_disk_cases()) {
    Sandbox box;
    const std::vector<std::string> lines = mixed_lines(c.lines, 7);
    box.write("in", joined(lines));
    box.make_directory("tmp");
    for (int request = 1; request <= 60; request += 3) {
      for (const char* size : c.sizes) {
        RunOptions options;
        options.arguments = c.arguments;
        options.arguments.insert(options.arguments.end(), {"-T", "tmp", "-o", "out", "in"});
        options.environment = with_fault("alloc:" + std::to_string(request) + ":" + size);
        const RunResult result = box.run_with(options);
        const std::string shown = std::string(c.name) + " " + std::to_string(request) + ":" + size;
        if (result.status == 0) {
          EXPECT_TRUE(box.read("out") == sorted_text(lines)) << shown;
          std::filesystem::remove(box.path("out"));
        } else {
          EXPECT_EQ(result.status, 2) << shown;
          EXPECT_EQ(result.err, "zelto-sort: memory exhausted\n") << shown;
          EXPECT_FALSE(box.exists("out")) << shown;
        }
        EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << shown;
      }
    }
  }
}

TEST(SortFrontFaults, RunsThatCannotBeReadBackFailTheRunAndLeaveNoOutput) {
  for (const RunsOnDiskCase& c : runs_on_disk_cases()) {
    Sandbox box;
    box.write("in", joined(mixed_lines(c.lines, 8)));
    box.make_directory("tmp");
    RunOptions options;
    options.arguments = c.arguments;
    options.arguments.insert(options.arguments.end(), {"-T", "tmp", "-o", "out", "in"});
    options.environment = with_fault("pread");
    const RunResult result = box.run_with(options);
    EXPECT_EQ(result.status, 2) << c.name;
    EXPECT_EQ(result.err, "zelto-sort: read failed: tmp: Input/output error\n") << c.name;
    EXPECT_FALSE(box.exists("out")) << c.name;
    EXPECT_TRUE(std::filesystem::is_empty(box.path("tmp"))) << c.name;
  }
}
#endif

}  // namespace
}  // namespace zelto::testing
