#include "run_length.h"

#include <bit>
#include <cstring>

namespace zelto {

namespace {

std::uint32_t load_word(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

// Appends one run's 8-bit counter, which is dropped when it wrapped to 0.
class CodeWriter {
 public:
  CodeWriter(unsigned char* code, std::size_t capacity) : code_(code), capacity_(capacity) {}
  void flush(std::uint8_t counter) {
    if (counter != 0 && length_ < capacity_) code_[length_++] = counter;
  }
  [[nodiscard]] std::size_t length() const { return length_; }

 private:
  unsigned char* code_;
  std::size_t capacity_;
  std::size_t length_ = 0;
};

}  // namespace

std::size_t run_length_encoding(const unsigned char* key, unsigned char* code,
                                std::size_t capacity) {
  std::memset(code, 0, capacity);
  CodeWriter out(code, capacity);
  // The counters are 8 bits wide, so every run length is kept modulo 256.
  bool in_set_run = true;
  auto counter = static_cast<std::uint8_t>(NEW_PATTERN_BEGINS_WITH_SET_BIT);
  for (int w = 0; w < KEY_WORDS; ++w) {
    const std::uint32_t word = load_word(key + 4 * w);
    int remaining = 32;  // bits of this word not yet counted, from the top
    while (remaining > 0) {
      // Align the unread bits at the top; flip them so that the current run's
      // bits read as zeros, whose count is the run's length within this word.
      std::uint32_t bits = word << (32 - remaining);
      if (in_set_run) bits = ~bits;
      int run = std::countl_zero(bits);
      if (run > remaining) run = remaining;
      counter = static_cast<std::uint8_t>(counter + run);
      remaining -= run;
      if (remaining > 0) {
        out.flush(counter);
        counter = 0;
        in_set_run = !in_set_run;
      }
    }
  }
  out.flush(counter);
  return out.length();
}

}  // namespace zelto
