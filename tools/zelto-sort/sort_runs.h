// Sorted runs of lines stored beyond memory: each batch that outgrows the
// budget is sorted and appended to a nameless file in one of the temporary
// directories (in turn), and the runs are read back as streams for the
// merge, whole or cut into parts by ranges of keys (the places where a
// part starts in each run are found by binary searches over the run's
// bytes). The files vanish with the process, however it ends.
//
// With --compress-program, each run is packed by that program into a file
// of its own and unpacked by it ("PROG -d") as it is read, whole: packed
// runs are merged by one stream each. Too many runs for one merge (by
// --batch-size, or by the files they hold open) are merged a group at a
// time into fewer first.
#pragma once

#include <cstdint>
#include <functional>
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
  // Runs go through `program` from now on; once twice `width` of them are
  // stored, they are merged `width` at a time, through buffers of
  // `buffer_bytes`, into fewer.
  void pack_with(std::string program, std::size_t width, std::size_t buffer_bytes) {
    packer_ = std::move(program);
    pack_width_ = width;
    pack_buffer_ = buffer_bytes;
  }
  [[nodiscard]] bool packed() const { return !packer_.empty(); }
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
  // Merges the runs `width` at a time, in the order they were stored, into
  // fewer, until at most `width` are left; the streams read through buffers
  // of `buffer_bytes`. 0, or the status after a reported failure.
  [[nodiscard]] int narrow_to(std::size_t width, std::size_t buffer_bytes);
  // The runs are read once, by one of the two below: what a stream has
  // read of its run is let go, and frees its room, as the merge goes on.
  // A stream over each run, in the order they were stored, each reading
  // through a buffer of `buffer_bytes`; false after reporting a program
  // that could not be started to unpack them. Once they are read,
  // `end_reading` tells whether each was unpacked whole: by a program that
  // exited with status 0 and gave back as many bytes as it packed.
  [[nodiscard]] bool read_all(std::size_t buffer_bytes,
                              std::vector<std::unique_ptr<LineCursor>>& cursors);
  [[nodiscard]] bool end_reading();
  // The runs, which must not be packed, cut into about `parts` parts of
  // nearly equal bytes by ranges of keys, their cursors reading through
  // buffers of `buffer_bytes`; nullptr after reporting a failed read.
  [[nodiscard]] std::unique_ptr<MergeParts> parts(std::size_t parts, std::size_t buffer_bytes,
                                                  unsigned threads) const;

 private:
  struct Run {
    std::size_t file;  // the place, whose directory the messages name
    std::uint64_t offset;
    std::uint64_t size;              // unpacked
    std::shared_ptr<SpillFile> own;  // a packed run's file
  };
  class Parts;
  // A program unpacking a run, and the bytes it gave back so far.
  struct Unpacking {
    PackingProgram program;
    std::uint64_t expected = 0;
    std::uint64_t given = 0;
  };
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
  // Reads bytes [begin, end) of `run`, which is not packed.
  [[nodiscard]] ReadBytes reader(const Run& run, std::uint64_t begin, std::uint64_t end) const;
  // Streams over runs [first, first + count), as `read_all` does.
  [[nodiscard]] bool read_runs(std::size_t first, std::size_t count, std::size_t buffer_bytes,
                               std::vector<std::unique_ptr<LineCursor>>& cursors);
  // A stream over the whole of `run`, which is not packed; `streams`, one
  // over each run (none of them packed).
  [[nodiscard]] std::unique_ptr<LineCursor> plain_cursor(const Run& run,
                                                         std::size_t buffer_bytes) const;
  [[nodiscard]] std::vector<std::unique_ptr<LineCursor>> streams(std::size_t buffer_bytes) const;
  // Stores the lines that `produce` writes to the sink it is given (a
  // status) as a run, at the next place, into `stored`. 0, or the status
  // after a reported failure.
  [[nodiscard]] int store_run(const std::function<int(BlockedSink&)>& produce, Run& stored);
  // Merges runs [first, first + count) into `stored`.
  [[nodiscard]] int merge_runs(std::size_t first, std::size_t count, std::size_t buffer_bytes,
                               Run& stored);
  // The place of the next run, its file made if need be; nullptr after
  // reporting a failure.
  struct Place;
  [[nodiscard]] Place* next_place(std::size_t& index);
  // Checks that the place has room for `bytes` more, and for its share of
  // the inputs still to come.
  [[nodiscard]] bool has_room(const Place& place, std::uint64_t bytes) const;

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
  std::size_t stored_runs_ = 0;  // ever, which picks the next place
  std::string packer_;
  std::size_t pack_width_ = 0;
  std::size_t pack_buffer_ = 0;
  std::vector<std::unique_ptr<Unpacking>> unpacking_;
  std::uint64_t expected_ = 0;
  std::uint64_t stored_ = 0;
  std::uint64_t lines_ = 0;
};

}  // namespace zelto::sorter
