#include "pack_keys.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace zelto {

namespace {

// A quoted text in a message shows at most this many bytes of it.
constexpr std::size_t QUOTE_LIMIT = 60;

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// A text for a message, in quotes: printable ASCII as it is, other bytes as
// \xHH, cut after 60 bytes.
std::string quoted(std::string_view text) {
  std::string q = "'";
  for (std::size_t i = 0; i < text.size() && i < QUOTE_LIMIT; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      q += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      q += static_cast<char>(byte);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      q += escape;
    }
  }
  if (text.size() > QUOTE_LIMIT) q += "...";
  return q + "'";
}

// A field cut out by a separator may carry blanks around its number, as
// "uid: 42 " does; they are not part of it.
std::string_view without_blanks(std::string_view token) {
  while (!token.empty() && is_blank(token.front())) token.remove_prefix(1);
  while (!token.empty() && is_blank(token.back())) token.remove_suffix(1);
  return token;
}

enum class NumberStatus { Ok, NotANumber, OutOfRange, NotOrdered };

// A leading "+" is accepted as from_chars accepts "-", but not before
// another sign.
std::string_view without_plus(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-' && token[1] != '+') {
    token.remove_prefix(1);
  }
  return token;
}

// The whole token as a signed 32-bit decimal integer.
NumberStatus parse_int32(std::string_view token, std::int32_t& value) {
  token = without_plus(token);
  const char* end = token.data() + token.size();
  const auto [stop, error] = std::from_chars(token.data(), end, value);
  if (stop != end || error == std::errc::invalid_argument) return NumberStatus::NotANumber;
  if (error == std::errc::result_out_of_range) return NumberStatus::OutOfRange;
  return NumberStatus::Ok;
}

// The whole token as a double (decimal or exponent form, inf, infinity).
// A number too small for a double rounds to zero or a subnormal, as strtod
// rounds it; one too large is out of range. NaN is refused: it has no place
// in an order.
NumberStatus parse_double(std::string_view token, double& value) {
  token = without_plus(token);
  const char* end = token.data() + token.size();
  const auto [stop, error] = std::from_chars(token.data(), end, value);
  if (stop != end || error == std::errc::invalid_argument) return NumberStatus::NotANumber;
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves `value` alone here; strtod tells underflow from
    // overflow and gives the rounded value.
    const std::string copy(token);
    value = std::strtod(copy.c_str(), nullptr);
    if (std::isinf(value)) return NumberStatus::OutOfRange;
  }
  if (std::isnan(value)) return NumberStatus::NotOrdered;
  return NumberStatus::Ok;
}

// Parses `token` as the kind's number and stores it as key word `slot`.
NumberStatus put_number(std::string_view token, KeyType kind, std::size_t slot, KeyArea& key) {
  if (kind == KeyType::Integers) {
    std::int32_t value = 0;
    const NumberStatus status = parse_int32(token, value);
    if (status == NumberStatus::Ok) {
      store_little_endian(key.data() + slot * 4, static_cast<std::uint32_t>(value), 4);
    }
    return status;
  }
  double value = 0;
  const NumberStatus status = parse_double(token, value);
  // -0 equals 0 in the order but not in the key's bytes, which unique
  // arranging compares.
  if (value == 0) value = 0;
  if (status == NumberStatus::Ok) {
    store_little_endian(key.data() + slot * 8, std::bit_cast<std::uint64_t>(value), 8);
  }
  return status;
}

std::string number_message(NumberStatus status, KeyType kind, std::string_view token) {
  const bool integers = kind == KeyType::Integers;
  switch (status) {
    case NumberStatus::OutOfRange:
      return integers ? "integer out of the 32-bit range: " + quoted(token) + " (try --key=double)"
                      : "number out of the range of a double: " + quoted(token);
    case NumberStatus::NotOrdered: return "NaN cannot be ordered: " + quoted(token);
    case NumberStatus::NotANumber:
    case NumberStatus::Ok: break;
  }
  return (integers ? "not an integer: " : "not a number: ") + quoted(token);
}

