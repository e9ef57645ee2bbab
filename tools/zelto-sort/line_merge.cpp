#include "line_merge.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "parallel.h"
#include "sort_messages.h"

namespace zelto::sorter {

LineCursor::LineCursor(ReadBytes read, std::string name, char terminator, std::size_t buffer_bytes)
    : read_(std::move(read)),
      name_(std::move(name)),
      terminator_(terminator),
      buffer_(std::max<std::size_t>(buffer_bytes, 4096)) {}

bool LineCursor::refill() {
  // The unread bytes move to the front; a buffer they fill doubles.
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  int error = 0;
  const long long got = read_(buffer_.data() + end_, buffer_.size() - end_, error);
  if (got < 0) {
    report("read failed: " + quote_file(name_) + ": " + error_text(error));
    failed_ = true;
    return false;
  }
  if (got == 0) ended_ = true;
  end_ += static_cast<std::size_t>(got);
  return true;
}

bool LineCursor::next() {
  std::size_t searched = begin_;
  for (;;) {
    const void* found = std::memchr(buffer_.data() + searched, terminator_, end_ - searched);
    if (found != nullptr) {
      const auto stop = static_cast<std::size_t>(static_cast<const char*>(found) - buffer_.data());
      line_ = {buffer_.data() + begin_, stop - begin_};
      begin_ = stop + 1;
      return true;
    }
    if (ended_) {
      if (begin_ == end_) return false;
      line_ = {buffer_.data() + begin_, end_ - begin_};
      begin_ = end_;
      return true;
    }
    const std::size_t unread = end_ - begin_;
    if (!refill()) return false;
    searched = begin_ + unread;
  }
}

void put_line(std::string_view line, const text::LineComparator& comparator, bool debug,
              char terminator, ByteSink& sink, std::string& scratch) {
  if (!debug) {
    sink.write(line);
    sink.write(std::string_view(&terminator, 1));
    return;
  }
  scratch.clear();
  text::append_debug_line(line, scratch);
  comparator.annotate(line, scratch);
  sink.write(scratch);
}

namespace {

// A stream's line in the merge, with the line's first digest: most lines
// are ordered by their digests alone, and only lines whose digests are
// equal by the comparison.
struct Head {
  std::uint64_t digest;
  std::size_t stream;
};

// The merge's order of heads: by their lines, then by stream number.
struct HeadOrder {
  std::span<const std::unique_ptr<LineCursor>> streams;
  const text::LineComparator& comparator;
  // True when `a` must give its line after `b` (a heap's "less": the heap's
  // top is the next line out).
  bool operator()(const Head& a, const Head& b) const {
    if (a.digest != b.digest) return a.digest > b.digest;
    const int order = comparator.compare(streams[a.stream]->line(), streams[b.stream]->line());
    return order > 0 || (order == 0 && a.stream > b.stream);
  }
  [[nodiscard]] Head head_of(std::size_t stream) const {
    bool more = false;
    return {comparator.digest(streams[stream]->line(), 0, more), stream};
  }
};

// Restores the heap after its top changed.
void sift_down(std::vector<Head>& heap, const HeadOrder& after) {
  const std::size_t n = heap.size();
  std::size_t at = 0;
  const Head moving = heap[0];
  for (;;) {
    std::size_t child = 2 * at + 1;
    if (child >= n) break;
    if (child + 1 < n && after(heap[child], heap[child + 1])) ++child;
    if (!after(moving, heap[child])) break;
    heap[at] = heap[child];
    at = child;
  }
  heap[at] = moving;
}

// Bytes gathered into two blocks in turn: one is written to the sink on a
// thread of its own while the merge fills the other.
class BlockRelay final : public ByteSink {
 public:
  BlockRelay(ByteSink& sink, unsigned threads)
      : sink_(sink),
        writer_(
            [this](std::size_t block) {
              sink_.write(blocks_[block]);
              blocks_[block].clear();
              if (sink_.failed()) failed_.store(true);
            },
            threads) {
    for (std::string& block : blocks_) block.reserve(BLOCK_BYTES);
  }
  BlockRelay(const BlockRelay&) = delete;
  BlockRelay& operator=(const BlockRelay&) = delete;
  ~BlockRelay() override { writer_.wait(); }

  void write(std::string_view bytes) override {
    blocks_[filling_].append(bytes);
    if (blocks_[filling_].size() >= BLOCK_BYTES) hand_on();
  }
  [[nodiscard]] bool failed() const override { return failed_.load(); }
  // Writes what is gathered and waits until it is written.
  void finish() {
    hand_on();
    writer_.wait();
  }

 private:
  static constexpr std::size_t BLOCK_BYTES = std::size_t{1} << 20;
  void hand_on() {
    if (blocks_[filling_].empty()) return;
    writer_.post(filling_);
    filling_ ^= 1;
  }

  ByteSink& sink_;
  std::string blocks_[2];
  std::size_t filling_ = 0;
  std::atomic<bool> failed_{false};
  BackgroundJob writer_;  // last: it starts once everything it uses is there
};

int merge_heads(std::span<const std::unique_ptr<LineCursor>> streams,
                const text::LineComparator& comparator, bool unique, bool debug, char terminator,
                ByteSink& sink) {
  const HeadOrder order{streams, comparator};
  std::vector<Head> heap;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (streams[i]->next()) heap.push_back(order.head_of(i));
    if (streams[i]->failed()) return STATUS_TROUBLE;
  }
  std::make_heap(heap.begin(), heap.end(), order);
  std::string previous;
  bool any = false;
  std::string scratch;
  while (!heap.empty() && !sink.failed()) {
    const std::size_t top = heap.front().stream;
    const std::string_view line = streams[top]->line();
    if (!unique || !any || comparator.compare_keys(previous, line) != 0) {
      put_line(line, comparator, debug, terminator, sink, scratch);
      if (unique) previous.assign(line);
      any = true;
    }
    if (streams[top]->next()) {
      heap.front() = order.head_of(top);
    } else {
      if (streams[top]->failed()) return STATUS_TROUBLE;
      heap.front() = heap.back();
      heap.pop_back();
      if (heap.empty()) break;
    }
    sift_down(heap, order);
  }
  return 0;
}

}  // namespace

int merge_streams(std::span<const std::unique_ptr<LineCursor>> streams,
                  const text::LineComparator& comparator, bool unique, bool debug, char terminator,
                  unsigned threads, ByteSink& sink) {
  BlockRelay relay(sink, threads);
  const int status = merge_heads(streams, comparator, unique, debug, terminator, relay);
  relay.finish();
  return status;
}

}  // namespace zelto::sorter
