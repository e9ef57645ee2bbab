// The one voice of zelto-sort's messages: every diagnostic goes to standard
// error as "NAME: TEXT", and names in it are quoted as the system's sort
// quotes them, so that a script that reads one reads the other. NAME is
// the name the command was started by, as the system's sort does it:
// "zelto-sort", or "sort" for a copy installed in sort's place.
//
// Exit statuses: 0 done, 1 disorder found by -c/-C (and a few argument
// errors that the system's sort also ends with 1), 2 any trouble.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace zelto::sorter {

// The command's own name, which --version shows whatever it was started by.
inline constexpr std::string_view PROGRAM = "zelto-sort";

// Takes the name messages begin with from the command's first argument:
// its last path component, without a Windows ".exe". PROGRAM when that is
// empty. Called once, before any message.
void set_program_name(std::string_view invoked);
// The name messages begin with (PROGRAM until it is set).
[[nodiscard]] std::string_view program_name();

inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_DISORDER = 1;
inline constexpr int STATUS_TROUBLE = 2;

// Writes "NAME: TEXT\n" to standard error, after erasing a status
// line that may be shown there.
void report(std::string_view text);
// The same, followed by the line that points to --help.
void report_with_hint(std::string_view text);
// Writes all of `text` to `stream` (standard output or error) and flushes it.
void print(std::FILE* stream, std::string_view text);

// "Try 'NAME --help' for more information.\n"
[[nodiscard]] std::string help_hint();

// `text` between apostrophes, with backslashes, apostrophes, control bytes
// and bytes past ASCII escaped ('a\\b\303'): how option values are shown.
[[nodiscard]] std::string quote(std::string_view text);
// A file name as a shell would need it: bare when it holds only harmless
// characters (unless `always`), otherwise quoted with apostrophes (or
// quotation marks when it holds an apostrophe), control bytes and bytes
// past ASCII written as $'\n\303'.
[[nodiscard]] std::string quote_file(std::string_view name, bool always = false);

// The system's text for an errno value.
[[nodiscard]] std::string error_text(int error);

}  // namespace zelto::sorter
