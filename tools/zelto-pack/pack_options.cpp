#include "pack_options.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "version.h"

namespace zelto {

namespace {

// Codes of the options that have no short form, above every byte value.
enum LongOnly : int {
  KEY_OPTION = 256,
  LF_OPTION,
  CRLF_OPTION,
  NUMBERED_OPTION,
  RECORD_SIZE_OPTION,
  REPORT_TIES_OPTION,
  KEEP_OPTION,
  LENIENT_OPTION,
  MAX_LINE_OPTION,
  HELP_OPTION,
  VERSION_OPTION,
  SORT_OPTION
};

// One option of the command line: its long name (none for a letter alone),
// its short letter (0 for none), whether it takes a value and the code that
// apply_option acts on.
struct OptionEntry {
  const char* name;
  char letter;
  bool takes_value;
  int code;
};

constexpr OptionEntry OPTIONS[] = {
    {"key", 0, true, KEY_OPTION},
    {"field", 'k', true, 'k'},
    {"field-separator", 't', true, 't'},
    {"ignore-case", 'f', false, 'f'},
    {"reverse", 'r', false, 'r'},
    {"unique", 'u', false, 'u'},
    {"output", 'o', true, 'o'},
    {"lf", 0, false, LF_OPTION},
    {"crlf", 0, false, CRLF_OPTION},
    {"numbered", 0, false, NUMBERED_OPTION},
    {"record-size", 0, true, RECORD_SIZE_OPTION},
    {"report-ties", 0, false, REPORT_TIES_OPTION},
    {"keep", 0, false, KEEP_OPTION},
    {"lenient", 0, false, LENIENT_OPTION},
    {"max-line", 0, true, MAX_LINE_OPTION},
    {"directory", 'C', true, 'C'},
    {"sort", 0, false, SORT_OPTION},
    {"help", 0, false, HELP_OPTION},
    {"version", 0, false, VERSION_OPTION},
    {nullptr, 'n', false, 'n'},
    {nullptr, 'g', false, 'g'},
    {nullptr, 'b', false, 'b'},
};

const OptionEntry* option_with_letter(char letter) {
  for (const OptionEntry& o : OPTIONS) {
    if (letter != 0 && o.letter == letter) return &o;
  }
  return nullptr;
}

// The long option that `name` names: the one spelt so, or the only one it
// begins. nullptr when none or several fit.
const OptionEntry* option_with_name(std::string_view name) {
  const OptionEntry* found = nullptr;
  int beginning = 0;
  for (const OptionEntry& o : OPTIONS) {
    if (o.name == nullptr) continue;
    if (name == o.name) return &o;
    if (std::string_view(o.name).starts_with(name)) {
      found = &o;
      ++beginning;
    }
  }
  return beginning == 1 ? found : nullptr;
}

// "'--name' is unrecognized" or, when `name` begins several long options,
// that it is ambiguous and which it could be.
std::string unknown_long_option_message(std::string_view argument) {
  const std::string_view name = argument.substr(2, argument.find('=') - 2);
  std::string candidates;
  for (const OptionEntry& o : OPTIONS) {
    if (o.name != nullptr && std::string_view(o.name).starts_with(name)) {
      candidates += (candidates.empty() ? "--" : ", --") + std::string(o.name);
    }
  }
  if (candidates.find(',') == std::string::npos) {
    return "unrecognized option '" + std::string(argument) + "'";
  }
  return "option '--" + std::string(name) + "' is ambiguous (" + candidates + ")";
}

// A decimal number made only of digits, at most `largest`. Returns PACK_OK
// with `value` set, or PACK_USAGE_ERROR.
int parse_count(std::string_view text, std::int64_t largest, std::int64_t& value) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return PACK_USAGE_ERROR;
  }
  value = 0;
  for (const char c : text) {
    value = value * 10 + (c - '0');
    if (value > largest) return PACK_USAGE_ERROR;
  }
  return PACK_OK;
}

