// Tests of the keys of text lines. The expected orders, messages and
// underlines were taken from the system's `LC_ALL=C sort` (coreutils 9.1).
#include "text_keys.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <vector>

namespace zelto::text {
namespace {

// A literal that may hold NUL bytes.
template <std::size_t N>
std::string S(const char (&text)[N]) {
  return std::string(text, N - 1);
}

// Settings from arguments as the command line gives them: letters, -k, -t,
// -s, -u, -z and obsolete keys. Returns the first error, if any.
std::optional<std::string> build(const std::vector<std::string>& args, SortSettings& settings) {
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (is_obsolete_key_start(arg)) {
      std::string end;
      if (i + 1 < args.size() && is_obsolete_key_end(args[i + 1])) end = args[++i];
      if (auto error = parse_obsolete_key(arg, end, settings)) return error;
      continue;
    }
    for (std::size_t j = 1; j < arg.size(); ++j) {
      char c = arg[j];
      if (c == 'k' || c == 't') {
        std::string value = j + 1 < arg.size() ? arg.substr(j + 1) : args[++i];
        if (c == 't') {
          settings.separator = value == "\\0" ? 0 : static_cast<unsigned char>(value[0]);
        } else if (auto error = parse_key(value, settings)) {
          return error;
        }
        break;
      }
      if (c == 's') {
        settings.stable = true;
      } else if (c == 'u') {
        settings.unique = true;
      } else if (c == 'z') {
        settings.zero_terminated = true;
      } else if (!apply_ordering_letter(c, settings.global)) {
        return "unknown letter";
      }
    }
  }
  return finish_settings(settings);
}

SortSettings settings_of(const std::vector<std::string>& args) {
  SortSettings settings;
  auto error = build(args, settings);
  EXPECT_FALSE(error.has_value()) << *error;
  return settings;
}

struct OrderCase {
  std::vector<std::string> args;
  std::vector<std::string> lines;
  std::vector<std::size_t> expected;  // indexes into `lines`, in output order
};

TEST(TextKeys, OrdersLinesAsSortDoes) {
  const OrderCase cases[] = {
      {{"-n"},
       {S("10"), S("9"), S("-0"), S("0"), S(""), S("abc"), S("-1.5"), S("-1.25"), S(" 2"), S("1,5"),
        S(".5"), S("+3"), S("00012.500"), S("12.5"), S("-"), S("-.5")},
       {6, 7, 15, 4, 11, 14, 2, 3, 5, 10, 9, 8, 1, 0, 12, 13}},
      {{"-h"},
       {S("1K"), S("1k"), S("2K"), S("1M"), S("1000K"), S("0M"), S("0"), S("-1K"), S("-1M"),
        S("1Q"), S("1Y"), S("-0.5K"), S("-1"), S("1.5K"), S(".5M")},
       {8, 7, 11, 12, 6, 5, 9, 0, 1, 13, 2, 4, 14, 3, 10}},
      {{"-hf"}, {S("1z"), S("999k"), S("1m"), S("2"), S(".7")}, {4, 3, 1, 2, 0}},
      // The byte 0x80 is a thousands separator to -n and -h, but not
      // before -h's suffix nor within a fraction.
      {{"-n"},
       {S("1\x80"
          "000"),
        S("999"),
        S("\x80"
          "5"),
        S("4"),
        S("-\x80"
          "5"),
        S("-4"), S("0\x80.5"), S("0.4"),
        S("0.5\x80"
          "6"),
        S("0.55"), S("\x80")},
       {4, 5, 10, 7, 8, 6, 9, 3, 2, 1, 0}},
      {{"-h"},
       {S("5\x80"
          "3K"),
        S("6K"), S("5\x80K"), S("6"),
        S("\x80"
          "8K"),
        S("9M")},
       {2, 3, 4, 0, 1, 5}},
      {{"-g"},
       {S("nan"), S("abc"), S(""), S("-inf"), S("inf"), S("1e3"), S("0x10"), S("-0"), S("0"),
        S("1e-400"), S("+6"),
        S("\x0b"
          "3"),
        S("1e"), S("-nan"), S("5.")},
       {2, 1, 0, 13, 3, 7, 8, 9, 12, 11, 14, 10, 6, 5, 4}},
      {{"-M"},
       {S("jan"), S("FEB"), S(" mar"), S("xyz"), S(""), S("January"), S("ja"), S("dec"),
        S("\tAug")},
       {4, 6, 3, 5, 0, 1, 2, 8, 7}},
      {{"-V"},
       {S("1.10"), S("1.9"), S("1.010"), S(""), S("."), S(".."), S(".a"), S("~"), S("1~"), S("1"),
        S("1%"), S("a%"), S("az"), S("hello-8.txt"), S("hello-8.2.txt"), S("07"), S("7"), S(".b01"),
        S(".9-9b")},
       {3, 4, 5, 6, 17, 18, 7, 8, 9, 10, 1, 2, 0, 15, 16, 12, 11, 13, 14}},
      {{"-f"}, {S("b"), S("B"), S("a"), S("A"), S("_"), S("[")}, {3, 2, 1, 0, 5, 4}},
      {{"-d"},
       {S("a!c"),
        S("a\x01"
          "b"),
        S("ab"), S("a c")},
       {3, 1, 2, 0}},
      {{"-i"},
       {S("a!c"),
        S("a\x01"
          "b"),
        S("ab"), S("a c"),
        S("a\x7f"
          "d")},
       {3, 0, 1, 2, 4}},
      {{"-di"},
       {S("a!c"),
        S("a\x01"
          "b"),
        S("ab")},
       {1, 2, 0}},
      {{"-k2"}, {S("a  c"), S("b b"), S("c\tb"), S("d")}, {3, 2, 0, 1}},
      {{"-k2b"}, {S("a  c"), S("b b"), S("c\tb"), S("d")}, {3, 1, 2, 0}},
      {{"-k2,2", "-t:"}, {S("x:b:1"), S("y:a:2"), S("z::3"), S("w")}, {3, 2, 1, 0}},
      {{"-k1.2,1.3"}, {S("abcd"), S("xbbz"), S("a"), S("zab")}, {2, 3, 1, 0}},
      {{"-k2.2b,2.2"}, {S("ab   cd ef"), S("ab cx"), S("ab   cb")}, {2, 0, 1}},
      {{"-k2,1"}, {S("b"), S("a"), S("c")}, {1, 0, 2}},
      {{"-r"}, {S("b"), S("a"), S("c"), S("ab")}, {2, 0, 3, 1}},
      {{"-rs", "-k1,1"}, {S("a 2"), S("b 1"), S("a 1")}, {1, 0, 2}},
      {{"-k1,1", "-r"}, {S("a 2"), S("b 1"), S("a 1")}, {1, 0, 2}},
      {{"-k1,1r", "-k2n"}, {S("a 2"), S("b 1"), S("a 10"), S("b 3")}, {1, 3, 0, 2}},
      {{"-s", "-k1,1n"}, {S("1 b"), S("01 a"), S("1 c")}, {0, 1, 2}},
      {{"-u", "-k1,1"}, {S("a 2"), S("b 1"), S("a 1")}, {0, 1}},
      {{"-z", "-k2,2"}, {S("x\nb 2"), S("x\na 1")}, {1, 0}},
      {{"-t\\0", "-k2"}, {S("a\0b"), S("b\0a"), S("c")}, {2, 1, 0}},
      {{"+1", "-2"}, {S("a c x"), S("b b y"), S("c a z")}, {2, 1, 0}},
      {{"+0.1", "-0.2"}, {S("abc"), S("bac"), S("cab")}, {1, 2, 0}},
  };
  for (const OrderCase& c : cases) {
    SortSettings settings = settings_of(c.args);
    LineComparator comparator(settings);
    std::vector<std::size_t> order(c.lines.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
      return comparator.compare(c.lines[x], c.lines[y]) < 0;
    });
    if (settings.unique) {
      auto last = std::unique(order.begin(), order.end(), [&](std::size_t x, std::size_t y) {
        return comparator.compare_keys(c.lines[x], c.lines[y]) == 0;
      });
      order.erase(last, order.end());
    }
    EXPECT_EQ(order, c.expected) << ::testing::PrintToString(c.args);
  }
}

