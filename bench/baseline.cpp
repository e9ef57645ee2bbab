// zelto_baseline: the plain way of doing what zelto does, kept as the
// yardstick of the benchmarks. It reads manager.txt and the same options,
// reads the records one fread at a time, sorts them with the library qsort
// and comparators that work on fresh copies of both records at every call,
// and writes one line per fwrite. Its output files are byte for byte those
// of zelto.
#include <cfloat>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "comparator_model.h"
#include "pattern_model.h"
#include "record_format.h"

namespace {

using zelto::ERROR_CODE;
using zelto::RECORD_FILE;
using zelto::testing::ModelKey;

// A comparator copies this many leading bytes of each record.
constexpr std::size_t WINDOW = zelto::MINIMUM_RECORD_SIZE;
constexpr std::size_t SCRATCH = 3072;
constexpr std::size_t TIE_SLOTS = 128;
constexpr std::size_t CODE_CAPACITY = 642;
constexpr std::size_t LINE_BUFFER = 256;
constexpr int PARAMETER_LINES = 13;

static_assert(LDBL_MANT_DIG == 64, "the double tie-break needs a 64-bit significand");

struct Settings {
  long record_count = 0;
  long key_type = 0;
  long record_size = 0;
  int numbered = 0;
  int case_sensitive = 1;
  int report_ties = 0;
  char input_path[LINE_BUFFER] = "binary.tmp";
  char output_path[LINE_BUFFER] = "";
  int crlf = 1;
  int descending = 0;
  int remove_record_file = 1;
  int unique = 0;
};

// The comparators' working copies and the tie register.
alignas(16) unsigned char first_copy[SCRATCH];
alignas(16) unsigned char second_copy[SCRATCH];
std::int32_t check_ID[TIE_SLOTS];
std::size_t h = 0;

// The unique pass clears its pattern scratch from this block.
const unsigned char ZEROED[SCRATCH] = {};

void note_tie(std::int32_t number) {
  check_ID[h] = number;
  h = h + 1 > TIE_SLOTS - 1 ? 0 : h + 1;
}

// Clears both working copies and copies each record's comparison window in.
void take_copies(const void* a, const void* b) {
  std::memset(first_copy, 0, SCRATCH);
  std::memset(second_copy, 0, SCRATCH);
  std::memcpy(first_copy, a, WINDOW);
  std::memcpy(second_copy, b, WINDOW);
}

// The order of the shared comparator model on fresh copies of both records;
// a full tie notes the first record's number. `up` is 1 for ascending and -1
// for descending order.
int modelled(const void* a, const void* b, ModelKey key, int up) {
  take_copies(a, b);
  const zelto::testing::ModelComparison m =
      zelto::testing::compare_model(key, first_copy, second_copy);
  if (m.tie) note_tie(zelto::testing::model_record_number(first_copy));
  return m.sign * up;
}

int compare_integers(const void* a, const void* b) {
  return modelled(a, b, ModelKey::Integers, 1);
}
int compare_integers_descending(const void* a, const void* b) {
  return modelled(a, b, ModelKey::Integers, -1);
}
int compare_doubles(const void* a, const void* b) {
  return modelled(a, b, ModelKey::Doubles, 1);
}
int compare_doubles_descending(const void* a, const void* b) {
  return modelled(a, b, ModelKey::Doubles, -1);
}
int compare_phrases(const void* a, const void* b) {
  return modelled(a, b, ModelKey::Phrase, 1);
}
int compare_phrases_descending(const void* a, const void* b) {
  return modelled(a, b, ModelKey::Phrase, -1);
}
int case_insensitive_comparison(const void* a, const void* b) {
  return modelled(a, b, ModelKey::FoldedPhrase, 1);
}
int case_insensitive_comparison_descending(const void* a, const void* b) {
  return modelled(a, b, ModelKey::FoldedPhrase, -1);
}

using QsortComparator = int (*)(const void*, const void*);

QsortComparator select_comparator(const Settings& s) {
  const bool down = s.descending == 1;
  switch (zelto::testing::model_key(s.key_type, s.case_sensitive)) {
    case ModelKey::Integers: return down ? compare_integers_descending : compare_integers;
    case ModelKey::Doubles: return down ? compare_doubles_descending : compare_doubles;
    case ModelKey::FoldedPhrase:
      return down ? case_insensitive_comparison_descending : case_insensitive_comparison;
    case ModelKey::Phrase: break;
  }
  return down ? compare_phrases_descending : compare_phrases;
}

// Gathers, at the front of `records`, each record whose pattern code differs
// from the code of the record before it; `scan` (as large as `records`)
// receives the copy that is walked. Returns how many records are kept.
std::size_t keep_new_patterns(unsigned char* records, unsigned char* scan, std::size_t count,
                              std::size_t size) {
  if (count != 0) std::memcpy(scan, records, count * size);
  unsigned char pattern[SCRATCH];
  char current[CODE_CAPACITY] = {};
  char previous[CODE_CAPACITY] = {'\x80'};
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::memcpy(pattern, ZEROED, SCRATCH);
    std::memcpy(pattern, scan + i * size, WINDOW);
    const std::vector<unsigned char> code = zelto::testing::model_code(pattern);
    std::memset(current, 0, CODE_CAPACITY);
    std::memcpy(current, code.data(), code.size());
    if (std::strcmp(current, previous) != 0) {
      std::memcpy(records + kept * size, scan + i * size, size);
      ++kept;
      std::strcpy(previous, current);
    }
  }
  return kept;
}

