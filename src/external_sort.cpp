#include "external_sort.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <utility>

#include "key_prefix.h"
#include "mapped_file.h"
#include "parallel.h"
#include "record_format.h"
#include "run_encoding.h"
#include "run_length.h"

namespace zelto {

namespace {

// The engine's working memory a record (SortSpace).
constexpr std::uint64_t SORT_SPACE_PER_RECORD = 12;
// Runs are read and written in blocks of at most this size, and of about a
// sixteenth of the budget below it.
constexpr std::uint64_t MAXIMUM_BLOCK = std::uint64_t{8} << 20;
constexpr std::uint64_t MAXIMUM_FAN_IN = 1024;
// A block's records are gathered by several threads when each gets at
// least this many.
constexpr std::size_t MINIMUM_PART_RECORDS = 4096;
// The progress line is looked at once every this many merged records.
constexpr std::uint64_t PROGRESS_STRIDE = 1 << 16;

ExternalStatus read_back(bool read) {
  return read ? ExternalStatus::Done : ExternalStatus::TemporaryFileFailure;
}

}  // namespace

bool fits_in_memory(std::uint64_t count, std::uint64_t record_size, std::uint64_t budget) {
  if (count == 0) return true;
  // Neither product wraps: both counts are below 2^31.
  const std::uint64_t need = count * record_size + count * SORT_SPACE_PER_RECORD + LINE_BLOCK;
  return need <= budget;
}

ExternalPlan plan_external(std::uint64_t count, std::uint64_t record_size, std::uint64_t budget) {
  const std::uint64_t block_target = std::clamp<std::uint64_t>(budget / 16, 1, MAXIMUM_BLOCK);
  const std::uint64_t block_records = std::max<std::uint64_t>(1, block_target / record_size);
  const std::uint64_t block_bytes = block_records * record_size;
  // A chunk is stored through two blocks: one written while the other fills.
  const std::uint64_t chunk =
      budget > 2 * block_bytes ? (budget - 2 * block_bytes) / (record_size + SORT_SPACE_PER_RECORD)
                               : 0;
  if (chunk < 2)
    return ExternalPlan{static_cast<std::size_t>(std::min<std::uint64_t>(2, count)), 1, 2};
  const std::uint64_t fan_in =
      std::clamp<std::uint64_t>(budget / block_bytes - 1, 2, MAXIMUM_FAN_IN);
  return ExternalPlan{static_cast<std::size_t>(std::min(chunk, count)),
                      static_cast<std::size_t>(block_records), static_cast<std::size_t>(fan_in)};
}

LoserTree::LoserTree(std::span<const unsigned char* const> heads, const SortPolicy& policy)
    : heads_(heads),
      policy_(policy),
      prefixes_(heads.size()),
      losers_(heads.size()),
      winners_(2 * heads.size()) {
  restart();
}

void LoserTree::take_prefix(std::size_t i) {
  const unsigned char* head = heads_[i];
  if (head == nullptr) return;
  const std::uint64_t prefix = ascending_prefix(head, policy_.kind, 0);
  prefixes_[i] = policy_.descending ? ~prefix : prefix;
}

void LoserTree::restart() {
  // Node n has children 2n and 2n + 1; sequence i sits at leaf k + i.
  const std::size_t k = heads_.size();
  for (std::size_t i = 0; i < k; ++i) {
    take_prefix(i);
    winners_[k + i] = i;
  }
  for (std::size_t n = k - 1; n >= 1; --n) {
    const std::size_t a = winners_[2 * n];
    const std::size_t b = winners_[2 * n + 1];
    const bool a_first = goes_first(a, b);
    winners_[n] = a_first ? a : b;
    losers_[n] = a_first ? b : a;
  }
  losers_[0] = winners_[1];
}

void LoserTree::replay() {
  const std::size_t k = heads_.size();
  std::size_t winner = losers_[0];
  take_prefix(winner);
  for (std::size_t n = (winner + k) / 2; n >= 1; n /= 2) {
    if (goes_first(losers_[n], winner)) std::swap(losers_[n], winner);
  }
  losers_[0] = winner;
}

// Equal prefixes go to the comparator, asked as the in-memory merge asks it,
// the later record first: with NaN doubles the answer depends on the order
// of the question.
bool LoserTree::goes_first(std::size_t a, std::size_t b) const {
  const unsigned char* x = heads_[a];
  const unsigned char* y = heads_[b];
  if (x == nullptr || y == nullptr) return y == nullptr && (x != nullptr || a < b);
  if (prefixes_[a] != prefixes_[b]) return prefixes_[a] < prefixes_[b];
  if (a < b) return policy_.compare(y, x) >= 0;
  return policy_.compare(x, y) < 0;
}

ExternalSort::ExternalSort(std::size_t record_size, const SortPolicy& policy,
                           const ExternalPlan& plan, Progress& progress)
    : record_size_(record_size),
      encoded_limit_(static_cast<std::size_t>(encoded_size_limit(record_size))),
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
  return count * encoded_size_limit(record_size) * (runs > plan.fan_in ? 2 : 1);
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

void ExternalSort::flush(Writer& writer) const {
  if (writer.used != 0 && !writer.failed &&
      !writer.file.write_at(writer.block, writer.used, writer.offset)) {
    writer.failed = true;
  }
  writer.offset += writer.used;
  writer.used = 0;
}

void ExternalSort::append(Writer& writer, const unsigned char* record) const {
  if (writer.used + encoded_limit_ > block_capacity()) flush(writer);
  writer.used += encode_record(record, record_size_, writer.block + writer.used);
}

void ExternalSort::gather_block(const RecordTable& sorted, std::size_t from, std::size_t count,
                                GatheredBlock& block, std::uint64_t& offset) const {
  // The records lie scattered over the chunk: every thread gathers and
  // encodes a part of the block into a stretch of its own.
  const std::size_t parts = part_count(count, thread_count(), MINIMUM_PART_RECORDS);
  run_tasks(parts, thread_count(), [&](std::size_t part) {
    const std::size_t begin = from + part_start(count, parts, part);
    const std::size_t end = from + part_start(count, parts, part + 1);
    unsigned char* out = block.data + (begin - from) * encoded_limit_;
    std::size_t bytes = 0;
    for (std::size_t i = begin; i < end; ++i) {
      sorted.prefetch_ahead(i, end, 0);
      bytes += encode_record(sorted.record(i), record_size_, out + bytes);
    }
    block.used[part] = bytes;
  });
  block.records = count;
  block.parts = parts;
  block.offset = offset;
  for (std::size_t part = 0; part < parts; ++part) offset += block.used[part];
}

bool ExternalSort::write_block(const GatheredBlock& block) {
  std::uint64_t offset = block.offset;
  for (std::size_t part = 0; part < block.parts; ++part) {
    const unsigned char* stretch =
        block.data + part_start(block.records, block.parts, part) * encoded_limit_;
    if (!file_.write_at(stretch, block.used[part], offset)) return false;
    offset += block.used[part];
  }
  return true;
}

ExternalStatus ExternalSort::form_runs(std::FILE* input, std::size_t count) {
  const std::size_t chunk = std::min(plan_.chunk_records, count);
  // A regular record file is sorted straight from a mapping, a chunk at a
  // time, and each chunk's pages leave resident memory once its run is
  // stored: nothing is copied and no fresh memory is cleared for it.
  // Anything else is read into a buffer of one chunk.
  RecordFile mapping;
  const bool mapped = mapping.map_for_streaming(fileno(input), count * record_size_);
  const LargeBuffer buffer(mapped ? 0 : chunk * record_size_);
  // Two blocks: one is written, on a thread of its own, while the next one
  // is gathered.
  const LargeBuffer blocks(2 * block_capacity());
  if (!buffer.allocated() || !blocks.allocated()) return ExternalStatus::AllocationFailure;
  std::array<GatheredBlock, 2> gathered{GatheredBlock{blocks.data()},
                                        GatheredBlock{blocks.data() + block_capacity()}};
  std::atomic<bool> write_failed{false};
  BackgroundJob writer(
      [&](std::size_t b) {
        if (!write_failed && !write_block(gathered[b])) write_failed = true;
      },
      thread_count());
  std::size_t next_block = 0;
  std::unique_ptr<SortSpace> space;
  progress_.begin("sorting", count);
  std::uint64_t stored_bytes = 0;
  std::uint64_t stored = 0;
  while (stored < count) {
    const std::size_t n = std::min<std::uint64_t>(chunk, count - stored);
    const unsigned char* records = mapped ? mapping.data() + stored * record_size_ : buffer.data();
    if (!mapped && std::fread(buffer.data(), record_size_, n, input) != n) {
      return ExternalStatus::ReadFailure;
    }
    if (!space || space->count() != n) {
      space.reset();  // the last, shorter chunk needs less
      space = std::make_unique<SortSpace>(n);
      if (!space->allocated()) return ExternalStatus::AllocationFailure;
    }
    const RecordTable sorted{records, record_size_,
                             sort_records(records, record_size_, policy_, *space)};
    const std::uint64_t first = stored_bytes;
    for (std::size_t i = 0; i < n && !write_failed; i += plan_.block_records) {
      const std::size_t m = std::min(plan_.block_records, n - i);
      gather_block(sorted, i, m, gathered[next_block], stored_bytes);
      writer.post(next_block);
      next_block ^= 1;
    }
    // The chunk's records, and its buffer, are done with once its run is
    // written.
    writer.wait();
    if (write_failed) return failure_of(file_);
    runs_.push_back(Run{first, stored_bytes});
    mapping.release(stored * record_size_, n * record_size_);
    stored += n;
    progress_.advance(stored);
  }
  // Records read through a mapping of a file that shrank or was written
  // over are not the file's.
  return mapping.changed() ? ExternalStatus::ReadFailure : ExternalStatus::Done;
}

ExternalStatus ExternalSort::merge_level() {
  TemporaryFile next;
  if (!next.create(directory_)) return failure_of(next);
  const LargeBuffer buffers(plan_.fan_in * reader_bytes() + block_capacity());
  if (!buffers.allocated()) return ExternalStatus::AllocationFailure;
  Writer writer{next, buffers.data() + plan_.fan_in * reader_bytes()};
  std::vector<Run> merged;
  progress_.begin("merging", total_);
  merged_ = 0;
  for (std::size_t first = 0; first < runs_.size(); first += plan_.fan_in) {
    const auto group =
        std::span<const Run>(runs_).subspan(first, std::min(plan_.fan_in, runs_.size() - first));
    const std::uint64_t start = writer.offset;
    MergeCursor cursor(group.size(), policy_);
    VisitWith to_writer([&](const unsigned char* record) { append(writer, record); });
    const bool read = merge_runs(file_, group, buffers.data(), cursor, to_writer);
    flush(writer);
    if (!read) return ExternalStatus::TemporaryFileFailure;  // reported
    if (writer.failed) return failure_of(next);
    merged.push_back(Run{start, writer.offset});
  }
  // The runs now live in the new file; closing the old one frees its space.
  file_ = std::move(next);
  runs_ = std::move(merged);
  return ExternalStatus::Done;
}

ExternalStatus ExternalSort::reserve_merge() {
  try {
    merge_cursor_ = std::make_unique<MergeCursor>(runs_.size(), policy_);
    merge_buffers_ = std::make_unique<LargeBuffer>(runs_.size() * reader_bytes());
  } catch (const std::bad_alloc&) {
    merge_cursor_.reset();
    merge_buffers_.reset();
    return ExternalStatus::AllocationFailure;
  }
  if (merge_buffers_->allocated()) return ExternalStatus::Done;
  merge_cursor_.reset();
  merge_buffers_.reset();
  return ExternalStatus::AllocationFailure;
}

ExternalStatus ExternalSort::merge(RecordVisitor& visit, bool unique) {
  if (!merge_buffers_ && reserve_merge() != ExternalStatus::Done) {
    return ExternalStatus::AllocationFailure;
  }
  unsigned char* buffers = merge_buffers_->data();
  MergeCursor& cursor = *merge_cursor_;
  progress_.begin("merging", total_);
  merged_ = 0;
  if (!unique) return read_back(merge_runs(file_, runs_, buffers, cursor, visit));
  // A record is kept when its pattern code differs from the record just
  // before it; the first is always kept.
  unsigned char previous[KEY_AREA_SIZE];
  bool first = true;
  VisitWith keep_new([&](const unsigned char* record) {
    const bool repeats = !first && same_pattern_code(record, previous);
    std::memcpy(previous, record, KEY_AREA_SIZE);
    first = false;
    if (!repeats) visit.visit(record);
  });
  return read_back(merge_runs(file_, runs_, buffers, cursor, keep_new));
}

void ExternalSort::decode_batch(TemporaryFile& file, Reader& r, std::size_t b) const {
  unsigned char* slot = r.batches[b];
  std::size_t count = 0;
  while (count < batch_records()) {
    std::size_t used = decode_record(r.block + r.begin, r.filled - r.begin, record_size_, slot);
    if (used == 0) {
      const std::size_t kept = r.filled - r.begin;
      if (kept == 0 && r.next == r.end) break;  // the run is spent
      // The block's start takes the part of a record left at its end.
      std::memmove(r.block, r.block + r.begin, kept);
      const std::size_t more = std::min<std::uint64_t>(reader_area() - kept, r.end - r.next);
      if (more != 0 && !file.read_at(r.block + kept, more, r.next)) {
        r.failure = Reader::Failure::Unreadable;
        break;
      }
      r.next += more;
      r.begin = 0;
      r.filled = kept + more;
      used = decode_record(r.block, r.filled, record_size_, slot);
      // The area holds any one whole record: bytes that still make none
      // were not what this pass wrote.
      if (used == 0) {
        r.failure = Reader::Failure::Malformed;
        break;
      }
    }
    r.begin += used;
    slot += record_size_;
    ++count;
  }
  r.counts[b] = count;
}

bool ExternalSort::report_reader_failure(TemporaryFile& file, const Reader& r) {
  if (r.failure == Reader::Failure::Unreadable) {
    failure_of(file);
  } else {
    progress_.stop();
    report_temporary_file_error(directory_, EIO);
  }
  return false;
}

bool ExternalSort::advance(TemporaryFile& file, MergeCursor& cursor, BackgroundJob& decoder,
                           std::size_t i) {
  Reader& r = cursor.readers[i];
  if (++r.taken < r.counts[r.current]) {
    cursor.heads[i] += record_size_;
    return true;
  }
  // The batch is used up: the other one, decoded meanwhile, takes its place
  // and the used one is decoded anew.
  decoder.wait();
  if (r.failure != Reader::Failure::None) return report_reader_failure(file, r);
  r.current ^= 1;
  r.taken = 0;
  if (r.counts[r.current] == 0) {
    cursor.heads[i] = nullptr;
    return true;
  }
  cursor.heads[i] = r.batches[r.current];
  decoder.post(2 * i + (r.current ^ 1));
  return true;
}

bool ExternalSort::merge_runs(TemporaryFile& file, std::span<const Run> runs,
                              unsigned char* buffers, MergeCursor& cursor, RecordVisitor& visit) {
  // One pointer for the decoder's job, which so needs no memory of its own.
  struct Decoding {
    const ExternalSort* sort;
    TemporaryFile* file;
    MergeCursor* cursor;
  } decoding{this, &file, &cursor};
  BackgroundJob decoder(
      [&decoding](std::size_t job) {
        decoding.sort->decode_batch(*decoding.file, decoding.cursor->readers[job / 2], job % 2);
      },
      thread_count());
  const std::size_t batch_bytes = batch_records() * record_size_;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    unsigned char* area = buffers + i * reader_bytes();
    Reader& r = cursor.readers[i];
    r = Reader{runs[i].first, runs[i].end, area};
    r.batches = {area + reader_area(), area + reader_area() + batch_bytes};
    decoder.wait();  // one read of the file at a time: it keeps one failure
    decode_batch(file, r, 0);
    if (r.failure != Reader::Failure::None) return report_reader_failure(file, r);
    cursor.heads[i] = r.counts[0] == 0 ? nullptr : r.batches[0];
    if (r.counts[0] != 0) decoder.post(2 * i + 1);
  }
  LoserTree& tree = cursor.tree;
  tree.restart();
  for (std::size_t w = tree.winner(); cursor.heads[w] != nullptr; w = tree.winner()) {
    visit.visit(cursor.heads[w]);
    if (!advance(file, cursor, decoder, w)) return false;
    tree.replay();
    if (++merged_ % PROGRESS_STRIDE == 0) progress_.advance(merged_);
  }
  return true;
}

}  // namespace zelto