std::string missing_field_message(std::int32_t field, std::size_t present) {
  return "field " + std::to_string(field) + " missing (the line has " + std::to_string(present) +
         (present == 1 ? " field)" : " fields)");
}

KeyResult result_of(NumberStatus status) {
  return status == NumberStatus::OutOfRange ? KeyResult::OutOfRange : KeyResult::NoNumber;
}

// The numbers of the chosen fields, each of which must be there and be a
// number.
KeyResult build_number_key_from_fields(const std::vector<std::string_view>& fields,
                                       const PackOptions& options, KeyArea& key,
                                       std::string& message) {
  for (std::size_t slot = 0; slot < options.fields.size(); ++slot) {
    const auto index = static_cast<std::size_t>(options.fields[slot]) - 1;
    if (index >= fields.size()) {
      message = missing_field_message(options.fields[slot], fields.size());
      return KeyResult::NoNumber;
    }
    const std::string_view token = without_blanks(fields[index]);
    const NumberStatus status = put_number(token, options.key, slot, key);
    if (status != NumberStatus::Ok) {
      message = number_message(status, options.key, token);
      return result_of(status);
    }
  }
  return KeyResult::Whole;
}

// The leading numbers of a line: the first field must be one, and the key
// ends at the first field that is not a number or when the key is full. A
// field that is a number out of range, or NaN, is an error wherever it is.
KeyResult build_leading_number_key(const std::vector<std::string_view>& fields, KeyType kind,
                                   KeyArea& key, std::string& message) {
  if (fields.empty()) {
    message = kind == KeyType::Integers ? "no integer on the line" : "no number on the line";
    return KeyResult::NoNumber;
  }
  const auto limit = static_cast<std::size_t>(kind == KeyType::Integers ? KEY_WORDS : KEY_DOUBLES);
  for (std::size_t slot = 0; slot < std::min(limit, fields.size()); ++slot) {
    const std::string_view token = without_blanks(fields[slot]);
    const NumberStatus status = put_number(token, kind, slot, key);
    if (status == NumberStatus::Ok) continue;
    if (status == NumberStatus::NotANumber && slot > 0) break;
    message = number_message(status, kind, token);
    return result_of(status);
  }
  return KeyResult::Whole;
}

// ------------------------------------------------------------ sort's keys
//
// A phrase key is compared by zelto as bytes up to its NUL, equal keys by
// line number. Each sort key is written so that this byte order is the
// key's own order: a prefix-free encoding (no key's bytes begin another
// key's bytes unless the keys are equal), so that the keys of a line can
// follow one another and the first that differs decides. Reversing a key
// replaces every byte b by 256 - b, which reverses the order of prefix-free
// encodings. No encoding holds a NUL.

// A key text of bytes, terminated by 01 01, with a 01 of the text written
// 01 02. The last key of a line in ascending order needs no terminator, and
// keeps its bytes as they are.
constexpr unsigned char ESCAPE = 0x01;
constexpr unsigned char ESCAPED_ESCAPE = 0x02;

// The classes of numbers, in their order.
enum NumberClass : unsigned char {
  NOT_A_NUMBER = 0x10,  // -g: no number at all
  NAN_CLASS = 0x20,     // -g: NaN; 0x21 for a NaN with the sign bit
  MINUS_INFINITY = 0x30,
  NEGATIVE = 0x40,
  ZERO = 0x50,
  POSITIVE = 0x60,
  PLUS_INFINITY = 0x70,
};

// After a magnitude's digits: below every digit byte.
constexpr unsigned char DIGITS_END = 0x01;

