// The pass for record files larger than the memory budget: sorted runs on a
// temporary file, merged with a tournament tree into the in-memory order.
//
// The record file is read front to back in chunks that fit the budget:
// through a mapping whose pages leave resident memory once their chunk is
// stored, or, for anything but a regular file, with read into a buffer of
// one chunk. Each chunk is sorted by the engine and stored as a run, each
// record without the zero bytes that end its key area and its line
// (run_encoding.h). Runs are merged by a loser tree that orders records as
// the engine does, by first key prefix and then the pass's comparator; a
// record file that shrinks under the mapping ends the pass as unreadable,
// before any output. Chunks follow the file's order and a tie between runs
// goes to the earlier run, so for a consistent comparator the merged order is
// exactly the engine's order of the whole file (stable by record index); with
// an inconsistent one (NaN doubles) it is a permutation of the records. Ties
// are noted by the comparator wherever two fully equal keys meet, so every
// noted number still belongs to a record whose key equals another's.
//
// When there are more runs than the budget can buffer at once, consecutive
// runs are merged into longer ones first, as often as needed.
//
// Where the run has more than one thread, the disk work goes on beside the
// rest: a block of a run is written while the next one is gathered, and
// each run's records are decoded a batch ahead of the merge. The order and
// the bytes are the same for every thread count.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "large_buffer.h"
#include "line_sink.h"
#include "parallel.h"
#include "progress.h"
#include "sort_engine.h"
#include "temp_files.h"

namespace zelto {

// True when `count` records of `record_size` bytes, the engine's sort space
// and the output block fit in `budget` bytes; always when there are none.
[[nodiscard]] bool fits_in_memory(std::uint64_t count, std::uint64_t record_size,
                                  std::uint64_t budget);

struct ExternalPlan {
  std::size_t chunk_records;  // records sorted in memory at once
  std::size_t block_records;  // records a run is written in at once (two blocks
                              // are kept); a merge reads half as many at once
  std::size_t fan_in;         // runs merged at once, at least 2
};

// How to run `count` (> 0) records of `record_size` bytes within `budget`.
// A budget too small for even two records and their sort space gets the
// smallest plan that works (chunks of two records, blocks of one, merges of
// two), whatever memory that takes.
[[nodiscard]] ExternalPlan plan_external(std::uint64_t count, std::uint64_t record_size,
                                         std::uint64_t budget);

// The most bytes the runs of `count` records take in the temporary directory
// at once under `plan`: the records once, twice when runs are merged into
// longer ones first, each record counted whole with its header (usual
// records take much less).
[[nodiscard]] std::uint64_t spill_bytes(std::uint64_t count, std::uint64_t record_size,
                                        const ExternalPlan& plan);

// A k-way tournament of sorted sequences. `heads[i]` is sequence i's current
// record, nullptr once it is spent; the caller replaces the winner's head and
// calls `replay`. Records are ordered as the engine orders them: by their
// first key prefix, then, where that is equal, by the policy's comparator;
// records it calls equal leave in sequence order. Needs at least one
// sequence.
class LoserTree {
 public:
  LoserTree(std::span<const unsigned char* const> heads, const SortPolicy& policy);
  // The sequence whose head goes next; its head is nullptr when all are spent.
  [[nodiscard]] std::size_t winner() const { return losers_[0]; }
  // Restores the tournament after the winner's head changed.
  void replay();
  // Plays the tournament anew, after any heads changed; allocates nothing.
  void restart();

 private:
  [[nodiscard]] bool goes_first(std::size_t a, std::size_t b) const;
  // The first key prefix of sequence i's head, in the policy's direction.
  void take_prefix(std::size_t i);

  std::span<const unsigned char* const> heads_;
  SortPolicy policy_;
  std::vector<std::uint64_t> prefixes_;
  std::vector<std::size_t> losers_;   // [0] the winner, [n] the loser at node n
  std::vector<std::size_t> winners_;  // the winner at each node, while playing
};

enum class ExternalStatus { Done, ReadFailure, AllocationFailure, TemporaryFileFailure };

// Takes the records of a merge, in order.
class RecordVisitor {
 public:
  virtual void visit(const unsigned char* record) = 0;

 protected:
  ~RecordVisitor() = default;
};

// A visitor that calls `F` with each record.
template <class F>
class VisitWith final : public RecordVisitor {
 public:
  explicit VisitWith(F f) : f_(std::move(f)) {}
  void visit(const unsigned char* record) override { f_(record); }

 private:
  F f_;
};

// The runs of one pass in a temporary file and how to merge them.
class ExternalSort {
 public:
  ExternalSort(std::size_t record_size, const SortPolicy& policy, const ExternalPlan& plan,
               Progress& progress);

  // Checks that the temporary directory has room for every run, reads
  // `count` records from `input`, sorts each chunk and stores it as a run,
  // then merges runs until one merge can take them all. Temporary-file
  // failures are reported here; read and allocation failures are left to
  // the caller's messages (after `Progress::stop`).
  [[nodiscard]] ExternalStatus prepare(std::FILE* input, std::size_t count);
  // Reserves the buffers of the final merge, so that no allocation is left
  // for the time an output is open; called after `prepare`.
  [[nodiscard]] ExternalStatus reserve_merge();
  // Hands every record to `visit` in merged order (with `unique`, only each
  // record whose key pattern differs from the record before it). A run that
  // cannot be read back is reported here.
  [[nodiscard]] ExternalStatus merge(RecordVisitor& visit, bool unique);

