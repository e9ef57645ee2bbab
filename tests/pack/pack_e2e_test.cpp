// End-to-end tests: `zelto-pack` turns a text file into records and a
// parameter file, then `zelto` arranges them; the lines must come out in the
// expected order.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
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

// True where the commands run under an emulator of another architecture:
// there zelto-pack cannot start the emulated zelto itself, and sort(1) is
// the host's, whose long doubles (x86's 64-bit significand) order general
// numbers otherwise than the emulated system's own sort would.
#ifdef ZELTO_PACK_E2E_EMULATED
constexpr bool EMULATED = true;
#else
constexpr bool EMULATED = false;
#endif

#define SKIP_WHEN_EMULATED(reason) \
  if (EMULATED) GTEST_SKIP() << "needs " << reason << ", which the emulator lacks"

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
        // Descending as sort -r -s: equal lines still in input order.
        OrderCase{"PhraseReverseEqualLinesInInputOrder",
                  "b\na\nb\n",
                  {"--reverse", "--numbered"},
                  "1:b\n3:b\n2:a\n"},
        OrderCase{"PhraseIgnoreCase",
                  FRUIT,
                  {"--ignore-case"},
                  "Apple\napple\nbanana\nbanana\nCherry\npear\n"},
        OrderCase{"PhraseIgnoreCaseReverse",
                  FRUIT,
                  {"--ignore-case", "--reverse"},
                  "pear\nCherry\nbanana\nbanana\nApple\napple\n"},
        OrderCase{"PhraseUnique",
                  FRUIT,
                  {"--unique", "--numbered"},
                  "2:Apple\n5:Cherry\n4:apple\n3:banana\n1:pear\n"},
        OrderCase{"PhraseField",
                  "x 3 carol\ny 1 alice\nz 2 bob\n",
                  {"--field=3,3"},
                  "y 1 alice\nz 2 bob\nx 3 carol\n"},
        OrderCase{"PhraseFieldsJoined",
                  "ann smith\nbob jones\nal smith\n",
                  {"-k2,2", "-k1,1"},
                  "bob jones\nal smith\nann smith\n"},
        // Only the first 79 bytes key a line; lines equal there keep their order.
        OrderCase{"PhraseLongLinesCutToTheKeyArea",
                  std::string(PHRASE_KEY_LIMIT, 'k') + "z\n" + std::string(PHRASE_KEY_LIMIT, 'k') +
                      "a\n" + std::string(PHRASE_KEY_LIMIT - 1, 'k') + "a\n",
                  {},
                  std::string(PHRASE_KEY_LIMIT - 1, 'k') + "a\n" +
                      std::string(PHRASE_KEY_LIMIT, 'k') + "z\n" +
                      std::string(PHRASE_KEY_LIMIT, 'k') + "a\n",
                  "zelto-pack: warning: 2 keys cut to the 79 bytes of the key area: lines whose "
                  "keys agree that far keep their input order\n"},
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
                  {"--key=int", "-k3", "-k2,2"},
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
                  {"--key=double", "-k2", "-k3"},
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
                  {"-t:", "-k3", "--key=int", "--lenient"},
                  "sys:x::\nroot:x:0:0\nal:x:33:33\nbob:x:1000:1000\n",
                  "zelto-pack: 1 line without a number in the key sorted first (--lenient)\n"},
        OrderCase{
            "SeparatorEmptyFieldsCount", "b,,2\na,,1\n", {"-t", ",", "-k", "3"}, "a,,1\nb,,2\n"},
        OrderCase{
            "ShortReverseUniqueDouble", "1.5 a\n2 b\n1.50 c\n", {"-g", "-r", "-u"}, "2 b\n1.5 a\n"},
        OrderCase{"LenientLinesFirstInInputOrder",
                  "total 12\n-rw 1 a b 300 x\n-rw 1 a b 20 y\n\nd 1 a b\n",
                  {"-k5", "--key=int", "--lenient"},
                  "total 12\n\nd 1 a b\n-rw 1 a b 20 y\n-rw 1 a b 300 x\n",
                  "zelto-pack: 3 lines without a number in the key sorted first (--lenient)\n"},
        OrderCase{"LenientDoubles",
                  "2.5\nn/a\n-inf\n",
                  {"--key=double", "--lenient"},
                  "n/a\n-inf\n2.5\n",
                  "zelto-pack: 1 line without a number in the key sorted first (--lenient)\n"},
        OrderCase{"LenientReverseLast",
                  "x\n1\ny\n",
                  {"--key=int", "-r", "--lenient"},
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
// kind says, equal keys by line number. Number keys: everything reversed
// for descending. Phrases (upper case with --ignore-case): descending keys
// with equal ones in input order, their bytes reversed and ended, as sort
// -r -s orders them when the whole line fits the key. Unique keeps the
// first line of each run of equal key bytes.
struct ModelLine {
  std::string text;
  int number;
  std::string phrase;           // the first PHRASE_KEY_LIMIT bytes
  std::vector<long long> ints;  // twenty words, zero-padded
  std::vector<double> doubles;  // ten values, zero-padded
};

// The phrase bytes zelto compares for a line: its first 79 bytes, or for
// descending order the line ended by 01 01, each byte b as 256 - b.
std::string phrase_of(std::string line, const bool fold, const bool reverse) {
  for (char& c : line) {
    if (fold && c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  if (reverse) {
    line += "\x01\x01";
    for (char& c : line) c = static_cast<char>(256 - static_cast<unsigned char>(c));
  }
  return line.substr(0, PHRASE_KEY_LIMIT);
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
    ModelLine m{lines[i], static_cast<int>(i + 1), lines[i], {}, {}};
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
    const int e = phrase_of(a.phrase, c.ignore_case, c.reverse)
                      .compare(phrase_of(b.phrase, c.ignore_case, c.reverse));
    return e < 0 ? -1 : (e > 0 ? 1 : 0);
  };
  const bool descending = c.reverse && c.kind != "phrase";
  std::sort(model.begin(), model.end(), [&](const ModelLine& a, const ModelLine& b) {
    int order = key_order(a, b);
    if (order == 0) order = a.number < b.number ? -1 : 1;
    return descending ? order > 0 : order < 0;
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

// zelto-pack's options that sort has mean what they mean to sort: on text
// such as /etc/passwd, `ls -l` and `ps aux` output, CSV, words and numbers
// of every form, the lines come out in the order of `LC_ALL=C sort -s` with
// the same options, and CR LF lines come back as they were; where the key
// area cannot hold a key, a warning says so.
struct SortCase {
  std::string name;
  std::string input;
  std::vector<std::string> options;
  // The warning zelto-pack gives; a warned case need not match sort.
  std::string warning = "";
};

void PrintTo(const SortCase& c, std::ostream* os) {
  *os << c.name;
}

class PackMatchesSort : public ::testing::TestWithParam<SortCase> {};

TEST_P(PackMatchesSort, SameOrderAsSort) {
  SKIP_WITHOUT_POSIX("sort(1)");
  const SortCase& c = GetParam();
  // Numbers beyond a double's precision, which long doubles may still part.
  if (c.name.rfind("NumbersGeneral", 0) == 0) {
    SKIP_WHEN_EMULATED("a sort of the emulated architecture");
  }
  Sandbox dir;
  dir.write("data.txt", c.input);
  std::vector<std::string> arguments = c.options;
  arguments.push_back("data.txt");
  // Into a file, which gets the input's line ends back (CR LF for the CSV).
  const RunResult packed = pack_then_arrange(dir, arguments, {"-o", "out.txt"});
  ASSERT_EQ(packed.status, 0) << packed.err;
  EXPECT_EQ(packed.err, c.warning.empty() ? "" : "zelto-pack: warning: " + c.warning + "\n");
  if (!c.warning.empty()) return;
  std::string sort = "LC_ALL=C sort -s";
  for (const std::string& a : arguments) sort.append(" ").append(shell_quote(a));
  const RunResult sorted = dir.run_script(sort);
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

// Lines like `ps aux`: %CPU and %MEM with decimals, and a header.
std::string processes_like() {
  std::mt19937 random(19);
  std::string text = "USER PID %CPU %MEM COMMAND\n";
  for (int i = 0; i < 200; ++i) {
    text += "user" + std::to_string(random() % 5) + " " + std::to_string(100 + random() % 9000) +
            " " + std::to_string(random() % 20) + "." + std::to_string(random() % 10) + " " +
            std::to_string(random() % 3) + ".0 cmd" + std::to_string(i) + "\n";
  }
  return text;
}

// Numbers in every form that sort -n and -g read: decimals, units, signs,
// no number, beyond 32 bits, hexadecimal, exponents, blanks before them.
const std::string NUMBER_FORMS =
    "0.2\n7/tcp\n12abc\n99999999999\n\nabc\n-5\n-0\n0\n.5\n-.5\n1e3\n 3\n10\n9\n-10\n0.20\n007\n"
    "-0.001\n1.5.5\n+5\n- 3\n-\n100000000000000000000000000001\n100000000000000000000000000000\n"
    "0x1A\n-inf\ninf\n1e-5\n\t42\n-99999999999.5\n3\n";

const std::string PUNCTUATION = "[a\n\\b\n]c\n^d\n_e\n`f\nA\na\nZ\nz\n{x\nB b\nb B\n_E\n";

INSTANTIATE_TEST_SUITE_P(
    RealText, PackMatchesSort,
    ::testing::Values(
        SortCase{"PasswdByUid", passwd_like(), {"-t:", "-k3,3n"}},
        SortCase{"PasswdByGidUnique", passwd_like(), {"-t", ":", "-k", "4,4n", "-u"}},
        SortCase{"PasswdByHome", passwd_like(), {"-t:", "-k6"}},
        SortCase{"PasswdByShellThenUidReverse", passwd_like(), {"-t:", "-k7,7", "-k3,3nr"}},
        SortCase{"ListingBySize", listing_like(), {"-k5,5n"}},
        SortCase{"ListingBySizeReverse", listing_like(), {"-k5,5nr"}},
        SortCase{"ListingBySizeReverseUnique", listing_like(), {"-k5,5n", "-r", "-u"}},
        SortCase{"ListingFromTheSizeOn", listing_like(), {"-n", "-k5"}},
        SortCase{"ProcessesByCpu", processes_like(), {"-k3,3nr"}},
        SortCase{"ProcessesByUserThenMemory", processes_like(), {"-k1,1", "-k4,4g"}},
        SortCase{"CsvByTown", csv_like(), {"-t,", "-k2,2"}},
        SortCase{"CsvByAmount", csv_like(), {"-t,", "-k3,3g"}},
        SortCase{"CsvByAmountNumeric", csv_like(), {"-t,", "-k3n"}},
        SortCase{"CsvWholeLinesReverse", csv_like(), {"-r"}}, SortCase{"Words", words_like(), {}},
        SortCase{"WordsUnique", words_like(), {"-u"}},
        SortCase{"WordsReverseUnique", words_like(), {"-r", "-u"}},
        SortCase{"WordsIgnoringCase", words_like(), {"-f"}},
        SortCase{"WordsIgnoringCaseUnique", words_like(), {"-f", "-u"}},
        SortCase{"WordsIgnoringCaseReverseUnique", words_like(), {"-f", "-r", "-u"}},
        SortCase{"NumbersNumeric", NUMBER_FORMS, {"-n"}},
        SortCase{"NumbersNumericReverse", NUMBER_FORMS, {"-n", "-r"}},
        SortCase{"NumbersNumericUnique", NUMBER_FORMS, {"-n", "-u"}},
        SortCase{"NumbersNumericReverseUnique", NUMBER_FORMS, {"-nru"}},
        SortCase{"NumbersGeneral", NUMBER_FORMS, {"-g"}},
        SortCase{"NumbersGeneralReverseUnique", NUMBER_FORMS, {"-g", "-r", "-u"}},
        SortCase{"NanKeysEqualThenTheNextKey",
                 "nan 2\n-nan 9\nnan 1\n3 0\nx 5\n-nan 1\n",
                 {"-k1,1g", "-k2,2n"}},
        SortCase{"NanKeysReverse", "nan 2\n-nan 9\nnan 1\n3 0\nx 5\n", {"-g", "-r"}},
        SortCase{"NanKeysUniqueWarned",
                 "nan 2\nnan 1\n3 0\n",
                 {"-g", "-u"},
                 "2 lines with NaN in a -g key: NaNs of one sign are one key, so --unique keeps "
                 "the first of them, where sort -u may keep several"},
        SortCase{"OnlyTheFirstNumberCounts", "0 103\n0 11\n1 2\n0 2 x\n0 103 5\n", {"-n"}},
        SortCase{"SeveralNumericKeys", "0 103\n0 11\n1 2\n0 2 x\n0 103 5\n", {"-k1,1n", "-k2,2n"}},
        SortCase{"PunctuationIgnoringCase", PUNCTUATION, {"-f"}},
        SortCase{"PunctuationIgnoringCaseUnique", PUNCTUATION, {"-f", "-u"}},
        SortCase{"PunctuationBytes", PUNCTUATION, {}},
        SortCase{"LeadingBlanksCount", "a  3\nb 2\nc   1\nd 2\n\te 0\n", {"-k2"}},
        SortCase{"LeadingBlanksSkipped", "a  3\nb 2\nc   1\nd 2\n\te 0\n", {"-k2b"}},
        SortCase{"LeadingBlanksSkippedGlobally", "a  3\nb 2\nc   1\nd 2\n\te 0\n", {"-b", "-k2,2"}},
        SortCase{
            "CharacterPositions", "abc def\nabd dzz\nxbc aaa\nabc dda\n", {"-k1.2,1.3", "-k2.2"}},
        SortCase{"CharacterPositionsSkippingBlanks", "x   9b\ny 8a\nz  7c\n", {"-k2.2b,2.2"}},
        SortCase{"KeyLettersOfTheirOwn", passwd_like(), {"-t:", "-r", "-k4,4n", "-k1,1"}},
        SortCase{"LongLinesWarned",
                 std::string(80, 'x') + "b\n" + std::string(80, 'x') + "a\n",
                 {},
                 "2 keys cut to the 79 bytes of the key area: lines whose keys agree that far "
                 "keep their input order"},
        SortCase{"LongNumbersWarned",
                 std::string(200, '9') + "8\n" + std::string(200, '9') + "7\n",
                 {"-n"},
                 "2 keys cut to the 79 bytes of the key area: lines whose keys agree that far "
                 "keep their input order"}),
    [](const ::testing::TestParamInfo<SortCase>& info) { return info.param.name; });

// ------------------------------------------------------------ inputs and --sort

// Several inputs, standard input among them, are read in turn, as sort
// reads them; with --sort the lines come out as sort writes them.
struct InputsCase {
  std::string name;
  Tree files;
  std::vector<std::string> arguments;
  // Standard input: the file of this name in the directory.
  std::string stdin_name = "";
};

TEST(PackInputs, SeveralInputsAreOneText) {
  SKIP_WHEN_EMULATED("zelto started by zelto-pack");
  const Tree files = {{"a.txt", "b 2\nd 1"}, {"b.txt", "a 2\r\nc 3\n"}, {"in", "e 0\nb 2\n"}};
  const std::vector<InputsCase> cases = {
      {"TwoFiles", files, {"a.txt", "b.txt"}},
      {"TwoFilesNumeric", files, {"-k2,2n", "b.txt", "a.txt"}},
      {"StandardInputBetween", files, {"-r", "a.txt", "-", "b.txt"}, "in"},
      {"StandardInputAlone", files, {"-u", "-k2n"}, "in"},
      {"SameFileTwice", files, {"-u", "a.txt", "a.txt"}},
  };
  for (const InputsCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox dir;
    dir.lay_out(c.files);
    std::string sort = "LC_ALL=C sort -s";
    for (const std::string& a : c.arguments) sort.append(" ").append(shell_quote(a));
    const RunResult expected = dir.run_script(sort, c.stdin_name);
    ASSERT_EQ(expected.status, 0) << expected.err;
    std::vector<std::string> sorted = c.arguments;
    sorted.insert(sorted.begin(), "--sort");
    const RunResult o = pack(dir, sorted, c.stdin_name);
    EXPECT_EQ(o.status, 0) << o.err;
    EXPECT_EQ(o.err, "");
    EXPECT_EQ(o.out, expected.out);
    // The two steps give the lines too, with LF ends on standard output.
    const RunResult two_steps = pack_then_arrange(dir, c.arguments, {}, c.stdin_name);
    std::string without_cr = expected.out;
    std::erase(without_cr, '\r');
    EXPECT_EQ(two_steps.out, without_cr);
  }
}

TEST(PackInputs, MessagesNameTheInputAndItsLine) {
  Sandbox dir;
  dir.lay_out({{"a.txt", "1\n2"}, {"b.txt", "3\nx\n"}});
  const RunResult o = pack(dir, {"--key=int", "a.txt", "b.txt"});
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "zelto-pack: b.txt:2: not an integer: 'x' (--lenient sorts such lines first)\n");
  EXPECT_EQ(pack(dir, {"a.txt", "missing.txt"}).err,
            "zelto-pack: missing.txt: No such file or directory\n");
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST(PackInputs, DirectoryOptionWritesThePairThere) {
  Sandbox dir;
  dir.write("data.txt", "b\na\n");
  dir.make_directory("jobs/1");
  ASSERT_EQ(pack(dir, {"-C", "jobs/1", "data.txt"}).status, 0);
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"data.txt", "jobs"}));
  EXPECT_EQ(dir.run_script("cd jobs/1 && " + command_line(binary_path(), {})).out, "a\nb\n");
  EXPECT_EQ(pack(dir, {"--directory=nowhere", "data.txt"}).err,
            "zelto-pack: nowhere/binary.tmp: No such file or directory\n");
}

// The environment in which --sort makes its directory inside the sandbox,
// where the test can see what is left.
std::string private_tmpdir(const Sandbox& dir) {
  return "TMPDIR=" + shell_quote(dir.path("tmp").string()) + " ";
}

TEST(PackSort, SortsInOneCommandAndLeavesNothing) {
  SKIP_WHEN_EMULATED("zelto started by zelto-pack");
  Sandbox dir;
  dir.make_directory("tmp");
  dir.write("in", "3\n1\n2\n");
  RunResult o = dir.run_script(
      private_tmpdir(dir) + command_line(pack_binary_path(), {"--sort", "-n"}), "in");
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "1\n2\n3\n");
  o = dir.run_script(private_tmpdir(dir) +
                     command_line(pack_binary_path(), {"--sort", "-nr", "-o", "out.txt", "in"}));
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "");
  EXPECT_EQ(dir.read("out.txt"), "3\n2\n1\n");
  // -o may name the input: it is read in full first.
  o = dir.run_script(private_tmpdir(dir) +
                     command_line(pack_binary_path(), {"--sort", "-o", "in", "in"}));
  EXPECT_EQ(dir.read("in"), "1\n2\n3\n");
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"in", "out.txt", "tmp"}));
  EXPECT_TRUE(std::filesystem::is_empty(dir.path("tmp")));
}