bool is_sort_blank(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Replaces every byte from `from` on by 256 - byte.
void reverse_from(std::string& out, std::size_t from) {
  for (std::size_t i = from; i < out.size(); ++i) {
    out[i] = static_cast<char>(256 - static_cast<unsigned char>(out[i]));
  }
}

// A decimal exponent (a count of digits, below 2^31 in size) in an order-
// preserving form whose first byte tells its length: one byte from -100 to
// 100, five bytes beyond.
void append_exponent(std::int64_t exponent, std::string& out) {
  constexpr std::int64_t NEAR = 100;
  if (exponent >= -NEAR && exponent <= NEAR) {
    out += static_cast<char>(0x80 + exponent);
    return;
  }
  out += static_cast<char>(exponent > 0 ? 0xF0 : 0x10);
  auto value = static_cast<std::uint64_t>(exponent > 0 ? exponent : exponent + (1LL << 31));
  char digits[4];
  for (int i = 3; i >= 0; --i) {
    digits[i] = static_cast<char>(value % 255 + 1);
    value /= 255;
  }
  out.append(digits, 4);
}

// The magnitude 0.DIGITS x 10^exponent (DIGITS without leading or trailing
// zeros): the exponent, then the digits two to a byte, then DIGITS_END.
void append_decimal_magnitude(std::string_view digits, std::int64_t exponent, std::string& out) {
  append_exponent(exponent, out);
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = digits[i] - '0';
    const int low = i + 1 < digits.size() ? digits[i + 1] - '0' : 0;
    out += static_cast<char>(2 + high * 10 + low);
  }
  out += static_cast<char>(DIGITS_END);
}

// sort -n's number at the start of `text`: blanks, an optional minus, digits
// and an optional decimal part; whatever follows is ignored, and no digits
// at all count as zero.
void append_sort_number(std::string_view text, std::string& out) {
  std::size_t i = 0;
  while (i < text.size() && is_sort_blank(text[i])) ++i;
  const bool negative = i < text.size() && text[i] == '-';
  if (negative) ++i;
  const std::size_t integer_start = i;
  while (i < text.size() && is_digit(text[i])) ++i;
  const std::string_view integer = text.substr(integer_start, i - integer_start);
  std::string_view fraction;
  if (i < text.size() && text[i] == '.') {
    const std::size_t fraction_start = ++i;
    while (i < text.size() && is_digit(text[i])) ++i;
    fraction = text.substr(fraction_start, i - fraction_start);
  }
  const std::size_t first = integer.find_first_not_of('0');
  std::string digits;
  std::int64_t exponent = 0;
  if (first != std::string_view::npos) {
    digits.append(integer.substr(first)).append(fraction);
    exponent = static_cast<std::int64_t>(integer.size() - first);
  } else {
    const std::size_t first_in_fraction = fraction.find_first_not_of('0');
    if (first_in_fraction != std::string_view::npos) {
      digits = fraction.substr(first_in_fraction);
      exponent = -static_cast<std::int64_t>(first_in_fraction);
    }
  }
  const std::size_t last = digits.find_last_not_of('0');
  if (last == std::string::npos) {
    out += static_cast<char>(ZERO);
    return;
  }
  digits.resize(last + 1);
  out += static_cast<char>(negative ? NEGATIVE : POSITIVE);
  const std::size_t magnitude = out.size();
  append_decimal_magnitude(digits, exponent, out);
  if (negative) reverse_from(out, magnitude);
}

