#include "sort_engine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "comparator_sort.h"
#include "parallel.h"
#include "radix_sort.h"

namespace zelto {

namespace {

// Runs at least this long are ordered by radix passes, shorter ones by a
// comparison sort of their prefixes.
constexpr std::size_t RADIX_THRESHOLD = 512;

class Engine {
 public:
  Engine(const unsigned char* records, std::size_t record_size, const SortPolicy& policy,
         Entry* entries, Entry* scratch)
      : records_(records),
        record_size_(record_size),
        policy_(policy),
        entries_(entries),
        scratch_(scratch) {}

  // Orders [begin, end), whose keys hold the prefixes of the first level.
  void sort_run(std::size_t begin, std::size_t end) { sort_level(begin, end, 0); }

  std::uint64_t prefix(const unsigned char* rec, int level) const {
    const std::uint64_t key = ascending_prefix(rec, policy_.kind, level);
    return policy_.descending ? ~key : key;
  }

  const unsigned char* record(std::uint32_t index) const {
    return records_ + static_cast<std::size_t>(index) * record_size_;
  }

  // Orders [begin, end) by the comparator alone.
  void sort_by_comparator(std::size_t begin, std::size_t end) {
    comparator_sort(entries_, scratch_, begin, end,
                    [this](const Entry& a, const Entry& b) { return before(a, b); });
  }

 private:
  // True when no deeper level can part the records with this prefix.
  bool settled(std::uint64_t key, int level) const {
    return prefix_settles(policy_.kind, policy_.descending ? ~key : key, level);
  }

  // Gives [begin, end) the prefixes of `level`. The records are visited in
  // sorted order, scattered in memory, so later ones are fetched ahead.
  void load_prefixes(std::size_t begin, std::size_t end, int level) {
    constexpr std::size_t ahead = 16;
    for (std::size_t i = begin; i < end; ++i) {
      if (i + ahead < end) __builtin_prefetch(record(entries_[i + ahead].index) + 8 * level);
      entries_[i].key = prefix(record(entries_[i].index), level);
    }
  }

  // True for numeric keys whose key areas are identical across [begin,
  // end): no deeper level can part them, so the comparator takes over at
  // once instead of after every remaining level.
  bool same_numeric_keys(std::size_t begin, std::size_t end) const {
    if (policy_.kind != KeyKind::Integers && policy_.kind != KeyKind::Doubles) return false;
    const unsigned char* first = record(entries_[begin].index);
    for (std::size_t i = begin + 1; i < end; ++i) {
      if (std::memcmp(record(entries_[i].index), first, KEY_AREA_SIZE) != 0) return false;
    }
    return true;
  }

  // Orders [begin, end), whose keys hold the prefixes of `level`, then each
  // run of equal prefixes by the next level or, when settled, the comparator.
  void sort_level(std::size_t begin, std::size_t end, int level) {
    if (end - begin >= RADIX_THRESHOLD) {
      radix_sort(entries_ + begin, scratch_ + begin, end - begin);
    } else {
      // Equal prefixes stay in index order, as the radix passes keep them:
      // records the comparator cannot part leave in record order.
      std::sort(entries_ + begin, entries_ + end, [](const Entry& a, const Entry& b) {
        return a.key < b.key || (a.key == b.key && a.index < b.index);
      });
    }
    std::size_t run = begin;
    while (run < end) {
      const std::uint64_t key = entries_[run].key;
      std::size_t next = run + 1;
      while (next < end && entries_[next].key == key) ++next;
      if (next - run > 1) {
        if (settled(key, level) || same_numeric_keys(run, next)) {
          sort_by_comparator(run, next);
        } else {
          load_prefixes(run, next, level + 1);
          sort_level(run, next, level + 1);
        }
      }
      run = next;
    }
  }

  bool before(const Entry& a, const Entry& b) const {
    return policy_.compare(record(a.index), record(b.index)) < 0;
  }

