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

namespace {

constexpr int ERROR_CODE = 1;
constexpr std::size_t KEY_AREA = 80;
constexpr std::size_t NUMBER_OFFSET = 80;
constexpr std::size_t LAST_INT_OFFSET = 76;
constexpr std::size_t LAST_DOUBLE_OFFSET = 72;
// A comparator copies this many leading bytes of each record.
constexpr std::size_t WINDOW = 91;
constexpr std::size_t SCRATCH = 3072;
constexpr std::size_t TIE_SLOTS = 128;
constexpr std::size_t CODE_CAPACITY = 642;
constexpr std::size_t LINE_BUFFER = 256;
constexpr int PARAMETER_LINES = 13;
constexpr const char* RECORD_FILE = "binary.tmp";

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
char wide_space[16];
double du;
double dv;
std::int32_t check_ID[TIE_SLOTS];
std::size_t h = 0;

// The unique pass clears its pattern scratch from this block.
const unsigned char ZEROED[SCRATCH] = {};

std::int32_t int_at(const unsigned char* p, std::size_t offset) {
  std::int32_t v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

double double_at(const unsigned char* p, std::size_t offset) {
  double v;
  std::memcpy(&v, p + offset, sizeof v);
  return v;
}

void note_tie(std::int32_t number) {
  check_ID[h] = number;
  h = h + 1 > TIE_SLOTS - 1 ? 0 : h + 1;
}

// Clears both working copies and copies each record's first 91 bytes in.
void take_copies(const void* a, const void* b) {
  std::memset(first_copy, 0, SCRATCH);
  std::memset(second_copy, 0, SCRATCH);
  std::memcpy(first_copy, a, WINDOW);
  std::memcpy(second_copy, b, WINDOW);
}

// Twenty signed words; full ties by last word plus record number, wrapping.
// `up` is 1 for ascending and -1 for descending order.
int integers(const void* a, const void* b, int up) {
  take_copies(a, b);
  for (std::size_t offset = 0; offset < KEY_AREA; offset += 4) {
    const std::int32_t x = int_at(first_copy, offset);
    const std::int32_t y = int_at(second_copy, offset);
    if (x != y) return x > y ? up : -up;
  }
  note_tie(int_at(first_copy, NUMBER_OFFSET));
  const auto sum_a =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(int_at(first_copy, LAST_INT_OFFSET)) +
                                static_cast<std::uint32_t>(int_at(first_copy, NUMBER_OFFSET)));
  const auto sum_b =
      static_cast<std::int32_t>(static_cast<std::uint32_t>(int_at(second_copy, LAST_INT_OFFSET)) +
                                static_cast<std::uint32_t>(int_at(second_copy, NUMBER_OFFSET)));
  if (sum_a == sum_b) return 0;
  return sum_a > sum_b ? up : -up;
}

// Ten doubles, a NaN never equal; full ties by last double plus record
// number, each sum formed in extended precision and rounded to double.
int doubles(const void* a, const void* b, int up) {
  take_copies(a, b);
  for (std::size_t offset = 0; offset < KEY_AREA; offset += 8) {
    const double x = double_at(first_copy, offset);
    const double y = double_at(second_copy, offset);
    if (x == y) continue;
    return x > y ? up : -up;
  }
  note_tie(int_at(first_copy, NUMBER_OFFSET));
  du = int_at(first_copy, NUMBER_OFFSET);
  dv = int_at(second_copy, NUMBER_OFFSET);
  const auto sum_a =
      static_cast<double>(static_cast<long double>(double_at(first_copy, LAST_DOUBLE_OFFSET)) + du);
  const auto sum_b = static_cast<double>(
      static_cast<long double>(double_at(second_copy, LAST_DOUBLE_OFFSET)) + dv);
  if (sum_a == sum_b) return 0;
  return sum_a > sum_b ? up : -up;
}

// Byte comparison with ASCII letters folded to lower case.
int folded_compare(const char* x, const char* y) {
  for (;; ++x, ++y) {
    auto cx = static_cast<unsigned char>(*x);
    auto cy = static_cast<unsigned char>(*y);
    if (cx >= 'A' && cx <= 'Z') cx = static_cast<unsigned char>(cx - 'A' + 'a');
    if (cy >= 'A' && cy <= 'Z') cy = static_cast<unsigned char>(cy - 'A' + 'a');
    if (cx != cy || cx == 0) return cx - cy;
  }
}

// Phrases (exact or folded); equal phrases get their record numbers appended
// as "%10d" texts and are compared again, exactly.
int phrases(const void* a, const void* b, bool folded) {
  take_copies(a, b);
  auto* x = reinterpret_cast<char*>(first_copy);
  auto* y = reinterpret_cast<char*>(second_copy);
  const int primary = folded ? folded_compare(x, y) : std::strcmp(x, y);
  if (primary != 0) return primary;
  note_tie(int_at(first_copy, NUMBER_OFFSET));
  std::snprintf(wide_space, sizeof wide_space, "%10d", int_at(first_copy, NUMBER_OFFSET));
  std::strcat(x, wide_space);
  std::snprintf(wide_space, sizeof wide_space, "%10d", int_at(second_copy, NUMBER_OFFSET));
  std::strcat(y, wide_space);
  return std::strcmp(x, y);
}

int compare_integers(const void* a, const void* b) {
  return integers(a, b, 1);
}
int compare_integers_descending(const void* a, const void* b) {
  return integers(a, b, -1);
}
int compare_doubles(const void* a, const void* b) {
  return doubles(a, b, 1);
}
int compare_doubles_descending(const void* a, const void* b) {
  return doubles(a, b, -1);
}
int compare_phrases(const void* a, const void* b) {
  return phrases(a, b, false);
}
int compare_phrases_descending(const void* a, const void* b) {
  return -phrases(a, b, false);
}
int case_insensitive_comparison(const void* a, const void* b) {
  return phrases(a, b, true);
}
int case_insensitive_comparison_descending(const void* a, const void* b) {
  return -phrases(a, b, true);
}

using QsortComparator = int (*)(const void*, const void*);

QsortComparator select_comparator(const Settings& s) {
  const bool down = s.descending == 1;
  if (s.key_type == 1) return down ? compare_integers_descending : compare_integers;
  if (s.key_type == 2) return down ? compare_doubles_descending : compare_doubles;
  if (s.key_type == 0 && s.case_sensitive == 0) {
    return down ? case_insensitive_comparison_descending : case_insensitive_comparison;
  }
  return down ? compare_phrases_descending : compare_phrases;
}

// Run lengths of the key area's bits (words from 0 to 19, bits from the top),
// each kept in an 8-bit counter; a counter that wrapped to 0 leaves no byte.
std::size_t run_length_encoding(const unsigned char* key, unsigned char* code,
                                std::size_t capacity) {
  std::memset(code, 0, capacity);
  std::uint8_t set_run = 1;
  std::uint8_t clear_run = 0;
  std::size_t length = 0;
  for (std::size_t offset = 0; offset < KEY_AREA; offset += 4) {
    const auto word = static_cast<std::uint32_t>(int_at(key, offset));
    for (int bit = 31; bit >= 0; --bit) {
      if ((word >> bit) & 1U) {
        if (clear_run != 0) code[length++] = clear_run;
        clear_run = 0;
        ++set_run;
      } else {
        if (set_run != 0) code[length++] = set_run;
        set_run = 0;
        ++clear_run;
      }
    }
  }
  if (clear_run != 0) code[length++] = clear_run;
  if (set_run != 0) code[length++] = set_run;
  return length;
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
    run_length_encoding(pattern, reinterpret_cast<unsigned char*>(current), CODE_CAPACITY);
    if (std::strcmp(current, previous) != 0) {
      std::memcpy(records + kept * size, scan + i * size, size);
      ++kept;
      std::strcpy(previous, current);
    }
  }
  return kept;
}

void error_handler(const char* message, const char* path) {
  std::FILE* log = std::fopen("error.txt", "w");
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
    out = std::fopen("zelto.txt", "wb");
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
  const std::size_t text_offset = s.numbered == 1 ? WINDOW : NUMBER_OFFSET;
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
  std::FILE* f = std::fopen("manager.txt", "r");
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
