// End-to-end tests: `zelto-pack` turns a text file into records and a
// parameter file, then `zelto` arranges them; the lines must come out in the
// expected order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "run_binary.h"

namespace zelto::testing {
namespace {

// zelto-pack with `arguments` in `box`, standard input from the file
// `stdin_name` there (or empty).
RunResult pack(const Sandbox& box, const std::vector<std::string>& arguments,
               const std::string& stdin_name = "") {
  RunOptions options;
  options.program = pack_binary_path();
  options.arguments = arguments;
  options.stdin_name = stdin_name;
  return box.run_with(options);
}

// zelto-pack with `pack_arguments`, then (on success) zelto with
// `zelto_arguments`: what both printed, and the status of the last one run.
RunResult pack_then_arrange(const Sandbox& box, const std::vector<std::string>& pack_arguments,
                            const std::vector<std::string>& zelto_arguments = {},
                            const std::string& stdin_name = "") {
  const RunResult packed = pack(box, pack_arguments, stdin_name);
  if (packed.status != 0) return packed;
  RunResult arranged = box.run(zelto_arguments);
  arranged.out.insert(0, packed.out);
  arranged.err.insert(0, packed.err);
  arranged.raw_out.insert(0, packed.raw_out);
  arranged.raw_err.insert(0, packed.raw_err);
  return arranged;
}

// ------------------------------------------------------------ orders

struct OrderCase {
  std::string name;
  std::string input;
  std::vector<std::string> options;
  std::string expected;
  // What zelto-pack notes on standard error; it still succeeds.
  std::string err = "";
};

void PrintTo(const OrderCase& c, std::ostream* os) {
  *os << c.name;
}

class PackOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(PackOrder, LinesComeOutInTheExpectedOrder) {
  const OrderCase& c = GetParam();
  Sandbox dir;
  dir.write("data.txt", c.input);
  std::vector<std::string> arguments = c.options;
  arguments.push_back("data.txt");
  const RunResult o = pack_then_arrange(dir, arguments);
  EXPECT_EQ(o.err, c.err);
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, c.expected);
  // zelto removes the record file; the parameter file and input stay.
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"data.txt", "manager.txt"}));
}

const std::string FRUIT = "pear\nApple\nbanana\napple\nCherry\nbanana\n";
const std::string NUMBERS = "10 ten\n9 nine\n-3 minus three\n100 hundred\n9 nine again\n";