// A failed --sort leaves the -o file as it was (in `sort -o f f` it is the
// input), and a relative TMPDIR is found although zelto runs elsewhere;
// through zelto-sort (sort's own options) and through zelto (an option of
// zelto-pack's own, such as --record-size).
TEST(PackSort, FailureLeavesTheOutputFileAsItWas) {
  SKIP_WHEN_EMULATED("zelto started by zelto-pack");
  const std::string THROUGH_ZELTO = "--record-size=200 ";
  struct Case {
    const char* name;
    std::string environment;
    std::string options;
    int status;
    std::string in_after;
  };
  const Case cases[] = {
      {"zelto refuses its budget", "ZELTO_MEMORY=lots ", THROUGH_ZELTO, 1, "b\na\n"},
      {"no zelto to run", "PATH=/nonexistent ", THROUGH_ZELTO, 1, "b\na\n"},
      {"relative TMPDIR for zelto", "TMPDIR=tmp ", THROUGH_ZELTO, 0, "a\nb\n"},
      {"zelto-sort refuses its budget", "ZELTO_MEMORY=lots ", "", 2, "b\na\n"},
      {"no zelto-sort to run", "PATH=/nonexistent ", "", 1, "b\na\n"},
      {"relative TMPDIR for zelto-sort", "TMPDIR=tmp ", "", 0, "a\nb\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox dir;
    dir.make_directory("tmp");
    dir.make_directory("bin");
    dir.write("in", "b\na\n");
    std::filesystem::copy_file(pack_binary_path(), dir.path("bin/zelto-pack"));
    // A copy with nothing beside it, so that PATH decides.
    const std::string copy = dir.path("bin/zelto-pack").string();
    const std::string programs = std::filesystem::path(binary_path()).parent_path().string();
    const RunResult o =
        dir.run_script("PATH=" + shell_quote(programs) + ":/usr/bin:/bin " + c.environment +
                       shell_quote(copy) + " --sort " + c.options + "-o in in");
    EXPECT_EQ(o.status, c.status) << o.err;
    EXPECT_EQ(dir.read("in"), c.in_after);
    EXPECT_EQ(dir.files(), (std::vector<std::string>{"bin", "in", "tmp"}));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("tmp")));
  }
}

