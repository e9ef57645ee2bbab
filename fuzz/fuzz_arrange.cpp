// Fuzzes a whole arranging pass, plain or unique, on arbitrary record files.
//
// Input:
//   byte 0  bits 0-2 key type (0, 1, 2, 0, 1, 2, 5, -3), bit 3 case_sensitive,
//           bit 4 descending, bit 5 numbered, bit 6 crlf, bit 7 unique pass
//   byte 1  record count: below F8h a count of 0 to 47 (512 to 1006 in the
//           "many" mode), from F8h on a negative count
//   byte 2  record size: below F8h 80 to 151, from F8h on an odd size (0, 1,
//           negative, 90, 91, ...)
//   byte 3  bit 0 the output path cannot be opened (fallback to "zelto.txt"),
//           bit 1 no record file, bit 2 "many" mode: the record file is filled
//           to its full size by repeating the bytes that follow
//   rest    the record file's bytes
//
// Each pass runs in a private directory made once, which holds "binary.tmp",
// the output and the "error.txt"/"zelto.txt" that a fallback writes. The
// checks: status, standard error (captured) and which files exist, as the
// sizes, the record file and the output path decide; the output holds one
// line per record (plain pass), each line the newline-cut text of a record,
// in an order that a model of the comparators agrees with; the comparator
// itself agrees with the model (sign and tie noting); the unique pass keeps
// exactly the records whose model pattern code differs from their
// predecessor's in the engine's order; every noted tie belongs to a record
// that really shares its key with another one.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "arrange.h"
#include "comparator_model.h"
#include "compare.h"
#include "pattern_model.h"
#include "run_binary.h"
#include "sort_engine.h"
#include "tie_register.h"

namespace {

constexpr std::size_t HEADER_BYTES = 4;
constexpr const char* RECORD_FILE = "binary.tmp";
constexpr const char* OUTPUT_FILE = "out.txt";
constexpr const char* UNREACHABLE_OUTPUT = "no-such-directory/out.txt";
constexpr const char* FALLBACK_FILE = "zelto.txt";
constexpr const char* ERROR_LOG = "error.txt";

constexpr std::int32_t KEY_TYPES[8] = {0, 1, 2, 0, 1, 2, 5, -3};
constexpr std::int32_t NEGATIVE_COUNTS[8] = {-1, -2, -47, -1000, INT32_MIN, -91, -128, -65536};
constexpr std::int32_t ODD_SIZES[8] = {0, 1, -1, 90, 91, INT32_MIN, -91, 80};

struct Case {
  zelto::ArrangeArguments args;
  bool unique = false;
  bool unreachable_output = false;
  bool missing_input = false;
  std::string file;  // the record file's bytes
};

Case decode(const std::uint8_t* data, std::size_t size) {
  std::uint8_t header[HEADER_BYTES] = {};
  std::memcpy(header, data, std::min(size, HEADER_BYTES));
  const std::string_view rest =
      size > HEADER_BYTES ? std::string_view(reinterpret_cast<const char*>(data) + HEADER_BYTES,
                                             size - HEADER_BYTES)
                          : std::string_view();
  const bool many = (header[3] & 4) != 0;

  Case c;
  zelto::ArrangeArguments& a = c.args;
  a.input_path = RECORD_FILE;
  a.key_type = KEY_TYPES[header[0] & 7];
  a.case_sensitive = (header[0] >> 3) & 1;
  a.descending = (header[0] >> 4) & 1;
  a.numbered = (header[0] >> 5) & 1;
  a.crlf = (header[0] >> 6) & 1;
  c.unique = (header[0] >> 7) != 0;
  if (header[1] >= 0xF8) {
    a.record_count = NEGATIVE_COUNTS[header[1] - 0xF8];
  } else {
    a.record_count = many ? 512 + 2 * header[1] : header[1] % 48;
  }
  a.record_size =
      header[2] >= 0xF8 ? ODD_SIZES[header[2] - 0xF8] : zelto::KEY_AREA_SIZE + header[2] % 72;
  c.unreachable_output = (header[3] & 1) != 0;
  c.missing_input = (header[3] & 2) != 0;
  a.output_path = c.unreachable_output ? UNREACHABLE_OUTPUT : OUTPUT_FILE;

  const bool sizes_valid =
      a.record_count >= 0 && (a.record_count == 0 || a.record_size >= zelto::MINIMUM_RECORD_SIZE);
  if (many && sizes_valid) {
    const std::size_t total =
        static_cast<std::size_t>(a.record_count) * static_cast<std::size_t>(a.record_size);
    c.file.resize(total, '\0');
    for (std::size_t i = 0; !rest.empty() && i < total; ++i) c.file[i] = rest[i % rest.size()];
  } else {
    c.file = rest;
  }
  return c;
}

// --- the private directory and the files in it ---

// The private directory, removed with everything in it at exit.
const zelto::testing::Sandbox& private_directory() {
  static const zelto::testing::Sandbox box;
  return box;
}
int home_directory = -1;  // the directory the fuzzer started in, to come back to

void remove_outputs() {
  for (const char* name : {RECORD_FILE, OUTPUT_FILE, FALLBACK_FILE, ERROR_LOG}) std::remove(name);
}

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "arranging pass: %s\n", what.c_str());
  std::abort();
}

