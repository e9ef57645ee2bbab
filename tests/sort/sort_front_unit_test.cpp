// Unit tests of zelto-sort's front end: the command line as sort reads it,
// -S values, the quoting of names in messages, the splitting of input into
// lines, the streams of a merge, and the engine against a stable sort.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "line_engine.h"
#include "line_input.h"
#include "line_merge.h"
#include "sort_messages.h"
#include "sort_options.h"
#include "sort_runs.h"

namespace zelto::sorter {
namespace {

struct ParseCase {
  std::vector<std::string> arguments;
  bool runs;
  int status;
  std::string err;  // what standard error must hold (all of it when not runs)
};

TEST(SortCommandLine, RefusesWhatSortRefuses) {
  const std::string hint = "Try 'zelto-sort --help' for more information.\n";
  const std::vector<ParseCase> cases = {
      {{"-o", "a", "-o", "b"}, false, 2, "zelto-sort: multiple output files specified\n"},
      {{"-o", "a", "-o", "a"}, true, 0, ""},
      {{"-c", "-C"}, false, 2, "zelto-sort: options '-cC' are incompatible\n"},
      {{"--check=quiet", "-c"}, false, 2, "zelto-sort: options '-cC' are incompatible\n"},
      {{"-x"}, false, 2, "zelto-sort: invalid option -- 'x'\n" + hint},
      {{"-k"}, false, 2, "zelto-sort: option requires an argument -- 'k'\n" + hint},
      {{"--foo=bar"}, false, 2, "zelto-sort: unrecognized option '--foo=bar'\n" + hint},
      {{"--c"},
       false,
       2,
       "zelto-sort: option '--c' is ambiguous; possibilities: '--check' '--compress-program'\n" +
           hint},
      {{"--reverse=x"},
       false,
       2,
       "zelto-sort: option '--reverse' doesn't allow an argument\n" + hint},
      {{"--output"}, false, 2, "zelto-sort: option '--output' requires an argument\n" + hint},
      {{"-t", "ab"}, false, 2, "zelto-sort: multi-character tab 'ab'\n"},
      {{"-t", ""}, false, 2, "zelto-sort: empty tab\n"},
      {{"-t:", "-t,"}, false, 2, "zelto-sort: incompatible tabs\n"},
      {{"--parallel=0"}, false, 2, "zelto-sort: number in parallel must be nonzero\n"},
      {{"--parallel=x"}, false, 2, "zelto-sort: invalid --parallel argument 'x'\n"},
      {{"--parallel=2k"}, false, 2, "zelto-sort: invalid suffix in --parallel argument '2k'\n"},
      {{"--batch-size=+0"},
       false,
       2,
       "zelto-sort: invalid --batch-size argument '+0'\n"
       "zelto-sort: minimum --batch-size argument is '2'\n"},
      {{"--batch-size=1"},
       false,
       2,
       "zelto-sort: invalid --batch-size argument '1'\n"
       "zelto-sort: minimum --batch-size argument is '2'\n"},
      {{"--check=foo"},
       false,
       1,
       "zelto-sort: invalid argument 'foo' for '--check'\nValid arguments are:\n"
       "  - 'quiet', 'silent'\n  - 'diagnose-first'\n" +
           hint},
      {{"--check="},
       false,
       1,
       "zelto-sort: ambiguous argument '' for '--check'\nValid arguments are:\n"
       "  - 'quiet', 'silent'\n  - 'diagnose-first'\n" +
           hint},
      {{"-S", "1Y"}, false, 2, "zelto-sort: -S argument '1Y' too large\n"},
      {{"f", "-y"}, false, 2, "zelto-sort: option requires an argument -- 'y'\n" + hint},
      {{"--help", "-x"}, false, 0, ""},
      {{"-x", "--help"}, false, 2, "zelto-sort: invalid option -- 'x'\n" + hint},
  };
  for (const ParseCase& c : cases) {
    SortCommand command;
    const ParseOutcome outcome = parse_command_line(c.arguments, command);
    const std::string shown = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(outcome.run, c.runs) << shown;
    if (!c.runs) {
      EXPECT_EQ(outcome.status, c.status) << shown;
    }
    EXPECT_EQ(outcome.err, c.err) << shown;
  }
}

struct OperandCase {
  std::vector<std::string> arguments;
  std::vector<std::string> files;
  std::size_t keys;
  CommandLineRules rules = {};
};

constexpr CommandLineRules POSIXLY_CORRECT{true, true};
constexpr CommandLineRules RULES_OF_2001{false, false};
constexpr CommandLineRules POSIXLY_CORRECT_2001{true, false};

TEST(SortCommandLine, TellsOperandsFromOptionsAndKeys) {
  const std::vector<OperandCase> cases = {
      {{"f", "-r", "g"}, {"f", "g"}, 0},
      {{"--", "f", "-r", "--"}, {"f", "-r", "--"}, 0},
      {{"-", "f"}, {"-", "f"}, 0},
      {{"+1", "-2", "f"}, {"f"}, 1},
      {{"f", "+1n"}, {"f"}, 1},
      {{"+1x", "f"}, {"+1x", "f"}, 0},
      {{"+", "f"}, {"+", "f"}, 0},
      {{"--", "+1"}, {"+1"}, 0},
      {{"-y", "f"}, {"f"}, 0},
      {{"-y", "10", "f"}, {"f"}, 0},
      {{"-k2", "-k", "3", "--key=4", "--key", "5", "f"}, {"f"}, 4},
      {{"-nrk2,2", "f"}, {"f"}, 1},
      {{"-r", "f", "-r", "-", "+1"}, {"f", "-r", "-", "+1"}, 0, POSIXLY_CORRECT},
      {{"f", "-o", "out", "-o"}, {"f", "-o"}, 0, POSIXLY_CORRECT},
      {{"-c", "f", "-o", "out"}, {"f", "-o", "out"}, 0, POSIXLY_CORRECT},
      {{"f", "-o", "out"}, {"f", "-o", "out"}, 0, POSIXLY_CORRECT_2001},
      {{"+1", "f", "+2"}, {"+1", "f", "+2"}, 0, RULES_OF_2001},
      {{"+0", "+1", "-2", "f", "+3"}, {"+0", "f"}, 2, RULES_OF_2001},
      {{"+1", "-2", "f"}, {"+1", "-2", "f"}, 0, POSIXLY_CORRECT_2001},
  };
  for (const OperandCase& c : cases) {
    SortCommand command;
    const ParseOutcome outcome = parse_command_line(c.arguments, command, c.rules);
    const std::string shown = ::testing::PrintToString(c.arguments);
    ASSERT_TRUE(outcome.run) << shown << outcome.err;
    EXPECT_EQ(command.files, c.files) << shown;
    EXPECT_EQ(command.settings.keys.size(), c.keys) << shown;
  }
}

TEST(SortCommandLine, ReadsValuesInEveryForm) {
  SortCommand command;
  const ParseOutcome outcome =
      parse_command_line({"-o", "out", "-S10M", "-T", "a", "--temporary-directory=b", "--para",
                          " +3", "-t\\0", "--check=silent", "--batch-size=\t7", "--random-sou=src",
                          "--compress-program", "gzip", "-muszs", "--files0-from=list", "--debug"},
                         command);
  ASSERT_TRUE(outcome.run) << outcome.err;
  EXPECT_EQ(command.output, "out");
  ASSERT_TRUE(command.buffer_size.has_value());
  EXPECT_EQ(command.buffer_size->bytes, 10U << 20);
  EXPECT_EQ(command.temporary_directories, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(command.parallel, 3U);
  EXPECT_EQ(command.settings.separator, 0);
  EXPECT_EQ(command.check, CheckMode::Quiet);
  EXPECT_EQ(command.batch_size, 7U);
  EXPECT_EQ(command.random_source, "src");
  EXPECT_EQ(command.compress_program, "gzip");
  EXPECT_TRUE(command.merge && command.settings.unique && command.settings.stable);
  EXPECT_TRUE(command.settings.zero_terminated && command.debug);
  EXPECT_EQ(command.files0_from, "list");
}

TEST(SortCommandLine, HelpAndVersionGoToStandardOutput) {
  SortCommand command;
  ParseOutcome outcome = parse_command_line({"--version"}, command);
  EXPECT_FALSE(outcome.run);
  EXPECT_EQ(outcome.status, 0);
  EXPECT_EQ(outcome.out.rfind("zelto-sort (zelto) ", 0), 0U) << outcome.out;
  outcome = parse_command_line({"--help"}, command);
  EXPECT_EQ(outcome.out.rfind("Usage: zelto-sort [OPTION]... [FILE]...\n", 0), 0U);
  EXPECT_NE(outcome.out.find("--files0-from=F"), std::string::npos);
}

struct SizeCase {
  std::string text;
  std::optional<std::uint64_t> bytes;  // nothing: refused
  bool percent = false;
};

TEST(BufferSize, TakesSortsSuffixes) {
  const std::vector<SizeCase> cases = {
      {"10", 10U << 10},  {"10b", 10},
      {"10k", 10U << 10}, {"10K", 10U << 10},
      {"3M", 3U << 20},   {"2G", 2ULL << 30},
      {"1T", 1ULL << 40}, {"1E", 1ULL << 60},
      {"0", 0},           {"0Y", 0},
      {"+5b", 5},         {" 7b", 7},
      {"50%", 50, true},  {"1Z", {}},
      {"1Y", {}},         {"", {}},
      {"-1", {}},         {"1.5M", {}},
      {"10x", {}},        {"1KB", {}},
      {"0x10", {}},       {"99999999999999999999", {}},
      {"2m", 2U << 20},   {"1t", 1ULL << 40},
      {"1p", {}},         {"99999999999999999999b", {}},
      {"M", 1U << 20},    {"k", 1U << 10},
      {"b", {}},          {"%", {}},
      {" k", {}},         {"Mx", {}},
  };
  for (const SizeCase& c : cases) {
    BufferSize size;
    const std::optional<std::string> error = parse_buffer_size(c.text, size);
    if (c.bytes.has_value()) {
      EXPECT_FALSE(error.has_value()) << c.text << ": " << error.value_or("");
      EXPECT_EQ(size.bytes, *c.bytes) << c.text;
      EXPECT_EQ(size.percent, c.percent) << c.text;
    } else {
      EXPECT_TRUE(error.has_value()) << c.text;
    }
  }
  BufferSize size;
  EXPECT_EQ(parse_buffer_size("1'", size, "--buffer-size"),
            "invalid suffix in --buffer-size argument '1''");
  EXPECT_EQ(parse_buffer_size("99999999999999999999%", size),
            "invalid suffix in -S argument '99999999999999999999%'");
  EXPECT_EQ(parse_buffer_size("99999999999999999999k", size),
            "-S argument '99999999999999999999k' too large");
  // A power's letter alone is one of it, and is read as a count would be.
  EXPECT_EQ(parse_buffer_size("Z", size), "-S argument 'Z' too large");
  EXPECT_EQ(parse_buffer_size("kb", size), "invalid suffix in -S argument 'kb'");
}

TEST(Messages, QuoteNamesAsAShellWould) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"plain.txt", "plain.txt"},
      {"a b", "'a b'"},
      {"it's", "\"it's\""},
      {"x\ty", "'x'$'\\t''y'"},
      {"b\na\n", "'b'$'\\n''a'$'\\n'"},
      {"", "''"},
      {"-", "-"},
      {"a:b", "'a:b'"},
      {"a{b}c]", "a{b}c]"},
      {"{", "'{'"},
      {"#a", "'#a'"},
      {"a#~", "a#~"},
      {"#'", "\"#'\""},
      {"a'#b", "'a'\\''#b'"},
      {"\xff"
       "a",
       "''$'\\377''a'"},
      {"a\xc3\xa9", "'a'$'\\303\\251'"},
      {"a'\tb", "'a'\\'''$'\\t''b'"},
      {"\x01'", "''$'\\001'\\'''"},
  };
  for (const auto& [name, quoted] : cases) EXPECT_EQ(quote_file(name), quoted) << name;
  EXPECT_EQ(quote_file("ab", true), "'ab'");
  EXPECT_EQ(quote("a\\t"), "'a\\\\t'");
  EXPECT_EQ(quote("foo"), "'foo'");
  EXPECT_EQ(quote("a\xc3\xa9"), "'a\\303\\251'");
}

