// The engine's template, for the files that define a key source (see
// sort_engine.h): `sort_keys` and what it is made of, in `detail`.
//
// The first level is split into buckets by the leading 16 bits of the
// prefixes and the buckets are shared out among threads; each is then
// ordered by an MSD radix sort (in place, or through a task's scratch),
// level by level, and runs of equal prefixes that no deeper level can part
// by the source's exact order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "comparator_sort.h"
#include "large_buffer.h"
#include "parallel.h"
#include "radix_sort.h"
#include "sort_engine.h"

namespace zelto {

inline std::uint32_t KeyRun::index(std::size_t i) const {
  return entries_[i].index;
}
inline std::uint64_t KeyRun::prefix(std::size_t i) const {
  return entries_[i].key;
}

namespace detail {

// Orders one first-level bucket of a source's entries.
template <class Source>
class Engine {
 public:
  explicit Engine(const Source& source) : source_(source) {}

  // Orders the `n` entries at `entries`, whose keys hold first-level
  // prefixes; `scratch` is this task's own.
  void sort_first_level(Entry* entries, std::size_t n, std::span<Entry> scratch) const {
    radix_sort(entries, n, 64, scratch, EqualRuns{*this, 0, scratch});
  }

 private:
  // What the radix sort hands the runs of equal prefixes of `level` to.
  struct EqualRuns {
    const Engine& engine;
    int level;
    std::span<Entry> scratch;
    void operator()(Entry* run, std::size_t n) const { engine.sort_equal(run, n, level, scratch); }
    void announce(const Entry* run, std::size_t n) const {
      engine.source_.announce(KeyRun(run, n), level);
    }
  };

  // Orders a run of `n` (>= 2) entries whose prefixes agree at every level
  // up to `level`: by deeper levels until one parts them, or by the exact
  // order once they are settled. Levels that part nothing are passed over
  // in a loop, not by recursion.
  void sort_equal(Entry* run, std::size_t n, int level, std::span<Entry> scratch) const {
    for (;;) {
      if (source_.settled(KeyRun(run, n), level)) {
        if (tied(run, n, level)) {
          restore_index_order(run, n);
        } else {
          sort_exactly(run, n);
        }
        return;
      }
      ++level;
      if (load_prefixes(run, n, level)) {
        radix_sort(run, n, 64, scratch, EqualRuns{*this, level, scratch});
        return;
      }
    }
  }

  // Gives the `n` entries their prefixes of `level`; true when they differ.
  bool load_prefixes(Entry* entries, std::size_t n, int level) const {
    const KeyRun range(entries, n);
    bool parted = false;
    for (std::size_t i = 0; i < n; ++i) {
      source_.prefetch_ahead(range, i, level);
      entries[i].key = source_.prefix(entries[i].index, level);
      parted = parted || entries[i].key != entries[0].key;
    }
    return parted;
  }

  // Whether the source knows the settled run's entries to be all equal in
  // the exact order (sources without `tied` never say so).
  bool tied(Entry* run, std::size_t n, int level) const {
    if constexpr (requires { source_.tied(KeyRun(run, n), level); }) {
      return source_.tied(KeyRun(run, n), level);
    } else {
      return false;
    }
  }

  // A run of entries all equal in the exact order leaves in index order, as
  // a stable sort leaves it, without a comparison.
  static void restore_index_order(Entry* run, std::size_t n) {
    auto by_index = [](const Entry& a, const Entry& b) { return a.index < b.index; };
    if (!std::is_sorted(run, run + n, by_index)) std::sort(run, run + n, by_index);
  }

  // Orders a run of equal prefixes by the exact order alone. The run starts
  // from index order, as a stable sort of the prefixes leaves it, so entries
  // the order cannot part leave in index order and the source is asked
  // exactly what a stable engine would ask. The run's own memory holds the
  // indices (its first third) and the merge's scratch (its second).
  void sort_exactly(Entry* run, std::size_t n) const {
    const std::uint64_t key = run[0].key;
    auto* bytes = reinterpret_cast<unsigned char*>(run);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t index = run[i].index;
      std::memcpy(bytes + 4 * i, &index, 4);
    }
    auto* indices = reinterpret_cast<std::uint32_t*>(bytes);
    if (!std::is_sorted(indices, indices + n)) std::sort(indices, indices + n);
    comparator_sort(indices, indices + n, 0, n,
                    [this](std::uint32_t a, std::uint32_t b) { return source_.before(a, b); });
    // Back to entries from the last one on: each write lands on indices
    // already read.
    for (std::size_t i = n; i-- > 0;) {
      const Entry entry{key, indices[i]};
      std::memcpy(bytes + sizeof(Entry) * i, &entry, sizeof(Entry));
    }
  }

