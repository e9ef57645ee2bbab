// The parameter file (manager.txt) that steers zelto and that zelto-pack
// writes: one vocabulary for its reader and its writer.
//
// The file holds thirteen lines, read in order; a line's value ends at the
// first NUL, newline, apostrophe, bar or TAB, and the rest is a comment.
// Lines 1 to 3 hold numbers, 7 and 8 paths; every other line is a flag,
// out of force when its value is exactly "0" and in force for any other
// text, the empty line included. Line 9 is the exception: it asks for LF
// with one of LF_VALUES and for CR LF with anything else.
#pragma once

#include <algorithm>
#include <array>
#include <string_view>

namespace zelto::parameter_file {

// The lines, numbered from 1 as the file holds them.
enum Line : int {
  RECORD_COUNT = 1,  // records to read
  KEY_TYPE,          // a KeyType value (record_format.h)
  RECORD_SIZE,       // bytes a record
  NUMBERED,          // the text starts at offset 91, after the record number
  IGNORE_CASE,       // phrases compare ignoring letter case
  REPORT_TIES,       // the tie report follows the lines
  INPUT_PATH,        // the record file
  OUTPUT_PATH,       // the output file; empty: standard output
  LINE_END,          // LF or CR LF in the output file
  DESCENDING,        // the order is reversed
  GUIDE_TO_STDOUT,   // the guide (-V, --help) goes to standard output
  KEEP_RECORD_FILE,  // the record file stays after the run
  UNIQUE,            // one line for each distinct key pattern
};
inline constexpr int LINES = UNIQUE;

// A flag's value out of force.
inline constexpr std::string_view OFF = "0";
// The values zelto-pack writes for flags in force, and for the line ends.
inline constexpr std::string_view NUMBERED_ON = "-#";
inline constexpr std::string_view REPORT_TIES_ON = "-!";
inline constexpr std::string_view DESCENDING_ON = "-r";
inline constexpr std::string_view KEEP_RECORD_FILE_ON = "-y";
inline constexpr std::string_view UNIQUE_ON = "-u";
inline constexpr std::string_view LF = "-LF";
inline constexpr std::string_view CRLF = "-CRLF";
// The values of line 9 that ask for LF.
inline constexpr std::array<std::string_view, 3> LF_VALUES = {LF, "-L", OFF};

// True when a flag line's value puts its option in force.
[[nodiscard]] constexpr bool in_force(std::string_view value) {
  return value != OFF;
}

// True when line 9's value asks for CR LF.
[[nodiscard]] constexpr bool asks_for_crlf(std::string_view value) {
  return std::find(LF_VALUES.begin(), LF_VALUES.end(), value) == LF_VALUES.end();
}

}  // namespace zelto::parameter_file
