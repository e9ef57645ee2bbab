// The two arranging passes in process, on record files in a temporary
// directory: the bytes they write, the unique filter, and every failure
// message with its status.
#include "arrange.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifndef _WIN32
#include <fcntl.h>
#include <stdio_ext.h>
#include <unistd.h>
#endif

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "records.h"
#include "run_binary.h"

namespace zelto {
namespace {

using testing::Bytes;
using testing::join;
using testing::with_double;
using testing::with_key_bytes;
using testing::with_word;
namespace fs = std::filesystem;

constexpr int SIZE = 128;

// A record of `size` bytes: zero key area, `number` and `text` (in the
// numbered or unnumbered text field), NUL-terminated when room is left.
Bytes record(std::int32_t number, std::string_view text, int size = SIZE, bool numbered = true) {
  return testing::make_record(number, text, {size, numbered});
}

// Makes `dir` the working directory for the lifetime of the object.
class WorkingDirectory {
 public:
  explicit WorkingDirectory(const fs::path& dir) : previous_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~WorkingDirectory() { fs::current_path(previous_); }
  WorkingDirectory(const WorkingDirectory&) = delete;
  WorkingDirectory& operator=(const WorkingDirectory&) = delete;

 private:
  fs::path previous_;
};

struct PassRun {
  ArrangeResult result;
  std::string out;
  std::string err;
};

class Arrange : public ::testing::Test {
 protected:
  [[nodiscard]] std::string path(const std::string& name) const { return box_.path(name).string(); }
  [[nodiscard]] std::string read(const std::string& name) const { return box_.read(name); }
  [[nodiscard]] bool exists(const std::string& name) const { return box_.exists(name); }

  void write_records(const Bytes& bytes, const std::string& name = "binary.tmp") const {
    box_.write(name, bytes);
  }

  // Integer keys, 128-byte numbered records, LF, ascending, into out.txt.
  [[nodiscard]] ArrangeArguments arguments(std::int32_t count) const {
    return ArrangeArguments{path("binary.tmp"), path("out.txt"), count, 1, SIZE, 1, 0, 1, 0};
  }

  static PassRun run(bool unique, const ArrangeArguments& args) {
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const ArrangeResult result =
        unique ? arranging_unique_lines_to_produce_text(args) : arranging_to_produce_text(args);
    std::string out = ::testing::internal::GetCapturedStdout();
    std::string err = ::testing::internal::GetCapturedStderr();
    return {result, out, err};
  }

