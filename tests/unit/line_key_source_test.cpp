// Text lines through the engine: the line key source against a stable sort by
// the same comparator, for several key settings, line mixes and thread
// counts, with a witness that no line is compared with itself.
#include "line_key_source.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sort_engine_impl.h"
#include "text_keys.h"

namespace zelto {
namespace {

struct Line {
  std::string_view text;
  [[nodiscard]] std::string_view view() const { return text; }
};

// The comparator of zelto-sort, noting any comparison of a line with itself
// (the same bytes: every line is a string of its own).
class WitnessComparator {
 public:
  using KeyPlace = text::LineComparator::KeyPlace;
  explicit WitnessComparator(const text::LineComparator& inner) : inner_(inner) {}
  KeyPlace place(std::string_view line) const { return inner_.place(line); }
  std::size_t digest_offset(KeyPlace place, std::size_t level) const {
    return inner_.digest_offset(place, level);
  }
  std::uint64_t digest(std::string_view line, KeyPlace place, std::size_t level, bool& more,
                       bool& exact) const {
    if (level == 0) first_digests.fetch_add(1);
    return inner_.digest(line, place, level, more, exact);
  }
  std::size_t shared_depth(std::string_view a, KeyPlace a_place, std::string_view b,
                           KeyPlace b_place, std::size_t level) const {
    return inner_.shared_depth(a, a_place, b, b_place, level);
  }
  int compare(std::string_view a, std::string_view b) const {
    if (a.data() == b.data()) self_compared.store(true);
    comparisons.fetch_add(1);
    return inner_.compare(a, b);
  }
  mutable std::atomic<bool> self_compared{false};
  mutable std::atomic<std::size_t> comparisons{0};
  mutable std::atomic<std::size_t> first_digests{0};

 private:
  const text::LineComparator& inner_;
};

using Source = LineKeySource<Line, WitnessComparator>;

struct SettingsCase {
  const char* name;
  const char* letters;  // global ordering letters
  const char* key;      // a -k argument, or null
  int separator;        // -t, or -1
  bool stable;          // -s
};

const SettingsCase SETTINGS[] = {
    {"whole lines", "", nullptr, -1, false},
    {"reversed", "r", nullptr, -1, false},
    {"folded", "f", nullptr, -1, false},
    {"numeric", "n", nullptr, -1, false},
    {"second field numeric", "", "2,2n", ',', false},
    {"second field, stable", "", "2,2", ',', true},
    {"months from the third", "", "3M", ',', false},
};

text::SortSettings settings_of(const SettingsCase& c) {
  text::SortSettings settings;
  for (const char* l = c.letters; *l != '\0'; ++l) {
    EXPECT_TRUE(text::apply_ordering_letter(*l, settings.global));
  }
  settings.separator = c.separator;
  settings.stable = c.stable;
  if (c.key != nullptr) {
    EXPECT_FALSE(text::parse_key(c.key, settings).has_value());
  }
  EXPECT_FALSE(text::finish_settings(settings).has_value());
  return settings;
}

// Three comma-separated fields from small pools (letter case, numbers in
// several notations, months), many repeats; now and then a line sharing a
// 200-byte start with others, deeper than the source's deepest level.
std::vector<std::string> make_lines(std::size_t count, std::mt19937& rng) {
  static const std::vector<std::string> words = {"", "a", "A", "apple", "Apple", "b", "zz", " x"};
  static const std::vector<std::string> numbers = {"0",   "-0", "7",   "007", "-12", "3.5",
                                                   "1e3", "",   "99x", "+4",  " 12"};
  static const std::vector<std::string> months = {"jan", "FEB", " mar", "dec", "xyz", ""};
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < count; ++i) {
    std::string line;
    if (rng() % 8 == 0) line = std::string(200, 'q') + static_cast<char>('a' + rng() % 3);
    line += words[rng() % words.size()] + ',' + numbers[rng() % numbers.size()] + ',' +
            months[rng() % months.size()];
    lines.push_back(line);
  }
  return lines;
}

std::vector<std::uint32_t> stable_order(const std::vector<Line>& lines,
                                        const text::LineComparator& comparator) {
  std::vector<std::uint32_t> order(lines.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
  std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
    return comparator.compare(lines[a].text, lines[b].text) < 0;
  });
  return order;
}

// Sorts `lines` through the engine on `threads` threads and checks the
// order against `expected`, and that no line was compared with itself.
// Returns how many comparisons were made.
std::size_t sort_and_check(const std::vector<Line>& lines, const text::LineComparator& comparator,
                           const std::vector<std::uint32_t>& expected, unsigned threads) {
  const WitnessComparator witness(comparator);
  std::vector<Source::Note> notes(lines.size());
  const Source source(lines, witness, notes.data());
  SortSpace space(lines.size());
  EXPECT_TRUE(space.allocated());
  if (!space.allocated()) return 0;
  const std::span<std::uint32_t> got = sort_keys(source, space, threads);
  EXPECT_EQ(std::vector<std::uint32_t>(got.begin(), got.end()), expected) << threads << " threads";
  EXPECT_FALSE(witness.self_compared.load()) << "a line was compared with itself";
  // A line's first digest is read once: it is kept while the lines are
  // put into buckets.
  EXPECT_EQ(witness.first_digests.load(), lines.size()) << threads << " threads";
  return witness.comparisons.load();
}

