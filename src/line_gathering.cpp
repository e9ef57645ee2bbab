#include "line_gathering.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "line_sink.h"
#include "parallel.h"

namespace zelto {

namespace {

// Records are gathered in slices of about this many bytes of record each.
constexpr std::size_t SLICE_BYTES = std::size_t{1} << 20;
// Larger records are formatted on the calling thread alone, without buffers.
constexpr std::size_t MAX_SHARED_RECORD = std::size_t{64} << 10;

void append_lines(const RecordTable& table, const LineFormat& format, LineSink& sink) {
  const std::size_t count = table.order.size();
  for (std::size_t i = 0; i < count; ++i) {
    table.prefetch_ahead(i, count, format.text_offset);
    sink.append(line_of(table.record(i), table.record_size, format));
    if (!format.line_end.empty()) sink.append(format.line_end);
  }
}

// Appends the lines of records [begin, end) of the order to `buffer`, which
// has room for them.
void format_slice(const RecordTable& table, const LineFormat& format, std::size_t begin,
                  std::size_t end, std::vector<char>& buffer) {
  buffer.clear();
  for (std::size_t i = begin; i < end; ++i) {
    table.prefetch_ahead(i, end, format.text_offset);
    const std::string_view text = line_of(table.record(i), table.record_size, format);
    buffer.insert(buffer.end(), text.begin(), text.end());
    buffer.insert(buffer.end(), format.line_end.begin(), format.line_end.end());
  }
}

// A buffer that slices i, i + K, i + 2K, ... pass through: `filled` counts
// the slices formatted into it, `emptied` those handed on. The counts are
// guarded by the gatherer's mutex: std::atomic's wait can miss a wake-up
// where the library has no futex to build it on (mingw-w64's libstdc++),
// which left a run waiting for ever.
struct Slot {
  std::vector<char> buffer;
  std::size_t filled = 0;
  std::size_t emptied = 0;
};

class ParallelGatherer {
 public:
  ParallelGatherer(const RecordTable& table, const LineFormat& format, unsigned threads)
      : table_(table),
        format_(format),
        threads_(threads),
        slice_records_(std::max<std::size_t>(1, SLICE_BYTES / table.record_size)),
        slices_((table.order.size() + slice_records_ - 1) / slice_records_),
        slots_(2 * static_cast<std::size_t>(threads)) {}

  // Reserves every buffer's largest size up front; false when the memory
  // cannot be had.
  [[nodiscard]] bool reserve() {
    const std::size_t line = table_.record_size + format_.line_end.size();
    try {
      for (Slot& slot : slots_) slot.buffer.reserve(slice_records_ * line);
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }

  void run(LineSink& sink) {
    std::vector<std::jthread> workers;
    for (unsigned t = 0; t < threads_; ++t) {
      try {
        workers.emplace_back([this] { format_slices(); });
      } catch (const std::system_error&) {
        break;
      }
    }
    if (workers.empty()) {
      append_lines(table_, format_, sink);
      return;
    }
    for (std::size_t i = 0; i < slices_; ++i) {
      Slot& slot = slots_[i % slots_.size()];
      const std::size_t round = i / slots_.size();
      await(slot.filled, round + 1);
      sink.append({slot.buffer.data(), slot.buffer.size()});
      publish(slot.emptied, round + 1);
    }
  }

 private:
  void format_slices() {
    for (std::size_t i = next_++; i < slices_; i = next_++) {
      Slot& slot = slots_[i % slots_.size()];
      const std::size_t round = i / slots_.size();
      await(slot.emptied, round);
      const std::size_t begin = i * slice_records_;
      const std::size_t end = std::min(begin + slice_records_, table_.order.size());
      format_slice(table_, format_, begin, end, slot.buffer);
      publish(slot.filled, round + 1);
    }
  }

  // Waits until the count `value` of a slot holds `wanted`.
  void await(const std::size_t& value, std::size_t wanted) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [&] { return value == wanted; });
  }

  void publish(std::size_t& value, std::size_t now) {
    {
      const std::lock_guard lock(mutex_);
      value = now;
    }
    changed_.notify_all();
  }

  const RecordTable& table_;
  const LineFormat& format_;
  unsigned threads_;
  std::size_t slice_records_;
  std::size_t slices_;
  std::vector<Slot> slots_;
  std::atomic<std::size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable changed_;
};

// The text field of a record: from `text_offset` up to its NUL, or up to the
// record's end when the field holds no NUL.
std::string_view text_field(const unsigned char* record, std::size_t record_size, int text_offset) {
  const auto* text = reinterpret_cast<const char*>(record + text_offset);
  const std::size_t room = record_size - static_cast<std::size_t>(text_offset);
  const void* nul = std::memchr(text, 0, room);
  return {text,
          nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : room};
}

}  // namespace

std::string_view line_of(const unsigned char* record, std::size_t record_size,
                         const LineFormat& format) {
  const std::string_view text = text_field(record, record_size, format.text_offset);
  return format.cut_at_newline ? text.substr(0, text.find('\n')) : text;
}

void gather_lines(const RecordTable& table, const LineFormat& format, unsigned threads,
                  LineSink& sink) {
  const bool shared = threads > 1 && table.record_size <= MAX_SHARED_RECORD &&
                      table.order.size() * table.record_size > SLICE_BYTES;
  if (shared) {
    ParallelGatherer gatherer(table, format, threads);
    if (gatherer.reserve()) {
      gatherer.run(sink);
      return;
    }
  }
  append_lines(table, format, sink);
}

}  // namespace zelto
