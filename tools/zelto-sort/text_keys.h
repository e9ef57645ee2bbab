// Keys of text lines: the options that select and order them, and the exact
// comparison of two lines under those options (the C locale: bytes, ASCII
// letters, blanks are space and tab, and newline too with -z).
//
// The front end (command line, input, sorting, output) fills `SortSettings`
// through the parsing functions below (global letters through
// `apply_ordering_letter`, -k through `parse_key`, +POS1 -POS2 through
// `is_obsolete_key_start`/`is_obsolete_key_end`/`parse_obsolete_key`), sets
// -t, -s, -u, -z and the -R seed itself, calls `finish_settings` once, and
// then only compares, digests and annotates lines through `LineComparator`.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zelto::text {

// How a key's text is ordered.
enum class KeyOrder : std::uint8_t {
  Text,            // bytes (after -d, -f, -i), the default
  Numeric,         // -n
  GeneralNumeric,  // -g
  HumanNumeric,    // -h
  Month,           // -M
  Version,         // -V
  Random,          // -R: equal keys together, keys in a keyed hash order
};

// The ordering options of one key, or the global ones.
struct KeyOptions {
  KeyOrder order = KeyOrder::Text;
  bool skip_blanks_start = false;   // b, on the start position
  bool skip_blanks_end = false;     // b, on the end position
  bool dictionary = false;          // d
  bool fold_case = false;           // f
  bool ignore_nonprinting = false;  // i
  bool reverse = false;             // r
  // Every letter applied, one bit each in the order of "bdfghiMnRrV" (bit 0
  // is 'b'). `apply_ordering_letter` and the key parsers keep it; the checks
  // of incompatible letters and the --debug warnings about ignored options
  // read it, as `order` holds only one ordering. Nothing else need set it.
  std::uint16_t letters = 0;
};

// One -k POS1[,POS2] (or +POS1 -POS2): fields and characters counted from 1.
struct KeyField {
  std::size_t start_field = 1;
  std::size_t start_char = 1;
  std::size_t end_field = 0;  // 0: the key runs to the end of the line
  std::size_t end_char = 0;   // 0: to the end of `end_field`
  KeyOptions options;
  // True when the key carries ordering letters of its own; otherwise it
  // takes the global ones.
  bool has_own_options = false;
  // Given in the obsolete form (+POS1 -POS2): --debug names it. Set by
  // `parse_obsolete_key`.
  bool obsolete = false;
};

struct SortSettings {
  KeyOptions global;
  std::vector<KeyField> keys;    // empty: the whole line is the one key
  int separator = -1;            // -t: a byte, or -1 for runs of blanks
  bool stable = false;           // -s: no last-resort comparison
  bool unique = false;           // -u
  bool zero_terminated = false;  // -z
  std::string random_seed;       // the bytes that key -R's hash
};

// Applies one global ordering letter of "bdfgiMhnRrV" to `options`; false
// for any other letter.
[[nodiscard]] bool apply_ordering_letter(char letter, KeyOptions& options);

// Parses a -k argument and appends the key. On error returns the message
// (without the program name), as the command prints it before exiting with
// status 2.
[[nodiscard]] std::optional<std::string> parse_key(std::string_view argument,
                                                   SortSettings& settings);
// Parses an obsolete "+POS1 [-POS2]" pair (`end` empty when no -POS2
// follows) and appends the key; the error as for `parse_key`.
[[nodiscard]] std::optional<std::string> parse_obsolete_key(std::string_view start,
                                                            std::string_view end,
                                                            SortSettings& settings);

// Whether a command-line argument is an obsolete key start "+POS1": '+',
// digits, optionally '.' and digits, then only ordering letters. Any other
// argument starting with '+' is a file name.
[[nodiscard]] bool is_obsolete_key_start(std::string_view argument);
// Whether the argument after an obsolete key start is its "-POS2": '-' and a
// digit (then `parse_obsolete_key` validates the rest).
[[nodiscard]] bool is_obsolete_key_end(std::string_view argument);