// sort -g's number: what strtold reads from the start of `text` (decimal,
// exponent, hexadecimal, inf, nan), held exactly as a long double holds it.
// Text that holds no number sorts before every number, NaN before -inf.
void append_general_number(std::string_view text, std::string& out) {
  const std::string copy(text);
  char* end = nullptr;
  const long double value = std::strtold(copy.c_str(), &end);
  if (end == copy.c_str()) {
    out += static_cast<char>(NOT_A_NUMBER);
  } else if (std::isnan(value)) {
    out += static_cast<char>(NAN_CLASS + (std::signbit(value) ? 1 : 0));
  } else if (std::isinf(value)) {
    out += static_cast<char>(value < 0 ? MINUS_INFINITY : PLUS_INFINITY);
  } else if (value == 0) {
    out += static_cast<char>(ZERO);
  } else {
    out += static_cast<char>(value < 0 ? NEGATIVE : POSITIVE);
    const std::size_t magnitude = out.size();
    int exponent = 0;
    long double fraction = std::frexp(std::fabs(value), &exponent);  // in [0.5, 1)
    // The binary exponent in three bytes of seven bits, then the fraction's
    // bits seven to a byte, each byte from 2 to 129.
    const auto biased = static_cast<std::uint32_t>(exponent + (1 << 20));
    for (const int shift : {14, 7, 0}) out += static_cast<char>(((biased >> shift) & 0x7F) + 1);
    while (fraction != 0) {
      fraction *= 128;
      const auto digit = static_cast<int>(fraction);
      fraction -= digit;
      out += static_cast<char>(digit + 2);
    }
    out += static_cast<char>(DIGITS_END);
    if (value < 0) reverse_from(out, magnitude);
  }
}

// The key's text with letters folded to upper case when asked, escaped and
// terminated unless `open_end`.
void append_text(std::string_view text, bool fold, bool open_end, std::string& out) {
  for (const char c : text) {
    if (fold && c >= 'a' && c <= 'z') {
      out += static_cast<char>(c - 'a' + 'A');
    } else if (!open_end && static_cast<unsigned char>(c) == ESCAPE) {
      out += static_cast<char>(ESCAPE);
      out += static_cast<char>(ESCAPED_ESCAPE);
    } else {
      out += c;
    }
  }
  if (!open_end) out.append(2, static_cast<char>(ESCAPE));
}

// Where sort's field `count` (from 0) of `line` starts: fields are cut at
// each separator byte, or, without one, each begins with the blanks before
// its non-blanks.
std::size_t skip_fields(std::string_view line, std::size_t count, std::optional<char> separator,
                        bool keep_last_separator) {
  std::size_t at = 0;
  while (at < line.size() && count-- > 0) {
    if (separator) {
      while (at < line.size() && line[at] != *separator) ++at;
      if (at < line.size() && (count > 0 || !keep_last_separator)) ++at;
    } else {
      while (at < line.size() && is_sort_blank(line[at])) ++at;
      while (at < line.size() && !is_sort_blank(line[at])) ++at;
    }
  }
  return at;
}

// Moves `at` past blanks and then `count` bytes, no further than the line.
std::size_t advance(std::string_view line, std::size_t at, bool skip_blanks, std::size_t count) {
  if (skip_blanks) {
    while (at < line.size() && is_sort_blank(line[at])) ++at;
  }
  return std::min(line.size(), at + std::min(count, line.size()));
}

// The key that stands for the whole line when no -k is given.
SortKey whole_line_key(const PackOptions& options) {
  SortKey whole;
  whole.skip_start_blanks = whole.skip_end_blanks = options.skip_blanks;
  whole.numeric = options.numeric;
  whole.general = options.general;
  whole.fold = options.ignore_case;
  whole.reverse = options.reverse;
  return whole;
}

// The keys of the line, one after the other, cut to 79 bytes.
KeyResult build_phrase_key(std::string_view line, const PackOptions& options, KeyArea& key) {
  constexpr auto LIMIT = static_cast<std::size_t>(PHRASE_KEY_LIMIT);
  std::string encoded;
  if (options.keys.empty()) {
    const SortKey whole = whole_line_key(options);
    append_sort_key(sort_key_text(line, whole, options.separator), whole, true, encoded);
  }
  for (std::size_t i = 0; i < options.keys.size() && encoded.size() <= LIMIT; ++i) {
    const SortKey& sort_key = options.keys[i];
    append_sort_key(sort_key_text(line, sort_key, options.separator), sort_key,
                    i + 1 == options.keys.size(), encoded);
  }
  const std::size_t length = std::min(encoded.size(), LIMIT);
  std::memcpy(key.data(), encoded.data(), length);
  return encoded.size() > LIMIT ? KeyResult::Cut : KeyResult::Whole;
}

