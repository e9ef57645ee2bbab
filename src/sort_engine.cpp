#include "sort_engine.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "sort_engine_impl.h"

namespace zelto {

namespace {

// The ties one sort notes, one log per first-level bucket, folded in bucket
// order: the ring then holds what one thread sorting the buckets in order
// would have left.
class BucketTieLogs {
 public:
  using Scope = TieLogScope;
  explicit BucketTieLogs(std::size_t buckets) : logs_(buckets) {}
  [[nodiscard]] Scope scope(std::size_t bucket) { return Scope(&logs_[bucket]); }
  void finish() const {
    for (const TieLog& log : logs_) log.fold_into_register();
  }

 private:
  std::vector<TieLog> logs_;
};

// Fixed-size records as a key source: prefixes read from the key area (the
// phrase window), ordered by the policy's comparator.
class RecordSource {
 public:
  using Logs = BucketTieLogs;

  RecordSource(const unsigned char* records, std::size_t record_size, const SortPolicy& policy)
      : records_(records),
        record_size_(record_size),
        policy_(policy),
        tied_(comparator_for_tied_keys(policy.compare)) {}

  std::uint64_t prefix(std::uint32_t index, int level) const {
    const std::uint64_t key = ascending_prefix(record(index), policy_.kind, level);
    return policy_.descending ? ~key : key;
  }

  // Phrases whose prefixes are equal up to the one that holds their end are
  // equal keys; so are numeric keys whose key areas are identical, which
  // the comparator then takes at once instead of after every remaining level.
  bool settled(KeyRun run, int level) const {
    const std::uint64_t key = run.prefix(0);
    return detail::prefix_settles(policy_.kind, policy_.descending ? ~key : key, level) ||
           same_numeric_keys(run);
  }

  // Only records whose keys are equal reach the comparator, so the one for
  // tied keys serves: for phrases it goes straight to the tie-break.
  bool before(std::uint32_t a, std::uint32_t b) const { return tied_(record(a), record(b)) < 0; }

  // Records visited in sorted order lie scattered in memory: later ones are
  // fetched ahead.
  void prefetch_ahead(KeyRun range, std::size_t i, int level) const {
    constexpr std::size_t ahead = 16;
    if (i + ahead < range.size()) prefetch(record(range.index(i + ahead)) + 8 * level);
  }

  // The run's records are read next: the key's next prefix and the record
  // number that breaks ties are fetched.
  void announce(KeyRun run, int level) const {
    for (std::size_t i = 0; i < run.size(); ++i) {
      const unsigned char* r = record(run.index(i));
      prefetch(r + 8 * (level + 1));
      prefetch(r + RECORD_NUMBER_OFFSET);
    }
  }

 private:
  const unsigned char* record(std::uint32_t index) const {
    return records_ + static_cast<std::size_t>(index) * record_size_;
  }

  bool same_numeric_keys(KeyRun run) const {
    if (policy_.kind != KeyKind::Integers && policy_.kind != KeyKind::Doubles) return false;
    const unsigned char* first = record(run.index(0));
    for (std::size_t i = 1; i < run.size(); ++i) {
      if (std::memcmp(record(run.index(i)), first, KEY_AREA_SIZE) != 0) return false;
    }
    return true;
  }