INSTANTIATE_TEST_SUITE_P(
    KeysAndOptions, PackOrder,
    ::testing::Values(
        OrderCase{"PhraseBytes", FRUIT, {}, "Apple\nCherry\napple\nbanana\nbanana\npear\n"},
        OrderCase{"PhraseEqualLinesKeepInputOrder",
                  "b\na\nb\na\n",
                  {"--numbered"},
                  "2:a\n4:a\n1:b\n3:b\n"},
        OrderCase{
            "PhraseReverse", FRUIT, {"--reverse"}, "pear\nbanana\nbanana\napple\nCherry\nApple\n"},
        OrderCase{"PhraseReverseEqualLinesInReverseInputOrder",
                  "b\na\nb\n",
                  {"--reverse", "--numbered"},
                  "3:b\n1:b\n2:a\n"},
        OrderCase{"PhraseIgnoreCase",
                  FRUIT,
                  {"--ignore-case"},
                  "Apple\napple\nbanana\nbanana\nCherry\npear\n"},
        OrderCase{"PhraseIgnoreCaseReverse",
                  FRUIT,
                  {"--ignore-case", "--reverse"},
                  "pear\nCherry\nbanana\nbanana\napple\nApple\n"},
        OrderCase{"PhraseUnique",
                  FRUIT,
                  {"--unique", "--numbered"},
                  "2:Apple\n5:Cherry\n4:apple\n3:banana\n1:pear\n"},
        OrderCase{"PhraseField",
                  "x 3 carol\ny 1 alice\nz 2 bob\n",
                  {"--field=3"},
                  "y 1 alice\nz 2 bob\nx 3 carol\n"},
        OrderCase{"PhraseFieldsJoined",
                  "ann smith\nbob jones\nal smith\n",
                  {"--field=2,1"},
                  "bob jones\nal smith\nann smith\n"},
        // Only the first 79 bytes key a line; lines equal there keep their order.
        OrderCase{"PhraseLongLinesCutToTheKeyArea",
                  std::string(PHRASE_KEY_LIMIT, 'k') + "z\n" + std::string(PHRASE_KEY_LIMIT, 'k') +
                      "a\n" + std::string(PHRASE_KEY_LIMIT - 1, 'k') + "a\n",
                  {},
                  std::string(PHRASE_KEY_LIMIT - 1, 'k') + "a\n" +
                      std::string(PHRASE_KEY_LIMIT, 'k') + "z\n" +
                      std::string(PHRASE_KEY_LIMIT, 'k') + "a\n",
                  "zelto-pack: warning: 2 keys cut to 79 bytes: lines equal in their first 79 "
                  "bytes keep their input order\n"},
        OrderCase{"PhraseBytesAboveAscii",
                  "\xC3\xA9t\xC3\xA9\nzoo\n\xE2\x82\xAC\n",
                  {},
                  "zoo\n\xC3\xA9t\xC3\xA9\n\xE2\x82\xAC\n"},
        OrderCase{"IntLeading",
                  NUMBERS,
                  {"--key=int"},
                  "-3 minus three\n9 nine\n9 nine again\n10 ten\n100 hundred\n"},
        OrderCase{"IntReverse",
                  NUMBERS,
                  {"--key=int", "--reverse"},
                  "100 hundred\n10 ten\n9 nine again\n9 nine\n-3 minus three\n"},
        OrderCase{"IntSeveralLeadingNumbers",
                  "1 5\n1 3 x\n0 9\n1 3 7\n",
                  {"--key=int"},
                  "0 9\n1 3 x\n1 3 7\n1 5\n"},
        OrderCase{"IntExtremes",
                  "2147483647\n-2147483648\n0\n+5\n",
                  {"--key=int"},
                  "-2147483648\n0\n+5\n2147483647\n"},
        OrderCase{"IntField",
                  "carol 30\nalice 25\nbob 41\n",
                  {"--key=int", "--field=2"},
                  "alice 25\ncarol 30\nbob 41\n"},
        OrderCase{"IntFieldsInGivenOrder",
                  "a 1 9\nb 2 8\nc 1 8\n",
                  {"--key=int", "--field=3,2"},
                  "c 1 8\nb 2 8\na 1 9\n"},
        OrderCase{"IntUniqueKeepsFirstOfEachKey",
                  "3 a\n1 b\n3 c\n1 d\n",
                  {"--key=int", "--unique"},
                  "1 b\n3 a\n"},
        // Descending, equal keys come in reverse line order, so the last line
        // of each key is the one kept.
        OrderCase{"IntUniqueReverse",
                  "3 a\n1 b\n3 c\n1 d\n",
                  {"--key=int", "--unique", "--reverse"},
                  "3 c\n1 d\n"},
        OrderCase{"DoubleLeading",
                  "2.5\n-1e3\n1e-3\ninf\n-inf\n0\n",
                  {"--key=double"},
                  "-inf\n-1e3\n0\n1e-3\n2.5\ninf\n"},
        OrderCase{"DoubleReverse",
                  "2.5\n-1e3\n1e-3\n",
                  {"--key=double", "--reverse"},
                  "2.5\n1e-3\n-1e3\n"},
        OrderCase{"DoubleSeveralAndField",
                  "x 1.5 2\ny 1.5 1\nz 0.5 9\n",
                  {"--key=double", "--field=2,3"},
                  "z 0.5 9\ny 1.5 1\nx 1.5 2\n"},
        OrderCase{
            "DoubleUnique", "1.0 a\n1 b\n2 c\n", {"--key=double", "--unique"}, "1.0 a\n2 c\n"},
        OrderCase{"EmptyInput", "", {}, ""},
        OrderCase{"EmptyLinesSortFirst", "b\n\na\n", {}, "\na\nb\n"},
        OrderCase{"LastLineGetsItsNewline", "b\na", {}, "a\nb\n"},
        // The CR of CR LF is not part of the text: standard output shows LF.
        OrderCase{"CrLfLinesLoseTheirCr", "b\r\na\r\nc\n", {}, "a\nb\nc\n"},
        OrderCase{"CrLfIntegers", "10\r\n9\r\n", {"--key=int"}, "9\n10\n"},
        OrderCase{"LoneCrStaysText", "b\rx\na\n", {}, "a\nb\rx\n"},
        // The short options of sort.
        OrderCase{"SeparatorAndNumericField",
                  "root:x:0:0\nbob:x:1000:1000\nal:x:33:33\nsys:x::\n",
                  {"-t:", "-k3", "-n", "--lenient"},
                  "sys:x::\nroot:x:0:0\nal:x:33:33\nbob:x:1000:1000\n",
                  "zelto-pack: 1 line without a number in the key sorted first (--lenient)\n"},
        OrderCase{
            "SeparatorEmptyFieldsCount", "b,,2\na,,1\n", {"-t", ",", "-k", "3"}, "a,,1\nb,,2\n"},
        OrderCase{"ShortReverseUniqueDouble",
                  "1.5 a\n2 b\n1.50 c\n",
                  {"-g", "-r", "-u"},
                  "2 b\n1.50 c\n"},
        OrderCase{"LenientLinesFirstInInputOrder",
                  "total 12\n-rw 1 a b 300 x\n-rw 1 a b 20 y\n\nd 1 a b\n",
                  {"-k5", "-n", "--lenient"},
                  "total 12\n\nd 1 a b\n-rw 1 a b 20 y\n-rw 1 a b 300 x\n",
                  "zelto-pack: 3 lines without a number in the key sorted first (--lenient)\n"},
        OrderCase{"LenientDoubles",
                  "2.5\nn/a\n-inf\n",
                  {"-g", "--lenient"},
                  "n/a\n-inf\n2.5\n",
                  "zelto-pack: 1 line without a number in the key sorted first (--lenient)\n"},
        OrderCase{"LenientReverseLast",
                  "x\n1\ny\n",
                  {"-n", "-r", "--lenient"},
                  "1\ny\nx\n",
                  "zelto-pack: 2 lines without a number in the key sorted last (--lenient)\n"},
        // --ignore-case --unique: one line for each phrase regardless of case,
        // the first of them.
        OrderCase{"IgnoreCaseUnique",
                  FRUIT + "APPLE\n",
                  {"-f", "-u", "--numbered"},
                  "2:Apple\n3:banana\n5:Cherry\n1:pear\n"},
        OrderCase{"DoubleZerosAreOneKey", "0 a\n-0 b\n0.0 c\n", {"-g", "-u"}, "0 a\n"},
        OrderCase{"MaxLineCutsText",
                  "bbbbbb\naaaaaa\n",
                  {"--max-line=3"},
                  "aaa\nbbb\n",
                  "zelto-pack: 2 lines cut to 3 bytes of text (--max-line)\n"},
        OrderCase{"GivenRecordSize", "bb\na\n", {"--record-size=4096"}, "a\nbb\n"}),
    [](const ::testing::TestParamInfo<OrderCase>& info) { return info.param.name; });

