// zelto-sort's command line, read as the system's sort reads it: short
// options bundled (-nrk2), long options and any unique abbreviation of them
// (--rev), "--opt=value" and "--opt value", options after operands, "--"
// ending the options, "-" for standard input, and the obsolete "+POS1
// [-POS2]" keys anywhere before "--".
//
// Parsing only reads the arguments: files are opened later. What the
// arguments settle alone (incompatible -c and -C, a bad -S or -t) is
// refused here with sort's message and status.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_keys.h"

namespace zelto::sorter {

enum class CheckMode { None, Diagnose, Quiet };

// -S: a byte count, or a share of the physical memory.
struct BufferSize {
  std::uint64_t bytes = 0;
  bool percent = false;  // `bytes` is then a percentage
};

struct SortCommand {
  text::SortSettings settings;
  std::vector<std::string> files;  // operands; "-" is standard input
  std::optional<std::string> output;
  CheckMode check = CheckMode::None;
  char check_letter = 0;  // 'c' or 'C', as the messages name the mode
  bool merge = false;
  bool debug = false;
  std::optional<BufferSize> buffer_size;
  std::vector<std::string> temporary_directories;
  unsigned parallel = 0;         // 0: the processors decide
  std::uint64_t batch_size = 0;  // 0: not given
  std::optional<std::string> compress_program;
  std::optional<std::string> files0_from;
  std::optional<std::string> random_source;
};

// What the arguments ask for: a run, or an exit at once with `status`
// after `out` (--help, --version) went to standard output and `err` to
// standard error.
struct ParseOutcome {
  bool run = true;
  int status = 0;
  std::string out;
  std::string err;
};

// How the environment asks for the command line to be read, as sort reads
// it. With POSIXLY_CORRECT set, options end at the first operand (an -o
// right after the operands is still taken, under the traditional rules).
// With a _POSIX2_VERSION of the 2001 standard (200112 to 200808) the rules
// are not traditional: "+POS" is a file name unless "-POS" follows it and
// POSIXLY_CORRECT is not set.
struct CommandLineRules {
  bool posixly_correct = false;
  bool traditional = true;
};
[[nodiscard]] CommandLineRules command_line_rules_from_environment();

// Reads `arguments` (without the program name) into `command`.
[[nodiscard]] ParseOutcome parse_command_line(const std::vector<std::string>& arguments,
                                              SortCommand& command, CommandLineRules rules = {});

// Reads an -S value: digits with an optional suffix b (bytes), K M G T P E
// Z Y (powers of 1024; k m g t too) or % (of the memory); no suffix means
// KiB. On error returns the message, which names the option as `option`
// ("-S", or "--buffer-size" when it was spelled long).
[[nodiscard]] std::optional<std::string> parse_buffer_size(std::string_view text, BufferSize& size,
                                                           std::string_view option = "-S");

// The --help text.
[[nodiscard]] std::string usage_text();
// The --version text.
[[nodiscard]] std::string version_text();

}  // namespace zelto::sorter
