#include "line_engine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "comparator_sort.h"
#include "parallel.h"
#include "radix_sort.h"

namespace zelto::sorter {

namespace {

// Digest levels past this many are not asked for: a deeper level may cost
// the comparator's work again for each line, and runs this deep are rare.
constexpr std::size_t DEEPEST_LEVEL = 24;

class Engine {
 public:
  Engine(std::span<const LineRef> lines, const text::LineComparator& comparator,
         unsigned char* more)
      : lines_(lines), comparator_(comparator), more_(more) {}

  // The digest of line `index` at `level`; notes whether a deeper level
  // could part it from lines of the same digests.
  std::uint64_t digest(std::uint32_t index, std::size_t level) const {
    bool more = false;
    const std::uint64_t value = comparator_.digest(lines_[index].view(), level, more);
    more_[index] = more ? 1 : 0;
    return value;
  }

  void sort_first_level(Entry* entries, std::size_t n, std::span<Entry> scratch) const {
    radix_sort(entries, n, 64, scratch, EqualRuns{*this, 0, scratch});
  }

 private:
  struct EqualRuns {
    const Engine& engine;
    std::size_t level;
    std::span<Entry> scratch;
    void operator()(Entry* run, std::size_t n) const { engine.sort_equal(run, n, level, scratch); }
    void announce(const Entry* run, std::size_t n) const {
      for (std::size_t i = 0; i < n; ++i) __builtin_prefetch(engine.lines_[run[i].index].data);
    }
  };

  // Orders a run of `n` (>= 2) entries whose digests agree at every level
  // up to `level`: by deeper levels while some line has one, then by the
  // comparison. Levels that part nothing are passed over in a loop, not by
  // recursion, so that long equal lines cost no stack.
  void sort_equal(Entry* run, std::size_t n, std::size_t level, std::span<Entry> scratch) const {
    for (;;) {
      bool deeper = false;
      for (std::size_t i = 0; i < n && !deeper; ++i) deeper = more_[run[i].index] != 0;
      if (!deeper || level + 1 >= DEEPEST_LEVEL) {
        sort_by_comparison(run, n);
        return;
      }
      ++level;
      bool parted = false;
      for (std::size_t i = 0; i < n; ++i) {
        prefetch_ahead(run, i, n);
        run[i].key = digest(run[i].index, level);
        parted = parted || run[i].key != run[0].key;
      }
      if (parted) {
        radix_sort(run, n, 64, scratch, EqualRuns{*this, level, scratch});
        return;
      }
    }
  }

  // Visited in the order of the run, lines lie scattered in memory: the
  // reference of a line further on and the text of a nearer one are
  // fetched ahead.
  void prefetch_ahead(const Entry* run, std::size_t i, std::size_t n) const {
    constexpr std::size_t near = 8;
    constexpr std::size_t far = 16;
    if (i + far < n) __builtin_prefetch(&lines_[run[i + far].index]);
    if (i + near < n) __builtin_prefetch(lines_[run[i + near].index].data);
  }

  // Orders a run by the comparison alone, equal lines in index order. The
  // run's own memory holds the indices (its first third) and the merge's
  // scratch (its second).
  void sort_by_comparison(Entry* run, std::size_t n) const {
    const std::uint64_t key = run[0].key;
    auto* bytes = reinterpret_cast<unsigned char*>(run);
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t index = run[i].index;
      std::memcpy(bytes + 4 * i, &index, 4);
    }
    auto* indices = reinterpret_cast<std::uint32_t*>(bytes);
    if (!std::is_sorted(indices, indices + n)) std::sort(indices, indices + n);
    comparator_sort(indices, indices + n, 0, n, [this](std::uint32_t a, std::uint32_t b) {
      return comparator_.compare(lines_[a].view(), lines_[b].view()) < 0;
    });
    for (std::size_t i = n; i-- > 0;) {
      const Entry entry{key, indices[i]};
      std::memcpy(bytes + sizeof(Entry) * i, &entry, sizeof(Entry));
    }
  }