// ------------------------------------------------------------ the pipeline

TEST(PackPipeline, SortsATextFileByItsLeadingIntegers) {
  Sandbox dir;
  std::string input;
  std::vector<int> numbers;
  for (int i = 0; i < 500; ++i) {
    const int n = (i * 7919) % 1009 - 500;
    numbers.push_back(n);
    input += std::to_string(n) + " item\n";
  }
  dir.write("data.txt", input);
  const RunResult o = pack_then_arrange(dir, {"--key=int", "data.txt"});
  ASSERT_EQ(o.status, 0) << o.err;
  std::sort(numbers.begin(), numbers.end());
  std::string expected;
  for (const int n : numbers) expected += std::to_string(n) + " item\n";
  EXPECT_EQ(o.out, expected);
}

TEST(PackPipeline, ReadsStandardInput) {
  Sandbox dir;
  dir.write("in", "3\n1\n2\n");
  EXPECT_EQ(pack_then_arrange(dir, {"--key=int"}, {}, "in").out, "1\n2\n3\n");
  EXPECT_EQ(pack_then_arrange(dir, {"--key=int", "-"}, {}, "in").out, "1\n2\n3\n");
}

struct LineEndCase {
  std::string input;
  std::vector<std::string> pack_options;
  std::vector<std::string> zelto_options;
  std::string file;
};