void error_handler(const char* message, const char* path) {
  std::FILE* log = std::fopen(zelto::ERROR_LOG_PATH, "w");
  if (log == nullptr) return;
  std::fprintf(log, "%s %s", message, path);
  std::fclose(log);
}

// Length of the text field at `text`, up to its NUL or the record's end.
std::size_t text_length(const unsigned char* text, std::size_t room) {
  const void* nul = std::memchr(text, 0, room);
  return nul != nullptr ? static_cast<std::size_t>(static_cast<const unsigned char*>(nul) - text)
                        : room;
}

// Writes each text, cut at its first newline, plus the line end, one fwrite
// per line; falls back to zelto.txt when the path cannot be opened.
int producing(const char* path, unsigned char* records, std::size_t count, std::size_t size,
              std::size_t text_offset, int crlf) {
  int status = 0;
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) {
    status = ERROR_CODE;
    error_handler("fopen() error-1:", path);
    out = std::fopen(zelto::FALLBACK_PATH, "wb");
    if (out == nullptr) return ERROR_CODE;
  }
  auto* line = static_cast<char*>(std::malloc(size + 2));
  for (std::size_t i = 0; i < count; ++i) {
    unsigned char* text = records + i * size + text_offset;
    std::size_t n = text_length(text, size - text_offset);
    auto* newline = static_cast<unsigned char*>(std::memchr(text, '\n', n));
    if (newline != nullptr) {
      *newline = 0;
      n = static_cast<std::size_t>(newline - text);
    }
    std::memcpy(line, text, n);
    if (crlf == 1) line[n++] = '\r';
    line[n++] = '\n';
    if (std::fwrite(line, 1, n, out) != n) status = ERROR_CODE;
  }
  std::free(line);
  if (std::fclose(out) != 0) status = ERROR_CODE;
  return status;
}

void display_records(const unsigned char* records, std::size_t count, std::size_t size,
                     std::size_t text_offset) {
  for (std::size_t i = 0; i < count; ++i) {
    const unsigned char* text = records + i * size + text_offset;
    std::fwrite(text, 1, text_length(text, size - text_offset), stdout);
  }
}

int arrange(const Settings& s) {
  if (s.record_count < 0) {
    std::fprintf(stderr, "record count error: %ld\n", s.record_count);
    return ERROR_CODE;
  }
  if (s.record_count > 0 && s.record_size < static_cast<long>(WINDOW)) {
    std::fprintf(stderr, "record size error: %ld bytes\n", s.record_size);
    return ERROR_CODE;
  }
  const auto count = static_cast<std::size_t>(s.record_count);
  const std::size_t size = count == 0 ? 0 : static_cast<std::size_t>(s.record_size);
  std::FILE* in = std::fopen(s.input_path, "rb");
  if (in == nullptr) {
    std::fprintf(stderr, "%s: %s\n", s.unique == 1 ? "fopen() error-3" : "fopen() error-2",
                 s.input_path);
    return ERROR_CODE;
  }
  // The unique pass walks a second copy of the sorted records.
  const bool unique = s.unique == 1;
  const std::size_t total = count * size;
  unsigned char* scan = nullptr;
  if (unique) {
    scan = static_cast<unsigned char*>(std::malloc(total + 1));
    if (scan == nullptr) {
      std::fclose(in);
      std::fprintf(stderr, "malloc() error-2: %zu bytes\n", total);
      return ERROR_CODE;
    }
  }
  auto* records = static_cast<unsigned char*>(std::malloc(total + 1));
  if (records == nullptr) {
    std::fclose(in);
    std::free(scan);
    std::fprintf(stderr, "%s: %zu bytes\n", unique ? "malloc() error-3" : "malloc() error-1",
                 total);
    return ERROR_CODE;
  }
  std::size_t read = 0;
  for (std::size_t i = 0; i < count; ++i) read += std::fread(records + i * size, size, 1, in);
  std::fclose(in);
  if (read != count) {
    std::fprintf(stderr, "%s: %s\n", unique ? "fread() error-3" : "fread() error-2", s.input_path);
    std::free(records);
    std::free(scan);
    return ERROR_CODE;
  }
  std::qsort(records, count, size, select_comparator(s));
  const std::size_t kept = unique ? keep_new_patterns(records, scan, count, size) : count;
  std::free(scan);
  const std::size_t text_offset =
      s.numbered == 1 ? zelto::NUMBERED_TEXT_OFFSET : zelto::TEXT_OFFSET;
  int status = 0;
  if (s.output_path[0] == 0) {
    display_records(records, kept, size, text_offset);
  } else {
    status = producing(s.output_path, records, kept, size, text_offset, s.crlf);
  }
  std::free(records);
  return status;
}

