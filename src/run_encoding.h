// How the external pass stores a record in its runs: the record's key area
// and the rest of it, each without its trailing zero bytes, behind a header
// that gives both lengths. Decoding pads the zeros back, so every record
// comes back byte for byte, whatever it holds; a usual record, whose key
// uses a few of its words and whose line ends well before the record does,
// shrinks to the bytes its key and its line take.
//
// The header is the key part's length in one byte (0 to 80) and the rest's
// length as an unsigned LEB128 number (7 bits a byte, low bits first).
#pragma once

#include <cstddef>
#include <cstdint>

#include "record_format.h"

namespace zelto {

// The most bytes one record of `record_size` (>= 80) bytes can take encoded:
// the whole record behind the longest header its size allows.
[[nodiscard]] constexpr std::uint64_t encoded_size_limit(std::uint64_t record_size) {
  std::uint64_t header = 2;
  for (std::uint64_t rest = (record_size - KEY_AREA_SIZE) >> 7; rest != 0; rest >>= 7) ++header;
  return record_size + header;
}

// Writes `record` (`record_size` >= 80 bytes) to `out`, which has room for
// encoded_size_limit(record_size) bytes; returns the bytes written.
[[nodiscard]] std::size_t encode_record(const unsigned char* record, std::size_t record_size,
                                        unsigned char* out);

// Rebuilds one record of `record_size` bytes into `record` from the
// `available` bytes at `in`; returns the bytes it took, or 0 when they do not
// hold a whole, well-formed record.
[[nodiscard]] std::size_t decode_record(const unsigned char* in, std::size_t available,
                                        std::size_t record_size, unsigned char* record);

}  // namespace zelto