  testing::Sandbox box_;
  const fs::path& dir_ = box_.dir();
};

void expect_success(const PassRun& run) {
  EXPECT_EQ(run.result.status, 0);
  EXPECT_TRUE(run.result.lines_delivered);
  EXPECT_EQ(run.err, "");
}

void expect_failure_before_output(const PassRun& run, const std::string& message) {
  EXPECT_EQ(run.result.status, ERROR_CODE);
  EXPECT_FALSE(run.result.lines_delivered);
  EXPECT_EQ(run.err, message);
  EXPECT_EQ(run.out, "");
}

// ---- line output

struct LineCase {
  std::string name;
  Bytes record;
  int numbered;
  std::string file_lf;    // the output file without crlf
  std::string file_crlf;  // the output file with crlf
  std::string display;    // standard output when no output path is given
};

TEST_F(Arrange, LineBytesInFileAndOnDisplay) {
  const std::vector<LineCase> cases = {
      {"text and newline", record(1, "abc\n"), 1, "abc\n", "abc\r\n", "abc\n"},
      {"cut at the first newline", record(1, "ab\ncd\n"), 1, "ab\n", "ab\r\n", "ab\ncd\n"},
      {"no newline", record(1, "xyz"), 1, "xyz\n", "xyz\r\n", "xyz"},
      {"CR before LF is kept", record(1, "t\r\n"), 1, "t\r\n", "t\r\r\n", "t\r\n"},
      {"empty text", record(1, ""), 1, "\n", "\r\n", ""},
      {"newline first", record(1, "\nrest"), 1, "\n", "\r\n", "\nrest"},
      {"bytes 80 to 90 are not text when numbered",
       [] {
         Bytes r = record(0x41414141, "x\n");
         std::memset(r.data() + RECORD_NUMBER_OFFSET + 4, 'y', 7);
         return r;
       }(),
       1, "x\n", "x\r\n", "x\n"},
      // Unnumbered, the text starts at offset 80: its first four bytes are
      // the record number.
      {"unnumbered text at offset 80", record(0, "line\n", SIZE, false), 0, "line\n", "line\r\n",
       "line\n"},
      {"bytes after the NUL are not text", record(1, std::string_view("ok\0junk\n", 8)), 1, "ok\n",
       "ok\r\n", "ok"},
  };
  for (const LineCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_records(c.record);
    ArrangeArguments args = arguments(1);
    args.numbered = c.numbered;
    for (const int crlf : {0, 1}) {
      args.crlf = crlf;
      expect_success(run(false, args));
      EXPECT_EQ(read("out.txt"), crlf == 1 ? c.file_crlf : c.file_lf) << "crlf " << crlf;
    }
    args.output_path = "";
    const PassRun shown = run(false, args);
    expect_success(shown);
    EXPECT_EQ(shown.out, c.display);
  }
}

TEST_F(Arrange, TextWithoutNulEndsAtTheRecordsEnd) {
  // Five text bytes fill the 96-byte record up to its end; the next record's
  // bytes must not follow them.
  const Bytes first = with_word(record(1, "hello", 96), 0, 1);
  const Bytes second = with_word(record(2, "x\n", 96), 0, 2);
  write_records(join({second, first}));
  ArrangeArguments args = arguments(2);
  args.record_size = 96;
  expect_success(run(false, args));
  EXPECT_EQ(read("out.txt"), "hello\nx\n");
  args.output_path = "";
  const PassRun shown = run(false, args);
  expect_success(shown);
  EXPECT_EQ(shown.out, "hellox\n");

  // Unnumbered 91-byte records: the eleven bytes from offset 80 are the text.
  const Bytes a = with_word(record(0, "abcdefghijk", MINIMUM_RECORD_SIZE, false), 0, 1);
  const Bytes b = with_word(record(0, "lmnopqrstuv", MINIMUM_RECORD_SIZE, false), 0, 2);
  write_records(join({b, a}));
  args = arguments(2);
  args.record_size = MINIMUM_RECORD_SIZE;
  args.numbered = 0;
  expect_success(run(true, args));
  EXPECT_EQ(read("out.txt"), "abcdefghijk\nlmnopqrstuv\n");
}

TEST_F(Arrange, LinesFollowTheSortedOrder) {
  write_records(join({with_word(record(1, "three\n"), 0, 3), with_word(record(2, "one\n"), 0, -1),
                      with_word(record(3, "two\n"), 0, 2)}));
  ArrangeArguments args = arguments(3);
  expect_success(run(false, args));
  EXPECT_EQ(read("out.txt"), "one\ntwo\nthree\n");
  args.descending = 1;
  expect_success(run(false, args));
  EXPECT_EQ(read("out.txt"), "three\ntwo\none\n");
}

TEST_F(Arrange, PhraseKeysFoldOnlyForKeyTypeZero) {
  write_records(join({with_key_bytes(record(1, "b\n"), "b"), with_key_bytes(record(2, "B\n"), "B"),
                      with_key_bytes(record(3, "a\n"), "a")}));
  struct OrderCase {
    std::int32_t key_type;
    int case_sensitive;
    const char* lines;
  };
  for (const OrderCase& c : {OrderCase{0, 1, "B\na\nb\n"}, OrderCase{0, 0, "a\nB\nb\n"},
                             OrderCase{5, 0, "B\na\nb\n"}, OrderCase{-1, 0, "B\na\nb\n"}}) {
    SCOPED_TRACE("key type " + std::to_string(c.key_type) + ", case sensitive " +
                 std::to_string(c.case_sensitive));
    ArrangeArguments args = arguments(3);
    args.key_type = c.key_type;
    args.case_sensitive = c.case_sensitive;
    expect_success(run(false, args));
    EXPECT_EQ(read("out.txt"), c.lines);
  }
}

TEST_F(Arrange, NoRecordsGiveAnEmptyFileOrNothingShown) {
  write_records({});
  for (const bool unique : {false, true}) {
    ArrangeArguments args = arguments(0);
    args.record_size = 0;
    expect_success(run(unique, args));
    EXPECT_TRUE(exists("out.txt"));
    EXPECT_EQ(read("out.txt"), "");
    fs::remove(dir_ / "out.txt");
    args.output_path = "";
    const PassRun shown = run(unique, args);
    expect_success(shown);
    EXPECT_EQ(shown.out, "");
  }
}

TEST_F(Arrange, OutputMayReplaceTheRecordFile) {
  write_records(join({with_word(record(1, "b\n"), 0, 2), with_word(record(2, "a\n"), 0, 1)}));
  ArrangeArguments args = arguments(2);
  args.output_path = args.input_path;
  expect_success(run(false, args));
  EXPECT_EQ(read("binary.tmp"), "a\nb\n");
}

// ---- the unique pass

struct UniqueCase {
  std::string name;
  std::vector<Bytes> records;
  std::int32_t key_type;
  int descending;
  std::string lines;
};

TEST_F(Arrange, UniquePassKeepsOneLinePerPatternRun) {
  const auto phrase_ab = [&](std::int32_t number, std::string_view text, bool mark_after_nul) {
    Bytes r = with_key_bytes(record(number, text), "ab");
    if (mark_after_nul) r[10] = 'Z';
    return r;
  };
  // Bit 0 set and bit 257 set; bit 0 set, bits 2 to 127 set: the clear runs
  // of 256 and 512 bits leave no code byte, so both code to 02 01 7E.
  Bytes wrap_a = with_word(with_word(record(1, "wrap a\n"), 0, INT32_MIN), 8, 0x40000000);
  Bytes wrap_b = record(2, "wrap b\n");
  wrap_b = with_word(wrap_b, 0, static_cast<std::int32_t>(0xBFFFFFFFU));
  for (int w = 1; w <= 3; ++w) wrap_b = with_word(wrap_b, w, -1);
  const Bytes zero = record(3, "zero\n");
  // Between the two in integer order, with a code of its own.
  const Bytes between = with_word(record(4, "between\n"), 0, -1500000000);
  Bytes fives = record(1, "fives a\n");
  std::memset(fives.data(), 0x55, KEY_AREA_SIZE);
  Bytes fives_b = fives;
  std::memcpy(fives_b.data() + NUMBERED_TEXT_OFFSET, "fives b\n", 8);
  std::memcpy(fives_b.data() + RECORD_NUMBER_OFFSET, "\x02\0\0\0", 4);
  Bytes a_s = record(3, "aa\n");
  std::memset(a_s.data(), 0xAA, KEY_AREA_SIZE);

  const std::vector<UniqueCase> cases = {
      {"bytes after the phrase's NUL keep 1, 2, 3",
       {phrase_ab(3, "three\n", false), phrase_ab(1, "one\n", false), phrase_ab(2, "two\n", true)},
       0,
       0,
       "one\ntwo\nthree\n"},
      {"equal key areas collapse to the first",
       {phrase_ab(3, "three\n", false), phrase_ab(1, "one\n", false), phrase_ab(2, "two\n", false)},
       0,
       0,
       "one\n"},
      {"0.0 and -0.0 are both kept",
       {with_double(record(2, "neg\n"), 0, -0.0), with_double(record(1, "pos\n"), 0, 0.0)},
       2,
       0,
       "pos\nneg\n"},
      {"equal integer keys 5, 2, 9 keep 2 ascending",
       {record(5, "five\n"), record(2, "two\n"), record(9, "nine\n")},
       1,
       0,
       "two\n"},
      {"equal integer keys 5, 2, 9 keep 9 descending",
       {record(5, "five\n"), record(2, "two\n"), record(9, "nine\n")},
       1,
       1,
       "nine\n"},
      {"same wrapped code as neighbours: first kept ascending",
       {zero, wrap_b, wrap_a},
       1,
       0,
       "wrap a\nzero\n"},
      {"same wrapped code as neighbours: first kept descending",
       {wrap_a, zero, wrap_b},
       1,
       1,
       "zero\nwrap b\n"},
      {"same wrapped code, not neighbours: both kept",
       {wrap_b, between, wrap_a, zero},
       1,
       0,
       "wrap a\nbetween\nwrap b\nzero\n"},
      {"the longest code, 641 bytes, compares whole", {fives_b, a_s, fives}, 1, 0, "aa\nfives a\n"},
  };
  for (const UniqueCase& c : cases) {
    SCOPED_TRACE(c.name);
    write_records(join(c.records));
    ArrangeArguments args = arguments(static_cast<std::int32_t>(c.records.size()));
    args.key_type = c.key_type;
    args.descending = c.descending;
    expect_success(run(true, args));
    EXPECT_EQ(read("out.txt"), c.lines);
    args.output_path = "";
    const PassRun shown = run(true, args);
    expect_success(shown);
    EXPECT_EQ(shown.out, c.lines);
  }
}

// ---- failures

struct SizeCase {
  std::int32_t count;
  std::int32_t size;
  std::string message;
};

TEST_F(Arrange, RefusesBadSizesBeforeOpeningAnything) {
  const std::vector<SizeCase> cases = {
      {-1, SIZE, "record count error: -1\n"},
      {INT32_MIN, SIZE, "record count error: -2147483648\n"},
      {-1, 0, "record count error: -1\n"},
      {2, 90, "record size error: 90 bytes\n"},
      {1, 0, "record size error: 0 bytes\n"},
      {1, -5, "record size error: -5 bytes\n"},
      {INT32_MAX, INT32_MIN, "record size error: -2147483648 bytes\n"},
  };
  for (const bool unique : {false, true}) {
    for (const SizeCase& c : cases) {
      SCOPED_TRACE("count " + std::to_string(c.count) + ", size " + std::to_string(c.size) +
                   (unique ? ", unique" : ""));
      ArrangeArguments args = arguments(c.count);
      args.record_size = c.size;
      args.input_path = path("missing.tmp");  // never opened
      expect_failure_before_output(run(unique, args), c.message);
      EXPECT_FALSE(exists("out.txt"));
    }
  }
}

TEST_F(Arrange, AcceptsTheSmallestSizes) {
  write_records(join({with_word(record(0, "b\n", MINIMUM_RECORD_SIZE, false), 0, 2),
                      with_word(record(0, "a\n", MINIMUM_RECORD_SIZE, false), 0, 1)}));
  ArrangeArguments args = arguments(2);
  args.record_size = MINIMUM_RECORD_SIZE;
  args.numbered = 0;
  expect_success(run(false, args));
  EXPECT_EQ(read("out.txt"), "a\nb\n");
  // Numbered 91-byte records have no room for text: every line is empty.
  args.numbered = 1;
  expect_success(run(false, args));
  EXPECT_EQ(read("out.txt"), "\n\n");
  // With no records the size does not matter.
  args = arguments(0);
  args.record_size = -1;
  expect_success(run(false, args));
  EXPECT_EQ(read("out.txt"), "");
}

TEST_F(Arrange, ReportsAnInputThatCannotBeOpened) {
  for (const bool unique : {false, true}) {
    SCOPED_TRACE(unique ? "unique" : "plain");
    const std::string site = unique ? "fopen() error-3: " : "fopen() error-2: ";
    ArrangeArguments args = arguments(1);
    args.input_path = path("missing.tmp");
    expect_failure_before_output(run(unique, args), site + path("missing.tmp") + "\n");
    args.input_path = "";
    expect_failure_before_output(run(unique, args), site + "\n");
    // Opening comes before allocating: sizes that cannot be allocated are
    // not reached.
    args = arguments(INT32_MAX);
    args.record_size = INT32_MAX;
    args.input_path = path("missing.tmp");
    expect_failure_before_output(run(unique, args), site + path("missing.tmp") + "\n");
    EXPECT_FALSE(exists("out.txt"));
  }
}

TEST_F(Arrange, ReportsAShortRecordFile) {
  for (const bool unique : {false, true}) {
    SCOPED_TRACE(unique ? "unique" : "plain");
    const std::string message =
        std::string(unique ? "fread() error-3: " : "fread() error-2: ") + path("binary.tmp") + "\n";
    Bytes file = join({record(1, "a\n"), record(2, "b\n")});
    file.resize(file.size() + 10);
    write_records(file);
    expect_failure_before_output(run(unique, arguments(3)), message);
    write_records({});
    expect_failure_before_output(run(unique, arguments(1)), message);
    EXPECT_FALSE(exists("out.txt"));
  }
}

TEST_F(Arrange, ReportsARecordBufferThatCannotBeAllocated) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers abort on an allocation of this size";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the sanitizers abort on an allocation of this size";
#endif
#endif
  write_records(record(1, "a\n"));
  ArrangeArguments args = arguments(INT32_MAX);
  args.record_size = INT32_MAX;
  // The total is reported in 64 bits: (2^31 - 1)^2.
  expect_failure_before_output(run(false, args), "malloc() error-1: 4611686014132420609 bytes\n");
  expect_failure_before_output(run(true, args), "malloc() error-2: 4611686014132420609 bytes\n");
  EXPECT_FALSE(exists("out.txt"));
}

TEST_F(Arrange, FallsBackToZeltoTxtWhenTheOutputCannotBeOpened) {
  const WorkingDirectory here(dir_);
  write_records(join({with_word(record(1, "b\n"), 0, 2), with_word(record(2, "a\n"), 0, 1)}));
  for (const bool unique : {false, true}) {
    SCOPED_TRACE(unique ? "unique" : "plain");
    ArrangeArguments args = arguments(2);
    args.output_path = path("no-such-dir/out.txt");
    args.crlf = 1;
    const PassRun r = run(unique, args);
    EXPECT_EQ(r.result.status, ERROR_CODE);
    EXPECT_TRUE(r.result.lines_delivered);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read("error.txt"), "fopen() error-1: " + args.output_path);
    EXPECT_EQ(read("zelto.txt"), "a\r\nb\r\n");
    fs::remove(dir_ / "error.txt");
    fs::remove(dir_ / "zelto.txt");
  }
}