void copy_path(char* target, std::string_view value) {
  const std::size_t n = value.size() < LINE_BUFFER - 1 ? value.size() : LINE_BUFFER - 1;
  std::memcpy(target, value.data(), n);
  target[n] = 0;
}

void apply_parameter_line(int number, std::string_view value, Settings& s) {
  const std::string terminated(value);
  const bool zero = value == "0";
  switch (number) {
    case 1: s.record_count = std::strtol(terminated.c_str(), nullptr, 10); break;
    case 2: s.key_type = std::strtol(terminated.c_str(), nullptr, 10); break;
    case 3: s.record_size = std::strtol(terminated.c_str(), nullptr, 10); break;
    case 4: s.numbered = zero ? 0 : 1; break;
    case 5: s.case_sensitive = zero ? 1 : 0; break;
    case 6: s.report_ties = zero ? 0 : 1; break;
    case 7: copy_path(s.input_path, value); break;
    case 8: copy_path(s.output_path, value); break;
    case 9: s.crlf = value == "-LF" || value == "-L" || zero ? 0 : 1; break;
    case 10: s.descending = zero ? 0 : 1; break;
    case 12: s.remove_record_file = zero ? 1 : 0; break;
    case 13: s.unique = zero ? 0 : 1; break;
    default: break;
  }
}

// Reads up to thirteen lines of manager.txt; each is cut at its newline or
// at a comment mark.
void read_parameters(Settings& s) {
  std::FILE* f = std::fopen(zelto::PARAMETER_FILE, "r");
  if (f == nullptr) return;
  char line[LINE_BUFFER];
  for (int number = 1; number <= PARAMETER_LINES && std::fgets(line, sizeof line, f); ++number) {
    std::string_view value(line);
    if (value.ends_with("\r\n")) value.remove_suffix(2);
    value = value.substr(0, value.find_first_of("\n'|\t"));
    apply_parameter_line(number, value, s);
  }
  std::fclose(f);
}

// The options that arranging uses; returns false for a guide option, which
// the baseline does not have.
bool scan_arguments(int argc, char** argv, Settings& s) {
  bool expect_output = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-VC" || arg == "-V") return false;
    if (arg == "-r")
      s.descending = 1;
    else if (arg == "-CRLF" || arg == "-L-")
      s.crlf = 1;
    else if (arg == "-y")
      s.remove_record_file = 0;
    else if (arg == "-e" || arg == "-LF" || arg == "-L" || arg == "-8")
      s.crlf = 0;
    else if (arg == "-u")
      s.unique = 1;
    else if (arg == "-o")
      expect_output = true;
    else if (arg == "-f")
      s.case_sensitive = 0;
    else if (arg == "-s")
      continue;
    else if (arg == "-o-")
      s.output_path[0] = 0;
    else if (expect_output) {
      copy_path(s.output_path, arg);
      expect_output = false;
    } else {
      copy_path(s.input_path, arg);
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Settings s;
  read_parameters(s);
  if (!scan_arguments(argc, argv, s)) {
    std::fputs("zelto_baseline: no guide; see bench/README.md\n", stderr);
    return ERROR_CODE;
  }
  const int status = arrange(s);
  if (s.remove_record_file == 1 && status == 0) std::remove(RECORD_FILE);
  if (s.report_ties == 1) {
    for (const std::int32_t number : check_ID) {
      if (number <= 0) break;
      std::printf("Line-%d\n", number);
    }
  }
  return status;
}