// `text` quoted for a message as sort quotes it: between single quotes, with
// C escapes for quotes, backslashes, control bytes and bytes from 0x80.
[[nodiscard]] std::string quote_for_message(std::string_view text);

// Gives keys without letters of their own the global options and checks
// that no key mixes incompatible orderings. Returns the error message, if any.
[[nodiscard]] std::optional<std::string> finish_settings(SortSettings& settings);

// The warnings --debug prints before sorting, one message each (without the
// program name), for the settings as finished.
[[nodiscard]] std::vector<std::string> debug_warnings(const SortSettings& settings);

// --debug: appends `line` as it is echoed above its underlines (tabs shown
// as '>') and a '\n'.
void append_debug_line(std::string_view line, std::string& out);

// How many bytes `a` and `b` share from their start; eight at a time.
[[nodiscard]] inline std::size_t shared_prefix(std::string_view a, std::string_view b) {
  const std::size_t size = std::min(a.size(), b.size());
  std::size_t at = 0;
  for (; at + 8 <= size; at += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + at, 8);
    std::memcpy(&y, b.data() + at, 8);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        return at + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
      }
      break;
    }
  }
  while (at < size && a[at] == b[at]) ++at;
  return at;
}

// Compares lines (without their line end) under finished settings. It keeps
// what it needs of them; its const members may be called from many threads.
class LineComparator {
 public:
  explicit LineComparator(const SortSettings& settings);

  // The order of the output: the keys in turn, then (unless -s or -u) the
  // whole lines as bytes; reversed where -r says so. <0, 0 or >0.
  [[nodiscard]] int compare(std::string_view a, std::string_view b) const;
  // The keys only: 0 when -u would keep one of the two lines.
  [[nodiscard]] int compare_keys(std::string_view a, std::string_view b) const;
  // Whether compare_keys(a, b) is 0; lines of different lengths are told
  // apart at once where the key is the whole line's bytes.
  [[nodiscard]] bool same_keys(std::string_view a, std::string_view b) const;

  // An order-preserving digest of `line` for a radix sort: digests are
  // compared as unsigned integers, level after level. For two lines whose
  // digests agree at every level below `level`, a smaller digest at `level`
  // means compare() < 0. `more` is set false when no deeper level can tell
  // lines with equal digests so far apart (then only compare() can).
  [[nodiscard]] std::uint64_t digest(std::string_view line, std::size_t level, bool& more) const;
  // As above; `exact` is also set true when `more` is false because the
  // digests up to `level` pin everything compare() reads (every key, and no
  // last-resort comparison: -s or -u). Two lines whose digests agree at
  // every level, both exact, compare equal: no comparison need be made.
  [[nodiscard]] std::uint64_t digest(std::string_view line, std::size_t level, bool& more,
                                     bool& exact) const;

  // Where a line's first key lies. Found once per line by `place` and
  // handed to the digest, it spares each deeper level the search for the
  // key's fields (lines of 4 GiB or more are searched again).
  struct KeyPlace {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
  };
  [[nodiscard]] KeyPlace place(std::string_view line) const;
  // As `compare`, `compare_keys` and `same_keys` above, for lines whose
  // places are known.
  [[nodiscard]] int compare(std::string_view a, KeyPlace a_place, std::string_view b,
                            KeyPlace b_place) const;
  [[nodiscard]] int compare_keys(std::string_view a, KeyPlace a_place, std::string_view b,
                                 KeyPlace b_place) const;
  [[nodiscard]] bool same_keys(std::string_view a, KeyPlace a_place, std::string_view b,
                               KeyPlace b_place) const;
  // About where in a line of place `place` the digest at `level` reads: a
  // hint for fetching the bytes ahead.
  [[nodiscard]] std::size_t digest_offset(KeyPlace place, std::size_t level) const {
    if (keys_.empty()) return 8 * level;
    return keys_[0].order == KeyOrder::Text ? place.begin + 7 * level : place.begin;
  }
  // As `digest` above, for a line whose place is `place`. A level of the
  // whole line, or one that reads seven bytes of a plain first key that goes
  // on past them, is made at once, without the search through the keys.
  [[nodiscard]] std::uint64_t digest(std::string_view line, KeyPlace place, std::size_t level,
                                     bool& more, bool& exact) const;