  const unsigned char* records_;
  std::size_t record_size_;
  SortPolicy policy_;
  Entry* entries_;
  Entry* scratch_;
};

Entry* entries_of(SortSpace& space) {
  return reinterpret_cast<Entry*>(space.memory());
}

Entry* scratch_of(SortSpace& space) {
  return entries_of(space) + space.count();
}

// Writes the indices of `entries` in their order to `order`.
void collect_order(const Entry* entries, std::uint32_t* order, std::size_t count,
                   unsigned threads) {
  const std::size_t parts = part_count(count, threads);
  run_tasks(parts, threads, [&](std::size_t p) {
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) order[i] = entries[i].index;
  });
}

// The bucket of a first-level prefix: its leading bits. Buckets depend only
// on the keys, so every thread count sorts the same buckets.
constexpr int SPLIT_BITS = 11;
constexpr std::size_t SPLIT_BUCKETS = std::size_t{1} << SPLIT_BITS;

std::size_t bucket_of(std::uint64_t key) {
  return static_cast<std::size_t>(key >> (64 - SPLIT_BITS));
}

using BucketCounts = std::array<std::size_t, SPLIT_BUCKETS>;

// Gives `entries` every record's first-level prefix and moves them, stably,
// to `split` grouped by bucket; returns where each bucket ends in `split`.
BucketCounts load_and_split(const Engine& engine, Entry* entries, Entry* split, std::size_t count,
                            unsigned threads) {
  const std::size_t parts = part_count(count, threads);
  std::vector<BucketCounts> starts(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    BucketCounts& sizes = starts[p];
    sizes.fill(0);
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      const auto index = static_cast<std::uint32_t>(i);
      entries[i] = Entry{engine.prefix(engine.record(index), 0), index};
      ++sizes[bucket_of(entries[i].key)];
    }
  });
  // Each part's entries of a bucket follow those of the parts before it.
  BucketCounts ends{};
  std::size_t position = 0;
  for (std::size_t b = 0; b < SPLIT_BUCKETS; ++b) {
    for (BucketCounts& sizes : starts) position += std::exchange(sizes[b], position);
    ends[b] = position;
  }
  run_tasks(parts, threads, [&](std::size_t p) {
    BucketCounts& next = starts[p];
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      split[next[bucket_of(entries[i].key)]++] = entries[i];
    }
  });
  return ends;
}

struct Bucket {
  std::size_t begin;
  std::size_t end;
};

std::vector<Bucket> buckets_to_sort(const BucketCounts& ends) {
  std::vector<Bucket> buckets;
  std::size_t begin = 0;
  for (const std::size_t end : ends) {
    if (end - begin > 1) buckets.push_back({begin, end});
    begin = end;
  }
  return buckets;
}

}  // namespace

SortSpace::SortSpace(std::size_t count) : count_(count), memory_(2 * count * sizeof(Entry)) {}

std::span<std::uint32_t> sort_records(const unsigned char* records, std::size_t record_size,
                                      const SortPolicy& policy, SortSpace& space,
                                      unsigned threads) {
  const std::size_t count = space.count();
  if (count == 0) return {};
  Entry* first = entries_of(space);
  Entry* second = scratch_of(space);
  // After the split the entries live in `second`, `first` is the scratch.
  const Engine engine(records, record_size, policy, second, first);
  const std::vector<Bucket> buckets =
      buckets_to_sort(load_and_split(engine, first, second, count, threads));
  // Ties go to one log per bucket, folded in bucket order: the ring then
  // holds what one thread sorting the buckets in order would have left.
  std::vector<TieLog> ties(buckets.size());
  run_tasks(buckets.size(), threads, [&](std::size_t k) {
    const TieLogScope scope(&ties[k]);
    Engine(engine).sort_run(buckets[k].begin, buckets[k].end);
  });
  for (const TieLog& log : ties) log.fold_into_register();
  auto* order = reinterpret_cast<std::uint32_t*>(first);
  collect_order(second, order, count, threads);
  return {order, count};
}

}  // namespace zelto