// An output path must reach zelto unchanged through its parameter line,
// which ends at a newline, apostrophe, bar or TAB, drops a CR before the
// newline and holds at most 254 characters without shifting later lines.
int check_output_path(std::string_view path, std::string& message) {
  if (path.find_first_of("\n\r'|\t") != std::string_view::npos) {
    message = "the output file name cannot hold a newline, CR, TAB, ' or |";
    return PACK_USAGE_ERROR;
  }
  if (path.size() > OUTPUT_PATH_LIMIT) {
    message = "the output file name is longer than 254 bytes";
    return PACK_USAGE_ERROR;
  }
  return PACK_OK;
}

int apply_key_kind(std::string_view value, PackOptions& options, std::string& message) {
  if (value == "phrase") {
    options.key = KeyType::Phrase;
  } else if (value == "int") {
    options.key = KeyType::Integers;
  } else if (value == "double") {
    options.key = KeyType::Doubles;
  } else {
    message = "invalid key kind '" + std::string(value) + "' (phrase, int or double)";
    return PACK_USAGE_ERROR;
  }
  return PACK_OK;
}

// A field or character number of a key definition: digits, at most
// 2147483647. Advances `text` past them; false when there are none.
bool take_number(std::string_view& text, std::size_t& value) {
  std::size_t length = 0;
  while (length < text.size() && text[length] >= '0' && text[length] <= '9') ++length;
  std::int64_t number = 0;
  if (parse_count(text.substr(0, length), std::numeric_limits<std::int32_t>::max(), number) !=
      PACK_OK) {
    return false;
  }
  value = static_cast<std::size_t>(number);
  text.remove_prefix(length);
  return true;
}

// One position of a key definition, FIELD[.CHAR][LETTERS], from the front
// of `text`; `end` tells the second position from the first. Returns false
// when it is malformed.
bool take_position(std::string_view& text, bool end, SortKey& key) {
  std::size_t& field = end ? key.end_field : key.start_field;
  std::size_t& character = end ? key.end_char : key.start_char;
  if (!take_number(text, field) || field == 0) return false;
  if (text.starts_with('.')) {
    text.remove_prefix(1);
    if (!take_number(text, character) || (!end && character == 0)) return false;
  }
  while (!text.empty() && text.front() != ',') {
    switch (text.front()) {
      case 'b': (end ? key.skip_end_blanks : key.skip_start_blanks) = true; break;
      case 'f': key.fold = true; break;
      case 'g': key.general = true; break;
      case 'n': key.numeric = true; break;
      case 'r': key.reverse = true; break;
      default: return false;
    }
    text.remove_prefix(1);
  }
  return true;
}

// A key definition of sort's form, POS1[,POS2].
int parse_key_definition(std::string_view text, SortKey& key) {
  key = SortKey{};
  if (!take_position(text, false, key)) return PACK_USAGE_ERROR;
  if (text.empty()) return PACK_OK;
  text.remove_prefix(1);
  if (!take_position(text, true, key) || !text.empty()) return PACK_USAGE_ERROR;
  return PACK_OK;
}

int apply_key_definition(std::string_view value, PackOptions& options, std::string& message) {
  SortKey key;
  if (parse_key_definition(value, key) == PACK_OK) {
    options.keys.push_back(key);
    return PACK_OK;
  }
  message = "invalid key '" + std::string(value) +
            "' (FIELD[.CHAR][LETTERS][,FIELD[.CHAR][LETTERS]], fields and characters from 1, "
            "letters b f g n r)";
  return PACK_USAGE_ERROR;
}

int apply_separator(std::string_view value, PackOptions& options, std::string& message) {
  if (value.size() != 1) {
    message = "the field separator must be one byte, not '" + std::string(value) + "'";
    return PACK_USAGE_ERROR;
  }
  options.separator = value.front();
  return PACK_OK;
}

int apply_record_size(std::string_view value, PackOptions& options, std::string& message) {
  std::int64_t size = 0;
  if (parse_count(value, LARGEST_RECORD, size) != PACK_OK || size < SMALLEST_PACK_RECORD) {
    message = "invalid record size '" + std::string(value) + "' (92 to 2147483647)";
    return PACK_USAGE_ERROR;
  }
  options.record_size = static_cast<std::int32_t>(size);
  return PACK_OK;
}

