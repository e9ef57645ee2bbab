#include "zeltoPack.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>

#include "arrange.h"
#include "guide.h"
#include "zeltoMain.h"

namespace zelto {

namespace {

constexpr const char* COMMAND_NAME = "zelto-pack";
// Records are written in blocks of about this size.
constexpr std::size_t WRITE_BLOCK = 1 << 20;
// A quoted text in a message shows at most this many bytes of it.
constexpr std::size_t QUOTE_LIMIT = 60;
constexpr std::int64_t LARGEST_RECORD = std::numeric_limits<std::int32_t>::max();

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// ---------------------------------------------------------------- options

enum class OptionId {
  Key,
  Field,
  IgnoreCase,
  Reverse,
  Unique,
  Lf,
  Output,
  Numbered,
  RecordSize,
  ReportTies,
  Keep,
  Help,
  Version
};

struct OptionEntry {
  std::string_view name;
  OptionId id;
  bool takes_value;
};

constexpr std::array<OptionEntry, 13> OPTION_TABLE = {{
    {"key", OptionId::Key, true},
    {"field", OptionId::Field, true},
    {"ignore-case", OptionId::IgnoreCase, false},
    {"reverse", OptionId::Reverse, false},
    {"unique", OptionId::Unique, false},
    {"lf", OptionId::Lf, false},
    {"output", OptionId::Output, true},
    {"numbered", OptionId::Numbered, false},
    {"record-size", OptionId::RecordSize, true},
    {"report-ties", OptionId::ReportTies, false},
    {"keep", OptionId::Keep, false},
    {"help", OptionId::Help, false},
    {"version", OptionId::Version, false},
}};

// The option named `name` exactly, or the only one that `name` abbreviates.
// Returns PACK_OK with `found` set, or PACK_USAGE_ERROR with `message`.
int find_option(std::string_view name, const OptionEntry*& found, std::string& message) {
  found = nullptr;
  int matches = 0;
  for (const OptionEntry& entry : OPTION_TABLE) {
    if (entry.name == name) {
      found = &entry;
      return PACK_OK;
    }
    if (!name.empty() && entry.name.starts_with(name)) {
      found = &entry;
      ++matches;
    }
  }
  if (matches == 1) return PACK_OK;
  message = std::string(matches == 0 ? "unrecognized option '--" : "option '--") +
            std::string(name) + (matches == 0 ? "'" : "' is ambiguous");
  return PACK_USAGE_ERROR;
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

// Applies one option with its value (empty when it takes none). Returns
// PACK_OK, or PACK_USAGE_ERROR with `message`.
int apply_option(OptionId id, std::string_view value, PackOptions& options, PackRequest& request,
                 std::string& message) {
  switch (id) {
    case OptionId::Key:
      if (value == "phrase") {
        options.key = PackKey::Phrase;
      } else if (value == "int") {
        options.key = PackKey::Integers;
      } else if (value == "double") {
        options.key = PackKey::Doubles;
      } else {
        message = "invalid key kind '" + std::string(value) + "' (phrase, int or double)";
        return PACK_USAGE_ERROR;
      }
      return PACK_OK;
    case OptionId::Field:
      if (parse_field_list(value, options.fields) != PACK_OK) {
        message = "invalid field list '" + std::string(value) +
                  "' (field numbers from 1, separated by commas)";
        return PACK_USAGE_ERROR;
      }
      return PACK_OK;
    case OptionId::RecordSize: {
      std::int64_t size = 0;
      if (parse_count(value, LARGEST_RECORD, size) != PACK_OK || size < SMALLEST_PACK_RECORD) {
        message = "invalid record size '" + std::string(value) + "' (92 to 2147483647)";
        return PACK_USAGE_ERROR;
      }
      options.record_size = static_cast<std::int32_t>(size);
      return PACK_OK;
    }
    case OptionId::Output:
      if (check_output_path(value, message) != PACK_OK) return PACK_USAGE_ERROR;
      options.output_path = value;
      return PACK_OK;
    case OptionId::IgnoreCase: options.ignore_case = true; return PACK_OK;
    case OptionId::Reverse: options.reverse = true; return PACK_OK;
    case OptionId::Unique: options.unique = true; return PACK_OK;
    case OptionId::Lf: options.lf = true; return PACK_OK;
    case OptionId::Numbered: options.numbered = true; return PACK_OK;
    case OptionId::ReportTies: options.report_ties = true; return PACK_OK;
    case OptionId::Keep: options.keep_record_file = true; return PACK_OK;
    case OptionId::Help: request = PackRequest::Help; return PACK_OK;
    case OptionId::Version: request = PackRequest::Version; return PACK_OK;
  }
  return PACK_OK;
}

// Checks that the options agree with each other once all are read.
int check_option_combination(const PackOptions& options, std::string& message) {
  if (options.ignore_case && options.key != PackKey::Phrase) {
    message = "--ignore-case applies to phrase keys only";
    return PACK_USAGE_ERROR;
  }
  const std::size_t limit = options.key == PackKey::Doubles ? DOUBLE_KEY_LIMIT : INTEGER_KEY_LIMIT;
  if (options.fields.size() > limit) {
    message = "--field names " + std::to_string(options.fields.size()) + " fields; " +
              (options.key == PackKey::Doubles ? "a double key holds at most 10"
                                               : "a key holds at most 20");
    return PACK_USAGE_ERROR;
  }
  return PACK_OK;
}

// Takes one "--name[=value]" argument; an option that needs a value and has
// no "=" takes the next argument. `index` moves past what was used.
int take_long_option(std::span<const char* const> arguments, std::size_t& index,
                     PackOptions& options, PackRequest& request, std::string& message) {
  const std::string_view argument = arguments[index];
  const std::string_view body = argument.substr(2);
  const std::size_t equals = body.find('=');
  const OptionEntry* entry = nullptr;
  if (find_option(body.substr(0, equals), entry, message) != PACK_OK) return PACK_USAGE_ERROR;
  const std::string name = "--" + std::string(entry->name);
  std::string_view value;
  if (equals != std::string_view::npos) {
    if (!entry->takes_value) {
      message = "option '" + name + "' doesn't allow an argument";
      return PACK_USAGE_ERROR;
    }
    value = body.substr(equals + 1);
  } else if (entry->takes_value) {
    if (index + 1 >= arguments.size()) {
      message = "option '" + name + "' requires an argument";
      return PACK_USAGE_ERROR;
    }
    value = arguments[++index];
  }
  return apply_option(entry->id, value, options, request, message);
}

// ---------------------------------------------------------------- keys

bool is_blank(char c) {
  return c == ' ' || c == '\t';
}

// The blank-separated fields of a line, in order.
std::vector<std::string_view> split_fields(std::string_view content) {
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  while (i < content.size()) {
    while (i < content.size() && is_blank(content[i])) ++i;
    const std::size_t start = i;
    while (i < content.size() && !is_blank(content[i])) ++i;
    if (i > start) fields.push_back(content.substr(start, i - start));
  }
  return fields;
}

// A text for a message, in quotes: printable ASCII as it is, other bytes as
// \xHH, cut after 60 bytes.
std::string quoted(std::string_view text) {
  std::string q = "'";
  for (std::size_t i = 0; i < text.size() && i < QUOTE_LIMIT; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte == '\\') {
      q += "\\\\";
    } else if (byte >= 0x20 && byte < 0x7f) {
      q += static_cast<char>(byte);
    } else {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      q += escape;
    }
  }
  if (text.size() > QUOTE_LIMIT) q += "...";
  return q + "'";
}

enum class NumberStatus { Ok, NotANumber, OutOfRange, NotOrdered };

// A leading "+" is accepted as from_chars accepts "-", but not before
// another sign.
std::string_view without_plus(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-' && token[1] != '+') {
    token.remove_prefix(1);
  }
  return token;
}

// The whole token as a signed 32-bit decimal integer.
NumberStatus parse_int32(std::string_view token, std::int32_t& value) {
  token = without_plus(token);
  const char* end = token.data() + token.size();
  const auto [stop, error] = std::from_chars(token.data(), end, value);
  if (stop != end || error == std::errc::invalid_argument) return NumberStatus::NotANumber;
  if (error == std::errc::result_out_of_range) return NumberStatus::OutOfRange;
  return NumberStatus::Ok;
}

// The whole token as a double (decimal or exponent form, inf, infinity).
// A number too small for a double rounds to zero or a subnormal, as strtod
// rounds it; one too large is out of range. NaN is refused: it has no place
// in an order.
NumberStatus parse_double(std::string_view token, double& value) {
  token = without_plus(token);
  const char* end = token.data() + token.size();
  const auto [stop, error] = std::from_chars(token.data(), end, value);
  if (stop != end || error == std::errc::invalid_argument) return NumberStatus::NotANumber;
  if (error == std::errc::result_out_of_range) {
    // from_chars leaves `value` alone here; strtod tells underflow from
    // overflow and gives the rounded value.
    const std::string copy(token);
    value = std::strtod(copy.c_str(), nullptr);
    if (std::isinf(value)) return NumberStatus::OutOfRange;
  }
  if (std::isnan(value)) return NumberStatus::NotOrdered;
  return NumberStatus::Ok;
}

void store_le(KeyArea& key, std::size_t offset, std::uint64_t bits, std::size_t width) {
  for (std::size_t b = 0; b < width; ++b)
    key[offset + b] = static_cast<unsigned char>(bits >> (8 * b));
}

// Parses `token` as the kind's number and stores it as key word `slot`.
NumberStatus put_number(std::string_view token, PackKey kind, std::size_t slot, KeyArea& key) {
  if (kind == PackKey::Integers) {
    std::int32_t value = 0;
    const NumberStatus status = parse_int32(token, value);
    if (status == NumberStatus::Ok) {
      store_le(key, slot * 4, static_cast<std::uint32_t>(value), 4);
    }
    return status;
  }
  double value = 0;
  const NumberStatus status = parse_double(token, value);
  if (status == NumberStatus::Ok) store_le(key, slot * 8, std::bit_cast<std::uint64_t>(value), 8);
  return status;
}

std::string number_message(NumberStatus status, PackKey kind, std::string_view token) {
  const bool integers = kind == PackKey::Integers;
  switch (status) {
    case NumberStatus::OutOfRange:
      return (integers ? "integer out of the 32-bit range: "
                       : "number out of the range of a double: ") +
             quoted(token);
    case NumberStatus::NotOrdered: return "NaN cannot be ordered: " + quoted(token);
    case NumberStatus::NotANumber:
    case NumberStatus::Ok: break;
  }
  return (integers ? "not an integer: " : "not a number: ") + quoted(token);
}

std::string missing_field_message(std::int32_t field, std::size_t present) {
  return "field " + std::to_string(field) + " missing (the line has " + std::to_string(present) +
         (present == 1 ? " field)" : " fields)");
}

// The numbers of the chosen fields, each of which must be there and be a
// number.
int build_number_key_from_fields(const std::vector<std::string_view>& fields,
                                 const PackOptions& options, KeyArea& key, std::string& message) {
  for (std::size_t slot = 0; slot < options.fields.size(); ++slot) {
    const auto index = static_cast<std::size_t>(options.fields[slot]) - 1;
    if (index >= fields.size()) {
      message = missing_field_message(options.fields[slot], fields.size());
      return PACK_FAILURE;
    }
    const NumberStatus status = put_number(fields[index], options.key, slot, key);
    if (status != NumberStatus::Ok) {
      message = number_message(status, options.key, fields[index]);
      return PACK_FAILURE;
    }
  }
  return PACK_OK;
}

// The leading numbers of a line: the first field must be one, and the key
// ends at the first field that is not a number or when the key is full. A
// field that is a number out of range, or NaN, is an error wherever it is.
int build_leading_number_key(const std::vector<std::string_view>& fields, PackKey kind,
                             KeyArea& key, std::string& message) {
  if (fields.empty()) {
    message = kind == PackKey::Integers ? "no integer on the line" : "no number on the line";
    return PACK_FAILURE;
  }
  const std::size_t limit = kind == PackKey::Integers ? INTEGER_KEY_LIMIT : DOUBLE_KEY_LIMIT;
  for (std::size_t slot = 0; slot < std::min(limit, fields.size()); ++slot) {
    const NumberStatus status = put_number(fields[slot], kind, slot, key);
    if (status == NumberStatus::Ok) continue;
    if (status == NumberStatus::NotANumber && slot > 0) break;
    message = number_message(status, kind, fields[slot]);
    return PACK_FAILURE;
  }
  return PACK_OK;
}

// The phrase: the whole content, or the chosen fields joined by one blank
// (a missing field is empty), cut to 79 bytes.
void build_phrase_key(std::string_view content, const PackOptions& options, KeyArea& key) {
  std::string joined;
  if (!options.fields.empty()) {
    const std::vector<std::string_view> fields = split_fields(content);
    for (std::size_t i = 0; i < options.fields.size(); ++i) {
      if (i > 0) joined += ' ';
      const auto index = static_cast<std::size_t>(options.fields[i]) - 1;
      if (index < fields.size()) joined += fields[index];
      if (joined.size() >= static_cast<std::size_t>(PHRASE_KEY_LIMIT)) break;
    }
    content = joined;
  }
  const std::size_t length = std::min(content.size(), static_cast<std::size_t>(PHRASE_KEY_LIMIT));
  std::memcpy(key.data(), content.data(), length);
}

// The length of text_field_of(line, number, options), without building it.
std::size_t text_field_length(const InputLine& line, std::int32_t number,
                              const PackOptions& options) {
  std::size_t length = line.content.size() + 1;
  if (options.numbered) length += std::to_string(number).size() + 1;
  if (line.ends_with_crlf && options.output_path.empty()) ++length;
  return length;
}

// ---------------------------------------------------------------- files

std::string system_error_message(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

// Writes `size` bytes or records why not.
int write_bytes(std::FILE* file, const void* bytes, std::size_t size, const char* path,
                std::string& message) {
  if (size != 0 && std::fwrite(bytes, 1, size, file) != size) {
    message = system_error_message(path);
    return PACK_FAILURE;
  }
  return PACK_OK;
}

// Closes `file`, reporting a failure to flush what was buffered.
int close_file(FilePointer& file, const char* path, std::string& message) {
  if (std::fclose(file.release()) != 0) {
    message = system_error_message(path);
    return PACK_FAILURE;
  }
  return PACK_OK;
}

// Reads the whole stream into `data`.
int read_stream(std::FILE* stream, const std::string& name, std::string& data,
                std::string& message) {
  constexpr std::size_t CHUNK = 1 << 16;
  data.clear();
  std::size_t got = 0;
  do {
    data.resize(data.size() + CHUNK);
    got = std::fread(data.data() + data.size() - CHUNK, 1, CHUNK, stream);
    data.resize(data.size() - CHUNK + got);
  } while (got == CHUNK);
  if (std::ferror(stream)) {
    message = system_error_message(name);
    return PACK_FAILURE;
  }
  return PACK_OK;
}

void report(const std::string& message) {
  std::fprintf(stderr, "%s: %s\n", COMMAND_NAME, message.c_str());
}

void report_usage(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", COMMAND_NAME,
               message.c_str(), COMMAND_NAME);
}

// Writes a guide text to standard output; status 1 when it could not be
// written (a closed or full standard output).
int print_to_stdout(const std::string& text) {
  const bool written = std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  if (!written || std::fflush(stdout) != 0) {
    report(std::string("standard output: ") + std::strerror(errno));
    return PACK_FAILURE;
  }
  return PACK_OK;
}

}  // namespace

