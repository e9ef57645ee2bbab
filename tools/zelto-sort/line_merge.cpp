#include "line_merge.h"

#include <algorithm>
#include <cstring>

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

// A tournament's order of streams: by their lines, then by stream number.
struct StreamOrder {
  std::span<const std::unique_ptr<LineCursor>> streams;
  const text::LineComparator& comparator;
  // True when stream `a` must give its line after stream `b`'s (a heap's
  // "less": the heap's top is the next line out).
  bool operator()(std::size_t a, std::size_t b) const {
    const int order = comparator.compare(streams[a]->line(), streams[b]->line());
    return order > 0 || (order == 0 && a > b);
  }
};

}  // namespace

int merge_streams(std::span<const std::unique_ptr<LineCursor>> streams,
                  const text::LineComparator& comparator, bool unique, bool debug, char terminator,
                  ByteSink& sink) {
  std::vector<std::size_t> heap;
  for (std::size_t i = 0; i < streams.size(); ++i) {
    if (streams[i]->next()) heap.push_back(i);
    if (streams[i]->failed()) return STATUS_TROUBLE;
  }
  const StreamOrder order{streams, comparator};
  std::make_heap(heap.begin(), heap.end(), order);
  std::string previous;
  bool any = false;
  std::string scratch;
  while (!heap.empty() && !sink.failed()) {
    std::pop_heap(heap.begin(), heap.end(), order);
    const std::size_t top = heap.back();
    const std::string_view line = streams[top]->line();
    if (!unique || !any || comparator.compare_keys(previous, line) != 0) {
      put_line(line, comparator, debug, terminator, sink, scratch);
      if (unique) previous.assign(line);
      any = true;
    }
    if (streams[top]->next()) {
      std::push_heap(heap.begin(), heap.end(), order);
    } else {
      if (streams[top]->failed()) return STATUS_TROUBLE;
      heap.pop_back();
    }
  }
  return 0;
}

}  // namespace zelto::sorter
