// Input lines held in memory: regular files mapped (those larger than a
// batch a window at a time), pipes read in large blocks, and the lines
// within them as (address, length) pairs; no line is copied or allocated on
// its own. A line ends with the terminator ('\n', or '\0' with -z); the
// last one of an input may lack it. Lines may hold any bytes and be of any
// length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "large_buffer.h"
#include "line_engine.h"
#include "mapped_file.h"

namespace zelto::sorter {

// An allocator whose resize leaves the new elements uninitialised: the
// lines are written into them next, on every thread, and that is the first
// touch of their memory, rather than a zeroing of it all on one thread.
template <class T>
struct UninitializedAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = UninitializedAllocator<U>;
  };
  UninitializedAllocator() = default;
  template <class U>
  explicit UninitializedAllocator(const UninitializedAllocator<U>& /*other*/) {}
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(place)) U;
    } else {
      ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
    }
  }
};
using LineList = std::vector<LineRef, UninitializedAllocator<LineRef>>;

// Appends to `lines` every line of the `size` bytes at `data`; with
// `last_is_whole`, bytes after the last terminator make a line of their
// own (the end of an input), otherwise they are left out. Returns the
// offset just past the last terminator. Uses up to `threads` threads.
std::size_t split_lines(const char* data, std::size_t size, char terminator, bool last_is_whole,
                        unsigned threads, LineList& lines);

// Lines and the memory they live in.
class LineBatch {
 public:
  LineList lines;

  // What the batch holds: its blocks and mappings, blocks kept for reuse,
  // and the engine's bytes for each line.
  [[nodiscard]] std::uint64_t held_bytes() const {
    return block_bytes_ + spare_bytes_ + lines.capacity() * sizeof(LineRef) +
           lines.size() * ENGINE_BYTES_PER_LINE;
  }
  void adopt(std::unique_ptr<LargeBuffer> block, std::size_t bytes);
  // Bytes [offset, offset + bytes) of a mapped input file named `name`: the
  // batch keeps the mapping, and those pages leave resident memory when it
  // is recycled.
  void adopt(std::shared_ptr<const RecordFile> mapping, std::size_t offset, std::size_t bytes,
             const std::string& name);
  // Once the lines were used: false after reporting "read failed" for a
  // mapped file that another process cut short meanwhile (its lines then
  // held zero bytes instead of its own) or wrote over.
  [[nodiscard]] bool mappings_intact() const;
  // Forgets every line and frees their memory.
  void clear();
  // Forgets every line but keeps the blocks and the room for lines, for the
  // next batch: memory touched again costs no fault.
  void recycle();
  // Keeps a block that holds no line for reuse.
  void keep_spare(std::unique_ptr<LargeBuffer> block);
  // A block kept by `recycle` of `bytes` or more; none if there is none.
  [[nodiscard]] std::unique_ptr<LargeBuffer> reuse_block(std::size_t bytes);

 private:
  std::vector<std::unique_ptr<LargeBuffer>> blocks_;
  std::vector<std::unique_ptr<LargeBuffer>> spare_blocks_;
  std::uint64_t spare_bytes_ = 0;
  struct MappedPart {
    std::shared_ptr<const RecordFile> mapping;
    std::size_t offset;
    std::size_t bytes;
    std::string name;
  };
  std::vector<MappedPart> mapped_;
  std::uint64_t block_bytes_ = 0;
};

// How inputs are read into a batch.
struct ReadPlan {
  char terminator = '\n';
  // The batch is handed to `spill` whenever it holds more than this.
  std::uint64_t limit = 0;
  unsigned threads = 1;
  // May a regular file be mapped rather than read?
  bool allow_mapping = true;
  // Sorts the batch and stores it as a run, leaving it empty; false after
  // reporting a failure. Nothing means the batch may not be spilled.
  std::function<bool(LineBatch&)> spill;
};

// Reads the input open as `fd` (its name `name` for messages) into
// `batch`. 0 when done; otherwise the status of the run after reporting
// "read failed: NAME: REASON" (or the spill's failure).
[[nodiscard]] int read_input(int fd, const std::string& name, const ReadPlan& plan,
                             LineBatch& batch);

}  // namespace zelto::sorter