int parse_pack_arguments(std::span<const char* const> arguments, PackOptions& options,
                         PackRequest& request, std::string& message) {
  request = PackRequest::Pack;
  bool options_ended = false;
  bool have_input = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    const bool is_option = !options_ended && argument.size() > 1 && argument[0] == '-';
    if (is_option && argument == "--") {
      options_ended = true;
    } else if (is_option && argument.starts_with("--")) {
      if (take_long_option(arguments, i, options, request, message) != PACK_OK) {
        return PACK_USAGE_ERROR;
      }
      if (request != PackRequest::Pack) return PACK_OK;
    } else if (is_option) {
      message = "unrecognized option '" + std::string(argument) + "'";
      return PACK_USAGE_ERROR;
    } else if (have_input) {
      message = "extra operand '" + std::string(argument) + "' (one input file at most)";
      return PACK_USAGE_ERROR;
    } else {
      options.input_path = argument;
      have_input = true;
    }
  }
  return check_option_combination(options, message);
}

std::vector<InputLine> split_lines(std::string_view data) {
  std::vector<InputLine> lines;
  std::size_t start = 0;
  while (start < data.size()) {
    const std::size_t newline = data.find('\n', start);
    if (newline == std::string_view::npos) {
      lines.push_back({data.substr(start), false});
      break;
    }
    std::string_view content = data.substr(start, newline - start);
    const bool crlf = content.ends_with('\r');
    if (crlf) content.remove_suffix(1);
    lines.push_back({content, crlf});
    start = newline + 1;
  }
  return lines;
}