TEST(Messages, BeginWithTheNameTheCommandWasStartedBy) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"/usr/local/bin/zelto-sort", "zelto-sort"},
      {"sort", "sort"},
      {"C:\\Tools\\Zelto-Sort.EXE", "Zelto-Sort"},
      {"bin/sort.exe", "sort"},
      {".exe", ".exe"},
      {"dir/", "zelto-sort"},
      {"", "zelto-sort"},
  };
  for (const auto& [invoked, name] : cases) {
    set_program_name(invoked);
    EXPECT_EQ(program_name(), name) << invoked;
  }
  set_program_name("sort");
  EXPECT_EQ(help_hint(), "Try 'sort --help' for more information.\n");
  set_program_name(PROGRAM);
}

std::vector<std::string> texts(const LineList& lines) {
  std::vector<std::string> out;
  for (const LineRef& line : lines) out.emplace_back(line.view());
  return out;
}

TEST(SplitLines, KeepsEveryByteAndTheUnfinishedLastLine) {
  const std::string input("a\nb\0c\n\n\rd\nend", 13);
  for (const unsigned threads : {1U, 3U}) {
    LineList lines;
    EXPECT_EQ(split_lines(input.data(), input.size(), '\n', true, threads, lines), 10U);
    EXPECT_EQ(texts(lines),
              (std::vector<std::string>{"a", std::string("b\0c", 3), "", "\rd", "end"}));
    lines.clear();
    EXPECT_EQ(split_lines(input.data(), input.size(), '\n', false, threads, lines), 10U);
    EXPECT_EQ(lines.size(), 4U);
  }
  // Large enough to be split by several threads at line boundaries.
  std::string big;
  for (int i = 0; i < 300000; ++i) big += std::to_string(i * 7919LL % 1000003) + "\n";
  // The lines of a later block follow those already held.
  LineList one{{"held", 4}};
  LineList three{{"held", 4}};
  (void)split_lines(big.data(), big.size(), '\n', true, 1, one);
  (void)split_lines(big.data(), big.size(), '\n', true, 3, three);
  EXPECT_EQ(one.size(), 300001U);
  EXPECT_EQ(texts(one), texts(three));
}

