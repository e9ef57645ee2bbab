// The eight comparators, table-driven: each case gives the ascending result of
// compare(a, b) and whether a full tie is noted; the descending twin and the
// swapped arguments are checked from the same row.
#include "compare.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "comparator_model.h"
#include "records.h"
#include "tie_register.h"

namespace zelto {
namespace {

using testing::Bytes;
using testing::clear_tie_register;
using testing::with_double;
using testing::with_word;

// Comparators read exactly the first MINIMUM_RECORD_SIZE bytes; records of
// exactly that size let the sanitizer catch any read beyond them.
constexpr std::size_t RECORD_SIZE = MINIMUM_RECORD_SIZE;
constexpr std::int32_t INT_MIN32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t INT_MAX32 = std::numeric_limits<std::int32_t>::max();
const double NaN = std::numeric_limits<double>::quiet_NaN();
const double INF = std::numeric_limits<double>::infinity();

// A record with a zero key area and `number`.
Bytes numbered(std::int32_t number) {
  return testing::make_record(number, "", {MINIMUM_RECORD_SIZE, true});
}

// Phrase key: `key` (cut to the key area, may hold NULs) at offset 0.
Bytes phrase(std::string_view key, std::int32_t number) {
  return testing::with_key_bytes(numbered(number), key);
}

// All bytes of the window given: the key area, the record number's bytes and
// the seven bytes after it.
Bytes window(std::string_view bytes) {
  Bytes r(RECORD_SIZE, 0);
  std::memcpy(r.data(), bytes.data(), std::min(bytes.size(), RECORD_SIZE));
  return r;
}

std::int32_t number_of(const Bytes& r) {
  return testing::model_record_number(r.data());
}

struct Twins {
  const char* name;
  Comparator ascending;
  Comparator descending;
  // Integer and double comparators return exactly -1, 0 or 1; the phrase
  // comparators only promise the sign.
  bool exact_values;
};

const Twins INTEGERS{"integers", compare_integers, compare_integers_descending, true};
const Twins DOUBLES{"doubles", compare_doubles, compare_doubles_descending, true};
const Twins PHRASES{"phrases", compare_phrases, compare_phrases_descending, false};
const Twins FOLDED{"folded", case_insensitive_comparison, case_insensitive_comparison_descending,
                   false};

struct Case {
  std::string name;
  Twins twins;
  Bytes a;
  Bytes b;
  int ascending;  // the result of compare(a, b) ascending: -1, 0 or 1
  bool ties;      // a full tie is noted, with the first argument's number
};

int sign(int v) {
  return (v > 0) - (v < 0);
}

void check(const Case& c, bool descending, bool swapped) {
  SCOPED_TRACE(std::string(c.twins.name) + ": " + c.name + (descending ? " descending" : "") +
               (swapped ? " swapped" : ""));
  const Bytes& first = swapped ? c.b : c.a;
  const Bytes& second = swapped ? c.a : c.b;
  int want = c.ascending;
  if (swapped) want = -want;
  if (descending) want = -want;
  const Bytes first_before = first;
  const Bytes second_before = second;

  clear_tie_register();
  const Comparator compare = descending ? c.twins.descending : c.twins.ascending;
  const int got = compare(first.data(), second.data());
  if (c.twins.exact_values) {
    EXPECT_EQ(got, want);
  } else {
    EXPECT_EQ(sign(got), want) << "returned " << got;
  }
  if (c.ties) {
    EXPECT_EQ(h, 1);
    EXPECT_EQ(check_ID[0], number_of(first));
  } else {
    EXPECT_EQ(h, 0) << "no tie should be noted";
    EXPECT_EQ(check_ID[0], 0);
  }
  EXPECT_EQ(first, first_before) << "the comparator changed a record";
  EXPECT_EQ(second, second_before) << "the comparator changed a record";
  if (c.ties) {
    // Keys known to tie reach the same result, and the same tie, the short way.
    clear_tie_register();
    EXPECT_EQ(sign(comparator_for_tied_keys(compare)(first.data(), second.data())), sign(got));
    EXPECT_EQ(h, 1);
    EXPECT_EQ(check_ID[0], number_of(first));
  }
}

void run_table(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    for (const bool descending : {false, true}) {
      for (const bool swapped : {false, true}) check(c, descending, swapped);
    }
  }
  clear_tie_register();
}

TEST(Compare, IntegerKeys) {
  const Bytes zero7 = numbered(7);
  run_table({
      {"first word, signed", INTEGERS, with_word(numbered(1), 0, -1), with_word(numbered(2), 0, 1),
       -1, false},
      {"first word greater", INTEGERS, with_word(numbered(1), 0, 5), with_word(numbered(2), 0, 4),
       1, false},
      // The record numbers would order them the other way: they are not read.
      {"last word decides", INTEGERS, with_word(numbered(100), 19, 3),
       with_word(numbered(1), 19, 4), -1, false},
      {"middle word extremes", INTEGERS, with_word(numbered(1), 10, INT_MIN32),
       with_word(numbered(1), 10, INT_MAX32), -1, false},
      {"earlier word wins over later", INTEGERS, with_word(with_word(numbered(1), 0, 1), 1, 100),
       with_word(with_word(numbered(1), 0, 2), 1, -100), -1, false},
      {"full tie 100+7 vs 100+12", INTEGERS, with_word(numbered(7), 19, 100),
       with_word(numbered(12), 19, 100), -1, true},
      {"full tie, first sum wraps to INT_MIN", INTEGERS, with_word(numbered(1), 19, INT_MAX32),
       with_word(numbered(0), 19, INT_MAX32), -1, true},
      {"full tie, first sum wraps to INT_MAX", INTEGERS, with_word(numbered(-1), 19, INT_MIN32),
       with_word(numbered(0), 19, INT_MIN32), 1, true},
      {"full tie, negative number", INTEGERS, numbered(-1), numbered(1), -1, true},
      {"full tie, same number", INTEGERS, zero7, zero7, 0, true},
  });
}

TEST(Compare, DoubleKeys) {
  const double two64 = std::ldexp(1.0, 64);
  run_table({
      {"first double", DOUBLES, with_double(numbered(1), 0, -1.0), with_double(numbered(2), 0, 1.0),
       -1, false},
      {"first double greater", DOUBLES, with_double(numbered(1), 0, 2.0),
       with_double(numbered(2), 0, 1.0), 1, false},
      {"tenth double decides, numbers unread", DOUBLES, with_double(numbered(1), 9, 0.5),
       with_double(numbered(100), 9, 0.25), 1, false},
      {"-inf before -max", DOUBLES, with_double(numbered(1), 3, -INF),
       with_double(numbered(1), 3, -DBL_MAX), -1, false},
      {"subnormal after zero", DOUBLES, with_double(numbered(1), 0, DBL_TRUE_MIN), numbered(1), 1,
       false},
      // Every NaN equals every other NaN and comes after every number.
      {"NaN after a number", DOUBLES, with_double(numbered(1), 0, NaN),
       with_double(numbered(2), 0, 1.0), 1, false},
      {"NaN after +inf", DOUBLES, with_double(numbered(1), 4, NaN),
       with_double(numbered(2), 4, INF), 1, false},
      {"negative NaN after zero", DOUBLES, with_double(numbered(1), 0, -NaN), numbered(2), 1,
       false},
      {"NaN against NaN, the next double decides", DOUBLES,
       with_double(with_double(numbered(2), 0, NaN), 1, 1.0),
       with_double(with_double(numbered(1), 0, -NaN), 1, 2.0), -1, false},
      // A NaN sorts beside a NaN but equals nothing: no tie is noted.
      {"NaN against NaN, numbers decide", DOUBLES, with_double(numbered(1), 0, NaN),
       with_double(numbered(2), 0, -NaN), -1, false},
      // A NaN last double leaves the order to the sort.
      {"NaN in the tenth double of equal keys", DOUBLES, with_double(numbered(1), 9, NaN),
       with_double(numbered(1), 9, NaN), 0, false},
      {"NaN in the tenth double, numbers 2 vs 1", DOUBLES, with_double(numbered(2), 9, NaN),
       with_double(numbered(1), 9, -NaN), 0, false},
      {"-0.0 equals 0.0, numbers 3 vs 4", DOUBLES, with_double(numbered(3), 0, -0.0),
       with_double(numbered(4), 0, 0.0), -1, true},
      {"-0.0 equals 0.0, numbers 4 vs 3", DOUBLES, with_double(numbered(4), 9, -0.0),
       with_double(numbered(3), 9, 0.0), 1, true},
      {"-0.0 equals 0.0, same number", DOUBLES, with_double(numbered(5), 9, -0.0),
       with_double(numbered(5), 9, 0.0), 0, true},
      {"full tie 1.5+7 vs 1.5+12", DOUBLES, with_double(numbered(7), 9, 1.5),
       with_double(numbered(12), 9, 1.5), -1, true},
      {"full tie -1+(-3) vs -1+2", DOUBLES, with_double(numbered(-3), 9, -1.0),
       with_double(numbered(2), 9, -1.0), -1, true},
      {"1e17: both sums round to 1e17", DOUBLES, with_double(numbered(3), 9, 1e17),
       with_double(numbered(4), 9, 1e17), 0, true},
      // 2^64 + 2049 rounds to 2^64 + 2048 with a 64-bit significand, which
      // then rounds to even, 2^64; one rounding to binary64 would give
      // 2^64 + 4096.
      {"2^64 with 2049 vs 2048", DOUBLES, with_double(numbered(2049), 9, two64),
       with_double(numbered(2048), 9, two64), 0, true},
      {"infinity swallows the numbers", DOUBLES, with_double(numbered(1), 9, INF),
       with_double(numbered(2), 9, INF), 0, true},
  });
}

TEST(Compare, ExactPhrases) {
  const std::string x80(KEY_AREA_SIZE, 'x');
  // 80 letters, the number 0x41414141 ("AAAA") and seven more letters: a
  // 91-byte phrase with no NUL.
  const std::string full = x80 + "AAAA" + "abcdefg";
  std::string full_b = full;
  full_b[MINIMUM_RECORD_SIZE - 1] = 'h';
  run_table({
      {"pear 7 vs pear 12", PHRASES, phrase("pear", 7), phrase("pear", 12), -1, true},
      {"number text: -5 after 7", PHRASES, phrase("pear", -5), phrase("pear", 7), 1, true},
      {"number text: -5 before 12", PHRASES, phrase("pear", -5), phrase("pear", 12), -1, true},
      {"number text: INT_MIN before ten digits", PHRASES, phrase("pear", INT_MIN32),
       phrase("pear", 1000000000), -1, true},
      {"number text: INT_MIN vs -1000000000", PHRASES, phrase("pear", INT_MIN32),
       phrase("pear", -1000000000), 1, true},
      {"number text: INT_MAX after INT_MIN", PHRASES, phrase("pear", INT_MAX32),
       phrase("pear", INT_MIN32), 1, true},
      {"number text: -12 before -34", PHRASES, phrase("pear", -12), phrase("pear", -34), -1, true},
      {"number text: -9 before -10", PHRASES, phrase("pear", -9), phrase("pear", -10), -1, true},
      {"number text: 99 before 100", PHRASES, phrase("pear", 99), phrase("pear", 100), -1, true},
      {"same phrase, same number", PHRASES, phrase("pear", 5), phrase("pear", 5), 0, true},
      {"empty phrases tie", PHRASES, phrase("", 1), phrase("", 2), -1, true},
      {"bytes after the NUL play no part", PHRASES, phrase(std::string_view("ab\0X", 4), 1),
       phrase(std::string_view("ab\0Y", 4), 2), -1, true},
      {"a before b", PHRASES, phrase("a", 9), phrase("b", 1), -1, false},
      {"upper case before lower", PHRASES, phrase("B", 1), phrase("a", 2), -1, false},
      {"underscore after A", PHRASES, phrase("_", 1), phrase("A", 2), 1, false},
      {"prefix first", PHRASES, phrase("ab", 9), phrase("abc", 1), -1, false},
      {"empty first", PHRASES, phrase("", 9), phrase("a", 1), -1, false},
      {"bytes compare unsigned", PHRASES, phrase("\x80", 1), phrase("z", 2), 1, false},
      {"0xFF after 0x01", PHRASES, phrase("a\xff", 1), phrase("a\x01", 2), 1, false},
      // Record 256 is 00 01 00 00: its phrase ends at offset 80, record 1's
      // (01 00 00 00) one byte later.
      {"no NUL: record 256 before record 1", PHRASES, phrase(x80, 256), phrase(x80, 1), -1, false},
      {"no NUL: the 91st byte decides", PHRASES, window(full), window(full_b), -1, false},
      {"no NUL: 91 equal bytes tie", PHRASES, window(full), window(full), 0, true},
  });
}

TEST(Compare, FoldedPhrases) {
  const std::string x80(KEY_AREA_SIZE, 'x');
  run_table({
      {"Apple 9 before apple 2", FOLDED, phrase("Apple", 9), phrase("apple", 2), -1, true},
      {"apple 2 after APPLE 9", FOLDED, phrase("apple", 2), phrase("APPLE", 9), 1, true},
      {"Z before z", FOLDED, phrase("Z", 1), phrase("z", 2), -1, true},
      {"Pear 7 vs Pear 12", FOLDED, phrase("Pear", 7), phrase("Pear", 12), -1, true},
      {"number text: -5 after 7", FOLDED, phrase("pear", -5), phrase("pear", 7), 1, true},
      {"same phrase, same number", FOLDED, phrase("PeAr", 3), phrase("PeAr", 3), 0, true},
      {"high bytes kept, letters folded", FOLDED, phrase("a\x80", 1), phrase("A\x80", 2), 1, true},
      {"B after a", FOLDED, phrase("B", 1), phrase("a", 2), 1, false},
      {"underscore before A", FOLDED, phrase("_", 1), phrase("A", 2), -1, false},
      {"AB before abc", FOLDED, phrase("AB", 1), phrase("abc", 2), -1, false},
      // Only A-Z fold: @ [ and Latin-1 letters keep their bytes.
      {"@ is not `", FOLDED, phrase("@", 1), phrase("`", 2), -1, false},
      {"[ is not {", FOLDED, phrase("[", 1), phrase("{", 2), -1, false},
      {"0xC9 is not 0xE9", FOLDED, phrase("\xC9", 1), phrase("\xE9", 2), -1, false},
      {"bytes compare unsigned", FOLDED, phrase("\x80", 1), phrase("z", 2), 1, false},
      // The phrases run into the record numbers 65 ("A") and 97 ("a"), equal
      // under folding; the exact bytes then put "A" first.
      {"no NUL: number bytes fold", FOLDED, phrase(x80, 65), phrase(x80, 97), -1, true},
      {"no NUL: record 256 before record 1", FOLDED, phrase(x80, 256), phrase(x80, 1), -1, false},
  });
}

TEST(Compare, TieRegisterIsARingOf128Slots) {
  clear_tie_register();
  const Bytes other = numbered(0);
  for (std::int32_t number = 1; number <= 130; ++number) {
    const Bytes r = numbered(number);
    EXPECT_EQ(compare_integers(r.data(), other.data()), 1);
  }
  EXPECT_EQ(h, 2);
  EXPECT_EQ(check_ID[0], 129);
  EXPECT_EQ(check_ID[1], 130);
  for (std::size_t slot = 2; slot < TIE_SLOTS; ++slot) {
    EXPECT_EQ(check_ID[slot], static_cast<std::int32_t>(slot + 1)) << "slot " << slot;
  }
  clear_tie_register();
}

TEST(Compare, APairComparedTwiceIsNotedTwice) {
  clear_tie_register();
  const Bytes a = phrase("same", 4);
  const Bytes b = phrase("same", 8);
  EXPECT_LT(compare_phrases_descending(b.data(), a.data()), 0);
  EXPECT_GT(compare_phrases_descending(a.data(), b.data()), 0);
  EXPECT_EQ(h, 2);
  EXPECT_EQ(check_ID[0], 8);
  EXPECT_EQ(check_ID[1], 4);
  clear_tie_register();
}

}  // namespace
}  // namespace zelto
