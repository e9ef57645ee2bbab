#include "pack_options.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>
#include <string_view>

#include "version.h"

namespace zelto {

namespace {

constexpr const char* COMMAND_NAME = "zelto-pack";
constexpr std::int64_t LARGEST_RECORD = std::numeric_limits<std::int32_t>::max();

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
  VERSION_OPTION
};

// The leading ':' makes getopt_long tell a missing value (':') from an
// unknown option ('?') and keeps it quiet: the messages are ours.
constexpr const char* SHORT_OPTIONS = ":t:k:ngfruo:";

constexpr option LONG_OPTIONS[] = {
    {"key", required_argument, nullptr, KEY_OPTION},
    {"field", required_argument, nullptr, 'k'},
    {"field-separator", required_argument, nullptr, 't'},
    {"ignore-case", no_argument, nullptr, 'f'},
    {"reverse", no_argument, nullptr, 'r'},
    {"unique", no_argument, nullptr, 'u'},
    {"output", required_argument, nullptr, 'o'},
    {"lf", no_argument, nullptr, LF_OPTION},
    {"crlf", no_argument, nullptr, CRLF_OPTION},
    {"numbered", no_argument, nullptr, NUMBERED_OPTION},
    {"record-size", required_argument, nullptr, RECORD_SIZE_OPTION},
    {"report-ties", no_argument, nullptr, REPORT_TIES_OPTION},
    {"keep", no_argument, nullptr, KEEP_OPTION},
    {"lenient", no_argument, nullptr, LENIENT_OPTION},
    {"max-line", required_argument, nullptr, MAX_LINE_OPTION},
    {"help", no_argument, nullptr, HELP_OPTION},
    {"version", no_argument, nullptr, VERSION_OPTION},
    {nullptr, 0, nullptr, 0},
};

// The long option whose code is `code`, or nullptr.
const option* long_option_of(int code) {
  for (const option* o = LONG_OPTIONS; o->name != nullptr; ++o) {
    if (o->val == code) return o;
  }
  return nullptr;
}

// "'--name' is unrecognized" or, when `name` begins several long options,
// that it is ambiguous and which it could be.
std::string unknown_long_option_message(std::string_view argument) {
  const std::string_view name = argument.substr(2, argument.find('=') - 2);
  std::string candidates;
  for (const option* o = LONG_OPTIONS; o->name != nullptr; ++o) {
    if (std::string_view(o->name).starts_with(name)) {
      candidates += (candidates.empty() ? "--" : ", --") + std::string(o->name);
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

// A comma-separated list of field numbers, each from 1. Returns PACK_OK with
// `fields` set, or PACK_USAGE_ERROR.
int parse_field_list(std::string_view text, std::vector<std::int32_t>& fields) {
  fields.clear();
  while (true) {
    const std::size_t comma = text.find(',');
    std::int64_t number = 0;
    if (parse_count(text.substr(0, comma), std::numeric_limits<std::int32_t>::max(), number) !=
            PACK_OK ||
        number == 0) {
      return PACK_USAGE_ERROR;
    }
    fields.push_back(static_cast<std::int32_t>(number));
    if (comma == std::string_view::npos) return PACK_OK;
    text.remove_prefix(comma + 1);
  }
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

int apply_field_list(std::string_view value, PackOptions& options, std::string& message) {
  if (parse_field_list(value, options.fields) == PACK_OK) return PACK_OK;
  message =
      "invalid field list '" + std::string(value) + "' (field numbers from 1, separated by commas";
  // A sort key definition such as "3,3n": its kind is an option here.
  if (!value.empty() && value.find_first_not_of("0123456789,") != std::string_view::npos &&
      std::isdigit(static_cast<unsigned char>(value.front()))) {
    message += "; the key kind is -n, -g or --key";
  }
  message += ")";
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

// Applies the option with code `code` and its value (nullptr when it takes
// none). Returns PACK_OK, or PACK_USAGE_ERROR with `message`.
int apply_option(int code, const char* value, PackOptions& options, PackRequest& request,
                 std::string& message) {
  switch (code) {
    case KEY_OPTION: return apply_key_kind(value, options, message);
    case 'k': return apply_field_list(value, options, message);
    case 't': return apply_separator(value, options, message);
    case RECORD_SIZE_OPTION: return apply_record_size(value, options, message);
    case MAX_LINE_OPTION: return apply_max_line(value, options, message);
    case 'o':
      if (check_output_path(value, message) != PACK_OK) return PACK_USAGE_ERROR;
      options.output_path = value;
      return PACK_OK;
    case 'n': options.key = KeyType::Integers; return PACK_OK;
    case 'g': options.key = KeyType::Doubles; return PACK_OK;
    case 'f': options.ignore_case = true; return PACK_OK;
    case 'r': options.reverse = true; return PACK_OK;
    case 'u': options.unique = true; return PACK_OK;
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

// What getopt_long's '?' or ':' (in `result`) means. `argument` is the
// argument it was reading when it stopped.
std::string getopt_error_message(int result, int code, std::string_view argument) {
  const option* long_form = long_option_of(code);
  const bool was_long = argument.starts_with("--");
  if (result == ':') {
    if (was_long && long_form != nullptr) {
      return "option '--" + std::string(long_form->name) + "' requires an argument";
    }
    return "option requires an argument -- '" + std::string(1, static_cast<char>(code)) + "'";
  }
  // A known code with '?' is a long option given a value it does not take:
  // every short option of the table is valid.
  if (code != 0 && long_form != nullptr && was_long) {
    return "option '--" + std::string(long_form->name) + "' doesn't allow an argument";
  }
  if (code != 0) return "invalid option -- '" + std::string(1, static_cast<char>(code)) + "'";
  return unknown_long_option_message(argument);
}

// Checks that the options agree with each other once all are read.
int check_option_combination(const PackOptions& options, std::string& message) {
  if (options.ignore_case && options.key != KeyType::Phrase) {
    message = "--ignore-case applies to phrase keys only";
    return PACK_USAGE_ERROR;
  }
  const std::size_t limit =
      static_cast<std::size_t>(options.key == KeyType::Doubles ? KEY_DOUBLES : KEY_WORDS);
  if (options.fields.size() > limit) {
    message = "--field names " + std::to_string(options.fields.size()) + " fields; " +
              (options.key == KeyType::Doubles ? "a double key holds at most 10"
                                               : "a key holds at most 20");
    return PACK_USAGE_ERROR;
  }
  return PACK_OK;
}

}  // namespace

int parse_pack_arguments(std::span<const char* const> arguments, PackOptions& options,
                         PackRequest& request, std::string& message) {
  request = PackRequest::Pack;
  // getopt_long reorders the argument pointers (options before operands),
  // so it gets a copy of the array; the strings are left alone.
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(COMMAND_NAME));
  for (const char* a : arguments) argv.push_back(const_cast<char*>(a));
  argv.push_back(nullptr);
  const int argc = static_cast<int>(argv.size() - 1);

  optind = 0;  // 0, not 1: glibc starts a fresh scan
  opterr = 0;
  int result = 0;
  while ((result = getopt_long(argc, argv.data(), SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
    if (result == '?' || result == ':') {
      const int stopped_at = std::min(std::max(optind - 1, 1), argc - 1);
      message = getopt_error_message(result, optopt, argv[static_cast<std::size_t>(stopped_at)]);
      return PACK_USAGE_ERROR;
    }
    if (apply_option(result, optarg, options, request, message) != PACK_OK) {
      return PACK_USAGE_ERROR;
    }
    if (request != PackRequest::Pack) return PACK_OK;
  }
  if (optind < argc) options.input_path = argv[static_cast<std::size_t>(optind)];
  if (optind + 1 < argc) {
    message = "extra operand '" + std::string(argv[static_cast<std::size_t>(optind + 1)]) +
              "' (one input file at most)";
    return PACK_USAGE_ERROR;
  }
  return check_option_combination(options, message);
}

std::string input_name(const PackOptions& options) {
  return options.input_path == "-" ? "(standard input)" : options.input_path;
}

std::string compose_pack_help() {
  return "Usage: zelto-pack [OPTION]... [FILE]\n"
         "Turn the lines of FILE (standard input when FILE is - or missing) into the\n"
         "record file binary.tmp and the parameter file manager.txt in the current\n"
         "directory, ready for zelto to arrange. Each line becomes one record numbered\n"
         "by its line number; equal keys keep their lines in input order.\n"
         "\n"
         "Keys:\n"
         "      --key=KIND         phrase (the line, default), int (up to 20 leading\n"
         "                           integers) or double (up to 10 leading numbers)\n"
         "  -n                     same as --key=int\n"
         "  -g                     same as --key=double\n"
         "  -k, --field=LIST       take the key from these fields, e.g. 2 or 3,1,\n"
         "                           instead of from the start of the line\n"
         "  -t, --field-separator=SEP  fields are separated by the byte SEP (empty\n"
         "                           fields count), not by runs of blanks\n"
         "  -f, --ignore-case      phrase keys compare without regard to letter case\n"
         "      --lenient          a missing or non-numeric number key sorts the line\n"
         "                           first instead of failing\n"
         "\n"
         "Order and output:\n"
         "  -r, --reverse          arrange in descending order\n"
         "  -u, --unique           keep one line for each distinct key (with -f, one\n"
         "                           for each phrase regardless of case)\n"
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
         "Examples: zelto-pack -n data.txt && zelto\n"
         "          zelto-pack -t: -k3 -n /etc/passwd && zelto\n"
         "\n"
         "Exit status: 0 success; 1 unreadable input, a line that cannot be packed or a\n"
         "failed write; 2 a wrong command line.\n";
}

std::string compose_pack_version() {
  char banner[64];
  std::snprintf(banner, sizeof banner, "%s %1.3f\n", COMMAND_NAME, VERSION);
  return banner;
}

}  // namespace zelto
