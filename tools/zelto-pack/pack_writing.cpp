#include "pack_writing.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <random>
#include <utility>

#include "pack_system.h"
#include "parameter_file.h"

namespace zelto {

namespace {

// Records are written in blocks of about this size.
constexpr std::size_t WRITE_BLOCK = 1 << 20;
// A record file more than this many times what its lines need is reported.
constexpr std::int64_t BLOW_UP_FACTOR = 8;

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// The content that goes into the text field: all of it, or its first
// --max-line bytes.
std::string_view kept_content(const InputLine& line, const PackOptions& options) {
  return options.max_line ? line.content.substr(0, *options.max_line) : line.content;
}

// The length of text_field_of(line, number, options), without building it.
std::size_t text_field_length(const InputLine& line, std::int32_t number,
                              const PackOptions& options) {
  std::size_t length = kept_content(line, options).size() + 1;
  if (options.sort && line.ends_with_crlf) ++length;
  if (options.numbered) length += std::to_string(number).size() + 1;
  return length;
}

std::string system_error_message(const std::string& path) {
  return path + ": " + std::strerror(errno);
}

// Writes `size` bytes or records why not.
int write_bytes(std::FILE* file, const void* bytes, std::size_t size, const std::string& path,
                std::string& message) {
  if (size != 0 && std::fwrite(bytes, 1, size, file) != size) {
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
  std::fprintf(stderr, "%s: %s\n", PACK_PROGRAM, message.c_str());
}

void report_usage(const std::string& message) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help' for more information.\n", PACK_PROGRAM,
               message.c_str(), PACK_PROGRAM);
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

// "1 line" or "3 lines".
std::string count_of(std::int64_t count, const char* thing) {
  return std::to_string(count) + " " + thing + (count == 1 ? "" : "s");
}

// What a line's key is made from: for phrase keys the line as sort sees it,
// with the CR of a CR LF end, which follows the content in the input.
std::string_view key_source(const InputLine& line, const PackOptions& options) {
  if (options.key != KeyType::Phrase || !line.ends_with_crlf) return line.content;
  return {line.content.data(), line.content.size() + 1};
}

// Checks one line's key and counts what build_key made of it. Returns
// PACK_OK, or PACK_FAILURE with `message` saying why the key is unusable.
int check_key(const InputLine& line, const PackOptions& options, PackPlan& plan,
              std::string& message) {
  KeyArea key{};
  if (options.unique && has_nan_key(key_source(line, options), options)) ++plan.nan_keys;
  switch (build_key(key_source(line, options), options, key, message)) {
    case KeyResult::Whole: return PACK_OK;
    case KeyResult::Cut: ++plan.cut_keys; return PACK_OK;
    case KeyResult::NoNumber:
      if (!options.lenient) {
        message += " (--lenient sorts such lines first)";
        return PACK_FAILURE;
      }
      ++plan.lenient_lines;
      return PACK_OK;
    case KeyResult::OutOfRange: return PACK_FAILURE;
  }
  return PACK_FAILURE;
}

}  // namespace

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

int read_inputs(std::span<const std::string> paths, std::string& data,
                std::vector<InputSource>& sources, std::string& message) {
  data.clear();
  sources.clear();
  std::size_t lines = 0;
  std::string chunk;
  for (std::size_t i = 0; i < paths.size(); ++i) {
    if (read_input(paths[i], chunk, message) != PACK_OK) return PACK_FAILURE;
    sources.push_back({input_name(paths[i]), lines});
    // The last line of an input ends with it, as sort reads several files.
    if (i + 1 < paths.size() && !chunk.empty() && chunk.back() != '\n') chunk += '\n';
    lines += static_cast<std::size_t>(std::count(chunk.begin(), chunk.end(), '\n'));
    data += chunk;
  }
  return PACK_OK;
}

std::string text_field_of(const InputLine& line, std::int32_t number, const PackOptions& options) {
  std::string text;
  text.reserve(text_field_length(line, number, options));
  if (options.numbered) text += std::to_string(number) + ':';
  text += kept_content(line, options);
  if (options.sort && line.ends_with_crlf) text += '\r';
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
  store_little_endian(record.data() + RECORD_NUMBER_OFFSET, static_cast<std::uint32_t>(number), 4);
  std::memcpy(record.data() + NUMBERED_TEXT_OFFSET, text.data(), text.size());
}

int plan_records(std::span<const InputLine> lines, const PackOptions& options, PackPlan& plan,
                 std::string& message, std::span<const InputSource> sources) {
  plan = PackPlan{};
  const InputSource first{input_name(options.inputs.front()), 0};
  if (sources.empty()) sources = std::span(&first, 1);
  if (lines.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    message = sources.front().name + ": more than 2147483647 lines in all";
    return PACK_FAILURE;
  }
  std::size_t source = 0;
  plan.input_crlf = !lines.empty() && lines.front().ends_with_crlf;
  std::int64_t needed = SMALLEST_PACK_RECORD;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto number = static_cast<std::int32_t>(i + 1);
    const InputLine& line = lines[i];
    while (source + 1 < sources.size() && sources[source + 1].first_line <= i) ++source;
    const auto fail = [&](const std::string& what) {
      message = sources[source].name + ":" + std::to_string(i + 1 - sources[source].first_line) +
                ": " + what;
      return PACK_FAILURE;
    };
    if (line.content.find('\0') != std::string_view::npos) {
      return fail("the line holds a NUL byte, which a record's text cannot carry");
    }
    if (check_key(line, options, plan, message) != PACK_OK) return fail(message);
    if (options.max_line && line.content.size() > *options.max_line) ++plan.cut_texts;
    const std::int64_t size = record_size_for(text_field_length(line, number, options));
    if (options.record_size != 0 && size > options.record_size) {
      return fail("the line needs a record of " + std::to_string(size) +
                  " bytes; --record-size=" + std::to_string(options.record_size) + " is too small");
    }
    if (size > LARGEST_RECORD) {
      return fail("the line is too long for a record (more than 2147483647 bytes)");
    }
    if (size > needed) plan.widest_line = number;
    needed = std::max(needed, size);
    plan.fitted_bytes += size;
  }
  plan.record_count = static_cast<std::int32_t>(lines.size());
  plan.record_size =
      options.record_size != 0 ? options.record_size : static_cast<std::int32_t>(needed);
  return PACK_OK;
}

