// Text forms of numbers used in result cells and messages.
//
// Floating values that are not numbers print as "NaN" and infinite ones as
// "inf" / "-inf" in every form ("+inf" in the signed form).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quor::util {

// Fixed point with exactly `decimals` digits after the point, correctly
// rounded from the exact binary value (an exact tie goes to the even digit).
// A minus sign only for negative values, -0.0 included ("-0.0000").
std::string format_fixed(double value, int decimals);

// As format_fixed, with a "+" before values that are not negative.
std::string format_signed_fixed(double value, int decimals);

// The shortest decimal text that reads back as `value`, never in exponent
// form, without a fractional part when the value is integral
// (1.0 -> "1", 0.5 -> "0.5", -0.0 -> "-0", 1e21 -> "1000000000000000000000").
std::string format_plain(double value);

// Decimal digits right-aligned in a field of at least `width` characters,
// padded with spaces on the left; longer numbers are not cut.
std::string format_padded(uint64_t value, size_t width);

// "true" or "false".
inline std::string_view format_bool(bool value) { return value ? "true" : "false"; }

}  // namespace quor::util
