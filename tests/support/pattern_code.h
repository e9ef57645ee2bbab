// The code bytes the command's pattern coder yields, written out whole, so
// the tests, the fuzz targets and the benchmarks can look at them. The
// command itself only compares codes (same_pattern_code) and never stores one.
#pragma once

#include <cstddef>
#include <cstring>

#include "pattern_coder.h"

namespace zelto::testing {

// Longest code (641 bytes) plus its terminating NUL.
inline constexpr std::size_t PATTERN_CODE_CAPACITY = 642;

// Codes the key area at `key` into `code`, which is first cleared over its
// whole `capacity`. Returns the number of code bytes; needs `capacity` of at
// least 641 to hold any code, 642 to keep it NUL-terminated.
inline std::size_t run_length_encoding(const unsigned char* key, unsigned char* code,
                                       std::size_t capacity) {
  std::memset(code, 0, capacity);
  PatternCoder coder(key);
  std::size_t length = 0;
  for (unsigned char byte = coder.next(); byte != 0 && length < capacity; byte = coder.next()) {
    code[length++] = byte;
  }
  return length;
}

}  // namespace zelto::testing