TEST_F(Arrange, FallbackThatCannotBeOpenedFails) {
  const WorkingDirectory here(dir_);
  write_records(record(1, "a\n"));
  fs::create_directory(dir_ / "zelto.txt");
  ArrangeArguments args = arguments(1);
  args.output_path = path("no-such-dir/out.txt");
  const PassRun r = run(false, args);
  EXPECT_EQ(r.result.status, ERROR_CODE);
  EXPECT_FALSE(r.result.lines_delivered);
  EXPECT_EQ(r.err, "fopen() error-4: zelto.txt\n");
  EXPECT_EQ(read("error.txt"), "fopen() error-1: " + args.output_path);
}

TEST_F(Arrange, ErrorLogThatCannotBeOpenedIsSkipped) {
  const WorkingDirectory here(dir_);
  write_records(record(1, "a\n"));
  fs::create_directory(dir_ / "error.txt");
  ArrangeArguments args = arguments(1);
  args.output_path = path("no-such-dir/out.txt");
  const PassRun r = run(false, args);
  EXPECT_EQ(r.result.status, ERROR_CODE);
  EXPECT_TRUE(r.result.lines_delivered);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(read("zelto.txt"), "a\n");
}

TEST_F(Arrange, ReportsAFailedWrite) {
  SKIP_WITHOUT_POSIX("/dev/full");
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  write_records(record(1, "a\n"));
  for (const bool unique : {false, true}) {
    ArrangeArguments args = arguments(1);
    args.output_path = "/dev/full";
    expect_failure_before_output(run(unique, args), "fwrite() error-1: /dev/full\n");
  }
}

