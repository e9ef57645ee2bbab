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
#include <bit>
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

// The deepest level, from `level` on, through which `source` knows the
// entries of `run` (not settled at `level`) to share their prefixes without
// being settled; sources without `shared_through` know only `level`.
template <class Source>
int shared_levels_through(const Source& source, KeyRun run, int level) {
  if constexpr (requires { source.shared_through(run, level); }) {
    return std::max(level, source.shared_through(run, level));
  } else {
    return level;
  }
}

// Gives the `n` entries their prefixes of `level`; true when they differ.
template <class Source>
bool load_prefixes(const Source& source, Entry* entries, std::size_t n, int level) {
  const KeyRun range(entries, n);
  bool parted = false;
  for (std::size_t i = 0; i < n; ++i) {
    source.prefetch_ahead(range, i, level);
    entries[i].key = source.prefix(entries[i].index, level);
    parted = parted || entries[i].key != entries[0].key;
  }
  return parted;
}

// Orders one bucket of a source's entries.
template <class Source>
class Engine {
 public:
  explicit Engine(const Source& source) : source_(source) {}

  // Orders the `n` entries at `entries`, whose keys hold the prefixes of
  // `level` and agree above their lowest `bits`; `scratch` is this task's
  // own.
  void sort_bucket(Entry* entries, std::size_t n, int level, int bits,
                   std::span<Entry> scratch) const {
    radix_sort(entries, n, bits, scratch, EqualRuns{*this, level, scratch});
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
  // in a loop, not by recursion, and those the source knows to part
  // nothing are not even asked.
  void sort_equal(Entry* run, std::size_t n, int level, std::span<Entry> scratch) const {
    if constexpr (requires { Source::COMPARED_RUN; }) {
      if (n < Source::COMPARED_RUN) {
        sort_exactly(run, n);
        return;
      }
    }
    for (bool parted_before = true;; parted_before = false) {
      if (source_.settled(KeyRun(run, n), level)) {
        if (tied(run, n, level)) {
          restore_index_order(run, n);
        } else {
          sort_exactly(run, n);
        }
        return;
      }
      // Most runs part at the next level: the source is asked how many
      // levels are shared only of a run that a level failed to part.
      level = parted_before ? level + 1 : shared_levels_through(source_, KeyRun(run, n), level) + 1;
      if (load_prefixes(source_, run, n, level)) {
        radix_sort(run, n, 64, scratch, EqualRuns{*this, level, scratch});
        return;
      }
    }
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

// Entries [begin, end), whose keys hold the prefixes of `level` and agree
// in every bit above the lowest `bits`.
struct Bucket {
  std::size_t begin;
  std::size_t end;
  int level = 0;
  int bits = 64;
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
// no second array is needed; a source whose prefixes cost more than a
// second array (`KEEPS_FIRST_PREFIXES`) has them read once and kept there,
// if that memory can be had: it is then left in `kept_memory`.
template <class Source>
std::vector<Bucket> load_by_bucket(const Source& source, Entry* entries, std::size_t count,
                                   unsigned threads, std::unique_ptr<LargeBuffer>& kept_memory) {
  if constexpr (requires { requires Source::KEEPS_FIRST_PREFIXES; }) {
    kept_memory = std::make_unique<LargeBuffer>(count * sizeof(std::uint64_t), PageSize::Small);
    if (!kept_memory->allocated()) kept_memory.reset();
  }
  auto* kept = kept_memory ? reinterpret_cast<std::uint64_t*>(kept_memory->data()) : nullptr;
  const std::size_t parts = part_count(count, threads);
  std::vector<std::vector<std::uint32_t>> counts(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    counts[p].assign(VALUES, 0);
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      const std::uint64_t key = source.prefix(static_cast<std::uint32_t>(i), 0);
      if (kept != nullptr) kept[i] = key;
      ++counts[p][value_of(key)];
    }
  });
  BucketPlan plan = plan_buckets(counts, count);
  run_tasks(parts, threads, [&](std::size_t p) {
    std::vector<std::size_t>& at = plan.next[p];
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      const std::uint64_t key = kept != nullptr ? kept[i] : source.prefix(index, 0);
      entries[at[plan.bucket_of[value_of(key)]]++] = Entry{key, index};
    }
  });
  return std::move(plan.buckets);
}

// A bucket of more than 1/LARGE_BUCKET_SHARE of all entries, and of at
// least LARGE_BUCKET, would keep one thread busy while the others wait (all
// lines with an empty first key, say): it is split again, every thread
// taking part, by the next bits that part its entries.
inline constexpr std::size_t LARGE_BUCKET_SHARE = 16;
inline constexpr std::size_t LARGE_BUCKET = std::size_t{1} << 16;

// The bits in which the keys of `n` entries differ from the first one's,
// among the lowest `bits`.
[[nodiscard]] std::uint64_t differing_bits(const Entry* entries, std::size_t n, int bits,
                                           unsigned threads);

// Moves the `n` entries into groups by the `width`-bit digit of their keys
// at `shift` and returns groups of neighbouring digits of about `target`
// entries each, relative to `entries` and with the bits they agree above,
// those of two or more only. Through `buffer` (room for `n` entries), on
// every thread, the entries of a digit keep their order, and those of an
// input read in order are still read nearly in order; without it, in place
// on this thread, and the order within a digit is lost.
[[nodiscard]] std::vector<Bucket> split_by_digit(Entry* entries, std::size_t n, int shift,
                                                 int width, std::size_t target, unsigned threads,
                                                 Entry* buffer);

// `shared_levels_through` of the `n` entries at `entries`, on every thread:
// each piece is measured from its own first entry and that entry from the
// run's first. Keys that share a beginning with a third key share it with
// each other, so the least of these is what one pass over the run finds.
template <class Source>
int shared_levels_on_threads(const Source& source, const Entry* entries, std::size_t n, int level,
                             unsigned threads) {
  if constexpr (!requires { source.shared_through(KeyRun(entries, n), level); }) return level;
  const std::size_t pieces = part_count(n, threads);
  std::vector<int> through(pieces, level);
  run_tasks(pieces, threads, [&](std::size_t p) {
    const std::size_t begin = part_start(n, pieces, p);
    const std::size_t end = part_start(n, pieces, p + 1);
    const Entry firsts[2] = {entries[0], entries[begin]};
    through[p] =
        std::min(shared_levels_through(source, KeyRun(entries + begin, end - begin), level),
                 shared_levels_through(source, KeyRun(firsts, 2), level));
  });
  return *std::min_element(through.begin(), through.end());
}

// Splits `bucket` by the first bits that part its entries, loading deeper
// levels on every thread while they all agree; the parts are appended to
// `parts`. False when its entries are settled before any part: it is
// sorted as it is.
template <class Source>
bool split_bucket(const Source& source, Entry* entries, Bucket bucket, std::size_t target,
                  unsigned threads, std::span<Entry> buffer, std::vector<Bucket>& parts) {
  Entry* first = entries + bucket.begin;
  const std::size_t n = bucket.end - bucket.begin;
  for (;;) {
    const std::uint64_t differ = differing_bits(first, n, bucket.bits, threads);
    if (differ != 0) {
      const int top = 64 - std::countl_zero(differ);
      // Through a buffer the entries are scattered to a digit's place: few
      // places keep the writes in the cache.
      Entry* through = n <= buffer.size() ? buffer.data() : nullptr;
      const int width = std::min(top, through != nullptr ? RADIX_BITS : VALUE_BITS);
      for (Bucket part : split_by_digit(first, n, top - width, width, target, threads, through)) {
        part.begin += bucket.begin;
        part.end += bucket.begin;
        part.level = bucket.level;
        parts.push_back(part);
      }
      return true;
    }
    if (source.settled(KeyRun(first, n), bucket.level)) return false;
    bucket.level = shared_levels_on_threads(source, first, n, bucket.level, threads) + 1;
    bucket.bits = 64;
    const std::size_t pieces = part_count(n, threads);
    run_tasks(pieces, threads, [&](std::size_t p) {
      const std::size_t begin = part_start(n, pieces, p);
      const std::size_t end = part_start(n, pieces, p + 1);
      (void)load_prefixes(source, first + begin, end - begin, bucket.level);
    });
  }
}

// `buckets` with every large one split (again, while its parts are large),
// in the same order, through `buffer` where it has room. The buckets depend
// only on the keys, not on `threads`.
template <class Source>
std::vector<Bucket> split_large_buckets(const Source& source, Entry* entries, std::size_t count,
                                        const std::vector<Bucket>& buckets, unsigned threads,
                                        std::span<Entry> buffer) {
  const std::size_t large = std::max(LARGE_BUCKET, count / LARGE_BUCKET_SHARE);
  const std::size_t target = std::max<std::size_t>(1, count / BUCKET_SHARE);
  std::vector<Bucket> result;
  std::vector<Bucket> pending(buckets.rbegin(), buckets.rend());
  std::vector<Bucket> parts;
  while (!pending.empty()) {
    const Bucket bucket = pending.back();
    pending.pop_back();
    parts.clear();
    if (bucket.end - bucket.begin <= large ||
        !split_bucket(source, entries, bucket, target, threads, buffer, parts)) {
      result.push_back(bucket);
      continue;
    }
    pending.insert(pending.end(), parts.rbegin(), parts.rend());
  }
  return result;
}

}  // namespace detail

