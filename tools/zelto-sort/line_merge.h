// Sorted streams of lines read a block at a time, and their merge: the runs
// that did not fit in memory, or the inputs of -m. Within a stream's
// buffer a line is one piece; a line longer than the buffer grows it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "line_sink.h"
#include "text_keys.h"

namespace zelto::sorter {

// Reads at most `size` bytes into `data`: how many (0 at the end), or -1
// with `error` set.
using ReadBytes = std::function<long long(char* data, std::size_t size, int& error)>;

class LineCursor {
 public:
  // `name` is what a read failure reports ("read failed: NAME: REASON").
  LineCursor(ReadBytes read, std::string name, char terminator, std::size_t buffer_bytes);

  // Moves to the next line: true with `line()` set, false at the end or on
  // a failure (then `failed()`, after the report).
  [[nodiscard]] bool next();
  [[nodiscard]] std::string_view line() const { return {buffer_.data() + line_at_, line_size_}; }
  // The line `line()` was before the last `next()` (empty at the start): it
  // stays in the buffer until the next one.
  [[nodiscard]] std::string_view previous() const {
    return {buffer_.data() + previous_at_, previous_size_};
  }
  [[nodiscard]] bool failed() const { return failed_; }
  // Starts again on the bytes of `read`, in the same buffer.
  void restart(ReadBytes read);

 private:
  [[nodiscard]] bool refill();

  ReadBytes read_;
  std::string name_;
  char terminator_;
  std::vector<char> buffer_;
  std::size_t begin_ = 0;  // the unread bytes: [begin_, end_)
  std::size_t end_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  std::size_t line_at_ = 0;  // line() and previous() within the buffer
  std::size_t line_size_ = 0;
  std::size_t previous_at_ = 0;
  std::size_t previous_size_ = 0;
};

// Merges the sorted streams into `sink` in the order of
// `comparator.compare`, lines that compare equal in the order of the
// streams; with `unique`, only the first of lines whose keys compare equal.
// With `debug`, each line is followed by its annotation. With `threads`
// above 1, the bytes are handed to `sink` on a thread of their own while
// the merge goes on. Returns 0, or 2 after a reported read failure.
[[nodiscard]] int merge_streams(std::span<const std::unique_ptr<LineCursor>> streams,
                                const text::LineComparator& comparator, bool unique, bool debug,
                                char terminator, unsigned threads, ByteSink& sink);

// A merge cut into parts by ranges of the order: part p holds, of every
// stream, the lines that sort after those of part p-1 and before those of
// part p+1 (so lines that compare equal share a part), and the merge of the
// parts in turn is the merge of the whole.
class MergeParts {
 public:
  virtual ~MergeParts() = default;
  [[nodiscard]] virtual std::size_t count() const = 0;
  // A cursor for each stream, to be aimed at one part after another.
  [[nodiscard]] virtual std::vector<std::unique_ptr<LineCursor>> cursors() const = 0;
  // Aims `cursors` at the lines of part `part`.
  virtual void aim(std::size_t part,
                   std::span<const std::unique_ptr<LineCursor>> cursors) const = 0;
};

// Merges `parts` into `sink` on up to `threads` threads, each merging one
// part after another: the part whose turn it is goes straight to `sink`,
// the bytes of a later one are held (up to about `held_bytes` a thread)
// until its turn comes. The bytes are those of one merge of the whole.
// Returns 0, or 2 after a reported read failure.
[[nodiscard]] int merge_parts(const MergeParts& parts, const text::LineComparator& comparator,
                              bool unique, bool debug, char terminator, unsigned threads,
                              std::size_t held_bytes, ByteSink& sink);

// Writes one output line, or its annotation with `debug`.
void put_line(std::string_view line, const text::LineComparator& comparator, bool debug,
              char terminator, ByteSink& sink, std::string& scratch);

}  // namespace zelto::sorter
