// The sort engine: orders record indices by order-preserving key prefixes and
// calls the exact comparator only where those prefixes are all equal.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "compare.h"
#include "key_prefix.h"
#include "large_buffer.h"
#include "parallel.h"

namespace zelto {

// How one run orders its records: the key kind and direction drive the
// engine, `compare` is the exact order it reproduces.
struct SortPolicy {
  KeyKind kind;
  bool descending;
  Comparator compare;
};

// Records laid out back to back, visited in `order` (indices of records).
struct RecordTable {
  const unsigned char* base;
  std::size_t record_size;
  std::span<const std::uint32_t> order;
  [[nodiscard]] const unsigned char* record(std::size_t i) const {
    return base + static_cast<std::size_t>(order[i]) * record_size;
  }
  // Hints the record a few places further down the order, from `offset` on,
  // into the cache while record `i` is read: visited in sorted order, the
  // records lie scattered in memory. Positions from `end` on are not fetched.
  void prefetch_ahead(std::size_t i, std::size_t end, int offset) const {
    constexpr std::size_t distance = 16;
    if (i + distance < end) {
      const unsigned char* start = record(i + distance) + offset;
      __builtin_prefetch(start);
      __builtin_prefetch(start + 64);
    }
  }
};

// Working memory of the engine for `count` records, 12 bytes a record: one
// entry of key prefix and index each, sorted in place.
class SortSpace {
 public:
  explicit SortSpace(std::size_t count);
  [[nodiscard]] bool allocated() const { return memory_.allocated(); }
  [[nodiscard]] std::size_t count() const { return count_; }
  [[nodiscard]] unsigned char* memory() const { return memory_.data(); }

 private:
  std::size_t count_;
  LargeBuffer memory_;
};

// Sorts the `space.count()` records at `records` (each `record_size` >= 91
// bytes, fewer than 2^32 of them) by `policy` and returns their indices in
// sorted order, held in the first third of `space`. Records whose keys fully tie meet in the
// comparator, so their ties are noted; a record is never compared with itself.
// With an inconsistent comparator (NaN doubles) the result is still a
// permutation of the indices. Runs on up to `threads` threads; the order and
// the ties noted are the same for every thread count.
std::span<std::uint32_t> sort_records(const unsigned char* records, std::size_t record_size,
                                      const SortPolicy& policy, SortSpace& space,
                                      unsigned threads = thread_count());

}  // namespace zelto
