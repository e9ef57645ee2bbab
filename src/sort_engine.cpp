#include "sort_engine.h"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "parallel.h"

namespace zelto {

namespace {

// A record index with the prefix of its key at the current level. Packed to
// 12 bytes: the engine's memory is two arrays of these.
#pragma pack(push, 4)
struct Entry {
  std::uint64_t key;
  std::uint32_t index;
};
#pragma pack(pop)
static_assert(sizeof(Entry) == 12);

constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;
constexpr std::uint64_t SIGN_BIT = 1ULL << 63;
// The prefix every NaN double gets: above every number, so NaNs gather after
// all numbers (before them when descending) and are ordered among themselves
// by the comparator.
constexpr std::uint64_t NAN_PREFIX = ~0ULL;
constexpr int RADIX_BITS = 11;
constexpr int RADIX_DIGITS = (64 + RADIX_BITS - 1) / RADIX_BITS;
constexpr std::size_t RADIX_BUCKETS = std::size_t{1} << RADIX_BITS;
// Runs at least this long are ordered by radix passes, shorter ones by a
// comparison sort of their prefixes.
constexpr std::size_t RADIX_THRESHOLD = 512;
// Runs of equal prefixes at most this long are ordered by insertion.
constexpr std::size_t INSERTION_THRESHOLD = 12;

int level_count(KeyKind kind) {
  switch (kind) {
    case KeyKind::Integers:
    case KeyKind::Doubles: return 10;
    default: return (PHRASE_WINDOW + 7) / 8;
  }
}

// Doubles as unsigned integers of the same order; -0.0 is 0.0.
std::uint64_t double_prefix(const unsigned char* p) {
  std::uint64_t bits = load_little_endian(p, 8);
  const std::uint64_t magnitude = bits & ~SIGN_BIT;
  if (magnitude > 0x7FF0000000000000ULL) return NAN_PREFIX;
  if (magnitude == 0) bits = 0;
  return (bits & SIGN_BIT) != 0 ? ~bits : bits | SIGN_BIT;
}

// The key prefix of `record` at `level`, in ascending order.
std::uint64_t ascending_prefix(const unsigned char* record, KeyKind kind, int level) {
  switch (kind) {
    case KeyKind::Integers: {
      const std::uint64_t hi = load_le32(record + 8 * level) ^ 0x80000000U;
      const std::uint64_t lo = load_le32(record + 8 * level + 4) ^ 0x80000000U;
      return hi << 32 | lo;
    }
    case KeyKind::Doubles: return double_prefix(record + 8 * level);
    case KeyKind::Phrase: return phrase_chunk(record, 8 * level, false);
    case KeyKind::FoldedPhrase: return phrase_chunk(record, 8 * level, true);
  }
  return 0;
}

class Engine {
 public:
  Engine(const unsigned char* records, std::size_t record_size, const SortPolicy& policy,
         Entry* entries, Entry* scratch)
      : records_(records),
        record_size_(record_size),
        policy_(policy),
        levels_(level_count(policy.kind)),
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

  // Merge sort of [begin, end) by the comparator alone.
  void comparator_sort(std::size_t begin, std::size_t end) {
    if (end - begin <= INSERTION_THRESHOLD) {
      insertion_sort(begin, end);
      return;
    }
    const std::size_t middle = begin + (end - begin) / 2;
    comparator_sort(begin, middle);
    comparator_sort(middle, end);
    merge(begin, middle, end);
  }