// The file zelto writes gets CR LF when the input's first line ended in CR
// LF, LF otherwise, or what --lf or --crlf say; never CR CR LF.
TEST(PackPipeline, OutputFileLineEndsFollowTheInputOrTheChoice) {
  const std::vector<LineEndCase> cases = {
      {"b\r\na\n", {"--output=sorted.txt"}, {}, "a\r\nb\r\n"},
      {"b\r\na\n", {"--output=sorted.txt", "--lf"}, {}, "a\nb\n"},
      {"b\na\r\n", {"--output=sorted.txt"}, {}, "a\nb\n"},
      {"b\na\n", {"--output=sorted.txt", "--crlf"}, {}, "a\r\nb\r\n"},
      {"b\r\na\r\n", {}, {"-o", "sorted.txt"}, "a\r\nb\r\n"},
      {"b\na\n", {}, {"-o", "sorted.txt"}, "a\nb\n"},
      {"b\r\na\r\n", {"-o", "sorted.txt"}, {"-LF"}, "a\nb\n"},
  };
  for (const LineEndCase& c : cases) {
    Sandbox dir;
    dir.write("data.txt", c.input);
    std::vector<std::string> arguments = c.pack_options;
    arguments.push_back("data.txt");
    const RunResult o = pack_then_arrange(dir, arguments, c.zelto_options);
    ASSERT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.out, "");
    EXPECT_EQ(dir.read("sorted.txt"), c.file) << ::testing::PrintToString(c.input);
  }
}

TEST(PackPipeline, ZeltoCommandLineStillOverridesTheParameterFile) {
  Sandbox dir;
  dir.write("data.txt", "2\n1\n3\n");
  EXPECT_EQ(pack_then_arrange(dir, {"--key=int", "data.txt"}, {"-r"}).out, "3\n2\n1\n");
}

TEST(PackPipeline, KeepLeavesTheRecordFile) {
  Sandbox dir;
  dir.write("data.txt", "b\na\n");
  ASSERT_EQ(pack_then_arrange(dir, {"--keep", "data.txt"}).status, 0);
  EXPECT_TRUE(dir.exists("binary.tmp"));
  // The kept records arrange again, the same way.
  EXPECT_EQ(dir.run({}).out, "a\nb\n");
}

TEST(PackPipeline, TieReportNamesTiedLines) {
  Sandbox dir;
  dir.write("data.txt", "x\ny\nx\n");
  const RunResult o = pack_then_arrange(dir, {"--report-ties", "data.txt"});
  ASSERT_EQ(o.status, 0) << o.err;
  // Which of the two tied lines is noted, and how often, depends on how
  // the sort met the pair.
  ASSERT_TRUE(o.out.starts_with("x\nx\ny\n")) << o.out;
  const std::string report = o.out.substr(6);
  EXPECT_FALSE(report.empty());
  for (std::size_t at = 0; at < report.size(); at += 7) {
    const std::string line = report.substr(at, 7);
    EXPECT_TRUE(line == "Line-1\n" || line == "Line-3\n") << report;
  }

  dir.write("data.txt", "x\ny\n");
  EXPECT_EQ(pack_then_arrange(dir, {"--report-ties", "data.txt"}).out, "x\ny\n");
}

TEST(PackPipeline, ParameterFileDeclaresTheRecords) {
  Sandbox dir;
  dir.write("data.txt", "abc\nabcdefgh\n");
  ASSERT_EQ(pack(dir, {"--keep", "--lf", "--output=o.txt", "data.txt"}).status, 0);
  EXPECT_EQ(dir.read("manager.txt"), "2\n0\n101\n-#\n0\n0\nbinary.tmp\no.txt\n-LF\n0\n0\n-y\n0\n");
  EXPECT_EQ(dir.read("binary.tmp").size(), 2u * 101u);
}

// ------------------------------------------------------------ against a model

// A model of the order zelto gives packed lines: keys compared as the key
// kind says, equal keys by line number, everything reversed for descending;
// unique keeps the first line of each run of equal key bytes (phrases lower
// case with --ignore-case).
struct ModelLine {
  std::string text;
  int number;
  std::string phrase;           // the first PHRASE_KEY_LIMIT bytes
  std::vector<long long> ints;  // twenty words, zero-padded
  std::vector<double> doubles;  // ten values, zero-padded
};

