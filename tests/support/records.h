// Builds records and record files for the tests, fuzz targets and benchmarks,
// in the layout src/record_format.h describes: the key area, the record number
// and the text field.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "record_format.h"

namespace zelto::testing {

using Bytes = std::vector<unsigned char>;

struct RecordShape {
  int record_size = 128;
  bool numbered = true;  // text at NUMBERED_TEXT_OFFSET instead of TEXT_OFFSET
};

inline void put_int32(Bytes& r, std::size_t offset, std::int32_t v) {
  store_little_endian(r.data() + offset, static_cast<std::uint32_t>(v), 4);
}

inline void put_double(Bytes& r, std::size_t offset, double v) {
  store_little_endian(r.data() + offset, std::bit_cast<std::uint64_t>(v), 8);
}

// `r` with integer key word `index` (0 to KEY_WORDS - 1) set to `value`.
inline Bytes with_word(Bytes r, int index, std::int32_t value) {
  put_int32(r, static_cast<std::size_t>(4 * index), value);
  return r;
}

// `r` with double key `index` (0 to KEY_DOUBLES - 1) set to `value`.
inline Bytes with_double(Bytes r, int index, double value) {
  put_double(r, static_cast<std::size_t>(8 * index), value);
  return r;
}

// A record with a zeroed key area, `number` at RECORD_NUMBER_OFFSET and
// `text` (which should normally end with a newline) at the text offset,
// NUL-terminated when room allows. With `numbered` false the text overwrites the number's
// bytes, as it does in real records: give such records number 0 and let the
// text supply them.
inline Bytes make_record(std::int32_t number, std::string_view text, RecordShape shape = {}) {
  Bytes r(static_cast<std::size_t>(shape.record_size), 0);
  put_int32(r, RECORD_NUMBER_OFFSET, number);
  const std::size_t offset = shape.numbered ? NUMBERED_TEXT_OFFSET : TEXT_OFFSET;
  const std::size_t n = std::min(text.size(), r.size() - offset);
  std::memcpy(r.data() + offset, text.data(), n);
  return r;
}

// `r` with `key` (which may hold NULs) at offset 0, cut to the key area.
inline Bytes with_key_bytes(Bytes r, std::string_view key) {
  std::memcpy(r.data(), key.data(), std::min<std::size_t>(key.size(), KEY_AREA_SIZE));
  return r;
}

// A phrase key: `phrase` at offset 0, cut to the key area.
inline Bytes phrase_record(std::string_view phrase, std::int32_t number, std::string_view text,
                           RecordShape shape = {}) {
  return with_key_bytes(make_record(number, text, shape), phrase);
}

// Integer keys: the given words at offsets 0, 4, ...; the rest zero.
inline Bytes int_record(std::initializer_list<std::int32_t> words, std::int32_t number,
                        std::string_view text, RecordShape shape = {}) {
  Bytes r = make_record(number, text, shape);
  std::size_t offset = 0;
  for (std::int32_t w : words) {
    put_int32(r, offset, w);
    offset += 4;
  }
  return r;
}

// Double keys: the given values at offsets 0, 8, ...; the rest 0.0.
inline Bytes double_record(std::initializer_list<double> values, std::int32_t number,
                           std::string_view text, RecordShape shape = {}) {
  Bytes r = make_record(number, text, shape);
  std::size_t offset = 0;
  for (double v : values) {
    put_double(r, offset, v);
    offset += 8;
  }
  return r;
}

// Concatenates records into the bytes of a record file.
inline Bytes join(const std::vector<Bytes>& records) {
  Bytes file;
  for (const Bytes& r : records) file.insert(file.end(), r.begin(), r.end());
  return file;
}

// The same bytes as a string, for comparing with files read back.
inline std::string as_text(const Bytes& bytes) {
  return {bytes.begin(), bytes.end()};
}

// The bytes of a record file made of `records`.
inline std::string record_file(const std::vector<Bytes>& records) {
  return as_text(join(records));
}

// Puts `bytes` into record `r` at `offset`.
inline void put_bytes(Bytes& r, std::size_t offset, std::string_view bytes) {
  std::memcpy(r.data() + offset, bytes.data(), bytes.size());
}

// The thirteen lines of a parameter file, each given as it should appear.
struct Parameters {
  std::int32_t record_count = 0;
  std::int32_t key_type = 0;
  std::int32_t record_size = 128;
  std::string numbered = "-#";
  std::string ignore_case = "0";
  std::string report_ties = "0";
  std::string input_path = "binary.tmp";
  std::string output_path = "";
  std::string crlf = "-LF";
  std::string descending = "0";
  std::string guide_to_stdout = "0";
  std::string keep_record_file = "0";
  std::string unique = "0";

  [[nodiscard]] std::string text() const {
    std::string t;
    for (const std::string& line :
         {std::to_string(record_count), std::to_string(key_type), std::to_string(record_size),
          numbered, ignore_case, report_ties, input_path, output_path, crlf, descending,
          guide_to_stdout, keep_record_file, unique}) {
      t += line;
      t += '\n';
    }
    return t;
  }
};

}  // namespace zelto::testing
