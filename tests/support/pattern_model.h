// A plain model of the pattern code, one bit at a time, that the unit tests,
// the fuzz targets and the benchmark baseline check or compute codes with.
#pragma once

#include <cstdint>
#include <vector>

#include "record_format.h"

namespace zelto::testing {

inline constexpr int KEY_BITS = 8 * KEY_AREA_SIZE;

// Bit `i` of the key area: words from 0 to KEY_WORDS - 1, each little-endian,
// read from its bit 31 down to bit 0.
inline bool key_bit(const unsigned char* key, int i) {
  const int word = i / 32;
  const int bit_in_word = 31 - i % 32;
  const unsigned char byte = key[4 * word + bit_in_word / 8];
  return ((byte >> (bit_in_word % 8)) & 1) != 0;
}

// The code as the rules state it: the set-run counter starts at 1, the
// clear-run counter at 0; a bit of the other kind writes the running counter
// (only when it is not 0) and resets it; both counters wrap modulo 256; at the
// end the clear counter, then the set counter, is written when not 0.
inline std::vector<unsigned char> model_code(const unsigned char* key) {
  std::vector<unsigned char> code;
  std::uint8_t set_run = 1;
  std::uint8_t clear_run = 0;
  for (int i = 0; i < KEY_BITS; ++i) {
    if (key_bit(key, i)) {
      if (clear_run != 0) {
        code.push_back(clear_run);
        clear_run = 0;
      }
      ++set_run;
    } else {
      if (set_run != 0) {
        code.push_back(set_run);
        set_run = 0;
      }
      ++clear_run;
    }
  }
  if (clear_run != 0) code.push_back(clear_run);
  if (set_run != 0) code.push_back(set_run);
  return code;
}

}  // namespace zelto::testing
