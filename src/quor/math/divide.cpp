#include "quor/math/divide.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_DIVIDE_X86 1
#include <immintrin.h>
#endif

namespace quor::math {

#if QUOR_DIVIDE_X86
namespace {

__attribute__((target("avx"))) void divide_each_lanes(const double* num, double den, size_t n, double* out) {
  const __m256d d = _mm256_set1_pd(den);
  size_t i = 0;
  for (; i + 4 <= n; i += 4) _mm256_storeu_pd(out + i, _mm256_div_pd(_mm256_loadu_pd(num + i), d));
  for (; i < n; ++i) out[i] = num[i] / den;
}

__attribute__((target("avx"))) void divide_pairwise_lanes(const double* num, const double* den, size_t n,
                                                          double* out) {
  size_t i = 0;
  for (; i + 4 <= n; i += 4)
    _mm256_storeu_pd(out + i, _mm256_div_pd(_mm256_loadu_pd(num + i), _mm256_loadu_pd(den + i)));
  for (; i < n; ++i) out[i] = num[i] / den[i];
}

bool has_avx() {
  static const bool avx = __builtin_cpu_supports("avx");
  return avx;
}

}  // namespace
#endif

void divide_each(const double* num, double den, size_t n, double* out) {
#if QUOR_DIVIDE_X86
  if (has_avx()) return divide_each_lanes(num, den, n, out);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = num[i] / den;
}

void divide_pairwise(const double* num, const double* den, size_t n, double* out) {
#if QUOR_DIVIDE_X86
  if (has_avx()) return divide_pairwise_lanes(num, den, n, out);
#endif
  for (size_t i = 0; i < n; ++i) out[i] = num[i] / den[i];
}

}  // namespace quor::math
