#include "sort_main.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <vector>

#include "line_input.h"
#include "line_merge.h"
#include "line_sink.h"
#include "parallel.h"
#include "process.h"
#include "progress.h"
#include "sort_messages.h"
#include "sort_options.h"
#include "sort_runs.h"
#include "sort_setup.h"
#include "sort_system.h"
#include "sorted_output.h"
#include "temp_files.h"

namespace zelto::sorter {

namespace {

// The buffer of each stream of a merge lies between these. Reads of more
// than the largest gain nothing: the bytes the system copies in push the
// lines being merged out of the processor's cache (a merge of 2 or 19
// sorted files of 600 MB in all took 4-7% longer with 4 MiB buffers).
constexpr std::size_t SMALLEST_STREAM_BUFFER = std::size_t{64} << 10;
constexpr std::size_t LARGEST_STREAM_BUFFER = std::size_t{256} << 10;
std::size_t stream_buffer_bytes(std::uint64_t budget, std::size_t streams) {
  return static_cast<std::size_t>(std::clamp<std::uint64_t>(
      budget / (streams + 1), SMALLEST_STREAM_BUFFER, LARGEST_STREAM_BUFFER));
}

// The identity of the input that the -o file is, if it is one.
std::optional<FileIdentity> output_as_input(const RunContext& run) {
  if (!run.command.output.has_value()) return std::nullopt;
  const std::optional<FileIdentity> output = identity_of(*run.command.output);
  if (!output.has_value()) return std::nullopt;
  for (const std::string& name : run.command.files) {
    if (input_identity(name) == output) return output;
  }
  return std::nullopt;
}

// Opens the output into `sink`; false after reporting a failure. An output
// that was not there when the run began, but now names one of the inputs,
// names it through standard input's number, which that input took (-o
// /dev/stdin with standard input closed): sort looked before opening any
// input, found no such file, and refused, and so does this.
bool open_output(const RunContext& run, LineSink& sink) {
  const std::optional<FileIdentity> input = output_as_input(run);
  if (input.has_value() && !run.output_was_there) {
    report("open failed: " + quote_file(*run.command.output) + ": " + error_text(ENOENT));
    return false;
  }
  return sink.open(run.command.output, input);
}

bool too_many_open_files(int error) {
  return error == EMFILE || error == ENFILE;
}

// Opens input `name` for reading: its descriptor, or -1 with `error` set.
int try_open_input(const std::string& name, int& error) {
  if (name == "-") return STANDARD_INPUT;
  return open_for_reading(name, error);
}

// Reports that input `name` could not be opened for `what`. An input that
// cannot be opened only because too many files are open is reported as an
// open that failed, whatever was being done.
void report_unopened(const std::string& name, const char* what, int error) {
  if (too_many_open_files(error)) what = "open failed";
  report(std::string(what) + ": " + quote_file(name) + ": " + error_text(error));
}

// Opens input `name` for reading; -1 after reporting `what` failed.
int open_input(const std::string& name, const char* what) {
  int error = 0;
  const int fd = try_open_input(name, error);
  if (fd < 0) report_unopened(name, what, error);
  return fd;
}

ReadBytes reader_of(int fd) {
  return
      [fd](char* data, std::size_t size, int& error) { return read_some(fd, data, size, error); };
}

int check_order(const RunContext& run, const text::LineComparator& comparator) {
  const std::string& name = run.command.files[0];
  const int fd = open_input(name, "open failed");
  if (fd < 0) return STATUS_TROUBLE;
  LineCursor cursor(reader_of(fd), name, run.terminator, LARGEST_STREAM_BUFFER);
  std::string previous;
  bool first = true;
  const bool strict = run.command.settings.unique;
  for (std::uint64_t number = 1; cursor.next(); ++number) {
    const std::string_view line = cursor.line();
    if (!first) {
      const int order = comparator.compare(previous, line);
      if (order > 0 || (strict && order == 0)) {
        close_file(fd);
        if (run.command.check == CheckMode::Diagnose) {
          clear_status_line();
          std::string message = std::string(program_name()) + ": " + name + ":" +
                                std::to_string(number) + ": disorder: ";
          message.append(line).push_back(run.terminator);
          print(stderr, message);
        }
        return STATUS_DISORDER;
      }
    }
    previous.assign(line);
    first = false;
  }
  close_file(fd);
  return cursor.failed() ? STATUS_TROUBLE : STATUS_OK;
}

std::vector<std::string> temporary_directories(const SortCommand& command) {
  if (!command.temporary_directories.empty()) return command.temporary_directories;
  return {temporary_directory()};
}

// The bytes of the regular files among the inputs: what the runs on disk
// will hold at most, were the inputs to outgrow the budget.
std::uint64_t regular_input_bytes(const std::vector<std::string>& names) {
  std::uint64_t total = 0;
  for (const std::string& name : names) {
    if (name != "-") total += regular_file_bytes(name).value_or(0);
  }
  return total;
}

// Inputs open for a merge, closed with it.
class OpenInputs {
 public:
  OpenInputs() = default;
  OpenInputs(const OpenInputs&) = delete;
  OpenInputs& operator=(const OpenInputs&) = delete;
  ~OpenInputs() { close(); }
  void close() {
    for (const int fd : fds_) close_file(fd);
    fds_.clear();
  }
  // Opens `names` in turn and makes a stream of each: how many were opened,
  // or -1 after reporting one that could not be. Once two are open, enough
  // for a merge, an input that cannot be opened only because too many files
  // are open ends the opening instead, unreported.
  long open(std::span<const std::string> names, char terminator, std::size_t buffer) {
    for (const std::string& name : names) {
      int error = 0;
      const int fd = try_open_input(name, error);
      if (fd < 0) {
        if (fds_.size() >= 2 && too_many_open_files(error)) break;
        report_unopened(name, "cannot read", error);
        return -1;
      }
      fds_.push_back(fd);
      streams_.push_back(std::make_unique<LineCursor>(reader_of(fd), name, terminator, buffer));
    }
    return static_cast<long>(fds_.size());
  }
  [[nodiscard]] std::span<const std::unique_ptr<LineCursor>> streams() const { return streams_; }

