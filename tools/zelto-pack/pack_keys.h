// zelto-pack's keys: how a line's fields and numbers become the 80-byte key
// area that zelto compares.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "pack_options.h"
#include "record_format.h"

namespace zelto {

using KeyArea = std::array<unsigned char, KEY_AREA_SIZE>;

// The fields of a line, in order. Without a separator they are the runs of
// non-blanks (blank: space or TAB); with one, the pieces between separator
// bytes, empty ones included, so a line always has at least one field.
[[nodiscard]] std::vector<std::string_view> split_fields(std::string_view content,
                                                         std::optional<char> separator);

// What build_key made of a line.
enum class KeyResult {
  Whole,       // the key holds all of its text or numbers
  Cut,         // phrase keys longer than 79 bytes, keyed by their first 79
  NoNumber,    // a number field missing or not a number; the key is the lowest
  OutOfRange,  // a number too large for its kind; the key is unusable
};

// The part of `line` that `key` covers, found as sort finds it: fields are
// cut at each `separator` byte or, without one, each begins with the
// blanks before its non-blanks; a key that would end before its start is
// empty.
[[nodiscard]] std::string_view sort_key_text(std::string_view line, const SortKey& key,
                                             std::optional<char> separator);

// Appends to `out` the phrase bytes of one key's `text`, ordered as sort
// orders the key under its letters (-n, -g, -f, -r) when zelto compares
// them as bytes. Unless `last`, or the key is reversed, the bytes carry an
// end, so that the next key's bytes follow them.
void append_sort_key(std::string_view text, const SortKey& key, bool last, std::string& out);

// Whether a -g key of the line holds NaN. sort gives NaNs of one sign equal
// keys, as the key bytes here do, except that with -u it keeps lines that
// it should count as one, as the bytes of the values in memory fall out.
[[nodiscard]] bool has_nan_key(std::string_view line, const PackOptions& options);

// Fills `key` (zeroed first) from a line, as `options` choose: for phrase
// keys, the bytes of append_sort_key for each key of the line (the whole
// line when there are none) one after the other, cut to 79 bytes; the line
// is what sort sees, the CR of a CR LF end included. Or up to twenty little-endian
// signed 32-bit integers, or up to ten little-endian binary64 doubles (-0
// written as 0). For NoNumber and OutOfRange `message` names the field or
// text at fault; NoNumber also leaves the lowest key of its kind in `key`.
[[nodiscard]] KeyResult build_key(std::string_view content, const PackOptions& options,
                                  KeyArea& key, std::string& message);

}  // namespace zelto