// A stream over `text` handed out `step` bytes at a time.
ReadBytes reader_over(std::string text, std::size_t step) {
  auto at = std::make_shared<std::size_t>(0);
  return [text = std::move(text), step, at](char* data, std::size_t size, int&) -> long long {
    const std::size_t take = std::min({size, step, text.size() - *at});
    std::copy_n(text.data() + *at, take, data);
    *at += take;
    return static_cast<long long>(take);
  };
}

TEST(LineCursor, GrowsForLinesLongerThanItsBuffer) {
  const std::string long_line(100000, 'x');
  const std::string text = "short\n" + long_line + "\n\nlast";
  for (const std::size_t step : {1UL, 7UL, 1UL << 20}) {
    LineCursor cursor(reader_over(text, step), "t", '\n', 16);
    std::vector<std::string> seen;
    while (cursor.next()) seen.emplace_back(cursor.line());
    EXPECT_FALSE(cursor.failed());
    EXPECT_EQ(seen, (std::vector<std::string>{"short", long_line, "", "last"})) << step;
  }
}

TEST(LineEngine, MatchesAStableSortForEveryThreadCount) {
  std::mt19937 random(7);
  std::vector<std::string> texts_in;
  // Short lines over a few letters (many ties and shared prefixes), long
  // lines that agree for hundreds of bytes, and empty lines.
  for (int i = 0; i < 200000; ++i) {
    std::string line;
    const int length = static_cast<int>(random() % 12);
    for (int j = 0; j < length; ++j) line += "abAB \xff"[random() % 6];
    if (i % 1000 == 0) line = std::string(300, 'q') + line;
    texts_in.push_back(line);
  }
  std::vector<LineRef> lines;
  for (const std::string& t : texts_in) lines.push_back({t.data(), t.size()});
  text::SortSettings settings;
  for (const bool unique : {false, true}) {
    settings.unique = unique;
    const text::LineComparator comparator(settings);
    const auto stable_order = [&](std::size_t count) {
      std::vector<std::uint32_t> order(count);
      std::iota(order.begin(), order.end(), 0U);
      std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return comparator.compare(lines[a].view(), lines[b].view()) < 0;
      });
      return order;
    };
    const std::vector<std::uint32_t> expected = stable_order(lines.size());
    // An order serves a later batch of fewer lines, never one of more.
    const std::size_t fewer = lines.size() / 3;
    const std::vector<std::uint32_t> expected_fewer = stable_order(fewer);
    for (const unsigned threads : {1U, 2U, 5U}) {
      LineOrder order(lines.size());
      ASSERT_TRUE(order.allocated());
      sort_lines(lines, comparator, order, threads);
      const std::vector<std::uint32_t> got(order.indices().begin(), order.indices().end());
      EXPECT_EQ(got, expected) << threads << " threads, unique " << unique;
      EXPECT_FALSE(order.reuse_for(lines.size() + 1));
      ASSERT_TRUE(order.reuse_for(fewer));
      sort_lines(std::span(lines).first(fewer), comparator, order, threads);
      const std::vector<std::uint32_t> again(order.indices().begin(), order.indices().end());
      EXPECT_EQ(again, expected_fewer) << threads << " threads, unique " << unique;
    }
  }
}

