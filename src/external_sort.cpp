#include "external_sort.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "record_format.h"
#include "run_length.h"

namespace zelto {

namespace {

// The engine's working memory a record (SortSpace).
constexpr std::uint64_t SORT_SPACE_PER_RECORD = 24;
// Runs are read and written in blocks of at most this size, and of about a
// sixteenth of the budget below it.
constexpr std::uint64_t MAXIMUM_BLOCK = std::uint64_t{8} << 20;
constexpr std::uint64_t MAXIMUM_FAN_IN = 1024;
// The progress line is looked at once every this many merged records.
constexpr std::uint64_t PROGRESS_STRIDE = 1 << 16;

ExternalStatus read_back(bool read) {
  return read ? ExternalStatus::Done : ExternalStatus::TemporaryFileFailure;
}

}  // namespace

bool fits_in_memory(std::uint64_t count, std::uint64_t record_size, std::uint64_t budget) {
  if (count == 0) return true;
  // Neither product wraps: both counts are below 2^31.
  const std::uint64_t need = count * record_size + count * SORT_SPACE_PER_RECORD + OUTPUT_BLOCK;
  return need <= budget;
}

ExternalPlan plan_external(std::uint64_t count, std::uint64_t record_size, std::uint64_t budget) {
  const std::uint64_t block_target = std::clamp<std::uint64_t>(budget / 16, 1, MAXIMUM_BLOCK);
  const std::uint64_t block_records = std::max<std::uint64_t>(1, block_target / record_size);
  const std::uint64_t block_bytes = block_records * record_size;
  const std::uint64_t chunk =
      budget > block_bytes ? (budget - block_bytes) / (record_size + SORT_SPACE_PER_RECORD) : 0;
  if (chunk < 2)
    return ExternalPlan{static_cast<std::size_t>(std::min<std::uint64_t>(2, count)), 1, 2};
  const std::uint64_t fan_in =
      std::clamp<std::uint64_t>(budget / block_bytes - 1, 2, MAXIMUM_FAN_IN);
  return ExternalPlan{static_cast<std::size_t>(std::min(chunk, count)),
                      static_cast<std::size_t>(block_records), static_cast<std::size_t>(fan_in)};
}

LoserTree::LoserTree(std::span<const unsigned char* const> heads, Comparator compare)
    : heads_(heads), compare_(compare), losers_(heads.size()) {
  // Node n has children 2n and 2n + 1; sequence i sits at leaf k + i.
  const std::size_t k = heads.size();
  std::vector<std::size_t> winners(2 * k);
  for (std::size_t i = 0; i < k; ++i) winners[k + i] = i;
  for (std::size_t n = k - 1; n >= 1; --n) {
    const std::size_t a = winners[2 * n];
    const std::size_t b = winners[2 * n + 1];
    const bool a_first = goes_first(a, b);
    winners[n] = a_first ? a : b;
    losers_[n] = a_first ? b : a;
  }
  losers_[0] = winners[1];
}

void LoserTree::replay() {
  const std::size_t k = heads_.size();
  std::size_t winner = losers_[0];
  for (std::size_t n = (winner + k) / 2; n >= 1; n /= 2) {
    if (goes_first(losers_[n], winner)) std::swap(losers_[n], winner);
  }
  losers_[0] = winner;
}

// The comparator is asked as the in-memory merge asks it, the later record
// first: with NaN doubles the answer depends on the order of the question.
bool LoserTree::goes_first(std::size_t a, std::size_t b) const {
  const unsigned char* x = heads_[a];
  const unsigned char* y = heads_[b];
  if (x == nullptr || y == nullptr) return y == nullptr && (x != nullptr || a < b);
  if (a < b) return compare_(y, x) >= 0;
  return compare_(x, y) < 0;
}

ExternalSort::ExternalSort(std::size_t record_size, const SortPolicy& policy,
                           const ExternalPlan& plan, Progress& progress)
    : record_size_(record_size),
      policy_(policy),
      plan_(plan),
      progress_(progress),
      directory_(temporary_directory()) {}

ExternalStatus ExternalSort::failure_of(const TemporaryFile& file) {
  progress_.stop();
  file.report_failure();
  return ExternalStatus::TemporaryFileFailure;
}

std::uint64_t spill_bytes(std::uint64_t count, std::uint64_t record_size,
                          const ExternalPlan& plan) {
  const std::uint64_t runs = (count + plan.chunk_records - 1) / plan.chunk_records;
  // A merge level writes its runs anew before the old ones are freed.
  return count * record_size * (runs > plan.fan_in ? 2 : 1);
}

ExternalStatus ExternalSort::prepare(std::FILE* input, std::size_t count) {
  total_ = count;
  const std::uint64_t needed = spill_bytes(count, record_size_, plan_);
  if (const auto free = free_space(directory_); free && *free < needed) {
    progress_.stop();
    report_no_room(directory_, needed, *free);
    return ExternalStatus::TemporaryFileFailure;
  }
  if (!file_.create(directory_)) return failure_of(file_);
  const ExternalStatus formed = form_runs(input, count);
  if (formed != ExternalStatus::Done) return formed;
  while (runs_.size() > plan_.fan_in) {
    const ExternalStatus merged = merge_level();
    if (merged != ExternalStatus::Done) return merged;
  }
  return ExternalStatus::Done;
}

ExternalStatus ExternalSort::form_runs(std::FILE* input, std::size_t count) {
  const std::size_t chunk = std::min(plan_.chunk_records, count);
  const LargeBuffer records(chunk * record_size_);
  const LargeBuffer block(plan_.block_records * record_size_);
  if (!records.allocated() || !block.allocated()) return ExternalStatus::AllocationFailure;
  std::unique_ptr<SortSpace> space;
  progress_.begin("sorting", count);
  std::uint64_t stored = 0;
  while (stored < count) {
    const std::size_t n = std::min<std::uint64_t>(chunk, count - stored);
    if (std::fread(records.data(), record_size_, n, input) != n) {
      return ExternalStatus::ReadFailure;
    }
    if (!space || space->count() != n) {
      space.reset();  // the last, shorter chunk needs less
      space = std::make_unique<SortSpace>(n);
      if (!space->allocated()) return ExternalStatus::AllocationFailure;
    }
    const RecordTable sorted{records.data(), record_size_,
                             sort_records(records.data(), record_size_, policy_, *space)};
    for (std::size_t i = 0; i < n; i += plan_.block_records) {
      const std::size_t m = std::min(plan_.block_records, n - i);
      for (std::size_t j = 0; j < m; ++j) {
        std::memcpy(block.data() + j * record_size_, sorted.record(i + j), record_size_);
      }
      if (!file_.write_at(block.data(), m * record_size_, (stored + i) * record_size_)) {
        return failure_of(file_);
      }
    }
    runs_.push_back(Run{stored, n});
    stored += n;
    progress_.advance(stored);
  }
  return ExternalStatus::Done;
}

ExternalStatus ExternalSort::merge_level() {
  TemporaryFile next;
  if (!next.create(directory_)) return failure_of(next);
  const std::size_t block_bytes = plan_.block_records * record_size_;
  const LargeBuffer buffers((plan_.fan_in + 1) * block_bytes);
  if (!buffers.allocated()) return ExternalStatus::AllocationFailure;
  unsigned char* out = buffers.data() + plan_.fan_in * block_bytes;
  std::vector<Run> merged;
  std::uint64_t written = 0;
  std::size_t gathered = 0;
  bool write_failed = false;
  const auto flush = [&] {
    if (gathered != 0 && !write_failed &&
        !next.write_at(out, gathered * record_size_, (written - gathered) * record_size_)) {
      write_failed = true;
    }
    gathered = 0;
  };
  progress_.begin("merging", total_);
  merged_ = 0;
  for (std::size_t first = 0; first < runs_.size(); first += plan_.fan_in) {
    const auto group =
        std::span<const Run>(runs_).subspan(first, std::min(plan_.fan_in, runs_.size() - first));
    const std::uint64_t start = written;
    const bool read = merge_runs(file_, group, buffers.data(), [&](const unsigned char* record) {
      std::memcpy(out + gathered * record_size_, record, record_size_);
      ++written;
      if (++gathered == plan_.block_records) flush();
    });
    flush();
    if (!read) return ExternalStatus::TemporaryFileFailure;  // reported
    if (write_failed) return failure_of(next);
    merged.push_back(Run{start, written - start});
  }
  // The runs now live in the new file; closing the old one frees its space.
  file_ = std::move(next);
  runs_ = std::move(merged);
  return ExternalStatus::Done;
}

ExternalStatus ExternalSort::reserve_merge() {
  merge_buffers_ = std::make_unique<LargeBuffer>(runs_.size() * plan_.block_records * record_size_);
  if (merge_buffers_->allocated()) return ExternalStatus::Done;
  merge_buffers_.reset();
  return ExternalStatus::AllocationFailure;
}

ExternalStatus ExternalSort::merge(const RecordVisitor& visit, bool unique) {
  if (!merge_buffers_ && reserve_merge() != ExternalStatus::Done) {
    return ExternalStatus::AllocationFailure;
  }
  const LargeBuffer& buffers = *merge_buffers_;
  progress_.begin("merging", total_);
  merged_ = 0;
  if (!unique) return read_back(merge_runs(file_, runs_, buffers.data(), visit));
  // A record is kept when its pattern code differs from the record just
  // before it; the first is always kept.
  unsigned char previous[KEY_AREA_SIZE];
  bool first = true;
  return read_back(merge_runs(file_, runs_, buffers.data(), [&](const unsigned char* record) {
    const bool repeats = !first && same_pattern_code(record, previous);
    std::memcpy(previous, record, KEY_AREA_SIZE);
    first = false;
    if (!repeats) visit(record);
  }));
}

bool ExternalSort::merge_runs(TemporaryFile& file, std::span<const Run> runs,
                              unsigned char* buffers, const RecordVisitor& visit) {
  struct Reader {
    std::uint64_t next;  // the next record to load
    std::uint64_t end;
    unsigned char* block;
    const unsigned char* last;  // the last record loaded
  };
  const std::size_t block_bytes = plan_.block_records * record_size_;
  std::vector<Reader> readers;
  std::vector<const unsigned char*> heads(runs.size(), nullptr);
  for (std::size_t i = 0; i < runs.size(); ++i) {
    readers.push_back(
        Reader{runs[i].first, runs[i].first + runs[i].count, buffers + i * block_bytes, nullptr});
  }
  const auto load = [&](std::size_t i) {
    Reader& r = readers[i];
    const std::uint64_t n = std::min<std::uint64_t>(plan_.block_records, r.end - r.next);
    heads[i] = nullptr;
    if (n == 0) return true;
    if (!file.read_at(r.block, n * record_size_, r.next * record_size_)) {
      failure_of(file);
      return false;
    }
    r.next += n;
    heads[i] = r.block;
    r.last = r.block + (n - 1) * record_size_;
    return true;
  };
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (!load(i)) return false;
  }
  LoserTree tree(heads, policy_.compare);
  for (std::size_t w = tree.winner(); heads[w] != nullptr; w = tree.winner()) {
    visit(heads[w]);
    if (heads[w] != readers[w].last) {
      heads[w] += record_size_;
    } else if (!load(w)) {
      return false;
    }
    tree.replay();
    if (++merged_ % PROGRESS_STRIDE == 0) progress_.advance(merged_);
  }
  return true;
}

}  // namespace zelto
