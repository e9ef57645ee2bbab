#include "arrange.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "external_sort.h"
#include "line_gathering.h"
#include "mapped_file.h"
#include "memory_budget.h"
#include "output_file.h"
#include "parallel.h"
#include "progress.h"
#include "run_length.h"

namespace zelto {

namespace {

// Lines are gathered into blocks of this size before they are written.
constexpr std::size_t WRITE_BLOCK = OUTPUT_BLOCK;

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

// Every message of a pass erases the status line first.
void report_path(const char* site, const std::string& path) {
  clear_status_line();
  std::fprintf(stderr, "%s: %s\n", site, path.c_str());
}

void report_bytes(const char* site, long long bytes) {
  clear_status_line();
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

// Gathers bytes into a block reserved beforehand, so that no allocation can
// fail once an output is open, and remembers whether any write failed. The
// block is used as two halves: while one is written, on a thread of its own
// where the run has more than one, the other fills.
class BlockWriter {
 public:
  BlockWriter(std::FILE* stream, std::span<unsigned char> block)
      : stream_(stream),
        half_(block.size() / 2),
        block_(block),
        writer_([this](std::size_t half) { write_half(half); }, thread_count()) {}

  void append(std::string_view bytes) {
    if (used_ + bytes.size() > half_) hand_over();
    if (bytes.size() > half_) {
      writer_.wait();
      write(bytes);
    } else {
      std::memcpy(filling() + used_, bytes.data(), bytes.size());
      used_ += bytes.size();
    }
  }

  // Writes what is gathered; true when every write so far succeeded.
  [[nodiscard]] bool finish() {
    hand_over();
    writer_.wait();
    return ok_;
  }

 private:
  [[nodiscard]] unsigned char* filling() const { return block_.data() + current_ * half_; }

  void hand_over() {
    if (used_ == 0) return;
    filled_[current_] = used_;
    writer_.post(current_);
    current_ ^= 1;
    used_ = 0;
  }

  void write_half(std::size_t half) {
    write({reinterpret_cast<const char*>(block_.data() + half * half_), filled_[half]});
  }

  void write(std::string_view bytes) {
    if (ok_ && !bytes.empty() &&
        std::fwrite(bytes.data(), 1, bytes.size(), stream_) != bytes.size()) {
      ok_ = false;
    }
  }

  std::FILE* stream_;
  std::size_t half_;
  std::span<unsigned char> block_;
  std::size_t current_ = 0;  // the half being filled
  std::size_t used_ = 0;
  std::size_t filled_[2] = {0, 0};  // the bytes handed over in each half
  bool ok_ = true;
  BackgroundJob writer_;  // last: its thread stops before the rest goes
};

// Hands a pass's records, in order, to a visitor; false when they could not
// all be had (the reason is reported already).
using RecordFeed = std::function<bool(const RecordVisitor&)>;

using Emit = std::function<void(std::string_view)>;

// Hands every line of a pass, in order and in `format`, to `emit`; false
// when the records could not all be had (the reason is reported already).
using LineSource = std::function<bool(const LineFormat&, const Emit&)>;

// The lines of records held in memory, gathered on every core.
LineSource lines_of(const RecordTable& table) {
  return [&table](const LineFormat& format, const Emit& emit) {
    gather_lines(table, format, thread_count(), emit);
    return true;
  };
}

// The lines of records as a feed hands them over, one at a time.
LineSource lines_of(const RecordFeed& feed, std::size_t record_size) {
  return [&feed, record_size](const LineFormat& format, const Emit& emit) {
    const auto visit = [&](const unsigned char* record) {
      emit(line_of(record, record_size, format));
      emit(format.line_end);
    };
    // By reference: a visitor held in place costs no memory once the
    // output is open.
    return feed(std::cref(visit));
  };
}

enum class Written { All, WriteFailed, FeedFailed };

// Writes every line in `format` to `stream`, gathered in `block`.
Written write_lines(std::FILE* stream, const LineSource& lines, const LineFormat& format,
                    std::span<unsigned char> block) {
  BlockWriter writer(stream, block);
  const bool fed = lines(format, [&](std::string_view bytes) { writer.append(bytes); });
  const bool written = writer.finish();
  if (!fed) return Written::FeedFailed;
  return written ? Written::All : Written::WriteFailed;
}

// False when the records turned out unreadable after their lines were made.
bool records_intact(const OutputContext& context) {
  return !context.records_intact || context.records_intact();
}

// Another file took the record file's name while the lines replacing it
// were written: that file stays, and the finished lines go to the fallback
// file, as for an output that could not be opened.
Delivery deliver_to_fallback(const std::string& output_path, OutputFile& replacement,
                             OutputContext& context) {
  error_handler("fopen() error-1:", output_path, context.input);
  OutputFile fallback;
  if (!fallback.open(FALLBACK_PATH, context.input)) {
    report_path("fopen() error-4", FALLBACK_PATH);
    return Delivery::Failed;
  }
  if (!replacement.copy_lines_to(fallback.stream()) || !fallback.commit(context.durable)) {
    clear_status_line();
    if (!fallback.report_failed_step(FALLBACK_PATH)) report_path("fwrite() error-1", FALLBACK_PATH);
    return Delivery::Failed;
  }
  return Delivery::FellBack;
}

// The line output of `producing`, from any feed.
Delivery produce_from(const std::string& output_path, const LineSource& lines,
                      OutputContext& context) {
  Delivery delivery = Delivery::Written;
  std::string path = output_path;
  OutputFile output;
  if (!output.open(path, context.input)) {
    delivery = Delivery::FellBack;
    error_handler("fopen() error-1:", output_path, context.input);
    path = FALLBACK_PATH;
    if (!output.open(path, context.input)) {
      report_path("fopen() error-4", path);
      return Delivery::Failed;
    }
  }
  // In a file only the first newline ends a line: the rest of the text field
  // is dropped.
  const LineFormat format{context.text_offset, true, context.crlf == 1 ? "\r\n" : "\n"};
  const Written written = write_lines(output.stream(), lines, format, context.block);
  // Records that could not all be had leave no output that looks like a
  // result: a replacement is dropped, a file written in place removed.
  if (written == Written::FeedFailed || !records_intact(context)) {
    output.abandon();
    return Delivery::Failed;
  }
  // A replacement takes the record file's place only here, once it is whole.
  const bool committed = written == Written::All && output.commit(context.durable);
  if (!committed && output.name_taken()) return deliver_to_fallback(output_path, output, context);
  if (!committed) {
    clear_status_line();
    if (!output.report_failed_step(path)) report_path("fwrite() error-1", path);
    return Delivery::Failed;
  }
  context.delivered_into_input = output.replaces_input();
  return delivery;
}

// The line output of `display_records`, from any feed.
Delivery display_from(const LineSource& lines, OutputContext& context) {
  // Lines shown on a terminal must not mix with the status line: it goes
  // before the first of them, wherever standard output leads.
  clear_status_line();
  // Standard output shows each text field as it is.
  const Written written =
      write_lines(stdout, lines, {context.text_offset, false, ""}, context.block);
  const bool flushed = std::fflush(stdout) == 0;
  if (written == Written::FeedFailed) return Delivery::Failed;
  if (written != Written::All || !flushed) {
    report_path("fwrite() error-1", "stdout");
    context.stdout_failed = true;
    return Delivery::Failed;
  }
  // Lines shown in a regular file are output like any other: on storage
  // before the records go.
  if (context.durable && !put_on_stable_storage(stdout)) {
    clear_status_line();
    std::fprintf(stderr, "fsync() error: stdout: %s\n", std::strerror(errno));
    return Delivery::Failed;
  }
  return Delivery::Written;
}

Delivery deliver(const ArrangeArguments& args, const RecordTable& table, OutputContext& context) {
  if (args.output_path.empty()) return display_records(table, context);
  return producing(args.output_path, table, context);
}

ArrangeResult result_of(Delivery delivery, const OutputContext& context) {
  switch (delivery) {
    case Delivery::Written: return {EXIT_OK, true, context.delivered_into_input};
    case Delivery::FellBack: return {ERROR_CODE, true, context.delivered_into_input};
    case Delivery::Failed: break;
  }
  return {ERROR_CODE, false, context.delivered_into_input, context.stdout_failed};
}

constexpr ArrangeResult FAILED = {ERROR_CODE, false};

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

// How the lines of this pass are written: into `write_block`, replacing the
// record file open as `input` when an output is that file.
OutputContext output_context(const ArrangeArguments& args, const LargeBuffer& write_block,
                             std::FILE* input) {
  return {args.numbered == 1 ? NUMBERED_TEXT_OFFSET : TEXT_OFFSET,
          args.crlf,
          {write_block.data(), WRITE_BLOCK},
          identity_of(fileno(input)),
          {},
          args.durable};
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
  const LargeBuffer write_block(WRITE_BLOCK);
  if (!write_block.allocated() || sorter.reserve_merge() != ExternalStatus::Done) {
    progress.stop();
    report_bytes(messages.later_allocation_failure, total);
    return FAILED;
  }
  OutputContext context = output_context(args, write_block, input.get());
  // Every record is read before any output is opened, too.
  input.reset();
  ExternalStatus merged = ExternalStatus::Done;
  const RecordFeed feed = [&](const RecordVisitor& visit) {
    merged = sorter.merge(visit, unique);
    progress.stop();
    return merged == ExternalStatus::Done;
  };
  const LineSource lines = lines_of(feed, record_size);
  const Delivery delivery = args.output_path.empty()
                                ? display_from(lines, context)
                                : produce_from(args.output_path, lines, context);
  if (merged == ExternalStatus::AllocationFailure) {
    report_bytes(messages.later_allocation_failure, total);
  }
  return result_of(delivery, context);
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
  const LargeBuffer write_block(WRITE_BLOCK);
  if (!space.allocated() || !write_block.allocated()) {
    report_bytes(messages.later_allocation_failure, static_cast<long long>(total));
    return FAILED;
  }
  if (loaded == LoadStatus::ReadFailed) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  OutputContext context = output_context(args, write_block, input.get());
  context.records_intact = [&records] { return !records.shrunk(); };
  // The input is closed before any output is opened: the output may be the
  // record file itself. A mapping outlives it.
  input.reset();

  const unsigned threads = thread_count();
  const SortPolicy policy = select_policy(args.key_type, args.case_sensitive, args.descending);
  progress.begin_uncounted("sorting", count);
  std::span<std::uint32_t> order =
      sort_records(records.data(), record_size, policy, space, threads);
  if (unique) order = order.first(keep_new_patterns(records.data(), record_size, order, threads));
  // A record file that shrank while mapped was read as zeros in part.
  if (records.shrunk()) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  progress.begin_uncounted("writing", order.size());
  const Delivery delivery = deliver(args, RecordTable{records.data(), record_size, order}, context);
  if (records.shrunk()) {
    report_path(messages.read_failure, args.input_path);
    return FAILED;
  }
  return result_of(delivery, context);
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

Delivery producing(const std::string& output_path, const RecordTable& table,
                   OutputContext& context) {
  return produce_from(output_path, lines_of(table), context);
}

Delivery display_records(const RecordTable& table, OutputContext& context) {
  return display_from(lines_of(table), context);
}

void error_handler(const char* message, const std::string& path,
                   const std::optional<FileIdentity>& records) {
  if (records.has_value() && identity_of(ERROR_LOG_PATH) == records) {
    clear_status_line();
    std::fprintf(stderr, "%s %s\n", message, path.c_str());
    return;
  }
  FilePointer log(std::fopen(ERROR_LOG_PATH, "w"));
  if (log) std::fprintf(log.get(), "%s %s", message, path.c_str());
}

}  // namespace zelto
