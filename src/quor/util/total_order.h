// The IEEE 754 total order of 64-bit floats, for sorting measures and cells.
//
// -NaN < -inf < ... < -0.0 < +0.0 < ... < +inf < +NaN; every value, NaN
// included, has one place, so sorts by these comparators are well defined.
#pragma once

#include <cstdint>
#include <cstring>

namespace quor::util {

// A signed integer whose order is the total order of `v`.
inline int64_t total_order_key(double v) {
  int64_t k;
  std::memcpy(&k, &v, sizeof k);
  k ^= static_cast<int64_t>(static_cast<uint64_t>(k >> 63) >> 1);
  return k;
}

// a before b in ascending total order.
inline bool total_less(double a, double b) { return total_order_key(a) < total_order_key(b); }
// a before b in descending total order (largest first).
inline bool total_greater(double a, double b) { return total_order_key(a) > total_order_key(b); }

// The same 64 bits: equality that also tells the sign of zero and NaN
// payloads apart (a cached or fast result must equal the plain one so).
inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace quor::util
