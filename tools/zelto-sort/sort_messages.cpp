#include "sort_messages.h"

#include <cstdio>
#include <cstring>

#include "progress.h"

namespace zelto::sorter {

namespace {

bool is_control(unsigned char c) {
  return c < 0x20 || c >= 0x7F;
}

// The escape of a control byte inside $'...': the C names where there are
// some, three octal digits otherwise.
std::string escaped_byte(unsigned char c) {
  switch (c) {
    case '\a': return "\\a";
    case '\b': return "\\b";
    case '\f': return "\\f";
    case '\n': return "\\n";
    case '\r': return "\\r";
    case '\t': return "\\t";
    case '\v': return "\\v";
    default: break;
  }
  char octal[5];
  std::snprintf(octal, sizeof octal, "\\%03o", c);
  return octal;
}

std::string& name_in_messages() {
  static std::string name(PROGRAM);
  return name;
}

// Bytes that read the same between quotation marks as bare, beside an
// apostrophe: what a name may hold to be quoted with quotation marks.
bool is_plain_in_quotation_marks(unsigned char c, bool first) {
  if (c == '#' || c == '~') return first;
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr(" %'+,-./:@]_", c) != nullptr);
}

// Bytes a shell takes as they are; '#' and '~' only past a word's start.
bool is_shell_safe(unsigned char c, bool first) {
  if (c == '#' || c == '~') return !first;
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         (c != '\0' && std::strchr("%+,-./@_{}]", c) != nullptr);
}

}  // namespace

void set_program_name(std::string_view invoked) {
  const std::size_t slash = invoked.find_last_of("/\\");
  if (slash != std::string_view::npos) invoked.remove_prefix(slash + 1);
  constexpr std::string_view windows_suffix = ".exe";
  if (invoked.size() > windows_suffix.size()) {
    const std::string_view suffix = invoked.substr(invoked.size() - windows_suffix.size());
    bool same = true;
    for (std::size_t i = 0; i < suffix.size(); ++i) {
      same = same && (suffix[i] | 0x20) == windows_suffix[i];
    }
    if (same) invoked.remove_suffix(windows_suffix.size());
  }
  name_in_messages() = invoked.empty() ? std::string(PROGRAM) : std::string(invoked);
}

std::string_view program_name() {
  return name_in_messages();
}

void report(std::string_view text) {
  clear_status_line();
  std::string line(program_name());
  line.append(": ").append(text).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

void print(std::FILE* stream, std::string_view text) {
  std::fwrite(text.data(), 1, text.size(), stream);
  std::fflush(stream);
}

std::string help_hint() {
  return "Try '" + std::string(program_name()) + " --help' for more information.\n";
}

void report_with_hint(std::string_view text) {
  report(text);
  const std::string hint = help_hint();
  std::fwrite(hint.data(), 1, hint.size(), stderr);
  std::fflush(stderr);
}

std::string quote(std::string_view text) {
  std::string quoted = "'";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\' || c == '\'') {
      quoted.append(1, '\\').append(1, ch);
    } else if (is_control(c)) {
      quoted += escaped_byte(c);
    } else {
      quoted += ch;
    }
  }
  return quoted + "'";
}

std::string quote_file(std::string_view name, bool always) {
  bool safe = !name.empty() && !always;
  bool plain = true;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    safe = safe && is_shell_safe(c, i == 0);
    plain = plain && is_plain_in_quotation_marks(c, i == 0);
  }
  // A brace alone is a word a shell reads specially.
  safe = safe && name != "{" && name != "}";
  if (safe) return std::string(name);
  if (plain && name.find('\'') != std::string_view::npos) {
    std::string quoted(1, '"');
    quoted.append(name).push_back('"');
    return quoted;
  }
  // Between apostrophes; an apostrophe closes them (or a $'...') for an
  // escaped one, and a run of control bytes closes them for $'...' (so a
  // name that starts with one starts with '').
  std::string quoted = "'";
  bool escaping = false;
  for (const char ch : name) {
    const auto c = static_cast<unsigned char>(ch);
    if (is_control(c)) {
      if (!escaping) quoted += "'$'";
      escaping = true;
      quoted += escaped_byte(c);
      continue;
    }
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      if (escaping) quoted += "''";
      quoted += ch;
    }
    escaping = false;
  }
  return quoted + "'";
}

std::string error_text(int error) {
  return std::strerror(error);
}

}  // namespace zelto::sorter