std::vector<std::string> plan_notes(const PackPlan& plan, const PackOptions& options) {
  std::vector<std::string> notes;
  if (plan.cut_keys > 0) {
    notes.push_back("warning: " + count_of(plan.cut_keys, "key") +
                    " cut to the 79 bytes of the key area: lines whose keys agree that far keep "
                    "their input order" +
                    (options.unique ? ", and --unique counts them as one" : ""));
  }
  if (plan.nan_keys > 0) {
    notes.push_back("warning: " + count_of(plan.nan_keys, "line") +
                    " with NaN in a -g key: NaNs of one sign are one key, so --unique keeps "
                    "the first of them, where sort -u may keep several");
  }
  if (plan.lenient_lines > 0) {
    notes.push_back(count_of(plan.lenient_lines, "line") + " without a number in the key sorted " +
                    (options.reverse ? "last" : "first") + " (--lenient)" +
                    (options.unique ? ", and --unique kept one of them" : ""));
  }
  if (plan.cut_texts > 0) {
    notes.push_back(count_of(plan.cut_texts, "line") + " cut to " +
                    std::to_string(*options.max_line) + " bytes of text (--max-line)");
  }
  const std::int64_t file_bytes = std::int64_t{plan.record_count} * plan.record_size;
  if (options.record_size == 0 && file_bytes > BLOW_UP_FACTOR * plan.fitted_bytes) {
    notes.push_back(
        "warning: " + std::string(RECORD_FILE) + " takes " + std::to_string(file_bytes) +
        " bytes, " + std::to_string(file_bytes / plan.fitted_bytes) +
        " times what its lines need, for records of " + std::to_string(plan.record_size) +
        " bytes that line " + std::to_string(plan.widest_line) +
        " needs; --max-line=N cuts longer lines' text, --record-size=N sets the size");
  }
  return notes;
}

