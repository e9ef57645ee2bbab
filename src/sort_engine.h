// The sort engine: orders the indices of entries (fixed-size records, text
// lines) by order-preserving 64-bit key prefixes, level after level, and
// calls the exact comparison only where those prefixes are all equal.
// Entries that compare equal leave in index order: the result is that of a
// stable sort by the exact comparison, the same for every thread count.
//
// Records go through `sort_records`; any other kind of entry is a key source
// (the `KeySource` concept below) sorted by `sort_keys`, whose template is in
// sort_engine_impl.h for the files that define a source.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>

#include "compare.h"
#include "key_prefix.h"
#include "large_buffer.h"
#include "parallel.h"
#include "portability.h"

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
      prefetch(start);
      prefetch(start + 64);
    }
  }
};

// Working memory of the engine for `count` entries, 12 bytes each: one of key
// prefix and index for each, sorted in place.
class SortSpace {
 public:
  explicit SortSpace(std::size_t count, PageSize pages = PageSize::Huge);
  [[nodiscard]] bool allocated() const { return memory_.allocated(); }
  [[nodiscard]] std::size_t count() const { return count_; }
  // Holds `count` entries from now on, if it was made for as many (false
  // otherwise): a space serves batch after batch without its memory being
  // faulted in again.
  [[nodiscard]] bool reuse_for(std::size_t count);
  [[nodiscard]] unsigned char* memory() const { return memory_.data(); }

 private:
  std::size_t count_;
  LargeBuffer memory_;
};

namespace detail {
struct Entry;
}

// A range of the engine's entries, as a source's hooks see it: the index and
// the current prefix of each. Valid only during the call it is handed to.
class KeyRun {
 public:
  KeyRun(const detail::Entry* entries, std::size_t size) : entries_(entries), size_(size) {}
  [[nodiscard]] std::size_t size() const { return size_; }
  // Defined in sort_engine_impl.h, with the entry's layout.
  [[nodiscard]] inline std::uint32_t index(std::size_t i) const;
  [[nodiscard]] inline std::uint64_t prefix(std::size_t i) const;

 private:
  const detail::Entry* entries_;
  std::size_t size_;
};

// What a source does with the ties its comparisons note, per first-level
// bucket (each bucket is sorted by one task, on some thread). The engine
// makes `Logs logs(bucket_count)`, sorts bucket k within the lifetime of
// `logs.scope(k)`, and calls `logs.finish()` on the calling thread once all
// buckets are sorted. This one keeps nothing.
struct NoBucketLogs {
  struct Scope {};
  explicit NoBucketLogs(std::size_t /*buckets*/) {}
  [[nodiscard]] Scope scope(std::size_t /*bucket*/) const { return {}; }
  void finish() const {}
};

// A key source: the entries 0 to count-1 that `sort_keys` orders, seen
// through a small const policy whose calls the engine inlines (no virtual
// call). Levels count from 0.
// - `prefix(index, level)`: the entry's order-preserving prefix at `level`.
//   For two entries whose prefixes agree at every level below `level`, a
//   smaller prefix at `level` means the entry comes first. Asked at level 0
//   for every entry (twice, or once with KEEPS_FIRST_PREFIXES below), then
//   at each next level only for the entries of a run that shared every
//   prefix so far; the source may note, per index, what it learns (a
//   line's "more levels follow").
// - `settled(run, level)`: true when no level deeper than `level` can part
//   the run's entries, whose prefixes are equal up to `level`; the exact
//   comparison then orders them. Must be true at some level.
// - `before(a, b)`: the exact order, asked only of two different entries
//   whose prefixes are equal at every level up to a settled one (or, with
//   COMPARED_RUN, up to any level).
// - optionally, `static constexpr std::size_t COMPARED_RUN`: a run of
//   equal prefixes with fewer entries than this is ordered by `before` at
//   once, whatever its level (for a source whose `before` is the whole
//   order, not only that of entries with equal keys).
// - optionally, `static constexpr bool KEEPS_FIRST_PREFIXES = true`: the
//   prefixes of level 0 are asked once and kept in 8 more bytes per entry
//   while the entries are put into buckets (a source whose prefixes cost
//   more than that memory).
// - optionally, `tied(run, level)`: for a settled run, true when its
//   entries are all equal in the exact order; they then keep index order
//   and `before` is not asked.
// - optionally, `shared_through(run, level)`: for a run that is not
//   settled at `level`, a deeper level through which its entries are known
//   to have equal prefixes at every level and still not be settled (or
//   `level`): the levels between are passed over without being asked.
// - `prefetch_ahead(range, i, level)`: prefix(range.index(i), level) is
//   about to be read, and those of later entries of `range` after it.
// - `announce(run, level)`: the run's entries will soon be ordered, at
//   `level` + 1 or by the exact order.
// - `Logs`: a type as NoBucketLogs (for records: the per-bucket tie logs).
template <class S>
concept KeySource = requires(const S& source, std::uint32_t index, int level, KeyRun run,
                             std::size_t i) {
  { source.prefix(index, level) } -> std::same_as<std::uint64_t>;
  { source.settled(run, level) } -> std::same_as<bool>;
  { source.before(index, index) } -> std::same_as<bool>;
  source.prefetch_ahead(run, i, level);
  source.announce(run, level);
}
&&requires(typename S::Logs& logs, std::size_t bucket) {
  typename S::Logs::Scope;
  { logs.scope(bucket) } -> std::same_as<typename S::Logs::Scope>;
  logs.finish();
  requires std::constructible_from<typename S::Logs, std::size_t>;
};

// Sorts the `space.count()` entries of `source` (fewer than 2^32) and
// returns their indices in order, held in the first third of `space`. On up
// to `threads` threads; the order, and every comparison asked, are the same
// for every thread count. An inconsistent `before` still leaves a
// permutation. Defined in sort_engine_impl.h.
template <KeySource Source>
std::span<std::uint32_t> sort_keys(const Source& source, SortSpace& space, unsigned threads);

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
