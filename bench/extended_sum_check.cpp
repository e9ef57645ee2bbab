// Checks the integer computation of the double tie-break's sum against the
// x87 extended-precision sum it reproduces, over random and edge pairs.
// x86-64 only: elsewhere there is no 64-bit-significand long double to check
// against. Usage: zelto_extended_sum_check [PAIRS] (default 10,000,000).
#include <bit>
#include <cfloat>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "extended_sum.h"

static_assert(LDBL_MANT_DIG == 64, "the reference needs x87 extended precision");

namespace {

double reference(double x, std::int32_t n) {
  return static_cast<double>(static_cast<long double>(x) + static_cast<double>(n));
}

bool same(double a, double b) {
  return a == b || (std::isnan(a) && std::isnan(b));
}

// Doubles where roundings are delicate: powers of two, values next to them,
// integers near the limits of 53 and 64 bits, tiny and huge values.
std::vector<double> edge_doubles() {
  std::vector<double> values = {0.0,
                                -0.0,
                                std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::infinity(),
                                0.5,
                                1e17,
                                1e-300};
  for (int e = -1080; e <= 1023; e += 1) {
    const double p = std::ldexp(1.0, e);
    for (const double v : {p, std::nextafter(p, 0.0), std::nextafter(p, 2 * p + 1)}) {
      values.push_back(v);
      values.push_back(-v);
    }
  }
  for (int e = 50; e <= 70; ++e) {
    for (int k = -4100; k <= 4100; k += 41) values.push_back(std::ldexp(1.0, e) + k);
  }
  return values;
}

std::vector<std::int32_t> edge_numbers() {
  std::vector<std::int32_t> numbers = {0, 1, -1, 2, -2, 3, 2047, 2048, 2049, 4095, 4096, 4097};
  numbers.push_back(std::numeric_limits<std::int32_t>::max());
  numbers.push_back(std::numeric_limits<std::int32_t>::min());
  numbers.push_back(std::numeric_limits<std::int32_t>::max() - 1);
  numbers.push_back(std::numeric_limits<std::int32_t>::min() + 1);
  for (int s = 0; s < 31; ++s) {
    numbers.push_back(1 << s);
    numbers.push_back(-(1 << s));
    numbers.push_back((1 << s) + 1);
  }
  return numbers;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t pairs = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 10000000;
  std::uint64_t checked = 0;
  std::uint64_t wrong = 0;
  const auto check = [&](double x, std::int32_t n) {
    ++checked;
    const double got = zelto::sum_rounded_twice(x, n);
    const double want = reference(x, n);
    if (!same(got, want) && ++wrong <= 10) {
      std::printf("x=%a n=%" PRId32 ": %a, x87 %a\n", x, n, got, want);
    }
  };
  const std::vector<double> doubles = edge_doubles();
  const std::vector<std::int32_t> numbers = edge_numbers();
  for (const double x : doubles) {
    for (const std::int32_t n : numbers) check(x, n);
  }
  std::mt19937_64 random(20261208);
  while (checked < pairs) {
    const std::uint64_t r = random();
    double x = 0;
    switch (r % 4) {
      case 0: x = std::bit_cast<double>(random()); break;  // any pattern
      case 1:
        x = std::ldexp(static_cast<double>(random() >> 11), static_cast<int>(r >> 8) % 140 - 110);
        break;
      case 2: x = static_cast<double>(static_cast<std::int64_t>(random())) / 1024.0; break;
      default: x = doubles[random() % doubles.size()]; break;
    }
    if (std::isnan(x)) continue;
    const auto n = static_cast<std::int32_t>(static_cast<std::uint32_t>(random() >> (r % 32)));
    check(x, (r & 16) != 0 ? n : numbers[random() % numbers.size()]);
  }
  std::printf("%" PRIu64 " pairs, %" PRIu64 " differ from x87 extended precision\n", checked,
              wrong);
  return wrong == 0 ? 0 : 1;
}
