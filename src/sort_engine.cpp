#include "sort_engine.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "comparator_sort.h"
#include "parallel.h"
#include "radix_sort.h"

namespace zelto {

namespace {

class Engine {
 public:
  Engine(const unsigned char* records, std::size_t record_size, const SortPolicy& policy)
      : records_(records),
        record_size_(record_size),
        policy_(policy),
        tied_(comparator_for_tied_keys(policy.compare)) {}

  std::uint64_t prefix(const unsigned char* rec, int level) const {
    const std::uint64_t key = ascending_prefix(rec, policy_.kind, level);
    return policy_.descending ? ~key : key;
  }

  const unsigned char* record(std::uint32_t index) const {
    return records_ + static_cast<std::size_t>(index) * record_size_;
  }

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
    // The run's records are read next: the key's next prefix and the record
    // number that breaks ties are fetched.
    void announce(const Entry* run, std::size_t n) const {
      for (std::size_t i = 0; i < n; ++i) {
        const unsigned char* record = engine.record(run[i].index);
        __builtin_prefetch(record + 8 * (level + 1));
        __builtin_prefetch(record + RECORD_NUMBER_OFFSET);
      }
    }
  };

  // True when no deeper level can part the records with this prefix.
  bool settled(std::uint64_t key, int level) const {
    return prefix_settles(policy_.kind, policy_.descending ? ~key : key, level);
  }

  // Gives the `n` entries the prefixes of `level`. The records are visited
  // in sorted order, scattered in memory, so later ones are fetched ahead.
  void load_prefixes(Entry* entries, std::size_t n, int level) const {
    constexpr std::size_t ahead = 16;
    for (std::size_t i = 0; i < n; ++i) {
      if (i + ahead < n) __builtin_prefetch(record(entries[i + ahead].index) + 8 * level);
      entries[i].key = prefix(record(entries[i].index), level);
    }
  }

  // True for numeric keys whose key areas are identical across the run: no
  // deeper level can part them, so the comparator takes over at once
  // instead of after every remaining level.
  bool same_numeric_keys(const Entry* run, std::size_t n) const {
    if (policy_.kind != KeyKind::Integers && policy_.kind != KeyKind::Doubles) return false;
    const unsigned char* first = record(run[0].index);
    for (std::size_t i = 1; i < n; ++i) {
      if (std::memcmp(record(run[i].index), first, KEY_AREA_SIZE) != 0) return false;
    }
    return true;
  }

  // Orders a run of `n` (>= 2) entries whose prefixes of `level` are equal:
  // by the next level or, when settled, by the comparator.
  void sort_equal(Entry* run, std::size_t n, int level, std::span<Entry> scratch) const {
    // Phrases whose prefixes are equal up to the one that settles them are
    // equal keys.
    if (settled(run[0].key, level)) {
      sort_by_comparator(run, n, tied_);
      return;
    }
    if (same_numeric_keys(run, n)) {
      sort_by_comparator(run, n, policy_.compare);
      return;
    }
    load_prefixes(run, n, level + 1);
    radix_sort(run, n, 64, scratch, EqualRuns{*this, level + 1, scratch});
  }

  // Orders a run of equal prefixes by the comparator alone. The run starts
  // from index order, as a stable sort of the prefixes leaves it, so records
  // the comparator cannot part leave in record order and the comparator is
  // asked exactly what a stable engine would ask. The run's own memory holds
  // the indices (its first third) and the merge's scratch (its second).
  void sort_by_comparator(Entry* run, std::size_t n, Comparator compare) const {
    const std::uint64_t key = run[0].key;
    auto* bytes = reinterpret_cast<unsigned char*>(run);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t index = run[i].index;
      std::memcpy(bytes + 4 * i, &index, 4);
    }
    auto* indices = reinterpret_cast<std::uint32_t*>(bytes);
    if (!std::is_sorted(indices, indices + n)) std::sort(indices, indices + n);
    comparator_sort(indices, indices + n, 0, n, [this, compare](std::uint32_t a, std::uint32_t b) {
      return compare(record(a), record(b)) < 0;
    });
    // Back to entries from the last one on: each write lands on indices
    // already read.
    for (std::size_t i = n; i-- > 0;) {
      const Entry entry{key, indices[i]};
      std::memcpy(bytes + sizeof(Entry) * i, &entry, sizeof(Entry));
    }
  }