// Collects what a merge writes.
class StringSink final : public ByteSink {
 public:
  void write(std::string_view bytes) override { text.append(bytes); }
  [[nodiscard]] bool failed() const override { return false; }
  std::string text;
};

// Lines of every kind; each stream in a range of keys of its own (already
// sorted input cut into runs); one line again and again.
enum class Lines { Mixed, Apart, Same, Long };

struct MergeCase {
  const char* name;
  std::size_t streams;
  bool unique;
  bool numeric;
  Lines lines = Lines::Mixed;
  const char* key = nullptr;  // a -k argument
  char letter = 0;            // a global ordering letter
  bool stable = false;
};

// Any number of streams, lines that tie in their first digests (a shared
// start) or compare equal across streams, some lines of a few KiB, streams
// of keys apart or of one line, under whole lines or keys: the merge gives
// the lines of a stable sort
// of the streams one after another, for 1 and 2 threads. So
// does the merge of the same streams stored as runs and cut into parts by
// keys, whatever the number of parts and threads, with each part held back
// (a hundred bytes at most) until those before it are written; runs of
// MiB let go of what was read as the merge goes on.
TEST(MergeStreams, GivesTheOrderOfAStableSortOfTheStreamsInTurn) {
  const MergeCase cases[] = {
      {"no stream", 0, false, false},
      {"one stream", 1, false, false},
      {"two streams", 2, false, false},
      {"five streams", 5, false, false},
      {"17 streams", 17, false, false},
      {"17 streams, -u", 17, true, false},
      {"6 streams, -n", 6, false, true},
      {"6 streams, -nu", 6, true, true},
      {"five streams apart", 5, false, false, Lines::Apart},
      {"five streams apart, -n", 5, false, true, Lines::Apart},
      {"one line in four streams", 4, false, false, Lines::Same},
      {"one line in four streams, -u", 4, true, false, Lines::Same},
      {"five streams, -k2", 5, false, false, Lines::Mixed, "2"},
      {"five streams, -k2 -u", 5, true, false, Lines::Mixed, "2"},
      {"five streams, -k1,1n", 5, false, false, Lines::Mixed, "1,1n"},
      {"three streams of long lines", 3, false, false, Lines::Long},
      {"five streams, -s -k2", 5, false, false, Lines::Mixed, "2", 0, true},
      {"five streams, -b", 5, false, false, Lines::Mixed, nullptr, 'b'},
      {"five streams, -r", 5, false, false, Lines::Mixed, nullptr, 'r'},
  };
  std::mt19937 random(11);
  for (const MergeCase& c : cases) {
    SCOPED_TRACE(c.name);
    text::SortSettings settings;
    settings.unique = c.unique;
    settings.stable = c.stable;
    if (c.letter != 0) {
      ASSERT_TRUE(text::apply_ordering_letter(c.letter, settings.global));
    }
    if (c.numeric) {
      ASSERT_TRUE(text::apply_ordering_letter('n', settings.global));
    }
    if (c.key != nullptr) {
      ASSERT_FALSE(text::parse_key(c.key, settings).has_value());
    }
    ASSERT_FALSE(text::finish_settings(settings).has_value());
    const text::LineComparator comparator(settings);
    const auto before = [&](const std::string& a, const std::string& b) {
      return comparator.compare(a, b) < 0;
    };
    std::vector<std::vector<std::string>> contents(c.streams);
    std::vector<std::string> all;
    for (std::size_t s = 0; s < c.streams; ++s) {
      std::vector<std::string>& lines = contents[s];
      for (std::size_t i = 0, n = random() % 300; i < n; ++i) {
        if (c.lines == Lines::Same) {
          lines.emplace_back("the same line");
          continue;
        }
        if (c.lines == Lines::Apart) {
          lines.push_back(std::to_string(1000 * (s + 1) + random() % 1000));
          continue;
        }
        if (c.lines == Lines::Long) {
          lines.push_back(std::to_string(random() % 1000) +
                          std::string(4000 + random() % 9000, 'z'));
          continue;
        }
        std::string line = std::to_string(random() % 40);
        if (random() % 3 == 0) line = "a shared start of twenty " + line;
        if (random() % 5 == 0) line = " " + line;
        if (random() % 40 == 0) line += std::string(random() % 5000, 'y');
        lines.push_back(line + (random() % 2 == 0 ? "" : " x"));
      }
      std::stable_sort(lines.begin(), lines.end(), before);
      all.insert(all.end(), lines.begin(), lines.end());
    }
    std::stable_sort(all.begin(), all.end(), before);
    std::string expected;
    for (std::size_t i = 0; i < all.size(); ++i) {
      if (c.unique && i > 0 && comparator.compare_keys(all[i - 1], all[i]) == 0) continue;
      expected += all[i] + "\n";
    }
    for (const unsigned threads : {1U, 2U}) {
      std::vector<std::unique_ptr<LineCursor>> streams;
      for (const auto& lines : contents) {
        std::string text;
        for (const std::string& line : lines) text += line + "\n";
        streams.push_back(std::make_unique<LineCursor>(reader_over(text, 97), "s", '\n', 64));
      }
      StringSink sink;
      EXPECT_EQ(merge_streams(streams, comparator, c.unique, false, '\n', threads, sink), 0);
      EXPECT_EQ(sink.text, expected) << threads << " threads";
    }
    for (const unsigned threads : {1U, 2U, 3U}) {
      // The runs are read once: each merge stores them anew.
      for (const std::size_t parts : {1, 3, 40}) {
        RunStore runs({std::filesystem::temp_directory_path().string()}, comparator,
                      OutputStyle{c.unique, false, '\n'}, threads);
        for (const auto& lines : contents) {
          std::string text;
          for (const std::string& line : lines) text += line + "\n";
          const std::unique_ptr<LineCursor> stream[] = {
              std::make_unique<LineCursor>(reader_over(text, 97), "s", '\n', 64)};
          ASSERT_EQ(runs.store_merge(stream), 0);
        }
        const std::unique_ptr<MergeParts> plan = runs.parts(parts, 64, threads);
        ASSERT_NE(plan, nullptr);
        StringSink sink;
        EXPECT_EQ(merge_parts(*plan, comparator, c.unique, false, '\n', threads, 100, sink), 0);
        EXPECT_EQ(sink.text, expected) << parts << " parts, " << threads << " threads";
      }
    }
  }
}