bool exists(const char* name) {
  return access(name, F_OK) == 0;
}

std::string read_file(const char* name) {
  std::ifstream in(name, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const char* name, const std::string& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) fail("cannot write the record file");
}

// Runs the pass with standard error gathered into memory.
struct Outcome {
  zelto::ArrangeResult result;
  std::string errors;
};

Outcome run_pass(const Case& c) {
  char* gathered = nullptr;
  std::size_t gathered_size = 0;
  std::FILE* capture = open_memstream(&gathered, &gathered_size);
  if (capture == nullptr) fail("open_memstream failed");
  std::FILE* const real_stderr = stderr;
  stderr = capture;
  const zelto::ArrangeResult result = c.unique
                                          ? zelto::arranging_unique_lines_to_produce_text(c.args)
                                          : zelto::arranging_to_produce_text(c.args);
  stderr = real_stderr;
  std::fclose(capture);
  Outcome outcome{result, std::string(gathered, gathered_size)};
  std::free(gathered);
  return outcome;
}

// --- what the records hold ---

struct Records {
  const unsigned char* base;
  std::size_t size;
  std::size_t count;
  const unsigned char* at(std::size_t i) const { return base + i * size; }
};

// The line a record gives in an output file: its text field up to its NUL
// (or the record's end), cut at the first newline.
std::string line_of(const unsigned char* record, std::size_t record_size, int numbered) {
  const std::size_t offset = numbered == 1 ? zelto::NUMBERED_TEXT_OFFSET : zelto::TEXT_OFFSET;
  std::string text(reinterpret_cast<const char*>(record) + offset, record_size - offset);
  text = text.substr(0, text.find('\0'));
  return text.substr(0, text.find('\n'));
}

// The lines of an output file, each without its line end; fails on a missing
// or wrong line end.
std::vector<std::string> split_lines(const std::string& content, int crlf) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t newline = content.find('\n', start);
    if (newline == std::string::npos) fail("the output's last line has no line end");
    std::string line = content.substr(start, newline - start);
    if (crlf == 1) {
      if (line.empty() || line.back() != '\r') fail("a line does not end with CR LF");
      line.pop_back();
    }
    lines.push_back(std::move(line));
    start = newline + 1;
  }
  return lines;
}

using zelto::testing::model_double_at;

bool has_nan_key(const unsigned char* record) {
  for (int offset = 0; offset < zelto::KEY_AREA_SIZE; offset += 8) {
    if (std::isnan(model_double_at(record + offset))) return true;
  }
  return false;
}

// --- the shared model of the comparators ---