std::string compose_manager_text(const PackOptions& options, const PackPlan& plan) {
  namespace file = parameter_file;
  const std::string count = std::to_string(plan.record_count);
  const std::string key = std::to_string(static_cast<int>(options.key));
  const std::string size = std::to_string(plan.record_size);
  const bool crlf = options.line_end == LineEnd::CrLf ||
                    (options.line_end == LineEnd::FromInput && plan.input_crlf);
  // Phrase keys carry their order in their bytes, letter case included:
  // zelto compares them exactly and in ascending order.
  const bool native = options.key != KeyType::Phrase;
  const auto flag = [](bool on, std::string_view option) { return on ? option : file::OFF; };
  std::array<std::string_view, file::LINES + 1> lines;  // from 1, as the file numbers them
  lines[file::RECORD_COUNT] = count;
  lines[file::KEY_TYPE] = key;
  lines[file::RECORD_SIZE] = size;
  lines[file::NUMBERED] = file::NUMBERED_ON;  // the text starts at offset 91
  lines[file::IGNORE_CASE] = file::OFF;
  lines[file::REPORT_TIES] = flag(options.report_ties, file::REPORT_TIES_ON);
  lines[file::INPUT_PATH] = RECORD_FILE;
  lines[file::OUTPUT_PATH] = options.output_path;
  lines[file::LINE_END] = crlf ? file::CRLF : file::LF;
  lines[file::DESCENDING] = flag(native && options.reverse, file::DESCENDING_ON);
  lines[file::GUIDE_TO_STDOUT] = file::OFF;  // the guide goes to standard error
  lines[file::KEEP_RECORD_FILE] = flag(options.keep_record_file, file::KEEP_RECORD_FILE_ON);
  lines[file::UNIQUE] = flag(options.unique, file::UNIQUE_ON);
  std::string text;
  for (int line = 1; line <= file::LINES; ++line) {
    text += lines[static_cast<std::size_t>(line)];
    text += '\n';
  }
  return text;
}

int write_record_file(std::FILE* file, const std::string& name, std::span<const InputLine> lines,
                      const PackOptions& options, std::int32_t record_size, std::string& message) {
  const auto size = static_cast<std::size_t>(record_size);
  const std::size_t per_block = std::max<std::size_t>(1, WRITE_BLOCK / size);
  std::vector<unsigned char> block(std::min(per_block, std::max<std::size_t>(1, lines.size())) *
                                   size);
  std::size_t filled = 0;
  KeyArea key{};
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const auto number = static_cast<std::int32_t>(i + 1);
    // plan_records has accepted the key; an unusable one is the lowest here.
    std::string ignored;
    (void)build_key(key_source(lines[i], options), options, key, ignored);
    const std::span<unsigned char> record = std::span(block).subspan(filled * size, size);
    fill_record(record, key, number, text_field_of(lines[i], number, options));
    if (++filled * size == block.size()) {
      if (write_bytes(file, block.data(), block.size(), name, message) != PACK_OK) {
        return PACK_FAILURE;
      }
      filled = 0;
    }
  }
  return write_bytes(file, block.data(), filled * size, name, message);
}

int write_text_file(std::FILE* file, const std::string& name, std::string_view text,
                    std::string& message) {
  return write_bytes(file, text.data(), text.size(), name, message);
}

StagedFile::StagedFile(std::string final_path) : final_path_(std::move(final_path)) {}

StagedFile::~StagedFile() {
  if (file_ != nullptr) std::fclose(file_);
  if (!temporary_path_.empty() && !committed_) {
    std::remove(temporary_path_.c_str());
    keep_when_interrupted(temporary_path_);
  }
}

int StagedFile::open(std::string& message) {
  std::random_device seed;
  std::mt19937 random(seed());
  constexpr std::string_view LETTERS = "abcdefghijklmnopqrstuvwxyz0123456789";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = final_path_ + ".part-";
    for (int i = 0; i < 6; ++i) candidate += LETTERS[random() % LETTERS.size()];
    // Registered first: an interruption between the creation and the
    // registration would leave the file behind.
    remove_when_interrupted(candidate);
    bool taken = false;
    std::string cause;
    file_ = create_new_file(candidate, final_path_, taken, cause);
    if (file_ != nullptr) {
      temporary_path_ = candidate;
      return PACK_OK;
    }
    keep_when_interrupted(candidate);
    if (!taken) {
      message = final_path_ + cause.substr(candidate.size());
      return PACK_FAILURE;
    }
  }
  message = final_path_ + ": no free temporary name beside it";
  return PACK_FAILURE;
}

int StagedFile::finish(std::string& message) {
  const bool stored = give_final_permissions(file_, final_path_) && flush_to_storage(file_);
  const int cause = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (stored && closed) return PACK_OK;
  if (!stored) errno = cause;
  message = system_error_message(final_path_);
  return PACK_FAILURE;
}

int StagedFile::commit(std::string& message) {
  if (!move_into_place(temporary_path_, final_path_, message)) return PACK_FAILURE;
  committed_ = true;
  keep_when_interrupted(temporary_path_);
  return PACK_OK;
}

std::string path_in(const std::string& directory, const char* name) {
  return directory.empty() ? std::string(name) : directory + "/" + name;
}