  // For two lines whose digests are equal at every level up to `level`
  // and both go on (`more`), the deepest level through which that is sure
  // to stay so, read from the bytes of their first key (or of the whole
  // lines); `level` when the digests are not plain bytes.
  [[nodiscard]] std::size_t shared_depth(std::string_view a, KeyPlace a_place, std::string_view b,
                                         KeyPlace b_place, std::size_t level) const;

  // Where the order is that of plain bytes, what it reads of a line: the
  // whole line, the first key, or the first key and then the whole line
  // (its last-resort comparison), each as if followed by a byte below every
  // other. `None` for every other order (reversed, folded, filtered,
  // numeric, several keys...).
  enum class ByteOrder { None, WholeLine, KeyOnly, KeyThenLine };
  [[nodiscard]] ByteOrder byte_order() const;
  // The bytes of the first key of `line`, whose place is `place`.
  [[nodiscard]] std::string_view first_key(std::string_view line, KeyPlace place) const;
  // --debug: appends to `out` the lines that underline each key of `line`
  // (and the whole line, where the last-resort comparison applies), each
  // ending in '\n', as sort's --debug shows them.
  void annotate(std::string_view line, std::string& out) const;

 private:
  struct Key {
    std::size_t start_field, start_char, end_field, end_char;
    bool skip_start, skip_end;
    KeyOrder order;
    bool reverse;
    const bool* ignore;         // bytes left out (a static table), or null
    const unsigned char* fold;  // byte translation (a static table), or null
  };
  struct Span {
    std::size_t begin, end;
  };

  // The key's bytes in `line`; `raw_end`, if given, receives where the key
  // ends before an end that falls ahead of its start is moved up to it.
  [[nodiscard]] Span key_span(std::string_view line, const Key& key,
                              std::size_t* raw_end = nullptr) const;
  [[nodiscard]] std::size_t skip_fields(std::string_view line, std::size_t from,
                                        std::size_t count) const;
  [[nodiscard]] int compare_key(std::string_view a, std::string_view b, const Key& key) const;
  [[nodiscard]] Span shown_span(std::string_view line, const Key& key) const;
  // One level of a key's digests: `levels` counts the levels of a key that
  // they pin exactly (0 when they do not, and nothing can follow them).
  struct KeyDigest {
    std::uint64_t value;
    bool more;  // the key has deeper levels
    std::size_t levels;
  };
  [[nodiscard]] KeyDigest key_digest(std::string_view text, const Key& key,
                                     std::size_t level) const;
  // `digest` of a line with keys: the keys' digests in turn, then the whole
  // line's.
  [[nodiscard]] std::uint64_t digest_by_keys(std::string_view line, KeyPlace place,
                                             std::size_t level, bool& more, bool& exact) const;
  // The whole line's digest at `level`, eight bytes a level.
  [[nodiscard]] std::uint64_t whole_line_digest(std::string_view line, std::size_t level,
                                                bool& more) const;
  // The span of key `k` of `line`, from `place` for the first key.
  [[nodiscard]] Span span_of(std::string_view line, KeyPlace place, std::size_t k) const;

  // Lines this long or longer have no place: offsets are 32 bits.
  static constexpr std::size_t PLACED_LINES = 0xFFFFFFFFu;
  // A first key read as its plain bytes (neither folded nor filtered), whose
  // digests `digest` makes itself, turned over by `first_key_mask_` where
  // the key is reversed.
  bool plain_first_key_ = false;
  std::uint64_t first_key_mask_ = 0;
  std::vector<Key> keys_;    // empty: only the whole lines are compared
  bool last_resort_ = true;  // whole lines as bytes when the keys tie
  bool last_reverse_ = false;
  int separator_ = -1;
  std::array<bool, 256> blank_{};
  std::uint64_t hash_key_[2] = {0, 0};
};

}  // namespace zelto::text