// The key below the keys of number lines: each word the lowest value of its
// kind, except a double key's last word, which is -2^53: zelto breaks ties by
// the last word plus the record number, and that sum must stay exact (it
// would not at -inf) to keep such lines in input order.
void fill_lowest_key(KeyType kind, KeyArea& key) {
  key.fill(0);
  if (kind == KeyType::Integers) {
    for (int word = 0; word < KEY_WORDS; ++word) {
      store_little_endian(key.data() + word * 4,
                          static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::min()), 4);
    }
    return;
  }
  const auto lowest = std::bit_cast<std::uint64_t>(-std::numeric_limits<double>::infinity());
  for (int word = 0; word + 1 < KEY_DOUBLES; ++word) {
    store_little_endian(key.data() + word * 8, lowest, 8);
  }
  constexpr double LAST_WORD = -9007199254740992.0;  // -2^53
  store_little_endian(key.data() + (KEY_DOUBLES - 1) * 8, std::bit_cast<std::uint64_t>(LAST_WORD),
                      8);
}

}  // namespace

std::string_view sort_key_text(std::string_view line, const SortKey& key,
                               std::optional<char> separator) {
  const std::size_t start = advance(line, skip_fields(line, key.start_field - 1, separator, false),
                                    key.skip_start_blanks, key.start_char - 1);
  std::size_t end = line.size();
  if (key.end_field != 0) {
    // An end character of 0 takes the whole end field: up to the separator
    // that ends it, or to the blanks of the next field.
    const std::size_t whole = key.end_char == 0 ? key.end_field : key.end_field - 1;
    end = skip_fields(line, whole, separator, key.end_char == 0);
    if (key.end_char != 0) end = advance(line, end, key.skip_end_blanks, key.end_char);
  }
  return line.substr(start, std::max(start, end) - start);
}

bool has_nan_key(std::string_view line, const PackOptions& options) {
  if (options.key != KeyType::Phrase) return false;
  const auto is_nan = [&](const SortKey& key) {
    if (!key.general) return false;
    const std::string text(sort_key_text(line, key, options.separator));
    return std::isnan(std::strtold(text.c_str(), nullptr));
  };
  if (options.keys.empty()) return is_nan(whole_line_key(options));
  return std::any_of(options.keys.begin(), options.keys.end(), is_nan);
}

void append_sort_key(std::string_view text, const SortKey& key, bool last, std::string& out) {
  const std::size_t start = out.size();
  if (key.numeric) {
    append_sort_number(text, out);
  } else if (key.general) {
    append_general_number(text, out);
  } else {
    append_text(text, key.fold, last && !key.reverse, out);
  }
  if (key.reverse) reverse_from(out, start);
}

std::vector<std::string_view> split_fields(std::string_view content,
                                           std::optional<char> separator) {
  std::vector<std::string_view> fields;
  if (separator) {
    std::size_t start = 0;
    while (true) {
      const std::size_t at = content.find(*separator, start);
      fields.push_back(content.substr(start, at - start));
      if (at == std::string_view::npos) return fields;
      start = at + 1;
    }
  }
  std::size_t i = 0;
  while (i < content.size()) {
    while (i < content.size() && is_blank(content[i])) ++i;
    const std::size_t start = i;
    while (i < content.size() && !is_blank(content[i])) ++i;
    if (i > start) fields.push_back(content.substr(start, i - start));
  }
  return fields;
}

KeyResult build_key(std::string_view content, const PackOptions& options, KeyArea& key,
                    std::string& message) {
  key.fill(0);
  if (options.key == KeyType::Phrase) return build_phrase_key(content, options, key);
  const std::vector<std::string_view> fields = split_fields(content, options.separator);
  const KeyResult result = options.fields.empty()
                               ? build_leading_number_key(fields, options.key, key, message)
                               : build_number_key_from_fields(fields, options, key, message);
  if (result == KeyResult::NoNumber) fill_lowest_key(options.key, key);
  return result;
}

}  // namespace zelto
