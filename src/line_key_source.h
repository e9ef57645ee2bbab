// Text lines as a key source of the engine (see sort_engine.h): a line's
// prefix at each level is its digest under a line comparator, and lines
// whose digests agree as far as they go are ordered by the comparator's
// exact comparison. `sort_keys` over this source gives the order of a stable
// sort of the lines by `compare`.
//
// The comparator is any type with the calls of zelto-sort's
// `text::LineComparator`:
//   KeyPlace                   what `place` finds of a line, kept per line;
//   KeyPlace place(std::string_view line)
//     found once per line, at level 0, and handed to every digest of it;
//   std::size_t digest_offset(KeyPlace place, std::size_t level)
//     about where the digest at `level` reads in the line (a hint);
//   std::uint64_t digest(std::string_view line, KeyPlace place,
//                        std::size_t level, bool& more, bool& exact)
//     an order-preserving digest of `line` at `level`, for lines whose
//     digests agree at every level below; `more` false when no deeper level
//     can part lines of equal digests, `exact` true when, moreover, equal
//     digests at every level mean the lines compare equal;
//   std::size_t shared_depth(std::string_view a, KeyPlace pa,
//                            std::string_view b, KeyPlace pb, std::size_t level)
//     for two lines whose digests are equal and go on at `level`, the
//     deepest level through which they surely stay so (`level` if unknown);
//     optional
//   int compare(std::string_view a, std::string_view b)   <0, 0 or >0;
//   int compare(std::string_view a, KeyPlace pa, std::string_view b,
//               KeyPlace pb)
//     the same, for lines whose places are known; optional
// A line is any type with `view()` giving its text.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "sort_engine.h"

namespace zelto {

template <class Line, class Comparator>
class LineKeySource {
 public:
  using Logs = NoBucketLogs;
  // Runs of fewer lines than this are ordered by the exact comparison at
  // once: a comparison or two costs less than the levels they would go
  // through.
  static constexpr std::size_t COMPARED_RUN = 8;
  using Place = typename Comparator::KeyPlace;
  // Levels past this many are not asked for: a deeper digest may cost the
  // comparator's work again for each line, and runs this deep are rare.
  static constexpr int DEEPEST_LEVEL = 24;
  // Runs longer than this are read with lines fetched ahead.
  static constexpr std::size_t PREFETCHED_RUN = 16;
  // A line's first digest (a number read, a field found) costs more than
  // the 8 bytes that keep it while the lines are put into buckets.
  static constexpr bool KEEPS_FIRST_PREFIXES = true;

  // What the source keeps of each line, side by side so that one fetch
  // brings both: where its first key lies, and what its last digest said.
  // Nine bytes, unaligned: the place is copied in and out.
  struct Note {
    unsigned char place[sizeof(Place)];
    unsigned char state;
  };
  static_assert(std::is_trivially_copyable_v<Place>);

  // `notes` has room for a note for each line; they are written as the
  // lines are first asked for a prefix, on the engine's threads.
  LineKeySource(std::span<const Line> lines, const Comparator& comparator, Note* notes)
      : lines_(lines), comparator_(&comparator), notes_(notes) {}

  // Its place is found when a line is asked for a prefix at level 0, which
  // comes first.
  std::uint64_t prefix(std::uint32_t index, int level) const {
    const std::string_view line = text(index);
    Note& note = notes_[index];
    Place place;
    if (level == 0) {
      place = comparator_->place(line);
      std::memcpy(note.place, &place, sizeof place);
    } else {
      place = place_of(index);
    }
    bool more = false;
    bool exact = false;
    const std::uint64_t value =
        comparator_->digest(line, place, static_cast<std::size_t>(level), more, exact);
    note.state = more ? MORE : exact ? EXACT : LAST;
    return value;
  }

  // Settled when no line of the run has a deeper digest.
  bool settled(KeyRun run, int level) const {
    if (level + 1 >= DEEPEST_LEVEL) return true;
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (notes_[run.index(i)].state == MORE) return false;
    }
    return true;
  }

  // Tied when every line of the run (settled) had an exact digest: they all
  // compare equal.
  bool tied(KeyRun run, int /*level*/) const {
    for (std::size_t i = 0; i < run.size(); ++i) {
      if (notes_[run.index(i)].state != EXACT) return false;
    }
    return true;
  }

  // Lines that share a long beginning (paths, say) share the digests of
  // many levels: how many is read from their bytes in one pass, rather
  // than level after level.
  int shared_through(KeyRun run, int level) const requires
      requires(const Comparator& c, std::string_view line, Place place) {
    { c.shared_depth(line, place, line, place, std::size_t{0}) } -> std::same_as<std::size_t>;
  }
  {
    const std::uint32_t first = run.index(0);
    auto deepest = static_cast<std::size_t>(DEEPEST_LEVEL - 2);
    for (std::size_t i = 1; i < run.size() && deepest > static_cast<std::size_t>(level); ++i) {
      // The bytes compared are those the next level's digest reads.
      if (run.size() > PREFETCHED_RUN) prefetch_ahead(run, i, level + 1);
      const std::uint32_t other = run.index(i);
      deepest = std::min(
          deepest, comparator_->shared_depth(text(first), place_of(first), text(other),
                                             place_of(other), static_cast<std::size_t>(level)));
    }
    return static_cast<int>(std::max(deepest, static_cast<std::size_t>(level)));
  }

  // Every line has its place by the time lines are compared.
  bool before(std::uint32_t a, std::uint32_t b) const {
    if constexpr (requires(Place place) {
                    { comparator_->compare(text(a), place, text(b), place) } -> std::same_as<int>;
                  }) {
      return comparator_->compare(text(a), place_of(a), text(b), place_of(b)) < 0;
    } else {
      return comparator_->compare(text(a), text(b)) < 0;
    }
  }

  // Lines visited in the order of a run lie scattered in memory: the
  // reference and note of a line further on and the text of a nearer one
  // are fetched.
  void prefetch_ahead(KeyRun range, std::size_t i, int level) const {
    constexpr std::size_t near = 8;
    constexpr std::size_t far = 16;
    if (i + far < range.size()) {
      const std::uint32_t index = range.index(i + far);
      prefetch(&lines_[index]);
      prefetch(&notes_[index]);
    }
    if (i + near < range.size()) prefetch_digest(range.index(i + near), level);
  }

  void announce(KeyRun run, int level) const {
    for (std::size_t i = 0; i < run.size(); ++i) prefetch_digest(run.index(i), level + 1);
  }

 private:
  std::string_view text(std::uint32_t index) const { return lines_[index].view(); }
  Place place_of(std::uint32_t index) const {
    Place place;
    std::memcpy(&place, notes_[index].place, sizeof place);
    return place;
  }

  // Fetches the bytes of the line the digest at `level` (past 0: the line
  // has its place) is about to read.
  void prefetch_digest(std::uint32_t index, int level) const {
    const std::string_view line = text(index);
    const std::size_t at =
        level == 0 ? 0
                   : comparator_->digest_offset(place_of(index), static_cast<std::size_t>(level));
    prefetch(line.data() + std::min(at, line.size()));
  }

  // What a line's last digest said.
  static constexpr unsigned char LAST = 0;      // no deeper level
  static constexpr unsigned char MORE = 1;      // deeper levels follow
  static constexpr unsigned char EXACT = 2;     // no deeper level, and exact

  std::span<const Line> lines_;
  const Comparator* comparator_;
  Note* notes_;
};

}  // namespace zelto
