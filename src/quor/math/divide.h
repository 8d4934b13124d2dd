// Element-wise division of arrays, four lanes at a time where the processor
// has AVX. Each quotient is one correctly rounded IEEE division, so the lanes
// give the same bits as a plain loop; the measures that divide every cell of
// a table (mutual information over thousands of tables) are bound by the
// divider, which takes four lanes for little more than the price of one.
#pragma once

#include <cstddef>

namespace quor::math {

// out[i] = num[i] / den for i < n. `out` may be `num`.
void divide_each(const double* num, double den, size_t n, double* out);

// out[i] = num[i] / den[i] for i < n. `out` may be `num` or `den`.
void divide_pairwise(const double* num, const double* den, size_t n, double* out);

}  // namespace quor::math