// With sort's options only, --sort is zelto-sort: the same bytes, messages
// and status, keys past the 79 bytes of a key area and last-resort
// comparisons included; zelto-pack refuses a wrong command line itself.
TEST(PackSort, WithSortsOptionsIsTheTextSort) {
  SKIP_WHEN_EMULATED("zelto-sort started by zelto-pack");
  const std::filesystem::path zelto(binary_path());
  const std::string text_sort =
      (zelto.parent_path() / ("zelto-sort" + zelto.extension().string())).string();
  const std::string wide(100, 'x');
  Sandbox dir;
  dir.write("in", "b 2\na 10\nB 1\na 10\n" + wide + "b\n" + wide + "a\n-3 q\n\n");
  const std::vector<std::vector<std::string>> option_sets = {{},
                                                             {"-n"},
                                                             {"-k2n"},
                                                             {"-k2,2nr", "-f"},
                                                             {"-f", "-u"},
                                                             {"-t", " ", "-k2"},
                                                             {"-u", "-r"},
                                                             {"-b", "-k2", "-g"},
                                                             {"-k1.2,1.3f"},
                                                             {"-o", "out.txt"},
                                                             {"-k0"},
                                                             {"-n", "-g"}};
  for (const std::vector<std::string>& options : option_sets) {
    std::vector<std::string> packed = {"--sort"};
    packed.insert(packed.end(), options.begin(), options.end());
    packed.push_back("in");
    std::vector<std::string> sorted = options;
    sorted.push_back("in");
    const RunResult p = dir.run_script(command_line(pack_binary_path(), packed));
    const std::string out_by_pack = dir.exists("out.txt") ? dir.read("out.txt") : "";
    const RunResult z = dir.run_script(command_line(text_sort, sorted));
    const std::string out_by_sort = dir.exists("out.txt") ? dir.read("out.txt") : "";
    SCOPED_TRACE(command_line(text_sort, sorted));
    EXPECT_EQ(p.status, z.status);
    EXPECT_EQ(p.out, z.out);
    // A command line that zelto-pack refuses itself is named in its words.
    if (z.status != 2) {
      EXPECT_EQ(p.err, z.err);
    }
    EXPECT_EQ(out_by_pack, out_by_sort);
  }
}

