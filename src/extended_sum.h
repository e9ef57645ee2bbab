// The sum that breaks ties between double keys: a double plus a 32-bit record
// number, formed exactly, rounded to a 64-bit significand and then to a
// double, both roundings to nearest with ties to even.
//
// This is what x87 extended precision computes for (long double)x + n; here it
// is done with integers, so that every host gives the same order.
#pragma once

#include <cstdint>

namespace zelto {

// Assumes `x` is not a NaN. Infinities stay as they are.
[[nodiscard]] double sum_rounded_twice(double x, std::int32_t n);

}  // namespace zelto
