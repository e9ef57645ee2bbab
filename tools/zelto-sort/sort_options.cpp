#include "sort_options.h"

#include <array>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <span>

#include "sort_messages.h"
#include "sort_system.h"
#include "version.h"

namespace zelto::sorter {

namespace {

// The letters that order keys, alone or bundled: -b -d -f -g -h -i -M -n
// -R -r -V.
constexpr std::string_view ORDERING_LETTERS = "bdfghiMnRrV";

enum class Argument { None, Required, Optional };

struct LongOption {
  std::string_view name;
  Argument argument;
  // The short option it stands for, or a code of its own above 255.
  int code;
};

enum : int {
  CHECK_OPTION = 256,
  COMPRESS_OPTION,
  DEBUG_OPTION,
  FILES0_OPTION,
  RANDOM_SOURCE_OPTION,
  SORT_OPTION,
  BATCH_OPTION,
  PARALLEL_OPTION,
  HELP_OPTION,
  VERSION_OPTION,
};

// In the order that ambiguity messages list them.
constexpr std::array<LongOption, 30> LONG_OPTIONS{{
    {"ignore-leading-blanks", Argument::None, 'b'},
    {"check", Argument::Optional, CHECK_OPTION},
    {"compress-program", Argument::Required, COMPRESS_OPTION},
    {"debug", Argument::None, DEBUG_OPTION},
    {"dictionary-order", Argument::None, 'd'},
    {"ignore-case", Argument::None, 'f'},
    {"files0-from", Argument::Required, FILES0_OPTION},
    {"general-numeric-sort", Argument::None, 'g'},
    {"ignore-nonprinting", Argument::None, 'i'},
    {"key", Argument::Required, 'k'},
    {"merge", Argument::None, 'm'},
    {"month-sort", Argument::None, 'M'},
    {"numeric-sort", Argument::None, 'n'},
    {"human-numeric-sort", Argument::None, 'h'},
    {"version-sort", Argument::None, 'V'},
    {"random-sort", Argument::None, 'R'},
    {"random-source", Argument::Required, RANDOM_SOURCE_OPTION},
    {"sort", Argument::Required, SORT_OPTION},
    {"output", Argument::Required, 'o'},
    {"reverse", Argument::None, 'r'},
    {"stable", Argument::None, 's'},
    {"batch-size", Argument::Required, BATCH_OPTION},
    {"buffer-size", Argument::Required, 'S'},
    {"field-separator", Argument::Required, 't'},
    {"temporary-directory", Argument::Required, 'T'},
    {"unique", Argument::None, 'u'},
    {"zero-terminated", Argument::None, 'z'},
    {"parallel", Argument::Required, PARALLEL_OPTION},
    {"help", Argument::None, HELP_OPTION},
    {"version", Argument::None, VERSION_OPTION},
}};

// The short options that take an argument; every other known one takes none.
constexpr std::string_view SHORT_WITH_ARGUMENT = "koStTy";
constexpr std::string_view SHORT_WITHOUT_ARGUMENT = "bcCdfghimMnrRsuVz";

// A choice among fixed words (--check=, --sort=), taken by exact word or
// unique abbreviation; words with the same meaning may share one.
struct Choice {
  std::string_view word;
  char meaning;
};

constexpr std::array<Choice, 3> CHECK_CHOICES{
    {{"quiet", 'C'}, {"silent", 'C'}, {"diagnose-first", 'c'}}};
constexpr std::array<Choice, 6> SORT_CHOICES{{{"general-numeric", 'g'},
                                              {"human-numeric", 'h'},
                                              {"month", 'M'},
                                              {"numeric", 'n'},
                                              {"random", 'R'},
                                              {"version", 'V'}}};

// The state of one parse: the outcome being built and the command filled.
class Parser {
 public:
  Parser(const std::vector<std::string>& arguments, SortCommand& command, CommandLineRules rules)
      : arguments_(arguments), command_(command), rules_(rules) {}

  ParseOutcome parse();

