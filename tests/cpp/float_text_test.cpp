#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "quor/util/float_text.h"

namespace quor::util {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

TEST(ParseFloat, ReadsCellTextsBack) {
  EXPECT_EQ(*parse_float("0.123456"), 0.123456);
  EXPECT_EQ(*parse_float("+1.5"), 1.5);
  EXPECT_EQ(*parse_float("-2e3"), -2000.0);
  EXPECT_TRUE(std::isnan(*parse_float("NaN")));
  EXPECT_EQ(*parse_float("inf"), kInf);
  EXPECT_EQ(*parse_float("-inf"), -kInf);
  EXPECT_TRUE(std::signbit(*parse_float("-0.000000")));
  EXPECT_EQ(*parse_float("1e400"), kInf);
  EXPECT_EQ(*parse_float("-1e400"), -kInf);
  EXPECT_EQ(*parse_float("1e-400"), 0.0);
  EXPECT_EQ(*parse_float("0." + std::string(400, '0') + "1"), 0.0);
  EXPECT_EQ(*parse_float("1" + std::string(400, '0')), kInf);
  for (const char* bad : {"", "N/A", " 1", "1 ", "--1", "+-1", "+", "1.5x", "0x10"})
    EXPECT_FALSE(parse_float(bad).has_value()) << bad;
}

TEST(ParseFloat, Grammar) {
  const std::vector<std::pair<std::string, std::optional<double>>> cases = {
      {"12", 12.0},   {"12.", 12.0},   {"12.5", 12.5},  {".5", 0.5},     {"+3", 3.0},
      {"-2e3", -2000.0}, {"1E-2", 0.01}, {"inf", HUGE_VAL}, {"-Infinity", -HUGE_VAL},
      {"1e400", HUGE_VAL}, {"1e-400", 0.0}, {"", std::nullopt}, {".", std::nullopt},
      {"e5", std::nullopt}, {"1e", std::nullopt}, {" 1", std::nullopt}, {"1 ", std::nullopt},
      {"0x10", std::nullopt}, {"1_0", std::nullopt}, {"infinit", std::nullopt}, {"+", std::nullopt},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(parse_float(text), want) << text;
  EXPECT_TRUE(std::isnan(*parse_float("NaN")));
}

// Short plain decimals take a shortcut; every text gives the same double as
// the full parse, bit for bit, around the shortcut's digit limit too.
TEST(ParseFloat, ShortDecimalsMatchTheFullParse) {
  std::mt19937_64 rng(5);
  auto full = [](const std::string& t) {
    std::string_view s = t;
    const bool negative = !s.empty() && s[0] == '-';
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    double v = 0.0;
    std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
    return negative ? -v : v;
  };
  for (int i = 0; i < 200000; ++i) {
    std::string t = rng() % 4 == 0 ? "-" : (rng() % 8 == 0 ? "+" : "");
    const size_t int_digits = rng() % 10, frac_digits = rng() % 18;
    for (size_t d = 0; d < int_digits; ++d) t += static_cast<char>('0' + rng() % 10);
    if (frac_digits > 0 || int_digits == 0 || rng() % 4 == 0) t += '.';
    for (size_t d = 0; d < frac_digits; ++d) t += static_cast<char>('0' + rng() % 10);
    if (int_digits + frac_digits == 0) t += '0';
    const auto got = parse_float(t);
    ASSERT_TRUE(got.has_value()) << t;
    const double want = full(t);
    EXPECT_EQ(std::memcmp(&*got, &want, sizeof want), 0) << t << " " << *got << " " << want;
  }
}

// The one-division rule takes only a sign, digits and one point, 1 to 15
// digits in all; every other text is left to the full parse.
TEST(PlainDecimal, TakesOnlyShortPlainDecimals) {
  const std::vector<std::pair<std::string, double>> taken = {
      {"0", 0.0}, {"-0", -0.0}, {"+7", 7.0}, {"1.", 1.0}, {".5", 0.5}, {"-.5", -0.5},
      {"007.50", 7.5}, {"123456789012345", 123456789012345.0}, {"0.00000000000001", 1e-14}};
  for (const auto& [text, want] : taken) {
    double got = 1.0;
    ASSERT_TRUE(plain_decimal(text, got)) << text;
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text;
  }
  for (const char* other : {"", "-", "+", ".", "-.", "1..2", "1e5", "nan", "inf", " 1", "1 ",
                            "--1", "+-1", "0x10", "1234567890123456", "0.000000000000001"}) {
    double got = 1.0;
    EXPECT_FALSE(plain_decimal(other, got)) << other;
    EXPECT_EQ(got, 1.0) << other;
  }
}

TEST(ParseFloat, SignsOfZerosAndNaNs) {
  auto bits = [](double v) {
    uint64_t b;
    std::memcpy(&b, &v, sizeof b);
    return b;
  };
  EXPECT_EQ(bits(*parse_float("-1e-400")), bits(-0.0));
  EXPECT_EQ(bits(*parse_float("+0")), bits(0.0));
  EXPECT_EQ(bits(*parse_float("nan")), bits(std::numeric_limits<double>::quiet_NaN()));
  EXPECT_EQ(bits(*parse_float("-NAN")), bits(-std::numeric_limits<double>::quiet_NaN()));
  for (const char* bad : {"nan(1)", "nan()", "-nan(x)", "in", "infinityy", "+-inf", "1e+", ".e1"})
    EXPECT_FALSE(parse_float(bad).has_value()) << bad;
}

TEST(DecimalLiteralOverflows, SidesOfOne) {
  const std::pair<const char*, bool> cases[] = {
      {"1e400", true},         {"1e-400", false},      {"0.1e310", true},
      {"10e-325", false},      {"0.0001e-320", false}, {"9e308", true},
      {"0.000e99999", false},  {"1e99999999999999999999999", true},
      {"1e-99999999999999999999999", false},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(decimal_literal_overflows(text), want) << text;
  // A long run of zeros is weighed against the exponent, not lost to a cap.
  EXPECT_TRUE(decimal_literal_overflows("0." + std::string(2000000, '0') + "1e2000400"));
  EXPECT_FALSE(decimal_literal_overflows("1" + std::string(2000000, '0') + "e-2000400"));
}

}  // namespace
}  // namespace quor::util