#if defined(ZELTO_PACK_FAULT_PRELOAD) && !defined(_WIN32)
// Started by a relative path where /proc is not mounted, zelto-pack still
// finds the zelto beside it, although zelto runs in another directory.
TEST(PackSort, FindsZeltoBesideItWithoutProc) {
  SKIP_WHEN_EMULATED("zelto started by zelto-pack");
  Sandbox dir;
  dir.make_directory("bin");
  dir.write("in", "b\na\n");
  std::filesystem::copy_file(pack_binary_path(), dir.path("bin/zelto-pack"));
  std::filesystem::copy_file(binary_path(), dir.path("bin/zelto"));
  const RunResult o = dir.run_script(
      "unshare -m true 2>/dev/null || exit 77; "
      "unshare -m sh -c 'umount -l /proc && PATH=/nonexistent exec bin/zelto-pack --sort "
      "--record-size=200 in'");
  if (o.status == 77) GTEST_SKIP() << "no mount namespace here";
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, "a\nb\n");
}
#endif

// Jobs at once in one directory never share a file.
TEST(PackSort, JobsAtOnceInOneDirectory) {
  SKIP_WHEN_EMULATED("zelto started by zelto-pack");
  Sandbox dir;
  std::string lines;
  for (int i = 0; i < 20000; ++i) lines += std::to_string((i * 7919) % 20000) + "\n";
  dir.write("in", lines);
  std::string script;
  for (int job = 0; job < 4; ++job) {
    script += command_line(pack_binary_path(),
                           {"--sort", "-n", "-o", "out" + std::to_string(job), "in"}) +
              " & p" + std::to_string(job) + "=$!; ";
  }
  script += "wait $p0 && wait $p1 && wait $p2 && wait $p3";
  const RunResult o = dir.run_script(script);
  EXPECT_EQ(o.status, 0) << o.err;
  std::string expected;
  for (int i = 0; i < 20000; ++i) expected += std::to_string(i) + "\n";
  for (int job = 0; job < 4; ++job)
    EXPECT_TRUE(dir.read("out" + std::to_string(job)) == expected) << job;
  EXPECT_EQ(dir.files().size(), 5u);
}