 private:
  bool fail(std::string_view text, int status = STATUS_TROUBLE) {
    outcome_.run = false;
    outcome_.status = status;
    outcome_.err += std::string(program_name()) + ": " + std::string(text) + "\n";
    return false;
  }
  bool fail_with_hint(std::string_view text) {
    fail(text);
    outcome_.err += help_hint();
    return false;
  }
  bool finish_with(std::string out) {
    outcome_.run = false;
    outcome_.status = STATUS_OK;
    outcome_.out = std::move(out);
    return false;
  }

  bool take_long(std::string_view argument, std::size_t& next);
  bool take_short_cluster(std::string_view argument, std::size_t& next);
  bool take_obsolete_key(std::string_view argument, std::size_t& next);
  bool apply(int code, std::string_view value, std::string_view spelled);
  bool choose(std::span<const Choice> choices, std::string_view value, std::string_view option,
              char& meaning);
  bool set_check(char letter);
  bool set_separator(std::string_view value);
  bool set_batch_size(std::string_view value);
  bool set_parallel(std::string_view value);

  bool ends_options_after_operands(std::string_view argument, std::size_t next) const;
  bool takes_obsolete_keys(std::size_t next);

  const std::vector<std::string>& arguments_;
  SortCommand& command_;
  CommandLineRules rules_;
  ParseOutcome outcome_;
};

ParseOutcome Parser::parse() {
  bool options_ended = false;
  for (std::size_t next = 0; next < arguments_.size();) {
    const std::string_view argument = arguments_[next++];
    bool going = true;
    if (options_ended || argument.size() < 2 || (argument[0] != '-' && argument[0] != '+') ||
        ends_options_after_operands(argument, next)) {
      command_.files.emplace_back(argument);
    } else if (argument == "--") {
      options_ended = true;
    } else if (argument[0] == '+') {
      if (!takes_obsolete_keys(next) || !take_obsolete_key(argument, next)) {
        if (!outcome_.run) return outcome_;
        command_.files.emplace_back(argument);
      }
    } else if (argument[1] == '-') {
      going = take_long(argument, next);
    } else {
      going = take_short_cluster(argument, next);
    }
    if (!going) return outcome_;
  }
  return outcome_;
}

bool Parser::take_long(std::string_view argument, std::size_t& next) {
  const std::size_t equals = argument.find('=');
  const std::string_view name =
      argument.substr(2, equals == std::string_view::npos ? equals : equals - 2);
  const LongOption* found = nullptr;
  std::vector<const LongOption*> candidates;
  for (const LongOption& option : LONG_OPTIONS) {
    if (option.name == name) {
      found = &option;
      break;
    }
    if (option.name.starts_with(name)) candidates.push_back(&option);
  }
  if (found == nullptr && candidates.size() == 1) found = candidates[0];
  if (found == nullptr && candidates.empty()) {
    return fail_with_hint("unrecognized option '" + std::string(argument) + "'");
  }
  if (found == nullptr) {
    std::string text = "option '" + std::string(argument) + "' is ambiguous; possibilities:";
    for (const LongOption* option : candidates) text += " '--" + std::string(option->name) + "'";
    return fail_with_hint(text);
  }
  const std::string spelled = "--" + std::string(found->name);
  std::string_view value;
  if (equals != std::string_view::npos) {
    if (found->argument == Argument::None) {
      return fail_with_hint("option '" + spelled + "' doesn't allow an argument");
    }
    value = argument.substr(equals + 1);
  } else if (found->argument == Argument::Required) {
    if (next >= arguments_.size()) {
      return fail_with_hint("option '" + spelled + "' requires an argument");
    }
    value = arguments_[next++];
  }
  if (found->code == CHECK_OPTION) {
    char meaning = 'c';
    if (equals != std::string_view::npos && !choose(CHECK_CHOICES, value, spelled, meaning)) {
      return false;
    }
    return set_check(meaning);
  }
  return apply(found->code, value, spelled);
}

bool Parser::take_short_cluster(std::string_view argument, std::size_t& next) {
  for (std::size_t i = 1; i < argument.size(); ++i) {
    const char letter = argument[i];
    const std::string spelled = std::string("-") + letter;
    if (SHORT_WITH_ARGUMENT.find(letter) != std::string_view::npos) {
      std::string_view value = argument.substr(i + 1);
      if (value.empty()) {
        if (next >= arguments_.size()) {
          return fail_with_hint("option requires an argument -- '" + std::string(1, letter) + "'");
        }
        value = arguments_[next++];
        // The old -y takes a separate argument only when it is a number:
        // anything else stays an operand.
        if (letter == 'y' && value.find_first_not_of("0123456789") != std::string_view::npos) {
          --next;
        }
      }
      return apply(static_cast<unsigned char>(letter), value, spelled);
    }
    if (SHORT_WITHOUT_ARGUMENT.find(letter) == std::string_view::npos) {
      return fail_with_hint("invalid option -- '" + std::string(1, letter) + "'");
    }
    if (letter == 'c' || letter == 'C') {
      if (!set_check(letter)) return false;
    } else if (!apply(static_cast<unsigned char>(letter), {}, spelled)) {
      return false;
    }
  }
  return true;
}

// With POSIXLY_CORRECT, an argument after an operand is one too, but for
// an -o (with its value) under the traditional rules, unless -c or -C came.
bool Parser::ends_options_after_operands(std::string_view argument, std::size_t next) const {
  if (!rules_.posixly_correct || command_.files.empty()) return false;
  const bool output = rules_.traditional && command_.check == CheckMode::None &&
                      argument.starts_with("-o") &&
                      (argument.size() > 2 || next < arguments_.size());
  return !output;
}

// Whether a "+POS" before argument `next` is a key: always under the
// traditional rules, which a "-POS" after it brings back for good unless
// POSIXLY_CORRECT is set.
bool Parser::takes_obsolete_keys(std::size_t next) {
  const bool end_follows = next < arguments_.size() && arguments_[next].size() > 1 &&
                           arguments_[next][0] == '-' && arguments_[next][1] >= '0' &&
                           arguments_[next][1] <= '9';
  rules_.traditional = rules_.traditional || (end_follows && !rules_.posixly_correct);
  return rules_.traditional;
}

bool Parser::take_obsolete_key(std::string_view argument, std::size_t& next) {
  if (!text::is_obsolete_key_start(argument)) return false;
  std::string_view end;
  if (next < arguments_.size()) {
    const std::string_view following = arguments_[next];
    if (text::is_obsolete_key_end(following)) {
      end = following;
      ++next;
    }
  }
  if (const auto error = text::parse_obsolete_key(argument, end, command_.settings)) {
    return fail(*error);
  }
  return true;
}

bool Parser::choose(std::span<const Choice> choices, std::string_view value,
                    std::string_view option, char& meaning) {
  const Choice* found = nullptr;
  bool ambiguous = false;
  for (const Choice& choice : choices) {
    if (choice.word == value) {
      found = &choice;
      ambiguous = false;
      break;
    }
    if (!choice.word.starts_with(value)) continue;
    if (found != nullptr && found->meaning != choice.meaning) ambiguous = true;
    if (found == nullptr) found = &choice;
  }
  if (found != nullptr && !ambiguous) {
    meaning = found->meaning;
    return true;
  }
  std::string text = std::string(ambiguous ? "ambiguous" : "invalid") + " argument " +
                     quote(value) + " for " + quote(option) + "\nValid arguments are:";
  for (std::size_t i = 0; i < choices.size(); ++i) {
    const bool same = i > 0 && choices[i].meaning == choices[i - 1].meaning;
    text += same ? ", " : "\n  - ";
    text += quote(choices[i].word);
  }
  fail(text, 1);
  outcome_.err += help_hint();
  return false;
}

bool Parser::set_check(char letter) {
  if (command_.check_letter != 0 && command_.check_letter != letter) {
    return fail("options '-cC' are incompatible");
  }
  command_.check_letter = letter;
  command_.check = letter == 'c' ? CheckMode::Diagnose : CheckMode::Quiet;
  return true;
}

bool Parser::set_separator(std::string_view value) {
  int separator = 0;
  if (value.empty()) return fail("empty tab");
  if (value.size() == 1) {
    separator = static_cast<unsigned char>(value[0]);
  } else if (value == "\\0") {
    separator = 0;
  } else {
    return fail("multi-character tab " + quote(value));
  }
  if (command_.settings.separator >= 0 && command_.settings.separator != separator) {
    return fail("incompatible tabs");
  }
  command_.settings.separator = separator;
  return true;
}

// A count as strtoul reads one: white space and a plus sign may lead, a
// minus sign may not, then decimal digits and whatever follows them.
struct CountArgument {
  bool digits = false;  // false: not a count at all
  bool overflow = false;
  std::uint64_t value = 0;
  std::string_view suffix;  // what follows the digits
};

CountArgument read_count_argument(std::string_view text) {
  CountArgument count;
  std::size_t at = 0;
  while (at < text.size() && (text[at] == ' ' || (text[at] >= '\t' && text[at] <= '\r'))) ++at;
  if (at < text.size() && text[at] == '+') ++at;
  const std::size_t start = at;
  while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
  count.digits = at > start;
  count.suffix = text.substr(at);
  if (!count.digits) return count;
  const auto [end, error] = std::from_chars(text.data() + start, text.data() + at, count.value);
  count.overflow = error == std::errc::result_out_of_range;
  return count;
}

// A count that cannot be read shows between apostrophes as it was given,
// unescaped, as sort shows it.
std::string as_given(std::string_view value) {
  std::string shown(1, '\'');
  shown.append(value).push_back('\'');
  return shown;
}

bool Parser::set_batch_size(std::string_view value) {
  const CountArgument size = read_count_argument(value);
  const std::uint64_t largest = largest_batch_size();
  if (!size.digits) return fail("invalid --batch-size argument " + as_given(value));
  if (!size.suffix.empty())
    return fail("invalid suffix in --batch-size argument " + as_given(value));
  if (!size.overflow && size.value < 2) {
    fail("invalid --batch-size argument " + quote(value));
    return fail("minimum --batch-size argument is '2'");
  }
  if (size.overflow || size.value > largest) {
    fail("--batch-size argument " + quote(value) + " too large");
    return fail("maximum --batch-size argument with current rlimit is " + std::to_string(largest));
  }
  command_.batch_size = size.value;
  return true;
}

bool Parser::set_parallel(std::string_view value) {
  const CountArgument count = read_count_argument(value);
  if (!count.digits) return fail("invalid --parallel argument " + as_given(value));
  if (!count.suffix.empty())
    return fail("invalid suffix in --parallel argument " + as_given(value));
  if (!count.overflow && count.value == 0) return fail("number in parallel must be nonzero");
  // More threads than the engine ever starts change nothing.
  command_.parallel =
      count.overflow || count.value > 1024 ? 1024U : static_cast<unsigned>(count.value);
  return true;
}

bool Parser::apply(int code, std::string_view value, std::string_view spelled) {
  text::SortSettings& settings = command_.settings;
  if (code < 256 && ORDERING_LETTERS.find(static_cast<char>(code)) != std::string_view::npos) {
    (void)text::apply_ordering_letter(static_cast<char>(code), settings.global);
    return true;
  }
  switch (code) {
    case 'k':
      if (const auto error = text::parse_key(value, settings)) return fail(*error);
      return true;
    case 'm': command_.merge = true; return true;
    case 'o':
      if (command_.output.has_value() && *command_.output != value) {
        return fail("multiple output files specified");
      }
      command_.output = std::string(value);
      return true;
    case 's': settings.stable = true; return true;
    case 'S': {
      BufferSize size;
      const std::string_view option = spelled.starts_with("--") ? "--buffer-size" : "-S";
      if (const auto error = parse_buffer_size(value, size, option)) return fail(*error);
      command_.buffer_size = size;
      return true;
    }
    case 't': return set_separator(value);
    case 'T': command_.temporary_directories.emplace_back(value); return true;
    case 'u': settings.unique = true; return true;
    case 'y': return true;  // an old option that set the size of the sort
    case 'z': settings.zero_terminated = true; return true;
    case COMPRESS_OPTION:
      if (command_.compress_program.has_value() && *command_.compress_program != value) {
        return fail("multiple compress programs specified");
      }
      command_.compress_program = std::string(value);
      return true;
    case DEBUG_OPTION: command_.debug = true; return true;
    case FILES0_OPTION: command_.files0_from = std::string(value); return true;
    case RANDOM_SOURCE_OPTION:
      if (command_.random_source.has_value() && *command_.random_source != value) {
        return fail("multiple random sources specified");
      }
      command_.random_source = std::string(value);
      return true;
    case SORT_OPTION: {
      char letter = 0;
      if (!choose(SORT_CHOICES, value, spelled, letter)) return false;
      (void)text::apply_ordering_letter(letter, settings.global);
      return true;
    }
    case BATCH_OPTION: return set_batch_size(value);
    case PARALLEL_OPTION: return set_parallel(value);
    case HELP_OPTION: return finish_with(usage_text());
    case VERSION_OPTION: return finish_with(version_text());
    default: return fail_with_hint("invalid option -- '" + std::string(spelled.substr(1)) + "'");
  }
}

}  // namespace

std::optional<std::string> parse_buffer_size(std::string_view text, BufferSize& size,
                                             std::string_view option) {
  // The value shows as it was given, unescaped, as sort shows it.
  const std::string shown = std::string(option) + " argument " + as_given(text);
  CountArgument count = read_count_argument(text);
  // Powers of 1024 from K; k, m, g and t in either case.
  constexpr std::string_view powers = "KMGTPEZY";
  const auto power_of = [&](char letter) {
    const bool lower = letter == 'k' || letter == 'm' || letter == 'g' || letter == 't';
    return powers.find(lower ? static_cast<char>(letter - 'a' + 'A') : letter);
  };
  // A power's letter alone, at the very start, stands for one of it ("M"
  // is 1 MiB), as with sort.
  if (!count.digits && !text.empty() && power_of(text[0]) != std::string_view::npos) {
    count.digits = true;
    count.value = 1;
    count.suffix = text;
  }
  if (!count.digits) return "invalid " + shown;
  const std::string too_large = shown + " too large";
  const std::string invalid_suffix = "invalid suffix in " + shown;
  const std::string_view suffix = count.suffix;
  int shift = 10;  // KiB unless a suffix says otherwise
  size.percent = false;
  if (suffix.size() > 1) return invalid_suffix;
  if (suffix.size() == 1) {
    const char letter = suffix[0];
    const std::size_t power = power_of(letter);
    if (power != std::string_view::npos) {
      shift = static_cast<int>(10 * (power + 1));
    } else if ((letter == 'b' || letter == '%') && !count.overflow) {
      // Bytes, or a share of the memory: a number too large for either
      // is an invalid suffix, as sort has it.
      size.percent = letter == '%';
      shift = 0;
    } else {
      return invalid_suffix;
    }
  }
  if (count.overflow) return too_large;
  if (count.value == 0) {
    size.bytes = 0;
  } else if (shift >= 64 || count.value > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
    return too_large;
  } else {
    size.bytes = count.value << shift;
  }
  return std::nullopt;
}

CommandLineRules command_line_rules_from_environment() {
  CommandLineRules rules;
  rules.posixly_correct = std::getenv("POSIXLY_CORRECT") != nullptr;
  // A version is a whole number; a negative one, or one too large, keeps
  // the traditional rules as no version does.
  if (const char* version = std::getenv("_POSIX2_VERSION"); version != nullptr) {
    const CountArgument count = read_count_argument(version);
    if (count.digits && count.suffix.empty() && !count.overflow) {
      rules.traditional = count.value < 200112 || count.value >= 200809;
    }
  }
  return rules;
}

ParseOutcome parse_command_line(const std::vector<std::string>& arguments, SortCommand& command,
                                CommandLineRules rules) {
  return Parser(arguments, command, rules).parse();
}

std::string version_text() {
  char version[32];
  std::snprintf(version, sizeof version, "%.3f", VERSION);
  return std::string(PROGRAM) + " (zelto) " + version + "\n";
}

std::string usage_text() {
  const std::string name(program_name());
  return "Usage: " + name + " [OPTION]... [FILE]...\n  or:  " + name +
         " [OPTION]... --files0-from=F\n"
         "Write the sorted concatenation of all FILE(s) to standard output,\n"
         "ordering bytes as the C locale does.\n"
         "\n"
         "With no FILE, or when FILE is -, read standard input.\n"
         "\n"
         "Mandatory arguments to long options are mandatory for short options too.\n"
         "Ordering options:\n"
         "\n"
         "  -b, --ignore-leading-blanks  ignore leading blanks\n"
         "  -d, --dictionary-order      consider only blanks and alphanumeric characters\n"
         "  -f, --ignore-case           fold lower case to upper case characters\n"
         "  -g, --general-numeric-sort  compare according to general numerical value\n"
         "  -i, --ignore-nonprinting    consider only printable characters\n"
         "  -M, --month-sort            compare (unknown) < 'JAN' < ... < 'DEC'\n"
         "  -h, --human-numeric-sort    compare human readable numbers (e.g., 2K 1G)\n"
         "  -n, --numeric-sort          compare according to string numerical value\n"
         "  -R, --random-sort           shuffle, but group identical keys\n"
         "      --random-source=FILE    get random bytes from FILE\n"
         "  -r, --reverse               reverse the result of comparisons\n"
         "      --sort=WORD             sort according to WORD:\n"
         "                                general-numeric -g, human-numeric -h, month -M,\n"
         "                                numeric -n, random -R, version -V\n"
         "  -V, --version-sort          natural sort of (version) numbers within text\n"
         "\n"
         "Other options:\n"
         "\n"
         "      --batch-size=NMERGE   merge at most NMERGE inputs at once\n"
         "  -c, --check, --check=diagnose-first  check for sorted input; do not sort\n"
         "  -C, --check=quiet, --check=silent  like -c, but do not report first bad line\n"
         "      --compress-program=PROG  compress temporaries with PROG;\n"
         "                              decompress them with PROG -d\n"
         "      --debug               annotate the part of the line used to sort,\n"
         "                              and warn about questionable usage to stderr\n"
         "      --files0-from=F       read input from the files specified by\n"
         "                            NUL-terminated names in file F;\n"
         "                            If F is - then read names from standard input\n"
         "  -k, --key=KEYDEF          sort via a key; KEYDEF gives location and type\n"
         "  -m, --merge               merge already sorted files; do not sort\n"
         "  -o, --output=FILE         write result to FILE instead of standard output\n"
         "  -s, --stable              stabilize sort by disabling last-resort comparison\n"
         "  -S, --buffer-size=SIZE    use SIZE for main memory buffer\n"
         "  -t, --field-separator=SEP  use SEP instead of non-blank to blank transition\n"
         "  -T, --temporary-directory=DIR  use DIR for temporaries, not $TMPDIR or /tmp;\n"
         "                              multiple options specify multiple directories\n"
         "      --parallel=N          change the number of sorts run concurrently to N\n"
         "  -u, --unique              with -c, check for strict ordering;\n"
         "                              without -c, output only the first of an equal run\n"
         "  -z, --zero-terminated     line delimiter is NUL, not newline\n"
         "      --help        display this help and exit\n"
         "      --version     output version information and exit\n"
         "\n"
         "KEYDEF is F[.C][OPTS][,F[.C][OPTS]] for start and stop position, where F is a\n"
         "field number and C a character position in the field; both are origin 1, and\n"
         "the stop position defaults to the line's end.  If neither -t nor -b is in\n"
         "effect, characters in a field are counted from the beginning of the preceding\n"
         "whitespace.  OPTS is one or more single-letter ordering options [bdfgiMhnRrV],\n"
         "which override global ordering options for that key.  If no key is given, use\n"
         "the entire line as the key.  Use --debug to diagnose incorrect key usage.\n"
         "\n"
         "SIZE may be followed by the following multiplicative suffixes:\n"
         "% 1% of memory, b 1, K 1024 (default), and so on for M, G, T, P, E, Z, Y.\n"
         "\n"
         "The environment variables ZELTO_THREADS and ZELTO_MEMORY set the default\n"
         "number of threads and memory budget.\n"
         "\n"
         "Exit status is 0 if successful, 1 if -c or -C found disorder, 2 on trouble.\n";
}

}  // namespace zelto::sorter
