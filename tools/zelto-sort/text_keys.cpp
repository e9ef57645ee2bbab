// The keys of text lines: parsing the key options, checking them, the
// --debug warnings and underlines, and the comparison and digests of lines.
#include "text_keys.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cfloat>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "portability.h"

namespace zelto::text {
namespace {

// ---------------------------------------------------------------------------
// Bytes in the C locale.

constexpr bool is_digit(unsigned char c) {
  return c >= '0' && c <= '9';
}
constexpr bool is_alpha(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool is_alnum(unsigned char c) {
  return is_digit(c) || is_alpha(c);
}
constexpr bool is_print(unsigned char c) {
  return c >= 0x20 && c < 0x7f;
}
constexpr bool is_space(unsigned char c) {
  return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr unsigned char to_upper(unsigned char c) {
  return c >= 'a' && c <= 'z' ? static_cast<unsigned char>(c - 'a' + 'A') : c;
}

struct FoldTable {
  unsigned char map[256];
  constexpr FoldTable() : map{} {
    for (int c = 0; c < 256; ++c) map[c] = to_upper(static_cast<unsigned char>(c));
  }
};
constexpr FoldTable fold_table;

// The bytes -d leaves out (all but blanks and alphanumerics; with -z, the
// newline is a blank) and those -i leaves out (all but printable ASCII).
struct IgnoreTable {
  bool skip[256];
  constexpr IgnoreTable(int kind) : skip{} {
    for (int i = 0; i < 256; ++i) {
      auto c = static_cast<unsigned char>(i);
      bool blank = c == ' ' || c == '\t' || (kind == 1 && c == '\n');
      skip[i] = kind == 2 ? !is_print(c) : !(blank || is_alnum(c));
    }
  }
};
constexpr IgnoreTable not_dictionary(0);
constexpr IgnoreTable not_dictionary_zero_terminated(1);
constexpr IgnoreTable not_printing(2);

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

int compare_bytes(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  if (n != 0) {
    int d = std::memcmp(a.data(), b.data(), n);
    if (d != 0) return d;
  }
  return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Option letters, in the order the messages list them.

constexpr std::string_view kLetterOrder = "bdfghiMnRrV";

constexpr std::uint16_t letter_bit(char letter) {
  std::size_t at = kLetterOrder.find(letter);
  return at == std::string_view::npos ? 0 : static_cast<std::uint16_t>(1u << at);
}

constexpr std::uint16_t kNumericKinds =
    letter_bit('g') | letter_bit('h') | letter_bit('M') | letter_bit('n');

char letter_of(KeyOrder order) {
  switch (order) {
    case KeyOrder::Numeric: return 'n';
    case KeyOrder::GeneralNumeric: return 'g';
    case KeyOrder::HumanNumeric: return 'h';
    case KeyOrder::Month: return 'M';
    case KeyOrder::Version: return 'V';
    case KeyOrder::Random: return 'R';
    case KeyOrder::Text: break;
  }
  return 0;
}

// The letters the options stand for. -d hides -i, as it leaves out more.
std::uint16_t effective_letters(const KeyOptions& options) {
  std::uint16_t bits = options.letters & static_cast<std::uint16_t>(
                                             ~(letter_bit('b') | letter_bit('d') | letter_bit('i') |
                                               letter_bit('f') | letter_bit('r')));
  bits |= letter_bit(letter_of(options.order));
  if (options.skip_blanks_start || options.skip_blanks_end) bits |= letter_bit('b');
  if (options.dictionary) {
    bits |= letter_bit('d');
  } else if (options.ignore_nonprinting) {
    bits |= letter_bit('i');
  }
  if (options.fold_case) bits |= letter_bit('f');
  if (options.reverse) bits |= letter_bit('r');
  return bits;
}

std::string letters_text(std::uint16_t bits) {
  std::string text;
  for (std::size_t i = 0; i < kLetterOrder.size(); ++i) {
    if (bits & (1u << i)) text += kLetterOrder[i];
  }
  return text;
}

bool is_numeric(KeyOrder order) {
  return order == KeyOrder::Numeric || order == KeyOrder::GeneralNumeric ||
         order == KeyOrder::HumanNumeric;
}

// ---------------------------------------------------------------------------
// Key positions.

// Reads a count at `at` as strtoumax would (leading white space, an optional
// '+', decimal digits), saturating at SIZE_MAX. False when no digits follow
// or a '-' does.
bool read_count(std::string_view text, std::size_t& at, std::size_t& value) {
  std::size_t i = at;
  while (i < text.size() && is_space(static_cast<unsigned char>(text[i]))) ++i;
  if (i < text.size() && text[i] == '+') ++i;
  if (i >= text.size() || !is_digit(static_cast<unsigned char>(text[i]))) return false;
  value = 0;
  for (; i < text.size() && is_digit(static_cast<unsigned char>(text[i])); ++i) {
    std::size_t digit = static_cast<std::size_t>(text[i] - '0');
    value = value > (SIZE_MAX - digit) / 10 ? SIZE_MAX : value * 10 + digit;
  }
  at = i;
  return true;
}

std::string invalid_count(std::string_view context, std::string_view rest) {
  return std::string(context) + ": invalid count at start of " + quote_for_message(rest);
}

// A key that cannot be read: the reason, then the key as shown, in the
// shape of sort's message (sort names both its own way).
constexpr std::string_view STRAY_CHARACTER = "stray character in key position";

std::string unreadable_key(std::string_view reason, std::string_view argument) {
  return std::string(reason) + ": invalid key definition " + quote_for_message(argument);
}

// Applies the letters at `at` up to the end or a ',' to `key`; 'b' skips
// blanks at the start (`start`) or at the end. False on any other byte.
bool read_letters(std::string_view text, std::size_t& at, bool start, KeyField& key) {
  for (; at < text.size() && text[at] != ','; ++at) {
    char c = text[at];
    if (c == 'b') {
      (start ? key.options.skip_blanks_start : key.options.skip_blanks_end) = true;
      key.options.letters |= letter_bit('b');
    } else if (!apply_ordering_letter(c, key.options)) {
      return false;
    }
    key.has_own_options = true;
  }
  return true;
}

}  // namespace

std::string quote_for_message(std::string_view text) {
  static constexpr char kDigits[] = "01234567";
  std::string out = "'";
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\'': out += "\\'"; continue;
      case '\\': out += "\\\\"; continue;
      case '\a': out += "\\a"; continue;
      case '\b': out += "\\b"; continue;
      case '\f': out += "\\f"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\v': out += "\\v"; continue;
      default: break;
    }
    if (is_print(c)) {
      out += ch;
    } else {
      out += '\\';
      out += kDigits[c >> 6];
      out += kDigits[(c >> 3) & 7];
      out += kDigits[c & 7];
    }
  }
  out += '\'';
  return out;
}

bool apply_ordering_letter(char letter, KeyOptions& options) {
  switch (letter) {
    case 'b': options.skip_blanks_start = options.skip_blanks_end = true; break;
    case 'd': options.dictionary = true; break;
    case 'f': options.fold_case = true; break;
    case 'i': options.ignore_nonprinting = true; break;
    case 'r': options.reverse = true; break;
    case 'g': options.order = KeyOrder::GeneralNumeric; break;
    case 'h': options.order = KeyOrder::HumanNumeric; break;
    case 'M': options.order = KeyOrder::Month; break;
    case 'n': options.order = KeyOrder::Numeric; break;
    case 'R': options.order = KeyOrder::Random; break;
    case 'V':
      // With -R too, the key is still ordered at random.
      if (options.order != KeyOrder::Random) options.order = KeyOrder::Version;
      break;
    default: return false;
  }
  options.letters |= letter_bit(letter);
  return true;
}

std::optional<std::string> parse_key(std::string_view argument, SortSettings& settings) {
  KeyField key;
  std::size_t at = 0;
  std::size_t value = 0;
  if (!read_count(argument, at, value)) {
    return invalid_count("invalid number at field start", argument.substr(at));
  }
  if (value == 0) return unreadable_key("field number is zero", argument);
  key.start_field = value;
  if (at < argument.size() && argument[at] == '.') {
    ++at;
    if (!read_count(argument, at, value)) {
      return invalid_count("invalid number after '.'", argument.substr(at));
    }
    if (value == 0) return unreadable_key("character offset is zero", argument);
    key.start_char = value;
  }
  if (!read_letters(argument, at, true, key)) {
    return unreadable_key(STRAY_CHARACTER, argument);
  }
  if (at < argument.size()) {  // a ','
    ++at;
    if (!read_count(argument, at, value)) {
      return invalid_count("invalid number after ','", argument.substr(at));
    }
    if (value == 0) return unreadable_key("field number is zero", argument);
    key.end_field = value;
    if (at < argument.size() && argument[at] == '.') {
      ++at;
      if (!read_count(argument, at, value)) {
        return invalid_count("invalid number after '.'", argument.substr(at));
      }
      key.end_char = value;  // 0: the end of the field
    }
    if (!read_letters(argument, at, false, key) || at < argument.size()) {
      return unreadable_key(STRAY_CHARACTER, argument);
    }
  }
  settings.keys.push_back(key);
  return std::nullopt;
}

bool is_obsolete_key_start(std::string_view argument) {
  std::size_t at = 1;
  auto digits = [&] {
    std::size_t from = at;
    while (at < argument.size() && is_digit(static_cast<unsigned char>(argument[at]))) ++at;
    return at > from;
  };
  if (argument.empty() || argument[0] != '+' || !digits()) return false;
  if (at < argument.size() && argument[at] == '.') {
    ++at;
    if (!digits()) return false;
  }
  return argument.find_first_not_of("bdfgiMhnRrV", at) == std::string_view::npos;
}

bool is_obsolete_key_end(std::string_view argument) {
  return argument.size() >= 2 && argument[0] == '-' &&
         is_digit(static_cast<unsigned char>(argument[1]));
}

// "+W.C" counts fields and characters from 0; "-W.C" ends the key after
// character C of field W+1 (from 0), or at the end of field W when C is 0.
std::optional<std::string> parse_obsolete_key(std::string_view start, std::string_view end,
                                              SortSettings& settings) {
  KeyField key;
  key.obsolete = true;
  std::size_t at = start.empty() ? 0 : 1;
  std::size_t value = 0;
  if (!read_count(start, at, value)) {
    return invalid_count("invalid number at field start", start.substr(at));
  }
  // A count past SIZE_MAX is taken for no start at all: the line's start.
  key.start_field = value == SIZE_MAX ? 1 : value + 1;
  if (at < start.size() && start[at] == '.') {
    ++at;
    if (!read_count(start, at, value)) {
      return invalid_count("invalid number after '.'", start.substr(at));
    }
    key.start_char = value == SIZE_MAX ? value : value + 1;
  }
  if (!read_letters(start, at, true, key) || at < start.size()) {
    return unreadable_key(STRAY_CHARACTER, start);
  }
  if (!end.empty()) {
    at = 1;
    std::size_t field = 0;
    if (!read_count(end, at, field)) {
      return invalid_count("invalid number at field start", end.substr(at));
    }
    std::size_t character = 0;
    if (at < end.size() && end[at] == '.') {
      ++at;
      if (!read_count(end, at, character)) {
        return invalid_count("invalid number after '.'", end.substr(at));
      }
    }
    if (character != 0) {
      key.end_field = field == SIZE_MAX ? 0 : field + 1;
      key.end_char = key.end_field == 0 ? 0 : character;
    } else {
      key.end_field = std::max<std::size_t>(field, 1);
    }
    if (!read_letters(end, at, false, key) || at < end.size()) {
      return unreadable_key(STRAY_CHARACTER, end);
    }
  }
  settings.keys.push_back(key);
  return std::nullopt;
}

namespace {

// The incompatibility message for one key's options, if any.
std::optional<std::string> check_compatible(const KeyOptions& options) {
  std::uint16_t bits = effective_letters(options);
  int kinds = std::popcount(static_cast<unsigned>(bits & kNumericKinds));
  bool text_filter = bits & (letter_bit('d') | letter_bit('i'));
  bool random_or_version = bits & (letter_bit('R') | letter_bit('V'));
  if (kinds + (random_or_version ? 1 : 0) > 1 || (text_filter && kinds > 0)) {
    std::uint16_t shown = bits & static_cast<std::uint16_t>(~(letter_bit('b') | letter_bit('r')));
    return "options '-" + letters_text(shown) + "' are incompatible";
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> finish_settings(SortSettings& settings) {
  for (KeyField& key : settings.keys) {
    if (!key.has_own_options) key.options = settings.global;
  }
  if (settings.keys.empty()) return check_compatible(settings.global);
  for (const KeyField& key : settings.keys) {
    if (auto error = check_compatible(key.options)) return error;
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------
// --debug warnings.

namespace {

bool implicitly_skips_blanks(KeyOrder order) {
  return is_numeric(order) || order == KeyOrder::Month;
}

// Appends the warnings about one key; true when it is numeric and spans
// fields.
bool add_key_warnings(const KeyField& key, std::size_t number, const SortSettings& settings,
                      std::vector<std::string>& out) {
  std::string n = std::to_string(number);
  if (key.obsolete) {
    std::size_t first = key.start_field - 1;
    // Built in steps: GCC 12 sees a false overlap in "+" + std::to_string().
    std::string old = "+";
    old += std::to_string(first);
    std::string now = "-k " + std::to_string(first + 1);
    if (key.end_field != 0) {
      old += " -" + std::to_string(key.end_field);
      now += "," + std::to_string(key.end_field);
    }
    out.push_back("obsolescent key '" + old + "' used; consider '" + now + "' instead");
  }
  if (key.end_field != 0 && key.end_field < key.start_field) {
    out.push_back("key " + n + " has zero width and will be ignored");
    return false;
  }
  const KeyOptions& o = key.options;
  // A key ending within the first field is a plain column of the line.
  bool line_offset = key.end_field == 1 && key.end_char != 0;
  bool start_blanks =
      !o.skip_blanks_start && !(implicitly_skips_blanks(o.order) && key.start_char == 1);
  bool end_blanks = !o.skip_blanks_end && key.end_char != 0;
  if (settings.separator < 0 && !line_offset && (start_blanks || end_blanks)) {
    out.push_back("leading blanks are significant in key " + n + "; consider also specifying 'b'");
  }
  if (is_numeric(o.order) && (key.end_field == 0 || key.end_field > key.start_field)) {
    out.push_back("key " + n + " is numeric and spans multiple fields");
    return true;
  }
  return false;
}

// The notes on numbers: a separator that numbers spanning fields would read
// as part of them, and the decimal point.
void add_number_notes(const SortSettings& settings, std::vector<std::string>& out) {
  bool numbers = settings.keys.empty() && is_numeric(settings.global.order);
  bool spanning = false;
  bool general_spanning = false;
  std::vector<std::string> ignored;
  for (std::size_t i = 0; i < settings.keys.size(); ++i) {
    const KeyField& key = settings.keys[i];
    numbers = numbers || is_numeric(key.options.order);
    if (add_key_warnings(key, i + 1, settings, ignored)) {
      spanning = true;
      general_spanning = general_spanning || key.options.order == KeyOrder::GeneralNumeric;
    }
  }
  if (spanning && settings.separator == '.') {
    out.emplace_back("field separator '.' is treated as a decimal point in numbers");
  } else if (spanning && settings.separator == '-') {
    out.emplace_back("field separator '-' is treated as a minus sign in numbers");
  } else if (general_spanning && settings.separator == '+') {
    out.emplace_back("field separator '+' is treated as a plus sign in numbers");
  }
  if (!numbers) return;
  if (settings.separator != '.') {
    out.emplace_back("note numbers use '.' as a decimal point in this locale");
  } else if (!spanning) {
    out.emplace_back("numbers use '.' as a decimal point in this locale");
  }
}

}  // namespace

std::vector<std::string> debug_warnings(const SortSettings& settings) {
  std::vector<std::string> out;
  out.emplace_back("text ordering performed using simple byte comparison");
  for (std::size_t i = 0; i < settings.keys.size(); ++i) {
    (void)add_key_warnings(settings.keys[i], i + 1, settings, out);
  }
  add_number_notes(settings, out);
  if (settings.keys.empty()) return out;

  // Global options that no key uses.
  const KeyOptions& g = settings.global;
  std::uint16_t used = 0;
  bool start_skip = false;
  bool end_skip = false;
  for (const KeyField& key : settings.keys) {
    used |= effective_letters(key.options);
    start_skip = start_skip || key.options.skip_blanks_start;
    end_skip = end_skip || key.options.skip_blanks_end;
  }
  std::uint16_t unused = effective_letters(g) & static_cast<std::uint16_t>(~used);
  unused &= static_cast<std::uint16_t>(~letter_bit('b'));
  if ((g.skip_blanks_start && !start_skip) || (g.skip_blanks_end && !end_skip)) {
    unused |= letter_bit('b');
  }
  bool reverse_unused = unused & letter_bit('r');
  if (reverse_unused && !settings.stable && !settings.unique) {
    unused &= static_cast<std::uint16_t>(~letter_bit('r'));
  } else {
    reverse_unused = false;
  }
  if (unused != 0) {
    std::string letters = letters_text(unused);
    out.push_back(letters.size() == 1 ? "option '-" + letters + "' is ignored"
                                      : "options '-" + letters + "' are ignored");
  }
  if (reverse_unused) out.emplace_back("option '-r' only applies to last-resort comparison");
  return out;
}

// ---------------------------------------------------------------------------
// Orderings of one key's text.

namespace {

// A number as -n reads it (and -h before its suffix): blanks, an optional
// '-', digits, an optional '.' and digits.
//
// As sort does in the C locale, the byte 0x80 counts as a thousands
// separator: any number of them may stand before, between and after the
// integer digits, and the value is that of the digits alone ("1\x80000" is
// 1000, "\x805" is 5). Where --debug shows the number ends, and where -h
// looks for its suffix, the digits are read without them ("1\x80000" shows
// as "1").
constexpr unsigned char kThousandsByte = 0x80;

struct Decimal {
  int sign = 0;  // -1, 0 (zero or no number) or 1
  // From the first significant digit to the last integer digit; thousands
  // bytes may lie among the digits.
  std::string_view integer;
  std::size_t digits = 0;     // integer digits (integer.size() without thousands bytes)
  std::string_view fraction;  // without trailing zeros
  std::size_t begin = 0;      // where the number (or its absence) starts
  std::size_t end = 0;        // past its last byte as shown; begin when there is none
};

// The rest of `read_decimal` for a number whose integer digits up to
// `shown_end` are followed by a thousands byte: fills in `d`.
void read_separated(std::string_view key, Decimal& d, bool negative, std::size_t int_begin,
                    std::size_t shown_end) {
  const unsigned char* p = bytes_of(key);
  const std::size_t n = key.size();
  std::size_t i = shown_end;
  while (i < n && (is_digit(p[i]) || p[i] == kThousandsByte)) ++i;
  std::size_t int_end = i;
  std::size_t frac_begin = i;
  std::size_t frac_end = i;
  if (i < n && p[i] == '.') {
    frac_begin = ++i;
    while (i < n && is_digit(p[i])) ++i;
    frac_end = i;
  }
  // A thousands byte, not a point, follows the digits shown.
  if (shown_end > int_begin) d.end = shown_end;
  std::size_t lead = int_begin;
  while (lead < int_end && (p[lead] == '0' || p[lead] == kThousandsByte)) ++lead;
  while (int_end > lead && p[int_end - 1] == kThousandsByte) --int_end;
  std::size_t trail = frac_end;
  while (trail > frac_begin && p[trail - 1] == '0') --trail;
  d.integer = key.substr(lead, int_end - lead);
  d.digits =
      d.integer.size() - static_cast<std::size_t>(std::count(d.integer.begin(), d.integer.end(),
                                                             static_cast<char>(kThousandsByte)));
  d.fraction = key.substr(frac_begin, trail - frac_begin);
  if (d.digits != 0 || !d.fraction.empty()) d.sign = negative ? -1 : 1;
}

Decimal read_decimal(std::string_view key, const std::array<bool, 256>& blank) {
  Decimal d;
  const unsigned char* p = bytes_of(key);
  std::size_t n = key.size();
  std::size_t i = 0;
  while (i < n && blank[p[i]]) ++i;
  d.begin = d.end = i;
  bool negative = i < n && p[i] == '-';
  if (negative) ++i;
  std::size_t int_begin = i;
  while (i < n && is_digit(p[i])) ++i;
  std::size_t int_end = i;
  // One object returned on every path: built in place, not copied.
  if (i < n && p[i] == kThousandsByte) {
    read_separated(key, d, negative, int_begin, int_end);
    return d;
  }
  std::size_t frac_begin = i;
  std::size_t frac_end = i;
  bool point = i < n && p[i] == '.';
  if (point) {
    frac_begin = ++i;
    while (i < n && is_digit(p[i])) ++i;
    frac_end = i;
  }
  if (int_end == int_begin && frac_end == frac_begin) return d;  // no digits
  d.end = point ? frac_end : int_end;
  std::size_t lead = int_begin;
  while (lead < int_end && p[lead] == '0') ++lead;
  std::size_t trail = frac_end;
  while (trail > frac_begin && p[trail - 1] == '0') --trail;
  d.integer = key.substr(lead, int_end - lead);
  d.digits = d.integer.size();
  d.fraction = key.substr(frac_begin, trail - frac_begin);
  if (!d.integer.empty() || !d.fraction.empty()) d.sign = negative ? -1 : 1;
  return d;
}

// The integer digits of `d` without thousands bytes: `integer` itself, or
// a copy in `storage`.
std::string_view plain_integer(const Decimal& d, std::string& storage) {
  if (d.digits == d.integer.size()) return d.integer;
  storage.clear();
  for (char c : d.integer) {
    if (is_digit(static_cast<unsigned char>(c))) storage.push_back(c);
  }
  return storage;
}

// Compares the magnitudes of two numbers.
int compare_magnitude(const Decimal& a, const Decimal& b) {
  if (a.digits != b.digits) return a.digits < b.digits ? -1 : 1;
  int d = 0;
  if (a.digits == a.integer.size() && b.digits == b.integer.size()) {
    d = compare_bytes(a.integer, b.integer);
  } else {
    std::string a_digits;
    std::string b_digits;
    d = compare_bytes(plain_integer(a, a_digits), plain_integer(b, b_digits));
  }
  return d != 0 ? d : compare_bytes(a.fraction, b.fraction);
}

int compare_signed(const Decimal& a, const Decimal& b) {
  if (a.sign != b.sign) return a.sign < b.sign ? -1 : 1;
  if (a.sign == 0) return 0;
  int d = compare_magnitude(a, b);
  return a.sign < 0 ? -d : d;
}

// The rank of the SI suffix at `at`: 0 for none, then k/K, M, G, T, P, E, Z,
// Y; with -f, lowercase letters are folded to these first.
int suffix_rank(std::string_view key, std::size_t at, bool fold) {
  if (at >= key.size()) return 0;
  static constexpr std::string_view kSuffixes = "KMGTPEZY";
  char c = key[at] == 'k' || fold ? static_cast<char>(to_upper(static_cast<unsigned char>(key[at])))
                                  : key[at];
  std::size_t rank = kSuffixes.find(c);
  return rank == std::string_view::npos ? 0 : static_cast<int>(rank) + 1;
}

int compare_human(std::string_view a, std::string_view b, const std::array<bool, 256>& blank,
                  bool fold) {
  Decimal x = read_decimal(a, blank);
  Decimal y = read_decimal(b, blank);
  if (x.sign != y.sign) return x.sign < y.sign ? -1 : 1;
  if (x.sign == 0) return 0;
  int rx = suffix_rank(a, x.end, fold);
  int ry = suffix_rank(b, y.end, fold);
  int d = rx != ry ? (rx < ry ? -1 : 1) : compare_magnitude(x, y);
  return x.sign < 0 ? -d : d;
}

// A general number as strtold reads it from the key's start.
struct General {
  bool number = false;
  long double value = 0;
  std::size_t end = 0;  // bytes of the key read
};

General read_general(std::string_view key) {
  char small[128];
  thread_local std::string large;
  const char* text = small;
  if (key.size() < sizeof small) {
    std::memcpy(small, key.data(), key.size());
    small[key.size()] = '\0';
  } else {
    large.assign(key.data(), key.size());
    text = large.c_str();
  }
  General g;
  char* end = nullptr;
  int saved = errno;
  g.value = std::strtold(text, &end);
  errno = saved;
  g.number = end != text;
  g.end = static_cast<std::size_t>(end - text);
  return g;
}

bool is_nan(long double v) {
  return v != v;
}

// NaNs tie by the bytes of their values, which carry the sign and payload.
int compare_nans(long double a, long double b) {
#if LDBL_MANT_DIG == 64
  constexpr std::size_t kBytes = 10;  // the x87 format; the rest is padding
#else
  constexpr std::size_t kBytes = sizeof(long double);
#endif
  unsigned char x[sizeof(long double)];
  unsigned char y[sizeof(long double)];
  std::memcpy(x, &a, sizeof x);
  std::memcpy(y, &b, sizeof y);
  return std::memcmp(x, y, kBytes);
}

// Keys that are no number first, then NaNs, then numbers in order.
int compare_general(std::string_view a, std::string_view b) {
  General x = read_general(a);
  General y = read_general(b);
  if (!x.number || !y.number) return static_cast<int>(x.number) - static_cast<int>(y.number);
  if (x.value < y.value) return -1;
  if (x.value > y.value) return 1;
  if (x.value == y.value) return 0;
  if (!is_nan(x.value)) return 1;
  if (!is_nan(y.value)) return -1;
  return compare_nans(x.value, y.value);
}

// 0 for no month, 1 to 12 for JAN to DEC (any case) after leading blanks.
int month_of(std::string_view key, const std::array<bool, 256>& blank, std::size_t* begin) {
  static constexpr std::string_view kMonths = "JANFEBMARAPRMAYJUNJULAUGSEPOCTNOVDEC";
  const unsigned char* p = bytes_of(key);
  std::size_t i = 0;
  while (i < key.size() && blank[p[i]]) ++i;
  if (begin != nullptr) *begin = i;
  if (key.size() - i < 3) return 0;
  char name[3] = {static_cast<char>(to_upper(p[i])), static_cast<char>(to_upper(p[i + 1])),
                  static_cast<char>(to_upper(p[i + 2]))};
  for (int m = 0; m < 12; ++m) {
    if (kMonths.substr(static_cast<std::size_t>(m) * 3, 3) == std::string_view(name, 3)) {
      return m + 1;
    }
  }
  return 0;
}

// Version order of the non-digit byte c: letters first, '~' before all,
// even the end of the text.
int version_rank(unsigned char c) {
  if (is_digit(c)) return 0;
  if (is_alpha(c)) return c;
  if (c == '~') return -1;
  return c + 256;
}

// Alternating runs of non-digits (compared by version_rank) and digits
// (compared by value).
int compare_version_runs(std::string_view a, std::string_view b) {
  const unsigned char* p = bytes_of(a);
  const unsigned char* q = bytes_of(b);
  std::size_t n = a.size();
  std::size_t m = b.size();
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < n || j < m) {
    while ((i < n && !is_digit(p[i])) || (j < m && !is_digit(q[j]))) {
      int x = i < n ? version_rank(p[i]) : 0;
      int y = j < m ? version_rank(q[j]) : 0;
      if (x != y) return x - y;
      ++i;
      ++j;
    }
    while (i < n && p[i] == '0') ++i;
    while (j < m && q[j] == '0') ++j;
    int first_difference = 0;
    while (i < n && j < m && is_digit(p[i]) && is_digit(q[j])) {
      if (first_difference == 0) first_difference = p[i] - q[j];
      ++i;
      ++j;
    }
    if (i < n && is_digit(p[i])) return 1;
    if (j < m && is_digit(q[j])) return -1;
    if (first_difference != 0) return first_difference;
  }
  return 0;
}

// The length of `s` without its file-name suffix: a run of ".x..." parts,
// each a '.', a letter or '~', then letters, digits and '~', up to the end.
std::size_t without_suffix(std::string_view s) {
  const unsigned char* p = bytes_of(s);
  std::size_t n = s.size();
  std::size_t i = 0;
  std::size_t prefix = 0;
  for (;;) {
    while (i + 1 < n && p[i] == '.' && (is_alpha(p[i + 1]) || p[i + 1] == '~')) {
      for (i += 2; i < n && (is_alnum(p[i]) || p[i] == '~'); ++i) {
      }
    }
    if (i >= n) return prefix;
    prefix = ++i;
  }
}

int compare_version(std::string_view a, std::string_view b) {
  if (a == b) return 0;
  // The empty text, ".", ".." and hidden names come first, in that order.
  auto special = [](std::string_view s) {
    if (s.empty()) return 0;
    if (s == ".") return 1;
    if (s == "..") return 2;
    return s[0] == '.' ? 3 : 4;
  };
  int sa = special(a);
  int sb = special(b);
  if (sa != sb) return sa < sb ? -1 : 1;
  if (sa < 3) return 0;
  int d = compare_version_runs(a.substr(0, without_suffix(a)), b.substr(0, without_suffix(b)));
  return d != 0 ? d : compare_version_runs(a, b);
}

// Compares two texts byte by byte, leaving out the bytes `ignore` marks
// and translating the others through `fold`.
int compare_filtered(std::string_view a, std::string_view b, const bool* ignore,
                     const unsigned char* fold) {
  const unsigned char* p = bytes_of(a);
  const unsigned char* q = bytes_of(b);
  std::size_t n = a.size();
  std::size_t m = b.size();
  if (ignore == nullptr) {
    std::size_t common = std::min(n, m);
    for (std::size_t i = 0; i < common; ++i) {
      if (fold[p[i]] != fold[q[i]]) return fold[p[i]] < fold[q[i]] ? -1 : 1;
    }
    return n < m ? -1 : n > m ? 1 : 0;
  }
  std::size_t i = 0;
  std::size_t j = 0;
  for (;;) {
    while (i < n && ignore[p[i]]) ++i;
    while (j < m && ignore[q[j]]) ++j;
    if (i == n || j == m) return (i == n ? 0 : 1) - (j == m ? 0 : 1);
    unsigned char x = fold != nullptr ? fold[p[i]] : p[i];
    unsigned char y = fold != nullptr ? fold[q[j]] : q[j];
    if (x != y) return x < y ? -1 : 1;
    ++i;
    ++j;
  }
}

// The key as -d, -i and -f leave it, for the orderings that take text.
std::string_view filtered(std::string_view key, const bool* ignore, const unsigned char* fold,
                          std::string& buffer) {
  if (ignore == nullptr && fold == nullptr) return key;
  buffer.clear();
  for (char ch : key) {
    auto c = static_cast<unsigned char>(ch);
    if (ignore != nullptr && ignore[c]) continue;
    buffer += static_cast<char>(fold != nullptr ? fold[c] : c);
  }
  return buffer;
}

// SipHash-2-4: a keyed hash, so that -R orders keys by a seed.
class KeyedHash {
 public:
  KeyedHash(std::uint64_t k0, std::uint64_t k1)
      : v0_(k0 ^ 0x736f6d6570736575ull),
        v1_(k1 ^ 0x646f72616e646f6dull),
        v2_(k0 ^ 0x6c7967656e657261ull),
        v3_(k1 ^ 0x7465646279746573ull) {}

  void add(unsigned char byte) {
    word_ |= static_cast<std::uint64_t>(byte) << (8 * (length_ & 7));
    if ((++length_ & 7) == 0) {
      mix(word_);
      word_ = 0;
    }
  }
  std::uint64_t finish() {
    mix(word_ | (static_cast<std::uint64_t>(length_) << 56));
    v2_ ^= 0xff;
    for (int i = 0; i < 4; ++i) round();
    return v0_ ^ v1_ ^ v2_ ^ v3_;
  }

 private:
  static std::uint64_t rotate(std::uint64_t x, int by) { return (x << by) | (x >> (64 - by)); }
  void round() {
    v0_ += v1_;
    v1_ = rotate(v1_, 13) ^ v0_;
    v0_ = rotate(v0_, 32);
    v2_ += v3_;
    v3_ = rotate(v3_, 16) ^ v2_;
    v0_ += v3_;
    v3_ = rotate(v3_, 21) ^ v0_;
    v2_ += v1_;
    v1_ = rotate(v1_, 17) ^ v2_;
    v2_ = rotate(v2_, 32);
  }
  void mix(std::uint64_t m) {
    v3_ ^= m;
    round();
    round();
    v0_ ^= m;
  }

  std::uint64_t v0_, v1_, v2_, v3_;
  std::uint64_t word_ = 0;
  std::size_t length_ = 0;
};

std::uint64_t hash_key(std::string_view key, const std::uint64_t seed[2], const bool* ignore,
                       const unsigned char* fold) {
  KeyedHash hash(seed[0], seed[1]);
  for (char ch : key) {
    auto c = static_cast<unsigned char>(ch);
    if (ignore != nullptr && ignore[c]) continue;
    hash.add(fold != nullptr ? fold[c] : c);
  }
  return hash.finish();
}

// The first blank at or after `i` in p[0, n), or n; eight bytes at a time
// where the machine is little-endian. `newline` counts '\n' as a blank (-z).
std::size_t find_blank(const unsigned char* p, std::size_t i, std::size_t n, bool newline) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kHighs = 0x8080808080808080ull;
    auto has = [](std::uint64_t w, unsigned char c) {
      std::uint64_t x = w ^ (kOnes * c);
      return (x - kOnes) & ~x & kHighs;
    };
    for (; i + 8 <= n; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      std::uint64_t hits = has(w, ' ') | has(w, '\t') | (newline ? has(w, '\n') : 0);
      if (hits != 0) return i + static_cast<std::size_t>(std::countr_zero(hits)) / 8;
    }
  }
  for (; i < n; ++i) {
    if (p[i] == ' ' || p[i] == '\t' || (newline && p[i] == '\n')) return i;
  }
  return n;
}

}  // namespace

// ---------------------------------------------------------------------------
// The comparator.

LineComparator::LineComparator(const SortSettings& settings) {
  separator_ = settings.separator;
  for (int c = 0; c < 256; ++c) {
    auto byte = static_cast<unsigned char>(c);
    blank_[byte] = byte == ' ' || byte == '\t' || (settings.zero_terminated && byte == '\n');
  }
  const bool* dictionary_skip =
      settings.zero_terminated ? not_dictionary_zero_terminated.skip : not_dictionary.skip;
  auto compile = [dictionary_skip](const KeyField& field) {
    const KeyOptions& o = field.options;
    Key key{};
    key.start_field = std::max<std::size_t>(field.start_field, 1);
    key.start_char = std::max<std::size_t>(field.start_char, 1);
    key.end_field = field.end_field;
    key.end_char = field.end_char;
    key.skip_start = o.skip_blanks_start;
    key.skip_end = o.skip_blanks_end;
    key.order = o.order;
    key.reverse = o.reverse;
    key.ignore = o.dictionary           ? dictionary_skip
                 : o.ignore_nonprinting ? not_printing.skip
                                        : nullptr;
    key.fold = o.fold_case ? fold_table.map : nullptr;
    if (key.order != KeyOrder::Text && key.order != KeyOrder::Version &&
        key.order != KeyOrder::Random) {
      // Numbers and months have no bytes to leave out, and only the
      // suffixes of -h change case.
      key.ignore = nullptr;
      if (key.order != KeyOrder::HumanNumeric) key.fold = nullptr;
    }
    return key;
  };
  for (const KeyField& field : settings.keys) keys_.push_back(compile(field));
  const KeyOptions& g = settings.global;
  bool plain = g.order == KeyOrder::Text && !g.skip_blanks_start && !g.dictionary && !g.fold_case &&
               !g.ignore_nonprinting;
  if (keys_.empty() && !plain) {
    KeyField whole;
    whole.options = g;
    keys_.push_back(compile(whole));
  }
  last_resort_ = keys_.empty() || !(settings.stable || settings.unique);
  last_reverse_ = g.reverse;
  plain_first_key_ = !keys_.empty() && keys_[0].order == KeyOrder::Text &&
                     keys_[0].ignore == nullptr && keys_[0].fold == nullptr;
  first_key_mask_ = !keys_.empty() && keys_[0].reverse ? ~std::uint64_t{0} : 0;

  // The hash key of -R from the seed's bytes.
  KeyedHash first(0x0123456789abcdefull, 0xfedcba9876543210ull);
  KeyedHash second(0x0f1e2d3c4b5a6978ull, 0x8796a5b4c3d2e1f0ull);
  for (char c : settings.random_seed) {
    first.add(static_cast<unsigned char>(c));
    second.add(static_cast<unsigned char>(c));
  }
  hash_key_[0] = first.finish();
  hash_key_[1] = second.finish();
}

// The offset past `count` fields from `from`, the start of a field.
std::size_t LineComparator::skip_fields(std::string_view line, std::size_t from,
                                        std::size_t count) const {
  const unsigned char* p = bytes_of(line);
  std::size_t n = line.size();
  std::size_t i = from;
  if (separator_ >= 0) {
    auto sep = static_cast<char>(separator_);
    for (; count > 0 && i < n; --count) {
      const void* found = std::memchr(line.data() + i, sep, n - i);
      if (found == nullptr) return n;
      i = static_cast<std::size_t>(static_cast<const char*>(found) - line.data()) + 1;
    }
    return i;
  }
  for (; count > 0 && i < n; --count) {
    while (i < n && blank_[p[i]]) ++i;
    i = find_blank(p, i, n, blank_['\n']);
  }
  return i;
}

LineComparator::Span LineComparator::key_span(std::string_view line, const Key& key,
                                              std::size_t* raw_end) const {
  const unsigned char* p = bytes_of(line);
  std::size_t n = line.size();
  const std::size_t field = skip_fields(line, 0, key.start_field - 1);
  std::size_t begin = field;
  if (key.skip_start) {
    while (begin < n && blank_[p[begin]]) ++begin;
  }
  begin += std::min(key.start_char - 1, n - begin);
  std::size_t end = n;
  if (key.end_field != 0) {
    // The end's field is found from the start's when it is not before it.
    end = key.end_field >= key.start_field
              ? skip_fields(line, field, key.end_field - key.start_field)
              : skip_fields(line, 0, key.end_field - 1);
    if (key.end_char == 0) {
      if (separator_ >= 0) {
        const void* found = end < n ? std::memchr(line.data() + end, separator_, n - end) : nullptr;
        end = found == nullptr
                  ? n
                  : static_cast<std::size_t>(static_cast<const char*>(found) - line.data());
      } else {
        while (end < n && blank_[p[end]]) ++end;
        end = find_blank(p, end, n, blank_['\n']);
      }
    } else {
      if (key.skip_end) {
        while (end < n && blank_[p[end]]) ++end;
      }
      end += std::min(key.end_char, n - end);
    }
  }
  if (raw_end != nullptr) *raw_end = end;
  return {begin, std::max(begin, end)};
}

int LineComparator::compare_key(std::string_view a, std::string_view b, const Key& key) const {
  switch (key.order) {
    case KeyOrder::Text:
      if (key.ignore == nullptr && key.fold == nullptr) return compare_bytes(a, b);
      return compare_filtered(a, b, key.ignore, key.fold);
    case KeyOrder::Numeric: return compare_signed(read_decimal(a, blank_), read_decimal(b, blank_));
    case KeyOrder::HumanNumeric: return compare_human(a, b, blank_, key.fold != nullptr);
    case KeyOrder::GeneralNumeric: return compare_general(a, b);
    case KeyOrder::Month: return month_of(a, blank_, nullptr) - month_of(b, blank_, nullptr);
    case KeyOrder::Version: {
      thread_local std::string x;
      thread_local std::string y;
      return compare_version(filtered(a, key.ignore, key.fold, x),
                             filtered(b, key.ignore, key.fold, y));
    }
    case KeyOrder::Random: {
      std::uint64_t x = hash_key(a, hash_key_, key.ignore, key.fold);
      std::uint64_t y = hash_key(b, hash_key_, key.ignore, key.fold);
      if (x != y) return x < y ? -1 : 1;
      // Equal keys hash alike; keys that merely collide are told apart.
      if (key.ignore == nullptr && key.fold == nullptr) return compare_bytes(a, b);
      return compare_filtered(a, b, key.ignore, key.fold);
    }
  }
  return 0;
}

int LineComparator::compare_keys(std::string_view a, std::string_view b) const {
  return compare_keys(a, place(a), b, place(b));
}

bool LineComparator::same_keys(std::string_view a, std::string_view b) const {
  if (keys_.empty()) return a == b;
  return compare_keys(a, b) == 0;
}

bool LineComparator::same_keys(std::string_view a, KeyPlace a_place, std::string_view b,
                               KeyPlace b_place) const {
  if (keys_.empty()) return a == b;
  return compare_keys(a, a_place, b, b_place) == 0;
}

int LineComparator::compare_keys(std::string_view a, KeyPlace a_place, std::string_view b,
                                 KeyPlace b_place) const {
  if (keys_.empty()) {
    int d = compare_bytes(a, b);
    return last_reverse_ ? -d : d;
  }
  for (std::size_t k = 0; k < keys_.size(); ++k) {
    const Key& key = keys_[k];
    Span x = span_of(a, a_place, k);
    Span y = span_of(b, b_place, k);
    int d =
        compare_key(a.substr(x.begin, x.end - x.begin), b.substr(y.begin, y.end - y.begin), key);
    if (d != 0) return (d < 0) != key.reverse ? -1 : 1;
  }
  return 0;
}

int LineComparator::compare(std::string_view a, std::string_view b) const {
  return compare(a, place(a), b, place(b));
}

int LineComparator::compare(std::string_view a, KeyPlace a_place, std::string_view b,
                            KeyPlace b_place) const {
  if (keys_.empty()) return compare_keys(a, a_place, b, b_place);
  // Equal lines are common (repeated records) and equal under every key.
  if (a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0) return 0;
  int d = compare_keys(a, a_place, b, b_place);
  if (d != 0 || !last_resort_) return d;
  d = compare_bytes(a, b);
  return last_reverse_ ? -d : d;
}

// ---------------------------------------------------------------------------
// Digests.

namespace {

// Eight bytes of `text` from `at`, big-endian, through `fold` if any,
// padded with zeros.
std::uint64_t bytes_digest(std::string_view text, std::size_t at, const unsigned char* fold) {
  const unsigned char* p = bytes_of(text);
  if (fold == nullptr && at + 8 <= text.size()) {
    std::uint64_t word = 0;
    std::memcpy(&word, p + at, 8);
    return std::endian::native == std::endian::little ? byte_swap(word) : word;
  }
  std::uint64_t d = 0;
  for (std::size_t i = 0; i < 8; ++i) {
    unsigned char c = at + i < text.size() ? p[at + i] : 0;
    d = (d << 8) | (fold != nullptr ? fold[c] : c);
  }
  return d;
}

// Seven bytes of `text` from `at` (through `fold` if any) in the top seven
// bytes, padded with zeros; the low byte is zero.
std::uint64_t seven_bytes(std::string_view text, std::size_t at, const unsigned char* fold) {
  if (at + 8 <= text.size()) return bytes_digest(text, at, fold) & ~std::uint64_t{0xff};
  return bytes_digest(text.substr(0, std::min(text.size(), at + 7)), at, fold);
}

// Packs `count` decimal digits, from digit `from` of the integer part
// followed by the fraction, four bits each; missing digits are zeros.
std::uint64_t pack_digits(const Decimal& d, std::size_t from, std::size_t count) {
  if (d.digits != d.integer.size()) {
    std::string storage;
    Decimal plain = d;
    plain.integer = plain_integer(d, storage);
    return pack_digits(plain, from, count);
  }
  std::uint64_t bits = 0;
  const std::string_view integer = d.integer;
  std::size_t total = integer.size() + d.fraction.size();
  for (std::size_t i = from; i < from + count; ++i) {
    unsigned digit = 0;
    if (i < integer.size()) {
      digit = static_cast<unsigned>(integer[i] - '0');
    } else if (i < total) {
      digit = static_cast<unsigned>(d.fraction[i - integer.size()] - '0');
    }
    bits = (bits << 4) | digit;
  }
  return bits;
}

constexpr std::size_t kFirstDigits = 11;  // in the first level of a number
constexpr std::size_t kDeeperDigits = 16;

// The largest count of integer digits the first level of -n and -h holds
// (in 14 bits; 10 under -h, whose suffix rank comes first): larger counts
// tie.
std::size_t count_cap(bool human) {
  return (std::size_t{1} << (human ? 10 : 14)) - 1;
}

// Whether the first level of -n and -h pins the number: equal first levels
// then mean equal numbers.
bool number_fits_first_level(const Decimal& d, bool human) {
  const std::size_t cap = count_cap(human);
  return d.sign == 0 || (d.digits + d.fraction.size() <= kFirstDigits && d.digits < cap);
}

// The first level of -n and -h: the sign's class in the top two bits
// (negative, zero, positive), then the suffix rank (-h), the count of integer
// digits, the first eleven digits and, in the lowest bit, whether more
// digits follow. Below the class, negatives are inverted.
std::uint64_t number_digest(const Decimal& d, int rank, bool human) {
  if (d.sign == 0) return std::uint64_t{1} << 62;
  const std::size_t cap = count_cap(human);
  std::uint64_t bits = human ? static_cast<std::uint64_t>(rank) << 58 : 0;
  bits |= static_cast<std::uint64_t>(std::min(d.digits, cap)) << 48;
  // Past the largest count the counts tie, and so must the digits.
  if (d.digits < cap) bits |= pack_digits(d, 0, kFirstDigits) << 4;
  if (!number_fits_first_level(d, human)) bits |= 1;
  constexpr std::uint64_t kLow = (std::uint64_t{1} << 62) - 1;
  return d.sign < 0 ? ~bits & kLow : bits | std::uint64_t{2} << 62;
}

// A deeper level of a number whose first level was not exact: sixteen
// more digits each (none for counts of digits beyond what the first level
// holds, which only the comparison tells apart).
std::uint64_t number_digits(const Decimal& d, bool human, std::size_t level, bool& more) {
  const std::size_t cap = count_cap(human);
  more = false;
  if (d.digits >= cap) return 0;
  std::size_t from = kFirstDigits + (level - 1) * kDeeperDigits;
  std::uint64_t bits = pack_digits(d, from, kDeeperDigits);
  more = d.digits + d.fraction.size() > from + kDeeperDigits;
  return d.sign < 0 ? ~bits : bits;
}

// Bits appended from the top of a 64-bit word; a field that no longer fits
// ends the word (equal words so far stop at the same place).
struct BitWriter {
  std::uint64_t word = 0;
  unsigned used = 0;
  bool put(std::uint64_t value, unsigned bits) {
    if (used + bits > 64) return false;
    used += bits;
    word |= value << (64 - used);
    return true;
  }
};

// -V, in order with the comparison of the texts without their suffixes:
// the class of the special names (empty, ".", "..", hidden, other), then
// the runs in turn: each non-digit byte as a 9-bit rank ('~' lowest, then
// the run's end, letters, other bytes), and each number as its count of
// digits without leading zeros (5 bits) and its digits.
std::uint64_t version_digest(std::string_view s) {
  BitWriter out;
  int special = s.empty() ? 0 : s == "." ? 1 : s == ".." ? 2 : s[0] == '.' ? 3 : 4;
  out.put(static_cast<std::uint64_t>(special), 3);
  if (special < 3) return out.word;
  s = s.substr(0, without_suffix(s));
  const unsigned char* p = bytes_of(s);
  std::size_t n = s.size();
  std::size_t i = 0;
  for (;;) {
    for (; i < n && !is_digit(p[i]); ++i) {
      unsigned char c = p[i];
      unsigned rank = c == '~'               ? 1
                      : c >= 'A' && c <= 'Z' ? 3u + (c - 'A')
                      : c >= 'a' && c <= 'z' ? 29u + (c - 'a')
                                             : 55u + c;
      if (!out.put(rank, 9)) return out.word;
    }
    if (!out.put(2, 9)) return out.word;  // the run's end
    while (i < n && p[i] == '0') ++i;
    std::size_t digits = 0;
    while (i + digits < n && is_digit(p[i + digits])) ++digits;
    if (digits >= 31) {
      out.put(31, 5);  // too long to tell apart here
      return out.word;
    }
    if (!out.put(digits, 5)) return out.word;
    for (std::size_t k = 0; k < digits; ++k) {
      if (!out.put(static_cast<std::uint64_t>(p[i + k] - '0'), 4)) return out.word;
    }
    i += digits;
  }
}

// A long double as an order-preserving integer through the nearest double:
// 0 for no number, 1 for NaNs, then the numbers.
std::uint64_t general_digest(std::string_view key) {
  General g = read_general(key);
  if (!g.number) return 0;
  if (is_nan(g.value)) return 1;
  double v = static_cast<double>(g.value);
  if (v == 0) v = 0;  // -0 ties with 0
  std::uint64_t bits;
  std::memcpy(&bits, &v, sizeof bits);
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

}  // namespace

// Text keys take seven bytes a level, with the count of the chunk's bytes
// in the low byte (8: the key goes on), so that equal digests mean equal
// keys. Numbers of few digits and months take one level; other orderings
// are not pinned exactly.
LineComparator::KeyDigest LineComparator::key_digest(std::string_view text, const Key& key,
                                                     std::size_t level) const {
  KeyDigest d{0, false, 0};
  switch (key.order) {
    case KeyOrder::Text: {
      if (key.ignore != nullptr) return d;
      d.levels = std::max<std::size_t>(1, (text.size() + 6) / 7);
      if (level >= d.levels) return d;
      std::size_t at = 7 * level;
      std::size_t rest = text.size() - at;
      d.value = seven_bytes(text, at, key.fold) | std::min<std::size_t>(rest, 8);
      d.more = rest > 7;
      break;
    }
    case KeyOrder::Numeric:
    case KeyOrder::HumanNumeric: {
      const bool human = key.order == KeyOrder::HumanNumeric;
      const Decimal n = read_decimal(text, blank_);
      const bool exact = number_fits_first_level(n, human);
      d.levels = exact ? 1 : 0;
      if (level == 0) {
        const int rank = human && n.sign != 0 ? suffix_rank(text, n.end, key.fold != nullptr) : 0;
        d.value = number_digest(n, rank, human);
        d.more = !exact;
      } else if (exact) {
        return d;
      } else {
        d.value = number_digits(n, human, level, d.more);
      }
      break;
    }
    case KeyOrder::GeneralNumeric:
      if (level == 0) d.value = general_digest(text);
      break;
    case KeyOrder::Month:
      d.levels = 1;
      if (level != 0) return d;
      d.value = static_cast<std::uint64_t>(month_of(text, blank_, nullptr)) << 60;
      break;
    case KeyOrder::Random:
      if (level == 0) d.value = hash_key(text, hash_key_, key.ignore, key.fold);
      break;
    case KeyOrder::Version:
      if (level == 0) {
        thread_local std::string buffer;
        d.value = version_digest(filtered(text, key.ignore, key.fold, buffer));
      }
      break;
  }
  if (key.reverse) d.value = ~d.value;
  return d;
}

// The keys' digests in turn, each after the levels of the ones before it
// while those pin their keys exactly, then the whole line for the
// last-resort comparison.
std::uint64_t LineComparator::digest(std::string_view line, std::size_t level, bool& more) const {
  bool exact = false;
  return digest(line, level, more, exact);
}

std::uint64_t LineComparator::digest(std::string_view line, std::size_t level, bool& more,
                                     bool& exact) const {
  return digest(line, place(line), level, more, exact);
}

LineComparator::KeyPlace LineComparator::place(std::string_view line) const {
  if (keys_.empty() || line.size() >= PLACED_LINES) return {};
  const Span span = key_span(line, keys_[0]);
  return {static_cast<std::uint32_t>(span.begin), static_cast<std::uint32_t>(span.end)};
}

LineComparator::Span LineComparator::span_of(std::string_view line, KeyPlace place,
                                             std::size_t k) const {
  if (k == 0 && line.size() < PLACED_LINES) return {place.begin, place.end};
  return key_span(line, keys_[k]);
}

std::uint64_t LineComparator::whole_line_digest(std::string_view line, std::size_t level,
                                                bool& more) const {
  more = line.size() > 8 * (level + 1);
  const std::uint64_t d = bytes_digest(line, 8 * level, nullptr);
  return last_reverse_ ? ~d : d;
}

std::uint64_t LineComparator::digest(std::string_view line, KeyPlace place, std::size_t level,
                                     bool& more, bool& exact) const {
  exact = false;
  if (keys_.empty()) return whole_line_digest(line, level, more);
  if (plain_first_key_ && line.size() < PLACED_LINES &&
      std::size_t{place.begin} + 7 * level + 8 <= place.end) {
    // Seven bytes of the key, and 8 in the low byte: the key goes on.
    more = true;
    const std::uint64_t bytes = bytes_digest(line, place.begin + 7 * level, nullptr);
    return ((bytes & ~std::uint64_t{0xff}) | 8) ^ first_key_mask_;
  }
  return digest_by_keys(line, place, level, more, exact);
}

std::uint64_t LineComparator::digest_by_keys(std::string_view line, KeyPlace place,
                                             std::size_t level, bool& more, bool& exact) const {
  more = false;
  exact = false;
  std::size_t first = 0;  // the first level of key k
  for (std::size_t k = 0; k < keys_.size(); ++k) {
    Span span = span_of(line, place, k);
    KeyDigest d =
        key_digest(line.substr(span.begin, span.end - span.begin), keys_[k], level - first);
    if (d.levels == 0) {
      more = d.more;
      return d.value;
    }
    if (level - first < d.levels) {
      bool last = level - first + 1 == d.levels;
      more = d.more || (last && (k + 1 < keys_.size() || last_resort_));
      exact = !more;
      return d.value;
    }
    first += d.levels;
  }
  if (last_resort_) return whole_line_digest(line, level - first, more);
  exact = true;
  return 0;
}

namespace {

// How many bytes `a` and `b` (`size` each) share from the start, through
// `fold` if any.
std::size_t common_length(const unsigned char* a, const unsigned char* b, std::size_t size,
                          const unsigned char* fold) {
  if (fold == nullptr) {
    return shared_prefix({reinterpret_cast<const char*>(a), size},
                         {reinterpret_cast<const char*>(b), size});
  }
  std::size_t at = 0;
  while (at < size && fold[a[at]] == fold[b[at]]) ++at;
  return at;
}

}  // namespace

LineComparator::ByteOrder LineComparator::byte_order() const {
  if (keys_.empty()) return last_reverse_ ? ByteOrder::None : ByteOrder::WholeLine;
  const Key& key = keys_[0];
  if (keys_.size() > 1 || key.order != KeyOrder::Text || key.ignore != nullptr ||
      key.fold != nullptr || key.reverse) {
    return ByteOrder::None;
  }
  if (!last_resort_) return ByteOrder::KeyOnly;
  return last_reverse_ ? ByteOrder::None : ByteOrder::KeyThenLine;
}

std::string_view LineComparator::first_key(std::string_view line, KeyPlace place) const {
  const Span span = span_of(line, place, 0);
  return line.substr(span.begin, span.end - span.begin);
}

// A digest of bytes at level j reads `unit` bytes from unit * j and goes on
// while the text is longer than unit * (j + 1). Two texts that share their
// first P bytes thus share every level j with unit * (j + 1) < P.
std::size_t LineComparator::shared_depth(std::string_view a, KeyPlace a_place, std::string_view b,
                                         KeyPlace b_place, std::size_t level) const {
  std::size_t unit = 8;
  const unsigned char* fold = nullptr;
  if (!keys_.empty()) {
    const Key& key = keys_[0];
    if (key.order != KeyOrder::Text || key.ignore != nullptr) return level;
    unit = 7;
    fold = key.fold;
    const Span a_key = span_of(a, a_place, 0);
    const Span b_key = span_of(b, b_place, 0);
    a = a.substr(a_key.begin, a_key.end - a_key.begin);
    b = b.substr(b_key.begin, b_key.end - b_key.begin);
  }
  const std::size_t from = unit * (level + 1);
  const std::size_t size = std::min(a.size(), b.size());
  if (from >= size) return level;
  const std::size_t shared =
      from + common_length(bytes_of(a) + from, bytes_of(b) + from, size - from, fold);
  // The deepest j with unit * (j + 1) < shared.
  const std::size_t deepest = (shared - 1) / unit;
  return deepest > level + 1 ? deepest - 1 : level;
}

// ---------------------------------------------------------------------------
// --debug underlines.

namespace {

// Control bytes take no column on a terminal; every other byte one.
std::size_t width_of(std::string_view text) {
  std::size_t width = 0;
  for (char ch : text) {
    auto c = static_cast<unsigned char>(ch);
    width += (c < 0x20 && c != '\t') || c == 0x7f ? 0 : 1;
  }
  return width;
}

void underline(std::string_view line, std::size_t begin, std::size_t end, std::string& out) {
  out.append(width_of(line.substr(0, begin)), ' ');
  std::size_t width = width_of(line.substr(begin, end - begin));
  if (width == 0) {
    out += "^ no match for key\n";
  } else {
    out.append(width, '_');
    out += '\n';
  }
}

}  // namespace

void append_debug_line(std::string_view line, std::string& out) {
  for (char c : line) out += c == '\t' ? '>' : c;
  out += '\n';
}

// The part of a key that --debug underlines: a number or month name after
// leading blanks (empty where there is none), else all of the key. A key
// from the line's start that skips blanks stops skipping at its end; a key
// whose end falls ahead of its start shows its number's absence past all the
// blanks that follow the start.
LineComparator::Span LineComparator::shown_span(std::string_view line, const Key& key) const {
  const unsigned char* p = bytes_of(line);
  std::size_t raw_end = 0;
  Span span = key_span(line, key, &raw_end);
  if (key.start_field == 1 && key.start_char == 1 && key.skip_start) {
    span.begin = 0;
    while (span.begin < raw_end && blank_[p[span.begin]]) ++span.begin;
    span.end = std::max(span.begin, raw_end);
  }
  if (key.order == KeyOrder::Text || key.order == KeyOrder::Version ||
      key.order == KeyOrder::Random) {
    return span;
  }
  std::size_t stop = raw_end < span.begin ? line.size() : span.end;
  std::size_t begin = span.begin;
  while (begin < stop && blank_[p[begin]]) ++begin;
  if (raw_end < span.begin) return {begin, begin};
  std::string_view text = line.substr(span.begin, span.end - span.begin);
  std::size_t end = begin;
  switch (key.order) {
    case KeyOrder::Numeric:
    case KeyOrder::HumanNumeric: {
      Decimal d = read_decimal(text, blank_);
      end = span.begin + d.end;
      if (key.order == KeyOrder::HumanNumeric && d.end > d.begin &&
          suffix_rank(text, d.end, false) != 0) {  // unfolded, as shown
        ++end;
      }
      break;
    }
    case KeyOrder::GeneralNumeric: {
      General g = read_general(text);
      if (g.number) end = span.begin + g.end;
      break;
    }
    case KeyOrder::Month:
      if (month_of(text, blank_, nullptr) != 0) end = begin + 3;
      break;
    default: break;
  }
  return {begin, end};
}

void LineComparator::annotate(std::string_view line, std::string& out) const {
  for (const Key& key : keys_) {
    Span span = shown_span(line, key);
    underline(line, span.begin, span.end, out);
  }
  if (last_resort_) underline(line, 0, line.size(), out);
}

}  // namespace zelto::text