int read_input(const std::string& path, std::string& data, std::string& message) {
  if (path == "-") return read_stream(stdin, "(standard input)", data, message);
  FilePointer file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    message = system_error_message(path);
    return PACK_FAILURE;
  }
  return read_stream(file.get(), path, data, message);
}

int build_key(std::string_view content, const PackOptions& options, KeyArea& key,
              std::string& message) {
  key.fill(0);
  if (options.key == PackKey::Phrase) {
    build_phrase_key(content, options, key);
    return PACK_OK;
  }
  const std::vector<std::string_view> fields = split_fields(content);
  if (!options.fields.empty()) return build_number_key_from_fields(fields, options, key, message);
  return build_leading_number_key(fields, options.key, key, message);
}

std::string text_field_of(const InputLine& line, std::int32_t number, const PackOptions& options) {
  std::string text;
  text.reserve(line.content.size() + 14);
  if (options.numbered) text += std::to_string(number) + ':';
  text += line.content;
  if (line.ends_with_crlf && options.output_path.empty()) text += '\r';
  text += '\n';
  return text;
}

std::int64_t record_size_for(std::size_t text_length) {
  return NUMBERED_TEXT_OFFSET + static_cast<std::int64_t>(text_length) + 1;
}

void fill_record(std::span<unsigned char> record, const KeyArea& key, std::int32_t number,
                 std::string_view text) {
  std::fill(record.begin(), record.end(), 0);
  std::copy(key.begin(), key.end(), record.begin());
  const auto bits = static_cast<std::uint32_t>(number);
  for (int b = 0; b < 4; ++b) {
    record[RECORD_NUMBER_OFFSET + b] = static_cast<unsigned char>(bits >> (8 * b));
  }
  std::memcpy(record.data() + NUMBERED_TEXT_OFFSET, text.data(), text.size());
}