  const unsigned char* records_;
  std::size_t record_size_;
  SortPolicy policy_;
  Comparator tied_;
};

static_assert(KeySource<RecordSource>);

}  // namespace

namespace detail {

std::unique_ptr<LargeBuffer> ScratchPool::take() noexcept try {
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

std::span<Entry> ScratchPool::entries_in(const LargeBuffer* block) const {
  if (block == nullptr || !block->allocated()) return {};
  return {reinterpret_cast<Entry*>(block->data()), entries_};
}

void ScratchPool::give_back(std::unique_ptr<LargeBuffer> block) noexcept {
  if (block == nullptr) return;
  const std::lock_guard lock(mutex_);
  // A block that cannot be kept is freed: the next task allocates again.
  try {
    free_.push_back(std::move(block));
  } catch (const std::bad_alloc&) {
  }
}

BucketPlan plan_buckets(const std::vector<std::vector<std::uint32_t>>& counts, std::size_t count) {
  // Consecutive values share a bucket until it holds about `target` entries.
  const std::size_t target = std::max<std::size_t>(1, count / BUCKET_SHARE);
  BucketPlan plan;
  plan.bucket_of.resize(VALUES);
  std::size_t bucket = 0;
  std::size_t held = 0;
  for (std::size_t v = 0; v < VALUES; ++v) {
    std::size_t total = 0;
    for (const auto& part : counts) total += part[v];
    if (held > 0 && held + total > target) {
      ++bucket;
      held = 0;
    }
    plan.bucket_of[v] = static_cast<std::uint32_t>(bucket);
    held += total;
  }
  const std::size_t bucket_count = bucket + 1;
  const std::size_t parts = counts.size();
  plan.next.assign(parts, std::vector<std::size_t>(bucket_count));
  for (std::size_t p = 0; p < parts; ++p) {
    for (std::size_t v = 0; v < VALUES; ++v) plan.next[p][plan.bucket_of[v]] += counts[p][v];
  }
  std::size_t position = 0;
  for (std::size_t b = 0; b < bucket_count; ++b) {
    const std::size_t begin = position;
    for (std::size_t p = 0; p < parts; ++p) position += std::exchange(plan.next[p][b], position);
    if (position - begin > 1) plan.buckets.push_back({begin, position});
  }
  return plan;
}

std::uint64_t differing_bits(const Entry* entries, std::size_t n, int bits, unsigned threads) {
  const std::size_t parts = part_count(n, threads);
  std::vector<std::uint64_t> differ(parts, 0);
  run_tasks(parts, threads, [&](std::size_t p) {
    std::uint64_t bits_seen = 0;
    const std::size_t end = part_start(n, parts, p + 1);
    for (std::size_t i = part_start(n, parts, p); i < end; ++i) {
      bits_seen |= entries[i].key ^ entries[0].key;
    }
    differ[p] = bits_seen;
  });
  std::uint64_t all = 0;
  for (const std::uint64_t d : differ) all |= d;
  return bits < 64 ? all & ((std::uint64_t{1} << bits) - 1) : all;
}

namespace {

// Moves each part's entries to their digits' places in `buffer` (`next`:
// where the part's entries of each digit go), then all of them back.
template <class Digit>
void scatter_by_digit(Entry* entries, std::size_t n, Entry* buffer,
                      std::vector<std::vector<std::size_t>>& next, const Digit& digit,
                      unsigned threads) {
  const std::size_t parts = next.size();
  run_tasks(parts, threads, [&](std::size_t p) {
    std::vector<std::size_t>& at = next[p];
    const std::size_t end = part_start(n, parts, p + 1);
    for (std::size_t i = part_start(n, parts, p); i < end; ++i)
      buffer[at[digit(entries[i])]++] = entries[i];
  });
  run_tasks(parts, threads, [&](std::size_t p) {
    const std::size_t begin = part_start(n, parts, p);
    const std::size_t end = part_start(n, parts, p + 1);
    std::memcpy(entries + begin, buffer + begin, (end - begin) * sizeof(Entry));
  });
}

}  // namespace

// The digits are counted on every thread; the entries are then moved
// through the buffer on every thread, or swapped into place on this one.
std::vector<Bucket> split_by_digit(Entry* entries, std::size_t n, int shift, int width,
                                   std::size_t target, unsigned threads, Entry* buffer) {
  const std::size_t digits = std::size_t{1} << width;
  const std::uint64_t mask = digits - 1;
  const auto digit = [&](const Entry& e) {
    return static_cast<std::size_t>(e.key >> shift & mask);
  };
  const std::size_t parts = part_count(n, threads);
  std::vector<std::vector<std::size_t>> counts(parts);
  run_tasks(parts, threads, [&](std::size_t p) {
    counts[p].assign(digits, 0);
    const std::size_t end = part_start(n, parts, p + 1);
    for (std::size_t i = part_start(n, parts, p); i < end; ++i) ++counts[p][digit(entries[i])];
  });
  std::vector<std::size_t> head(digits + 1, 0);
  for (std::size_t d = 0; d < digits; ++d) {
    std::size_t total = 0;
    for (const auto& part : counts) total += part[d];
    head[d + 1] = head[d] + total;
  }
  if (buffer != nullptr) {
    // Each part's entries of a digit follow those of the parts before it.
    std::vector<std::vector<std::size_t>> next(parts, std::vector<std::size_t>(digits));
    for (std::size_t d = 0; d < digits; ++d) {
      std::size_t at = head[d];
      for (std::size_t p = 0; p < parts; ++p) {
        next[p][d] = at;
        at += counts[p][d];
      }
    }
    scatter_by_digit(entries, n, buffer, next, digit, threads);
  } else {
    std::vector<std::size_t> next(head.begin(), head.end() - 1);
    const std::span<const std::size_t> end(head.data() + 1, digits);
    permute_by_digit(entries, digits, next, end, digit);
  }
  // As at the first level, a digit that fills a group alone starts one;
  // the keys of a one-digit group agree in that digit too.
  std::vector<Bucket> groups;
  std::size_t first = 0;
  auto close_group = [&](std::size_t end_digit) {
    const std::size_t begin = head[first];
    const std::size_t end = head[end_digit];
    if (end - begin > 1) {
      groups.push_back({begin, end, 0, end_digit - first == 1 ? shift : shift + width});
    }
    first = end_digit;
  };
  for (std::size_t d = 0; d < digits; ++d) {
    const std::size_t held = head[d] - head[first];
    if (held > 0 && head[d + 1] - head[first] > target) close_group(d);
  }
  close_group(digits);
  return groups;
}

// Each part first packs its indices at the start of its own entries, then
// the parts move together, in order.
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

}  // namespace detail

SortSpace::SortSpace(std::size_t count, PageSize pages)
    : count_(count), memory_(count * sizeof(detail::Entry), pages) {}

bool SortSpace::reuse_for(std::size_t count) {
  if (count > memory_.size() / sizeof(detail::Entry)) return false;
  count_ = count;
  return true;
}

std::span<std::uint32_t> sort_records(const unsigned char* records, std::size_t record_size,
                                      const SortPolicy& policy, SortSpace& space,
                                      unsigned threads) {
  return sort_keys(RecordSource(records, record_size, policy), space, threads);
}

}  // namespace zelto
