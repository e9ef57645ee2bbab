// Unit tests of the zelto-pack module: the command line, line splitting,
// key building, the record layout, the record size and the parameter file.
#include <gtest/gtest.h>
#include <sys/stat.h>
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
#include "pack_system.h"
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
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"-"});
  EXPECT_EQ(o.options.key, KeyType::Phrase);
  EXPECT_TRUE(o.options.fields.empty());
  EXPECT_EQ(o.options.record_size, 0);
  EXPECT_EQ(o.options.output_path, "");
}

TEST(PackArguments, EveryOptionTakesEffect) {
  const ParseOutcome o =
      parse({"--key=int", "--field", "3", "-k1,1", "--reverse", "--unique", "--lf",
             "--output=out.txt", "--numbered", "--record-size=200", "--report-ties", "--keep",
             "--lenient", "--max-line=300", "--field-separator=;", "data.txt"});
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
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"data.txt"});
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
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"--reverse"});

  o = parse({"-"});
  ASSERT_EQ(o.status, PACK_OK);
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"-"});

  o = parse({"--key=double", "--key=phrase"});  // the last one counts
  EXPECT_EQ(o.options.key, KeyType::Phrase);
}

// The short options mean what they mean to sort users.
TEST(PackArguments, ShortFormsMatchTheirLongOptions) {
  ParseOutcome o = parse({"-t:", "-k", "3", "-n", "-r", "-u", "-o", "out.txt", "/etc/passwd"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.separator, ':');
  ASSERT_EQ(o.options.keys.size(), 1u);
  EXPECT_EQ(o.options.keys[0].start_field, 3u);
  EXPECT_EQ(o.options.keys[0].end_field, 0u);
  // A key without letters of its own takes the global ones.
  EXPECT_TRUE(o.options.keys[0].numeric);
  EXPECT_TRUE(o.options.keys[0].reverse);
  EXPECT_EQ(o.options.key, KeyType::Phrase);
  EXPECT_TRUE(o.options.reverse);
  EXPECT_TRUE(o.options.unique);
  EXPECT_EQ(o.options.output_path, "out.txt");
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"/etc/passwd"});

  o = parse({"-fuk2,1", "-t", "\t"});  // bundled short options; a TAB separator
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_TRUE(o.options.ignore_case);
  EXPECT_TRUE(o.options.unique);
  ASSERT_EQ(o.options.keys.size(), 1u);
  EXPECT_EQ(o.options.keys[0].start_field, 2u);
  EXPECT_EQ(o.options.keys[0].end_field, 1u);
  EXPECT_TRUE(o.options.keys[0].fold);
  EXPECT_EQ(o.options.separator, '\t');

  o = parse({"-g", "-b", "--field-separator", ","});
  EXPECT_TRUE(o.options.general);
  EXPECT_TRUE(o.options.skip_blanks);
  EXPECT_EQ(o.options.key, KeyType::Phrase);
  EXPECT_EQ(o.options.separator, ',');
}