int write_pair(const std::string& directory, std::span<const InputLine> lines,
               const PackOptions& options, const PackPlan& plan, std::string& message) {
  StagedFile records(path_in(directory, RECORD_FILE));
  StagedFile parameters(path_in(directory, PARAMETER_FILE));
  for (const char* name : {RECORD_FILE, PARAMETER_FILE}) {
    if (!may_replace(path_in(directory, name))) {
      message = path_in(directory, name) + ": " + std::strerror(EACCES);
      return PACK_FAILURE;
    }
  }
  const bool written = records.open(message) == PACK_OK && parameters.open(message) == PACK_OK &&
                       write_record_file(records.stream(), path_in(directory, RECORD_FILE), lines,
                                         options, plan.record_size, message) == PACK_OK &&
                       write_text_file(parameters.stream(), path_in(directory, PARAMETER_FILE),
                                       compose_manager_text(options, plan), message) == PACK_OK &&
                       records.finish(message) == PACK_OK && parameters.finish(message) == PACK_OK;
  if (!written) return PACK_FAILURE;
  // The records first: a parameter file in place always declares records
  // that are there in full.
  if (records.commit(message) != PACK_OK) return PACK_FAILURE;
  return parameters.commit(message);
}

namespace {

// Where zelto's display is a text stream (Windows), zelto writes its lines
// to this file of the private directory instead, and zelto-pack passes its
// bytes on as they are: the lines are then the same bytes as elsewhere.
constexpr const char* SORTED_LINES = "sorted-lines.txt";

// Copies the file at `path`, when zelto wrote one, to `output`.
bool pass_on(const std::string& path, std::FILE* output) {
  const FilePointer lines(std::fopen(path.c_str(), "rb"));
  if (!lines) return true;  // zelto ended before its output: its status says so
  if (output == stdout) write_bytes_as_they_are(stdout);
  std::vector<char> block(WRITE_BLOCK);
  std::size_t read = 0;
  while ((read = std::fread(block.data(), 1, block.size(), lines.get())) > 0) {
    if (std::fwrite(block.data(), 1, read, output) != read) return false;
  }
  return !std::ferror(lines.get()) && std::fflush(output) == 0;
}

// Runs zelto in `directory`, where the pair is, with its lines going to
// `output`.
int run_zelto_into(std::FILE* output, const std::string& output_name, const std::string& directory,
                   const char* program) {
  const bool through_file = displays_translate_line_ends();
  std::string message;
  const int status = run_program(companion_program(program, ZELTO_PROGRAM), {}, directory,
                                 through_file ? stdout : output, message);
  if (status < 0) {
    report(message);
    return PACK_FAILURE;
  }
  if (through_file && !pass_on(path_in(directory, SORTED_LINES), output)) {
    report(system_error_message(output_name));
    return PACK_FAILURE;
  }
  return status;
}

// The file that `path` names, through a symbolic link: the lines take that
// file's place, and the link stays.
std::string linked_file(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_symlink(path, error)) return path;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  return error ? path : target.string();
}

// True when -o names a regular file or nothing yet: the lines then take its
// name only once all of them are written. A device or a pipe is written to
// as it is.
bool output_is_replaced(const std::string& path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  return !std::filesystem::exists(status) || std::filesystem::is_regular_file(status);
}

