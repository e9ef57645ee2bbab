#include "line_input.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "parallel.h"
#include "sort_messages.h"
#include "sort_system.h"

namespace zelto::sorter {

namespace {

// Inputs smaller than this are split on the calling thread.
constexpr std::size_t PARALLEL_SPLIT_BYTES = std::size_t{1} << 20;
// Blocks a pipe is read into, and windows of a mapped file: from the
// smallest up to the largest, as the budget allows; a block grows past it
// only to hold one longer line.
constexpr std::size_t SMALLEST_BLOCK = std::size_t{64} << 10;
constexpr std::size_t LARGEST_BLOCK = std::size_t{64} << 20;
// The most one read asks for.
constexpr std::size_t READ_BYTES = std::size_t{4} << 20;

// Writes the lines of [begin, end), each ended by `terminator`, to `out`.
void split_into(const char* data, std::size_t begin, std::size_t end, char terminator,
                LineRef* out) {
  std::size_t start = begin;
  while (start < end) {
    const auto* found =
        static_cast<const char*>(std::memchr(data + start, terminator, end - start));
    const auto stop = static_cast<std::size_t>(found - data);
    *out++ = {data + start, stop - start};
    start = stop + 1;
  }
}

std::unique_ptr<LargeBuffer> new_block(std::size_t bytes) {
  try {
    auto block = std::make_unique<LargeBuffer>(bytes);
    if (block->allocated()) return block;
  } catch (const std::bad_alloc&) {
  }
  return nullptr;
}

// A block of at least `bytes` for `batch`: one it kept, or a new one.
std::unique_ptr<LargeBuffer> next_block(LineBatch& batch, std::size_t& bytes) {
  if (std::unique_ptr<LargeBuffer> block = batch.reuse_block(bytes)) {
    bytes = block->size();
    return block;
  }
  return new_block(bytes);
}

int report_read_failure(const std::string& name, int error) {
  report("read failed: " + quote_file(name) + ": " + error_text(error));
  return STATUS_TROUBLE;
}

// Maps the regular file of `size` bytes open as `fd` and takes its lines.
int read_mapped(int fd, const std::string& name, std::size_t size, const ReadPlan& plan,
                LineBatch& batch) {
  auto mapping = std::make_shared<RecordFile>();
  switch (mapping->load(fd, size, true)) {
    case LoadStatus::Loaded: break;
    case LoadStatus::AllocationFailed: report("memory exhausted"); return STATUS_TROUBLE;
    default: return report_read_failure(name, EIO);
  }
  const auto* data = reinterpret_cast<const char*>(mapping->data());
  (void)split_lines(data, size, plan.terminator, true, plan.threads, batch.lines);
  batch.adopt(std::move(mapping), 0, size, name);
  if (plan.spill && batch.held_bytes() > plan.limit && !plan.spill(batch)) return STATUS_TROUBLE;
  return 0;
}

// Takes the lines of a mapped file of `size` bytes a window of about
// `window` bytes at a time, handing the batch on as reading from blocks
// does. A window ends after its last whole line; a line longer than a window
// makes a window of its own, so it is never copied.
int read_windows(std::shared_ptr<const RecordFile> mapping, const std::string& name,
                 std::size_t size, std::size_t window, const ReadPlan& plan, LineBatch& batch) {
  const auto* data = reinterpret_cast<const char*>(mapping->data());
  for (std::size_t at = 0; at < size;) {
    std::size_t end = std::min(size, at + window);
    std::size_t whole =
        split_lines(data + at, end - at, plan.terminator, end == size, plan.threads, batch.lines);
    if (end < size && whole == 0) {
      const void* found = std::memchr(data + end, plan.terminator, size - end);
      end = found == nullptr ? size
                             : static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
      whole = split_lines(data + at, end - at, plan.terminator, end == size, 1, batch.lines);
    }
    const std::size_t taken = end == size ? end - at : whole;
    batch.adopt(mapping, at, taken, name);
    at += taken;
    const std::uint64_t coming = window + window / 2;
    if (batch.held_bytes() + coming > plan.limit && !plan.spill(batch)) return STATUS_TROUBLE;
  }
  return 0;
}

}  // namespace

std::size_t split_lines(const char* data, std::size_t size, char terminator, bool last_is_whole,
                        unsigned threads, LineList& lines) {
  std::size_t whole = size;
  while (whole > 0 && data[whole - 1] != terminator) --whole;
  const std::size_t parts =
      size < PARALLEL_SPLIT_BYTES ? 1 : std::max<std::size_t>(1, std::min<unsigned>(threads, 64));
  // Each part starts after the terminator that ends the part before it.
  std::vector<std::size_t> bounds(parts + 1, whole);
  bounds[0] = 0;
  for (std::size_t p = 1; p < parts; ++p) {
    std::size_t at = std::max(bounds[p - 1], whole / parts * p);
    const void* found = at < whole ? std::memchr(data + at, terminator, whole - at) : nullptr;
    bounds[p] = found == nullptr
                    ? whole
                    : static_cast<std::size_t>(static_cast<const char*>(found) - data) + 1;
  }
  // The lines of each part are counted first, so that every part writes its
  // own lines straight to their places.
  std::vector<std::size_t> first(parts + 1, 0);
  run_tasks(parts, threads, [&](std::size_t p) {
    first[p + 1] =
        static_cast<std::size_t>(std::count(data + bounds[p], data + bounds[p + 1], terminator));
  });
  first[0] = lines.size();
  for (std::size_t p = 0; p < parts; ++p) first[p + 1] += first[p];
  lines.resize(first[parts]);
  run_tasks(parts, threads, [&](std::size_t p) {
    split_into(data, bounds[p], bounds[p + 1], terminator, lines.data() + first[p]);
  });
  if (last_is_whole && whole < size) lines.push_back({data + whole, size - whole});
  return whole;
}

void LineBatch::adopt(std::unique_ptr<LargeBuffer> block, std::size_t bytes) {
  blocks_.push_back(std::move(block));
  block_bytes_ += bytes;
}

void LineBatch::adopt(std::shared_ptr<const RecordFile> mapping, std::size_t offset,
                      std::size_t bytes, const std::string& name) {
  mapped_.push_back({std::move(mapping), offset, bytes, name});
  block_bytes_ += bytes;
}

void LineBatch::clear() {
  recycle();
  lines.shrink_to_fit();
  spare_blocks_.clear();
  spare_bytes_ = 0;
}

void LineBatch::recycle() {
  lines.clear();
  for (std::unique_ptr<LargeBuffer>& block : blocks_) keep_spare(std::move(block));
  blocks_.clear();
  // The rest of a file read a window at a time stays mapped for the next
  // batch, but the pages of these lines are done with.
  for (const MappedPart& part : mapped_) part.mapping->release(part.offset, part.bytes);
  mapped_.clear();
  block_bytes_ = 0;
}

void LineBatch::keep_spare(std::unique_ptr<LargeBuffer> block) {
  spare_bytes_ += block->size();
  spare_blocks_.push_back(std::move(block));
}

std::unique_ptr<LargeBuffer> LineBatch::reuse_block(std::size_t bytes) {
  for (auto it = spare_blocks_.begin(); it != spare_blocks_.end(); ++it) {
    if ((*it)->size() >= bytes) {
      std::unique_ptr<LargeBuffer> block = std::move(*it);
      spare_blocks_.erase(it);
      spare_bytes_ -= block->size();
      return block;
    }
  }
  return nullptr;
}

bool LineBatch::mappings_intact() const {
  for (const MappedPart& part : mapped_) {
    if (part.mapping->shrunk()) {
      report("read failed: " + quote_file(part.name) + ": " + error_text(EIO));
      return false;
    }
    // Lines compared before and after another process wrote over them
    // could come out in no order at all.
    if (part.mapping->rewritten()) {
      report("read failed: " + quote_file(part.name) + ": file changed as it was read");
      return false;
    }
  }
  return true;
}

int read_input(int fd, const std::string& name, const ReadPlan& plan, LineBatch& batch) {
  // Files smaller than a block are read, not mapped: a mapping gains
  // nothing there, and what some system files tell of their size is not
  // what they hold (0 bytes for those of /proc, 4096 for those of /sys).
  std::optional<std::uint64_t> size = regular_file_size(fd);
  const std::optional<std::uint64_t> stated = size;
  if (size.has_value() && *size < SMALLEST_BLOCK) size.reset();
  if (plan.allow_mapping && size.has_value() && *size <= plan.limit / 2) {
    return read_mapped(fd, name, static_cast<std::size_t>(*size), plan, batch);
  }
  const std::size_t block_bytes = static_cast<std::size_t>(
      std::clamp<std::uint64_t>(plan.limit / 8, SMALLEST_BLOCK, LARGEST_BLOCK));
  // A larger file that can be mapped is read through the mapping a window
  // at a time: nothing is copied, and no fresh memory is cleared for it.
  if (plan.allow_mapping && plan.spill && size.has_value()) {
    auto mapping = std::make_shared<RecordFile>();
    if (mapping->map_for_streaming(fd, static_cast<std::size_t>(*size))) {
      return read_windows(std::move(mapping), name, static_cast<std::size_t>(*size), block_bytes,
                          plan, batch);
    }
  }
  // A small file's first block is about its size.
  std::size_t capacity = stated.has_value() && *stated > 0 && *stated < block_bytes
                             ? static_cast<std::size_t>(*stated) + 1
                             : block_bytes;
  std::unique_ptr<LargeBuffer> block = next_block(batch, capacity);
  std::size_t filled = 0;
  for (bool ended = false; !ended;) {
    if (block == nullptr) {
      report("memory exhausted");
      return STATUS_TROUBLE;
    }
    auto* data = reinterpret_cast<char*>(block->data());
    while (filled < capacity) {
      int error = 0;
      const long long got =
          read_some(fd, data + filled, std::min(capacity - filled, READ_BYTES), error);
      if (got < 0) return report_read_failure(name, error);
      if (got == 0) {
        ended = true;
        break;
      }
      filled += static_cast<std::size_t>(got);
    }
    const std::size_t whole =
        split_lines(data, filled, plan.terminator, ended, plan.threads, batch.lines);
    // The unfinished line at the block's end starts the next block, which
    // doubles while one line fills a whole block.
    const std::size_t rest = ended ? 0 : filled - whole;
    std::unique_ptr<LargeBuffer> next;
    if (!ended) {
      capacity = std::max(block_bytes, rest * 2);
      next = next_block(batch, capacity);
      if (next != nullptr && rest > 0) std::memcpy(next->data(), data + whole, rest);
    }
    if (whole > 0 || (ended && filled > 0)) {
      batch.adopt(std::move(block), filled);
    } else if (ended) {
      batch.keep_spare(std::move(block));  // an empty input
    }
    block = std::move(next);
    filled = rest;
    // The block being filled counts too, and the lines it will bring.
    const std::uint64_t coming = capacity + capacity / 2;
    if (plan.spill && batch.held_bytes() + coming > plan.limit && !plan.spill(batch)) {
      return STATUS_TROUBLE;
    }
  }
  return 0;
}

}  // namespace zelto::sorter