#ifndef _WIN32
// zelto is the one beside zelto-pack, else the one on the PATH; an
// interrupted job ends it and removes its directory.
TEST(PackSort, FindsZeltoAndCleansUpWhenInterrupted) {
  SKIP_WHEN_EMULATED("zelto started by zelto-pack");
  Sandbox dir;
  dir.make_directory("tmp");
  dir.make_directory("bin");
  dir.write("in", "b\na\n");
  std::filesystem::copy_file(pack_binary_path(), dir.path("bin/zelto-pack"));
  const std::string copy = dir.path("bin/zelto-pack").string();
  // --record-size, zelto-pack's own, keeps the way through zelto.
  RunResult o = dir.run_script(private_tmpdir(dir) + "PATH=/nonexistent " + shell_quote(copy) +
                               " --sort --record-size=200 in");
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "zelto-pack: zelto: No such file or directory\n");
  // A zelto on the PATH that waits to be ended.
  dir.make_directory("path");
  dir.write("path/zelto", "#!/bin/sh\necho started >&2\nexec sleep 31.5\n");
  std::filesystem::permissions(dir.path("path/zelto"), std::filesystem::perms::owner_all);
  for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal_number);
    // Job control, so that the job does not start with SIGINT ignored.
    o = dir.run_script("set -m; rm -f err; export " + private_tmpdir(dir) +
                       "PATH=" + shell_quote(dir.path("path").string()) + ":/usr/bin:/bin; " +
                       shell_quote(copy) +
                       " --sort --record-size=200 in 2>err & job=$!; "
                       "until [ -s err ]; do sleep 0.05; done; "
                       "ls tmp/*/binary.tmp >/dev/null || exit 9; kill -" +
                       std::to_string(signal_number) + " $job; wait $job");
    EXPECT_EQ(o.status, 128 + signal_number) << o.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path("tmp")));
  }
  EXPECT_EQ(dir.run_script("pgrep -f '[s]leep 31.5' || true").out, "");
}
#endif

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
                    {"--sorted"},
                    2,
                    "zelto-pack: unrecognized option '--sorted'\n" + TRY_HELP},
        FailureCase{"BadKeyKind",
                    "",
                    {"--key=float"},
                    2,
                    "zelto-pack: invalid key kind 'float' (phrase, int or double)\n" + TRY_HELP},
        FailureCase{"SecondInputMissing",
                    "",
                    {"data.txt", "b"},
                    1,
                    "zelto-pack: b: No such file or directory\n"},
        FailureCase{"LenientKeepsOutOfRangeAnError",
                    "x\n3000000000\n",
                    {"--key=int", "--lenient", "data.txt"},
                    1,
                    "zelto-pack: data.txt:2: integer out of the 32-bit range: '3000000000' "
                    "(try --key=double)\n"},
        FailureCase{
            "UnknownKeyLetter",
            "",
            {"-t:", "-k3,3d", "data.txt"},
            2,
            "zelto-pack: invalid key '3,3d' (FIELD[.CHAR][LETTERS][,FIELD[.CHAR][LETTERS]], "
            "fields and characters from 1, letters b f g n r)\n" +
                TRY_HELP},
        FailureCase{"LongSeparator",
                    "",
                    {"--field-separator=::", "data.txt"},
                    2,
                    "zelto-pack: the field separator must be one byte, not '::'\n" + TRY_HELP},
        FailureCase{"UnknownShortOption",
                    "",
                    {"-d", "data.txt"},
                    2,
                    "zelto-pack: invalid option -- 'd'\n" + TRY_HELP},
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

