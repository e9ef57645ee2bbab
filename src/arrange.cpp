#include "arrange.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "external_sort.h"
#include "line_gathering.h"
#include "line_sink.h"
#include "mapped_file.h"
#include "memory_budget.h"
#include "output_file.h"
#include "parallel.h"
#include "progress.h"
#include "run_length.h"

namespace zelto {

namespace {

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
  report(std::string(site) + ": " + path);
}

void report_bytes(const char* site, long long bytes) {
  report(std::string(site) + ": " + std::to_string(bytes) + " bytes");
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

// Sizes that would make a pass read outside its records are refused.
bool sizes_are_valid(const ArrangeArguments& args) {
  if (args.record_count < 0) {
    report("record count error: " + std::to_string(args.record_count));
    return false;
  }
  if (args.record_count > 0 && args.record_size < MINIMUM_RECORD_SIZE) {
    report("record size error: " + std::to_string(args.record_size) + " bytes");
    return false;
  }
  return true;
}

constexpr ArrangeResult FAILED = {ERROR_CODE, false};

// Appends the line of each record that a merge hands on to the sink.
class LinesOfRecords final : public RecordVisitor {
 public:
  LinesOfRecords(LineSink& sink, std::size_t record_size)
      : sink_(sink), record_size_(record_size) {}
  void visit(const unsigned char* record) override { sink_.append_line_of(record, record_size_); }

 private:
  LineSink& sink_;
  std::size_t record_size_;
};

// Keeps, in place, each record whose pattern code differs from the code of
// the record just before it in sorted order, and returns how many it kept.
// The first record is always kept: its predecessor counts as the one-byte
// code 80h, which no 640-bit pattern has.
// Each thread packs the kept entries of its part at the part's start,
// comparing against the record its part's first entry followed (read before
// any part moves), then the parts move together, in order.
std::size_t keep_new_patterns(const unsigned char* records, std::size_t record_size,
                              std::span<std::uint32_t> order, unsigned threads) {
  const std::size_t count = order.size();
  const std::size_t parts = part_count(count, threads);
  std::vector<std::uint32_t> before(parts);
  for (std::size_t p = 1; p < parts; ++p) before[p] = order[part_start(count, parts, p) - 1];
  std::vector<std::size_t> kept(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    const std::size_t begin = part_start(count, parts, p);
    const std::size_t end = part_start(count, parts, p + 1);
    const RecordTable table{records, record_size, order};
    std::size_t out = begin;
    const unsigned char* previous = p > 0 ? records + before[p] * record_size : nullptr;
    for (std::size_t i = begin; i < end; ++i) {
      table.prefetch_ahead(i, end, 0);
      const unsigned char* record = table.record(i);
      // Writes only at or behind the read position.
      if (previous == nullptr || !same_pattern_code(record, previous)) order[out++] = order[i];
      previous = record;
    }
    kept[p] = out - begin;
  });
  std::size_t total = kept[0];
  for (std::size_t p = 1; p < parts; ++p) {
    const std::size_t begin = part_start(count, parts, p);
    std::memmove(order.data() + total, order.data() + begin, kept[p] * sizeof(std::uint32_t));
    total += kept[p];
  }
  return total;
}

// Where the lines of this pass go: an output that is the record file open
// as `input` replaces it only once every line is written.
LineDestination destination_of(const ArrangeArguments& args, std::FILE* input) {
  return {args.output_path, args.numbered == 1 ? NUMBERED_TEXT_OFFSET : TEXT_OFFSET, args.crlf == 1,
          identity_of(fileno(input)), args.durable};
}

// False for a regular file too short for its records: such a run fails
// whichever way it goes, and the in-memory pass reports it as it always has.
bool may_hold(std::FILE* input, std::size_t total) {
  const std::optional<std::uint64_t> size = regular_file_size(fileno(input));
  return !size.has_value() || *size >= total;
}

// The pass for records beyond the memory budget: sorted runs on a temporary
// file, merged straight into the line output.
ArrangeResult arrange_externally(const ArrangeArguments& args, const PassMessages& messages,
                                 bool unique, FilePointer input, const ExternalPlan& plan,
                                 Progress& progress) {
  const auto count = static_cast<std::size_t>(args.record_count);
  const auto record_size = static_cast<std::size_t>(args.record_size);
  const auto total = static_cast<long long>(count * record_size);
  const SortPolicy policy = select_policy(args.key_type, args.case_sensitive, args.descending);
  ExternalSort sorter(record_size, policy, plan, progress);
  const ExternalStatus prepared = sorter.prepare(input.get(), count);
  // No message may land on the status line.
  if (prepared != ExternalStatus::Done) progress.stop();
  switch (prepared) {
    case ExternalStatus::Done: break;
    case ExternalStatus::ReadFailure:
      report_path(messages.read_failure, args.input_path);
      return FAILED;
    case ExternalStatus::AllocationFailure:
      report_bytes(messages.first_allocation_failure, total);
      return FAILED;
    case ExternalStatus::TemporaryFileFailure: return FAILED;
  }
  // As in memory: every buffer is had before any output is opened.
  const LargeBuffer write_block(LINE_BLOCK);
  if (!write_block.allocated() || sorter.reserve_merge() != ExternalStatus::Done) {
    progress.stop();
    report_bytes(messages.later_allocation_failure, total);
    return FAILED;
  }
  LineSink sink(destination_of(args, input.get()), {write_block.data(), LINE_BLOCK});
  // Every record is read before any output is opened, too.
  input.reset();
  if (!sink.open()) return FAILED;
  LinesOfRecords lines(sink, record_size);
  const ExternalStatus merged = sorter.merge(lines, unique);
  progress.stop();
  const ArrangeResult delivered = merged == ExternalStatus::Done ? sink.finish() : sink.abandon();
  if (merged == ExternalStatus::AllocationFailure) {
    report_bytes(messages.later_allocation_failure, total);
  }
  return delivered;
}

ArrangeResult arrange_records(const ArrangeArguments& args, const PassMessages& messages,
                              bool unique) {
  if (!sizes_are_valid(args)) return FAILED;
  std::uint64_t budget = 0;
  if (!memory_budget(budget)) return FAILED;
  FilePointer input(std::fopen(args.input_path.c_str(), "rb"));
  if (!input) {
    report_path(messages.open_failure, args.input_path);
    return FAILED;
  }
  const auto count = static_cast<std::size_t>(args.record_count);
  const std::size_t record_size = count == 0 ? 0 : static_cast<std::size_t>(args.record_size);
  // The total never wraps: both factors are below 2^31.
  const std::size_t total = count * record_size;
  Progress progress = Progress::on_standard_error();
  if (!fits_in_memory(count, record_size, budget) && may_hold(input.get(), total)) {
    return arrange_externally(args, messages, unique, std::move(input),
                              plan_external(count, record_size, budget), progress);
  }
  // A file this run opens for writing must not be the mapped one: truncating
  // it would pull the pages from under the mapping.
  const bool to_stdout = args.output_path.empty();
  const bool may_map =
      !must_copy(args.input_path, {args.output_path, FALLBACK_PATH, ERROR_LOG_PATH}, to_stdout);
  RecordFile records;
  progress.begin_uncounted("reading", count);
  const LoadStatus loaded = records.load(fileno(input.get()), total, may_map);
  if (loaded == LoadStatus::AllocationFailed) {
    report_bytes(messages.first_allocation_failure, static_cast<long long>(total));
    return FAILED;
  }
  SortSpace space(count);
  // Every buffer the pass needs is had before any output is opened.
  const LargeBuffer write_block(LINE_BLOCK);
  if (!space.allocated() || !write_block.allocated()) {
    report_bytes(messages.later_allocation_failure, static_cast<long long>(total));
    return FAILED;
  }
  if (loaded == LoadStatus::ReadFailed) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  LineSink sink(destination_of(args, input.get()), {write_block.data(), LINE_BLOCK});
  // The input is closed before any output is opened: the output may be the
  // record file itself. A mapping outlives it.
  input.reset();

  const unsigned threads = thread_count();
  const SortPolicy policy = select_policy(args.key_type, args.case_sensitive, args.descending);
  progress.begin_uncounted("sorting", count);
  std::span<std::uint32_t> order =
      sort_records(records.data(), record_size, policy, space, threads);
  if (unique) order = order.first(keep_new_patterns(records.data(), record_size, order, threads));
  // A record file that shrank while mapped was read as zeros in part; one
  // written over was sorted by keys that were not all there at once.
  if (records.changed()) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  progress.begin_uncounted("writing", order.size());
  if (!sink.open()) return FAILED;
  gather_lines(RecordTable{records.data(), record_size, order}, sink.format(), threads, sink);
  const ArrangeResult delivered = sink.finish(!records.changed());
  if (records.changed()) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  return delivered;
}

// A pass never ends in an exception: memory that could not be had after all
// is reported as the pass's allocation failure, with the records' total.
ArrangeResult arrange(const ArrangeArguments& args, const PassMessages& messages, bool unique) {
  try {
    return arrange_records(args, messages, unique);
  } catch (const std::bad_alloc&) {
    const long long total = static_cast<long long>(args.record_count) * args.record_size;
    report_bytes(messages.later_allocation_failure, total);
    return FAILED;
  }
}

}  // namespace

SortPolicy select_policy(std::int32_t key_type, int case_sensitive, int descending) {
  const bool down = descending == 1;
  switch (static_cast<KeyType>(key_type)) {
    case KeyType::Integers:
      return {KeyKind::Integers, down, down ? compare_integers_descending : compare_integers};
    case KeyType::Doubles:
      return {KeyKind::Doubles, down, down ? compare_doubles_descending : compare_doubles};
    case KeyType::Phrase:
      if (case_sensitive == 0) {
        return {KeyKind::FoldedPhrase, down,
                down ? case_insensitive_comparison_descending : case_insensitive_comparison};
      }
      break;
  }
  // Any other key type is a phrase compared exactly, whatever the case flag.
  return {KeyKind::Phrase, down, down ? compare_phrases_descending : compare_phrases};
}

ArrangeResult arranging_to_produce_text(const ArrangeArguments& args) {
  return arrange(args, PLAIN_PASS, false);
}

ArrangeResult arranging_unique_lines_to_produce_text(const ArrangeArguments& args) {
  return arrange(args, UNIQUE_PASS, true);
}

}  // namespace zelto
