// The pattern coder: produces a key area's pattern code one byte at a time.
//
// Contract: a key area is twenty 32-bit little-endian words, read from word 0
// to 19 and within a word from bit 31 down. Its code is the lengths of its
// alternating runs of set and clear bits, the leading set run counted from 1
// (so a key that starts with a clear bit begins with the byte 1). Every run
// length is kept modulo 256, and a run whose length wraps to exactly 0 yields
// no byte. `next()` returns the code's bytes in turn and 0 once it has ended.
// A run's bits are counted a word at a time, not bit by bit.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>

#include "record_format.h"

namespace zelto {

// The set-run counter starts here, so the first code byte is the leading set
// run's length plus one (1 when the pattern starts with a clear bit).
inline constexpr int NEW_PATTERN_BEGINS_WITH_SET_BIT = 1;

class PatternCoder {
 public:
  explicit PatternCoder(const unsigned char* key) : key_(key), word_(load_le32(key)) {}

  // A coder that has already consumed the first `start_bit` bits (1 to
  // 639) without yielding their bytes: it resumes inside the run that
  // crosses that position, with that run's counter.
  PatternCoder(const unsigned char* key, int start_bit)
      : key_(key), word_index_(start_bit / 32), remaining_(32 - start_bit % 32) {
    word_ = load_le32(key + 4 * word_index_);
    const int consumed = start_bit % 32;
    in_set_run_ =
        ((consumed > 0 ? word_ >> (32 - consumed) : load_le32(key + 4 * (word_index_ - 1))) & 1U) !=
        0;
    // The run's length so far: the equal bits just before the position.
    int length = 0;
    bool reaches_first_bit = true;
    if (consumed > 0) {
      const std::uint32_t done = word_ >> (32 - consumed);
      const int tail =
          std::min(consumed, in_set_run_ ? std::countr_one(done) : std::countr_zero(done));
      length += tail;
      reaches_first_bit = tail == consumed;
    }
    for (int w = word_index_ - 1; reaches_first_bit && w >= 0; --w) {
      const std::uint32_t word = load_le32(key + 4 * w);
      const int tail = in_set_run_ ? std::countr_one(word) : std::countr_zero(word);
      length += tail;
      reaches_first_bit = tail == 32;
    }
    // The leading set run is counted from 1.
    const int start = reaches_first_bit && in_set_run_ ? NEW_PATTERN_BEGINS_WITH_SET_BIT : 0;
    counter_ = static_cast<std::uint8_t>(length + start);
  }

  // The next code byte, or 0 once the code has ended.
  unsigned char next() {
    while (!finished_) {
      if (remaining_ == 0) {
        if (++word_index_ == KEY_WORDS) {
          finished_ = true;
          return counter_;  // the final flush; 0 when it wrapped
        }
        word_ = load_le32(key_ + 4 * word_index_);
        remaining_ = 32;
      }
      // Align the unread bits at the top and flip them so that the current
      // run's bits read as zeros: their count is the run's length here.
      std::uint32_t bits = word_ << (32 - remaining_);
      if (in_set_run_) bits = ~bits;
      const int run = std::min(std::countl_zero(bits), remaining_);
      counter_ = static_cast<std::uint8_t>(counter_ + run);
      remaining_ -= run;
      if (remaining_ > 0) {  // the run ends inside this word
        const std::uint8_t finished_run = counter_;
        counter_ = 0;
        in_set_run_ = !in_set_run_;
        if (finished_run != 0) return finished_run;
      }
    }
    return 0;
  }

 private:
  const unsigned char* key_;
  int word_index_ = 0;
  int remaining_ = 32;  // bits of the current word not yet counted
  std::uint32_t word_;
  bool in_set_run_ = true;
  std::uint8_t counter_ = NEW_PATTERN_BEGINS_WITH_SET_BIT;
  bool finished_ = false;
};

}  // namespace zelto
