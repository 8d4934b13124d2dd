#include "quor/math/log2.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_LOG2_X86 1
// GCC 12 reports its own AVX-512 intrinsics (their `_mm512_undefined_*`
// pass-through operand) as maybe-uninitialized once they are inlined; the
// warning is about the compiler's header, not about this file.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#endif

namespace quor::math {

namespace {

void ratio_log_terms_plain(const double* num, double scale, const double* den, size_t n, double* out) {
  for (size_t j = 0; j < n; ++j) {
    const double share = num[j] / scale;
    out[j] = share * std::log2(share / den[j]);
  }
}

}  // namespace

#if QUOR_LOG2_X86
namespace {

// The constants of the log2 that glibc (2.28 and later) selects on
// processors with FMA: ARM's optimized-routines algorithm (MIT licence).
// kC: 1/ln 2 split in a high part of 33 bits and the rest, then the six
// coefficients of the polynomial used away from 1, then the ten used near 1.
constexpr double kC[18] = {
    0x1.7154765200000p+0,
    0x1.705fc2eefa200p-33,
    -0x1.71547652b8339p-1,
    0x1.ec709dc3a04bep-2,
    -0x1.7154764702ffbp-2,
    0x1.2776c50034c48p-2,
    -0x1.ec7b328ea92bcp-3,
    0x1.a6225e117f92ep-3,
    -0x1.71547652b82fep-1,
    0x1.ec709dc3a03f7p-2,
    -0x1.71547652b7c3fp-2,
    0x1.2776c50f05be4p-2,
    -0x1.ec709dd768fe5p-3,
    0x1.a61761ec4e736p-3,
    -0x1.7153fbc64a79bp-3,
    0x1.484d154f01b4ap-3,
    -0x1.289e4a72c383cp-3,
    0x1.0b32f285aee66p-3,
};

// Per subinterval i of [0x1.6p-1, 0x1.6p0) (64 of them, by the top mantissa
// bits): 1/c for a point c near its centre, and log2(c).
struct Entry {
  double invc;
  double logc;
};
constexpr Entry kTab[64] = {
    {0x1.724286bb1acf8p+0, -0x1.1095feecdb000p-1},
    {0x1.6e1f766d2cca1p+0, -0x1.08494bd76d000p-1},
    {0x1.6a13d0e30d48ap+0, -0x1.00143aee8f800p-1},
    {0x1.661ec32d06c85p+0, -0x1.efec5360b4000p-2},
    {0x1.623fa951198f8p+0, -0x1.dfdd91ab7e000p-2},
    {0x1.5e75ba4cf026cp+0, -0x1.cffae0cc79000p-2},
    {0x1.5ac055a214fb8p+0, -0x1.c043811fda000p-2},
    {0x1.571ed0f166e1ep+0, -0x1.b0b67323ae000p-2},
    {0x1.53909590bf835p+0, -0x1.a152f5a2db000p-2},
    {0x1.5014fed61adddp+0, -0x1.9217f5af86000p-2},
    {0x1.4cab88e487bd0p+0, -0x1.8304db0719000p-2},
    {0x1.49539b4334feep+0, -0x1.74189f9a9e000p-2},
    {0x1.460cbdfafd569p+0, -0x1.6552bb5199000p-2},
    {0x1.42d664ee4b953p+0, -0x1.56b23a29b1000p-2},
    {0x1.3fb01111dd8a6p+0, -0x1.483650f5fa000p-2},
    {0x1.3c995b70c5836p+0, -0x1.39de937f6a000p-2},
    {0x1.3991c4ab6fd4ap+0, -0x1.2baa1538d6000p-2},
    {0x1.3698e0ce099b5p+0, -0x1.1d98340ca4000p-2},
    {0x1.33ae48213e7b2p+0, -0x1.0fa853a40e000p-2},
    {0x1.30d191985bdb1p+0, -0x1.01d9c32e73000p-2},
    {0x1.2e025cab271d7p+0, -0x1.e857da2fa6000p-3},
    {0x1.2b404cf13cd82p+0, -0x1.cd3c8633d8000p-3},
    {0x1.288b02c7ccb50p+0, -0x1.b26034c14a000p-3},
    {0x1.25e2263944de5p+0, -0x1.97c1c2f4fe000p-3},
    {0x1.234563d8615b1p+0, -0x1.7d6023f800000p-3},
    {0x1.20b46e33eaf38p+0, -0x1.633a71a05e000p-3},
    {0x1.1e2eefdcda3ddp+0, -0x1.494f5e9570000p-3},
    {0x1.1bb4a580b3930p+0, -0x1.2f9e424e0a000p-3},
    {0x1.19453847f2200p+0, -0x1.162595afdc000p-3},
    {0x1.16e06c0d5d73cp+0, -0x1.f9c9a75bd8000p-4},
    {0x1.1485f47b7e4c2p+0, -0x1.c7b575bf9c000p-4},
    {0x1.12358ad0085d1p+0, -0x1.960c60ff48000p-4},
    {0x1.0fef00f532227p+0, -0x1.64ce247b60000p-4},
    {0x1.0db2077d03a8fp+0, -0x1.33f78b2014000p-4},
    {0x1.0b7e6d65980d9p+0, -0x1.0387d1a42c000p-4},
    {0x1.0953efe7b408dp+0, -0x1.a6f9208b50000p-5},
    {0x1.07325cac53b83p+0, -0x1.47a954f770000p-5},
    {0x1.05197e40d1b5cp+0, -0x1.d23a8c50c0000p-6},
    {0x1.03091c1208ea2p+0, -0x1.16a2629780000p-6},
    {0x1.0101025b37e21p+0, -0x1.720f8d8e80000p-8},
    {0x1.fc07ef9caa76bp-1, 0x1.6fe53b1500000p-7},
    {0x1.f4465d3f6f184p-1, 0x1.11ccce10f8000p-5},
    {0x1.ecc079f84107fp-1, 0x1.c4dfc8c8b8000p-5},
    {0x1.e573a99975ae8p-1, 0x1.3aa321e574000p-4},
    {0x1.de5d6f0bd3de6p-1, 0x1.918a0d08b8000p-4},
    {0x1.d77b681ff38b3p-1, 0x1.e72e9da044000p-4},
    {0x1.d0cb5724de943p-1, 0x1.1dcd2507f6000p-3},
    {0x1.ca4b2dc0e7563p-1, 0x1.476ab03dea000p-3},
    {0x1.c3f8ee8d6cb51p-1, 0x1.7074377e22000p-3},
    {0x1.bdd2b4f020c4cp-1, 0x1.98ede8ba94000p-3},
    {0x1.b7d6c006015cap-1, 0x1.c0db86ad2e000p-3},
    {0x1.b20366e2e338fp-1, 0x1.e840aafcee000p-3},
    {0x1.ac57026295039p-1, 0x1.0790ab4678000p-2},
    {0x1.a6d01bc2731ddp-1, 0x1.1ac056801c000p-2},
    {0x1.a16d3bc3ff18bp-1, 0x1.2db11d4fee000p-2},
    {0x1.9c2d14967feadp-1, 0x1.406464ec58000p-2},
    {0x1.970e4f47c9902p-1, 0x1.52dbe093af000p-2},
    {0x1.920fb3982bcf2p-1, 0x1.651902050d000p-2},
    {0x1.8d30187f759f1p-1, 0x1.771d2cdeaf000p-2},
    {0x1.886e5ebb9f66dp-1, 0x1.88e9c857d9000p-2},
    {0x1.83c97b658b994p-1, 0x1.9a80155e16000p-2},
    {0x1.7f405ffc61022p-1, 0x1.abe186ed3d000p-2},
    {0x1.7ad22181415cap-1, 0x1.bd0f2aea0e000p-2},
    {0x1.767dcf99eff8cp-1, 0x1.ce0a43dbf4000p-2},
};

inline uint64_t bits_of(double x) {
  uint64_t u;
  std::memcpy(&u, &x, sizeof u);
  return u;
}

inline double double_of(uint64_t u) {
  double x;
  std::memcpy(&x, &u, sizeof x);
  return x;
}

// Within about 0.042 of 1, log2 is one polynomial in r = x - 1, kept exact in
// its leading terms. (x - 0x1.ea4afp-1 as bits, unsigned, below this bound.)
constexpr uint64_t kNearOneLow = 0x3feea4af00000000ULL;
constexpr uint64_t kNearOneSpan = 0x210a9ffffffffULL;
// Elsewhere x = 2^k z with z in [0x1.6p-1, 0x1.6p0): this offset centres z.
constexpr uint64_t kOffset = 0x3fe6000000000000ULL;

// One value, operation for operation the C library's FMA form; zeros,
// negatives, subnormals, infinities and NaNs go to std::log2 itself.
__attribute__((target("fma"))) inline double log2_one(double x) {
  const uint64_t ix = bits_of(x);
  if (ix - kNearOneLow <= kNearOneSpan) {
    const double r = x - 1.0;
    const double hi = r * kC[0];
    const double r2 = r * r;
    const double lo = __builtin_fma(r, kC[1], __builtin_fma(kC[0], r, -hi));
    const double r4 = r2 * r2;
    const double b01 = __builtin_fma(r, kC[9], kC[8]);
    const double y = __builtin_fma(b01, r2, hi);
    const double tail = __builtin_fma(b01, r2, hi - y) + lo;
    const double q1 = __builtin_fma(__builtin_fma(r, kC[13], kC[12]), r2, __builtin_fma(r, kC[11], kC[10]));
    const double q2 = __builtin_fma(__builtin_fma(r, kC[17], kC[16]), r2, __builtin_fma(r, kC[15], kC[14]));
    return y + __builtin_fma(__builtin_fma(q2, r4, q1), r4, tail);
  }
  const uint32_t top = static_cast<uint32_t>(ix >> 48);
  if (top - 0x10u > 0x7fdfu) return std::log2(x);  // not a positive normal number
  const uint64_t tmp = ix - kOffset;
  const Entry& e = kTab[(tmp >> 46) & 63];
  const int k = static_cast<int>(static_cast<int64_t>(tmp) >> 52);
  const double z = double_of(ix - (tmp & 0xfff0000000000000ULL));
  const double r = __builtin_fma(z, e.invc, -1.0);
  const double t1 = r * kC[0];
  const double t2 = __builtin_fma(r, kC[1], __builtin_fma(kC[0], r, -t1));
  const double t3 = static_cast<double>(k) + e.logc;
  const double hi = t3 + t1;
  const double lo = t3 - hi + t1 + t2;
  const double r2 = r * r;
  const double r4 = r2 * r2;
  const double p = __builtin_fma(__builtin_fma(r, kC[7], kC[6]), r4,
                                 __builtin_fma(__builtin_fma(r, kC[5], kC[4]), r2,
                                               __builtin_fma(r, kC[3], kC[2])));
  return __builtin_fma(r2, p, lo) + hi;
}

// kC[i] in every lane.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d coef(int i) { return _mm256_set1_pd(kC[i]); }

// Four values at a time: both forms are computed where a group holds values
// of each kind, and blended; a group with any value that is not a positive
// normal number goes through log2_one. Inlined into each loop below, which
// then holds the constants in registers across its groups.
__attribute__((target("avx2,fma"), always_inline)) inline __m256d log2_four(__m256d x) {
  const __m256i near_low = _mm256_set1_epi64x(static_cast<long long>(kNearOneLow));
  const __m256i sign = _mm256_set1_epi64x(static_cast<long long>(0x8000000000000000ULL));
  // Unsigned comparison through the signed one: both sides flip their sign bit.
  const __m256i near_span = _mm256_set1_epi64x(static_cast<long long>(kNearOneSpan ^ 0x8000000000000000ULL));
  const __m256i offset = _mm256_set1_epi64x(static_cast<long long>(kOffset));
  const __m256i exponent = _mm256_set1_epi64x(static_cast<long long>(0xfff0000000000000ULL));
  const __m256i low6 = _mm256_set1_epi64x(63);
  const __m256i odd_words = _mm256_setr_epi32(1, 3, 5, 7, 1, 3, 5, 7);
  const __m256d smallest = _mm256_set1_pd(0x1p-1022);
  const __m256d largest = _mm256_set1_pd(0x1.fffffffffffffp1023);
  const __m256d c0 = coef(0);
  const __m256d c1 = coef(1);
  const __m256d normal =
      _mm256_and_pd(_mm256_cmp_pd(x, smallest, _CMP_GE_OQ), _mm256_cmp_pd(x, largest, _CMP_LE_OQ));
  if (_mm256_movemask_pd(normal) != 0xF) {
    alignas(32) double lane[4];
    _mm256_store_pd(lane, x);
    for (double& v : lane) v = log2_one(v);
    return _mm256_load_pd(lane);
  }
  const __m256i ix = _mm256_castpd_si256(x);
  const __m256i away =
      _mm256_cmpgt_epi64(_mm256_xor_si256(_mm256_sub_epi64(ix, near_low), sign), near_span);
  const int away_lanes = _mm256_movemask_pd(_mm256_castsi256_pd(away));
  __m256d main_form = _mm256_setzero_pd();
  __m256d near_form = _mm256_setzero_pd();
  if (away_lanes != 0) {
    const __m256i tmp = _mm256_sub_epi64(ix, offset);
    alignas(32) uint64_t index[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(index), _mm256_and_si256(_mm256_srli_epi64(tmp, 46), low6));
    // Each entry is {invc, logc}: two loads per pair of lanes, then unpack.
    const __m128d e0 = _mm_loadu_pd(&kTab[index[0]].invc);
    const __m128d e1 = _mm_loadu_pd(&kTab[index[1]].invc);
    const __m128d e2 = _mm_loadu_pd(&kTab[index[2]].invc);
    const __m128d e3 = _mm_loadu_pd(&kTab[index[3]].invc);
    const __m256d e02 = _mm256_insertf128_pd(_mm256_castpd128_pd256(e0), e2, 1);
    const __m256d e13 = _mm256_insertf128_pd(_mm256_castpd128_pd256(e1), e3, 1);
    const __m256d invc = _mm256_unpacklo_pd(e02, e13);
    const __m256d logc = _mm256_unpackhi_pd(e02, e13);
    // k = tmp >> 52 (arithmetic) is the high word of each lane shifted by 20.
    const __m256i high_words = _mm256_permutevar8x32_epi32(_mm256_srai_epi32(tmp, 20), odd_words);
    const __m256d k = _mm256_cvtepi32_pd(_mm256_castsi256_si128(high_words));
    const __m256d z = _mm256_castsi256_pd(_mm256_sub_epi64(ix, _mm256_and_si256(tmp, exponent)));
    const __m256d r = _mm256_fmadd_pd(z, invc, _mm256_set1_pd(-1.0));
    const __m256d t1 = _mm256_mul_pd(r, c0);
    const __m256d t2 = _mm256_fmadd_pd(r, c1, _mm256_fmsub_pd(c0, r, t1));
    const __m256d t3 = _mm256_add_pd(k, logc);
    const __m256d hi = _mm256_add_pd(t3, t1);
    const __m256d lo = _mm256_add_pd(_mm256_add_pd(_mm256_sub_pd(t3, hi), t1), t2);
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d p = _mm256_fmadd_pd(_mm256_fmadd_pd(r, coef(7), coef(6)), r4,
                                      _mm256_fmadd_pd(_mm256_fmadd_pd(r, coef(5), coef(4)), r2,
                                                      _mm256_fmadd_pd(r, coef(3), coef(2))));
    main_form = _mm256_add_pd(_mm256_fmadd_pd(r2, p, lo), hi);
  }
  if (away_lanes != 0xF) {
    const __m256d r = _mm256_sub_pd(x, _mm256_set1_pd(1.0));
    const __m256d hi = _mm256_mul_pd(r, c0);
    const __m256d r2 = _mm256_mul_pd(r, r);
    const __m256d lo = _mm256_fmadd_pd(r, c1, _mm256_fmsub_pd(c0, r, hi));
    const __m256d r4 = _mm256_mul_pd(r2, r2);
    const __m256d b01 = _mm256_fmadd_pd(r, coef(9), coef(8));
    const __m256d y = _mm256_fmadd_pd(b01, r2, hi);
    const __m256d tail = _mm256_add_pd(_mm256_fmadd_pd(b01, r2, _mm256_sub_pd(hi, y)), lo);
    const __m256d q1 = _mm256_fmadd_pd(_mm256_fmadd_pd(r, coef(13), coef(12)), r2, _mm256_fmadd_pd(r, coef(11), coef(10)));
    const __m256d q2 = _mm256_fmadd_pd(_mm256_fmadd_pd(r, coef(17), coef(16)), r2, _mm256_fmadd_pd(r, coef(15), coef(14)));
    near_form = _mm256_add_pd(y, _mm256_fmadd_pd(_mm256_fmadd_pd(q2, r4, q1), r4, tail));
  }
  return _mm256_blendv_pd(near_form, main_form, _mm256_castsi256_pd(away));
}

// kC[i] in eight lanes.
__attribute__((target("avx512f"), always_inline)) inline __m512d coef8(int i) { return _mm512_set1_pd(kC[i]); }

// Eight values at a time, on processors with AVX-512 (F and DQ): log2_four's
// operations on eight lanes, the table read by two gathers.
__attribute__((target("avx512f,avx512dq,fma"), always_inline)) inline __m512d log2_eight(__m512d x) {
  const __mmask8 normal = _mm512_cmp_pd_mask(x, _mm512_set1_pd(0x1p-1022), _CMP_GE_OQ) &
                          _mm512_cmp_pd_mask(x, _mm512_set1_pd(0x1.fffffffffffffp1023), _CMP_LE_OQ);
  if (normal != 0xFF) {
    alignas(64) double lane[8];
    _mm512_store_pd(lane, x);
    for (double& v : lane) v = log2_one(v);
    return _mm512_load_pd(lane);
  }
  const __m512d c0 = _mm512_set1_pd(kC[0]);
  const __m512d c1 = _mm512_set1_pd(kC[1]);
  const __m512i ix = _mm512_castpd_si512(x);
  const __mmask8 away = _mm512_cmpgt_epu64_mask(
      _mm512_sub_epi64(ix, _mm512_set1_epi64(static_cast<long long>(kNearOneLow))),
      _mm512_set1_epi64(static_cast<long long>(kNearOneSpan)));
  __m512d main_form = _mm512_setzero_pd();
  __m512d near_form = _mm512_setzero_pd();
  if (away != 0) {
    const __m512i tmp = _mm512_sub_epi64(ix, _mm512_set1_epi64(static_cast<long long>(kOffset)));
    // Entry i is {invc, logc} at doubles 2i and 2i + 1.
    const __m512i at = _mm512_slli_epi64(_mm512_and_si512(_mm512_srli_epi64(tmp, 46), _mm512_set1_epi64(63)), 1);
    const double* table = &kTab[0].invc;
    const __m512d invc = _mm512_i64gather_pd(at, table, 8);
    const __m512d logc = _mm512_i64gather_pd(_mm512_add_epi64(at, _mm512_set1_epi64(1)), table, 8);
    const __m512d k = _mm512_cvtepi64_pd(_mm512_srai_epi64(tmp, 52));
    const __m512i exponent = _mm512_set1_epi64(static_cast<long long>(0xfff0000000000000ULL));
    const __m512d z = _mm512_castsi512_pd(_mm512_sub_epi64(ix, _mm512_and_si512(tmp, exponent)));
    const __m512d r = _mm512_fmadd_pd(z, invc, _mm512_set1_pd(-1.0));
    const __m512d t1 = _mm512_mul_pd(r, c0);
    const __m512d t2 = _mm512_fmadd_pd(r, c1, _mm512_fmsub_pd(c0, r, t1));
    const __m512d t3 = _mm512_add_pd(k, logc);
    const __m512d hi = _mm512_add_pd(t3, t1);
    const __m512d lo = _mm512_add_pd(_mm512_add_pd(_mm512_sub_pd(t3, hi), t1), t2);
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d p = _mm512_fmadd_pd(_mm512_fmadd_pd(r, coef8(7), coef8(6)), r4,
                                      _mm512_fmadd_pd(_mm512_fmadd_pd(r, coef8(5), coef8(4)), r2,
                                                      _mm512_fmadd_pd(r, coef8(3), coef8(2))));
    main_form = _mm512_add_pd(_mm512_fmadd_pd(r2, p, lo), hi);
  }
  if (away != 0xFF) {
    const __m512d r = _mm512_sub_pd(x, _mm512_set1_pd(1.0));
    const __m512d hi = _mm512_mul_pd(r, c0);
    const __m512d r2 = _mm512_mul_pd(r, r);
    const __m512d lo = _mm512_fmadd_pd(r, c1, _mm512_fmsub_pd(c0, r, hi));
    const __m512d r4 = _mm512_mul_pd(r2, r2);
    const __m512d b01 = _mm512_fmadd_pd(r, coef8(9), coef8(8));
    const __m512d y = _mm512_fmadd_pd(b01, r2, hi);
    const __m512d tail = _mm512_add_pd(_mm512_fmadd_pd(b01, r2, _mm512_sub_pd(hi, y)), lo);
    const __m512d q1 = _mm512_fmadd_pd(_mm512_fmadd_pd(r, coef8(13), coef8(12)), r2,
                                       _mm512_fmadd_pd(r, coef8(11), coef8(10)));
    const __m512d q2 = _mm512_fmadd_pd(_mm512_fmadd_pd(r, coef8(17), coef8(16)), r2,
                                       _mm512_fmadd_pd(r, coef8(15), coef8(14)));
    near_form = _mm512_add_pd(y, _mm512_fmadd_pd(_mm512_fmadd_pd(q2, r4, q1), r4, tail));
  }
  return _mm512_mask_blend_pd(away, near_form, main_form);
}

__attribute__((target("avx2,fma"))) void log2_lanes(double* v, size_t n) {
  size_t j = 0;
  for (; j + 4 <= n; j += 4) _mm256_storeu_pd(v + j, log2_four(_mm256_loadu_pd(v + j)));
  for (; j < n; ++j) v[j] = log2_one(v[j]);
}

__attribute__((target("avx512f,avx512dq,avx2,fma"))) void log2_wide_lanes(double* v, size_t n) {
  size_t j = 0;
  for (; j + 8 <= n; j += 8) _mm512_storeu_pd(v + j, log2_eight(_mm512_loadu_pd(v + j)));
  for (; j + 4 <= n; j += 4) _mm256_storeu_pd(v + j, log2_four(_mm256_loadu_pd(v + j)));
  for (; j < n; ++j) v[j] = log2_one(v[j]);
}

// ratio_log_terms four terms at a time: the two divisions of a group run
// while the logarithms of the groups before it are computed.
__attribute__((target("avx2,fma"))) void ratio_log_lanes(const double* num, double scale, const double* den,
                                                         size_t n, double* out) {
  const __m256d s = _mm256_set1_pd(scale);
  size_t j = 0;
  if (n >= 4) {
    // The divisions run one group ahead of the logarithm, so that a group's
    // logarithm never waits on its own two divisions.
    __m256d share = _mm256_div_pd(_mm256_loadu_pd(num), s);
    __m256d ratio = _mm256_div_pd(share, _mm256_loadu_pd(den));
    for (; j + 8 <= n; j += 4) {
      const __m256d next_share = _mm256_div_pd(_mm256_loadu_pd(num + j + 4), s);
      const __m256d next_ratio = _mm256_div_pd(next_share, _mm256_loadu_pd(den + j + 4));
      _mm256_storeu_pd(out + j, _mm256_mul_pd(share, log2_four(ratio)));
      share = next_share;
      ratio = next_ratio;
    }
    _mm256_storeu_pd(out + j, _mm256_mul_pd(share, log2_four(ratio)));
    j += 4;
  }
  for (; j < n; ++j) {
    const double share = num[j] / scale;
    out[j] = share * log2_one(share / den[j]);
  }
}

bool same_value(double a, double b) {
  return bits_of(a) == bits_of(b) || (std::isnan(a) && std::isnan(b));
}

// Runs `lanes` on a sample that reaches every subinterval at many
// exponents, both sides of the near-1 bounds, and the values no formula
// covers, and compares each result with std::log2.
bool lanes_agree_with_the_library(void (*lanes)(double*, size_t)) {
  constexpr size_t kCount = 64 * 16 + 512 + 16;
  double sample[kCount];
  size_t n = 0;
  uint64_t state = 0x9e3779b97f4a7c15ULL;
  auto next = [&state] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return state >> 11;
  };
  for (uint64_t i = 0; i < 64; ++i)
    for (uint64_t e = 0; e < 16; ++e) {
      const uint64_t biased = 1 + (e * 131 + i) % 2046;  // exponents across the whole range
      sample[n++] = double_of((biased << 52) | (i << 46) | (next() & ((uint64_t{1} << 46) - 1)));
    }
  for (size_t i = 0; i < 512; ++i)
    sample[n++] = double_of(kNearOneLow - 256 * 4096 + i * ((kNearOneSpan + 512 * 4096) / 512));
  for (double x : {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 0x1p-1074, 0x1p-1022, 0x1.fffffffffffffp1023, HUGE_VAL,
                   -HUGE_VAL, std::nan(""), 3.0, 0.1, 1e300, 1e-300})
    sample[n++] = x;
  double out[kCount];
  std::memcpy(out, sample, sizeof out);
  lanes(out, n);
  for (size_t i = 0; i < n; ++i)
    if (!same_value(out[i], std::log2(sample[i]))) return false;
  return true;
}

bool lanes_usable() {
  static const bool usable = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                             lanes_agree_with_the_library(log2_lanes);
  return usable;
}

// The eight-lane form where the processor has it and it agrees too.
bool wide_lanes_usable() {
  static const bool usable = lanes_usable() && __builtin_cpu_supports("avx512f") &&
                             __builtin_cpu_supports("avx512dq") &&
                             lanes_agree_with_the_library(log2_wide_lanes);
  return usable;
}

}  // namespace

void log2_in_place(std::span<double> values) {
  if (wide_lanes_usable()) {
    log2_wide_lanes(values.data(), values.size());
    return;
  }
  if (lanes_usable()) {
    log2_lanes(values.data(), values.size());
    return;
  }
  for (double& v : values) v = std::log2(v);
}

bool log2_is_vectorized() { return lanes_usable(); }

void ratio_log_terms(const double* num, double scale, const double* den, size_t n, double* out) {
  if (lanes_usable()) return ratio_log_lanes(num, scale, den, n, out);
  ratio_log_terms_plain(num, scale, den, n, out);
}

#else

void ratio_log_terms(const double* num, double scale, const double* den, size_t n, double* out) {
  ratio_log_terms_plain(num, scale, den, n, out);
}

void log2_in_place(std::span<double> values) {
  for (double& v : values) v = std::log2(v);
}

bool log2_is_vectorized() { return false; }

#endif

}  // namespace quor::math

#if defined(QUOR_LOG2_X86) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