 private:
  std::vector<int> fds_;
  std::vector<std::unique_ptr<LineCursor>> streams_;
};

// Merges into the output with `merge(sink)` (a status); `inputs`, if any,
// are closed before the output takes its name, as a system may refuse to
// replace an open file.
template <class Merge>
int merge_into_output(const RunContext& run, const Merge& merge, OpenInputs* inputs) {
  LineSink sink;
  if (!open_output(run, sink)) return STATUS_TROUBLE;
  const int status = merge(sink);
  if (inputs != nullptr) inputs->close();
  if (status != STATUS_OK) {
    sink.abandon();
    return status;
  }
  return sink.finish() ? STATUS_OK : STATUS_TROUBLE;
}

// Merges `streams` into the output.
int merge_into_output(const RunContext& run, const text::LineComparator& comparator,
                      std::span<const std::unique_ptr<LineCursor>> streams, OpenInputs* inputs) {
  return merge_into_output(
      run,
      [&](ByteSink& sink) {
        return merge_streams(streams, comparator, run.command.settings.unique, run.command.debug,
                             run.terminator, run.threads, sink);
      },
      inputs);
}

// How many streams one merge reads, each holding `files_each` files open:
// --batch-size, and what the limit of open files leaves beside the
// standard streams, the runs on disk and `others`.
std::size_t width_within_open_files(const RunContext& run, std::uint64_t others,
                                    std::uint64_t files_each) {
  const std::uint64_t taken = temporary_directories(run.command).size() + others;
  const std::uint64_t open_files = largest_batch_size();
  std::uint64_t width = open_files > taken ? (open_files - taken) / files_each : 2;
  if (run.command.batch_size != 0) width = std::min(width, run.command.batch_size);
  return static_cast<std::size_t>(std::max<std::uint64_t>(width, 2));
}

// How many inputs one merge holds open.
std::size_t merge_width(const RunContext& run) {
  return width_within_open_files(run, 2, 1);
}

// How many packed runs one merge reads: each holds its file open, and
// while it is read a pipe from the program that unpacks it; up to twice as
// many are stored before they are merged. Files open already, and a few
// for the rest (an input, the output, the run being written and its pipe),
// are left out.
std::size_t packed_merge_width(const RunContext& run) {
  constexpr std::uint64_t OTHER_FILES = 6;
  return width_within_open_files(run, files_held_open() + OTHER_FILES, 3);
}

// With --batch-size, or runs packed, merges the runs into so few that one
// merge reads them all: 0, or the status after a reported failure. Other
// runs share their files and are merged all at once.
int narrow_runs(const RunContext& run, RunStore& runs) {
  if (!runs.packed() && run.command.batch_size == 0) return STATUS_OK;
  const std::size_t width = runs.packed() ? packed_merge_width(run) : merge_width(run);
  return runs.narrow_to(width, stream_buffer_bytes(run.budget, width));
}

// Runs go through the program of --compress-program, if there is one.
void pack_runs(const RunContext& run, RunStore& runs) {
  if (!run.command.compress_program.has_value()) return;
  const std::size_t width = packed_merge_width(run);
  runs.pack_with(*run.command.compress_program, width, stream_buffer_bytes(run.budget, width));
}

// Merges every run into the output on one thread, a stream each.
int merge_runs_into_output(const RunContext& run, const text::LineComparator& comparator,
                           RunStore& runs) {
  std::vector<std::unique_ptr<LineCursor>> streams;
  if (!runs.read_all(stream_buffer_bytes(run.budget, runs.run_count()), streams)) {
    return STATUS_TROUBLE;
  }
  return merge_into_output(
      run,
      [&](ByteSink& sink) {
        const int status = merge_streams(streams, comparator, run.command.settings.unique,
                                         run.command.debug, run.terminator, run.threads, sink);
        streams.clear();
        if (status != STATUS_OK) return status;
        return runs.end_reading() ? STATUS_OK : STATUS_TROUBLE;
      },
      nullptr);
}

// -m: the inputs merged as they are. More of them than one merge can hold
// open (by --batch-size, the limit of open files, or the files open
// already) are merged a group at a time into runs on disk first.
int merge_inputs(const RunContext& run, const text::LineComparator& comparator) {
  const std::vector<std::string>& names = run.command.files;
  const std::size_t width = merge_width(run);
  if (names.size() <= width) {
    OpenInputs inputs;
    const long opened =
        inputs.open(names, run.terminator, stream_buffer_bytes(run.budget, names.size()));
    if (opened < 0) return STATUS_TROUBLE;
    if (static_cast<std::size_t>(opened) == names.size()) {
      return merge_into_output(run, comparator, inputs.streams(), &inputs);
    }
  }
  const OutputStyle style{run.command.settings.unique, false, run.terminator};
  RunStore runs(temporary_directories(run.command), comparator, style, run.threads);
  runs.expect_input(regular_input_bytes(names));
  pack_runs(run, runs);
  for (std::size_t first = 0; first < names.size();) {
    const std::size_t count = std::min(width, names.size() - first);
    if (!runs.prepare_next_run()) return STATUS_TROUBLE;
    OpenInputs group;
    const long opened = group.open(std::span(names).subspan(first, count), run.terminator,
                                   stream_buffer_bytes(run.budget, count));
    if (opened < 0) return STATUS_TROUBLE;
    if (const int status = runs.store_merge(group.streams()); status != STATUS_OK) return status;
    first += static_cast<std::size_t>(opened);
  }
  if (const int status = narrow_runs(run, runs); status != STATUS_OK) return status;
  return merge_runs_into_output(run, comparator, runs);
}

// What a batch may hold: the budget less what the sort of a batch and the
// writing of a run need beside it (the program itself and a block of the
// run's writer; on each thread the engine's scratch and four pieces of
// formatted lines), but at least half of the budget.
std::uint64_t batch_limit(const RunContext& run) {
  // Runs that a program packs are as small as -S asks, however small: that
  // program is then run as the budget would have it run.
  if (run.command.compress_program.has_value() && run.asked_budget < run.budget) {
    return std::max<std::uint64_t>(run.asked_budget / 2, 1);
  }
  constexpr std::uint64_t mebibyte = std::uint64_t{1} << 20;
  const std::uint64_t beside = 12 * mebibyte + std::uint64_t{run.threads} * 11 * mebibyte;
  return std::max(run.budget / 2, run.budget > beside ? run.budget - beside : 0);
}

// Reads every input into `batch`; batches beyond the budget go to `runs`.
int read_inputs(const RunContext& run, RunStore& runs, LineBatch& batch, Progress& progress) {
  ReadPlan plan;
  plan.terminator = run.terminator;
  plan.limit = batch_limit(run);
  plan.threads = run.threads;
  plan.spill = [&](LineBatch& full) {
    progress.begin_uncounted("storing", full.lines.size());
    const bool stored = runs.spill(full);
    progress.begin_uncounted("reading", 0);
    return stored;
  };
  progress.begin_uncounted("reading", 0);
  for (const std::string& name : run.command.files) {
    // A sort looks at each input's status before it reads: a closed
    // standard input fails there.
    if (const int error = name == "-" ? status_error(STANDARD_INPUT) : 0; error != 0) {
      report("stat failed: -: " + error_text(error));
      return STATUS_TROUBLE;
    }
    const int fd = open_input(name, "cannot read");
    if (fd < 0) return STATUS_TROUBLE;
    const int status = read_input(fd, name, plan, batch);
    close_file(fd);
    if (status != STATUS_OK) return status;
    if (batch.lines.size() >= MOST_LINES_SORTED / 2 && !plan.spill(batch)) return STATUS_TROUBLE;
  }
  return STATUS_OK;
}

// Sorts the batch that held every line and writes it out.
int write_sorted_batch(const RunContext& run, const text::LineComparator& comparator,
                       const OutputStyle& style, LineBatch& batch, Progress& progress) {
  LineOrder order(batch.lines.size());
  if (!order.allocated()) {
    report("memory exhausted");
    return STATUS_TROUBLE;
  }
  progress.begin_uncounted("sorting", batch.lines.size());
  sort_lines(batch.lines, comparator, order, run.threads);
  LineSink sink;
  if (!open_output(run, sink)) return STATUS_TROUBLE;
  progress.begin_uncounted("writing", batch.lines.size());
  write_in_order(batch.lines, order.indices(), comparator, style, run.threads, sink);
  if (!batch.mappings_intact()) {
    sink.abandon();
    return STATUS_TROUBLE;
  }
  // The inputs are let go before the output takes its name: a system may
  // refuse to replace a file that is still mapped or open.
  batch.clear();
  return sink.finish() ? STATUS_OK : STATUS_TROUBLE;
}

// Runs of fewer bytes than this are merged on one thread.
constexpr std::uint64_t PARALLEL_MERGE_BYTES = std::uint64_t{1} << 20;
// The most parts times runs a merge is cut into (48 parts of 19 runs took
// 0.05 s to find on two threads).
constexpr std::uint64_t MOST_PART_SEARCHES = std::uint64_t{1} << 12;

// Merges the runs on disk into the output: with threads to share it, cut
// into parts by ranges of keys, each merged on one thread, a part held in
// memory until the parts before it are written.
int write_merged_runs(const RunContext& run, const text::LineComparator& comparator, RunStore& runs,
                      Progress& progress) {
  progress.begin_uncounted("merging", runs.line_count());
  if (const int status = narrow_runs(run, runs); status != STATUS_OK) return status;
  const std::size_t streams = runs.run_count();
  constexpr std::uint64_t mebibyte = std::uint64_t{1} << 20;
  const std::uint64_t threads = run.threads;
  // A thread may hold about a quarter of its share of the budget (from 1 to
  // 16 MiB) while it waits for its turn, and parts are about that size; its
  // streams share the rest, but need not hold much more than their share
  // of a part. A budget too small for every thread's streams and part
  // leaves the merge to one thread.
  const std::uint64_t held = std::clamp(run.budget / (4 * threads), mebibyte, 16 * mebibyte);
  if (run.threads == 1 || runs.packed() || runs.stored_bytes() < PARALLEL_MERGE_BYTES ||
      threads * (held + streams * SMALLEST_STREAM_BUFFER) > run.budget) {
    return merge_runs_into_output(run, comparator, runs);
  }
  // Finding the parts reads a sample of every run for each part, and
  // searches every run for each part's start: the parts are fewer where the
  // runs are many, even if a thread then holds a part only in its turn.
  const std::uint64_t most_parts = std::max(4 * threads, MOST_PART_SEARCHES / streams);
  const auto parts =
      static_cast<std::size_t>(std::clamp(runs.stored_bytes() / held, 4 * threads, most_parts));
  const std::uint64_t share = std::max<std::uint64_t>(2 * held / streams, SMALLEST_STREAM_BUFFER);
  const std::size_t buffer = std::min<std::size_t>(
      stream_buffer_bytes((run.budget - std::min(run.budget, threads * held)) / threads, streams),
      static_cast<std::size_t>(share));
  const std::unique_ptr<MergeParts> plan = runs.parts(parts, buffer, run.threads);
  if (plan == nullptr) return STATUS_TROUBLE;
  return merge_into_output(
      run,
      [&](ByteSink& sink) {
        return merge_parts(*plan, comparator, run.command.settings.unique, run.command.debug,
                           run.terminator, run.threads, static_cast<std::size_t>(held), sink);
      },
      nullptr);
}

// Before a sort reads, it checks that every named input may be read, and
// then that the output may be written, as sort does: an input that cannot
// be opened, or an output that cannot be made, is reported even where an
// input before it would fail as it is read (a directory, say).
int check_access(const RunContext& run) {
  for (const std::string& name : run.command.files) {
    if (name == "-") continue;
    if (const int error = read_access_error(name); error != 0) {
      report("cannot read: " + quote_file(name) + ": " + error_text(error));
      return STATUS_TROUBLE;
    }
  }
  const std::optional<std::string>& output = run.command.output;
  if (const int error = output.has_value() ? write_access_error(*output) : 0; error != 0) {
    report("open failed: " + quote_file(*output) + ": " + error_text(error));
    return STATUS_TROUBLE;
  }
  return STATUS_OK;
}

int sort_inputs(const RunContext& run, const text::LineComparator& comparator) {
  if (const int status = check_access(run); status != STATUS_OK) return status;
  const OutputStyle style{run.command.settings.unique, run.command.debug, run.terminator};
  RunStore runs(temporary_directories(run.command), comparator, style, run.threads);
  runs.expect_input(regular_input_bytes(run.command.files));
  pack_runs(run, runs);
  Progress progress = Progress::on_standard_error({program_name(), "lines"});
  LineBatch batch;
  int status = read_inputs(run, runs, batch, progress);
  if (status == STATUS_OK && runs.empty()) {
    status = write_sorted_batch(run, comparator, style, batch, progress);
  } else if (status == STATUS_OK) {
    progress.begin_uncounted("storing", batch.lines.size());
    const bool stored = runs.spill(batch);
    // What was kept for another batch goes before the merge needs memory.
    batch.clear();
    runs.stop_storing();
    status = stored ? write_merged_runs(run, comparator, runs, progress) : STATUS_TROUBLE;
  }
  progress.stop();
  return status;
}

int run_parsed(RunContext& run) {
  run.output_was_there = run.command.output.has_value() && identity_of(*run.command.output);
  if (const int status = prepare_run(run); status != STATUS_OK) return status;
  const text::LineComparator comparator(run.command.settings);
  if (run.command.check != CheckMode::None) return check_order(run, comparator);
  if (run.command.merge) return merge_inputs(run, comparator);
  return sort_inputs(run, comparator);
}

int run_command(int argc, char** argv) {
  prepare_process();
  return_freed_memory_at_once();
  if (argc > 0 && argv[0] != nullptr) set_program_name(argv[0]);
  const std::vector<std::string> arguments(argv + std::min(argc, 1), argv + argc);
  RunContext run;
  const ParseOutcome outcome =
      parse_command_line(arguments, run.command, command_line_rules_from_environment());
  if (!outcome.out.empty()) {
    int error = 0;
    if (!write_standard_output(outcome.out.data(), outcome.out.size(), error)) {
      report("write error: " + error_text(error));
      return STATUS_TROUBLE;
    }
  }
  if (!outcome.err.empty()) print(stderr, outcome.err);
  if (!outcome.run) return outcome.status;
  try {
    return run_parsed(run);
  } catch (const std::bad_alloc&) {
    report("memory exhausted");
    return STATUS_TROUBLE;
  } catch (const std::exception& failure) {
    // A thread that could not be started, and the like.
    report(failure.what());
    return STATUS_TROUBLE;
  }
}

}  // namespace

int run_sort_command(int argc, char** argv) {
  const int status = run_command(argc, argv);
  // A message that could not be written (standard error closed or full)
  // fails the run, as with sort.
  return std::ferror(stderr) != 0 ? STATUS_TROUBLE : status;
}

}  // namespace zelto::sorter
