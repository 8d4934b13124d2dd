#include "quor/math/internal/table_terms.h"

#include <algorithm>
#include <array>
#include <bit>

#include "quor/math/divide.h"
#include "quor/util/saturating.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUOR_TERMS_X86 1
#include <immintrin.h>
#endif

namespace quor::math {

namespace {

inline double to_f64(uint64_t v) { return static_cast<double>(v); }

inline size_t row_length(const std::vector<uint64_t>& row, size_t width) {
  return std::min(width, row.size());
}

// Plain additions give the saturating sums whenever no sum can pass
// 2^64 - 1: with every cell below 2^b and fewer than 2^c cells, every sum
// stays below 2^(b + c).
inline bool plain_sums_fit(const TableMargins& m) {
  return std::bit_width(m.cell_bits) + std::bit_width(m.cells) <= 64;
}

void saturating_margins(CountTable table, TableMargins& m) {
  std::fill(m.rows.begin(), m.rows.end(), 0);
  std::fill(m.cols.begin(), m.cols.end(), 0);
  const size_t width = m.cols.size();
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& row = table[i];
    const size_t len = row_length(row, width);
    uint64_t s = 0;
    for (size_t j = 0; j < len; ++j) {
      s = util::add_saturating(s, row[j]);
      m.cols[j] = util::add_saturating(m.cols[j], row[j]);
    }
    m.rows[i] = s;
  }
}

// One pass of plain (wrapping) additions that also ORs the cells together;
// plain_sums_fit then says whether they are the saturating sums.
void wrapping_margins(CountTable table, TableMargins& m) {
  const size_t width = m.cols.size();
  uint64_t* __restrict cols = m.cols.data();
  uint64_t bits = 0;
  size_t cells = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    const uint64_t* __restrict row = table[i].data();
    const size_t len = row_length(table[i], width);
    uint64_t s = 0;
    for (size_t j = 0; j < len; ++j) {
      s += row[j];
      cols[j] += row[j];
      bits |= row[j];
    }
    m.rows[i] = s;
    cells += len;
  }
  m.cell_bits = bits;
  m.cells = cells;
}

// Cells converted one at a time; zero cells are written and then
// overwritten, so the loop has no branch that follows the data.
size_t pack_terms_plain(CountTable table, const TableMargins& m, const double* pc, const double* pr,
                        double* share, double* arg) {
  const size_t width = m.cols.size();
  size_t k = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    const uint64_t* row = table[i].data();
    const size_t len = row_length(table[i], width);
    for (size_t j = 0; j < len; ++j) {
      share[k] = to_f64(row[j]);
      arg[k] = pr[i] * pc[j];
      k += row[j] != 0;
    }
  }
  return k;
}

#if QUOR_TERMS_X86

// For each mask of kept lanes (bit l: lane l is kept), the 32-bit word
// indices that move the kept 64-bit lanes to the front, in order.
constexpr std::array<std::array<int32_t, 8>, 16> make_pack_table() {
  std::array<std::array<int32_t, 8>, 16> t{};
  for (int mask = 0; mask < 16; ++mask) {
    int out = 0;
    for (int lane = 0; lane < 4; ++lane)
      if (mask & (1 << lane)) {
        t[mask][2 * out] = 2 * lane;
        t[mask][2 * out + 1] = 2 * lane + 1;
        ++out;
      }
    for (; out < 4; ++out) {
      t[mask][2 * out] = 0;
      t[mask][2 * out + 1] = 1;
    }
  }
  return t;
}
alignas(32) constexpr std::array<std::array<int32_t, 8>, 16> kPackTable = make_pack_table();

// Lane masks for the last 1, 2 or 3 cells of a row: lanes past the row are
// neither read (they load as 0) nor written.
inline __attribute__((target("avx2"))) __m256i tail_mask(size_t cells) {
  alignas(32) static constexpr int64_t kLanes[8] = {-1, -1, -1, -1, 0, 0, 0, 0};
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kLanes + 4 - cells));
}