std::string folded(std::string s) {
  for (char& c : s) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return s;
}

struct ModelCase {
  std::string kind;  // phrase, int, double
  bool reverse;
  bool unique;
  bool ignore_case;
};

void PrintTo(const ModelCase& c, std::ostream* os) {
  *os << c.kind << (c.reverse ? " reverse" : "") << (c.unique ? " unique" : "")
      << (c.ignore_case ? " ignore-case" : "");
}

// Random lines with many repeated keys: words of mixed case, long lines that
// share their first 79 bytes, and leading numbers from a small range.
std::vector<std::string> random_lines(const std::string& kind, unsigned seed) {
  std::mt19937 random(seed);
  const auto pick = [&](int n) { return static_cast<int>(random() % static_cast<unsigned>(n)); };
  const std::vector<std::string> words = {"pear", "Pear", "PEAR", "apple", "Apple", "fig",
                                          "a",    "b",    "B",    "zz",    "Zz",    "m n"};
  std::vector<std::string> lines;
  for (int i = 0; i < 1500; ++i) {
    std::string line;
    if (kind == "phrase") {
      line = words[pick(words.size())];
      if (pick(4) == 0) line += " " + words[pick(words.size())];
      if (pick(8) == 0) line = std::string(PHRASE_KEY_LIMIT - 1, 'q') + line;  // beyond the limit
    } else if (kind == "int") {
      const int count = 1 + pick(3);
      for (int n = 0; n < count; ++n) line += std::to_string(pick(7) - 3) + " ";
      line += words[pick(words.size())];
    } else {
      const int count = 1 + pick(3);
      for (int n = 0; n < count; ++n) {
        char number[32];
        std::snprintf(number, sizeof number, pick(2) == 0 ? "%g " : "%e ", (pick(13) - 6) / 4.0);
        line += number;
      }
      line += words[pick(words.size())];
    }
    lines.push_back(line);
  }
  return lines;
}

std::vector<ModelLine> model_lines(const std::vector<std::string>& lines) {
  std::vector<ModelLine> model;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    ModelLine m{lines[i], static_cast<int>(i + 1), lines[i].substr(0, PHRASE_KEY_LIMIT), {}, {}};
    std::istringstream in(lines[i]);
    std::string field;
    while (in >> field) {
      char* end = nullptr;
      const double d = std::strtod(field.c_str(), &end);
      if (*end != '\0') break;
      m.doubles.push_back(d);
      m.ints.push_back(std::strtoll(field.c_str(), nullptr, 10));
    }
    m.ints.resize(20, 0);
    m.doubles.resize(10, 0.0);
    model.push_back(m);
  }
  return model;
}

std::string model_order(const std::vector<std::string>& lines, const ModelCase& c) {
  std::vector<ModelLine> model = model_lines(lines);
  // -1, 0 or 1 for the keys alone; 0 means the key bytes are equal.
  const auto key_order = [&](const ModelLine& a, const ModelLine& b) -> int {
    if (c.kind == "int") return a.ints < b.ints ? -1 : (b.ints < a.ints ? 1 : 0);
    if (c.kind == "double") return a.doubles < b.doubles ? -1 : (b.doubles < a.doubles ? 1 : 0);
    if (c.ignore_case) {
      const int f = folded(a.phrase).compare(folded(b.phrase));
      if (f != 0) return f < 0 ? -1 : 1;
      // --unique makes the keys themselves lower case.
      if (c.unique) return 0;
    }
    const int e = a.phrase.compare(b.phrase);
    return e < 0 ? -1 : (e > 0 ? 1 : 0);
  };
  std::sort(model.begin(), model.end(), [&](const ModelLine& a, const ModelLine& b) {
    int order = key_order(a, b);
    if (order == 0) order = a.number < b.number ? -1 : 1;
    return c.reverse ? order > 0 : order < 0;
  });
  std::string out;
  const ModelLine* previous = nullptr;
  for (const ModelLine& m : model) {
    const bool same_key = previous != nullptr && key_order(*previous, m) == 0;
    if (!(c.unique && same_key)) out += m.text + "\n";
    previous = &m;
  }
  return out;
}

