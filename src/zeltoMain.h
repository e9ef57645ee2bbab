// The run driver: settings and their defaults, the parameter file, the
// command-line scan and the run sequence.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "record_format.h"

namespace zelto {

// Paths keep at most this many characters; longer values are cut.
inline constexpr std::size_t PATH_LIMIT = 255;

// The thirteen settings that steer one run, with their defaults. Flags hold
// 0 or 1.
struct RunSettings {
  std::int32_t record_count = 0;
  std::int32_t key_type = 0;
  std::int32_t record_size = 0;
  int numbered = 0;
  int case_sensitive = 1;
  int report_ties = 0;
  std::string input_path = RECORD_FILE;
  std::string output_path;
  int crlf = 1;
  int descending = 0;
  int guide_to_stderr = 1;
  int remove_record_file = 1;
  int unique = 0;
};

// Overlays `settings` with the parameter file at `path`, line by line; a file
// that cannot be opened changes nothing and is not reported.
void acquire_parameters_from_text(const char* path, RunSettings& settings);

// The same for the file's bytes: every CR directly before an LF is dropped,
// the rest is cut into pieces of at most 255 characters (each ending after a
// newline), and piece N sets the setting of parameter line N (1 to 13).
void apply_parameter_text(std::string_view text, RunSettings& settings);

enum class ScanOutcome { Arrange, FullGuide, ShortGuide };

// Applies the options and plain arguments (without the command name) to
// `settings` in order; stops at the first guide option and says which.
[[nodiscard]] ScanOutcome scan_arguments(std::span<const char* const> arguments,
                                         RunSettings& settings);

// The whole run: defaults, parameter file, command line, one arranging pass,
// removal of the record file, tie report. Returns the exit status.
[[nodiscard]] int run_command(int argc, const char* const* argv);

}  // namespace zelto