 private:
  struct Run {
    std::uint64_t first;  // offset of the run's first byte in its file
    std::uint64_t end;    // offset just past its last byte
  };
  // A run being read: a stretch of its encoded bytes and two batches of
  // records decoded from them. The merge takes the records of one batch
  // while the other is decoded, on a thread of its own where the run has
  // more than one.
  struct Reader {
    std::uint64_t next;  // the file offset of the next bytes to read
    std::uint64_t end;
    unsigned char* block;
    std::size_t begin = 0;   // the block's first byte not yet decoded
    std::size_t filled = 0;  // the bytes read into the block
    std::array<unsigned char*, 2> batches{};
    std::array<std::size_t, 2> counts{};  // the records decoded into each
    std::size_t current = 0;              // the batch the merge takes from
    std::size_t taken = 0;                // the records taken from it
    enum class Failure { None, Unreadable, Malformed } failure = Failure::None;
  };
  // Where encoded records are gathered until a block is full.
  struct Writer {
    TemporaryFile& file;
    unsigned char* block;
    std::uint64_t offset = 0;  // where the next block goes in the file
    std::size_t used = 0;
    bool failed = false;
  };
  // What a merge of some runs keeps of each, and their tournament; made
  // for a number of runs before the merge, which then allocates nothing.
  struct MergeCursor {
    explicit MergeCursor(std::size_t runs, const SortPolicy& policy)
        : readers(runs), heads(runs, nullptr), tree(heads, policy) {}
    MergeCursor(const MergeCursor&) = delete;  // the tree watches `heads`
    MergeCursor& operator=(const MergeCursor&) = delete;
    std::vector<Reader> readers;
    std::vector<const unsigned char*> heads;
    LoserTree tree;
  };
  [[nodiscard]] ExternalStatus form_runs(std::FILE* input, std::size_t count);
  [[nodiscard]] ExternalStatus merge_level();
  // Clears the status line, then reports the failure of `file`.
  ExternalStatus failure_of(const TemporaryFile& file);
  [[nodiscard]] bool merge_runs(TemporaryFile& file, std::span<const Run> runs,
                                unsigned char* buffers, MergeCursor& cursor, RecordVisitor& visit);
  // Decodes the next records of reader `r`'s run into its batch `b`,
  // reading more of the run as the block runs out; a failure is kept in the
  // reader. Runs on the calling or the merge's own thread.
  void decode_batch(TemporaryFile& file, Reader& r, std::size_t b) const;
  // Reports the failure a reader met; false.
  bool report_reader_failure(TemporaryFile& file, const Reader& r);
  // Moves reader `i`'s head to its next record, a spent run's to nullptr;
  // false when the run cannot be read back (reported).
  [[nodiscard]] bool advance(TemporaryFile& file, MergeCursor& cursor, BackgroundJob& decoder,
                             std::size_t i);
  // Adds `record` to `writer`'s block, writing the block out first when the
  // record might not fit.
  void append(Writer& writer, const unsigned char* record) const;
  void flush(Writer& writer) const;
  // A block of a sorted chunk, gathered and encoded in stretches, one for
  // each thread that took part, waiting to be written in order at `offset`.
  struct GatheredBlock {
    unsigned char* data;
    std::size_t records = 0;
    std::size_t parts = 0;
    std::array<std::size_t, MAX_THREADS> used{};
    std::uint64_t offset = 0;
  };
  // Gathers records [from, from + count) of a sorted chunk, a block's worth
  // at most, into `block`, to go at `offset` of the file, which then moves
  // past them.
  void gather_block(const RecordTable& sorted, std::size_t from, std::size_t count,
                    GatheredBlock& block, std::uint64_t& offset) const;
  // False when the block's stretches cannot be written (not yet reported).
  [[nodiscard]] bool write_block(const GatheredBlock& block);
  // The bytes of one block: a plan's block of records, each as long as it
  // may be encoded.
  [[nodiscard]] std::size_t block_capacity() const { return plan_.block_records * encoded_limit_; }
  // A reader's encoded bytes: half a block, and any one record.
  [[nodiscard]] std::size_t reader_area() const {
    return std::max(encoded_limit_, block_capacity() / 2);
  }
  // The records of a reader's batch: a quarter of a block's.
  [[nodiscard]] std::size_t batch_records() const {
    return std::max<std::size_t>(1, plan_.block_records / 4);
  }
  // The bytes each run of a merge takes: its encoded bytes and two batches.
  [[nodiscard]] std::size_t reader_bytes() const {
    return reader_area() + 2 * batch_records() * record_size_;
  }

  std::size_t record_size_;
  std::size_t encoded_limit_;  // the most bytes one record takes in a run
  SortPolicy policy_;
  ExternalPlan plan_;
  Progress& progress_;
  std::string directory_;
  TemporaryFile file_;
  std::vector<Run> runs_;
  std::unique_ptr<LargeBuffer> merge_buffers_;
  std::unique_ptr<MergeCursor> merge_cursor_;
  std::uint64_t total_ = 0;
  std::uint64_t merged_ = 0;  // records merged in this phase
};

}  // namespace zelto
