// Unit tests of the zelto-pack module: the command line, line splitting,
// key building, the record layout, the record size and the parameter file.
#include <gtest/gtest.h>
#include <unistd.h>

#include <bit>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <vector>

#include "compare.h"
#include "pack_keys.h"
#include "pack_options.h"
#include "pack_writing.h"
#include "records.h"
#include "run_binary.h"
#include "zeltoMain.h"

namespace zelto {
namespace {

// ------------------------------------------------------------ arguments

struct ParseOutcome {
  int status;
  PackOptions options;
  PackRequest request;
  std::string message;
};

ParseOutcome parse(std::vector<const char*> arguments) {
  ParseOutcome outcome{};
  outcome.status =
      parse_pack_arguments(arguments, outcome.options, outcome.request, outcome.message);
  return outcome;
}

TEST(PackArguments, DefaultsReadStandardInputAsPhrases) {
  const ParseOutcome o = parse({});
  ASSERT_EQ(o.status, PACK_OK);
  EXPECT_EQ(o.request, PackRequest::Pack);
  EXPECT_EQ(o.options.input_path, "-");
  EXPECT_EQ(o.options.key, KeyType::Phrase);
  EXPECT_TRUE(o.options.fields.empty());
  EXPECT_EQ(o.options.record_size, 0);
  EXPECT_EQ(o.options.output_path, "");
}

TEST(PackArguments, EveryOptionTakesEffect) {
  const ParseOutcome o =
      parse({"--key=int", "--field", "3,1", "--reverse", "--unique", "--lf", "--output=out.txt",
             "--numbered", "--record-size=200", "--report-ties", "--keep", "--lenient",
             "--max-line=300", "--field-separator=;", "data.txt"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.key, KeyType::Integers);
  EXPECT_EQ(o.options.fields, (std::vector<std::int32_t>{3, 1}));
  EXPECT_TRUE(o.options.reverse);
  EXPECT_TRUE(o.options.unique);
  EXPECT_EQ(o.options.line_end, LineEnd::Lf);
  EXPECT_TRUE(o.options.lenient);
  EXPECT_EQ(o.options.max_line, 300u);
  EXPECT_EQ(o.options.separator, ';');
  EXPECT_EQ(o.options.output_path, "out.txt");
  EXPECT_TRUE(o.options.numbered);
  EXPECT_EQ(o.options.record_size, 200);
  EXPECT_TRUE(o.options.report_ties);
  EXPECT_TRUE(o.options.keep_record_file);
  EXPECT_EQ(o.options.input_path, "data.txt");
}

TEST(PackArguments, AbbreviationsSeparateValuesAndOperandForms) {
  ParseOutcome o = parse({"--ign", "--rev", "--key", "phrase", "--out", "x"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_TRUE(o.options.ignore_case);
  EXPECT_TRUE(o.options.reverse);
  EXPECT_EQ(o.options.output_path, "x");

  o = parse({"--", "--reverse"});
  ASSERT_EQ(o.status, PACK_OK);
  EXPECT_FALSE(o.options.reverse);
  EXPECT_EQ(o.options.input_path, "--reverse");

  o = parse({"-"});
  ASSERT_EQ(o.status, PACK_OK);
  EXPECT_EQ(o.options.input_path, "-");

  o = parse({"--key=double", "--key=phrase"});  // the last one counts
  EXPECT_EQ(o.options.key, KeyType::Phrase);
}

// The short options mean what they mean to sort users.
TEST(PackArguments, ShortFormsMatchTheirLongOptions) {
  ParseOutcome o = parse({"-t:", "-k", "3", "-n", "-r", "-u", "-o", "out.txt", "/etc/passwd"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.separator, ':');
  EXPECT_EQ(o.options.fields, std::vector<std::int32_t>{3});
  EXPECT_EQ(o.options.key, KeyType::Integers);
  EXPECT_TRUE(o.options.reverse);
  EXPECT_TRUE(o.options.unique);
  EXPECT_EQ(o.options.output_path, "out.txt");
  EXPECT_EQ(o.options.input_path, "/etc/passwd");

  o = parse({"-fuk2,1", "-t", "\t"});  // bundled short options; a TAB separator
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_TRUE(o.options.ignore_case);
  EXPECT_TRUE(o.options.unique);
  EXPECT_EQ(o.options.fields, (std::vector<std::int32_t>{2, 1}));
  EXPECT_EQ(o.options.separator, '\t');

  o = parse({"-g", "--field-separator", ","});
  EXPECT_EQ(o.options.key, KeyType::Doubles);
  EXPECT_EQ(o.options.separator, ',');
  o = parse({"-g", "-n"});  // the last kind counts, as with --key
  EXPECT_EQ(o.options.key, KeyType::Integers);
}

TEST(PackArguments, LineEndOptionsAndOperandsAnywhere) {
  EXPECT_EQ(parse({}).options.line_end, LineEnd::FromInput);
  EXPECT_EQ(parse({"--crlf"}).options.line_end, LineEnd::CrLf);
  EXPECT_EQ(parse({"--crlf", "--lf"}).options.line_end, LineEnd::Lf);
  EXPECT_EQ(parse({"--lf", "--crlf"}).options.line_end, LineEnd::CrLf);
  const ParseOutcome o = parse({"data.txt", "-n", "--max-line", "0"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.input_path, "data.txt");
  EXPECT_EQ(o.options.key, KeyType::Integers);
  EXPECT_EQ(o.options.max_line, 0u);
}

TEST(PackArguments, HelpAndVersionEndTheScan) {
  ParseOutcome o = parse({"--help", "--bogus"});
  EXPECT_EQ(o.status, PACK_OK);
  EXPECT_EQ(o.request, PackRequest::Help);
  o = parse({"--reverse", "--version"});
  EXPECT_EQ(o.status, PACK_OK);
  EXPECT_EQ(o.request, PackRequest::Version);
  EXPECT_EQ(compose_pack_version(), "zelto-pack 1.022\n");
}

struct UsageErrorCase {
  std::vector<const char*> arguments;
  std::string message;
};

TEST(PackArguments, UsageErrorsSayWhatIsWrong) {
  const std::vector<UsageErrorCase> cases = {
      {{"--bogus"}, "unrecognized option '--bogus'"},
      {{"-x"}, "invalid option -- 'x'"},
      {{"-nx"}, "invalid option -- 'x'"},
      {{"--reverse", "-xn"}, "invalid option -- 'x'"},
      {{"--re"}, "option '--re' is ambiguous (--reverse, --record-size, --report-ties)"},
      {{"--fi=2"}, "option '--fi' is ambiguous (--field, --field-separator)"},
      {{"--l"}, "option '--l' is ambiguous (--lf, --lenient)"},
      {{"-k"}, "option requires an argument -- 'k'"},
      {{"-n", "-t"}, "option requires an argument -- 't'"},
      {{"--field"}, "option '--field' requires an argument"},
      {{"--unique=1"}, "option '--unique' doesn't allow an argument"},
      {{"--lenient=yes"}, "option '--lenient' doesn't allow an argument"},
      {{"-t", ""}, "the field separator must be one byte, not ''"},
      {{"-t::"}, "the field separator must be one byte, not '::'"},
      {{"-t", "\\t"}, "the field separator must be one byte, not '\\t'"},
      {{"-k3,3n"},
       "invalid field list '3,3n' (field numbers from 1, separated by commas; the key kind is "
       "-n, -g or --key)"},
      {{"-k", ""}, "invalid field list '' (field numbers from 1, separated by commas)"},
      {{"--max-line=-1"}, "invalid line length '-1' (0 to 2147483647 bytes)"},
      {{"--max-line=2147483648"}, "invalid line length '2147483648' (0 to 2147483647 bytes)"},
      {{"-n", "-f"}, "--ignore-case applies to phrase keys only"},
      {{"-o", "a|b"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"--key=text"}, "invalid key kind 'text' (phrase, int or double)"},
      {{"--key"}, "option '--key' requires an argument"},
      {{"--reverse=yes"}, "option '--reverse' doesn't allow an argument"},
      {{"--field=0"}, "invalid field list '0' (field numbers from 1, separated by commas)"},
      {{"--field=2,"}, "invalid field list '2,' (field numbers from 1, separated by commas)"},
      {{"--field=a"}, "invalid field list 'a' (field numbers from 1, separated by commas)"},
      {{"--field=2147483648"},
       "invalid field list '2147483648' (field numbers from 1, separated by commas)"},
      {{"--record-size=91"}, "invalid record size '91' (92 to 2147483647)"},
      {{"--record-size=2147483648"}, "invalid record size '2147483648' (92 to 2147483647)"},
      {{"--record-size=-100"}, "invalid record size '-100' (92 to 2147483647)"},
      {{"--output=a|b"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"--output=it's"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"--output=a\tb"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"a", "b"}, "extra operand 'b' (one input file at most)"},
      {{"--key=int", "--ignore-case"}, "--ignore-case applies to phrase keys only"},
      {{"--key=double", "--field=1,2,3,4,5,6,7,8,9,10,11"},
       "--field names 11 fields; a double key holds at most 10"},
      {{"--field=1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20,21"},
       "--field names 21 fields; a key holds at most 20"},
  };
  for (const UsageErrorCase& c : cases) {
    const ParseOutcome o = parse(c.arguments);
    EXPECT_EQ(o.status, PACK_USAGE_ERROR) << c.message;
    EXPECT_EQ(o.message, c.message);
  }
}

TEST(PackArguments, OutputPathLimitKeepsParameterLinesInPlace) {
  const std::string longest(OUTPUT_PATH_LIMIT, 'p');
  const std::string too_long = "--output=" + longest + "p";
  const std::string fits = "--output=" + longest;
  EXPECT_EQ(parse({fits.c_str()}).status, PACK_OK);
  EXPECT_EQ(parse({too_long.c_str()}).message, "the output file name is longer than 254 bytes");
}

// ------------------------------------------------------------ lines

struct SplitCase {
  std::string data;
  std::vector<std::pair<std::string, bool>> lines;  // content, CR LF end
};

TEST(PackLines, SplitAtLineFeeds) {
  const std::vector<SplitCase> cases = {
      {"", {}},
      {"\n", {{"", false}}},
      {"a\nb\n", {{"a", false}, {"b", false}}},
      {"a\nb", {{"a", false}, {"b", false}}},  // last line without newline
      {"a\r\nb\r\n", {{"a", true}, {"b", true}}},
      {"a\r\nb", {{"a", true}, {"b", false}}},
      {"a\rb\n", {{"a\rb", false}}},  // a lone CR is text
      {"x\r", {{"x\r", false}}},      // a CR with no LF after it is text
      {"\n\n", {{"", false}, {"", false}}},
      {std::string("a\0b\n", 4), {{std::string("a\0b", 3), false}}},
  };
  for (const SplitCase& c : cases) {
    const std::vector<InputLine> lines = split_lines(c.data);
    ASSERT_EQ(lines.size(), c.lines.size()) << ::testing::PrintToString(c.data);
    for (std::size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].content, c.lines[i].first) << ::testing::PrintToString(c.data);
      EXPECT_EQ(lines[i].ends_with_crlf, c.lines[i].second) << ::testing::PrintToString(c.data);
    }
  }
}

// ------------------------------------------------------------ keys

PackOptions key_options(KeyType kind, std::vector<std::int32_t> fields = {},
                        std::optional<char> separator = {}) {
  PackOptions options;
  options.key = kind;
  options.fields = std::move(fields);
  options.separator = separator;
  return options;
}

PackOptions folded_unique(bool unique) {
  PackOptions options;
  options.ignore_case = true;
  options.unique = unique;
  return options;
}

KeyArea int_key(std::initializer_list<std::int32_t> words) {
  KeyArea key{};
  std::size_t offset = 0;
  for (const std::int32_t w : words) {
    const auto bits = static_cast<std::uint32_t>(w);
    for (int b = 0; b < 4; ++b) key[offset++] = static_cast<unsigned char>(bits >> (8 * b));
  }
  return key;
}

KeyArea double_key(std::initializer_list<double> values) {
  KeyArea key{};
  std::size_t offset = 0;
  for (const double v : values) {
    const auto bits = std::bit_cast<std::uint64_t>(v);
    for (int b = 0; b < 8; ++b) key[offset++] = static_cast<unsigned char>(bits >> (8 * b));
  }
  return key;
}

KeyArea phrase_key(std::string_view phrase) {
  KeyArea key{};
  std::memcpy(key.data(), phrase.data(), phrase.size());
  return key;
}

struct KeyCase {
  std::string content;
  PackOptions options;
  KeyArea expected;
  KeyResult result = KeyResult::Whole;
};

TEST(PackKeys, KeysAreLaidOutAsZeltoReadsThem) {
  std::string twenty_one;
  for (int i = 1; i <= 21; ++i) twenty_one += std::to_string(i) + " ";
  const std::string long_line(100, 'x');
  const std::vector<KeyCase> cases = {
      {"pear tree", key_options(KeyType::Phrase), phrase_key("pear tree")},
      {long_line, key_options(KeyType::Phrase), phrase_key(std::string(PHRASE_KEY_LIMIT, 'x')),
       KeyResult::Cut},
      {std::string(PHRASE_KEY_LIMIT, 'x'), key_options(KeyType::Phrase),
       phrase_key(std::string(PHRASE_KEY_LIMIT, 'x'))},
      // Joined fields longer than 79 bytes are cut too.
      {std::string(50, 'a') + " " + std::string(50, 'b'), key_options(KeyType::Phrase, {2, 1}),
       phrase_key(std::string(50, 'b') + " " + std::string(28, 'a')), KeyResult::Cut},
      {"b:a:c", key_options(KeyType::Phrase, {3, 1}, ':'), phrase_key("c b")},
      {"a::c", key_options(KeyType::Phrase, {2, 3}, ':'), phrase_key(" c")},
      {"a b:c", key_options(KeyType::Phrase, {1}, ':'), phrase_key("a b")},
      // --ignore-case --unique: case variants make one key.
      {"ApPle Z9", folded_unique(true), phrase_key("apple z9")},
      {"ApPle Z9", folded_unique(false), phrase_key("ApPle Z9")},
      {"root:x:0:0:root", key_options(KeyType::Integers, {3}, ':'), int_key({0})},
      {" 42 ,-1,x", key_options(KeyType::Integers, {}, ','), int_key({42, -1})},
      {"1,,2", key_options(KeyType::Integers, {}, ','), int_key({1})},
      {"a;2.5", key_options(KeyType::Doubles, {2}, ';'), double_key({2.5})},
      {"  Smith\tJohn  42", key_options(KeyType::Phrase, {2, 1}), phrase_key("John Smith")},
      {"one", key_options(KeyType::Phrase, {3}), phrase_key("")},
      {"one two", key_options(KeyType::Phrase, {3, 1}), phrase_key(" one")},
      {"42 apples", key_options(KeyType::Integers), int_key({42})},
      {"  -7\t+8 9x 10", key_options(KeyType::Integers), int_key({-7, 8})},
      {"2147483647 -2147483648", key_options(KeyType::Integers),
       int_key({2147483647, -2147483648})},
      {"007", key_options(KeyType::Integers), int_key({7})},
      {twenty_one, key_options(KeyType::Integers),
       int_key({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20})},
      {"a 5 b 6", key_options(KeyType::Integers, {4, 2}), int_key({6, 5})},
      {"1.5 -2e3 x", key_options(KeyType::Doubles), double_key({1.5, -2000.0})},
      {"-inf +0.25 .5", key_options(KeyType::Doubles),
       double_key({-std::numeric_limits<double>::infinity(), 0.25, 0.5})},
      // -0 is written as 0: unique arranging compares the key's bytes.
      {"-0", key_options(KeyType::Doubles), double_key({0.0})},
      {"1 -0.0 -0e5", key_options(KeyType::Doubles), double_key({1.0, 0.0, 0.0})},
      {"1 2 3 4 5 6 7 8 9 10 11", key_options(KeyType::Doubles),
       double_key({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"name 3.25", key_options(KeyType::Doubles, {2}), double_key({3.25})},
      // Too small for a double: rounded as strtod rounds, not refused.
      {"1e-400 -1e-400 4.9e-324", key_options(KeyType::Doubles), double_key({0.0, 0.0, 4.9e-324})},
  };
  for (const KeyCase& c : cases) {
    KeyArea key;
    key.fill(0xEE);  // every byte must be written
    std::string message;
    ASSERT_EQ(build_key(c.content, c.options, key, message), c.result) << c.content << message;
    EXPECT_EQ(key, c.expected) << c.content;
  }
}

struct KeyErrorCase {
  std::string content;
  PackOptions options;
  std::string message;
  KeyResult result = KeyResult::NoNumber;
};

TEST(PackKeys, UnusableNumbersAreNamed) {
  const std::vector<KeyErrorCase> cases = {
      {"", key_options(KeyType::Integers), "no integer on the line"},
      {" \t ", key_options(KeyType::Doubles), "no number on the line"},
      {"apples 42", key_options(KeyType::Integers), "not an integer: 'apples'"},
      {"12x", key_options(KeyType::Integers), "not an integer: '12x'"},
      {"1.5", key_options(KeyType::Integers), "not an integer: '1.5'"},
      {"+-3", key_options(KeyType::Integers), "not an integer: '+-3'"},
      {"2147483648", key_options(KeyType::Integers),
       "integer out of the 32-bit range: '2147483648' (try --key=double)", KeyResult::OutOfRange},
      {"1 -2147483649", key_options(KeyType::Integers),
       "integer out of the 32-bit range: '-2147483649' (try --key=double)", KeyResult::OutOfRange},
      {"0x10", key_options(KeyType::Doubles), "not a number: '0x10'"},
      {"1e999", key_options(KeyType::Doubles), "number out of the range of a double: '1e999'",
       KeyResult::OutOfRange},
      {"-1e309", key_options(KeyType::Doubles), "number out of the range of a double: '-1e309'",
       KeyResult::OutOfRange},
      {"2 nan", key_options(KeyType::Doubles), "NaN cannot be ordered: 'nan'"},
      {"a b", key_options(KeyType::Integers, {3}), "field 3 missing (the line has 2 fields)"},
      {"a", key_options(KeyType::Doubles, {2}), "field 2 missing (the line has 1 field)"},
      {"a 5 b", key_options(KeyType::Integers, {2, 3}), "not an integer: 'b'"},
      {"caf\xC3\xA9\r", key_options(KeyType::Integers), "not an integer: 'caf\\xC3\\xA9\\x0D'"},
      {std::string(400, '9'), key_options(KeyType::Doubles),
       "number out of the range of a double: '" + std::string(60, '9') + "...'",
       KeyResult::OutOfRange},
      // With a separator, empty fields count and blanks around a number are not part of it.
      {"a::7:", key_options(KeyType::Integers, {3, 2}, ':'), "not an integer: ''"},
      {"1: x", key_options(KeyType::Integers, {2}, ':'), "not an integer: 'x'"},
      {"1:2", key_options(KeyType::Integers, {3}, ':'), "field 3 missing (the line has 2 fields)"},
      {"", key_options(KeyType::Integers, {}, ':'), "not an integer: ''"},
  };
  for (const KeyErrorCase& c : cases) {
    KeyArea key{};
    std::string message;
    EXPECT_EQ(build_key(c.content, c.options, key, message), c.result) << c.content;
    EXPECT_EQ(message, c.message) << c.content;
  }
}

struct FieldCase {
  std::string content;
  std::optional<char> separator;
  std::vector<std::string> fields;
};

TEST(PackKeys, FieldsAreBlankRunsOrSeparatedPieces) {
  const std::vector<FieldCase> cases = {
      {"", {}, {}},
      {"  a \tb  ", {}, {"a", "b"}},
      {"", ':', {""}},
      {"a", ':', {"a"}},
      {"a::b:", ':', {"a", "", "b", ""}},
      {":", ':', {"", ""}},
      {" a : b", ':', {" a ", " b"}},
      {"a\tb c", '\t', {"a", "b c"}},
  };
  for (const FieldCase& c : cases) {
    const std::vector<std::string_view> fields = split_fields(c.content, c.separator);
    EXPECT_EQ(std::vector<std::string>(fields.begin(), fields.end()), c.fields) << c.content;
  }
}

// What --lenient gives a line without a usable number must sort below every
// number key zelto can meet, and keep such lines in input order.
TEST(PackKeys, LowestKeySortsFirstInInputOrder) {
  const auto record_of = [](std::string_view line, KeyType kind, std::int32_t number) {
    KeyArea key{};
    std::string message;
    (void)build_key(line, key_options(kind), key, message);
    std::vector<unsigned char> record(96, 0);
    fill_record(record, key, number, "x\n");
    return record;
  };
  for (const KeyType kind : {KeyType::Integers, KeyType::Doubles}) {
    const auto compare = kind == KeyType::Integers ? compare_integers : compare_doubles;
    const std::string lowest_number =
        kind == KeyType::Integers
            ? "-2147483648 -2147483648 -2147483648"
            : "-inf -inf -inf -inf -inf -inf -inf -inf -inf -9007199254740991";
    const auto first = record_of("total 12", kind, 1);
    const auto second = record_of("", kind, 2);
    const auto number = record_of(lowest_number, kind, 3);
    EXPECT_LT(compare(first.data(), number.data()), 0);
    EXPECT_GT(compare(number.data(), second.data()), 0);
    EXPECT_LT(compare(first.data(), second.data()), 0);
    EXPECT_GT(compare(second.data(), first.data()), 0);
  }
}

// ------------------------------------------------------------ records

TEST(PackRecords, TextFieldCarriesNumberAndLineEnd) {
  PackOptions plain;
  PackOptions numbered;
  numbered.numbered = true;
  PackOptions to_file;
  to_file.output_path = "out.txt";
  PackOptions cut;
  cut.max_line = 2;
  cut.numbered = true;
  const InputLine lf{"abc", false};
  const InputLine crlf{"abc", true};
  EXPECT_EQ(text_field_of(lf, 1, plain), "abc\n");
  // zelto puts its own line end after the text in a file: never CR CR LF.
  EXPECT_EQ(text_field_of(crlf, 1, plain), "abc\n");
  EXPECT_EQ(text_field_of(crlf, 1, to_file), "abc\n");
  EXPECT_EQ(text_field_of(lf, 1234, numbered), "1234:abc\n");
  EXPECT_EQ(text_field_of(InputLine{"", false}, 7, numbered), "7:\n");
  EXPECT_EQ(text_field_of(lf, 15, cut), "15:ab\n");  // the number is not counted
  EXPECT_EQ(text_field_of(InputLine{"ab", false}, 1, cut), "1:ab\n");
}

TEST(PackRecords, RecordHoldsKeyNumberAndTextAtTheirOffsets) {
  std::vector<unsigned char> record(100, 0xEE);
  const KeyArea key = int_key({-2, 3});
  fill_record(record, key, 258, "hi\n");
  std::vector<unsigned char> expected(100, 0);
  std::copy(key.begin(), key.end(), expected.begin());
  store_little_endian(expected.data() + RECORD_NUMBER_OFFSET, 258, 4);
  std::memcpy(expected.data() + NUMBERED_TEXT_OFFSET, "hi\n", 3);
  EXPECT_EQ(record, expected);
}

TEST(PackRecords, RecordSizeIsTheSmallestThatHoldsTheLongestLine) {
  const std::string data = "a\nlonger line\nmid\n";
  const std::vector<InputLine> lines = split_lines(data);
  PackOptions options;
  PackPlan plan;
  std::string message;
  ASSERT_EQ(plan_records(lines, options, plan, message), PACK_OK);
  EXPECT_EQ(plan.record_size, NUMBERED_TEXT_OFFSET + 12 + 1);  // "longer line\n" and its NUL
  EXPECT_EQ(plan.record_count, 3);
  EXPECT_EQ(plan.widest_line, 2);
  EXPECT_EQ(plan.fitted_bytes, 94 + 104 + 96);
  options.numbered = true;
  ASSERT_EQ(plan_records(lines, options, plan, message), PACK_OK);
  EXPECT_EQ(plan.record_size, NUMBERED_TEXT_OFFSET + 14 + 1);  // "2:longer line\n"
  options.max_line = 3;
  ASSERT_EQ(plan_records(lines, options, plan, message), PACK_OK);
  EXPECT_EQ(plan.record_size, NUMBERED_TEXT_OFFSET + 6 + 1);  // "2:lon\n"
  EXPECT_EQ(plan.cut_texts, 1);
  EXPECT_EQ(record_size_for(0), SMALLEST_PACK_RECORD);

  ASSERT_EQ(plan_records({}, PackOptions{}, plan, message), PACK_OK);
  EXPECT_EQ(plan.record_size, SMALLEST_PACK_RECORD);
  EXPECT_EQ(plan.record_count, 0);
}

TEST(PackRecords, GivenRecordSizeIsKeptOrTheLineThatDoesNotFitIsNamed) {
  const std::string data = "abc\nabcd\n";
  const std::vector<InputLine> lines = split_lines(data);
  PackOptions options;
  options.input_path = "data.txt";
  options.record_size = NUMBERED_TEXT_OFFSET + 5;  // "abc\n" and its NUL
  PackPlan plan;
  std::string message;
  EXPECT_EQ(plan_records(std::span(lines).first(1), options, plan, message), PACK_OK);
  EXPECT_EQ(plan.record_size, 96);
  EXPECT_EQ(plan_records(lines, options, plan, message), PACK_FAILURE);
  EXPECT_EQ(message,
            "data.txt:2: the line needs a record of 97 bytes; --record-size=96 is too small");
}

TEST(PackRecords, LineErrorsNameInputAndLine) {
  std::string message;
  PackPlan plan;
  const std::string with_nul("ok\nbad\0byte\n", 12);
  EXPECT_EQ(plan_records(split_lines(with_nul), PackOptions{}, plan, message), PACK_FAILURE);
  EXPECT_EQ(message,
            "(standard input):2: the line holds a NUL byte, which a record's text cannot carry");

  PackOptions ints = key_options(KeyType::Integers);
  ints.input_path = "n.txt";
  EXPECT_EQ(plan_records(split_lines("1\n2\nthree\n"), ints, plan, message), PACK_FAILURE);
  EXPECT_EQ(message, "n.txt:3: not an integer: 'three' (--lenient sorts such lines first)");
  EXPECT_EQ(plan_records(split_lines("1\n3000000000\n"), ints, plan, message), PACK_FAILURE);
  EXPECT_EQ(message, "n.txt:2: integer out of the 32-bit range: '3000000000' (try --key=double)");
  ints.lenient = true;  // out of range is still an error
  EXPECT_EQ(plan_records(split_lines("1\n3000000000\n"), ints, plan, message), PACK_FAILURE);
  ASSERT_EQ(plan_records(split_lines("x\n1\n\n"), ints, plan, message), PACK_OK);
  EXPECT_EQ(plan.lenient_lines, 2);
}

// ------------------------------------------------------------ notes

struct NotesCase {
  std::string name;
  std::string data;
  PackOptions options;
  std::vector<std::string> notes;
};

PackOptions with(void (*change)(PackOptions&)) {
  PackOptions options;
  change(options);
  return options;
}

TEST(PackNotes, WarningsSayWhatWasCutAndWhatIsLarge) {
  const std::string long_key = std::string(85, 'k') + "\n";
  std::string blow_up(1000, 'x');
  blow_up += "\n";
  for (int i = 0; i < 99; ++i) blow_up += "y\n";
  const std::vector<NotesCase> cases = {
      {"Nothing", "a\nb\n", PackOptions{}, {}},
      {"CutKeys",
       long_key + "a\n" + long_key,
       PackOptions{},
       {"warning: 2 keys cut to 79 bytes: lines equal in their first 79 bytes keep their input "
        "order"}},
      {"CutKeysUnique",
       long_key,
       with([](PackOptions& o) { o.unique = true; }),
       {"warning: 1 key cut to 79 bytes: lines equal in their first 79 bytes keep their input "
        "order, and --unique counts them as one"}},
      {"Lenient",
       "x\n1\n\n",
       with([](PackOptions& o) { o.key = KeyType::Integers, o.lenient = true; }),
       {"2 lines without a number in the key sorted first (--lenient)"}},
      {"LenientReverse",
       "x\n1\n",
       with([](PackOptions& o) { o.key = KeyType::Doubles, o.lenient = o.reverse = true; }),
       {"1 line without a number in the key sorted last (--lenient)"}},
      {"CutTexts",
       "abcdef\nab\nabcd\n",
       with([](PackOptions& o) { o.max_line = 3; }),
       {"2 lines cut to 3 bytes of text (--max-line)"}},
      // 100 records of 1093 bytes where 1093 + 99 * 94 would do.
      {"RecordFileBlowUp",
       blow_up,
       PackOptions{},
       {"warning: 1 key cut to 79 bytes: lines equal in their first 79 bytes keep their input "
        "order",
        "warning: binary.tmp takes 109300 bytes, 10 times what its lines need, for records of "
        "1093 bytes that line 1 needs; --max-line=N cuts longer lines' text, --record-size=N "
        "sets the size"}},
      {"GivenRecordSizeIsNotWarnedAbout",
       "a\n",
       with([](PackOptions& o) { o.record_size = 9000; }),
       {}},
      {"EmptyInput", "", PackOptions{}, {}},
  };
  for (const NotesCase& c : cases) {
    PackPlan plan;
    std::string message;
    ASSERT_EQ(plan_records(split_lines(c.data), c.options, plan, message), PACK_OK) << c.name;
    EXPECT_EQ(plan_notes(plan, c.options), c.notes) << c.name;
  }
}

// ------------------------------------------------------------ parameter file

PackPlan plan_of(std::int32_t count, std::int32_t size, bool input_crlf = false) {
  PackPlan plan;
  plan.record_count = count;
  plan.record_size = size;
  plan.input_crlf = input_crlf;
  return plan;
}

TEST(PackParameters, DefaultParameterFile) {
  EXPECT_EQ(compose_manager_text(PackOptions{}, plan_of(3, 104)),
            "3\n0\n104\n-#\n0\n0\nbinary.tmp\n\n-LF\n0\n0\n0\n0\n");
}

// LF unless the input's first line ends in CR LF; --lf and --crlf decide.
TEST(PackParameters, LineEndFollowsTheInputUnlessChosen) {
  const auto line_9 = [](LineEnd end, bool input_crlf) {
    PackOptions options;
    options.line_end = end;
    const std::string text = compose_manager_text(options, plan_of(1, 92, input_crlf));
    RunSettings s;
    apply_parameter_text(text, s);
    return s.crlf;
  };
  EXPECT_EQ(line_9(LineEnd::FromInput, false), 0);
  EXPECT_EQ(line_9(LineEnd::FromInput, true), 1);
  EXPECT_EQ(line_9(LineEnd::Lf, true), 0);
  EXPECT_EQ(line_9(LineEnd::CrLf, false), 1);

  PackPlan plan;
  std::string message;
  ASSERT_EQ(plan_records(split_lines("a\r\nb\n"), PackOptions{}, plan, message), PACK_OK);
  EXPECT_TRUE(plan.input_crlf);
  ASSERT_EQ(plan_records(split_lines("a\nb\r\n"), PackOptions{}, plan, message), PACK_OK);
  EXPECT_FALSE(plan.input_crlf);
}

TEST(PackParameters, EveryOptionReachesZeltoThroughItsLine) {
  PackOptions options;
  options.key = KeyType::Doubles;
  options.ignore_case = true;
  options.report_ties = true;
  options.output_path = std::string(OUTPUT_PATH_LIMIT - 4, 'o') + ".txt";
  options.line_end = LineEnd::Lf;
  options.reverse = true;
  options.keep_record_file = true;
  options.unique = true;
  const std::string text = compose_manager_text(options, plan_of(12, 300, true));

  // What zelto makes of the file is what matters.
  RunSettings s;
  apply_parameter_text(text, s);
  EXPECT_EQ(s.record_count, 12);
  EXPECT_EQ(s.key_type, 2);
  EXPECT_EQ(s.record_size, 300);
  EXPECT_EQ(s.numbered, 1);
  EXPECT_EQ(s.case_sensitive, 0);
  EXPECT_EQ(s.report_ties, 1);
  EXPECT_EQ(s.input_path, "binary.tmp");
  EXPECT_EQ(s.output_path, options.output_path);
  EXPECT_EQ(s.crlf, 0);
  EXPECT_EQ(s.descending, 1);
  EXPECT_EQ(s.guide_to_stderr, 1);
  EXPECT_EQ(s.remove_record_file, 0);
  EXPECT_EQ(s.unique, 1);

  RunSettings defaults;
  apply_parameter_text(compose_manager_text(PackOptions{}, plan_of(0, 92)), defaults);
  EXPECT_EQ(defaults.case_sensitive, 1);
  EXPECT_EQ(defaults.report_ties, 0);
  EXPECT_EQ(defaults.output_path, "");
  EXPECT_EQ(defaults.crlf, 0);
  EXPECT_EQ(defaults.descending, 0);
  EXPECT_EQ(defaults.remove_record_file, 1);
  EXPECT_EQ(defaults.unique, 0);
}

// ------------------------------------------------------------ files

class PackFiles : public ::testing::Test {
 protected:
  std::string path(const char* name) const { return box_.path(name).string(); }
  testing::Sandbox box_;
  const std::filesystem::path& dir_ = box_.dir();
};

TEST_F(PackFiles, RecordFileHoldsOneRecordPerLine) {
  const std::string data = "b 2\na 1\n";
  const std::vector<InputLine> lines = split_lines(data);
  PackOptions options = key_options(KeyType::Integers, {2});
  std::string message;
  const std::string file = path("binary.tmp");
  ASSERT_EQ(write_record_file(file.c_str(), lines, options, 100, message), PACK_OK) << message;
  const std::string bytes = box_.read("binary.tmp");
  ASSERT_EQ(bytes.size(), 200u);
  EXPECT_EQ(bytes, testing::record_file({
                       testing::with_word(testing::make_record(1, "b 2\n", {100, true}), 0, 2),
                       testing::with_word(testing::make_record(2, "a 1\n", {100, true}), 0, 1),
                   }));
}

TEST_F(PackFiles, ManyRecordsSpanSeveralWriteBlocks) {
  std::string data;
  for (int i = 0; i < 3000; ++i) data += std::to_string(i) + "\n";
  const std::vector<InputLine> lines = split_lines(data);
  std::string message;
  const std::string file = path("binary.tmp");
  const std::int32_t size = 1000;  // 1048 records fill a block of 1 MiB
  ASSERT_EQ(write_record_file(file.c_str(), lines, PackOptions{}, size, message), PACK_OK);
  const std::string bytes = box_.read("binary.tmp");
  ASSERT_EQ(bytes.size(), 3000u * size);
  for (const int i : {0, 1047, 1048, 2999}) {
    const std::string_view record = std::string_view(bytes).substr(i * size, size);
    const std::size_t text_end = record.find('\0', NUMBERED_TEXT_OFFSET);
    EXPECT_EQ(record.substr(NUMBERED_TEXT_OFFSET, text_end - NUMBERED_TEXT_OFFSET),
              std::to_string(i) + "\n");
    EXPECT_EQ(
        load_le32(reinterpret_cast<const unsigned char*>(record.data()) + RECORD_NUMBER_OFFSET),
        static_cast<std::uint32_t>(i + 1));
  }
}

TEST_F(PackFiles, EmptyInputGivesAnEmptyRecordFile) {
  std::string message;
  const std::string file = path("binary.tmp");
  ASSERT_EQ(write_record_file(file.c_str(), {}, PackOptions{}, 92, message), PACK_OK);
  EXPECT_TRUE(std::filesystem::exists(file));
  EXPECT_EQ(std::filesystem::file_size(file), 0u);
}

TEST_F(PackFiles, FailuresNameThePathAndCause) {
  std::string message;
  std::string data;
  EXPECT_EQ(read_input(path("missing.txt"), data, message), PACK_FAILURE);
  EXPECT_EQ(message, path("missing.txt") + ": No such file or directory");
  EXPECT_EQ(read_input(dir_.string(), data, message), PACK_FAILURE);
  EXPECT_EQ(message, dir_.string() + ": Is a directory");
  if (!testing::ON_WINDOWS) {  // no full device there
    EXPECT_EQ(write_text_file("/dev/full", "x", message), PACK_FAILURE);
    EXPECT_EQ(message, "/dev/full: No space left on device");
  }
  const std::string nowhere = path("no/such/dir/binary.tmp");
  EXPECT_EQ(write_record_file(nowhere.c_str(), {}, PackOptions{}, 92, message), PACK_FAILURE);
  EXPECT_EQ(message, nowhere + ": No such file or directory");
}

}  // namespace
}  // namespace zelto
