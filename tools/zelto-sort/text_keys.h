// Keys of text lines: the options that select and order them, and the exact
// comparison of two lines under those options (the C locale: bytes, ASCII
// letters, blanks are space and tab).
//
// The front end (command line, input, sorting, output) fills `SortSettings`
// through the parsing functions below, calls `finish_settings` once, and then
// only compares, digests and annotates lines through `LineComparator`.
#pragma once

#include <cstddef>
#include <cstdint>
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
};

struct SortSettings {
  KeyOptions global;
  std::vector<KeyField> keys;  // empty: the whole line is the one key
  int separator = -1;          // -t: a byte, or -1 for runs of blanks
  bool stable = false;         // -s: no last-resort comparison
  bool unique = false;         // -u
  bool zero_terminated = false;  // -z
  std::string random_seed;     // the bytes that key -R's hash
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

// Gives keys without letters of their own the global options and checks
// that no key mixes incompatible orderings. Returns the error message, if any.
[[nodiscard]] std::optional<std::string> finish_settings(SortSettings& settings);

// The warnings --debug prints before sorting, one message each (without the
// program name), for the settings as finished.
[[nodiscard]] std::vector<std::string> debug_warnings(const SortSettings& settings);

// Compares lines (without their line end) under finished settings.
class LineComparator {
 public:
  explicit LineComparator(const SortSettings& settings);

  // The order of the output: the keys in turn, then (unless -s or -u) the
  // whole lines as bytes; reversed where -r says so. <0, 0 or >0.
  [[nodiscard]] int compare(std::string_view a, std::string_view b) const;
  // The keys only: 0 when -u would keep one of the two lines.
  [[nodiscard]] int compare_keys(std::string_view a, std::string_view b) const;

  // An order-preserving digest of `line` for a radix sort: digests are
  // compared as unsigned integers, level after level. For two lines whose
  // digests agree at every level below `level`, a smaller digest at `level`
  // means compare() < 0. `more` is set false when no deeper level can tell
  // lines with equal digests so far apart (then only compare() can).
  [[nodiscard]] std::uint64_t digest(std::string_view line, std::size_t level,
                                     bool& more) const;

  // --debug: appends to `out` the lines that underline each key of `line`
  // (and the whole line, where the last-resort comparison applies), each
  // ending in '\n', as sort's --debug shows them.
  void annotate(std::string_view line, std::string& out) const;

 private:
  const SortSettings* settings_;
};

}  // namespace zelto::text
