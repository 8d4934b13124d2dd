// Integer arithmetic that stops at the bounds instead of wrapping, for
// counts (which never wrap) and for bin numbers computed from doubles.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quor::util {

// a + b, or 2^64 - 1 when the sum does not fit.
inline uint64_t add_saturating(uint64_t a, uint64_t b) {
  const uint64_t s = a + b;
  return s < a ? std::numeric_limits<uint64_t>::max() : s;
}

// floor(v) as an int64: NaN gives 0, values beyond the range the nearest
// bound (infinities included).
inline int64_t floor_to_int64_saturating(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9223372036854775808.0) return std::numeric_limits<int64_t>::max();
  if (v < -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
  // |v| < 2^63: truncation is exact and representable, so one step down
  // from it gives the floor of a negative fraction.
  int64_t t = static_cast<int64_t>(v);
  if (static_cast<double>(t) > v) t -= 1;
  return t;
}

}  // namespace quor::util
