#include "run_encoding.h"

#include <cstring>

namespace zelto {

namespace {

// The length of `bytes` without its trailing zero bytes, looked at a word
// at a time: most of a usual key area is zeros.
std::size_t used_length(const unsigned char* bytes, std::size_t size) {
  std::uint64_t word = 0;
  while (size >= sizeof word) {
    std::memcpy(&word, bytes + size - sizeof word, sizeof word);
    if (word != 0) break;
    size -= sizeof word;
  }
  while (size > 0 && bytes[size - 1] == 0) --size;
  return size;
}

}  // namespace

std::size_t encode_record(const unsigned char* record, std::size_t record_size,
                          unsigned char* out) {
  const std::size_t key = used_length(record, KEY_AREA_SIZE);
  const unsigned char* rest = record + KEY_AREA_SIZE;
  const std::size_t tail = used_length(rest, record_size - KEY_AREA_SIZE);
  std::size_t at = 0;
  out[at++] = static_cast<unsigned char>(key);
  std::size_t length = tail;
  do {
    const auto low = static_cast<unsigned char>(length & 0x7F);
    length >>= 7;
    out[at++] = static_cast<unsigned char>(length != 0 ? low | 0x80 : low);
  } while (length != 0);
  std::memcpy(out + at, record, key);
  std::memcpy(out + at + key, rest, tail);
  return at + key + tail;
}

std::size_t decode_record(const unsigned char* in, std::size_t available, std::size_t record_size,
                          unsigned char* record) {
  if (available == 0 || in[0] > KEY_AREA_SIZE) return 0;
  const std::size_t key = in[0];
  std::size_t at = 1;
  std::uint64_t tail = 0;
  for (int shift = 0;; shift += 7) {
    if (at == available || shift > 28) return 0;
    const unsigned char byte = in[at++];
    tail |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
    if ((byte & 0x80) == 0) break;
  }
  if (tail > record_size - KEY_AREA_SIZE || available - at < key + tail) return 0;
  unsigned char* rest = record + KEY_AREA_SIZE;
  std::memcpy(record, in + at, key);
  std::memset(record + key, 0, KEY_AREA_SIZE - key);
  std::memcpy(rest, in + at + key, tail);
  std::memset(rest + tail, 0, record_size - KEY_AREA_SIZE - tail);
  return at + key + tail;
}

}  // namespace zelto
