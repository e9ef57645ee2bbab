#include "sort_engine.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>

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

constexpr std::uint64_t SIGN_BIT = 1ULL << 63;
// The prefix every NaN double gets: above every number, so NaNs gather after
// all numbers (before them when descending) and are ordered among themselves
// by the comparator.
constexpr std::uint64_t NAN_PREFIX = ~0ULL;
// Runs at least this long are ordered by radix passes, shorter ones by a
// comparison sort of their prefixes.
constexpr std::size_t RADIX_THRESHOLD = 512;
// Runs of equal prefixes at most this long are ordered by insertion.
constexpr std::size_t INSERTION_THRESHOLD = 12;

std::uint64_t byte_swap(std::uint64_t v) { return __builtin_bswap64(v); }

// The first `n` (at most 8) bytes at `p` as a little-endian number.
std::uint64_t load_le64(const unsigned char* p, std::size_t n) {
  static_assert(std::endian::native == std::endian::little, "records are read on little-endian hosts");
  std::uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

std::uint32_t load_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(load_le64(p, 4));
}

int level_count(KeyKind kind) {
  switch (kind) {
    case KeyKind::Integers:
    case KeyKind::Doubles:
      return 10;
    default:
      return (PHRASE_WINDOW + 7) / 8;
  }
}

// Eight phrase bytes from `offset` of the 91-byte window, big-endian so that
// the prefixes order as the bytes do; bytes from the first NUL on are zero.
std::uint64_t phrase_prefix(const unsigned char* record, int offset, bool folded) {
  const std::size_t n = std::min<std::size_t>(8, static_cast<std::size_t>(PHRASE_WINDOW - offset));
  std::uint64_t w = load_le64(record + offset, n);
  constexpr std::uint64_t ones = 0x0101010101010101ULL;
  constexpr std::uint64_t highs = 0x8080808080808080ULL;
  // The lowest flagged byte is the first zero byte (later flags may be false).
  const std::uint64_t zeros = (w - ones) & ~w & highs;
  if (zeros != 0) {
    const int first_zero = std::countr_zero(zeros) / 8;
    w &= first_zero == 0 ? 0 : ~0ULL >> (64 - 8 * first_zero);
  }
  if (folded) {
    // Set bit 5 of every byte from 'A' to 'Z', which is adding 0x20.
    const std::uint64_t low7 = w & ~highs;
    const std::uint64_t at_least_a = low7 + 0x3F3F3F3F3F3F3F3FULL;  // low7 >= 0x41
    const std::uint64_t beyond_z = low7 + 0x2525252525252525ULL;    // low7 >= 0x5B
    const std::uint64_t upper = at_least_a & ~beyond_z & ~w & highs;
    w |= upper >> 2;
  }
  return byte_swap(w);
}

// Doubles as unsigned integers of the same order; -0.0 is 0.0.
std::uint64_t double_prefix(const unsigned char* p) {
  std::uint64_t bits = load_le64(p, 8);
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
    case KeyKind::Doubles:
      return double_prefix(record + 8 * level);
    case KeyKind::Phrase:
      return phrase_prefix(record, 8 * level, false);
    case KeyKind::FoldedPhrase:
      return phrase_prefix(record, 8 * level, true);
  }
  return 0;
}