// Streams that are not sorted (inputs of -m) are merged as sort merges
// them: the least of the streams' current lines goes out each time.
TEST(MergeStreams, UnsortedStreamsGiveTheLeastCurrentLineEachTime) {
  struct UnsortedCase {
    const char* key;  // a -k argument, if any
    std::vector<std::string> streams;
    std::string expected;
  };
  const UnsortedCase cases[] = {
      {nullptr, {"b\na\nc\n", "a\nb\n"}, "a\nb\na\nb\nc\n"},
      {nullptr, {"ab\nabc\nab\n", "abc\nabd\n"}, "ab\nabc\nab\nabc\nabd\n"},
      {"2", {"1 b\n2 c\n3 a\n", "4 b\n"}, "1 b\n4 b\n2 c\n3 a\n"},
  };
  for (const UnsortedCase& c : cases) {
    text::SortSettings settings;
    if (c.key != nullptr) {
      ASSERT_FALSE(text::parse_key(c.key, settings).has_value());
    }
    ASSERT_FALSE(text::finish_settings(settings).has_value());
    const text::LineComparator comparator(settings);
    std::vector<std::unique_ptr<LineCursor>> streams;
    for (const std::string& text : c.streams) {
      streams.push_back(std::make_unique<LineCursor>(reader_over(text, 97), "s", '\n', 64));
    }
    StringSink sink;
    EXPECT_EQ(merge_streams(streams, comparator, false, false, '\n', 1, sink), 0);
    EXPECT_EQ(sink.text, c.expected) << c.streams[0];
  }
}