int plan_records(std::span<const InputLine> lines, const PackOptions& options,
                 std::int32_t& record_size, std::string& message) {
  if (lines.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    message = input_name(options) + ": more than 2147483647 lines";
    return PACK_FAILURE;
  }
  std::int64_t needed = SMALLEST_PACK_RECORD;
  KeyArea key{};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto number = static_cast<std::int32_t>(i + 1);
    const InputLine& line = lines[i];
    const auto fail = [&](const std::string& what) {
      message = input_name(options) + ":" + std::to_string(number) + ": " + what;
      return PACK_FAILURE;
    };
    if (line.content.find('\0') != std::string_view::npos) {
      return fail("the line holds a NUL byte, which a record's text cannot carry");
    }
    if (build_key(line.content, options, key, message) != PACK_OK) return fail(message);
    const std::int64_t size = record_size_for(text_field_length(line, number, options));
    if (options.record_size != 0 && size > options.record_size) {
      return fail("the line needs a record of " + std::to_string(size) +
                  " bytes; --record-size=" + std::to_string(options.record_size) + " is too small");
    }
    if (size > LARGEST_RECORD) {
      return fail("the line is too long for a record (more than 2147483647 bytes)");
    }
    needed = std::max(needed, size);
  }
  record_size = options.record_size != 0 ? options.record_size : static_cast<std::int32_t>(needed);
  return PACK_OK;
}

