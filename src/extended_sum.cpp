#include "extended_sum.h"

#include <bit>
#include <cmath>

#include "portability.h"

namespace zelto {

namespace {

using Wide = uint128;

// The sum is held as sign * magnitude * 2^-SCALE: a record number shifted up
// by SCALE bits still fits, and a sum of magnitude above 1/2 keeps at least
// 94 significant bits, far more than the 64 that are rounded to.
constexpr int SCALE = 95;

int bit_length(Wide v) {
  const auto high = static_cast<std::uint64_t>(v >> 64);
  if (high != 0) return 128 - std::countl_zero(high);
  return 64 - std::countl_zero(static_cast<std::uint64_t>(v));
}

// `magnitude` rounded to `bits` significant bits, to nearest, ties to even.
Wide round_to_bits(Wide magnitude, int bits) {
  const int excess = bit_length(magnitude) - bits;
  if (excess <= 0) return magnitude;
  const Wide one = 1;
  const Wide kept = magnitude >> excess;
  const Wide dropped = magnitude & ((one << excess) - 1);
  const Wide half = one << (excess - 1);
  const bool up = dropped > half || (dropped == half && (kept & 1) != 0);
  return (kept + (up ? 1 : 0)) << excess;
}

// |x| * 2^shift for shift >= 0 exactly, or, for a negative shift, the
// truncated value with its lowest bit set when any bit was dropped. The set
// bit stands for "a little more" and keeps every rounding of a sum with at
// least 66 significant bits on the right side of its boundary.
Wide scaled_magnitude(std::uint64_t mantissa, int shift) {
  if (shift >= 0) return static_cast<Wide>(mantissa) << shift;
  if (-shift >= 64) return mantissa != 0 ? 1 : 0;
  const std::uint64_t kept = mantissa >> -shift;
  const bool inexact = (mantissa & ((std::uint64_t{1} << -shift) - 1)) != 0;
  return static_cast<Wide>(kept | (inexact ? 1 : 0));
}

}  // namespace

double sum_rounded_twice(double x, std::int32_t n) {
  if (n == 0 || std::isinf(x)) return x + 0.0;
  if (x == 0.0) return static_cast<double>(n);
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(x);
  const bool x_negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  std::uint64_t mantissa = bits & ((std::uint64_t{1} << 52) - 1);
  int exponent = -1074;  // x = mantissa * 2^exponent
  if (biased != 0) {
    mantissa |= std::uint64_t{1} << 52;
    exponent = biased - 1075;
  }
  // So large that the number cannot reach half a unit of the 64-bit
  // significand: the sum rounds back to x.
  if (exponent > 60) return x;
  // Both terms as signed multiples of 2^-SCALE, or of 2^exponent when that
  // is coarser and the sum an exact integer multiple of it.
  const int unit = exponent < -SCALE ? -SCALE : (exponent < 0 ? exponent : 0);
  const Wide number_part = static_cast<Wide>(n < 0 ? -static_cast<std::int64_t>(n) : n) << -unit;
  const Wide x_part = scaled_magnitude(mantissa, exponent - unit);
  const bool number_negative = n < 0;
  Wide magnitude = 0;
  bool negative = false;
  if (number_negative == x_negative) {
    magnitude = number_part + x_part;
    negative = x_negative;
  } else if (number_part >= x_part) {
    magnitude = number_part - x_part;
    negative = number_negative;
  } else {
    magnitude = x_part - number_part;
    negative = x_negative;
  }
  if (magnitude == 0) return 0.0;
  const Wide rounded = round_to_bits(round_to_bits(magnitude, 64), 53);
  // At most 53 significant bits: their value and the power of two are exact.
  const int trailing = rounded == 0 ? 0
                       : static_cast<std::uint64_t>(rounded) != 0
                           ? std::countr_zero(static_cast<std::uint64_t>(rounded))
                           : 64 + std::countr_zero(static_cast<std::uint64_t>(rounded >> 64));
  const auto significand = static_cast<std::uint64_t>(rounded >> trailing);
  const double value = std::ldexp(static_cast<double>(significand), trailing + unit);
  return negative ? -value : value;
}

}  // namespace zelto