  Source source_;
};

// Scratch entries each task moves its ranges through; larger ranges are
// sorted in place. Small enough that every thread's scratch stays a few
// MiB, large enough for most first-level buckets.
inline constexpr std::size_t SCRATCH_ENTRIES = std::size_t{1} << 19;

// Scratch blocks of `entries` entries lent to tasks, one for each task
// running at once; a block that cannot be had leaves its task sorting in
// place. Nothing throws: the tasks run on threads of their own.
class ScratchPool {
 public:
  explicit ScratchPool(std::size_t entries) : entries_(entries) {}
  [[nodiscard]] std::unique_ptr<LargeBuffer> take() noexcept;
  // The scratch of a block that was had, none otherwise.
  [[nodiscard]] std::span<Entry> entries_in(const LargeBuffer* block) const;
  void give_back(std::unique_ptr<LargeBuffer> block) noexcept;

 private:
  std::size_t entries_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<LargeBuffer>> free_;
};

// The first level is split by the leading 16 bits of the prefixes; runs of
// neighbouring values form buckets of about 1/BUCKET_SHARE of the entries
// (a value more common than that is a bucket alone). Buckets depend only on
// the keys, so every thread count sorts the same buckets, and they are small
// enough to be shared out evenly and to be sorted through scratch.
inline constexpr int VALUE_BITS = 16;
inline constexpr std::size_t VALUES = std::size_t{1} << VALUE_BITS;
inline constexpr std::size_t BUCKET_SHARE = 4096;

inline std::size_t value_of(std::uint64_t key) {
  return static_cast<std::size_t>(key >> (64 - VALUE_BITS));
}

struct Bucket {
  std::size_t begin;
  std::size_t end;
};

// Where the entries of each part of the indices go, by first-level value.
struct BucketPlan {
  std::vector<std::uint32_t> bucket_of;        // by value
  std::vector<std::vector<std::size_t>> next;  // by part, then bucket
  std::vector<Bucket> buckets;                 // those of two or more
};

// The plan for `count` entries whose values each part counted in `counts`
// (VALUES counts a part): each part's entries of a bucket follow those of
// the parts before it.
[[nodiscard]] BucketPlan plan_buckets(const std::vector<std::vector<std::uint32_t>>& counts,
                                      std::size_t count);

// Turns the `count` entries at `entries` into their indices, in order, at
// the start of the same memory.
[[nodiscard]] std::uint32_t* pack_indices(Entry* entries, std::size_t count, unsigned threads);

// Writes every entry of first-level prefix and index to `entries`, grouped
// by bucket and in index order within each, and returns the buckets of two
// or more entries. Prefixes are read twice, to count and to place, so that
// no second array is needed.
template <class Source>
std::vector<Bucket> load_by_bucket(const Source& source, Entry* entries, std::size_t count,
                                   unsigned threads) {
  const std::size_t parts = part_count(count, threads);
  std::vector<std::vector<std::uint32_t>> counts(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    counts[p].assign(VALUES, 0);
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      ++counts[p][value_of(source.prefix(static_cast<std::uint32_t>(i), 0))];
    }
  });
  BucketPlan plan = plan_buckets(counts, count);
  run_tasks(parts, threads, [&](std::size_t p) {
    std::vector<std::size_t>& at = plan.next[p];
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      const std::uint64_t key = source.prefix(index, 0);
      entries[at[plan.bucket_of[value_of(key)]]++] = Entry{key, index};
    }
  });
  return std::move(plan.buckets);
}

}  // namespace detail

template <KeySource Source>
std::span<std::uint32_t> sort_keys(const Source& source, SortSpace& space, unsigned threads) {
  using detail::Bucket;
  const std::size_t count = space.count();
  if (count == 0) return {};
  auto* entries = reinterpret_cast<detail::Entry*>(space.memory());
  const detail::Engine<Source> engine(source);
  const std::vector<Bucket> buckets = detail::load_by_bucket(source, entries, count, threads);
  typename Source::Logs logs(buckets.size());
  // Scratch beyond the largest bucket would never be used.
  std::size_t largest = 0;
  for (const Bucket& b : buckets) largest = std::max(largest, b.end - b.begin);
  detail::ScratchPool pool(std::min(largest, detail::SCRATCH_ENTRIES));
  run_tasks(buckets.size(), threads, [&](std::size_t k) {
    [[maybe_unused]] const typename Source::Logs::Scope scope = logs.scope(k);
    std::unique_ptr<LargeBuffer> scratch = pool.take();
    engine.sort_first_level(entries + buckets[k].begin, buckets[k].end - buckets[k].begin,
                            pool.entries_in(scratch.get()));
    pool.give_back(std::move(scratch));
  });
  logs.finish();
  return {detail::pack_indices(entries, count, threads), count};
}

}  // namespace zelto
