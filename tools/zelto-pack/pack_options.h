// zelto-pack's command line: what it asks for, how it is read, and the help
// and version texts.
//
// Long options have the GNU form (a value after "=" or as the next
// argument, any unambiguous beginning of a name); the short ones are those a
// sort user types for the same meaning: -t -k -n -g -f -r -u -o.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "record_format.h"

namespace zelto {

// Exit statuses of zelto-pack.
inline constexpr int PACK_OK = 0;
// The input could not be read, a line could not be packed or a write failed.
inline constexpr int PACK_FAILURE = 1;
// The command line was wrong.
inline constexpr int PACK_USAGE_ERROR = 2;

// A parameter line of 255 characters would push every later line down by
// one, so an output path carries at most 254.
inline constexpr std::size_t OUTPUT_PATH_LIMIT = 254;
// The smallest record: the numbered text offset, an empty text and its NUL.
inline constexpr std::int64_t SMALLEST_PACK_RECORD = NUMBERED_TEXT_OFFSET + 1;

// The line end that the parameter file asks zelto to write into a file.
enum class LineEnd { FromInput, Lf, CrLf };

// What the command line asks for.
struct PackOptions {
  KeyType key = KeyType::Phrase;
  // Fields (from 1) that make the key, in this order; empty: the key comes
  // from the start of the line.
  std::vector<std::int32_t> fields;
  // The byte that separates fields; none: fields are runs of non-blanks.
  std::optional<char> separator;
  bool ignore_case = false;
  bool reverse = false;
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
  // "-" is standard input.
  std::string input_path = "-";
};

enum class PackRequest { Pack, Help, Version };

// Reads the arguments (without the command name) into `options`; a "--help"
// or "--version" ends the scan and sets `request`. Returns PACK_OK, or
// PACK_USAGE_ERROR with `message` saying what is wrong.
[[nodiscard]] int parse_pack_arguments(std::span<const char* const> arguments, PackOptions& options,
                                       PackRequest& request, std::string& message);

// The name of the input in messages: the path, or "(standard input)".
[[nodiscard]] std::string input_name(const PackOptions& options);

[[nodiscard]] std::string compose_pack_help();
[[nodiscard]] std::string compose_pack_version();

}  // namespace zelto