std::string compose_manager_text(const PackOptions& options, std::int32_t record_count,
                                 std::int32_t record_size) {
  const auto flag = [](bool on, std::string_view option) {
    return std::string(on ? option : "0") + '\n';
  };
  std::string text;
  text += std::to_string(record_count) + '\n';
  text += std::to_string(static_cast<int>(options.key)) + '\n';
  text += std::to_string(record_size) + '\n';
  text += "-#\n";  // numbered records: the text starts at offset 91
  text += flag(options.ignore_case, "-f");
  text += flag(options.report_ties, "-!");
  text += std::string(RECORD_FILE) + '\n';
  text += options.output_path + '\n';
  text += options.lf ? "-LF\n" : "-CRLF\n";
  text += flag(options.reverse, "-r");
  text += "0\n";  // the guide goes to standard error
  text += flag(options.keep_record_file, "-y");
  text += flag(options.unique, "-u");
  return text;
}

int write_record_file(const char* path, std::span<const InputLine> lines,
                      const PackOptions& options, std::int32_t record_size, std::string& message) {
  FilePointer file(std::fopen(path, "wb"));
  if (!file) {
    message = system_error_message(path);
    return PACK_FAILURE;
  }
  const auto size = static_cast<std::size_t>(record_size);
  const std::size_t per_block = std::max<std::size_t>(1, WRITE_BLOCK / size);
  std::vector<unsigned char> block(std::min(per_block, std::max<std::size_t>(1, lines.size())) *
                                   size);
  std::size_t filled = 0;
  KeyArea key{};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto number = static_cast<std::int32_t>(i + 1);
    if (build_key(lines[i].content, options, key, message) != PACK_OK) return PACK_FAILURE;
    const std::span<unsigned char> record = std::span(block).subspan(filled * size, size);
    fill_record(record, key, number, text_field_of(lines[i], number, options));
    if (++filled * size == block.size()) {
      if (write_bytes(file.get(), block.data(), block.size(), path, message) != PACK_OK) {
        return PACK_FAILURE;
      }
      filled = 0;
    }
  }
  if (write_bytes(file.get(), block.data(), filled * size, path, message) != PACK_OK) {
    return PACK_FAILURE;
  }
  return close_file(file, path, message);
}