// A key that cannot be read is reported as sort reports it: the reason,
// then the key as shown.
std::string unreadable_key(const std::string& reason, const std::string& shown) {
  return reason + ": invalid key definition '" + shown + "'";
}

TEST(TextKeys, RejectsBadKeysWithSortsMessages) {
  const std::string zero_field = "field number is zero";
  const std::string stray = "stray character in key position";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"-k0"}, unreadable_key(zero_field, "0")},
      {{"-k1.0"}, unreadable_key("character offset is zero", "1.0")},
      {{"-k1,0"}, unreadable_key(zero_field, "1,0")},
      {{"-k1x"}, unreadable_key(stray, "1x")},
      {{"-k1.x"}, "invalid number after '.': invalid count at start of 'x'"},
      {{"-k1,x"}, "invalid number after ',': invalid count at start of 'x'"},
      {{"-k", ""}, "invalid number at field start: invalid count at start of ''"},
      {{"-k-1"}, "invalid number at field start: invalid count at start of '-1'"},
      {{"-k1,2b.3"}, unreadable_key(stray, "1,2b.3")},
      {{"-k0x10"}, unreadable_key(zero_field, "0x10")},
      {{"-k1'x"}, unreadable_key(stray, "1\\'x")},
      {{"-k1\x01"}, unreadable_key(stray, "1\\001")},
      {{"-k1\t"}, unreadable_key(stray, "1\\t")},
      {{"+1", "-2x"}, unreadable_key(stray, "-2x")},
      {{"+1", "-1.x"}, "invalid number after '.': invalid count at start of 'x'"},
      {{"-k1bfdbn,1"}, "options '-dfn' are incompatible"},
      {{"-bdfgiMhnRrV"}, "options '-dfghMnRV' are incompatible"},
      {{"-k1fiMnRbr"}, "options '-fiMnR' are incompatible"},
      {{"-n", "-k1", "-g"}, "options '-gn' are incompatible"},
  };
  for (const auto& [args, message] : cases) {
    SortSettings settings;
    auto error = build(args, settings);
    ASSERT_TRUE(error.has_value()) << args[0];
    EXPECT_EQ(*error, message);
  }
  // Accepted: huge counts saturate, sort's leading white space and '+',
  // letters on both ends, incompatible global letters every key overrides.
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"-k99999999999999999999"},
                                             {"-k 1,+2"},
                                             {"-k1b,2bn"},
                                             {"-MV", "-k1n"},
                                             {"-n", "-g", "-k1,1r"},
                                             {"-dRV"}}) {
    SortSettings settings;
    EXPECT_FALSE(build(args, settings).has_value()) << args[0];
  }
}

