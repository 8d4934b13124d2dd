#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "quor/math/log2.h"

namespace quor::math {
namespace {

// Each value of log2_in_place against std::log2, bit for bit (any NaN
// matches any NaN); returns how many differ and reports the first few.
size_t count_differences(const std::vector<double>& inputs) {
  std::vector<double> out = inputs;
  log2_in_place(out);
  size_t differ = 0;
  for (size_t i = 0; i < inputs.size(); ++i) {
    const double want = std::log2(inputs[i]);
    if (std::bit_cast<uint64_t>(want) == std::bit_cast<uint64_t>(out[i])) continue;
    if (std::isnan(want) && std::isnan(out[i])) continue;
    if (++differ <= 5)
      ADD_FAILURE() << std::hexfloat << "log2(" << inputs[i] << ") = " << want << ", got " << out[i];
  }
  return differ;
}

TEST(Log2InPlace, SameBitsAsTheLibraryOnEveryKindOfInput) {
  std::mt19937_64 rng(20261210);
  struct Kind {
    const char* name;
    double (*make)(std::mt19937_64&);
  };
  const Kind kinds[] = {
      {"any bit pattern", [](std::mt19937_64& g) { return std::bit_cast<double>(g()); }},
      {"[0.5, 2)", [](std::mt19937_64& g) {
         return std::bit_cast<double>(0x3fe0000000000000ULL + g() % 0x0020000000000000ULL);
       }},
      {"within 2^-20 of 1", [](std::mt19937_64& g) {
         return 1.0 + static_cast<double>(static_cast<int64_t>(g() % 2000001) - 1000000) * 0x1p-40;
       }},
      {"around the near-1 bounds", [](std::mt19937_64& g) {
         const double edge = g() % 2 ? 0x1.ea4afp-1 : 0x1.0b55p0;
         return edge * (1.0 + static_cast<double>(static_cast<int64_t>(g() % 2001) - 1000) * 0x1p-40);
       }},
      {"count ratios", [](std::mt19937_64& g) {
         return static_cast<double>(g() % 100000 + 1) / static_cast<double>(g() % 100000 + 1);
       }},
      {"small shares", [](std::mt19937_64& g) {
         return static_cast<double>(g() % 1000 + 1) / 1e9;
       }},
      {"subnormal", [](std::mt19937_64& g) { return std::bit_cast<double>(g() % 0x0010000000000000ULL); }},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    std::vector<double> inputs(400000);
    for (double& x : inputs) x = kind.make(rng);
    EXPECT_EQ(count_differences(inputs), 0u);
  }
  // Values of every kind side by side, so groups of four mix the forms.
  std::vector<double> mixed(400000);
  for (double& x : mixed) x = kinds[rng() % std::size(kinds)].make(rng);
  EXPECT_EQ(count_differences(mixed), 0u);
}

TEST(Log2InPlace, SpecialValuesAndEveryLengthOfTail) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  const std::vector<double> special = {0.0,  -0.0, 1.0, -1.0, inf, -inf, std::nan(""), 0x1p-1074,
                                       0x1p-1022, 0x1.fffffffffffffp1023, 2.0, 0.5, 1e-300, 1e300};
  EXPECT_EQ(count_differences(special), 0u);
  // Lengths 0 to 9 with one special value at each position: a group of four
  // with one such value, and the tail after the last group.
  for (size_t n = 0; n < 10; ++n)
    for (size_t at = 0; at < n; ++at) {
      std::vector<double> v(n, 0.75);
      v[at] = at % 2 ? -0.0 : std::nan("");
      EXPECT_EQ(count_differences(v), 0u) << n << " " << at;
    }
  EXPECT_EQ(std::signbit(std::log2(1.0)), [] {
    double v = 1.0;
    log2_in_place({&v, 1});
    return std::signbit(v);
  }());
}

// ratio_log_terms against the plain expression, bit for bit: counts over
// totals against products of shares (the terms of mutual information), at
// every length of tail, with ratios near 1 and values no formula covers
// (a zero count, a zero or subnormal divisor, infinities, NaN).
TEST(RatioLogTerms, SameBitsAsThePlainExpression) {
  constexpr double inf = std::numeric_limits<double>::infinity();
  std::mt19937_64 rng(77);
  auto check = [](const std::vector<double>& num, double scale, const std::vector<double>& den) {
    std::vector<double> out(num.size());
    ratio_log_terms(num.data(), scale, den.data(), num.size(), out.data());
    size_t differ = 0;
    for (size_t i = 0; i < num.size(); ++i) {
      const double share = num[i] / scale;
      const double want = share * std::log2(share / den[i]);
      if (std::bit_cast<uint64_t>(want) == std::bit_cast<uint64_t>(out[i])) continue;
      if (std::isnan(want) && std::isnan(out[i])) continue;
      if (++differ <= 5)
        ADD_FAILURE() << std::hexfloat << num[i] << " / " << scale << " against " << den[i] << ": " << want
                      << ", got " << out[i];
    }
    return differ;
  };
  for (int round = 0; round < 200; ++round) {
    const size_t n = rng() % 600;
    const double scale = static_cast<double>(rng() % 1000000 + 1);
    std::vector<double> num(n), den(n);
    for (size_t i = 0; i < n; ++i) {
      num[i] = static_cast<double>(rng() % 5000 + 1);
      const double share = num[i] / scale;
      // Mostly a product of two shares; sometimes one that puts the ratio
      // within a hair of 1.
      const double hair = static_cast<double>(static_cast<int64_t>(rng() % 2001) - 1000) * 0x1p-30;
      den[i] = rng() % 8 == 0 ? share * (1.0 + hair)
                              : (static_cast<double>(rng() % 100000 + 1) / scale) *
                                    (static_cast<double>(rng() % 100000 + 1) / scale);
    }
    EXPECT_EQ(check(num, scale, den), 0u) << "round " << round;
  }
  const std::vector<double> odd_num = {0.0, 3.0, 1.0, 5.0, inf, 2.0, std::nan(""), 7.0, 1.0};
  const std::vector<double> odd_den = {0.5, 0.0, 0x1p-1074, -1.0, 0.25, inf, 0.5, 1e-300, 0x1p-1000};
  for (size_t n = 0; n <= odd_num.size(); ++n)
    for (size_t at = 0; at < n; ++at) {
      std::vector<double> num(n, 3.0), den(n, 0.01);
      num[at] = odd_num[at];
      den[at] = odd_den[at];
      EXPECT_EQ(check(num, 10.0, den), 0u) << n << " " << at;
    }
}

#if defined(__x86_64__) && defined(__GLIBC__)
// The four-lane form must not quietly switch itself off where it can run:
// every test above would still pass through the fallback.
TEST(Log2InPlace, RunsFourLanesWhereTheProcessorAllows) {
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma"))
    GTEST_SKIP() << "no AVX2 and FMA here";
  EXPECT_TRUE(log2_is_vectorized());
}
#endif

}  // namespace
}  // namespace quor::math
