// zelto-pack: turns lines of text into the record file `binary.tmp` and the
// parameter file `manager.txt` that zelto then arranges.
//
// Every line becomes one numbered record: its key in the 80-byte key area,
// its line number (from 1) at offset 80 and its text, with a newline, at
// offset 91. The parameter file declares the records and carries the chosen
// options in its thirteen lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "compare.h"

namespace zelto {

// Exit statuses of zelto-pack.
inline constexpr int PACK_OK = 0;
// The input could not be read, a line could not be packed or a write failed.
inline constexpr int PACK_FAILURE = 1;
// The command line was wrong.
inline constexpr int PACK_USAGE_ERROR = 2;

// The key kinds; each value is the key type that parameter line 2 carries.
enum class PackKey : int { Phrase = 0, Integers = 1, Doubles = 2 };

inline constexpr std::size_t INTEGER_KEY_LIMIT = 20;
inline constexpr std::size_t DOUBLE_KEY_LIMIT = 10;
// A parameter line of 255 characters would push every later line down by
// one, so an output path carries at most 254.
inline constexpr std::size_t OUTPUT_PATH_LIMIT = 254;
// The smallest record: the text offset 91, an empty text and its NUL.
inline constexpr std::int64_t SMALLEST_PACK_RECORD = 92;

// What the command line asks for.
struct PackOptions {
  PackKey key = PackKey::Phrase;
  // Blank-separated fields (from 1) that make the key, in this order; empty:
  // the key comes from the start of the line.
  std::vector<std::int32_t> fields;
  bool ignore_case = false;
  bool reverse = false;
  bool unique = false;
  bool lf = false;
  bool numbered = false;
  bool report_ties = false;
  bool keep_record_file = false;
  // zelto's output file; empty sends the lines to standard output.
  std::string output_path;
  // 0: the smallest size that holds the longest line.
  std::int32_t record_size = 0;
  // "-" is standard input.
  std::string input_path = "-";
};

enum class PackRequest { Pack, Help, Version };

// Reads the arguments (without the command name) into `options`; a "--help"
// or "--version" ends the scan and sets `request`. Returns PACK_OK, or
// PACK_USAGE_ERROR with `message` saying what is wrong.
[[nodiscard]] int parse_pack_arguments(std::span<const char* const> arguments, PackOptions& options,
                                       PackRequest& request, std::string& message);

// One input line: its bytes without the line end, and whether that end was
// CR LF rather than LF alone.
struct InputLine {
  std::string_view content;
  bool ends_with_crlf = false;
};

// Cuts `data` into lines at each LF; a last line without LF is a line too,
// and empty data has no lines. The views point into `data`.
[[nodiscard]] std::vector<InputLine> split_lines(std::string_view data);

// Reads all of the file at `path`, or standard input for "-", into `data`.
// Returns PACK_OK, or PACK_FAILURE with `message` naming the path and cause.
[[nodiscard]] int read_input(const std::string& path, std::string& data, std::string& message);

using KeyArea = std::array<unsigned char, KEY_AREA_SIZE>;

// Fills `key` (zeroed first) from a line's content, as `options` choose:
// a phrase cut to 79 bytes, up to twenty little-endian signed 32-bit
// integers, or up to ten little-endian binary64 doubles. Returns PACK_OK, or
// PACK_FAILURE with `message` naming the text that is not a usable number.
[[nodiscard]] int build_key(std::string_view content, const PackOptions& options, KeyArea& key,
                            std::string& message);

// The text field of line `number`: the content, with "N:" in front when
// numbered, and its line end. The CR of a CR LF end is kept only when the
// lines go to standard output, where zelto shows them unchanged; an output
// file gets zelto's own line ends.
[[nodiscard]] std::string text_field_of(const InputLine& line, std::int32_t number,
                                        const PackOptions& options);

// The record size that holds a text field of `text_length` bytes: the text
// offset 91, the text and its NUL.
[[nodiscard]] std::int64_t record_size_for(std::size_t text_length);

// Lays out one record in `record` (zeroed first): `key` at 0, `number` as
// signed 32-bit little-endian at 80, `text` and a NUL at 91. Assumes
// `record` holds at least record_size_for(text.size()) bytes.
void fill_record(std::span<unsigned char> record, const KeyArea& key, std::int32_t number,
                 std::string_view text);

// Checks every line (no NUL byte, a usable key, a text that fits) and picks
// the record size: the one asked for, or the smallest that holds the longest
// text. Returns PACK_OK with `record_size` set, or PACK_FAILURE with
// `message` naming the input and the line.
[[nodiscard]] int plan_records(std::span<const InputLine> lines, const PackOptions& options,
                               std::int32_t& record_size, std::string& message);

// The thirteen lines of the parameter file for `record_count` records of
// `record_size` bytes read from binary.tmp.
[[nodiscard]] std::string compose_manager_text(const PackOptions& options,
                                               std::int32_t record_count, std::int32_t record_size);

// Writes every line as a record of `record_size` bytes to `path`; the lines
// must have passed plan_records. Returns PACK_OK, or PACK_FAILURE with
// `message`.
[[nodiscard]] int write_record_file(const char* path, std::span<const InputLine> lines,
                                    const PackOptions& options, std::int32_t record_size,
                                    std::string& message);

// Writes `text` to the file at `path`. Returns PACK_OK, or PACK_FAILURE with
// `message`.
[[nodiscard]] int write_text_file(const char* path, std::string_view text, std::string& message);

// The name of the input in messages: the path, or "(standard input)".
[[nodiscard]] std::string input_name(const PackOptions& options);

[[nodiscard]] std::string compose_pack_help();
[[nodiscard]] std::string compose_pack_version();

// Reads the input, checks every line and writes binary.tmp and manager.txt
// into the working directory. On failure writes one message to standard
// error: a failure before writing leaves the directory as it was, a failed
// write removes both files. Returns the exit status.
[[nodiscard]] int pack_lines(const PackOptions& options);

// The whole command: arguments, help, version, packing. Returns the exit
// status.
[[nodiscard]] int run_pack(int argc, const char* const* argv);

}  // namespace zelto