class PackModel : public ::testing::TestWithParam<ModelCase> {};

TEST_P(PackModel, RandomLinesComeOutAsTheModelOrdersThem) {
  const ModelCase& c = GetParam();
  const std::vector<std::string> lines = random_lines(c.kind, 20261208);
  std::string input;
  for (const std::string& line : lines) input += line + "\n";
  Sandbox dir;
  dir.write("data.txt", input);
  std::vector<std::string> arguments = {"--key=" + c.kind};
  if (c.reverse) arguments.push_back("--reverse");
  if (c.unique) arguments.push_back("--unique");
  if (c.ignore_case) arguments.push_back("--ignore-case");
  arguments.push_back("data.txt");
  const RunResult o = pack_then_arrange(dir, arguments);
  ASSERT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, model_order(lines, c));
}

std::vector<ModelCase> every_model_case() {
  std::vector<ModelCase> cases;
  for (const std::string kind : {"phrase", "int", "double"}) {
    for (const bool reverse : {false, true}) {
      for (const bool unique : {false, true}) {
        cases.push_back({kind, reverse, unique, false});
        if (kind == "phrase") cases.push_back({kind, reverse, unique, true});
      }
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(KeyKindsAndOptions, PackModel, ::testing::ValuesIn(every_model_case()),
                         [](const ::testing::TestParamInfo<ModelCase>& info) {
                           const ModelCase& c = info.param;
                           return c.kind + (c.reverse ? "Reverse" : "") +
                                  (c.unique ? "Unique" : "") + (c.ignore_case ? "IgnoreCase" : "");
                         });

// ------------------------------------------------------------ against sort

// zelto-pack's short options mean what they mean to sort: on text such as
// /etc/passwd, `ls -l` output, CSV and words, the order is that of
// `LC_ALL=C sort -s` with the matching key, and CR LF lines come back as
// they were.
struct SortCase {
  std::string name;
  std::string input;
  std::vector<std::string> pack_options;
  std::string sort_options;
};

void PrintTo(const SortCase& c, std::ostream* os) {
  *os << c.name;
}

class PackMatchesSort : public ::testing::TestWithParam<SortCase> {};

TEST_P(PackMatchesSort, SameOrderAsSort) {
  SKIP_WITHOUT_POSIX("sort(1)");
  const SortCase& c = GetParam();
  Sandbox dir;
  dir.write("data.txt", c.input);
  std::vector<std::string> arguments = c.pack_options;
  arguments.push_back("data.txt");
  // Into a file, which gets the input's line ends back (CR LF for the CSV).
  const RunResult packed = pack_then_arrange(dir, arguments, {"-o", "out.txt"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  const RunResult sorted = dir.run_script("LC_ALL=C sort " + c.sort_options + " data.txt");
  ASSERT_EQ(sorted.status, 0) << sorted.err;
  EXPECT_EQ(dir.read("out.txt"), sorted.out);
}

std::string passwd_like() {
  std::mt19937 random(7);
  std::string text;
  for (int i = 0; i < 300; ++i) {
    const auto uid = random() % 120 * (i % 3 == 0 ? 1000 : 1);  // repeated ids too
    text += "user" + std::to_string(i) + ":x:" + std::to_string(uid) + ":" +
            std::to_string(random() % 50) + ":User " + std::to_string(i) + ":/home/u" +
            std::to_string(i) + ":/bin/sh\n";
  }
  return text;
}

// A header, then entries with sizes, some equal, and a blank line.
std::string listing_like() {
  std::mt19937 random(11);
  std::string text = "total 123456\n";
  for (int i = 0; i < 300; ++i) {
    text += "-rwxr-xr-x 1 root root " + std::to_string(1 + random() % 90000 * (i % 4)) +
            " Jan  1  2026 prog" + std::to_string(i) + "\n";
    if (i == 150) text += "\n";
  }
  return text;
}

std::string csv_like() {
  const std::vector<std::string> towns = {"Oslo", "Lima", "Quito", "Rome", "Baku", "", "Apia"};
  std::mt19937 random(13);
  std::string text;
  for (int i = 0; i < 200; ++i) {
    text += std::to_string(i) + "," + towns[random() % towns.size()] + "," +
            std::to_string(static_cast<int>(random() % 2000) - 1000) + "." +
            std::to_string(random() % 100) + "\r\n";
  }
  return text;
}

std::string words_like() {
  const std::vector<std::string> words = {"pear", "Pear", "apple", "APPLE", "Apple", "fig",
                                          "Fig",  "kiwi", "lime",  "Lime",  "b",     "B"};
  std::mt19937 random(17);
  std::string text;
  for (int i = 0; i < 200; ++i) text += words[random() % words.size()] + "\n";
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    RealText, PackMatchesSort,
    ::testing::Values(SortCase{"PasswdByUid", passwd_like(), {"-t:", "-k3", "-n"}, "-t: -k3,3n -s"},
                      SortCase{"PasswdByGidUnique",
                               passwd_like(),
                               {"-t", ":", "-k", "4", "-n", "-u"},
                               "-t: -k4,4n -u"},
                      SortCase{"PasswdByHome", passwd_like(), {"-t:", "-k6"}, "-t: -k6,6 -s"},
                      SortCase{
                          "ListingBySize", listing_like(), {"-k5", "-n", "--lenient"}, "-k5,5n -s"},
                      SortCase{"CsvByTown", csv_like(), {"-t,", "-k2"}, "-t, -k2,2 -s"},
                      SortCase{"CsvByAmount", csv_like(), {"-t,", "-k3", "-g"}, "-t, -k3,3g -s"},
                      SortCase{"Words", words_like(), {}, "-s"},
                      SortCase{"WordsUnique", words_like(), {"-u"}, "-u"},
                      SortCase{"WordsIgnoringCaseUnique", words_like(), {"-f", "-u"}, "-f -u"}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return info.param.name; });

// ------------------------------------------------------------ failures

struct FailureCase {
  std::string name;
  std::string input;
  std::vector<std::string> options;
  int status;
  std::string err;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
  *os << c.name;
}

class PackFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(PackFailure, ReportsAndWritesNothing) {
  const FailureCase& c = GetParam();
  Sandbox dir;
  dir.write("data.txt", c.input);
  const RunResult o = pack(dir, c.options);
  EXPECT_EQ(o.status, c.status);
  EXPECT_EQ(o.err, c.err);
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(dir.files(), std::vector<std::string>{"data.txt"});
}

const std::string TRY_HELP = "Try 'zelto-pack --help' for more information.\n";

INSTANTIATE_TEST_SUITE_P(
    Errors, PackFailure,
    ::testing::Values(
        FailureCase{
            "NotAnInteger",
            "1\n2\nthree 3\n",
            {"--key=int", "data.txt"},
            1,
            "zelto-pack: data.txt:3: not an integer: 'three' (--lenient sorts such lines first)\n"},
        FailureCase{"IntegerOutOfRange",
                    "1\n4294967296\n",
                    {"--key=int", "data.txt"},
                    1,
                    "zelto-pack: data.txt:2: integer out of the 32-bit range: '4294967296' "
                    "(try --key=double)\n"},
        FailureCase{"NegativeOutOfRange",
                    "-2147483649\n",
                    {"--key=int", "data.txt"},
                    1,
                    "zelto-pack: data.txt:1: integer out of the 32-bit range: '-2147483649' "
                    "(try --key=double)\n"},
        FailureCase{
            "NoNumber",
            "1.5\n\n",
            {"--key=double", "data.txt"},
            1,
            "zelto-pack: data.txt:2: no number on the line (--lenient sorts such lines first)\n"},
        FailureCase{"NaN",
                    "nan\n",
                    {"--key=double", "data.txt"},
                    1,
                    "zelto-pack: data.txt:1: NaN cannot be ordered: 'nan' (--lenient sorts such "
                    "lines first)\n"},
        FailureCase{"MissingField",
                    "a 1\nb\n",
                    {"--key=int", "--field=2", "data.txt"},
                    1,
                    "zelto-pack: data.txt:2: field 2 missing (the line has 1 field)"
                    " (--lenient sorts such lines first)\n"},
        FailureCase{"NulByte",
                    std::string("ok\na\0b\n", 7),
                    {"data.txt"},
                    1,
                    "zelto-pack: data.txt:2: the line holds a NUL byte, which a record's text "
                    "cannot carry\n"},
        FailureCase{"LineTooLongForRecordSize",
                    "short\n" + std::string(10, 'x') + "\n",
                    {"--record-size=100", "data.txt"},
                    1,
                    "zelto-pack: data.txt:2: the line needs a record of 103 bytes; "
                    "--record-size=100 is too small\n"},
        FailureCase{"MissingInput",
                    "",
                    {"nosuch.txt"},
                    1,
                    "zelto-pack: nosuch.txt: No such file or directory\n"},
        FailureCase{"UnknownOption",
                    "",
                    {"--sort"},
                    2,
                    "zelto-pack: unrecognized option '--sort'\n" + TRY_HELP},
        FailureCase{"BadKeyKind",
                    "",
                    {"--key=float"},
                    2,
                    "zelto-pack: invalid key kind 'float' (phrase, int or double)\n" + TRY_HELP},
        FailureCase{"TwoInputs",
                    "",
                    {"a", "b"},
                    2,
                    "zelto-pack: extra operand 'b' (one input file at most)\n" + TRY_HELP},
        FailureCase{"LenientKeepsOutOfRangeAnError",
                    "x\n3000000000\n",
                    {"-n", "--lenient", "data.txt"},
                    1,
                    "zelto-pack: data.txt:2: integer out of the 32-bit range: '3000000000' "
                    "(try --key=double)\n"},
        FailureCase{"SortKeyDefinition",
                    "",
                    {"-t:", "-k3,3n", "data.txt"},
                    2,
                    "zelto-pack: invalid field list '3,3n' (field numbers from 1, separated by "
                    "commas; the key kind is -n, -g or --key)\n" +
                        TRY_HELP},
        FailureCase{"LongSeparator",
                    "",
                    {"--field-separator=::", "data.txt"},
                    2,
                    "zelto-pack: the field separator must be one byte, not '::'\n" + TRY_HELP},
        FailureCase{"UnknownShortOption",
                    "",
                    {"-b", "data.txt"},
                    2,
                    "zelto-pack: invalid option -- 'b'\n" + TRY_HELP},
        FailureCase{"SmallRecordSize",
                    "",
                    {"--record-size=64"},
                    2,
                    "zelto-pack: invalid record size '64' (92 to 2147483647)\n" + TRY_HELP}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

TEST(PackFailures, StandardInputIsNamedInMessages) {
  Sandbox dir;
  dir.write("in", "x\n");
  const RunResult o = pack(dir, {"--key=double"}, "in");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(
      o.err,
      "zelto-pack: (standard input):1: not a number: 'x' (--lenient sorts such lines first)\n");
}

TEST(PackFailures, FailedWriteRemovesBothFiles) {
  SKIP_WITHOUT_POSIX("/dev/full");
  Sandbox dir;
  dir.write("data.txt", "a\n");
  std::filesystem::create_symlink("/dev/full", dir.path("binary.tmp"));
  const RunResult o = pack(dir, {"data.txt"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "zelto-pack: binary.tmp: No space left on device\n");
  EXPECT_EQ(dir.files(), std::vector<std::string>{"data.txt"});
}

TEST(PackFailures, DataErrorLeavesEarlierFilesAlone) {
  Sandbox dir;
  dir.write("data.txt", "x\n");
  dir.write("binary.tmp", "old");
  dir.write("manager.txt", "old");
  EXPECT_EQ(pack(dir, {"--key=int", "data.txt"}).status, 1);
  EXPECT_EQ(dir.read("binary.tmp"), "old");
  EXPECT_EQ(dir.read("manager.txt"), "old");
}

TEST(PackGuide, HelpAndVersionGoToStandardOutput) {
  Sandbox dir;
  RunResult o = pack(dir, {"--help"});
  EXPECT_EQ(o.status, 0);
  EXPECT_TRUE(o.out.starts_with("Usage: zelto-pack [OPTION]... [FILE]\n")) << o.out;
  EXPECT_EQ(o.err, "");
  o = pack(dir, {"--version"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "zelto-pack 1.022\n");
  EXPECT_TRUE(dir.files().empty());
}

}  // namespace
}  // namespace zelto::testing