#ifndef _WIN32
// A run that fails or is interrupted while it writes leaves the pair that
// was there before as it was, and none of its own temporary files unless a
// SIGKILL gave it no chance to remove them.
struct OldPairCase {
  std::string name;
  // Shell text put before the zelto-pack command line.
  std::string prefix;
  // What the case needs: "root" (to run zelto-pack as another user) or
  // "preload" (the rename fault seam).
  std::string needs;
  int status;
  std::string err;
  bool temporaries_left = false;
  // Runs after the old pair is laid out, as root, before zelto-pack.
  std::string setup = "";
};

bool can_run(const std::string& needs) {
#ifndef _WIN32
  if (needs == "root") return geteuid() == 0 && std::system("command -v setpriv >/dev/null") == 0;
#endif
#ifdef ZELTO_PACK_FAULT_PRELOAD
  if (needs == "preload") return true;
#endif
  return needs.empty();
}

std::string preload(int signal_number) {
#ifdef ZELTO_PACK_FAULT_PRELOAD
  return "LD_PRELOAD=" + shell_quote(ZELTO_PACK_FAULT_PRELOAD) +
         " ZELTO_PACK_TEST_RENAME_SIGNAL=" + std::to_string(signal_number) + " ";
#else
  (void)signal_number;
  return "";
#endif
}

