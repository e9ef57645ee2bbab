// The bytes a run leaves do not depend on ZELTO_THREADS or ZELTO_MEMORY.
// One input of each key kind goes every way out (a file with LF or CR LF,
// standard output, the unique pass, the tie report, the record file itself,
// the fallback file...) on one, two, three and eight threads in memory and
// through runs on disk: with a budget of 8 KiB every record file is cut into
// many runs merged in several passes. Every run of a case must leave the same
// files, streams and status as its first. A large record set, whose loading,
// unique filter and gathering are shared out between threads, does the same.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "run_binary.h"
#include "sample_records.h"

namespace zelto::testing {
namespace {

// A thread count and a memory budget (empty: the automatic one, which holds
// every record file here in memory).
struct Setting {
  std::string threads;
  std::string memory;
};

// The settings every case runs under: the in-memory pass on 1, 2, 3 and 8
// threads, the pass on disk on 1 (no disk work beside the merge), 2 and 3.
const std::vector<Setting> SETTINGS = {{"1", ""},   {"2", ""},   {"3", ""},   {"8", ""},
                                       {"1", "8K"}, {"2", "8K"}, {"3", "64K"}};

std::string describe(const Setting& s) {
  return "ZELTO_THREADS=" + s.threads + " ZELTO_MEMORY=" + s.memory;
}

// "Line-<number>\n", an entry of the tie report.
bool is_tie_entry(const std::string& text) {
  return text.size() > 6 && text.back() == '\n' &&
         std::all_of(text.begin() + 5, text.end() - 1, [](char c) { return c >= '0' && c <= '9'; });
}

// Everything a run leaves: its status, both streams and every file, with
// the tie report apart from the lines before it on standard output.
Tree outcome(const Sandbox& box, const RunResult& r) {
  Tree tree = box.tree();
  tree["(status)"] = std::to_string(r.status);
  tree["(stderr)"] = r.err;
  const std::string& out = r.out;
  std::size_t ties = out.size();
  while (ties > 0) {
    // A displayed line without a newline runs on into the first entry.
    const std::size_t entry = out.rfind("Line-", ties - 1);
    if (entry == std::string::npos || !is_tie_entry(out.substr(entry, ties - entry))) break;
    ties = entry;
  }
  tree["(stdout)"] = out.substr(0, ties);
  tree["(ties)"] = out.substr(ties);
  return tree;
}

// The names of the entries in which two outcomes differ.
std::string differences(const Tree& a, const Tree& b) {
  std::string names;
  for (const auto& [name, bytes] : a) {
    const auto other = b.find(name);
    if (other == b.end() || other->second != bytes) names += name + " ";
  }
  for (const auto& [name, bytes] : b) {
    if (!a.contains(name)) names += name + " ";
  }
  return names;
}

std::size_t line_count(const std::string& text) {
  return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// Lays out `files`, runs the command with `arguments` under every setting
// and expects the same outcome each time. Which equal keys meet while they
// are sorted depends on the pass, so a pass on disk may note other ties than
// the pass in memory: between passes only the tie report's length must agree.
void expect_same_for_every_setting(const Tree& files, const std::vector<std::string>& arguments,
                                   const std::vector<Setting>& settings) {
  std::map<std::string, Tree> first_of_pass;
  std::optional<Tree> first;
  for (const Setting& setting : settings) {
    SCOPED_TRACE(describe(setting));
    Sandbox box;
    box.lay_out(files);
    RunOptions options{arguments};
    options.environment = {"ZELTO_THREADS=" + setting.threads, "ZELTO_MEMORY=" + setting.memory};
    Tree tree = outcome(box, box.run_with(options));
    const auto [same_pass, new_pass] = first_of_pass.try_emplace(setting.memory, tree);
    if (!new_pass) {
      EXPECT_TRUE(tree == same_pass->second)
          << "another thread count's outcome differs in " << differences(tree, same_pass->second);
    }
    if (!first) {
      first = tree;
      continue;
    }
    EXPECT_EQ(line_count(tree["(ties)"]), line_count((*first)["(ties)"]));
    tree["(ties)"] = (*first)["(ties)"];
    EXPECT_TRUE(tree == *first) << describe(settings[0]) << " differs in "
                                << differences(tree, *first);
  }
}

// The texts records take in turn: lines cut at their first newline, without
// a newline, with carriage returns, empty, ending at a NUL, of high bytes,
// and filling the text field to the record's end.
std::string text_of(std::int32_t i, int record_size) {
  const std::string n = std::to_string(i);
  switch (i % 8) {
    case 0: return "line " + n + "\n";
    case 1: return "first " + n + "\nsecond\n";
    case 2: return "no end " + n;
    case 3: return "cr " + n + "\r\n";
    case 4: return "";
    case 5: return std::string("nul ") + n + std::string(1, '\0') + "hidden\n";
    case 6: return "\xff\x80 " + n + "\n";
    default: return std::string(static_cast<std::size_t>(record_size - NUMBERED_TEXT_OFFSET), 'x');
  }
}

constexpr std::int32_t COUNT = 1000;

// One input of each kind, its records of another size each, with many keys
// repeated (ties, patterns the unique pass drops) and the kind's hard cases.
struct Input {
  std::string name;
  std::int32_t key_type;
  std::string ignore_case;
  int record_size;
  std::function<Bytes(std::int32_t, const std::string&, RecordShape)> record;
};

void PrintTo(const Input& input, std::ostream* os) {
  *os << input.name;
}

Bytes phrase(std::int32_t i, const std::string& text, RecordShape shape) {
  static const std::vector<std::string> words = {
      "apple", "Apple", "APPLE", "banana", "b", "", "a\xff", "z z", std::string(79, 'q')};
  const std::string key = words[static_cast<std::size_t>(i * 7 % 9)] + std::to_string(i % 5);
  return phrase_record(i % 11 == 0 ? words[5] : key, i + 1, text, shape);
}

Bytes integer(std::int32_t i, const std::string& text, RecordShape shape) {
  constexpr std::int32_t LOW = std::numeric_limits<std::int32_t>::min();
  constexpr std::int32_t HIGH = std::numeric_limits<std::int32_t>::max();
  const std::int32_t firsts[] = {LOW, -1, 0, 1, HIGH, 12345, -70000};
  return int_record({firsts[i % 7], (i * 31) % 13 - 6, i % 4 == 0 ? i : 0}, i + 1, text, shape);
}

Bytes real(std::int32_t i, const std::string& text, RecordShape shape) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {-0.0, 0.0, INFINITY, -INFINITY, 1e-310, -2.5, 3.0, nan, 1e300};
  return double_record({values[i % 9], static_cast<double>((i * 17) % 5)}, i + 1, text, shape);
}

const Input INPUTS[] = {
    {"Phrases", 0, "0", 128, phrase},
    {"PhrasesIgnoringCase", 0, "-f", 128, phrase},
    {"Integers", 1, "0", 200, integer},
    {"Doubles", 2, "0", MINIMUM_RECORD_SIZE + 9, real},
};

std::string records_of(const Input& input, bool numbered) {
  const RecordShape shape{input.record_size, numbered};
  std::vector<Bytes> records;
  for (std::int32_t i = 0; i < COUNT; ++i) {
    Bytes r = input.record(i, text_of(i, input.record_size), shape);
    if (!numbered) put_int32(r, RECORD_NUMBER_OFFSET, 0x0a6f6e);  // "no\n" at the text's start
    records.push_back(r);
  }
  return record_file(records);
}

// A way out: what it changes in the parameter file, and its arguments.
struct Way {
  std::string name;
  std::function<void(Parameters&)> change;
  std::vector<std::string> arguments;
  bool unnumbered = false;
};

const std::vector<Way> WAYS = {
    {"File", [](Parameters&) {}, {}},
    {"FileCRLF", [](Parameters& p) { p.crlf = "-CRLF"; }, {}},
    {"Descending", [](Parameters&) {}, {"-r"}},
    {"Displayed", [](Parameters& p) { p.output_path = ""; }, {}},
    {"TieReport", [](Parameters& p) { p.report_ties = "-!"; }, {}},
    {"Unique", [](Parameters&) {}, {"-u", "-r"}},
    {"UniqueDisplayedWithTies",
     [](Parameters& p) {
       p.output_path = "";
       p.report_ties = "-!";
       p.unique = "-u";
     },
     {}},
    {"IntoTheRecordFile", [](Parameters&) {}, {"-o", "binary.tmp"}},
    {"OtherInputKept",
     [](Parameters& p) {
       p.input_path = "data.bin";
       p.keep_record_file = "-y";
     },
     {}},
    {"FewerThanTheFileHolds", [](Parameters& p) { p.record_count = COUNT - 77; }, {}},
    {"MoreThanTheFileHolds", [](Parameters& p) { p.record_count = COUNT + 3; }, {}},
    {"NoRecords", [](Parameters& p) { p.record_count = 0; }, {}},
    {"MissingRecordFile", [](Parameters&) {}, {"missing.bin"}},
    {"Unnumbered", [](Parameters& p) { p.numbered = "0"; }, {}, true},
    {"Fallback", [](Parameters& p) { p.output_path = "nodir/out.txt"; }, {}},
};

class EveryKind : public ::testing::TestWithParam<Input> {};

TEST_P(EveryKind, LeavesTheSameForEveryThreadCountAndBudget) {
  const Input& input = GetParam();
  const std::string numbered = records_of(input, true);
  const std::string unnumbered = records_of(input, false);
  for (const Way& way : WAYS) {
    SCOPED_TRACE(way.name);
    Parameters p = parameters(COUNT);
    p.key_type = input.key_type;
    p.ignore_case = input.ignore_case;
    p.record_size = input.record_size;
    way.change(p);
    const std::string& records = way.unnumbered ? unnumbered : numbered;
    expect_same_for_every_setting({{"manager.txt", p.text()}, {p.input_path, records}},
                                  way.arguments, SETTINGS);
  }
}

INSTANTIATE_TEST_SUITE_P(Settings, EveryKind, ::testing::ValuesIn(INPUTS),
                         [](const auto& info) { return info.param.name; });

constexpr int RECORDS = 90000;

// Integer keys with many repeats (so ties and repeated patterns), numbered
// records with a text line each.
std::string many_records() {
  std::string file;
  for (int i = 0; i < RECORDS; ++i) {
    const int key = static_cast<int>((i * 7919LL) % 20011);
    const std::string text = "line " + std::to_string(i) + " key " + std::to_string(key) + "\n";
    file += as_text(int_record({key / 7, key % 3}, i + 1, text));
  }
  return file;
}

// In memory the set is cut into parts for the threads; on disk with a budget
// of 4 MiB each run is gathered by two or three threads.
TEST(Threads, OutputIsTheSameForEveryThreadCount) {
  const std::string records = many_records();
  struct Case {
    const char* name;
    std::vector<std::string> arguments;
    bool report_ties = false;
  };
  const Case cases[] = {
      {"file", {"-o", "out.txt"}},
      {"file, descending, CR LF", {"-r", "-CRLF", "-o", "out.txt"}},
      {"unique", {"-u", "-o", "out.txt"}},
      {"standard output", {}},
      {"unique to standard output, tie report", {"-u"}, true},
  };
  const std::vector<Setting> settings = {{"1", ""}, {"2", ""},   {"3", ""},
                                         {"8", ""}, {"2", "4M"}, {"3", "4M"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Parameters p = integers(RECORDS, "");
    p.report_ties = c.report_ties ? "-!" : "0";
    expect_same_for_every_setting({{"manager.txt", p.text()}, {"binary.tmp", records}}, c.arguments,
                                  settings);
  }
}

}  // namespace
}  // namespace zelto::testing
