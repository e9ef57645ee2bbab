// The record format that zelto reads and zelto-pack writes: one vocabulary
// for the command, the companion, the tests, the fuzz targets and the
// benchmarks.
//
// A record file is a plain sequence of `record_count` records of
// `record_size` bytes. Each record holds an 80-byte key area at offset 0, its
// record number (signed 32-bit little-endian) at offset 80, and a
// NUL-terminated text field at offset 80, or at 91 when records are numbered.
// Every multi-byte field is little-endian.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

// The exit statuses, for the passes that report one.
#include "programs.h"

namespace zelto {

inline constexpr int KEY_AREA_SIZE = 80;
inline constexpr int KEY_WORDS = 20;    // twenty 32-bit integers
inline constexpr int KEY_DOUBLES = 10;  // ten binary64 doubles
inline constexpr int RECORD_NUMBER_OFFSET = 80;
inline constexpr int TEXT_OFFSET = 80;
inline constexpr int NUMBERED_TEXT_OFFSET = 91;
// The phrase key is read from this many leading bytes of a record.
inline constexpr int PHRASE_WINDOW = 91;
// Comparison, pattern coding and the numbered text field read this much.
inline constexpr int MINIMUM_RECORD_SIZE = 91;
// A phrase written by zelto-pack keeps at most this many bytes, so a NUL
// always ends it inside the key area.
inline constexpr int PHRASE_KEY_LIMIT = KEY_AREA_SIZE - 1;

// The key kinds, valued as parameter line 2 carries them (parameter_file.h).
// Any other value is read as an exact phrase.
enum class KeyType : std::int32_t { Phrase = 0, Integers = 1, Doubles = 2 };

inline constexpr const char* PARAMETER_FILE = "manager.txt";
inline constexpr const char* RECORD_FILE = "binary.tmp";
inline constexpr const char* FALLBACK_PATH = "zelto.txt";
inline constexpr const char* ERROR_LOG_PATH = "error.txt";

// The first `n` (at most 8) bytes at `p` as a little-endian number.
inline std::uint64_t load_little_endian(const unsigned char* p, std::size_t n) {
  static_assert(std::endian::native == std::endian::little,
                "records are read on little-endian hosts");
  std::uint64_t v = 0;
  std::memcpy(&v, p, n);
  return v;
}

inline std::uint32_t load_le32(const unsigned char* p) {
  return static_cast<std::uint32_t>(load_little_endian(p, 4));
}

inline std::uint64_t load_le64(const unsigned char* p) {
  return load_little_endian(p, 8);
}

// Stores the low `n` (at most 8) bytes of `v` at `p`, little-endian.
inline void store_little_endian(unsigned char* p, std::uint64_t v, std::size_t n) {
  std::memcpy(p, &v, n);
}

}  // namespace zelto