// Sort's key definitions: positions, characters and letters of their own.
TEST(PackArguments, KeyDefinitionsAreReadAsSortReadsThem) {
  const ParseOutcome o = parse({"-r", "-k2.3b,4.5bn", "-k3,3", "-k1f", "-k5.2,5.0"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  ASSERT_EQ(o.options.keys.size(), 4u);
  const SortKey& first = o.options.keys[0];
  EXPECT_EQ(first.start_field, 2u);
  EXPECT_EQ(first.start_char, 3u);
  EXPECT_EQ(first.end_field, 4u);
  EXPECT_EQ(first.end_char, 5u);
  EXPECT_TRUE(first.skip_start_blanks && first.skip_end_blanks && first.numeric);
  EXPECT_FALSE(first.reverse);  // letters of its own: -r does not reach it
  EXPECT_TRUE(o.options.keys[1].reverse);
  EXPECT_EQ(o.options.keys[1].end_field, 3u);
  EXPECT_TRUE(o.options.keys[2].fold);
  EXPECT_FALSE(o.options.keys[2].reverse);
  EXPECT_EQ(o.options.keys[3].start_char, 2u);
  EXPECT_EQ(o.options.keys[3].end_char, 0u);
}

// A value is taken as it stands, even one that looks like an option.
TEST(PackArguments, ValuesAreTakenAsTheyStand) {
  ParseOutcome o = parse({"-o", "-u", "--output", "--reverse"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.output_path, "--reverse");
  EXPECT_FALSE(o.options.unique);
  o = parse({"-o-r", "--output=", "in.txt"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.output_path, "");
  EXPECT_FALSE(o.options.reverse);
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"in.txt"});
  o = parse({"a", "-", "--sort", "-o", "x", "b"});  // several inputs; -o for --sort
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.inputs, (std::vector<std::string>{"a", "-", "b"}));
  EXPECT_EQ(o.options.sorted_output, "x");
  EXPECT_EQ(o.options.output_path, "");
  o = parse({"-ro", "x", "--", "-n"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_TRUE(o.options.reverse);
  EXPECT_EQ(o.options.output_path, "x");
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"-n"});
  EXPECT_EQ(o.options.key, KeyType::Phrase);
}

TEST(PackArguments, LineEndOptionsAndOperandsAnywhere) {
  EXPECT_EQ(parse({}).options.line_end, LineEnd::FromInput);
  EXPECT_EQ(parse({"--crlf"}).options.line_end, LineEnd::CrLf);
  EXPECT_EQ(parse({"--crlf", "--lf"}).options.line_end, LineEnd::Lf);
  EXPECT_EQ(parse({"--lf", "--crlf"}).options.line_end, LineEnd::CrLf);
  const ParseOutcome o = parse({"data.txt", "-n", "--max-line", "0"});
  ASSERT_EQ(o.status, PACK_OK) << o.message;
  EXPECT_EQ(o.options.inputs, std::vector<std::string>{"data.txt"});
  EXPECT_TRUE(o.options.numeric);
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

const std::string KEY_FORM =
    "(FIELD[.CHAR][LETTERS][,FIELD[.CHAR][LETTERS]], fields and characters from 1, letters b f g "
    "n r)";

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
      {{"-k", ""}, "invalid key '' " + KEY_FORM},
      {{"-k0"}, "invalid key '0' " + KEY_FORM},
      {{"-k2.0"}, "invalid key '2.0' " + KEY_FORM},
      {{"-k2,0"}, "invalid key '2,0' " + KEY_FORM},
      {{"-k2x"}, "invalid key '2x' " + KEY_FORM},
      {{"-k2,3,4"}, "invalid key '2,3,4' " + KEY_FORM},
      {{"-k2d"}, "invalid key '2d' " + KEY_FORM},
      {{"-gn"}, "options '-gn' are incompatible"},
      {{"-k2gn"}, "options '-gn' are incompatible"},
      {{"--key=int", "-k2n"}, "--key=int and --key=double take whole fields: -k N or -k N,N"},
      {{"--key=int", "-k2,3"}, "--key=int and --key=double take whole fields: -k N or -k N,N"},
      {{"--key=double", "-k2.2"}, "--key=int and --key=double take whole fields: -k N or -k N,N"},
      {{"--key=int", "-n"},
       "-n, -g and -b order phrase keys; --key=int and --key=double are numbers already"},
      {{"--max-line=-1"}, "invalid line length '-1' (0 to 2147483647 bytes)"},
      {{"--max-line=2147483648"}, "invalid line length '2147483648' (0 to 2147483647 bytes)"},
      {{"-o", "a|b"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"--key=text"}, "invalid key kind 'text' (phrase, int or double)"},
      {{"--key"}, "option '--key' requires an argument"},
      {{"--reverse=yes"}, "option '--reverse' doesn't allow an argument"},
      {{"--field=2,"}, "invalid key '2,' " + KEY_FORM},
      {{"--field=a"}, "invalid key 'a' " + KEY_FORM},
      {{"--field=2147483648"}, "invalid key '2147483648' " + KEY_FORM},
      {{"--record-size=91"}, "invalid record size '91' (92 to 2147483647)"},
      {{"--record-size=2147483648"}, "invalid record size '2147483648' (92 to 2147483647)"},
      {{"--record-size=-100"}, "invalid record size '-100' (92 to 2147483647)"},
      {{"--output=a|b"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"--output=it's"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"--output=a\tb"}, "the output file name cannot hold a newline, CR, TAB, ' or |"},
      {{"-C", ""}, "the directory name is empty"},
      {{"--sort", "-C", "d"},
       "--sort packs into a directory of its own and removes it: no -C or --keep"},
      {{"--keep", "--sort"},
       "--sort packs into a directory of its own and removes it: no -C or --keep"},
      {{"--key=int", "--ignore-case"}, "--ignore-case applies to phrase keys only"},
      {{"--key=double", "-k1", "-k2", "-k3", "-k4", "-k5", "-k6", "-k7", "-k8", "-k9", "-k10",
        "-k11"},
       "-k names 11 fields; a double key holds at most 10"},
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
      // -f: letters folded to upper case, with or without --unique.
      {"ApPle_Z9", folded_unique(true), phrase_key("APPLE_Z9")},
      {"ApPle_Z9", folded_unique(false), phrase_key("APPLE_Z9")},
      {"root:x:0:0:root", key_options(KeyType::Integers, {3}, ':'), int_key({0})},
      {" 42 ,-1,x", key_options(KeyType::Integers, {}, ','), int_key({42, -1})},
      {"1,,2", key_options(KeyType::Integers, {}, ','), int_key({1})},
      {"a;2.5", key_options(KeyType::Doubles, {2}, ';'), double_key({2.5})},
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

// The options of a sort command line, read as zelto-pack reads them.
PackOptions sort_options(std::vector<const char*> arguments) {
  PackOptions options;
  PackRequest request;
  std::string message;
  EXPECT_EQ(parse_pack_arguments(arguments, options, request, message), PACK_OK) << message;
  return options;
}

struct KeyTextCase {
  std::string line;
  std::vector<const char*> arguments;
  std::vector<std::string> texts;  // one for each key
};

// Fields begin with the blanks before them unless -b; -t fields are cut at
// every separator; characters count within the field; an end before the
// start is an empty key.
TEST(PackKeys, KeyTextIsWhatSortCompares) {
  const std::vector<KeyTextCase> cases = {
      {"a  b c", {"-k2"}, {"  b c"}},
      {"a  b c", {"-k2,2"}, {"  b"}},
      {"a  b c", {"-k2b,2"}, {"b"}},
      {"a  b c", {"-b", "-k2,2"}, {"b"}},
      {"  a b", {}, {"  a b"}},
      {"  a b", {"-b"}, {"a b"}},
      {"abc def", {"-k1.2,1.2"}, {"b"}},
      {"abc def", {"-k2.2,2.3"}, {"de"}},
      {"abc def", {"-k2.2b,2.3b"}, {"ef"}},
      {"abc def", {"-k2.9"}, {""}},
      {"abc def", {"-k3"}, {""}},
      {"abc def", {"-k2,1"}, {""}},
      {"a:b::c", {"-t:", "-k2,2", "-k3,3", "-k4"}, {"b", "", "c"}},
      {"a:b::c", {"-t:", "-k2,3"}, {"b:"}},
      {"a:b:c", {"-t:", "-k2.1,3.0"}, {"b:c"}},
      {"a:b:c", {"-t:", "-k1,2.1"}, {"a:b"}},
      {"x\t 1", {"-k2n"}, {"\t 1"}},
  };
  for (const KeyTextCase& c : cases) {
    const PackOptions options = sort_options(c.arguments);
    std::vector<SortKey> keys = options.keys;
    if (keys.empty()) {
      keys.emplace_back();
      keys[0].skip_start_blanks = options.skip_blanks;
    }
    std::vector<std::string> texts;
    for (const SortKey& key : keys)
      texts.emplace_back(sort_key_text(c.line, key, options.separator));
    EXPECT_EQ(texts, c.texts) << c.line << " " << c.arguments.front();
  }
}

struct KeyOrderCase {
  std::vector<const char*> letters;
  // Groups of key texts in ascending order; texts in one group are equal.
  std::vector<std::vector<std::string>> groups;
};

// The bytes of a key, compared as zelto compares phrases, give the key's
// order under its letters; equal keys give equal bytes, so that --unique
// counts them as one.
TEST(PackKeys, KeyBytesOrderAsSortOrdersTheKeys) {
  const std::string many_nines(60, '9');
  const std::vector<KeyOrderCase> cases = {
      {{}, {{""}, {"A"}, {"B"}, {"Ba"}, {"a"}, {"\x7f"}, {"\xe9"}}},
      {{"-f"}, {{"@"}, {"A", "a"}, {"AB", "ab", "aB"}, {"b"}, {"["}, {"_"}, {"`"}, {"{"}}},
      {{"-n"},
       {{"-" + many_nines},
        {"-1e5", "-1.0", "-1"},
        {"-0.5"},
        {"-0.05"},
        {"", "x", "0", "-0", "-", ".", "+5", "-.0", "0.000", "- 1x"},
        {".05", "0.05abc"},
        {"0.5", " 0.50", "\t.5"},
        {"0.55"},
        {"1", "01", "1.", "1.0", "1/tcp"},
        {"1.0001"},
        {"1.2.3e", "1.20"},
        {"9"},
        {"10"},
        {"99999999999"},
        {"100000000000000000000000000000"},
        {"100000000000000000000000000001"},
        {many_nines}}},
      {{"-g"},
       {{"", "x", "+", "."},
        {"nan"},
        {"-nan"},
        {"-inf", "-INF", "-1e99999"},
        {"-1e300"},
        {"-1", "-1.0", "-0x1"},
        {"-1e-300"},
        {"0", "-0", "0x0", "0e5"},
        {"1e-4000"},
        {"0.1"},
        {"1", "1.0abc", "0x1", " 1"},
        {"1.0000000000000000001"},
        {"1.5", "0x1.8"},
        {"2"},
        {"1e300"},
        {"inf", "1e99999", "infinity"}}},
      {{"-r"}, {{"b"}, {"ab"}, {"a"}, {""}}},
      {{"-n", "-r"}, {{"10"}, {"9", "9.0"}, {"-1"}}},
      {{"-g", "-r"}, {{"inf"}, {"1"}, {"-1"}, {"x"}}},
  };
  for (const KeyOrderCase& c : cases) {
    std::vector<const char*> arguments = c.letters;
    arguments.push_back("-k1,1");  // one key, not the last of the line
    const std::vector<SortKey> keys = sort_options(arguments).keys;
    arguments.back() = "-k1";
    const SortKey last = sort_options(arguments).keys[0];
    std::vector<std::vector<std::string>> encoded;
    for (const auto& group : c.groups) {
      encoded.emplace_back();
      for (const std::string& text : group) {
        std::string bytes;
        append_sort_key(text, keys[0], false, bytes);
        EXPECT_EQ(bytes.find('\0'), std::string::npos) << text;
        encoded.back().push_back(bytes);
        std::string open;
        append_sort_key(text, last, true, open);
        EXPECT_EQ(open.find('\0'), std::string::npos) << text;
      }
    }
    for (std::size_t g = 0; g < encoded.size(); ++g) {
      for (std::size_t i = 0; i < encoded[g].size(); ++i) {
        EXPECT_EQ(encoded[g][i], encoded[g][0]) << c.groups[g][i] << " = " << c.groups[g][0];
        // A later key's bytes may follow: the order holds with them too.
        if (g > 0) {
          EXPECT_LT(encoded[g - 1][0] + "\xff", encoded[g][i] + "\x01")
              << c.groups[g - 1][0] << " < " << c.groups[g][i];
        }
      }
    }
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
  options.inputs = {"data.txt"};
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
  ints.inputs = {"n.txt"};
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
       {"warning: 2 keys cut to the 79 bytes of the key area: lines whose keys agree that far "
        "keep their input order"}},
      {"CutKeysUnique",
       long_key,
       with([](PackOptions& o) { o.unique = true; }),
       {"warning: 1 key cut to the 79 bytes of the key area: lines whose keys agree that far "
        "keep their input order, and --unique counts them as one"}},
      {"Lenient",
       "x\n1\n\n",
       with([](PackOptions& o) { o.key = KeyType::Integers, o.lenient = true; }),
       {"2 lines without a number in the key sorted first (--lenient)"}},
      {"LenientUnique",
       "x\n1\n\n",
       with([](PackOptions& o) { o.key = KeyType::Integers, o.lenient = o.unique = true; }),
       {"2 lines without a number in the key sorted first (--lenient), and --unique kept one of "
        "them"}},
      {"LenientReverse",
       "x\n1\n",
       with([](PackOptions& o) { o.key = KeyType::Doubles, o.lenient = o.reverse = true; }),
       {"1 line without a number in the key sorted last (--lenient)"}},
      {"NanUnique",
       "nan\n1\n-nan x\n",
       with([](PackOptions& o) { o.general = o.unique = true; }),
       {"warning: 2 lines with NaN in a -g key: NaNs of one sign are one key, so --unique keeps "
        "the first of them, where sort -u may keep several"}},
      // Without --unique NaNs of one sign are equal keys, as they are to sort -s.
      {"NanNotUnique", "nan\nnan\n", with([](PackOptions& o) { o.general = true; }), {}},
      {"CutTexts",
       "abcdef\nab\nabcd\n",
       with([](PackOptions& o) { o.max_line = 3; }),
       {"2 lines cut to 3 bytes of text (--max-line)"}},
      // 100 records of 1093 bytes where 1093 + 99 * 94 would do.
      {"RecordFileBlowUp",
       blow_up,
       PackOptions{},
       {"warning: 1 key cut to the 79 bytes of the key area: lines whose keys agree that far "
        "keep their input order",
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
  // A folded key is written upper case and compared exactly.
  EXPECT_EQ(s.case_sensitive, 1);
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

// Writes the lines' records into `name` in the sandbox.
int write_records_to(const std::string& file, std::span<const InputLine> lines,
                     const PackOptions& options, std::int32_t size, std::string& message) {
  std::FILE* stream = std::fopen(file.c_str(), "wb");
  if (stream == nullptr) return PACK_FAILURE;
  const int status = write_record_file(stream, file, lines, options, size, message);
  return std::fclose(stream) == 0 ? status : PACK_FAILURE;
}

TEST_F(PackFiles, RecordFileHoldsOneRecordPerLine) {
  const std::string data = "b 2\na 1\n";
  const std::vector<InputLine> lines = split_lines(data);
  PackOptions options = key_options(KeyType::Integers, {2});
  std::string message;
  const std::string file = path("binary.tmp");
  ASSERT_EQ(write_records_to(file, lines, options, 100, message), PACK_OK) << message;
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
  ASSERT_EQ(write_records_to(file, lines, PackOptions{}, size, message), PACK_OK);
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
  ASSERT_EQ(write_records_to(file, {}, PackOptions{}, 92, message), PACK_OK);
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
    std::FILE* full = std::fopen("/dev/full", "wb");
    ASSERT_NE(full, nullptr);
    std::setvbuf(full, nullptr, _IONBF, 0);
    EXPECT_EQ(write_text_file(full, "manager.txt", "x", message), PACK_FAILURE);
    EXPECT_EQ(message, "manager.txt: No space left on device");
    std::fclose(full);
  }
  const std::string nowhere = path("no/such/dir/binary.tmp");
  StagedFile staged(nowhere);
  EXPECT_EQ(staged.open(message), PACK_FAILURE);
  EXPECT_EQ(message, nowhere + ": No such file or directory");
}

// A staged file shows under its final name only once committed, and one
// that is never committed leaves nothing behind.
TEST_F(PackFiles, StagedFileTakesItsNameOnlyWhenCommitted) {
  std::string message;
  box_.write("out", "old");
  {
    StagedFile abandoned(path("out"));
    ASSERT_EQ(abandoned.open(message), PACK_OK) << message;
    std::fputs("new", abandoned.stream());
    ASSERT_EQ(abandoned.finish(message), PACK_OK);
  }
  EXPECT_EQ(box_.files(), std::vector<std::string>{"out"});
  EXPECT_EQ(box_.read("out"), "old");
  StagedFile kept(path("out"));
  ASSERT_EQ(kept.open(message), PACK_OK);
  std::fputs("new", kept.stream());
  ASSERT_EQ(kept.finish(message), PACK_OK);
  EXPECT_EQ(box_.read("out"), "old");
  ASSERT_EQ(kept.commit(message), PACK_OK);
  EXPECT_EQ(box_.read("out"), "new");
  EXPECT_EQ(box_.files(), std::vector<std::string>{"out"});
}

#ifndef _WIN32
// A staged file is open to its owner alone until it is complete; only then
// does it take the mode of the file it replaces, or a new file's.
TEST(StagedFile, GrantsNothingUntilItIsComplete) {
  const testing::Sandbox box;
  box.write("existing", "");
  std::filesystem::permissions(box.path("existing"), std::filesystem::perms(0640));
  const mode_t mask = umask(022);
  for (const auto& [model, final_mode] :
       {std::pair{std::string("existing"), 0640}, std::pair{std::string("new"), 0644}}) {
    SCOPED_TRACE(model);
    bool taken = false;
    std::string message;
    const std::string staged = box.path("staged-" + model).string();
    std::FILE* file = create_new_file(staged, box.path(model).string(), taken, message);
    ASSERT_NE(file, nullptr) << message;
    EXPECT_EQ(static_cast<int>(std::filesystem::status(staged).permissions()), 0600);
    EXPECT_TRUE(give_final_permissions(file, box.path(model).string()));
    EXPECT_EQ(static_cast<int>(std::filesystem::status(staged).permissions()), final_mode);
    std::fclose(file);
  }
  umask(mask);
}
#endif

}  // namespace
}  // namespace zelto
