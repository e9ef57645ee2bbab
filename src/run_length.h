// The pattern code: a record's 640-bit key area reduced to the lengths of its
// alternating runs of set and clear bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record_format.h"

namespace zelto {

// The set-run counter starts here, so the first code byte is the leading set
// run's length plus one (1 when the pattern starts with a clear bit).
inline constexpr int NEW_PATTERN_BEGINS_WITH_SET_BIT = 1;
// Longest code (641 bytes) plus its terminating NUL.
inline constexpr std::size_t PATTERN_CODE_CAPACITY = 642;

// Codes the key area that starts at `key` (twenty 32-bit little-endian words;
// bits from word 0 to 19, within a word from bit 31 down) into `code`, which
// is first cleared over its whole `capacity`. Each byte is a run length modulo
// 256; a run whose length wraps to exactly 0 leaves no byte. Returns the
// number of code bytes; needs `capacity` of at least 641 to hold any code,
// 642 to keep it NUL-terminated.
std::size_t run_length_encoding(const unsigned char* key, unsigned char* code,
                                std::size_t capacity);

// True when the two key areas have the same code. Stops at the first code
// byte that differs, so neighbours that differ early cost little.
[[nodiscard]] bool same_pattern_code(const unsigned char* a, const unsigned char* b);

}  // namespace zelto