  std::span<const LineRef> lines_;
  const text::LineComparator& comparator_;
  unsigned char* more_;
};

// Scratch entries for each task: ranges that fit are moved through it.
constexpr std::size_t SCRATCH_ENTRIES = std::size_t{1} << 19;

// The first level is split by the leading 16 bits of the digests into
// buckets of about 1/BUCKET_SHARE of the lines (a more common value is a
// bucket alone): they depend on the digests only, so every thread count
// sorts the same buckets.
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

// Writes every line's entry (first-level digest, index) to `entries`,
// grouped by bucket and in index order within each; returns the buckets of
// two or more entries. Digests are worked out twice, to count and to
// place, so that no second array is needed.
std::vector<Bucket> load_by_bucket(const Engine& engine, Entry* entries, std::size_t count,
                                   unsigned threads) {
  const std::size_t parts = part_count(count, threads);
  std::vector<std::vector<std::uint32_t>> counts(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    counts[p].assign(VALUES, 0);
    const std::size_t end = part_start(count, parts, p + 1);
    for (std::size_t i = part_start(count, parts, p); i < end; ++i) {
      ++counts[p][value_of(engine.digest(static_cast<std::uint32_t>(i), 0))];
    }
  });
  const std::size_t target = std::max<std::size_t>(1, count / BUCKET_SHARE);
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
  const std::size_t bucket_count = bucket + 1;
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
      const std::uint64_t key = engine.digest(index, 0);
      entries[at[map[value_of(key)]]++] = Entry{key, index};
    }
  });
  return buckets;
}

// Turns the entries into their indices, in order, at the start of the same
// memory: each part packs its own first, then the parts move together.
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

// A scratch block for a task, or none (the task then sorts in place).
std::unique_ptr<LargeBuffer> scratch_block(std::size_t entries) noexcept try {
  auto block = std::make_unique<LargeBuffer>(entries * sizeof(Entry));
  return block->allocated() ? std::move(block) : nullptr;
} catch (const std::bad_alloc&) {
  return nullptr;
}

}  // namespace

LineOrder::LineOrder(std::size_t count)
    : count_(count), entries_(count * sizeof(Entry)), flags_(count) {}

void sort_lines(std::span<const LineRef> lines, const text::LineComparator& comparator,
                LineOrder& order, unsigned threads) {
  const std::size_t count = lines.size();
  auto* entries = reinterpret_cast<Entry*>(order.entries_.data());
  if (count == 0) {
    order.indices_ = {};
    return;
  }
  const Engine engine(lines, comparator, order.flags_.data());
  const std::vector<Bucket> buckets = load_by_bucket(engine, entries, count, threads);
  std::size_t largest = 0;
  for (const Bucket& b : buckets) largest = std::max(largest, b.end - b.begin);
  const std::size_t scratch_entries = std::min(largest, SCRATCH_ENTRIES);
  std::mutex mutex;
  std::vector<std::unique_ptr<LargeBuffer>> pool;
  run_tasks(buckets.size(), threads, [&](std::size_t k) {
    std::unique_ptr<LargeBuffer> scratch;
    {
      const std::lock_guard lock(mutex);
      if (!pool.empty()) {
        scratch = std::move(pool.back());
        pool.pop_back();
      }
    }
    if (scratch == nullptr) scratch = scratch_block(scratch_entries);
    std::span<Entry> space;
    if (scratch != nullptr) space = {reinterpret_cast<Entry*>(scratch->data()), scratch_entries};
    engine.sort_first_level(entries + buckets[k].begin, buckets[k].end - buckets[k].begin, space);
    const std::lock_guard lock(mutex);
    if (scratch != nullptr) pool.push_back(std::move(scratch));
  });
  order.indices_ = {pack_indices(entries, count, threads), count};
}

}  // namespace zelto::sorter