// Which arguments sort takes for obsolete keys; the others are file names
// (a start) or options (an end).
TEST(TextKeys, RecognisesObsoleteKeysAsSortDoes) {
  const std::pair<const char*, bool> starts[] = {
      {"+1", true},     {"+0.2", true},  {"+1.2nr", true}, {"+01b", true},
      {"+1.", false},   {"+1x", false},  {"+.1", false},   {"+", false},
      {"+1b.2", false}, {"+1,2", false}, {"1", false},     {"+1.2bx", false}};
  for (const auto& [argument, expected] : starts) {
    EXPECT_EQ(is_obsolete_key_start(argument), expected) << argument;
  }
  const std::pair<const char*, bool> ends[] = {{"-2", true},  {"-0.0", true}, {"-2x", true},
                                               {"-x", false}, {"-", false},   {"--1", false}};
  for (const auto& [argument, expected] : ends) {
    EXPECT_EQ(is_obsolete_key_end(argument), expected) << argument;
  }
}

TEST(TextKeys, WarnsAsSortDebugDoes) {
  const std::pair<std::vector<std::string>, std::vector<std::string>> cases[] = {
      {{"-n"}, {"note numbers use '.' as a decimal point in this locale"}},
      {{"-k1"}, {"leading blanks are significant in key 1; consider also specifying 'b'"}},
      {{"-k2b"}, {}},
      {{"-k1n"},
       {"key 1 is numeric and spans multiple fields",
        "note numbers use '.' as a decimal point in this locale"}},
      {{"-k2,1"}, {"key 1 has zero width and will be ignored"}},
      {{"+1.2", "-3.4"},
       {"obsolescent key '+1 -4' used; consider '-k 2,4' instead",
        "leading blanks are significant in key 1; consider also specifying 'b'"}},
      {{"+0", "-0"},
       {"obsolescent key '+0 -1' used; consider '-k 1,1' instead",
        "leading blanks are significant in key 1; consider also specifying 'b'"}},
      {{"-rn", "-k1,1b"},
       {"leading blanks are significant in key 1; consider also specifying 'b'",
        "option '-n' is ignored", "option '-r' only applies to last-resort comparison"}},
      {{"-nrb", "-k1,1M"},
       {"options '-bn' are ignored", "option '-r' only applies to last-resort comparison"}},
      {{"-r", "-s", "-k1,1n"},
       {"note numbers use '.' as a decimal point in this locale", "option '-r' is ignored"}},
      {{"-b", "-k1b,1n"},
       {"note numbers use '.' as a decimal point in this locale", "option '-b' is ignored"}},
      {{"-di", "-k1,1f"},
       {"leading blanks are significant in key 1; consider also specifying 'b'",
        "option '-d' is ignored"}},
      {{"-k2,2.1n"},
       {"leading blanks are significant in key 1; consider also specifying 'b'",
        "note numbers use '.' as a decimal point in this locale"}},
      {{"-k1,1.2"}, {}},
      {{"-t:", "-k1"}, {}},
      {{"-k1.2M"}, {"leading blanks are significant in key 1; consider also specifying 'b'"}},
      {{"-bdfgiMhnRrV", "-s", "-k1b,1"}, {"options '-bdfghMnRrV' are ignored"}},
      {{"-t.", "-k1n"},
       {"key 1 is numeric and spans multiple fields",
        "field separator '.' is treated as a decimal point in numbers"}},
      {{"-t.", "-n"}, {"numbers use '.' as a decimal point in this locale"}},
      {{"-t-", "-k1g"},
       {"key 1 is numeric and spans multiple fields",
        "field separator '-' is treated as a minus sign in numbers",
        "note numbers use '.' as a decimal point in this locale"}},
      {{"-t+", "-k1n", "-k2,2g"},
       {"key 1 is numeric and spans multiple fields",
        "note numbers use '.' as a decimal point in this locale"}},
      {{"-t+", "-k1g"},
       {"key 1 is numeric and spans multiple fields",
        "field separator '+' is treated as a plus sign in numbers",
        "note numbers use '.' as a decimal point in this locale"}},
  };
  for (const auto& [args, expected] : cases) {
    std::vector<std::string> warnings = debug_warnings(settings_of(args));
    ASSERT_FALSE(warnings.empty());
    EXPECT_EQ(warnings.front(), "text ordering performed using simple byte comparison");
    warnings.erase(warnings.begin());
    EXPECT_EQ(warnings, expected) << args[0];
  }
}

