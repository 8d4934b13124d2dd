// Reading floating-point numbers from text: the one grammar for cell texts
// read back, input values that look numeric, and the out-of-range rule the
// JSON reader shares.
#pragma once

#include <optional>
#include <string_view>

namespace quor::util {

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