  const unsigned char* records_;
  std::size_t record_size_;
  SortPolicy policy_;
  Comparator tied_;  // the comparator for keys known to be equal
};

Entry* entries_of(SortSpace& space) {
  return reinterpret_cast<Entry*>(space.memory());
}

// Scratch entries each task moves its ranges through; larger ranges are
// sorted in place. Small enough that every thread's scratch stays a few
// MiB, large enough for most first-level buckets.
constexpr std::size_t SCRATCH_ENTRIES = std::size_t{1} << 19;

// Scratch blocks of `entries` entries lent to tasks, one for each task
// running at once; a block that cannot be had leaves its task sorting in
// place. Nothing throws: the tasks run on threads of their own.
class ScratchPool {
 public:
  explicit ScratchPool(std::size_t entries) : entries_(entries) {}

  std::unique_ptr<LargeBuffer> take() noexcept try {
    {
      const std::lock_guard lock(mutex_);
      if (!free_.empty()) {
        std::unique_ptr<LargeBuffer> block = std::move(free_.back());
        free_.pop_back();
        return block;
      }
    }
    return std::make_unique<LargeBuffer>(entries_ * sizeof(Entry));
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  // The scratch of a block that was had, none otherwise.
  std::span<Entry> entries_in(const LargeBuffer* block) const {
    if (block == nullptr || !block->allocated()) return {};
    return {reinterpret_cast<Entry*>(block->data()), entries_};
  }

  void give_back(std::unique_ptr<LargeBuffer> block) noexcept {
    if (block == nullptr) return;
    const std::lock_guard lock(mutex_);
    // A block that cannot be kept is freed: the next task allocates again.
    try {
      free_.push_back(std::move(block));
    } catch (const std::bad_alloc&) {
    }
  }

 private:
  std::size_t entries_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<LargeBuffer>> free_;
};

// The first level is split by the leading 16 bits of the prefixes; runs of
// neighbouring values form buckets of about 1/BUCKET_SHARE of the records
// (a value more common than that is a bucket alone). Buckets depend only on
// the keys, so every thread count sorts the same buckets, and they are small
// enough to be shared out evenly and to be sorted through scratch.
constexpr int VALUE_BITS = 16;
constexpr std::size_t VALUES = std::size_t{1} << VALUE_BITS;
constexpr std::size_t BUCKET_SHARE = 4096;

std::size_t value_of(std::uint64_t key) {
  return static_cast<std::size_t>(key >> (64 - VALUE_BITS));
}

struct Bucket {
  std::size_t begin;
  std::size_t end;
};

// Numbers the values' buckets: consecutive values share one until it holds
// about `target` records. Returns the bucket of each value.
std::vector<std::uint32_t> bucket_map(const std::vector<std::vector<std::uint32_t>>& counts,
                                      std::size_t target, std::size_t& buckets) {
  std::vector<std::uint32_t> map(VALUES);
  std::size_t bucket = 0;
  std::size_t held = 0;
  for (std::size_t v = 0; v < VALUES; ++v) {
    std::size_t total = 0;
    for (const auto& part : counts) total += part[v];
    if (held > 0 && held + total > target) {
      ++bucket;
      held = 0;
    }
    map[v] = static_cast<std::uint32_t>(bucket);
    held += total;
  }
  buckets = bucket + 1;
  return map;
}

// Writes every record's entry of first-level prefix and index to `entries`,
// grouped by bucket and in index order within each, and returns the buckets
// of two or more entries. The records are read twice, to count and to
// place, so that no second array is needed.
std::vector<Bucket> load_by_bucket(const Engine& engine, Entry* entries, std::size_t count,
                                   unsigned threads) {
  const std::size_t parts = part_count(count, threads);
  std::vector<std::vector<std::uint32_t>> counts(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    counts[p].assign(VALUES, 0);
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      ++counts[p][value_of(engine.prefix(engine.record(static_cast<std::uint32_t>(i)), 0))];
    }
  });
  std::size_t bucket_count = 0;
  const std::vector<std::uint32_t> map =
      bucket_map(counts, std::max<std::size_t>(1, count / BUCKET_SHARE), bucket_count);
  // Each part's entries of a bucket follow those of the parts before it.
  std::vector<std::vector<std::size_t>> next(parts, std::vector<std::size_t>(bucket_count));
  for (std::size_t p = 0; p < parts; ++p) {
    for (std::size_t v = 0; v < VALUES; ++v) next[p][map[v]] += counts[p][v];
  }
  std::vector<Bucket> buckets;
  std::size_t position = 0;
  for (std::size_t b = 0; b < bucket_count; ++b) {
    const std::size_t begin = position;
    for (std::size_t p = 0; p < parts; ++p) position += std::exchange(next[p][b], position);
    if (position - begin > 1) buckets.push_back({begin, position});
  }
  run_tasks(parts, threads, [&](std::size_t p) {
    std::vector<std::size_t>& at = next[p];
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      const std::uint64_t key = engine.prefix(engine.record(index), 0);
      entries[at[map[value_of(key)]]++] = Entry{key, index};
    }
  });
  return buckets;
}