// A merge is cut into parts by the whole order: lines that share one key
// (an empty field) are spread over parts, but for -u and -s, whose order is
// that of the keys alone.
TEST(MergeStreams, PartsSplitLinesOfOneKeyButUnderUniqueOrStable) {
  struct PartsCase {
    bool unique;
    bool stable;
    bool one_part;  // every line in one part
  };
  const PartsCase cases[] = {{false, false, false}, {true, false, true}, {false, true, true}};
  for (const PartsCase& c : cases) {
    text::SortSettings settings;
    settings.unique = c.unique;
    settings.stable = c.stable;
    ASSERT_FALSE(text::parse_key("3", settings).has_value());
    ASSERT_FALSE(text::finish_settings(settings).has_value());
    const text::LineComparator comparator(settings);
    // The runs keep every line: the comparator alone decides the parts.
    RunStore runs({std::filesystem::temp_directory_path().string()}, comparator,
                  OutputStyle{false, false, '\n'}, 2);
    for (int run = 0; run < 3; ++run) {
      std::string text;
      for (int i = 0; i < 2000; ++i) text += "line " + std::to_string(10000 + i * 3 + run) + "\n";
      const std::unique_ptr<LineCursor> stream[] = {
          std::make_unique<LineCursor>(reader_over(text, 97), "s", '\n', 64)};
      ASSERT_EQ(runs.store_merge(stream), 0);
    }
    const std::unique_ptr<MergeParts> plan = runs.parts(8, 64, 2);
    ASSERT_NE(plan, nullptr);
    std::size_t largest = 0;
    const std::vector<std::unique_ptr<LineCursor>> cursors = plan->cursors();
    for (std::size_t part = 0; part < plan->count(); ++part) {
      plan->aim(part, cursors);
      std::size_t lines = 0;
      for (const std::unique_ptr<LineCursor>& cursor : cursors) {
        while (cursor->next()) ++lines;
      }
      largest = std::max(largest, lines);
    }
    EXPECT_EQ(largest == 6000, c.one_part) << c.unique << c.stable;
  }
}

}  // namespace
}  // namespace zelto::sorter
