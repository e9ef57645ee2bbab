// Sorted runs of lines stored beyond memory: each batch that outgrows the
// budget is sorted and appended to a nameless file in one of the temporary
// directories (in turn), and the runs are read back as streams for the
// merge, whole or cut into parts by ranges of keys (the places where a
// part starts in each run are found by binary searches over the run's
// bytes). The files vanish with the process, however it ends.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "line_input.h"
#include "line_merge.h"
#include "sort_system.h"
#include "sorted_output.h"

namespace zelto::sorter {

class RunStore {
 public:
  RunStore(std::vector<std::string> directories, const text::LineComparator& comparator,
           OutputStyle style, unsigned threads)
      : directories_(std::move(directories)),
        comparator_(comparator),
        style_(style),
        threads_(threads) {}

  // The inputs hold at least `bytes` in all: before the first run goes to
  // a directory, its file system must have room for its share of them.
  void expect_input(std::uint64_t bytes) { expected_ = bytes; }
  // Sorts the batch, stores it as a run and empties it. False after
  // reporting a failure. The memory of the sort and of the formatted lines
  // is kept for the next batch until `stop_storing`.
  [[nodiscard]] bool spill(LineBatch& batch);
  void stop_storing();
  // Makes the file that the next run goes to, if it is not there yet; false
  // after reporting a failure. A merge of inputs into a run makes it before
  // it opens them: where the limit of open files leaves too few, an input
  // is then the one that cannot be opened, as with sort.
  [[nodiscard]] bool prepare_next_run();
  // Merges sorted `streams` into one run (lines whose keys compare equal
  // kept once with -u). 0, or the status after a reported failure.
  [[nodiscard]] int store_merge(std::span<const std::unique_ptr<LineCursor>> streams);
  [[nodiscard]] bool empty() const { return runs_.empty(); }
  [[nodiscard]] std::size_t run_count() const { return runs_.size(); }
  [[nodiscard]] std::uint64_t line_count() const { return lines_; }
  [[nodiscard]] std::uint64_t stored_bytes() const { return stored_; }
  // The runs are read once, by one of the two below: what a stream has
  // read of its run is let go, and frees its room, as the merge goes on.
  // A stream over each run, in the order they were stored, each reading
  // through a buffer of `buffer_bytes`.
  [[nodiscard]] std::vector<std::unique_ptr<LineCursor>> streams(std::size_t buffer_bytes) const;
  // The runs cut into about `parts` parts of nearly equal bytes by ranges of
  // keys, their cursors reading through buffers of `buffer_bytes`; nullptr
  // after reporting a failed read.
  [[nodiscard]] std::unique_ptr<MergeParts> parts(std::size_t parts, std::size_t buffer_bytes,
                                                  unsigned threads) const;

 private:
  struct Run {
    std::size_t file;
    std::uint64_t offset;
    std::uint64_t size;
  };
  class Parts;
  // A line of a run and where it starts.
  struct Probe {
    std::uint64_t start;
    std::string line;
  };
  // Reads the first line of `run` that starts at or after `offset` (a line
  // starts at 0 or after a terminator) and before `limit` into `probe`; its
  // start is `limit` when there is none. False with `error` set after a
  // failed read.
  [[nodiscard]] bool probe(const Run& run, std::uint64_t offset, std::uint64_t limit, Probe& probe,
                           int& error) const;
  // `count` lines at evenly spaced places of every run, in `samples` by
  // run; false after reporting a failed read.
  [[nodiscard]] bool sample_runs(std::size_t count, unsigned threads,
                                 std::vector<std::vector<Probe>>& samples) const;
  // The lines that close each of about `parts` parts of nearly equal bytes,
  // taken from `samples`, in order and distinct.
  [[nodiscard]] std::vector<std::string_view> choose_splitters(
      const std::vector<std::vector<Probe>>& samples, std::size_t parts) const;
  // Finds `start`, that of the first line of `run` that sorts after
  // `splitter` (the run's size if none does), knowing `samples` of the run
  // in order. False with `error` set after a failed read.
  [[nodiscard]] bool first_after(const Run& run, const std::vector<Probe>& samples,
                                 std::string_view splitter, std::uint64_t& start, int& error) const;
  struct ProbeFailure {
    int error = 0;
    std::size_t run = 0;
  };
  // False after reporting the first of `failures` that has an error.
  [[nodiscard]] bool report_probe_failure(std::span<const ProbeFailure> failures) const;
  // Reads bytes [begin, end) of `run`.
  [[nodiscard]] ReadBytes reader(const Run& run, std::uint64_t begin, std::uint64_t end) const;
  // The place of the next run, its file made if need be; nullptr after
  // reporting a failure.
  struct Place;
  [[nodiscard]] Place* next_place(std::size_t& index);
  // Checks that the place has room for `bytes` more, and for its share of
  // the inputs still to come.
  [[nodiscard]] bool has_room(const Place& place, std::uint64_t bytes) const;
  // Notes the run of `written` bytes just stored at place `place_index`, or
  // reports the failure `error` of its writing. False after reporting.
  [[nodiscard]] bool add_run(std::size_t place_index, std::uint64_t written, int error);

  struct Place {
    std::string directory;
    std::unique_ptr<SpillFile> file;
    std::uint64_t end = 0;
  };

  std::vector<std::string> directories_;
  const text::LineComparator& comparator_;
  OutputStyle style_;
  unsigned threads_;
  std::vector<Place> places_;
  std::unique_ptr<LineOrder> order_;
  std::vector<std::string> pieces_;
  std::vector<Run> runs_;
  std::uint64_t expected_ = 0;
  std::uint64_t stored_ = 0;
  std::uint64_t lines_ = 0;
};

}  // namespace zelto::sorter
