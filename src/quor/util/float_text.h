// Reading floating-point numbers from text: the one grammar for cell texts
// read back, input values that look numeric, and the out-of-range rule the
// JSON reader shares.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace quor::util {

// 10^d for d from 0 to 15: every one is an exact double.
inline constexpr double kExactPowersOfTen[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

// The one rule for reading a short plain decimal fast: `units` / 10^`decimals`
// in one division. While `units` has at most 15 digits (below 10^15) and
// `decimals` is at most 15, both operands are exact doubles and the one
// correctly rounded division gives the same double as a correctly rounded
// reading of the decimal text.
inline double short_decimal_value(uint64_t units, size_t decimals) {
  return static_cast<double>(units) / kExactPowersOfTen[decimals];
}

// A text of an optional sign, digits and at most one point, 1 to 15 digits
// in all: its value in one pass by the rule above, the same double as
// parse_float gives. False for any other text (an exponent, a letter, white
// space, 16 digits or more), which the full parse then reads.
inline bool plain_decimal(std::string_view text, double& out) {
  const char* p = text.data();
  const char* const end = p + text.size();
  const bool negative = p != end && *p == '-';
  if (p != end && (*p == '-' || *p == '+')) ++p;
  uint64_t m = 0;
  size_t digits = 0, frac = 0;
  bool point = false;
  for (; p != end; ++p) {
    const unsigned d = static_cast<unsigned char>(*p) - unsigned{'0'};
    if (d < 10) {
      m = m * 10 + d;
      ++digits;
      frac += point ? 1 : 0;
    } else if (*p == '.' && !point) {
      point = true;
    } else {
      return false;
    }
    if (digits > 15) return false;
  }
  if (digits == 0) return false;
  const double value = short_decimal_value(m, frac);
  out = negative ? -value : value;
  return true;
}

// Parses a floating-point literal: an optional sign, then "inf", "infinity"
// or "nan" in any letter case, or digits with an optional fraction ("12",
// "12.", "12.5", ".5") and an optional exponent ("e" or "E", an optional
// sign, digits). Nothing else is accepted: no white space, no trailing text,
// no hexadecimal, no "nan(...)". The result is correctly rounded;
// magnitudes beyond the double range give an infinity, those below its
// smallest subnormal a zero, both with the literal's sign.
std::optional<double> parse_float(std::string_view text);

// For an unsigned decimal literal (digits, an optional point and digits, an
// optional exponent) that reads beyond the double range: true when its
// magnitude is at least one (it overflows to infinity), false when below
// one (it underflows to zero). Decided from the digits, without a locale.
bool decimal_literal_overflows(std::string_view literal);

}  // namespace quor::util
