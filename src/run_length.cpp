#include "run_length.h"

#include <bit>
#include <cstdint>

#include "pattern_coder.h"
#include "record_format.h"

namespace zelto {

bool same_pattern_code(const unsigned char* a, const unsigned char* b) {
  // The bits both keys share yield the same bytes and leave both coders in
  // the same state, so the codes can differ only in what follows them.
  int word = 0;
  while (word < KEY_WORDS && load_le32(a + 4 * word) == load_le32(b + 4 * word)) ++word;
  if (word == KEY_WORDS) return true;
  const int shared_bits =
      32 * word + std::countl_zero(load_le32(a + 4 * word) ^ load_le32(b + 4 * word));
  PatternCoder first = shared_bits == 0 ? PatternCoder(a) : PatternCoder(a, shared_bits);
  PatternCoder second = shared_bits == 0 ? PatternCoder(b) : PatternCoder(b, shared_bits);
  for (;;) {
    const unsigned char x = first.next();
    if (x != second.next()) return false;
    if (x == 0) return true;
  }
}

}  // namespace zelto
