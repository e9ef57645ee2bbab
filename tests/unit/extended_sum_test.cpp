// The double tie-break's sum, on hosts with and without extended precision.
#include "extended_sum.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace zelto {
namespace {

struct SumCase {
  std::string name;
  double x;
  std::int32_t n;
  double expected;
};

TEST(ExtendedSum, RoundsToSixtyFourBitsThenToADouble) {
  const double two53 = std::ldexp(1.0, 53);
  const double two64 = std::ldexp(1.0, 64);
  const double infinity = std::numeric_limits<double>::infinity();
  const double largest = std::numeric_limits<double>::max();
  const std::vector<SumCase> cases = {
      {"exact fraction", 0.5, 1, 1.5},
      {"exact, crossing zero", -0.5, 1, 0.5},
      {"cancels to zero", -5.0, 5, 0.0},
      {"zero number keeps x", 0.1, 0, 0.1},
      {"zero x gives the number", 0.0, -7, -7.0},
      // 2^53 + 1 is exact in 64 bits, then a tie that goes to the even 2^53.
      {"tie to even at 53 bits", two53, 1, two53},
      {"rounds up at 53 bits", two53, 3, two53 + 4},
      // 2^64 + 2049 first rounds to 2^64 + 2048, a tie at 53 bits: 2^64.
      {"double rounding", two64, 2049, two64},
      {"1e17 swallows a small number", 1e17, 3, 1e17},
      {"tiny x vanishes", 1e-300, 1, 1.0},
      {"tiny negative x vanishes", -1e-300, 1, 1.0},
      {"just below one half ulp", -std::ldexp(1.0, -54), 1, 1.0},
      {"most negative number", 0.25, std::numeric_limits<std::int32_t>::min(), -2147483647.75},
      {"huge x is kept", largest, std::numeric_limits<std::int32_t>::max(), largest},
      {"infinity", -infinity, 12, -infinity},
      {"subnormal x", std::numeric_limits<double>::denorm_min(), -3, -3.0},
  };
  for (const SumCase& c : cases) {
    EXPECT_EQ(sum_rounded_twice(c.x, c.n), c.expected) << c.name;
  }
}

}  // namespace
}  // namespace zelto
