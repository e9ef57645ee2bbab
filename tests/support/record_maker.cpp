#include "record_maker.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

namespace zelto::testing {

namespace {

// Salts that keep the derived streams of one key id apart.
constexpr std::uint64_t KEY_ID_SALT = 0x6A09E667F3BCC908ULL;
constexpr std::uint64_t WORD_SALT = 0xBB67AE8584CAA73BULL;
constexpr std::uint64_t PHRASE_SALT = 0x3C6EF372FE94F82BULL;
constexpr std::uint64_t DOUBLE_SALT = 0xA54FF53A5F1D36F1ULL;

// The splitmix64 finaliser: a well-mixed 64-bit hash of `x`.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ULL;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
  return x ^ (x >> 31);
}

// A small deterministic generator; the same state gives the same draws on
// every platform, which the standard distributions do not promise.
class Draws {
 public:
  explicit Draws(std::uint64_t state) : state_(state) {}
  std::uint64_t next() { return mix(state_ += 0x9E3779B97F4A7C15ULL); }
  // A value in [0, bound), bound > 0.
  std::uint64_t below(std::uint64_t bound) { return next() % bound; }
  // A value in [0, 1).
  double unit() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }

 private:
  std::uint64_t state_;
};

// Keys are drawn from four times as many ids as there are records, so about
// a fifth of the records share their key with another one.
constexpr std::uint64_t KEYS_PER_RECORD = 4;

std::uint64_t key_space(std::uint64_t count) {
  return std::clamp<std::uint64_t>(count * KEYS_PER_RECORD, 8, 1ULL << 32);
}

// The key id of record `index`: every key word is a function of it, so equal
// ids give equal key areas and equal texts.
std::uint64_t key_id(const RecordPlan& plan, std::uint64_t index) {
  return mix(mix(plan.seed ^ KEY_ID_SALT) ^ index) % key_space(plan.count);
}

void append_number(std::string& text, long long value) {
  std::array<char, 24> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  text.append(digits.data(), end);
}

// "%.17g": enough digits to give the double back exactly.
void append_double(std::string& text, double value) {
  std::array<char, 40> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value,
                                 std::chars_format::general, 17)
                       .ptr;
  text.append(digits.data(), end);
}

void put_int32(unsigned char* record, std::size_t offset, std::int32_t value) {
  store_little_endian(record + offset, static_cast<std::uint32_t>(value), 4);
}

void put_double(unsigned char* record, std::size_t offset, double value) {
  store_little_endian(record + offset, std::bit_cast<std::uint64_t>(value), 8);
}

// Integer keys: the first word spreads the ids over the whole signed range in
// their order, the next two are small (one of them signed), the rest zero.
void make_integer_key(std::uint64_t id, std::uint64_t space, unsigned char* record,
                      std::string& text) {
  const std::uint64_t stride = std::max<std::uint64_t>(1, (1ULL << 32) / space);
  const std::uint64_t spread = id * stride + mix(id ^ WORD_SALT) % stride;
  const std::array<std::int32_t, 3> words = {
      static_cast<std::int32_t>(static_cast<std::int64_t>(spread) - (1LL << 31)),
      static_cast<std::int32_t>(mix(id ^ (WORD_SALT + 1)) % 1000),
      static_cast<std::int32_t>(mix(id ^ (WORD_SALT + 2)) % 200001) - 100000};
  for (std::size_t w = 0; w < words.size(); ++w) {
    put_int32(record, 4 * w, words[w]);
    if (w > 0) text += ' ';
    append_number(text, words[w]);
  }
}

// A double of any sign and a magnitude from 1e-30 to 1e31; some are zeros of
// either sign or small whole numbers.
double draw_double(Draws& draws) {
  const std::uint64_t shape = draws.below(100);
  if (shape < 2) return shape == 0 ? 0.0 : -0.0;
  if (shape < 8) return static_cast<double>(static_cast<std::int64_t>(draws.below(1000)) - 500);
  const double mantissa = 1.0 + 9.0 * draws.unit();
  const int exponent = static_cast<int>(draws.below(61)) - 30;
  const double magnitude = mantissa * std::pow(10.0, exponent);
  return draws.below(10) < 3 ? -magnitude : magnitude;
}

// Double keys: two drawn values, the other eight 0.0.
void make_double_key(std::uint64_t id, unsigned char* record, std::string& text) {
  Draws draws(id ^ DOUBLE_SALT);
  for (std::size_t d = 0; d < 2; ++d) {
    const double value = draw_double(draws);
    put_double(record, 8 * d, value);
    if (d > 0) text += ' ';
    append_double(text, value);
  }
}