int apply_max_line(std::string_view value, PackOptions& options, std::string& message) {
  std::int64_t length = 0;
  if (parse_count(value, LARGEST_RECORD, length) != PACK_OK) {
    message = "invalid line length '" + std::string(value) + "' (0 to 2147483647 bytes)";
    return PACK_USAGE_ERROR;
  }
  options.max_line = static_cast<std::size_t>(length);
  return PACK_OK;
}

// Applies the option with code `code` and its value (empty when it takes
// none). Returns PACK_OK, or PACK_USAGE_ERROR with `message`.
int apply_option(int code, std::string_view value, PackOptions& options, PackRequest& request,
                 std::string& message) {
  switch (code) {
    case KEY_OPTION: return apply_key_kind(value, options, message);
    case 'k': return apply_key_definition(value, options, message);
    case 't': return apply_separator(value, options, message);
    case RECORD_SIZE_OPTION: return apply_record_size(value, options, message);
    case MAX_LINE_OPTION: return apply_max_line(value, options, message);
    case 'o':
      if (check_output_path(value, message) != PACK_OK) return PACK_USAGE_ERROR;
      options.output_path = std::string(value);
      return PACK_OK;
    case 'n': options.numeric = true; return PACK_OK;
    case 'g': options.general = true; return PACK_OK;
    case 'b': options.skip_blanks = true; return PACK_OK;
    case 'f': options.ignore_case = true; return PACK_OK;
    case 'r': options.reverse = true; return PACK_OK;
    case 'u': options.unique = true; return PACK_OK;
    case 'C':
      if (value.empty()) {
        message = "the directory name is empty";
        return PACK_USAGE_ERROR;
      }
      options.directory = std::string(value);
      return PACK_OK;
    case SORT_OPTION: options.sort = true; return PACK_OK;
    case LF_OPTION: options.line_end = LineEnd::Lf; return PACK_OK;
    case CRLF_OPTION: options.line_end = LineEnd::CrLf; return PACK_OK;
    case NUMBERED_OPTION: options.numbered = true; return PACK_OK;
    case REPORT_TIES_OPTION: options.report_ties = true; return PACK_OK;
    case KEEP_OPTION: options.keep_record_file = true; return PACK_OK;
    case LENIENT_OPTION: options.lenient = true; return PACK_OK;
    case HELP_OPTION: request = PackRequest::Help; return PACK_OK;
    case VERSION_OPTION: request = PackRequest::Version; return PACK_OK;
    default: break;
  }
  message = "internal error: option code " + std::to_string(code);
  return PACK_USAGE_ERROR;
}

// Options are read in the order given and may come anywhere among the
// operands; "--" ends them. A long option takes its value after "=" or as
// the next argument and may be shortened to any beginning that is its own;
// short options may be bundled ("-fu"), the first that takes a value taking
// the rest of the bundle or the next argument ("-t:", "-t :").
class ArgumentScan {
 public:
  ArgumentScan(std::span<const char* const> arguments, PackOptions& options, PackRequest& request,
               std::string& message)
      : arguments_(arguments), options_(options), request_(request), message_(message) {}

  // Applies every option; stops at the first wrong one or at a request for
  // help or the version.
  int run() {
    bool options_end = false;
    while (next_ < arguments_.size()) {
      const std::string_view argument = arguments_[next_++];
      int status = PACK_OK;
      if (options_end || argument == "-" || !argument.starts_with("-")) {
        operands_.emplace_back(argument);
      } else if (argument == "--") {
        options_end = true;
      } else if (argument.starts_with("--")) {
        status = long_option(argument);
      } else {
        status = short_options(argument.substr(1));
      }
      if (status != PACK_OK) return status;
      if (request_ != PackRequest::Pack) return PACK_OK;
    }
    return PACK_OK;
  }

  [[nodiscard]] const std::vector<std::string>& operands() const { return operands_; }

 private:
  int fail(std::string text) {
    message_ = std::move(text);
    return PACK_USAGE_ERROR;
  }

