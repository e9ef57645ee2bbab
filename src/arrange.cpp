#include "arrange.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "line_gathering.h"
#include "mapped_file.h"
#include "parallel.h"
#include "run_length.h"

namespace zelto {

namespace {

// Lines are gathered into blocks of this size before they are written.
constexpr std::size_t WRITE_BLOCK = 1 << 20;

// The messages of one pass: the plain and the unique pass number their
// call sites differently.
struct PassMessages {
  const char* open_failure;
  const char* first_allocation_failure;
  const char* later_allocation_failure;
  const char* read_failure;
};

constexpr PassMessages PLAIN_PASS = {"fopen() error-2", "malloc() error-1", "malloc() error-1",
                                     "fread() error-2"};
constexpr PassMessages UNIQUE_PASS = {"fopen() error-3", "malloc() error-2", "malloc() error-3",
                                      "fread() error-3"};

void report_path(const char* site, const std::string& path) {
  std::fprintf(stderr, "%s: %s\n", site, path.c_str());
}

void report_bytes(const char* site, long long bytes) {
  std::fprintf(stderr, "%s: %lld bytes\n", site, bytes);
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// Sizes that would make a pass read outside its records are refused.
bool sizes_are_valid(const ArrangeArguments& args) {
  if (args.record_count < 0) {
    std::fprintf(stderr, "record count error: %d\n", args.record_count);
    return false;
  }
  if (args.record_count > 0 && args.record_size < MINIMUM_RECORD_SIZE) {
    std::fprintf(stderr, "record size error: %d bytes\n", args.record_size);
    return false;
  }
  return true;
}

// Gathers bytes into large blocks for one stream and remembers whether any
// write failed.
class BlockWriter {
 public:
  explicit BlockWriter(std::FILE* stream) : stream_(stream) { block_.reserve(WRITE_BLOCK); }

  void append(std::string_view bytes) {
    if (block_.size() + bytes.size() > WRITE_BLOCK) write_block();
    if (bytes.size() > WRITE_BLOCK) {
      write(bytes);
    } else {
      block_.insert(block_.end(), bytes.begin(), bytes.end());
    }
  }

  // Writes what is gathered; true when every write so far succeeded.
  [[nodiscard]] bool finish() {
    write_block();
    return ok_;
  }

 private:
  void write_block() {
    write({block_.data(), block_.size()});
    block_.clear();
  }

  void write(std::string_view bytes) {
    if (ok_ && !bytes.empty() &&
        std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
      ok_ = false;
    }
  }

  std::FILE* stream_;
  std::vector<char> block_;
  bool ok_ = true;
};

// Hints a record further down the order into the cache while the current
// one is read: the records are visited in sorted, not stored, order.
constexpr std::size_t PREFETCH_DISTANCE = 16;

void prefetch_ahead(const RecordTable& table, std::size_t i, int offset) {
  if (i + PREFETCH_DISTANCE < table.order.size()) {
    const unsigned char* start = table.record(i + PREFETCH_DISTANCE) + offset;
    __builtin_prefetch(start);
    __builtin_prefetch(start + 64);
  }
}

// Writes every line in the output-file format; false when a write failed.
bool write_lines(std::FILE* stream, const RecordTable& table, int text_offset, int crlf) {
  BlockWriter writer(stream);
  // Only the first newline ends the line; the rest of the field is dropped.
  const LineFormat format{text_offset, true, crlf == 1 ? "\r\n" : "\n"};
  gather_lines(table, format, thread_count(), [&](std::string_view b) { writer.append(b); });
  return writer.finish();
}

Delivery deliver(const ArrangeArguments& args, const RecordTable& table) {
  const int text_offset = args.numbered == 1 ? NUMBERED_TEXT_OFFSET : TEXT_OFFSET;
  if (args.output_path.empty()) return display_records(table, text_offset);
  return producing(args.output_path, table, text_offset, args.crlf);
}

ArrangeResult result_of(Delivery delivery) {
  switch (delivery) {
    case Delivery::Written: return {0, true};
    case Delivery::FellBack: return {ERROR_CODE, true};
    case Delivery::Failed: break;
  }
  return {ERROR_CODE, false};
}

constexpr ArrangeResult FAILED = {ERROR_CODE, false};

// True when the record at position i of the order repeats the pattern of
// the record just before it.
bool repeats_pattern(const RecordTable& table, std::size_t i) {
  if (i == 0) return false;
  const unsigned char* key = table.record(i);
  const unsigned char* previous = table.record(i - 1);
  return std::memcmp(key, previous, KEY_AREA_SIZE) == 0 || same_pattern_code(key, previous);
}

// Keeps, in place, each record whose pattern code differs from the code of
// the record just before it in sorted order, and returns how many it kept.
// The first record is always kept: its predecessor counts as the one-byte
// code 80h, which no 640-bit pattern has. Identical key areas need no code.
// Each thread marks its part of the order against the unchanged order, then
// the kept entries are moved together, part by part.
std::size_t keep_new_patterns(const unsigned char* records, std::size_t record_size,
                              std::span<std::uint32_t> order, unsigned threads) {
  const std::size_t count = order.size();
  const RecordTable table{records, record_size, order};
  const std::size_t parts = std::clamp<std::size_t>(count / 65536, 1, threads);
  std::vector<std::uint8_t> keep(count);
  run_tasks(parts, threads, [&](std::size_t p) {
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      prefetch_ahead(table, i, 0);
      keep[i] = repeats_pattern(table, i) ? 0 : 1;
    }
  });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // Writes only behind the read position.
    if (keep[i] != 0) order[kept++] = order[i];
  }
  return kept;
}

ArrangeResult arrange(const ArrangeArguments& args, const PassMessages& messages, bool unique) {
  if (!sizes_are_valid(args)) return FAILED;
  const auto count = static_cast<std::size_t>(args.record_count);
  const std::size_t record_size = count == 0 ? 0 : static_cast<std::size_t>(args.record_size);
  // The total never wraps: both factors are below 2^31.
  const std::size_t total = count * record_size;
  // A file this run opens for writing must not be the mapped one: truncating
  // it would pull the pages from under the mapping. The input is closed
  // before any output is opened, as the output may be the record file itself.
  const bool to_stdout = args.output_path.empty();
  const bool may_map =
      !must_copy(args.input_path, {args.output_path, FALLBACK_PATH, ERROR_LOG_PATH}, to_stdout);
  RecordFile records;
  const LoadStatus loaded = records.load(args.input_path, total, may_map);
  if (loaded == LoadStatus::OpenFailed) {
    report_path(messages.open_failure, args.input_path);
    return FAILED;
  }
  if (loaded == LoadStatus::AllocationFailed) {
    report_bytes(messages.first_allocation_failure, static_cast<long long>(total));
    return FAILED;
  }
  SortSpace space(count);
  if (!space.allocated()) {
    report_bytes(messages.later_allocation_failure, static_cast<long long>(total));
    return FAILED;
  }
  if (loaded == LoadStatus::ReadFailed) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }

