// Base-2 logarithms of many values at once, each one the same double that
// std::log2 returns for it.
//
// Every measure here takes logarithms of shares, and the results of a
// statement must not depend on how many were taken at once: a COMPARE of one
// pair and an ACROSS that compares it among 20 000 give the same bits. So a
// faster logarithm is only worth having if it is std::log2 to the last bit.
// On x86-64 processors with AVX2 and FMA, the C library computes log2 with a
// 64-interval table and two short polynomials; log2_in_place runs the same
// operations four lanes at a time, or eight where the processor also has
// AVX-512 F and DQ (the logarithms of a 200-value COMPARE ... ACROSS then
// take about 16 % less time: 2.05 ms instead of 2.44). Each form checks
// itself against std::log2 once per process (and a form whose sample
// differs is not used; without either, std::log2 is called for every value).
//
// The lanes copy the constants of one C library's log2. A glibc whose log2
// changes (other tables, another polynomial) fails that self-check, and the
// fast path then turns itself off in every process, silently: results stay
// exact, only slower. Log2InPlace.RunsFourLanesWhereTheProcessorAllows is
// the test that notices; keep it.
#pragma once

#include <cstddef>
#include <span>

namespace quor::math {

// values[i] = std::log2(values[i]) for every i, bit for bit, including zeros,
// negatives, subnormals, infinities and NaNs.
void log2_in_place(std::span<double> values);

// out[i] = s * log2(s / den[i]) with s = num[i] / scale, each operation
// rounded as written and the logarithm that of std::log2: the terms p log2
// (p / q) of mutual information and divergences. `out` may be `num` or `den`.
void ratio_log_terms(const double* num, double scale, const double* den, size_t n, double* out);

// Whether log2_in_place runs the four-lane form in this process (the
// processor has AVX2 and FMA and the self-check passed). For tests and
// benchmarks that want to say which path they measured.
bool log2_is_vectorized();

}  // namespace quor::math
