#include "compare.h"

#include <cstring>

#include "extended_sum.h"
#include "key_prefix.h"

namespace zelto {

std::array<std::int32_t, TIE_SLOTS> check_ID{};
int h = 0;

namespace {
thread_local TieLog* tie_log = nullptr;
}  // namespace

void note_tie(std::int32_t number) {
  if (tie_log != nullptr) {
    tie_log->note(number);
    return;
  }
  check_ID[static_cast<std::size_t>(h)] = number;
  h = h + 1 > TIE_SLOTS - 1 ? 0 : h + 1;
}

void TieLog::fold_into_register() const {
  // Of more than 128 ties only the last 128 survive in the ring; the earlier
  // ones only move `h` on.
  const std::uint64_t kept = count_ < TIE_SLOTS ? count_ : TIE_SLOTS;
  h = static_cast<int>((static_cast<std::uint64_t>(h) + (count_ - kept)) % TIE_SLOTS);
  for (std::uint64_t i = count_ - kept; i < count_; ++i) note_tie(last_[i % TIE_SLOTS]);
}

TieLogScope::TieLogScope(TieLog* log) : previous_(tie_log) {
  tie_log = log;
}

TieLogScope::~TieLogScope() {
  tie_log = previous_;
}

namespace {

std::int32_t load_int32(const unsigned char* p) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(load_little_endian(p, 4)));
}

double load_double(const unsigned char* p) {
  return std::bit_cast<double>(load_little_endian(p, 8));
}

int sign_of(bool greater) {
  return greater ? 1 : -1;
}

// Ascending result of the integer key; the caller negates for descending.
int integers_ascending(const unsigned char* a, const unsigned char* b) {
  for (int offset = 0; offset < KEY_AREA_SIZE; offset += 4) {
    const std::int32_t x = load_int32(a + offset);
    const std::int32_t y = load_int32(b + offset);
    if (x != y) return sign_of(x > y);
  }
  note_tie(record_number(a));
  const int last = KEY_AREA_SIZE - 4;
  // The sums wrap in 32 bits.
  const auto sum_a = static_cast<std::int32_t>(static_cast<std::uint32_t>(load_int32(a + last)) +
                                               static_cast<std::uint32_t>(record_number(a)));
  const auto sum_b = static_cast<std::int32_t>(static_cast<std::uint32_t>(load_int32(b + last)) +
                                               static_cast<std::uint32_t>(record_number(b)));
  if (sum_a == sum_b) return 0;
  return sign_of(sum_a > sum_b);
}

// Doubles in a total order: numbers as usual (-0.0 equals 0.0), every NaN,
// whatever its sign and payload, equal to any other NaN and after every
// number, +inf included.
int order_doubles(double x, double y) {
  const bool x_nan = x != x;
  const bool y_nan = y != y;
  if (x_nan || y_nan) return x_nan == y_nan ? 0 : sign_of(x_nan);
  if (x == y) return 0;
  return sign_of(x > y);
}

// Ascending result of the double key; the caller negates for descending.
int doubles_ascending(const unsigned char* a, const unsigned char* b) {
  bool meets_nan = false;
  for (int offset = 0; offset < KEY_AREA_SIZE; offset += 8) {
    const double x = load_double(a + offset);
    const int r = order_doubles(x, load_double(b + offset));
    if (r != 0) return r;
    meets_nan = meets_nan || x != x;
  }
  // Keys "equal" only because NaN is placed beside NaN are no full tie: a
  // NaN equals nothing, so only keys whose ten doubles are all ordered and
  // equal are noted.
  if (!meets_nan) note_tie(record_number(a));
  const int last = KEY_AREA_SIZE - 8;
  // Both last doubles are NaN or neither is; NaN sums would all be equal.
  const double last_a = load_double(a + last);
  if (last_a != last_a) return 0;
  return order_doubles(sum_rounded_twice(last_a, record_number(a)),
                       sum_rounded_twice(load_double(b + last), record_number(b)));
}

// Compares the two phrase keys as unsigned bytes (ASCII letters folded to
// lower case when `folded`), eight bytes at a time.
int compare_phrase_bytes(const unsigned char* a, const unsigned char* b, bool folded) {
  for (int offset = 0; offset < PHRASE_WINDOW; offset += 8) {
    const std::uint64_t x = detail::phrase_chunk(a, offset, folded);
    const std::uint64_t y = detail::phrase_chunk(b, offset, folded);
    if (x != y) return x < y ? -1 : 1;
    if (detail::chunk_ends_phrase(x)) return 0;
  }
  return 0;
}