bool has_zero_byte(std::uint64_t v) {
  return ((v - 0x0101010101010101ULL) & ~v & 0x8080808080808080ULL) != 0;
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

  void sort(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      entries_[i] = Entry{prefix(record(static_cast<std::uint32_t>(i)), 0),
                          static_cast<std::uint32_t>(i)};
    }
    sort_level(0, count, 0);
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
  const unsigned char* record(std::uint32_t index) const {
    return records_ + static_cast<std::size_t>(index) * record_size_;
  }

  std::uint64_t prefix(const unsigned char* rec, int level) const {
    const std::uint64_t key = ascending_prefix(rec, policy_.kind, level);
    return policy_.descending ? ~key : key;
  }

  // True when records with this prefix at `level` cannot be told apart by a
  // deeper level: the phrase ended within it, a NaN stands here, or it is the
  // last level.
  bool settled(std::uint64_t key, int level) const {
    if (level + 1 >= levels_) return true;
    const std::uint64_t ascending = policy_.descending ? ~key : key;
    switch (policy_.kind) {
      case KeyKind::Phrase:
      case KeyKind::FoldedPhrase:
        return has_zero_byte(ascending);
      case KeyKind::Doubles:
        return ascending == NAN_PREFIX;
      case KeyKind::Integers:
        return false;
    }
    return true;
  }

  // Orders [begin, end), whose keys hold the prefixes of `level`, then each
  // run of equal prefixes by the next level or, when settled, the comparator.
  void sort_level(std::size_t begin, std::size_t end, int level) {
    if (end - begin >= RADIX_THRESHOLD) {
      radix_sort(begin, end);
    } else {
      std::sort(entries_ + begin, entries_ + end,
                [](const Entry& a, const Entry& b) { return a.key < b.key; });
    }
    std::size_t run = begin;
    while (run < end) {
      const std::uint64_t key = entries_[run].key;
      std::size_t next = run + 1;
      while (next < end && entries_[next].key == key) ++next;
      if (next - run > 1) {
        if (settled(key, level)) {
          comparator_sort(run, next);
        } else {
          for (std::size_t i = run; i < next; ++i) {
            entries_[i].key = prefix(record(entries_[i].index), level + 1);
          }
          sort_level(run, next, level + 1);
        }
      }
      run = next;
    }
  }

  // Least-significant-byte radix sort of [begin, end) by key, skipping every
  // byte position in which all keys agree.
  void radix_sort(std::size_t begin, std::size_t end) {
    std::array<std::array<std::size_t, 256>, 8> counts{};
    for (std::size_t i = begin; i < end; ++i) {
      const std::uint64_t key = entries_[i].key;
      for (int b = 0; b < 8; ++b) ++counts[b][(key >> (8 * b)) & 0xFF];
    }
    Entry* from = entries_ + begin;
    Entry* to = scratch_ + begin;
    const std::size_t n = end - begin;
    for (int b = 0; b < 8; ++b) {
      auto& count = counts[b];
      if (std::find(count.begin(), count.end(), n) != count.end()) continue;
      std::size_t position = 0;
      for (std::size_t& c : count) {
        const std::size_t here = c;
        c = position;
        position += here;
      }
      for (std::size_t i = 0; i < n; ++i) {
        const Entry e = from[i];
        to[count[(e.key >> (8 * b)) & 0xFF]++] = e;
      }
      std::swap(from, to);
    }
    if (from != entries_ + begin) std::memcpy(entries_ + begin, from, n * sizeof(Entry));
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

Entry* entries_of(SortSpace& space) { return reinterpret_cast<Entry*>(space.memory()); }

Entry* scratch_of(SortSpace& space) { return entries_of(space) + space.count(); }

// Leaves the sorted indices at the start of the scratch array.
std::span<std::uint32_t> collect_order(SortSpace& space) {
  const Entry* entries = entries_of(space);
  auto* order = reinterpret_cast<std::uint32_t*>(scratch_of(space));
  for (std::size_t i = 0; i < space.count(); ++i) order[i] = entries[i].index;
  return {order, space.count()};
}

}  // namespace

SortSpace::SortSpace(std::size_t count) : count_(count) {
  if (count != 0) memory_ = static_cast<unsigned char*>(std::malloc(2 * count * sizeof(Entry)));
}

SortSpace::~SortSpace() { std::free(memory_); }

std::span<std::uint32_t> sort_records(const unsigned char* records, std::size_t record_size,
                                            const SortPolicy& policy, SortSpace& space) {
  if (space.count() == 0) return {};
  Engine(records, record_size, policy, entries_of(space), scratch_of(space)).sort(space.count());
  return collect_order(space);
}

std::span<std::uint32_t> sort_records_by_comparator(const unsigned char* records,
                                                          std::size_t record_size,
                                                          const SortPolicy& policy,
                                                          SortSpace& space) {
  if (space.count() == 0) return {};
  Entry* entries = entries_of(space);
  for (std::size_t i = 0; i < space.count(); ++i) {
    entries[i] = Entry{0, static_cast<std::uint32_t>(i)};
  }
  Engine(records, record_size, policy, entries, scratch_of(space)).comparator_sort(0, space.count());
  return collect_order(space);
}

}  // namespace zelto