using zelto::testing::ModelComparison;
using zelto::testing::ModelKey;

ModelKey model_key(const zelto::ArrangeArguments& a) {
  return zelto::testing::model_key(a.key_type, a.case_sensitive);
}

std::string folded(std::string text) {
  for (char& ch : text) ch = static_cast<char>(zelto::testing::model_fold(ch));
  return text;
}

// The comparators' order over the records of one pass.
class ComparatorModel {
 public:
  ComparatorModel(const Records& r, const zelto::ArrangeArguments& a)
      : r_(r), key_(model_key(a)), descending_(a.descending == 1) {}

  // Records `i` and `j` as the selected comparator orders them.
  [[nodiscard]] ModelComparison compare(std::size_t i, std::size_t j) const {
    ModelComparison m = zelto::testing::compare_model(key_, r_.at(i), r_.at(j));
    if (descending_) m.sign = -m.sign;
    return m;
  }

 private:
  const Records& r_;
  ModelKey key_;
  bool descending_;
};

// A text that two records share exactly when the selected comparator finds
// their keys fully equal.
std::string key_identity(const unsigned char* record, const zelto::ArrangeArguments& a) {
  switch (model_key(a)) {
    case ModelKey::Integers:
      return std::string(reinterpret_cast<const char*>(record), zelto::KEY_AREA_SIZE);
    case ModelKey::Doubles: {
      std::string identity;
      for (int offset = 0; offset < zelto::KEY_AREA_SIZE; offset += 8) {
        double d = model_double_at(record + offset);
        if (d == 0.0) d = 0.0;  // -0.0 equals 0.0
        identity.append(reinterpret_cast<const char*>(&d), sizeof d);
      }
      return identity;
    }
    case ModelKey::Phrase: return std::string(zelto::testing::model_phrase(record));
    case ModelKey::FoldedPhrase: return folded(std::string(zelto::testing::model_phrase(record)));
  }
  return {};
}

// The selected comparator against the model, on each record and the next
// (both ways round): the same sign, and a tie noted (the first record's
// number, in the next slot) exactly when the keys tie fully.
void check_comparator(const Records& r, const zelto::ArrangeArguments& a) {
  if (r.count < 2) return;
  const zelto::SortPolicy policy = zelto::select_policy(a.key_type, a.case_sensitive, a.descending);
  const ComparatorModel model(r, a);
  const auto compare_pair = [&](std::size_t i, std::size_t j) {
    const unsigned char* x = r.at(i);
    const int slot = zelto::h;
    const int sign = zelto::testing::model_sign(policy.compare(x, r.at(j)));
    const ModelComparison m = model.compare(i, j);
    if (sign != m.sign) {
      fail("comparator gives " + std::to_string(sign) + ", model " + std::to_string(m.sign));
    }
    const bool noted = zelto::h != slot;
    if (noted != m.tie) fail(m.tie ? "full tie not noted" : "tie noted without a full tie");
    if (noted && (zelto::h != (slot + 1) % zelto::TIE_SLOTS ||
                  zelto::check_ID[static_cast<std::size_t>(slot)] !=
                      zelto::testing::model_record_number(x))) {
      fail("tie noted in the wrong slot or with the wrong number");
    }
  };
  for (std::size_t i = 0; i < r.count; ++i) {
    const std::size_t j = (i + 1) % r.count;
    compare_pair(i, j);
    compare_pair(j, i);
  }
}