  int long_option(std::string_view argument) {
    const std::size_t equals = argument.find('=');
    const std::string_view name = argument.substr(2, equals - 2);
    const OptionEntry* entry = option_with_name(name);
    if (entry == nullptr) return fail(unknown_long_option_message(argument));
    const std::string full = "option '--" + std::string(entry->name) + "'";
    if (equals != std::string_view::npos) {
      if (!entry->takes_value) return fail(full + " doesn't allow an argument");
      return apply(*entry, argument.substr(equals + 1));
    }
    if (!entry->takes_value) return apply(*entry, {});
    if (next_ == arguments_.size()) return fail(full + " requires an argument");
    return apply(*entry, arguments_[next_++]);
  }

  int short_options(std::string_view letters) {
    for (std::size_t i = 0; i < letters.size(); ++i) {
      const OptionEntry* entry = option_with_letter(letters[i]);
      if (entry == nullptr) return fail("invalid option -- '" + std::string(1, letters[i]) + "'");
      if (!entry->takes_value) {
        if (apply(*entry, {}) != PACK_OK) return PACK_USAGE_ERROR;
        continue;
      }
      if (i + 1 < letters.size()) return apply(*entry, letters.substr(i + 1));
      if (next_ == arguments_.size()) {
        return fail("option requires an argument -- '" + std::string(1, letters[i]) + "'");
      }
      return apply(*entry, arguments_[next_++]);
    }
    return PACK_OK;
  }

  int apply(const OptionEntry& entry, std::string_view value) {
    return apply_option(entry.code, value, options_, request_, message_);
  }

  std::span<const char* const> arguments_;
  PackOptions& options_;
  PackRequest& request_;
  std::string& message_;
  std::size_t next_ = 0;
  std::vector<std::string> operands_;
};

// zelto's own number keys take whole fields, one number from each.
int check_number_fields(PackOptions& options, std::string& message) {
  if (options.ignore_case) {
    message = "--ignore-case applies to phrase keys only";
    return PACK_USAGE_ERROR;
  }
  if (options.numeric || options.general || options.skip_blanks) {
    message = "-n, -g and -b order phrase keys; --key=int and --key=double are numbers already";
    return PACK_USAGE_ERROR;
  }
  for (const SortKey& key : options.keys) {
    if (key.has_letters() || key.start_char != 1 || key.end_char != 0 ||
        (key.end_field != 0 && key.end_field != key.start_field)) {
      message = "--key=int and --key=double take whole fields: -k N or -k N,N";
      return PACK_USAGE_ERROR;
    }
    options.fields.push_back(static_cast<std::int32_t>(key.start_field));
  }
  const std::size_t limit =
      static_cast<std::size_t>(options.key == KeyType::Doubles ? KEY_DOUBLES : KEY_WORDS);
  if (options.fields.size() > limit) {
    message = "-k names " + std::to_string(options.fields.size()) + " fields; " +
              (options.key == KeyType::Doubles ? "a double key holds at most 10"
                                               : "a key holds at most 20");
    return PACK_USAGE_ERROR;
  }
  return PACK_OK;
}

// Checks that the options agree with each other once all are read, and
// gives every key without letters of its own the global ones, as sort does.
int check_option_combination(PackOptions& options, std::string& message) {
  if (options.sort) {
    if (!options.directory.empty() || options.keep_record_file) {
      message = "--sort packs into a directory of its own and removes it: no -C or --keep";
      return PACK_USAGE_ERROR;
    }
    // The lines are zelto's display, passed on to -o's file.
    options.sorted_output = options.output_path;
    options.output_path.clear();
  }
  if (options.key != KeyType::Phrase) return check_number_fields(options, message);
  const auto incompatible = [&](bool numeric, bool general) {
    if (!(numeric && general)) return false;
    message = "options '-gn' are incompatible";
    return true;
  };
  if (incompatible(options.numeric, options.general)) return PACK_USAGE_ERROR;
  for (SortKey& key : options.keys) {
    if (incompatible(key.numeric, key.general)) return PACK_USAGE_ERROR;
    if (key.has_letters()) continue;
    key.skip_start_blanks = key.skip_end_blanks = options.skip_blanks;
    key.numeric = options.numeric;
    key.general = options.general;
    key.fold = options.ignore_case;
    key.reverse = options.reverse;
  }
  return PACK_OK;
}

}  // namespace