TEST_F(Arrange, ReportsAFailedDisplay) {
  SKIP_WITHOUT_POSIX("/dev/full as standard output");
#ifndef _WIN32
  if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
  write_records(record(1, "a\n"));
  ArrangeArguments args = arguments(1);
  args.output_path = "";
  std::fflush(stdout);
  const int saved = dup(STDOUT_FILENO);
  const int full = open("/dev/full", O_WRONLY);
  ASSERT_GE(full, 0);
  dup2(full, STDOUT_FILENO);
  close(full);
  ::testing::internal::CaptureStderr();
  const ArrangeResult result = arranging_to_produce_text(args);
  const std::string err = ::testing::internal::GetCapturedStderr();
  // Drop what could not be written and give standard output back.
  __fpurge(stdout);
  clearerr(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  EXPECT_EQ(result.status, ERROR_CODE);
  EXPECT_FALSE(result.lines_delivered);
  EXPECT_EQ(err, "fwrite() error-1: stdout\n");
#endif
}

// ---- comparator selection

TEST(SelectPolicy, FollowsTheSelectionTable) {
  struct PolicyCase {
    std::int32_t key_type;
    int case_sensitive;
    int descending;
    KeyKind kind;
    Comparator compare;
  };
  const std::vector<PolicyCase> cases = {
      {1, 1, 0, KeyKind::Integers, compare_integers},
      {1, 0, 0, KeyKind::Integers, compare_integers},
      {1, 1, 1, KeyKind::Integers, compare_integers_descending},
      {1, 0, 1, KeyKind::Integers, compare_integers_descending},
      {2, 1, 0, KeyKind::Doubles, compare_doubles},
      {2, 0, 0, KeyKind::Doubles, compare_doubles},
      {2, 1, 1, KeyKind::Doubles, compare_doubles_descending},
      {2, 0, 1, KeyKind::Doubles, compare_doubles_descending},
      {0, 1, 0, KeyKind::Phrase, compare_phrases},
      {0, 1, 1, KeyKind::Phrase, compare_phrases_descending},
      {0, 0, 0, KeyKind::FoldedPhrase, case_insensitive_comparison},
      {0, 0, 1, KeyKind::FoldedPhrase, case_insensitive_comparison_descending},
      {5, 0, 0, KeyKind::Phrase, compare_phrases},
      {5, 0, 1, KeyKind::Phrase, compare_phrases_descending},
      {3, 1, 0, KeyKind::Phrase, compare_phrases},
      {-1, 0, 0, KeyKind::Phrase, compare_phrases},
      {INT32_MIN, 0, 1, KeyKind::Phrase, compare_phrases_descending},
      {INT32_MAX, 1, 0, KeyKind::Phrase, compare_phrases},
  };
  for (const PolicyCase& c : cases) {
    SCOPED_TRACE("key type " + std::to_string(c.key_type) + ", case sensitive " +
                 std::to_string(c.case_sensitive) + ", descending " + std::to_string(c.descending));
    const SortPolicy p = select_policy(c.key_type, c.case_sensitive, c.descending);
    EXPECT_EQ(static_cast<int>(p.kind), static_cast<int>(c.kind));
    EXPECT_EQ(p.descending, c.descending == 1);
    EXPECT_EQ(p.compare, c.compare);
  }
}

}  // namespace
}  // namespace zelto
