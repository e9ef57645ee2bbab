// Sorted runs of lines stored beyond memory: each batch that outgrows the
// budget is sorted and appended to a nameless file in one of the temporary
// directories (in turn), and the runs are read back as streams for the
// merge. The files vanish with the process, however it ends.
#pragma once

#include <cstdint>
#include <memory>
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

  // Sorts the batch, stores it as a run and empties it. False after
  // reporting a failure.
  [[nodiscard]] bool spill(LineBatch& batch);
  [[nodiscard]] bool empty() const { return runs_.empty(); }
  [[nodiscard]] std::size_t run_count() const { return runs_.size(); }
  // A stream over each run, in the order they were stored, each reading
  // through a buffer of `buffer_bytes`.
  [[nodiscard]] std::vector<std::unique_ptr<LineCursor>> streams(std::size_t buffer_bytes) const;

 private:
  struct Run {
    std::size_t file;
    std::uint64_t offset;
    std::uint64_t size;
  };
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
  std::vector<Run> runs_;
};

}  // namespace zelto::sorter