int write_text_file(const char* path, std::string_view text, std::string& message) {
  FilePointer file(std::fopen(path, "wb"));
  if (!file) {
    message = system_error_message(path);
    return PACK_FAILURE;
  }
  if (write_bytes(file.get(), text.data(), text.size(), path, message) != PACK_OK) {
    return PACK_FAILURE;
  }
  return close_file(file, path, message);
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
         "  --key=KIND         key kind: phrase (the line, default), int (up to 20\n"
         "                       leading integers) or double (up to 10 leading numbers)\n"
         "  --field=LIST       take the key from these blank-separated fields, e.g. 2\n"
         "                       or 3,1, instead of from the start of the line\n"
         "  --ignore-case      phrase keys compare without regard to letter case\n"
         "  --reverse          arrange in descending order\n"
         "  --unique           keep one line for each distinct key\n"
         "  --numbered         put each line's number and a colon before its text\n"
         "  --output=FILE      zelto writes the lines to FILE, not standard output\n"
         "  --lf               end the lines in FILE with LF instead of CR LF\n"
         "  --record-size=N    records of N bytes (92 or more) instead of the smallest\n"
         "                       that holds the longest line\n"
         "  --report-ties      zelto lists line numbers that met in full ties\n"
         "  --keep             zelto keeps binary.tmp after arranging\n"
         "  --help             display this help and exit\n"
         "  --version          output version information and exit\n"
         "\n"
         "Example: zelto-pack --key=int data.txt && zelto\n"
         "\n"
         "Exit status: 0 success; 1 unreadable input, a line that cannot be packed or a\n"
         "failed write; 2 a wrong command line.\n";
}

std::string compose_pack_version() {
  char banner[64];
  std::snprintf(banner, sizeof banner, "%s %1.3f\n", COMMAND_NAME, VERSION);
  return banner;
}

int pack_lines(const PackOptions& options) {
  std::string data;
  std::string message;
  if (read_input(options.input_path, data, message) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  const std::vector<InputLine> lines = split_lines(data);
  std::int32_t record_size = 0;
  if (plan_records(lines, options, record_size, message) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  const auto count = static_cast<std::int32_t>(lines.size());
  if (write_record_file(RECORD_FILE, lines, options, record_size, message) != PACK_OK ||
      write_text_file(PARAMETER_FILE, compose_manager_text(options, count, record_size), message) !=
          PACK_OK) {
    // Half a pair would make zelto read records that do not match.
    std::remove(RECORD_FILE);
    std::remove(PARAMETER_FILE);
    report(message);
    return PACK_FAILURE;
  }
  return PACK_OK;
}

int run_pack(int argc, const char* const* argv) {
  PackOptions options;
  PackRequest request = PackRequest::Pack;
  std::string message;
  const auto arguments = std::span<const char* const>(argv, static_cast<std::size_t>(argc));
  if (parse_pack_arguments(arguments.subspan(argc > 0 ? 1 : 0), options, request, message) !=
      PACK_OK) {
    report_usage(message);
    return PACK_USAGE_ERROR;
  }
  switch (request) {
    case PackRequest::Help: return print_to_stdout(compose_pack_help());
    case PackRequest::Version: return print_to_stdout(compose_pack_version());
    case PackRequest::Pack: break;
  }
  return pack_lines(options);
}

}  // namespace zelto

#ifndef ZELTO_NO_MAIN
int main(int argc, char** argv) {
  return zelto::run_pack(argc, argv);
}
#endif