int parse_pack_arguments(std::span<const char* const> arguments, PackOptions& options,
                         PackRequest& request, std::string& message) {
  request = PackRequest::Pack;
  ArgumentScan scan(arguments, options, request, message);
  if (scan.run() != PACK_OK) return PACK_USAGE_ERROR;
  if (request != PackRequest::Pack) return PACK_OK;
  if (!scan.operands().empty()) options.inputs = scan.operands();
  return check_option_combination(options, message);
}

std::string input_name(const std::string& path) {
  return path == "-" ? "(standard input)" : path;
}

std::string compose_pack_help() {
  return "Usage: zelto-pack [OPTION]... [FILE]...\n"
         "Turn the lines of the FILEs (standard input for - or when there are none)\n"
         "into the record file binary.tmp and the parameter file manager.txt in the\n"
         "current directory, ready for zelto to arrange; or, with --sort, do both and\n"
         "write the sorted lines. Each line becomes one record numbered by its line\n"
         "number; equal keys keep their lines in input order.\n"
         "\n"
         "Keys, as sort(1) reads them; the lines come out in the order of\n"
         "LC_ALL=C sort -s with the same options:\n"
         "  -k, --field=POS1[,POS2]  a key from field POS1 to POS2 (the end of the\n"
         "                           line without POS2): FIELD[.CHAR][LETTERS], fields\n"
         "                           and characters from 1, letters b f g n r as the\n"
         "                           options; may be repeated, later keys break ties\n"
         "  -t, --field-separator=SEP  fields are separated by the byte SEP (empty\n"
         "                           fields count), not by the blanks before them\n"
         "  -b                     blanks before a key do not count\n"
         "  -n                     numbers as sort -n reads them (no number is 0)\n"
         "  -g                     general numbers (exponents, hexadecimal, inf, nan)\n"
         "  -f, --ignore-case      letters folded to upper case\n"
         "  -r, --reverse          descending order; equal keys keep their input order\n"
         "      --key=KIND         phrase (the default, the keys above), or zelto's own\n"
         "                           number keys: int (up to 20 leading 32-bit\n"
         "                           integers) or double (up to 10 leading numbers),\n"
         "                           from the fields that -k N names\n"
         "      --lenient          with int or double keys, a missing or non-numeric\n"
         "                           number sorts the line first instead of failing\n"
         "\n"
         "Order and output:\n"
         "      --sort             sort at once: with sort's options only, run\n"
         "                           zelto-sort with them; otherwise pack into a private\n"
         "                           temporary directory, run zelto there and write its\n"
         "                           lines (to -o's FILE if given)\n"
         "  -C, --directory=DIR    write the two files into DIR\n"
         "  -u, --unique           keep the first line of each distinct key\n"
         "      --numbered         put each line's number and a colon before its text\n"
         "  -o, --output=FILE      zelto writes the lines to FILE, not standard output\n"
         "      --lf, --crlf       line ends in FILE; default: CR LF when the input's\n"
         "                           first line ends in CR LF, otherwise LF\n"
         "      --report-ties      zelto lists line numbers that met in full ties\n"
         "      --keep             zelto keeps binary.tmp after arranging\n"
         "\n"
         "Record size:\n"
         "      --record-size=N    records of N bytes (92 or more) instead of the\n"
         "                           smallest that holds the longest line\n"
         "      --max-line=N       cut the text of longer lines to N bytes\n"
         "\n"
         "      --help             display this help and exit\n"
         "      --version          output version information and exit\n"
         "\n"
         "Examples: zelto-pack --sort -n data.txt > sorted.txt\n"
         "          zelto-pack -t: -k3,3n /etc/passwd && zelto\n"
         "\n"
         "Exit status: 0 success; 1 unreadable input, a line that cannot be packed or a\n"
         "failed write; 2 a wrong command line.\n";
}

std::string compose_pack_version() {
  char banner[64];
  std::snprintf(banner, sizeof banner, "%s %1.3f\n", PACK_PROGRAM, VERSION);
  return banner;
}

}  // namespace zelto