// Runs zelto with its lines going to standard output or to the file that -o
// named. A file named by -o keeps its bytes until zelto has succeeded and
// every line is on storage: it may be one of the inputs.
int run_zelto(const PackOptions& options, const std::string& directory, const char* program) {
  const std::string& target = options.sorted_output;
  if (target.empty()) return run_zelto_into(stdout, "standard output", directory, program);
  if (!output_is_replaced(target)) {
    const FilePointer file(std::fopen(target.c_str(), "wb"));
    if (!file) {
      report(system_error_message(target));
      return PACK_FAILURE;
    }
    const int status = run_zelto_into(file.get(), target, directory, program);
    if (std::fflush(file.get()) != 0) {
      report(system_error_message(target));
      return PACK_FAILURE;
    }
    return status;
  }
  std::string message;
  if (!may_replace(target)) {
    report(target + ": " + std::strerror(EACCES));
    return PACK_FAILURE;
  }
  StagedFile staged(linked_file(target));
  if (staged.open(message) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  const int status = run_zelto_into(staged.stream(), target, directory, program);
  if (status != PACK_OK) return status;
  if (staged.finish(message) != PACK_OK || staged.commit(message) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  return status;
}

// --sort: the pair in a private directory, zelto run there, the directory
// removed whatever happens.
int sort_through_zelto(std::span<const InputLine> lines, const PackOptions& options,
                       const PackPlan& plan, const char* program) {
  std::string directory;
  std::string message;
  if (!make_private_directory(directory, message)) {
    report(message);
    return PACK_FAILURE;
  }
  // zelto's own files too: those it writes when the output cannot be opened,
  // and the file of its lines where its display is a text stream.
  const bool through_file = displays_translate_line_ends();
  const char* names[] = {RECORD_FILE, PARAMETER_FILE, ERROR_LOG_PATH, FALLBACK_PATH, SORTED_LINES};
  const std::span<const char* const> inside = std::span(names).first(through_file ? 5 : 4);
  remove_when_interrupted(directory);
  for (const char* name : inside) remove_when_interrupted(path_in(directory, name));
  // Each line keeps its own line end here, as sort keeps it: the file zelto
  // writes instead of its display adds no CR.
  PackOptions inner = options;
  if (through_file) {
    inner.output_path = SORTED_LINES;
    inner.line_end = LineEnd::Lf;
  }
  int status = write_pair(directory, lines, inner, plan, message);
  if (status != PACK_OK) {
    report(message);
  } else {
    for (const std::string& note : plan_notes(plan, options)) report(note);
    status = run_zelto(options, directory, program);
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
  for (const char* name : inside) keep_when_interrupted(path_in(directory, name));
  keep_when_interrupted(directory);
  return status;
}

}  // namespace

namespace {

// True when --sort asks for nothing but what sort itself has: zelto-sort
// then sorts the text, with sort's order and messages.
bool sorts_as_text(const PackOptions& o) {
  return o.sort && o.key == KeyType::Phrase && !o.numbered && !o.report_ties && !o.lenient &&
         o.line_end == LineEnd::FromInput && o.record_size == 0 && !o.max_line.has_value() &&
         o.directory.empty();
}

// One position of a key as sort writes it: FIELD.CHAR, CHAR 0 left out.
std::string key_position(std::size_t field, std::size_t character) {
  std::string text = std::to_string(field);
  if (character != 0) {
    text += '.';
    text += std::to_string(character);
  }
  return text;
}

// A key as sort's -k writes it, with every letter it carries.
std::string key_argument(const SortKey& k) {
  std::string letters;
  if (k.numeric) letters += 'n';
  if (k.general) letters += 'g';
  if (k.fold) letters += 'f';
  if (k.reverse) letters += 'r';
  std::string text = key_position(k.start_field, k.start_char);
  if (k.skip_start_blanks) text += 'b';
  text += letters;
  if (k.end_field != 0) {
    text += ',';
    text += key_position(k.end_field, k.end_char);
    if (k.skip_end_blanks) text += 'b';
    text += letters;
  }
  return text;
}

// The command line of zelto-sort that asks what `o` asks.
std::vector<std::string> text_sort_arguments(const PackOptions& o) {
  std::vector<std::string> words;
  for (const auto& [on, flag] :
       {std::pair{o.ignore_case, "-f"}, std::pair{o.reverse, "-r"}, std::pair{o.skip_blanks, "-b"},
        std::pair{o.numeric, "-n"}, std::pair{o.general, "-g"}, std::pair{o.unique, "-u"}}) {
    if (on) words.emplace_back(flag);
  }
  if (o.separator.has_value()) {
    words.emplace_back("-t");
    words.emplace_back(1, *o.separator);
  }
  for (const SortKey& k : o.keys) words.push_back("-k" + key_argument(k));
  if (!o.sorted_output.empty()) words.push_back("--output=" + o.sorted_output);
  words.emplace_back("--");
  words.insert(words.end(), o.inputs.begin(), o.inputs.end());
  return words;
}

// --sort with sort's own options: zelto-sort sorts the lines, so that the
// bytes and the status are zelto-sort's.
int sort_as_text(const PackOptions& options, const char* program) {
  std::string message;
  const int status = run_program(companion_program(program, SORT_PROGRAM),
                                 text_sort_arguments(options), ".", stdout, message);
  if (status >= 0) return status;
  report(message);
  return PACK_FAILURE;
}

}  // namespace

int pack_lines(const PackOptions& options, const char* program) {
  if (sorts_as_text(options)) return sort_as_text(options, program);
  std::string data;
  std::string message;
  std::vector<InputSource> sources;
  if (read_inputs(options.inputs, data, sources, message) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  const std::vector<InputLine> lines = split_lines(data);
  PackPlan plan;
  if (plan_records(lines, options, plan, message, sources) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  if (options.sort) return sort_through_zelto(lines, options, plan, program);
  if (write_pair(options.directory, lines, options, plan, message) != PACK_OK) {
    report(message);
    return PACK_FAILURE;
  }
  for (const std::string& note : plan_notes(plan, options)) report(note);
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
  return pack_lines(options, argc > 0 ? argv[0] : nullptr);
}

}  // namespace zelto
