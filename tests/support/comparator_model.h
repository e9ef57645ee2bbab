// A plain model of the comparators' order and of the ties they note, read
// straight from the record bytes: the engine and fuzz tests check the command
// against it and the benchmark baseline sorts with it. Header-only, sharing
// nothing with the command's library but the record format's numbers.
#pragma once

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "record_format.h"

namespace zelto::testing {

// The comparator a key type and case setting select: integers, doubles,
// phrases folded when not case-sensitive, and any other key type an exact
// phrase.
enum class ModelKey { Integers, Doubles, Phrase, FoldedPhrase };

inline ModelKey model_key(std::int64_t key_type, int case_sensitive) {
  if (key_type == static_cast<std::int64_t>(KeyType::Integers)) return ModelKey::Integers;
  if (key_type == static_cast<std::int64_t>(KeyType::Doubles)) return ModelKey::Doubles;
  if (key_type == static_cast<std::int64_t>(KeyType::Phrase) && case_sensitive == 0) {
    return ModelKey::FoldedPhrase;
  }
  return ModelKey::Phrase;
}

inline std::int32_t model_int_at(const unsigned char* p) {
  return static_cast<std::int32_t>(load_le32(p));
}

// Numbers in their order, then every NaN, all of them equal.
inline int model_double_order(double x, double y) {
  if (std::isnan(x) || std::isnan(y)) return std::isnan(x) - std::isnan(y);
  return x == y ? 0 : (x > y ? 1 : -1);
}

inline double model_double_at(const unsigned char* p) {
  double d;
  const std::uint64_t bits = load_le64(p);
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

inline std::int32_t model_record_number(const unsigned char* record) {
  return model_int_at(record + RECORD_NUMBER_OFFSET);
}

// The phrase key: the first PHRASE_WINDOW bytes up to their first NUL.
inline std::string_view model_phrase(const unsigned char* record) {
  const auto* text = reinterpret_cast<const char*>(record);
  return {text, strnlen(text, PHRASE_WINDOW)};
}

inline unsigned char model_fold(unsigned char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

inline int model_sign(long long v) {
  return (v > 0) - (v < 0);
}

// Byte order of two phrases, with ASCII letters folded to lower case when
// `folded`; -1, 0 or 1.
inline int compare_phrases_model(std::string_view x, std::string_view y, bool folded) {
  const std::size_t n = x.size() < y.size() ? x.size() : y.size();
  for (std::size_t i = 0; i < n; ++i) {
    auto cx = static_cast<unsigned char>(x[i]);
    auto cy = static_cast<unsigned char>(y[i]);
    if (folded) {
      cx = model_fold(cx);
      cy = model_fold(cy);
    }
    if (cx != cy) return cx < cy ? -1 : 1;
  }
  return model_sign(static_cast<long long>(x.size()) - static_cast<long long>(y.size()));
}

// True when the two records' keys are equal in the comparator's primary
// order, before any record number is consulted: the pairs that note a tie.
inline bool keys_tie(ModelKey key, const unsigned char* a, const unsigned char* b) {
  switch (key) {
    case ModelKey::Integers: return std::memcmp(a, b, KEY_AREA_SIZE) == 0;
    case ModelKey::Doubles:
      for (int d = 0; d < KEY_DOUBLES; ++d) {
        if (model_double_order(model_double_at(a + 8 * d), model_double_at(b + 8 * d)) != 0) {
          return false;
        }
      }
      return true;
    case ModelKey::Phrase:
    case ModelKey::FoldedPhrase:
      return compare_phrases_model(model_phrase(a), model_phrase(b),
                                   key == ModelKey::FoldedPhrase) == 0;
  }
  return false;
}

// The full comparison, tie-breaks included, needs the double tie-break's
// x87 extended sums: only where long double has a 64-bit significand.
#if LDBL_MANT_DIG == 64

struct ModelComparison {
  int sign;  // -1, 0 or 1
  bool tie;  // the keys tie fully, so a tie is noted
};

// The integer tie-break: the last key word plus the record number, wrapping.
inline std::int32_t model_integer_tie_sum(const unsigned char* r) {
  return static_cast<std::int32_t>(load_le32(r + KEY_AREA_SIZE - 4) +
                                   load_le32(r + RECORD_NUMBER_OFFSET));
}

// The double tie-break: the last double plus the record number, summed in
// extended precision and rounded to a double.
inline double model_double_tie_sum(const unsigned char* r) {
  return static_cast<double>(static_cast<long double>(model_double_at(r + KEY_AREA_SIZE - 8)) +
                             model_record_number(r));
}

// Phrase ties compare each phrase followed by its "%10d" record number.
inline int compare_numbered_phrases_model(const unsigned char* x, const unsigned char* y) {
  char x_number[16];
  char y_number[16];
  std::snprintf(x_number, sizeof x_number, "%10d", model_record_number(x));
  std::snprintf(y_number, sizeof y_number, "%10d", model_record_number(y));
  const std::string_view px = model_phrase(x);
  const std::string_view py = model_phrase(y);
  const std::string_view nx = x_number;
  const std::string_view ny = y_number;
  const auto at = [](std::string_view head, std::string_view tail, std::size_t i) {
    return static_cast<unsigned char>(i < head.size() ? head[i] : tail[i - head.size()]);
  };
  const std::size_t lx = px.size() + nx.size();
  const std::size_t ly = py.size() + ny.size();
  for (std::size_t i = 0; i < lx && i < ly; ++i) {
    const unsigned char cx = at(px, nx, i);
    const unsigned char cy = at(py, ny, i);
    if (cx != cy) return cx < cy ? -1 : 1;
  }
  return model_sign(static_cast<long long>(lx) - static_cast<long long>(ly));
}

// Records `x` and `y` (their first MINIMUM_RECORD_SIZE bytes) in ascending
// order of the comparator `key` selects.
inline ModelComparison compare_model(ModelKey key, const unsigned char* x, const unsigned char* y) {
  switch (key) {
    case ModelKey::Integers: {
      for (int offset = 0; offset < KEY_AREA_SIZE; offset += 4) {
        const std::int32_t wx = model_int_at(x + offset);
        const std::int32_t wy = model_int_at(y + offset);
        if (wx != wy) return {wx > wy ? 1 : -1, false};
      }
      const std::int32_t sx = model_integer_tie_sum(x);
      const std::int32_t sy = model_integer_tie_sum(y);
      return {model_sign(static_cast<long long>(sx) - sy), true};
    }
    case ModelKey::Doubles: {
      bool ordered = true;
      for (int offset = 0; offset < KEY_AREA_SIZE; offset += 8) {
        const int order =
            model_double_order(model_double_at(x + offset), model_double_at(y + offset));
        if (order != 0) return {order, false};
        ordered = ordered && !std::isnan(model_double_at(x + offset));
      }
      // A key holding a NaN ties with nothing, though it sorts beside its equals.
      if (std::isnan(model_double_at(x + KEY_AREA_SIZE - 8))) return {0, false};
      const double sx = model_double_tie_sum(x);
      const double sy = model_double_tie_sum(y);
      return {sx == sy ? 0 : (sx > sy ? 1 : -1), ordered};
    }
    case ModelKey::Phrase:
    case ModelKey::FoldedPhrase: {
      const int primary =
          compare_phrases_model(model_phrase(x), model_phrase(y), key == ModelKey::FoldedPhrase);
      if (primary != 0) return {primary, false};
      return {compare_numbered_phrases_model(x, y), true};
    }
  }
  return {0, false};
}

#endif

}  // namespace zelto::testing
