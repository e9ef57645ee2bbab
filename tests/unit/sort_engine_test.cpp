// The sort engine against the comparators it must reproduce: a differential
// test on random record sets of every key kind and direction, a property
// test with NaN doubles, and the tie register as a witness of which records
// the engine compared.
#include "sort_engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "comparator_model.h"
#include "compare.h"
#include "radix_sort.h"
#include "reference_sort.h"
#include "tie_register.h"

namespace zelto {
namespace {

using Rng = std::mt19937;
using testing::clear_tie_register;
using Order = std::vector<std::uint32_t>;

constexpr std::int32_t INT_MIN32 = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t INT_MAX32 = std::numeric_limits<std::int32_t>::max();

// Records back to back in a buffer of exactly their size, so that the
// sanitizer build catches a read past the last record.
struct RecordSet {
  std::size_t record_size;
  std::size_t count;
  std::vector<unsigned char> bytes;
  [[nodiscard]] const unsigned char* record(std::size_t i) const {
    return bytes.data() + i * record_size;
  }
};

using Fill = void (*)(unsigned char* record, Rng& rng);

struct Generator {
  const char* name;
  Fill fill;
};

// A set whose every byte starts random (text fields, bytes after a phrase's
// NUL), then `fill` writes the key area and the record number.
RecordSet make_set(std::size_t count, std::size_t record_size, Rng& rng, Fill fill) {
  RecordSet set{record_size, count, std::vector<unsigned char>(count * record_size)};
  for (unsigned char& b : set.bytes) b = static_cast<unsigned char>(rng());
  for (std::size_t i = 0; i < count; ++i) fill(set.bytes.data() + i * record_size, rng);
  return set;
}

void put_number(unsigned char* r, std::int32_t number) {
  store_little_endian(r + RECORD_NUMBER_OFFSET, static_cast<std::uint32_t>(number), 4);
}

std::int32_t get_number(const unsigned char* r) {
  return testing::model_record_number(r);
}

template <typename T, std::size_t N>
T pick(const std::array<T, N>& pool, Rng& rng) {
  return pool[rng() % N];
}

// Record numbers: often equal, often extreme (their sums with the last word
// wrap, their "%10d" texts order unlike the numbers), sometimes random.
std::int32_t pick_number(Rng& rng) {
  static constexpr std::array<std::int32_t, 17> extremes = {
      INT_MIN32, INT_MIN32 + 1, -1000000000, -34,  -12,        -5,       -1, 0, 1, 7, 12,
      99,        100,           2048,        2049, 1000000000, INT_MAX32};
  switch (rng() % 3) {
    case 0: return static_cast<std::int32_t>(rng() % 4);
    case 1: return pick(extremes, rng);
    default: return static_cast<std::int32_t>(rng());
  }
}

// Writes `phrase` (cut to the 91-byte window) from offset 0, and its NUL when
// it ends inside the window.
void put_phrase(unsigned char* r, std::string_view phrase) {
  const std::size_t length = std::min<std::size_t>(phrase.size(), PHRASE_WINDOW);
  std::memcpy(r, phrase.data(), length);
  if (length < PHRASE_WINDOW) r[length] = 0;
}

// ---- phrase keys

void short_phrases(unsigned char* r, Rng& rng) {
  static constexpr std::string_view alphabet = "aAbB_\x80\xff";
  put_number(r, pick_number(rng));
  std::string phrase;
  for (std::size_t n = rng() % 4; n > 0; --n) phrase += alphabet[rng() % alphabet.size()];
  put_phrase(r, phrase);
}

// Sixty equal leading bytes (equal under folding when the case differs) and
// a short tail: the engine must look past seven levels of equal prefixes.
void long_shared_prefix(unsigned char* r, Rng& rng) {
  put_number(r, pick_number(rng));
  std::string phrase(60, 'k');
  if (rng() % 4 == 0) {
    for (char& c : phrase) c = rng() % 2 == 0 ? 'k' : 'K';
  }
  for (std::size_t n = rng() % 20; n > 0; --n) phrase += "abAB"[rng() % 4];
  put_phrase(r, phrase);
}

// Eighty letters and no NUL: the phrase runs into the record number's bytes
// and, when those hold no zero, on to byte 90.
void phrases_without_nul(unsigned char* r, Rng& rng) {
  static constexpr std::array<std::int32_t, 9> numbers = {
      0x41414141, 0x01010101, 0x61616161, 0x41004141, 256, 1, 0, 65, 97};
  put_number(r, pick(numbers, rng));
  std::memset(r, 'a', KEY_AREA_SIZE);
  if (rng() % 4 == 0) r[rng() % KEY_AREA_SIZE] = rng() % 2 == 0 ? 'A' : 'b';
  static constexpr std::string_view tail("aaaA\0b", 6);
  const bool varied = rng() % 2 == 0;
  for (int i = RECORD_NUMBER_OFFSET + 4; i < PHRASE_WINDOW; ++i) {
    r[i] = varied ? static_cast<unsigned char>(tail[rng() % tail.size()]) : 'a';
  }
}

// A few words in every mix of letter case, with neighbours of the letters
// that folding must leave alone.
void case_variants(unsigned char* r, Rng& rng) {
  static constexpr std::array<std::string_view, 11> words = {
      "apple", "pear", "zz", "_", "@", "[", "`", "{", "a\x80", "A\xc9", "\xe9"};
  put_number(r, pick_number(rng));
  std::string word(pick(words, rng));
  for (char& c : word) {
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (letter && rng() % 2 == 0) c = static_cast<char>(c ^ 0x20);
  }
  put_phrase(r, word);
}

void random_phrases(unsigned char* r, Rng& rng) {
  put_number(r, pick_number(rng));
  std::string phrase;
  for (std::size_t n = rng() % (PHRASE_WINDOW + 1); n > 0; --n) {
    phrase += static_cast<char>(1 + rng() % 255);
  }
  put_phrase(r, phrase);
}

// ---- integer keys

void put_word(unsigned char* r, int index, std::int32_t v) {
  std::memcpy(r + 4 * index, &v, 4);
}

std::int32_t pick_word(Rng& rng) {
  static constexpr std::array<std::int32_t, 9> words = {
      INT_MIN32, INT_MIN32 + 1, -256, -1, 0, 1, 256, INT_MAX32 - 1, INT_MAX32};
  return pick(words, rng);
}

// Three fixed key areas, one word changed now and then.
void integer_templates(unsigned char* r, Rng& rng) {
  const int chosen = static_cast<int>(rng() % 3);
  for (int w = 0; w < 20; ++w) put_word(r, w, (w * 7919 + chosen) % 5 - 2);
  if (rng() % 2 == 0) put_word(r, static_cast<int>(rng() % 20), pick_word(rng));
  put_number(r, pick_number(rng));
}

// Keys that differ in the last word only, so the tie-break sums matter.
void integers_equal_but_last(unsigned char* r, Rng& rng) {
  for (int w = 0; w < 19; ++w) put_word(r, w, w % 2 == 0 ? INT_MIN32 : 5);
  put_word(r, 19, pick_word(rng));
  put_number(r, pick_number(rng));
}

// Fifteen equal words (sixty bytes) and five small ones.
void integers_shared_prefix(unsigned char* r, Rng& rng) {
  for (int w = 0; w < 15; ++w) put_word(r, w, 123456789 * (w + 1));
  for (int w = 15; w < 20; ++w) put_word(r, w, static_cast<std::int32_t>(rng() % 3) - 1);
  put_number(r, pick_number(rng));
}

void random_integers(unsigned char* r, Rng& rng) {
  for (int w = 0; w < 20; ++w) put_word(r, w, static_cast<std::int32_t>(rng()));
  put_number(r, pick_number(rng));
}

// ---- double keys

void put_double(unsigned char* r, int index, double v) {
  std::memcpy(r + 8 * index, &v, 8);
}

double pick_double(Rng& rng) {
  static const std::array<double, 16> values = {
      0.0,           -0.0,      1.0,      -1.0,
      0.5,           1e17,      -1e17,    std::ldexp(1.0, 64),
      INFINITY,      -INFINITY, DBL_MIN,  DBL_TRUE_MIN,
      -DBL_TRUE_MIN, DBL_MAX,   -DBL_MAX, 3.0};
  return pick(values, rng);
}

void double_templates(unsigned char* r, Rng& rng) {
  const int chosen = static_cast<int>(rng() % 3);
  for (int d = 0; d < 10; ++d) put_double(r, d, ((d * 31 + chosen) % 3) - 1.0);
  if (rng() % 2 == 0) put_double(r, static_cast<int>(rng() % 10), pick_double(rng));
  put_number(r, pick_number(rng));
}

void doubles_equal_but_last(unsigned char* r, Rng& rng) {
  for (int d = 0; d < 9; ++d) put_double(r, d, d % 2 == 0 ? -0.0 : 0.0);
  put_double(r, 9, pick_double(rng));
  put_number(r, pick_number(rng));
}

void doubles_shared_prefix(unsigned char* r, Rng& rng) {
  for (int d = 0; d < 7; ++d) put_double(r, d, 1.0 / (d + 1));
  for (int d = 7; d < 10; ++d) put_double(r, d, pick_double(rng));
  put_number(r, pick_number(rng));
}

void random_doubles(unsigned char* r, Rng& rng) {
  for (int d = 0; d < 10; ++d) {
    std::uint64_t bits = static_cast<std::uint64_t>(rng()) << 32 | rng();
    double v;
    std::memcpy(&v, &bits, 8);
    put_double(r, d, std::isnan(v) ? -0.0 : v);
  }
  put_number(r, pick_number(rng));
}

// Template keys where about one record in six holds a NaN (quiet or
// signalling, either sign) in one of its doubles.
void doubles_with_nan(unsigned char* r, Rng& rng) {
  static constexpr std::array<std::uint64_t, 4> nans = {
      0x7FF8000000000000ULL, 0xFFF8000000000000ULL, 0x7FF0000000000001ULL, 0xFFFFFFFFFFFFFFFFULL};
  double_templates(r, rng);
  if (rng() % 6 == 0) std::memcpy(r + 8 * (rng() % 10), &nans[rng() % nans.size()], 8);
}

const std::vector<Generator> PHRASE_GENERATORS = {{"short phrases", short_phrases},
                                                  {"60-byte shared prefix", long_shared_prefix},
                                                  {"phrases without NUL", phrases_without_nul},
                                                  {"case variants", case_variants},
                                                  {"random phrases", random_phrases}};
const std::vector<Generator> INTEGER_GENERATORS = {
    {"templates", integer_templates},
    {"equal but the last word", integers_equal_but_last},
    {"60-byte shared prefix", integers_shared_prefix},
    {"random", random_integers}};
const std::vector<Generator> DOUBLE_GENERATORS = {
    {"templates", double_templates},
    {"equal but the last double", doubles_equal_but_last},
    {"56-byte shared prefix", doubles_shared_prefix},
    {"random", random_doubles}};

const std::vector<Generator>& generators_for(KeyKind kind) {
  switch (kind) {
    case KeyKind::Integers: return INTEGER_GENERATORS;
    case KeyKind::Doubles: return DOUBLE_GENERATORS;
    default: return PHRASE_GENERATORS;
  }
}

struct NamedPolicy {
  const char* name;
  SortPolicy policy;
};

const std::array<NamedPolicy, 8> POLICIES = {{
    {"phrases ascending", {KeyKind::Phrase, false, compare_phrases}},
    {"phrases descending", {KeyKind::Phrase, true, compare_phrases_descending}},
    {"folded ascending", {KeyKind::FoldedPhrase, false, case_insensitive_comparison}},
    {"folded descending", {KeyKind::FoldedPhrase, true, case_insensitive_comparison_descending}},
    {"integers ascending", {KeyKind::Integers, false, compare_integers}},
    {"integers descending", {KeyKind::Integers, true, compare_integers_descending}},
    {"doubles ascending", {KeyKind::Doubles, false, compare_doubles}},
    {"doubles descending", {KeyKind::Doubles, true, compare_doubles_descending}},
}};

// Sizes around the insertion and radix thresholds, and a few thousand.
constexpr std::array<std::size_t, 12> SIZES = {0, 1, 2, 3, 5, 12, 13, 40, 300, 511, 700, 2500};

Order engine_order(const RecordSet& set, const SortPolicy& policy, unsigned threads = 1) {
  SortSpace space(set.count);
  EXPECT_TRUE(space.allocated());
  const std::span<std::uint32_t> order =
      sort_records(set.bytes.data(), set.record_size, policy, space, threads);
  return Order(order.begin(), order.end());
}

Order reference_order(const RecordSet& set, const SortPolicy& policy) {
  return testing::sort_by_comparator(set.bytes.data(), set.record_size, set.count, policy.compare);
}

Order stable_sort_order(const RecordSet& set, Comparator compare) {
  Order order(set.count);
  for (std::size_t i = 0; i < set.count; ++i) order[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return compare(set.record(a), set.record(b)) < 0;
  });
  return order;
}

::testing::AssertionResult is_permutation(const Order& order, std::size_t count) {
  if (order.size() != count) {
    return ::testing::AssertionFailure() << order.size() << " indices for " << count << " records";
  }
  std::vector<bool> seen(count, false);
  for (const std::uint32_t index : order) {
    if (index >= count || seen[index]) {
      return ::testing::AssertionFailure() << "index " << index << " is out of range or repeated";
    }
    seen[index] = true;
  }
  return ::testing::AssertionSuccess();
}

std::string describe(const RecordSet& set, std::uint32_t index) {
  return "record " + std::to_string(index) + " (number " +
         std::to_string(get_number(set.record(index))) + ")";
}

// Every neighbouring pair is in order: compare(a, b) <= 0.
::testing::AssertionResult is_sorted(const RecordSet& set, Comparator compare, const Order& order) {
  for (std::size_t i = 1; i < order.size(); ++i) {
    if (compare(set.record(order[i - 1]), set.record(order[i])) > 0) {
      return ::testing::AssertionFailure()
             << "positions " << i - 1 << " and " << i << ": " << describe(set, order[i - 1])
             << " belongs after " << describe(set, order[i]);
    }
  }
  return ::testing::AssertionSuccess();
}

// Both orders are sorted permutations; wherever they hold different
// records, the comparator says those records are equal.
::testing::AssertionResult same_up_to_ties(const RecordSet& set, Comparator compare,
                                           const Order& got, const Order& reference) {
  for (std::size_t i = 0; i < got.size(); ++i) {
    if (got[i] == reference[i]) continue;
    const int c = compare(set.record(got[i]), set.record(reference[i]));
    if (c != 0) {
      return ::testing::AssertionFailure()
             << "position " << i << ": " << describe(set, got[i]) << " where the reference has "
             << describe(set, reference[i]) << " (compare gives " << c << ")";
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(SortEngine, MatchesTheComparatorOrderOnRandomSets) {
  Rng rng(1187);
  for (const NamedPolicy& p : POLICIES) {
    const Comparator compare = p.policy.compare;
    for (const Generator& g : generators_for(p.policy.kind)) {
      for (const std::size_t count : SIZES) {
        SCOPED_TRACE(std::string(p.name) + ", " + g.name + ", " + std::to_string(count) +
                     " records");
        // Odd record sizes leave the records unaligned.
        const std::size_t record_size = count % 2 == 0 ? MINIMUM_RECORD_SIZE : 131;
        const RecordSet set = make_set(count, record_size, rng, g.fill);
        const std::vector<unsigned char> before = set.bytes;
        const Order got = engine_order(set, p.policy);
        ASSERT_EQ(set.bytes, before) << "the engine changed the records";
        const Order reference = reference_order(set, p.policy);
        const Order stable = stable_sort_order(set, compare);
        ASSERT_TRUE(is_permutation(got, count));
        ASSERT_TRUE(is_permutation(reference, count));
        ASSERT_TRUE(is_sorted(set, compare, reference)) << "the reference itself";
        ASSERT_TRUE(is_sorted(set, compare, got));
        ASSERT_TRUE(same_up_to_ties(set, compare, got, reference));
        ASSERT_TRUE(same_up_to_ties(set, compare, got, stable));
        // Records the comparator calls equal leave in record order, so that a
        // merge of sorted chunks of the file gives the very same order.
        ASSERT_EQ(got, stable);
      }
    }
  }
  clear_tie_register();
}

bool holds_nan(const unsigned char* r) {
  for (int d = 0; d < 10; ++d) {
    double v;
    std::memcpy(&v, r + 8 * d, 8);
    if (std::isnan(v)) return true;
  }
  return false;
}

TEST(SortEngine, NaNDoublesLoseNoRecordAndLeaveTheRestInOrder) {
  Rng rng(4242);
  for (const NamedPolicy& p : {POLICIES[6], POLICIES[7]}) {
    for (const std::size_t count : SIZES) {
      SCOPED_TRACE(std::string(p.name) + ", " + std::to_string(count) + " records");
      const RecordSet set = make_set(count, 96, rng, doubles_with_nan);
      const Order got = engine_order(set, p.policy);
      ASSERT_TRUE(is_permutation(got, count));
      ASSERT_TRUE(is_permutation(reference_order(set, p.policy), count));
      for (std::size_t i = 1; i < got.size(); ++i) {
        const unsigned char* a = set.record(got[i - 1]);
        const unsigned char* b = set.record(got[i]);
        if (holds_nan(a) || holds_nan(b)) continue;
        ASSERT_LE(p.policy.compare(a, b), 0)
            << "positions " << i - 1 << " and " << i << ": " << describe(set, got[i - 1])
            << " belongs after " << describe(set, got[i]);
      }
    }
  }
  // Every record a NaN, all of them bitwise equal.
  for (const NamedPolicy& p : {POLICIES[6], POLICIES[7]}) {
    RecordSet set{96, 700, std::vector<unsigned char>(700 * 96, 0)};
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < set.count; ++i) {
      std::memcpy(set.bytes.data() + i * 96 + 8 * (i % 10), &nan, 8);
    }
    EXPECT_TRUE(is_permutation(engine_order(set, p.policy), set.count)) << p.name;
  }
  clear_tie_register();
}

// ---- the tie register

// True when the two records' keys are equal in the comparator's primary
// order, before any record number is consulted.
bool keys_tie(KeyKind kind, const unsigned char* a, const unsigned char* b) {
  switch (kind) {
    case KeyKind::Integers: return testing::keys_tie(testing::ModelKey::Integers, a, b);
    case KeyKind::Doubles: return testing::keys_tie(testing::ModelKey::Doubles, a, b);
    case KeyKind::Phrase: return testing::keys_tie(testing::ModelKey::Phrase, a, b);
    case KeyKind::FoldedPhrase: return testing::keys_tie(testing::ModelKey::FoldedPhrase, a, b);
  }
  return false;
}

// Gives the records the numbers 1 to count, in a shuffled order, so that a
// noted number names exactly one record (and 0 means an empty slot).
void number_uniquely(RecordSet& set, Rng& rng) {
  Order numbers(set.count);
  for (std::size_t i = 0; i < set.count; ++i) numbers[i] = static_cast<std::uint32_t>(i + 1);
  std::shuffle(numbers.begin(), numbers.end(), rng);
  for (std::size_t i = 0; i < set.count; ++i) {
    put_number(set.bytes.data() + i * set.record_size, static_cast<std::int32_t>(numbers[i]));
  }
}

::testing::AssertionResult register_is_empty() {
  if (h != 0) return ::testing::AssertionFailure() << h << " ties were noted";
  for (std::size_t slot = 0; slot < TIE_SLOTS; ++slot) {
    if (check_ID[slot] != 0) {
      return ::testing::AssertionFailure() << "slot " << slot << " holds " << check_ID[slot];
    }
  }
  return ::testing::AssertionSuccess();
}

// Keys that are all distinct, built so that they share long prefixes.
RecordSet distinct_keys(KeyKind kind, std::size_t count, Rng& rng, bool full_window) {
  RecordSet set = make_set(count, MINIMUM_RECORD_SIZE, rng, [](unsigned char*, Rng&) {});
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* r = set.bytes.data() + i * set.record_size;
    const auto n = static_cast<std::uint32_t>(i);
    switch (kind) {
      case KeyKind::Integers:
        for (int w = 0; w < 19; ++w) put_word(r, w, -7);
        put_word(r, 19, static_cast<std::int32_t>(n * 2654435761U));
        put_number(r, static_cast<std::int32_t>(n + 1));
        break;
      case KeyKind::Doubles:
        for (int d = 0; d < 9; ++d) put_double(r, d, 0.25);
        put_double(r, 9, (static_cast<double>(n) - count / 2.0) * 1e-3);
        put_number(r, static_cast<std::int32_t>(n + 1));
        break;
      case KeyKind::Phrase:
      case KeyKind::FoldedPhrase: {
        // Distinct even under folding: the tail spells the index in
        // lower-case letters, then some are raised to upper case.
        std::string tail;
        for (std::uint32_t v = n; tail.empty() || v > 0; v /= 26)
          tail += static_cast<char>('a' + v % 26);
        for (char& c : tail) {
          if (rng() % 2 == 0) c = static_cast<char>(c - 'a' + 'A');
        }
        if (full_window) {
          // Eighty equal bytes, the number 0x41414141 and the tail in bytes
          // 84 to 90: the keys differ only beyond the key area.
          std::memset(r, 'q', KEY_AREA_SIZE);
          put_number(r, 0x41414141);
          tail.resize(7, '~');
          std::memcpy(r + RECORD_NUMBER_OFFSET + 4, tail.data(), 7);
        } else {
          put_number(r, static_cast<std::int32_t>(n + 1));
          put_phrase(r, std::string(60, 'k') + tail);
        }
        break;
      }
    }
  }
  return set;
}

TEST(SortEngine, DistinctKeysNoteNoTie) {
  Rng rng(77);
  for (const NamedPolicy& p : POLICIES) {
    for (const bool full_window : {false, true}) {
      if (full_window &&
          (p.policy.kind == KeyKind::Integers || p.policy.kind == KeyKind::Doubles)) {
        continue;
      }
      for (const std::size_t count : {1u, 2u, 13u, 600u, 2000u}) {
        SCOPED_TRACE(std::string(p.name) + (full_window ? ", 91-byte phrases, " : ", ") +
                     std::to_string(count) + " records");
        RecordSet set = distinct_keys(p.policy.kind, count, rng, full_window);
        std::vector<unsigned char> shuffled(set.bytes.size());
        Order positions(count);
        for (std::size_t i = 0; i < count; ++i) positions[i] = static_cast<std::uint32_t>(i);
        std::shuffle(positions.begin(), positions.end(), rng);
        for (std::size_t i = 0; i < count; ++i) {
          std::memcpy(shuffled.data() + i * set.record_size, set.record(positions[i]),
                      set.record_size);
        }
        set.bytes = shuffled;

        clear_tie_register();
        const Order got = engine_order(set, p.policy);
        ASSERT_TRUE(register_is_empty()) << "the engine noted a tie: a record met itself";
        ASSERT_TRUE(is_permutation(got, count));
        ASSERT_TRUE(is_sorted(set, p.policy.compare, got));
        clear_tie_register();
        (void)reference_order(set, p.policy);
        ASSERT_TRUE(register_is_empty()) << "the reference noted a tie";
      }
    }
  }
  clear_tie_register();
}

TEST(SortEngine, NotedNumbersBelongToFullTies) {
  Rng rng(31337);
  for (const NamedPolicy& p : POLICIES) {
    for (const Generator& g : generators_for(p.policy.kind)) {
      for (const std::size_t count : {2u, 40u, 700u}) {
        SCOPED_TRACE(std::string(p.name) + ", " + g.name + ", " + std::to_string(count) +
                     " records");
        RecordSet set = make_set(count, 96, rng, g.fill);
        number_uniquely(set, rng);
        clear_tie_register();
        (void)engine_order(set, p.policy);
        for (std::size_t slot = 0; slot < TIE_SLOTS; ++slot) {
          const std::int32_t noted = check_ID[slot];
          if (noted == 0) continue;
          ASSERT_GE(noted, 1);
          ASSERT_LE(noted, static_cast<std::int32_t>(count));
          std::size_t index = 0;
          while (get_number(set.record(index)) != noted) ++index;
          bool has_partner = false;
          for (std::size_t other = 0; other < count && !has_partner; ++other) {
            has_partner =
                other != index && keys_tie(p.policy.kind, set.record(index), set.record(other));
          }
          ASSERT_TRUE(has_partner) << "record number " << noted << " was noted but ties no record";
        }
      }
    }
  }
  clear_tie_register();
}

// Neighbours in the sorted order with equal keys can only have been ordered
// by the comparator, so one of their numbers must be in the register.
TEST(SortEngine, EveryTiedNeighbourPairIsNoted) {
  Rng rng(9001);
  for (const NamedPolicy& p : POLICIES) {
    for (const std::size_t count : {40u, 900u}) {
      SCOPED_TRACE(std::string(p.name) + ", " + std::to_string(count) + " records");
      RecordSet set = distinct_keys(p.policy.kind, count, rng, false);
      // Ten keys repeated once each, over records far apart.
      for (std::size_t k = 0; k < 10; ++k) {
        const std::size_t from = k * (count / 10);
        const std::size_t to = from + count / 20;
        std::memcpy(set.bytes.data() + to * set.record_size, set.record(from), KEY_AREA_SIZE);
      }
      number_uniquely(set, rng);
      clear_tie_register();
      const Order got = engine_order(set, p.policy);
      std::size_t noted = 0;
      while (noted < TIE_SLOTS && check_ID[noted] != 0) ++noted;
      ASSERT_EQ(static_cast<std::size_t>(h), noted) << "the register wrapped; use fewer ties";
      const auto in_register = [&](std::int32_t number) {
        return std::find(check_ID.begin(), check_ID.begin() + h, number) != check_ID.begin() + h;
      };
      std::size_t tied_pairs = 0;
      for (std::size_t i = 1; i < got.size(); ++i) {
        const unsigned char* a = set.record(got[i - 1]);
        const unsigned char* b = set.record(got[i]);
        if (!keys_tie(p.policy.kind, a, b)) continue;
        ++tied_pairs;
        EXPECT_TRUE(in_register(get_number(a)) || in_register(get_number(b)))
            << "tied neighbours " << describe(set, got[i - 1]) << " and " << describe(set, got[i])
            << " were never compared";
      }
      EXPECT_EQ(tied_pairs, 10u);
    }
  }
  clear_tie_register();
}

// ---- thread counts

// The order and the tie register after it, for one thread count.
struct Outcome {
  Order order;
  std::array<std::int32_t, TIE_SLOTS> ties;
  int next_slot;
  bool operator==(const Outcome&) const = default;
};

Outcome outcome(const RecordSet& set, const SortPolicy& policy, unsigned threads) {
  clear_tie_register();
  Outcome o{engine_order(set, policy, threads), check_ID, h};
  clear_tie_register();
  return o;
}

// Sizes that give one bucket, many buckets and (above 65536 records) several
// parts for the threads that load and split the prefixes.
TEST(SortEngine, OrderAndTiesAreTheSameForEveryThreadCount) {
  Rng rng(2718);
  for (const NamedPolicy& p : POLICIES) {
    const std::vector<Generator>& generators = generators_for(p.policy.kind);
    for (std::size_t g = 0; g < generators.size(); ++g) {
      for (const std::size_t count : {std::size_t{3}, std::size_t{2500}, std::size_t{70000}}) {
        if (count > 2500 && g != 0) continue;
        SCOPED_TRACE(std::string(p.name) + ", " + generators[g].name + ", " +
                     std::to_string(count) + " records");
        const RecordSet set = make_set(count, 96, rng, generators[g].fill);
        const Outcome one = outcome(set, p.policy, 1);
        for (const unsigned threads : {2U, 3U, 7U}) {
          ASSERT_TRUE(outcome(set, p.policy, threads) == one) << threads << " threads";
        }
      }
    }
  }
  for (const NamedPolicy& p : {POLICIES[6], POLICIES[7]}) {
    const RecordSet set = make_set(5000, 96, rng, doubles_with_nan);
    const Outcome one = outcome(set, p.policy, 1);
    EXPECT_TRUE(is_permutation(one.order, set.count));
    EXPECT_TRUE(outcome(set, p.policy, 1) == one) << p.name << ": one thread, twice";
    EXPECT_TRUE(outcome(set, p.policy, 3) == one) << p.name << ": three threads";
  }
}

// Many ties in many buckets wrap the ring several times: the ring and its
// next slot after the sort do not depend on the thread count, and match a
// sort of the buckets one after another on the calling thread.
TEST(SortEngine, TieRingIsTheSameForEveryThreadCount) {
  Rng rng(5);
  for (const NamedPolicy& p : POLICIES) {
    SCOPED_TRACE(p.name);
    RecordSet set = distinct_keys(p.policy.kind, 3000, rng, false);
    // Each key five times, the copies spread over the set.
    for (std::size_t i = 0; i < set.count; ++i) {
      std::memcpy(set.bytes.data() + i * set.record_size, set.record(i / 5 * 5), KEY_AREA_SIZE);
    }
    number_uniquely(set, rng);
    const Outcome one = outcome(set, p.policy, 1);
    ASSERT_NE(one.ties, decltype(one.ties){}) << "no tie was noted";
    for (const unsigned threads : {2U, 4U}) {
      ASSERT_TRUE(outcome(set, p.policy, threads) == one) << threads << " threads";
    }
  }
}

TEST(SortEngine, TieLogsFoldAsIfNotedInTurn) {
  for (const std::size_t first : {0, 5, 127, 128, 300}) {
    for (const std::size_t second : {0, 1, 128, 129, 1000}) {
      clear_tie_register();
      for (std::size_t i = 0; i < first + second; ++i) note_tie(static_cast<std::int32_t>(i + 1));
      const auto ring = check_ID;
      const int next = h;
      clear_tie_register();
      TieLog logs[2];
      {
        const TieLogScope scope(&logs[0]);
        for (std::size_t i = 0; i < first; ++i) note_tie(static_cast<std::int32_t>(i + 1));
      }
      {
        const TieLogScope scope(&logs[1]);
        for (std::size_t i = first; i < first + second; ++i) {
          note_tie(static_cast<std::int32_t>(i + 1));
        }
      }
      ASSERT_EQ(h, 0) << "a log wrote to the ring";
      for (const TieLog& log : logs) log.fold_into_register();
      EXPECT_EQ(check_ID, ring) << first << " then " << second << " ties";
      EXPECT_EQ(h, next) << first << " then " << second << " ties";
    }
  }
  clear_tie_register();
}

// ---- the radix step

using detail::Entry;

// What the radix step handed on: each run of equal keys, as (key, length).
struct RunWitness {
  std::vector<std::pair<std::uint64_t, std::size_t>>* runs;
  // Entries are packed: their keys are copied, never bound to references.
  void operator()(Entry* run, std::size_t n) const {
    runs->emplace_back(std::uint64_t{run[0].key}, n);
  }
  void announce(const Entry*, std::size_t) const {}
};

// Ranges permuted in place (no scratch, or too little) and moved through
// scratch must both leave every key in order, lose no entry and hand on
// exactly the runs of equal keys, in ascending order.
TEST(RadixStep, OrdersInPlaceAndThroughScratchAlike) {
  struct Case {
    const char* name;
    std::uint64_t key_mask;  // keys are random bits under this mask
    std::size_t count;
  };
  const Case cases[] = {{"random keys", ~0ULL, 5000},
                        {"few distinct keys", 0x0300000000000007ULL, 5000},
                        {"only low bits differ", 0xFFULL, 3000},
                        {"one key", 0, 700},
                        {"short range", 0xF, 40}};
  Rng rng(5);
  for (const Case& c : cases) {
    for (const std::size_t scratch_size : {std::size_t{0}, std::size_t{100}, c.count}) {
      SCOPED_TRACE(std::string(c.name) + ", scratch " + std::to_string(scratch_size));
      std::vector<Entry> entries(c.count);
      for (std::size_t i = 0; i < c.count; ++i) {
        const std::uint64_t bits = static_cast<std::uint64_t>(rng()) << 32 | rng();
        entries[i] = Entry{bits & c.key_mask, static_cast<std::uint32_t>(i)};
      }
      std::vector<Entry> expected = entries;
      std::stable_sort(expected.begin(), expected.end(),
                       [](const Entry& a, const Entry& b) { return a.key < b.key; });
      std::vector<std::pair<std::uint64_t, std::size_t>> expected_runs;
      for (std::size_t i = 0; i < c.count;) {
        std::size_t next = i + 1;
        while (next < c.count && expected[next].key == expected[i].key) ++next;
        if (next - i > 1) expected_runs.emplace_back(std::uint64_t{expected[i].key}, next - i);
        i = next;
      }
      std::vector<Entry> scratch(scratch_size);
      std::vector<std::pair<std::uint64_t, std::size_t>> runs;
      detail::radix_sort(entries.data(), c.count, 64, std::span<Entry>(scratch), RunWitness{&runs});
      EXPECT_EQ(runs, expected_runs);
      for (std::size_t i = 0; i < c.count; ++i) {
        ASSERT_EQ(std::uint64_t{entries[i].key}, std::uint64_t{expected[i].key})
            << "position " << i;
        // Through scratch, equal keys keep the order they came in.
        if (scratch_size >= c.count) {
          ASSERT_EQ(std::uint32_t{entries[i].index}, std::uint32_t{expected[i].index})
              << "position " << i;
        }
      }
      std::vector<std::uint32_t> indices;
      for (const Entry& e : entries) indices.push_back(e.index);
      EXPECT_TRUE(is_permutation(indices, c.count));
    }
  }
}

}  // namespace
}  // namespace zelto