 private:
  // True when records with this prefix at `level` cannot be told apart by a
  // deeper level: the phrase ended within it, a NaN stands here, or it is the
  // last level.
  bool settled(std::uint64_t key, int level) const {
    if (level + 1 >= levels_) return true;
    const std::uint64_t ascending = policy_.descending ? ~key : key;
    switch (policy_.kind) {
      case KeyKind::Phrase:
      case KeyKind::FoldedPhrase: return chunk_ends_phrase(ascending);
      case KeyKind::Doubles: return ascending == NAN_PREFIX;
      case KeyKind::Integers: return false;
    }
    return true;
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
      radix_sort(begin, end);
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
          comparator_sort(run, next);
        } else {
          load_prefixes(run, next, level + 1);
          sort_level(run, next, level + 1);
        }
      }
      run = next;
    }
  }

  // Least-significant-digit radix sort of [begin, end) by key, in 11-bit
  // digits, skipping every digit in which all keys agree.
  void radix_sort(std::size_t begin, std::size_t end) {
    std::vector<std::array<std::size_t, RADIX_BUCKETS>> counts(RADIX_DIGITS);
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t key = entries_[i].key;
      for (int d = 0; d < RADIX_DIGITS; ++d) ++counts[d][digit(key, d)];
    }
    Entry* from = entries_ + begin;
    Entry* to = scratch_ + begin;
    const std::size_t n = end - begin;
    for (int d = 0; d < RADIX_DIGITS; ++d) {
      auto& count = counts[d];
      if (std::find(count.begin(), count.end(), n) != count.end()) continue;
      std::size_t position = 0;
      for (std::size_t& c : count) position += std::exchange(c, position);
      for (std::size_t i = 0; i < n; ++i) {
        const Entry e = from[i];
        to[count[digit(e.key, d)]++] = e;
      }
      std::swap(from, to);
    }
    if (from != entries_ + begin) std::memcpy(entries_ + begin, from, n * sizeof(Entry));
  }

  static std::size_t digit(std::uint64_t key, int d) {
    return (key >> (RADIX_BITS * d)) & (RADIX_BUCKETS - 1);
  }

  bool before(const Entry& a, const Entry& b) const {
    return policy_.compare(record(a.index), record(b.index)) < 0;
  }

  // Stable insertion: an entry moves left past entries that the comparator
  // puts after it; bounded by `begin`, whatever the comparator answers.
  void insertion_sort(std::size_t begin, std::size_t end) {
    for (std::size_t i = begin + 1; i < end; ++i) {
      const Entry moving = entries_[i];
      std::size_t j = i;
      while (j > begin && before(moving, entries_[j - 1])) {
        entries_[j] = entries_[j - 1];
        --j;
      }
      entries_[j] = moving;
    }
  }

  void merge(std::size_t begin, std::size_t middle, std::size_t end) {
    std::memcpy(scratch_ + begin, entries_ + begin, (end - begin) * sizeof(Entry));
    std::size_t left = begin;
    std::size_t right = middle;
    std::size_t out = begin;
    while (left < middle && right < end) {
      // The left entry goes first unless the right one belongs before it.
      if (before(scratch_[right], scratch_[left])) {
        entries_[out++] = scratch_[right++];
      } else {
        entries_[out++] = scratch_[left++];
      }
    }
    while (left < middle) entries_[out++] = scratch_[left++];
    while (right < end) entries_[out++] = scratch_[right++];
  }

  const unsigned char* records_;
  std::size_t record_size_;
  SortPolicy policy_;
  int levels_;
  Entry* entries_;
  Entry* scratch_;
};

Entry* entries_of(SortSpace& space) {
  return reinterpret_cast<Entry*>(space.memory());
}

Entry* scratch_of(SortSpace& space) {
  return entries_of(space) + space.count();
}

// Parts of the record range that threads load, split and collect; fewer for
// small sets, where starting threads costs more than it saves.
constexpr std::size_t PART_RECORDS = 1 << 16;

std::size_t part_count(std::size_t count, unsigned threads) {
  const std::size_t wanted = (count + PART_RECORDS - 1) / PART_RECORDS;
  return std::clamp<std::size_t>(wanted, 1, std::max(1U, threads));
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

LargeBuffer::LargeBuffer(std::size_t bytes) : bytes_(bytes) {
  if (bytes == 0) return;
  if (bytes < HUGE_PAGE) {
    data_ = static_cast<unsigned char*>(std::malloc(bytes));
    return;
  }
  const std::size_t rounded = (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
  data_ = static_cast<unsigned char*>(std::aligned_alloc(HUGE_PAGE, rounded));
  // Only advice: without huge pages the block works the same, more slowly.
  if (data_ != nullptr) madvise(data_, rounded, MADV_HUGEPAGE);
}

LargeBuffer::~LargeBuffer() {
  std::free(data_);
}

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
