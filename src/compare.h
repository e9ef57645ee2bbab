// Record comparators and the tie register.
//
// A record starts with an 80-byte key area, followed by its record number (a
// signed 32-bit little-endian integer at offset 80). Every comparator reads
// only the first 91 bytes of each record, so records must be at least 91 bytes.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "record_format.h"

namespace zelto {

inline constexpr int TIE_SLOTS = 128;

// Orders two records: negative puts `a` first, positive puts `b` first.
using Comparator = int (*)(const unsigned char* a, const unsigned char* b);

// Record numbers noted at full ties: a ring of 128 slots, `h` is the slot the
// next tie writes. Both start at zero and are never reset by a run.
extern std::array<std::int32_t, TIE_SLOTS> check_ID;
extern int h;

// Writes `record_number` into slot `h` and advances `h` around the ring; while
// a TieLog is installed on the calling thread, notes it there instead.
void note_tie(std::int32_t record_number);

// The ties one task notes, kept as the ring would keep them: how many, and
// the last 128. Folding the logs of several tasks into the register in a
// fixed order leaves the ring as if the tasks had run one after another in
// that order, whichever threads ran them.
class TieLog {
 public:
  void note(std::int32_t record_number) {
    last_[count_ % TIE_SLOTS] = record_number;
    ++count_;
  }
  // Writes the noted ties into the register, oldest first.
  void fold_into_register() const;

 private:
  std::array<std::int32_t, TIE_SLOTS> last_{};
  std::uint64_t count_ = 0;
};

// Sends the calling thread's ties to `log` (nullptr: to the register) for the
// lifetime of this object.
class TieLogScope {
 public:
  explicit TieLogScope(TieLog* log);
  ~TieLogScope();
  TieLogScope(const TieLogScope&) = delete;
  TieLogScope& operator=(const TieLogScope&) = delete;

 private:
  TieLog* previous_;
};

// The signed 32-bit little-endian record number at offset 80.
[[nodiscard]] std::int32_t record_number(const unsigned char* record);

// Twenty signed 32-bit words; full ties are broken by (last word + record
// number), each sum wrapping in 32 bits.
int compare_integers(const unsigned char* a, const unsigned char* b);
int compare_integers_descending(const unsigned char* a, const unsigned char* b);
// Ten binary64 doubles; every NaN equals every other NaN and comes after all
// numbers (before them descending). Full ties are broken by (last double +
// record number), each sum formed with a 64-bit significand and then rounded
// to binary64; a NaN sum equals a NaN sum.
int compare_doubles(const unsigned char* a, const unsigned char* b);
int compare_doubles_descending(const unsigned char* a, const unsigned char* b);
// Phrases as unsigned bytes; equal phrases are ordered by the "%10d" text of
// their record numbers, compared as bytes.
int compare_phrases(const unsigned char* a, const unsigned char* b);
int compare_phrases_descending(const unsigned char* a, const unsigned char* b);
// Phrases with ASCII A-Z folded to a-z; phrases equal under folding are
// ordered by their exact bytes, then by the record numbers' "%10d" text.
int case_insensitive_comparison(const unsigned char* a, const unsigned char* b);
int case_insensitive_comparison_descending(const unsigned char* a, const unsigned char* b);

}  // namespace zelto