template <KeySource Source>
std::span<std::uint32_t> sort_keys(const Source& source, SortSpace& space, unsigned threads) {
  using detail::Bucket;
  const std::size_t count = space.count();
  if (count == 0) return {};
  auto* entries = reinterpret_cast<detail::Entry*>(space.memory());
  const detail::Engine<Source> engine(source);
  std::vector<Bucket> buckets;
  {
    // The first prefixes' memory, if they were kept, is then the buffer
    // that large buckets are split through.
    std::unique_ptr<LargeBuffer> kept;
    buckets = detail::load_by_bucket(source, entries, count, threads, kept);
    const std::span<detail::Entry> buffer =
        kept ? std::span(reinterpret_cast<detail::Entry*>(kept->data()),
                         kept->size() / sizeof(detail::Entry))
             : std::span<detail::Entry>();
    buckets = detail::split_large_buckets(source, entries, count, buckets, threads, buffer);
  }
  typename Source::Logs logs(buckets.size());
  // Scratch beyond the largest bucket would never be used.
  std::size_t largest = 0;
  for (const Bucket& b : buckets) largest = std::max(largest, b.end - b.begin);
  detail::ScratchPool pool(std::min(largest, detail::SCRATCH_ENTRIES));
  run_tasks(buckets.size(), threads, [&](std::size_t k) {
    [[maybe_unused]] const typename Source::Logs::Scope scope = logs.scope(k);
    std::unique_ptr<LargeBuffer> scratch = pool.take();
    const Bucket& bucket = buckets[k];
    engine.sort_bucket(entries + bucket.begin, bucket.end - bucket.begin, bucket.level, bucket.bits,
                       pool.entries_in(scratch.get()));
    pool.give_back(std::move(scratch));
  });
  logs.finish();
  return {detail::pack_indices(entries, count, threads), count};
}

}  // namespace zelto
