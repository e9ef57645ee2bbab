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

// The phrase: the whole content, or the chosen fields joined by one blank
// (a missing field is empty), cut to 79 bytes.
KeyResult build_phrase_key(std::string_view content, const PackOptions& options, KeyArea& key) {
  constexpr auto LIMIT = static_cast<std::size_t>(PHRASE_KEY_LIMIT);
  std::string joined;
  if (!options.fields.empty()) {
    const std::vector<std::string_view> fields = split_fields(content, options.separator);
    for (std::size_t i = 0; i < options.fields.size() && joined.size() <= LIMIT; ++i) {
      if (i > 0) joined += ' ';
      const auto index = static_cast<std::size_t>(options.fields[i]) - 1;
      if (index < fields.size()) joined += fields[index].substr(0, LIMIT + 1);
    }
    content = joined;
  }
  const std::size_t length = std::min(content.size(), LIMIT);
  std::memcpy(key.data(), content.data(), length);
  if (options.ignore_case && options.unique) {
    for (std::size_t i = 0; i < length; ++i) {
      if (key[i] >= 'A' && key[i] <= 'Z') key[i] = static_cast<unsigned char>(key[i] - 'A' + 'a');
    }
  }
  return content.size() > LIMIT ? KeyResult::Cut : KeyResult::Whole;
}

}  // namespace

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

}  // namespace zelto