TEST(TextKeys, UnderlinesKeysAsSortDebugDoes) {
  const std::tuple<std::vector<std::string>, std::string, std::string> cases[] = {
      {{"-n"}, "  -12.50x", "  ______\n_________\n"},
      {{"-n"}, "abc", "^ no match for key\n___\n"},
      {{"-h"}, "\t1Kb", " __\n____\n"},
      {{"-n"},
       S("1\x80"
         "000"),
       "_\n_____\n"},
      {{"-g"}, " 1e5x", " ___\n_____\n"},
      {{"-M"}, " FebX", " ___\n_____\n"},
      {{"-k2"}, "a\tb c", " ____\n_____\n"},
      {{"-k2,1"}, "a b", " ^ no match for key\n___\n"},
      {{"-s", "-k2"},
       S("a\x01"
         "b c"),
       "  __\n"},
      {{}, "x\ty", "___\n"},
      {{"-f"}, "ab", "__\n__\n"},
      {{"-k2.2,1.1n"}, "abc  12", "     ^ no match for key\n_______\n"},
      {{"-t", " ", "-k1b,1"}, "  abc", "^ no match for key\n_____\n"},
      {{"-u", "-k1,1", "-k2n"}, "a 5", "_\n  _\n"},
  };
  for (const auto& [args, line, expected] : cases) {
    SortSettings settings = settings_of(args);
    LineComparator comparator(settings);
    std::string out;
    comparator.annotate(line, out);
    EXPECT_EQ(out, expected) << line;
  }
  std::string echoed;
  append_debug_line("a\tb", echoed);
  EXPECT_EQ(echoed, "a>b\n");
}