constexpr std::size_t VOCABULARY_SIZE = 6000;

// Pronounceable made-up words of one to four syllables, the same every run.
std::vector<std::string> build_vocabulary() {
  constexpr std::string_view consonants = "bcdfghjklmnprstvwz";
  constexpr std::string_view vowels = "aeiouy";
  constexpr std::string_view endings = "nrsltk";
  std::vector<std::string> words(VOCABULARY_SIZE);
  for (std::size_t w = 0; w < VOCABULARY_SIZE; ++w) {
    Draws draws(w * 7919 + 17);
    const std::uint64_t syllables = 1 + draws.below(4);
    for (std::uint64_t s = 0; s < syllables; ++s) {
      words[w] += consonants[draws.below(consonants.size())];
      words[w] += vowels[draws.below(vowels.size())];
      if (draws.below(4) == 0) words[w] += endings[draws.below(endings.size())];
    }
  }
  return words;
}

const std::vector<std::string>& vocabulary() {
  static const std::vector<std::string> words = build_vocabulary();
  return words;
}

// Long beginnings that many phrases share, so that their order is decided
// only well past the first eight bytes.
constexpr std::array<std::string_view, 8> SHARED_PREFIXES = {
    "international standards committee ",
    "international standards ",
    "department of transportation ",
    "department of ",
    "/usr/local/share/documentation/",
    "customer account reference ",
    "customer account ",
    "zz archive 2024 quarter ",
};

// Common words come up far more often than rare ones.
const std::string& draw_word(Draws& draws) {
  const double u = draws.unit();
  const auto index = static_cast<std::size_t>(u * u * static_cast<double>(VOCABULARY_SIZE));
  return vocabulary()[std::min(index, VOCABULARY_SIZE - 1)];
}

// Phrase keys: one to four words, a fifth of them after a shared prefix,
// some capitalised or in capitals, at most PHRASE_KEY_LIMIT bytes.
void make_phrase_key(std::uint64_t id, unsigned char* record, std::string& text) {
  Draws draws(id ^ PHRASE_SALT);
  if (draws.below(5) == 0) text += SHARED_PREFIXES[draws.below(SHARED_PREFIXES.size())];
  constexpr std::array<std::uint64_t, 4> cumulative_weights = {8, 45, 80, 100};
  const std::uint64_t roll = draws.below(100);
  const std::size_t words =
      1 + static_cast<std::size_t>(
              std::upper_bound(cumulative_weights.begin(), cumulative_weights.end(), roll) -
              cumulative_weights.begin());
  for (std::size_t w = 0; w < words; ++w) {
    if (w > 0) text += ' ';
    text += draw_word(draws);
  }
  const std::uint64_t letter_case = draws.below(100);
  if (letter_case < 2) {
    for (char& c : text) c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
  } else if (letter_case < 10 && text[0] >= 'a' && text[0] <= 'z') {
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
  }
  if (text.size() > static_cast<std::size_t>(PHRASE_KEY_LIMIT))
    text.resize(static_cast<std::size_t>(PHRASE_KEY_LIMIT));
  std::memcpy(record, text.data(), text.size());
}

// The key text plus a newline in the numbered text field, cut so that a NUL still fits.
void put_text(unsigned char* record, std::size_t record_size, std::string_view key_text) {
  const std::size_t room = record_size - NUMBERED_TEXT_OFFSET - 1;
  const std::size_t n = std::min(key_text.size(), room);
  std::memcpy(record + NUMBERED_TEXT_OFFSET, key_text.data(), n);
  if (n < room) record[NUMBERED_TEXT_OFFSET + n] = '\n';
}

}  // namespace

bool parse_kind(std::string_view text, RecordKind& kind) {
  if (text == "int") {
    kind = RecordKind::Integers;
  } else if (text == "phrase") {
    kind = RecordKind::Phrase;
  } else if (text == "double") {
    kind = RecordKind::Doubles;
  } else {
    return false;
  }
  return true;
}

void make_record(const RecordPlan& plan, std::uint64_t index, unsigned char* record,
                 std::string& key_text) {
  key_text.clear();
  const std::uint64_t id = key_id(plan, index);
  switch (plan.kind) {
    case RecordKind::Integers: make_integer_key(id, key_space(plan.count), record, key_text); break;
    case RecordKind::Doubles: make_double_key(id, record, key_text); break;
    case RecordKind::Phrase: make_phrase_key(id, record, key_text); break;
  }
  put_int32(record, RECORD_NUMBER_OFFSET, static_cast<std::int32_t>(index + 1));
  put_text(record, plan.record_size, key_text);
}

}  // namespace zelto::testing