// Every record number in the tie register (other than 0, which also marks an
// unused slot) must belong to a record whose key another record shares: a
// record compared with itself would note a false tie. A double key holding a
// NaN equals no other key, though it sorts beside those that look alike.
void check_ties(const Records& r, const zelto::ArrangeArguments& a,
                const std::array<std::int32_t, zelto::TIE_SLOTS>& noted) {
  std::unordered_map<std::string, std::size_t> sharing;
  std::vector<std::string> identities(r.count);
  for (std::size_t i = 0; i < r.count; ++i) {
    identities[i] = key_identity(r.at(i), a);
    ++sharing[identities[i]];
  }
  std::unordered_set<std::int32_t> tied_numbers;
  for (std::size_t i = 0; i < r.count; ++i) {
    const bool never_ties = model_key(a) == ModelKey::Doubles && has_nan_key(r.at(i));
    if (sharing[identities[i]] > 1 && !never_ties) {
      tied_numbers.insert(zelto::record_number(r.at(i)));
    }
  }
  for (const std::int32_t number : noted) {
    if (number != 0 && tied_numbers.count(number) == 0) {
      fail("tie noted for record number " + std::to_string(number) +
           ", whose key no other record shares");
    }
  }
}

// The output order must be a sorted order by the model comparator: within
// each run of records that compare equal the lines may come in any order.
// Not checked for double keys holding a NaN, whose order is not consistent.
void check_order(const Records& r, const zelto::ArrangeArguments& a,
                 const std::vector<std::string>& lines) {
  if (model_key(a) == ModelKey::Doubles) {
    for (std::size_t i = 0; i < r.count; ++i) {
      if (has_nan_key(r.at(i))) return;
    }
  }
  const ComparatorModel model(r, a);
  std::vector<std::size_t> order(r.count);
  for (std::size_t i = 0; i < r.count; ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t x, std::size_t y) { return model.compare(x, y).sign < 0; });
  std::size_t run = 0;
  while (run < order.size()) {
    std::size_t next = run + 1;
    while (next < order.size() && model.compare(order[next - 1], order[next]).sign == 0) {
      ++next;
    }
    std::vector<std::string> expected;
    for (std::size_t k = run; k < next; ++k) {
      expected.push_back(line_of(r.at(order[k]), r.size, a.numbered));
    }
    std::vector<std::string> written(lines.begin() + static_cast<std::ptrdiff_t>(run),
                                     lines.begin() + static_cast<std::ptrdiff_t>(next));
    std::sort(expected.begin(), expected.end());
    std::sort(written.begin(), written.end());
    if (expected != written) {
      fail("lines " + std::to_string(run) + " to " + std::to_string(next - 1) +
           " are not in the comparator's order");
    }
    run = next;
  }
}

// The lines the unique pass should write: the sort engine is deterministic,
// so it gives the pass's order again; a record is kept when its model code
// differs from the code of the record just before it in that order.
std::vector<std::string> expected_unique_lines(const Records& r, const zelto::ArrangeArguments& a) {
  const zelto::SortPolicy policy = zelto::select_policy(a.key_type, a.case_sensitive, a.descending);
  zelto::SortSpace space(r.count);
  if (!space.allocated()) fail("no memory for the sort");
  std::vector<std::string> lines;
  std::vector<unsigned char> previous;
  bool first = true;
  for (const std::uint32_t index : zelto::sort_records(r.base, r.size, policy, space)) {
    std::vector<unsigned char> code = zelto::testing::model_code(r.at(index));
    if (first || code != previous) lines.push_back(line_of(r.at(index), r.size, a.numbered));
    previous = std::move(code);
    first = false;
  }
  return lines;
}

void check_lines(const Case& c, const Records& r, const std::string& content) {
  const zelto::ArrangeArguments& a = c.args;
  const std::vector<std::string> lines = split_lines(content, a.crlf);
  if (c.unique) {
    if (lines != expected_unique_lines(r, a)) {
      fail(std::to_string(lines.size()) +
           " unique lines, not those of the records whose codes differ from their "
           "predecessors'");
    }
    return;
  }
  if (lines.size() != r.count) {
    fail(std::to_string(lines.size()) + " lines for " + std::to_string(r.count) + " records");
  }
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < r.count; ++i) {
    expected.push_back(line_of(r.at(i), r.size, a.numbered));
  }
  std::vector<std::string> sorted_lines = lines;
  std::sort(sorted_lines.begin(), sorted_lines.end());
  std::sort(expected.begin(), expected.end());
  if (sorted_lines != expected) fail("the lines are not the records' texts");
  check_order(r, a, lines);
}