// `number` as "%10d" writes it: right-aligned in ten characters, blank
// padded, a minus sign for negative values, never cut.
std::string_view wide_number_text(std::int32_t number, char (&text)[16]) {
  char digits[12];
  int count = 0;
  std::uint32_t magnitude =
      number < 0 ? 0U - static_cast<std::uint32_t>(number) : static_cast<std::uint32_t>(number);
  do {
    digits[count++] = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  } while (magnitude != 0);
  if (number < 0) digits[count++] = '-';
  const int width = count < 10 ? 10 : count;
  std::memset(text, ' ', static_cast<std::size_t>(width - count));
  for (int i = 0; i < count; ++i) text[width - 1 - i] = digits[i];
  return {text, static_cast<std::size_t>(width)};
}

// Equal phrases are ordered by their record numbers' "%10d" texts compared
// as bytes, not as numbers: a blank sorts before "-", "-" before the digits.
int compare_number_texts(const unsigned char* a, const unsigned char* b) {
  const std::int32_t x = record_number(a);
  const std::int32_t y = record_number(b);
  // Texts of non-negative numbers are all ten characters wide with the
  // digits right-aligned, so their byte order is the numeric order.
  if (x >= 0 && y >= 0) return x == y ? 0 : (x < y ? -1 : 1);
  char text_a[16];
  char text_b[16];
  const int r = wide_number_text(x, text_a).compare(wide_number_text(y, text_b));
  return r == 0 ? 0 : (r < 0 ? -1 : 1);
}

int phrases_ascending(const unsigned char* a, const unsigned char* b, bool folded) {
  const int primary = compare_phrase_bytes(a, b, folded);
  if (primary != 0) return primary;
  note_tie(record_number(a));
  // Phrases equal under folding have equal lengths, so the exact comparison
  // of phrase plus number text is the exact phrase order, then the numbers.
  if (folded) {
    const int exact = compare_phrase_bytes(a, b, false);
    if (exact != 0) return exact;
  }
  return compare_number_texts(a, b);
}

// phrases_ascending for phrases known to be equal (under folding when
// `folded`): the tie and what breaks it.
int tied_phrases_ascending(const unsigned char* a, const unsigned char* b, bool folded) {
  note_tie(record_number(a));
  if (folded) {
    const int exact = compare_phrase_bytes(a, b, false);
    if (exact != 0) return exact;
  }
  return compare_number_texts(a, b);
}

int tied_phrases(const unsigned char* a, const unsigned char* b) {
  return tied_phrases_ascending(a, b, false);
}

int tied_phrases_descending(const unsigned char* a, const unsigned char* b) {
  return -tied_phrases_ascending(a, b, false);
}

int tied_folded_phrases(const unsigned char* a, const unsigned char* b) {
  return tied_phrases_ascending(a, b, true);
}

int tied_folded_phrases_descending(const unsigned char* a, const unsigned char* b) {
  return -tied_phrases_ascending(a, b, true);
}

}  // namespace

Comparator comparator_for_tied_keys(Comparator compare) {
  if (compare == compare_phrases) return tied_phrases;
  if (compare == compare_phrases_descending) return tied_phrases_descending;
  if (compare == case_insensitive_comparison) return tied_folded_phrases;
  if (compare == case_insensitive_comparison_descending) return tied_folded_phrases_descending;
  return compare;
}

std::int32_t record_number(const unsigned char* record) {
  return load_int32(record + RECORD_NUMBER_OFFSET);
}

int compare_integers(const unsigned char* a, const unsigned char* b) {
  return integers_ascending(a, b);
}

int compare_integers_descending(const unsigned char* a, const unsigned char* b) {
  return -integers_ascending(a, b);
}

int compare_doubles(const unsigned char* a, const unsigned char* b) {
  return doubles_ascending(a, b);
}

int compare_doubles_descending(const unsigned char* a, const unsigned char* b) {
  return -doubles_ascending(a, b);
}

int compare_phrases(const unsigned char* a, const unsigned char* b) {
  return phrases_ascending(a, b, false);
}

int compare_phrases_descending(const unsigned char* a, const unsigned char* b) {
  return -phrases_ascending(a, b, false);
}

int case_insensitive_comparison(const unsigned char* a, const unsigned char* b) {
  return phrases_ascending(a, b, true);
}

int case_insensitive_comparison_descending(const unsigned char* a, const unsigned char* b) {
  return -phrases_ascending(a, b, true);
}

}  // namespace zelto