// Four cells at a time: converted (exactly, every cell being below 2^52),
// multiplied out and the non-zero ones moved to the front of the four lanes
// before they are stored. A row's last cells load as four lanes with zeros
// past its end, and zeros are dropped like any zero cell.
__attribute__((target("avx2"))) size_t pack_terms_lanes(CountTable table, const TableMargins& m,
                                                        const double* pc, const double* pr, double* share,
                                                        double* arg) {
  const size_t width = m.cols.size();
  // 2^52 + c as bits is the double 2^52 + c for c < 2^52; less 2^52 it is c.
  const __m256i magic_bits = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256d magic = _mm256_set1_pd(0x1p52);
  const __m256i zero = _mm256_setzero_si256();
  size_t k = 0;
  auto pack = [&](__m256i c, __m256d col_share, __m256d row_share) __attribute__((target("avx2"))) {
    const __m256d cell = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(c, magic_bits)), magic);
    const __m256d den = _mm256_mul_pd(row_share, col_share);
    const int zeros = _mm256_movemask_pd(_mm256_castsi256_pd(_mm256_cmpeq_epi64(c, zero)));
    const int keep = ~zeros & 0xF;
    const __m256i order = _mm256_load_si256(reinterpret_cast<const __m256i*>(kPackTable[keep].data()));
    _mm256_storeu_pd(share + k, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(cell), order)));
    _mm256_storeu_pd(arg + k, _mm256_castps_pd(_mm256_permutevar8x32_ps(_mm256_castpd_ps(den), order)));
    k += static_cast<size_t>(std::popcount(static_cast<unsigned>(keep)));
  };
  for (size_t i = 0; i < table.size(); ++i) {
    const uint64_t* row = table[i].data();
    const size_t len = row_length(table[i], width);
    const __m256d row_share = _mm256_set1_pd(pr[i]);
    size_t j = 0;
    for (; j + 4 <= len; j += 4)
      pack(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j)), _mm256_loadu_pd(pc + j), row_share);
    if (j < len) {
      const __m256i mask = tail_mask(len - j);
      pack(_mm256_maskload_epi64(reinterpret_cast<const long long*>(row + j), mask),
           _mm256_maskload_pd(pc + j, mask), row_share);
    }
  }
  return k;
}

// wrapping_margins four cells at a time.
__attribute__((target("avx2"))) void wrapping_margins_lanes(CountTable table, TableMargins& m) {
  const size_t width = m.cols.size();
  uint64_t* cols = m.cols.data();
  __m256i bits = _mm256_setzero_si256();
  uint64_t tail_bits = 0;
  size_t cells = 0;
  for (size_t i = 0; i < table.size(); ++i) {
    const uint64_t* row = table[i].data();
    const size_t len = row_length(table[i], width);
    __m256i sum = _mm256_setzero_si256();
    size_t j = 0;
    for (; j + 4 <= len; j += 4) {
      const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + j));
      __m256i* col = reinterpret_cast<__m256i*>(cols + j);
      _mm256_storeu_si256(col, _mm256_add_epi64(_mm256_loadu_si256(col), c));
      sum = _mm256_add_epi64(sum, c);
      bits = _mm256_or_si256(bits, c);
    }
    const __m128i half = _mm_add_epi64(_mm256_castsi256_si128(sum), _mm256_extracti128_si256(sum, 1));
    uint64_t s = static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_add_epi64(half, _mm_unpackhi_epi64(half, half))));
    // The last cells one at a time: a masked store is slow on some processors.
    for (; j < len; ++j) {
      s += row[j];
      cols[j] += row[j];
      tail_bits |= row[j];
    }
    m.rows[i] = s;
    cells += len;
  }
  const __m128i half = _mm_or_si128(_mm256_castsi256_si128(bits), _mm256_extracti128_si256(bits, 1));
  m.cell_bits =
      tail_bits | static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_or_si128(half, _mm_unpackhi_epi64(half, half))));
  m.cells = cells;
}

bool has_avx2() {
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
}

#endif

}  // namespace

const TableMargins& fill_margins(CountTable table, TableMargins& m, TermForm form) {
  const bool lanes = form == TermForm::Lanes;
  const size_t width = table.front().size();
  m.rows.assign(table.size(), 0);
  m.cols.assign(width, 0);
#if QUOR_TERMS_X86
  if (lanes && has_avx2())
    wrapping_margins_lanes(table, m);
  else
    wrapping_margins(table, m);
#else
  (void)lanes;
  wrapping_margins(table, m);
#endif
  if (!plain_sums_fit(m)) saturating_margins(table, m);
  return m;
}

size_t mi_terms(CountTable table, uint64_t n, const TableMargins& m, double* share, double* arg,
                TermForm form) {
  const size_t k = mi_cells(table, n, m, share, arg, form);
  const double total = to_f64(n);
  divide_each(share, total, k, share);
  divide_pairwise(share, arg, k, arg);
  return k;
}

size_t mi_cells(CountTable table, uint64_t n, const TableMargins& m, double* share, double* arg,
                TermForm form) {
  const bool lanes = form == TermForm::Lanes;
  const double total = to_f64(n);
  const size_t width = m.cols.size();
  const size_t rows = m.rows.size();
  // Column shares, then row shares, each divided once.
  std::vector<double>& room = m.room;
  room.resize(width + rows);
  double* pc = room.data();
  double* pr = pc + width;
  for (size_t j = 0; j < width; ++j) pc[j] = to_f64(m.cols[j]);
  for (size_t i = 0; i < rows; ++i) pr[i] = to_f64(m.rows[i]);
  divide_each(pc, total, width + rows, pc);
  size_t k = 0;
#if QUOR_TERMS_X86
  if (lanes && m.cell_bits < (uint64_t{1} << 52) && has_avx2())
    k = pack_terms_lanes(table, m, pc, pr, share, arg);
  else
    k = pack_terms_plain(table, m, pc, pr, share, arg);
#else
  (void)lanes;
  k = pack_terms_plain(table, m, pc, pr, share, arg);
#endif
  return k;
}

}  // namespace quor::math