TEST(LineKeySource, SortsAsAStableSortByTheComparator) {
  std::mt19937 rng(4242);
  for (const SettingsCase& c : SETTINGS) {
    const text::SortSettings settings = settings_of(c);
    const text::LineComparator comparator(settings);
    for (const std::size_t count : {0u, 1u, 2u, 13u, 64u, 700u, 5000u, 70000u}) {
      if (count > 5000 && c.key != nullptr) continue;
      SCOPED_TRACE(std::string(c.name) + ", " + std::to_string(count) + " lines");
      const std::vector<std::string> texts = make_lines(count, rng);
      std::vector<Line> lines;
      for (const std::string& t : texts) lines.push_back({t});
      const std::vector<std::uint32_t> expected = stable_order(lines, comparator);
      for (const unsigned threads : {1U, 2U, 3U}) {
        (void)sort_and_check(lines, comparator, expected, threads);
      }
    }
  }
}

// Lines that all share their first digests (an empty first key, a long
// common start) fill one first-level bucket, which is split again on every
// thread: the order is still that of the stable sort.
struct LargeBucketCase {
  const char* name;
  const char* key;
  std::string (*line)(std::size_t i);
};

const LargeBucketCase LARGE_BUCKETS[] = {
    {"no second field", "2", [](std::size_t i) { return std::to_string(i * 7919 % 100003); }},
    {"a long shared start", nullptr,
     [](std::size_t i) { return std::string(60, '/') + std::to_string(i * 7919 % 1009); }},
    {"halves that share more within than between", nullptr,
     [](std::size_t i) {
       return std::string(40, '/') + (i < 75000 ? 'b' : 'a') + std::string(20, '-') +
              std::to_string(i * 7919 % 1009);
     }},
    {"half the lines share a long start", nullptr,
     [](std::size_t i) {
       return i % 2 == 0 ? std::string(60, '/') + std::to_string(i * 7919 % 1009)
                         : std::to_string(i * 7919 % 100003);
     }},
    {"a shared start, then equal keys", "1,1",
     [](std::size_t i) { return "same start " + std::to_string(i % 3) + "," + std::to_string(i); }},
};

TEST(LineKeySource, LargeBucketsAreSplitAgain) {
  for (const LargeBucketCase& c : LARGE_BUCKETS) {
    SCOPED_TRACE(c.name);
    const SettingsCase settings_case{c.name, "", c.key, ',', false};
    const text::LineComparator comparator(settings_of(settings_case));
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 150000; ++i) texts.push_back(c.line(i));
    std::vector<Line> lines;
    for (const std::string& t : texts) lines.push_back({t});
    const std::vector<std::uint32_t> expected = stable_order(lines, comparator);
    for (const unsigned threads : {1U, 2U, 3U}) {
      (void)sort_and_check(lines, comparator, expected, threads);
    }
  }
}

// Runs whose exact digests all agree keep input order without a comparison;
// runs the digests do not pin (the last-resort comparison, keys past the
// deepest level) are still compared.
struct TiedCase {
  const char* name;
  const char* key;
  bool stable;
  std::string (*line)(std::size_t i);
  bool compares;
};

const TiedCase TIED[] = {
    {"equal second fields, -s", "2,2", true,
     [](std::size_t i) { return std::to_string(i % 97) + ",same"; }, false},
    {"no second field, -s", "2,2", true, [](std::size_t i) { return std::to_string(i % 89); },
     false},
    {"equal numbers, -s", "2n", true,
     [](std::size_t i) { return std::to_string(i % 83) + ",0042"; }, false},
    {"equal second fields, last resort", "2,2", false,
     [](std::size_t i) { return std::to_string(i % 97) + ",same"; }, true},
    {"keys past the deepest level, -s", "2,2", true,
     [](std::size_t i) { return "x," + std::string(200, 'q') + std::to_string(i % 7); }, true},
};

TEST(LineKeySource, TiedRunsKeepInputOrderWithoutComparisons) {
  for (const TiedCase& c : TIED) {
    SCOPED_TRACE(c.name);
    const SettingsCase settings_case{c.name, "", c.key, ',', c.stable};
    const text::LineComparator comparator(settings_of(settings_case));
    std::vector<std::string> texts;
    for (std::size_t i = 0; i < 3000; ++i) texts.push_back(c.line(i));
    std::vector<Line> lines;
    for (const std::string& t : texts) lines.push_back({t});
    const std::vector<std::uint32_t> expected = stable_order(lines, comparator);
    for (const unsigned threads : {1U, 3U}) {
      const std::size_t comparisons = sort_and_check(lines, comparator, expected, threads);
      EXPECT_EQ(comparisons > 0, c.compares) << threads << " threads";
    }
  }
}

}  // namespace
}  // namespace zelto