// Random lines of numbers, words, versions and blanks.
std::string random_line(std::mt19937& random) {
  static const char* const kPieces[] = {
      "0",   "1",   "9",    "-",    ".",   " ", "\t", "a",  "B",  "k",    "K",
      "M",   "e",   "~",    ":",    "jan", "x", "_",  "00", "12", "1.5",  "-3",
      "inf", "nan", "\x01", "\xe9", "0x",  "Z", "y",  "z",  "..", ".tar", "\x80"};
  std::string line;
  std::size_t pieces = random() % 8;
  for (std::size_t i = 0; i < pieces; ++i) line += kPieces[random() % std::size(kPieces)];
  return line;
}

// compare() is a total order (antisymmetric, transitive over the sorted
// sequence) and digests never order lines against it, for every ordering.
TEST(TextKeys, CompareIsATotalOrderAndDigestsAgreeWithIt) {
  const std::vector<std::vector<std::string>> option_sets = {{},
                                                             {"-r"},
                                                             {"-f"},
                                                             {"-d"},
                                                             {"-i"},
                                                             {"-n"},
                                                             {"-nr"},
                                                             {"-h"},
                                                             {"-hf"},
                                                             {"-g"},
                                                             {"-gr"},
                                                             {"-M"},
                                                             {"-V"},
                                                             {"-R"},
                                                             {"-Rf"},
                                                             {"-k2"},
                                                             {"-k2r"},
                                                             {"-r", "-k1.3"},
                                                             {"-k2,2fr"},
                                                             {"-k1.2,2.3n"},
                                                             {"-t:", "-k2"},
                                                             {"-s", "-k2b,2"},
                                                             {"-u", "-k1,1h"},
                                                             {"-b", "-k2,3V"},
                                                             {"-z", "-k2"}};
  std::mt19937 random(12345);
  std::size_t skipped = 0;  // levels that shared_depth let pass
  for (const auto& args : option_sets) {
    SortSettings settings = settings_of(args);
    settings.random_seed = "seed";
    LineComparator comparator(settings);
    std::vector<std::string> lines(60);
    for (std::string& line : lines) line = random_line(random);
    // Lines that share a long start, as paths do.
    for (std::size_t i = 0; i < 10; ++i) {
      lines.push_back("/a shared start\tof some forty bytes/" + random_line(random));
    }
    // Numbers with more integer digits than a digest can count, and with
    // more digits than its first level holds.
    for (const char* sign : {"", "-"}) {
      lines.push_back(sign + std::string(20000, '9'));
      lines.push_back(sign + std::string(30000, '1'));
      lines.push_back(sign + std::string("1") + std::string(30, '0') + "1K");
      lines.push_back(sign + std::string("1") + std::string(30, '0') + "2");
    }
    for (const std::string& a : lines) {
      for (const std::string& b : lines) {
        int ab = comparator.compare(a, b);
        int ba = comparator.compare(b, a);
        ASSERT_EQ(ab<0, ba> 0) << a << " | " << b;
        ASSERT_EQ(ab == 0, ba == 0) << a << " | " << b;
        ASSERT_EQ(comparator.same_keys(a, b), comparator.compare_keys(a, b) == 0)
            << a << " | " << b;
        for (std::size_t level = 0; level < 16; ++level) {
          bool more_a = false;
          bool more_b = false;
          bool exact_a = false;
          bool exact_b = false;
          std::uint64_t da = comparator.digest(a, level, more_a, exact_a);
          std::uint64_t db = comparator.digest(b, level, more_b, exact_b);
          if (da != db) {
            ASSERT_EQ(da < db, ab < 0) << ::testing::PrintToString(args) << a << " | " << b;
            ASSERT_NE(ab, 0);
            break;
          }
          if (exact_a && exact_b) {
            ASSERT_EQ(ab, 0) << ::testing::PrintToString(args) << a << " | " << b;
          }
          if (!more_a || !more_b) break;
          // The levels said to be shared are equal and go on.
          const std::size_t through =
              comparator.shared_depth(a, comparator.place(a), b, comparator.place(b), level);
          ASSERT_GE(through, level);
          skipped += through - level;
          for (std::size_t deeper = level + 1; deeper <= through; ++deeper) {
            bool deeper_a = false;
            bool deeper_b = false;
            ASSERT_EQ(comparator.digest(a, deeper, deeper_a),
                      comparator.digest(b, deeper, deeper_b))
                << ::testing::PrintToString(args) << a << " | " << b << " at " << deeper;
            ASSERT_TRUE(deeper_a && deeper_b) << ::testing::PrintToString(args) << a << " | " << b;
          }
        }
      }
    }
    std::sort(lines.begin(), lines.end(), [&](const std::string& x, const std::string& y) {
      return comparator.compare(x, y) < 0;
    });
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      for (std::size_t j = i + 1; j < lines.size(); ++j) {
        ASSERT_LE(comparator.compare(lines[i], lines[j]), 0) << ::testing::PrintToString(args);
      }
    }
  }
  EXPECT_GT(skipped, 0U);
}

// -R: equal keys (after -f) lie together; the order follows the seed.
TEST(TextKeys, RandomOrderKeepsEqualKeysTogetherAndFollowsTheSeed) {
  std::vector<std::string> lines;
  for (char c = 'a'; c <= 'z'; ++c) {
    lines.push_back(std::string(1, c));
    lines.push_back(std::string(1, static_cast<char>(c - 'a' + 'A')));
  }
  auto order_with = [&](const std::string& seed) {
    SortSettings settings = settings_of({"-Rf", "-s"});
    settings.random_seed = seed;
    LineComparator comparator(settings);
    std::vector<std::string> sorted = lines;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](const auto& x, const auto& y) { return comparator.compare(x, y) < 0; });
    for (std::size_t i = 0; i < sorted.size(); i += 2) {
      EXPECT_EQ(sorted[i][0], sorted[i + 1][0] + ('a' - 'A')) << seed;  // "a" then "A"
    }
    return sorted;
  };
  EXPECT_EQ(order_with("one"), order_with("one"));
  EXPECT_NE(order_with("one"), order_with("two"));
}

}  // namespace
}  // namespace zelto::text