void expect_failure(const Outcome& o, const std::string& message) {
  if (o.result.status != zelto::ERROR_CODE || o.result.lines_delivered) {
    fail("expected a failed pass for: " + message);
  }
  if (o.errors != message) {
    fail("standard error \"" + o.errors + "\", expected \"" + message + "\"");
  }
  if (exists(OUTPUT_FILE) || exists(FALLBACK_FILE) || exists(ERROR_LOG)) {
    fail("a failed pass wrote output for: " + message);
  }
}

void check_outcome(const Case& c, const Outcome& o) {
  const zelto::ArrangeArguments& a = c.args;
  char message[128];
  if (a.record_count < 0) {
    std::snprintf(message, sizeof message, "record count error: %d\n", a.record_count);
    return expect_failure(o, message);
  }
  if (a.record_count > 0 && a.record_size < zelto::MINIMUM_RECORD_SIZE) {
    std::snprintf(message, sizeof message, "record size error: %d bytes\n", a.record_size);
    return expect_failure(o, message);
  }
  const char* pass = c.unique ? "3" : "2";
  if (c.missing_input) {
    std::snprintf(message, sizeof message, "fopen() error-%s: %s\n", pass, RECORD_FILE);
    return expect_failure(o, message);
  }
  const std::size_t record_size = a.record_count == 0 ? 0 : static_cast<std::size_t>(a.record_size);
  const Records records{reinterpret_cast<const unsigned char*>(c.file.data()), record_size,
                        static_cast<std::size_t>(a.record_count)};
  if (c.file.size() < records.count * records.size) {
    std::snprintf(message, sizeof message, "fread() error-%s: %s\n", pass, RECORD_FILE);
    return expect_failure(o, message);
  }
  if (!o.errors.empty()) fail("unexpected standard error \"" + o.errors + "\"");
  if (!o.result.lines_delivered) fail("lines not delivered");
  if (c.unreachable_output) {
    if (o.result.status != zelto::ERROR_CODE) fail("status 0 after a fallback");
    if (read_file(ERROR_LOG) != std::string("fopen() error-1: ") + UNREACHABLE_OUTPUT) {
      fail("error log holds \"" + read_file(ERROR_LOG) + "\"");
    }
    if (!exists(FALLBACK_FILE)) fail("no fallback file");
    check_lines(c, records, read_file(FALLBACK_FILE));
  } else {
    if (o.result.status != 0) fail("status 1 for a pass that wrote its output");
    if (exists(ERROR_LOG) || exists(FALLBACK_FILE)) fail("error log or fallback without cause");
    if (!exists(OUTPUT_FILE)) fail("no output file");
    check_lines(c, records, read_file(OUTPUT_FILE));
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  home_directory = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (home_directory < 0) fail("cannot open the working directory");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Case c = decode(data, size);
  // Only during the pass is the private directory the working directory, so
  // the fuzzer's own relative paths (corpus, artifacts) keep working.
  if (chdir(private_directory().dir().c_str()) != 0) fail("cannot enter the private directory");
  remove_outputs();
  if (!c.missing_input) write_file(RECORD_FILE, c.file);

  zelto::testing::clear_tie_register();
  const Outcome outcome = run_pass(c);
  const std::array<std::int32_t, zelto::TIE_SLOTS> noted = zelto::check_ID;
  check_outcome(c, outcome);
  if (outcome.result.lines_delivered) {
    const Records records{reinterpret_cast<const unsigned char*>(c.file.data()),
                          static_cast<std::size_t>(c.args.record_size),
                          static_cast<std::size_t>(c.args.record_count)};
    check_ties(records, c.args, noted);
    check_comparator(records, c.args);
  }
  if (fchdir(home_directory) != 0) fail("cannot return to the working directory");
  return 0;
}
