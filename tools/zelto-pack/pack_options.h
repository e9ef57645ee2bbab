// zelto-pack's command line: what it asks for, how it is read, and the help
// and version texts.
//
// Long options have the GNU form (a value after "=" or as the next
// argument, any unambiguous beginning of a name); the short ones are those a
// sort user types for the same meaning: -t -k -n -g -f -r -u -o.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "programs.h"
#include "record_format.h"

namespace zelto {

// The largest record zelto-pack writes or takes from --record-size: the
// record size is a signed 32-bit number in the parameter file.
inline constexpr std::int64_t LARGEST_RECORD = std::numeric_limits<std::int32_t>::max();

// A parameter line of 255 characters would push every later line down by
// one, so an output path carries at most 254.
inline constexpr std::size_t OUTPUT_PATH_LIMIT = 254;
// The smallest record: the numbered text offset, an empty text and its NUL.
inline constexpr std::int64_t SMALLEST_PACK_RECORD = NUMBERED_TEXT_OFFSET + 1;

// One key of sort's form (-k FIELD[.CHAR][LETTERS][,FIELD[.CHAR][LETTERS]]):
// where it starts and ends in a line and how it orders. Fields and
// characters count from 1.
struct SortKey {
  std::size_t start_field = 1;
  std::size_t start_char = 1;
  // 0: the key runs to the end of the line.
  std::size_t end_field = 0;
  // 0: the key runs to the end of its end field.
  std::size_t end_char = 0;
  // b: blanks before the start, or before the end character, do not count.
  bool skip_start_blanks = false;
  bool skip_end_blanks = false;
  // n: sort's numbers; g: general numbers; f: letters folded to upper
  // case; r: the key's order reversed.
  bool numeric = false;
  bool general = false;
  bool fold = false;
  bool reverse = false;
  // The key carries letters of its own, so the global ones do not apply.
  [[nodiscard]] bool has_letters() const {
    return skip_start_blanks || skip_end_blanks || numeric || general || fold || reverse;
  }
};

// The line end that the parameter file asks zelto to write into a file.
enum class LineEnd { FromInput, Lf, CrLf };

// What the command line asks for.
struct PackOptions {
  // Phrase: the lines ordered as sort orders them, by `keys` and the
  // global letters; Integers and Doubles: zelto's own number keys.
  KeyType key = KeyType::Phrase;
  // The keys of -k in their order, each with its letters or, when it has
  // none, the global ones; empty: the whole line with the global letters.
  std::vector<SortKey> keys;
  // For number keys: the fields (from 1) whose numbers make the key, in
  // this order; empty: the leading numbers of the line.
  std::vector<std::int32_t> fields;
  // The byte that separates fields; none: fields are runs of non-blanks.
  std::optional<char> separator;
  // The global letters: -f, -r, -b, -n, -g.
  bool ignore_case = false;
  bool reverse = false;
  bool skip_blanks = false;
  bool numeric = false;
  bool general = false;
  bool unique = false;
  bool numbered = false;
  bool report_ties = false;
  bool keep_record_file = false;
  // A number key that is missing or not a number becomes the lowest key
  // instead of an error.
  bool lenient = false;
  LineEnd line_end = LineEnd::FromInput;
  // zelto's output file; empty sends the lines to standard output.
  std::string output_path;
  // 0: the smallest size that holds the longest line.
  std::int32_t record_size = 0;
  // Longer texts are cut to this many bytes; none: texts are kept whole.
  std::optional<std::size_t> max_line;
  // The files to read in turn; "-" is standard input.
  std::vector<std::string> inputs = {"-"};
  // Where binary.tmp and manager.txt go (-C); empty: the working directory.
  std::string directory;
  // --sort: pack into a private directory, run zelto there and pass its
  // lines on; `sorted_output` (-o with --sort) receives them instead of
  // standard output.
  bool sort = false;
  std::string sorted_output;
};

enum class PackRequest { Pack, Help, Version };

// Reads the arguments (without the command name) into `options`; a "--help"
// or "--version" ends the scan and sets `request`. Returns PACK_OK, or
// PACK_USAGE_ERROR with `message` saying what is wrong.
[[nodiscard]] int parse_pack_arguments(std::span<const char* const> arguments, PackOptions& options,
                                       PackRequest& request, std::string& message);

// The name of an input in messages: the path, or "(standard input)".
[[nodiscard]] std::string input_name(const std::string& path);

[[nodiscard]] std::string compose_pack_help();
[[nodiscard]] std::string compose_pack_version();

}  // namespace zelto