TEST(PackFailures, OldPairStaysWholeWhenWritingFails) {
  SKIP_WITHOUT_POSIX("a POSIX shell, users and signals");
  const std::string as_nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  const std::vector<OldPairCase> cases = {
      {"ReadOnlyRecordFile", as_nobody, "root", 1, "zelto-pack: binary.tmp: Permission denied\n",
       false, "chmod 0777 . && chmod 0444 binary.tmp"},
      {"ReadOnlyParameterFile", as_nobody, "root", 1,
       "zelto-pack: manager.txt: Permission denied\n", false,
       "chmod 0777 . && chmod 0666 binary.tmp && chmod 0444 manager.txt"},
      {"ReadOnlyDirectory", as_nobody, "root", 1, "zelto-pack: binary.tmp: Permission denied\n",
       false, "chmod 0555 ."},
      {"FileSizeLimit", "trap '' XFSZ; prlimit --fsize=2000 ", "", 1,
       "zelto-pack: binary.tmp: File too large\n"},
      {"TerminatedBeforeTheRename", preload(SIGTERM), "preload", 128 + SIGTERM, ""},
      {"KilledBeforeTheRename", preload(SIGKILL), "preload", 128 + SIGKILL, "", true},
  };
  for (const OldPairCase& c : cases) {
    SCOPED_TRACE(c.name);
    if (!can_run(c.needs)) {
      std::printf("skipped %s: needs %s\n", c.name.c_str(), c.needs.c_str());
      continue;
    }
    Sandbox dir;
    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "line " + std::to_string(i) + "\n";
    dir.write("data.txt", lines);
    dir.write("binary.tmp", "old records");
    dir.write("manager.txt", "old parameters");
    if (!c.setup.empty()) {
      ASSERT_EQ(dir.run_script(c.setup).status, 0);
    }
    const RunResult o = dir.run_script(c.prefix + command_line(pack_binary_path(), {"data.txt"}));
    std::filesystem::permissions(dir.dir(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add);
    EXPECT_EQ(o.status, c.status);
    // After a signal the shell names it; zelto-pack itself says nothing.
    if (c.status > 128) {
      EXPECT_EQ(o.err.find("zelto-pack:"), std::string::npos) << o.err;
    } else {
      EXPECT_EQ(o.err, c.err);
    }
    EXPECT_EQ(dir.read("binary.tmp"), "old records");
    EXPECT_EQ(dir.read("manager.txt"), "old parameters");
    std::vector<std::string> others;
    for (const std::string& name : dir.files()) {
      if (name != "data.txt" && name != "binary.tmp" && name != "manager.txt") {
        others.push_back(name);
      }
    }
    if (!c.temporaries_left) {
      EXPECT_EQ(others, std::vector<std::string>{});
      continue;
    }
    ASSERT_EQ(others.size(), 2u);
    EXPECT_TRUE(others[0].starts_with("binary.tmp.part-")) << others[0];
    EXPECT_TRUE(others[1].starts_with("manager.txt.part-")) << others[1];
  }
}
#endif  // signals, users and file-size limits of a POSIX system

// The new pair replaces the old one whole, and a replaced file keeps its
// permissions.
TEST(PackPipeline, NewPairReplacesTheOldOne) {
  Sandbox dir;
  dir.write("data.txt", "b\na\n");
  dir.write("binary.tmp", "old records");
  dir.write("manager.txt", "old parameters");
  std::filesystem::permissions(dir.path("manager.txt"), std::filesystem::perms(0640));
  ASSERT_EQ(pack(dir, {"data.txt"}).status, 0);
  EXPECT_EQ(dir.files(), (std::vector<std::string>{"binary.tmp", "data.txt", "manager.txt"}));
  EXPECT_EQ(dir.read("binary.tmp").size(), 2u * 94u);
  EXPECT_EQ(std::filesystem::status(dir.path("manager.txt")).permissions(),
            std::filesystem::perms(0640));
  EXPECT_EQ(dir.run_script(command_line(binary_path(), {})).out, "a\nb\n");
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
  EXPECT_TRUE(o.out.starts_with("Usage: zelto-pack [OPTION]... [FILE]...\n")) << o.out;
  EXPECT_EQ(o.err, "");
  o = pack(dir, {"--version"});
  EXPECT_EQ(o.status, 0);
  EXPECT_EQ(o.out, "zelto-pack 1.022\n");
  EXPECT_TRUE(dir.files().empty());
}

}  // namespace
}  // namespace zelto::testing