// Turns the `count` entries at `entries` into their indices, in order, at
// the start of the same memory. Each part first packs its indices at the
// start of its own entries, then the parts move together, in order.
std::uint32_t* pack_indices(Entry* entries, std::size_t count, unsigned threads) {
  auto* bytes = reinterpret_cast<unsigned char*>(entries);
  const std::size_t parts = part_count(count, threads);
  run_tasks(parts, threads, [&](std::size_t p) {
    const std::size_t begin = part_start(count, parts, p);
    const std::size_t end = part_start(count, parts, p + 1);
    unsigned char* to = bytes + sizeof(Entry) * begin;
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint32_t index = entries[i].index;
      std::memcpy(to + 4 * (i - begin), &index, 4);
    }
  });
  for (std::size_t p = 1; p < parts; ++p) {
    const std::size_t begin = part_start(count, parts, p);
    const std::size_t end = part_start(count, parts, p + 1);
    std::memmove(bytes + 4 * begin, bytes + sizeof(Entry) * begin, 4 * (end - begin));
  }
  return reinterpret_cast<std::uint32_t*>(bytes);
}

}  // namespace

SortSpace::SortSpace(std::size_t count) : count_(count), memory_(count * sizeof(Entry)) {}

std::span<std::uint32_t> sort_records(const unsigned char* records, std::size_t record_size,
                                      const SortPolicy& policy, SortSpace& space,
                                      unsigned threads) {
  const std::size_t count = space.count();
  if (count == 0) return {};
  Entry* entries = entries_of(space);
  const Engine engine(records, record_size, policy);
  const std::vector<Bucket> buckets = load_by_bucket(engine, entries, count, threads);
  // Ties go to one log per bucket, folded in bucket order: the ring then
  // holds what one thread sorting the buckets in order would have left.
  std::vector<TieLog> ties(buckets.size());
  // Scratch beyond the largest bucket would never be used.
  std::size_t largest = 0;
  for (const Bucket& b : buckets) largest = std::max(largest, b.end - b.begin);
  ScratchPool pool(std::min(largest, SCRATCH_ENTRIES));
  run_tasks(buckets.size(), threads, [&](std::size_t k) {
    const TieLogScope scope(&ties[k]);
    std::unique_ptr<LargeBuffer> scratch = pool.take();
    engine.sort_first_level(entries + buckets[k].begin, buckets[k].end - buckets[k].begin,
                            pool.entries_in(scratch.get()));
    pool.give_back(std::move(scratch));
  });
  for (const TieLog& log : ties) log.fold_into_register();
  return {pack_indices(entries, count, threads), count};
}

}  // namespace zelto