  const unsigned threads = thread_count();
  const SortPolicy policy = select_policy(args.key_type, args.case_sensitive, args.descending);
  std::span<std::uint32_t> order =
      sort_records(records.data(), record_size, policy, space, threads);
  if (unique) order = order.first(keep_new_patterns(records.data(), record_size, order, threads));
  // A record file that shrank while mapped was read as zeros in part.
  if (records.shrunk()) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  const ArrangeResult result =
      result_of(deliver(args, RecordTable{records.data(), record_size, order}));
  if (records.shrunk()) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  return result;
}

}  // namespace

SortPolicy select_policy(std::int32_t key_type, int case_sensitive, int descending) {
  const bool down = descending == 1;
  switch (key_type) {
    case 1: return {KeyKind::Integers, down, down ? compare_integers_descending : compare_integers};
    case 2: return {KeyKind::Doubles, down, down ? compare_doubles_descending : compare_doubles};
    case 0:
      if (case_sensitive == 0) {
        return {KeyKind::FoldedPhrase, down,
                down ? case_insensitive_comparison_descending : case_insensitive_comparison};
      }
      break;
    default: break;
  }
  return {KeyKind::Phrase, down, down ? compare_phrases_descending : compare_phrases};
}

ArrangeResult arranging_to_produce_text(const ArrangeArguments& args) {
  return arrange(args, PLAIN_PASS, false);
}

ArrangeResult arranging_unique_lines_to_produce_text(const ArrangeArguments& args) {
  return arrange(args, UNIQUE_PASS, true);
}

Delivery producing(const std::string& output_path, const RecordTable& table, int text_offset,
                   int crlf) {
  Delivery delivery = Delivery::Written;
  const char* path = output_path.c_str();
  FilePointer output(std::fopen(path, "wb"));
  if (!output) {
    delivery = Delivery::FellBack;
    error_handler("fopen() error-1:", output_path);
    path = FALLBACK_PATH;
    output.reset(std::fopen(path, "wb"));
    if (!output) {
      report_path("fopen() error-4", path);
      return Delivery::Failed;
    }
  }
  const bool written = write_lines(output.get(), table, text_offset, crlf);
  const bool closed = std::fclose(output.release()) == 0;
  if (!written || !closed) {
    report_path("fwrite() error-1", path);
    return Delivery::Failed;
  }
  return delivery;
}

Delivery display_records(const RecordTable& table, int text_offset) {
  BlockWriter writer(stdout);
  const LineFormat format{text_offset, false, ""};
  gather_lines(table, format, thread_count(), [&](std::string_view b) { writer.append(b); });
  const bool written = writer.finish();
  const bool flushed = std::fflush(stdout) == 0;
  if (!written || !flushed) {
    report_path("fwrite() error-1", "stdout");
    return Delivery::Failed;
  }
  return Delivery::Written;
}

void error_handler(const char* message, const std::string& path) {
  FilePointer log(std::fopen(ERROR_LOG_PATH, "w"));
  if (log) std::fprintf(log.get(), "%s %s", message, path.c_str());
}

}  // namespace zelto
