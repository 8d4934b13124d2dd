#include "quor/sql/internal/cells.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <cmath>
#include <system_error>

#include "quor/sql/internal/row_order.h"
#include "quor/util/total_order.h"
#include "quor/util/panic.h"
#include "quor/util/ascii.h"
#include "quor/util/float_text.h"
#include "quor/util/utf8.h"

namespace quor::sql {

std::string hash_bar(double length, size_t max_marks) {
  if (!(length >= 1.0)) return {};
  const double cap = static_cast<double>(max_marks);
  return std::string(length >= cap ? max_marks : static_cast<size_t>(length), '#');
}

std::string probability_bar(double p) { return hash_bar(p * 40.0, kProbabilityBarMarks); }

std::string entropy_bar(double bits) { return hash_bar(bits * 8.0, kEntropyBarMarks); }

std::string bits_cell(double bits) { return util::format_fixed(bits, 4) + " bits"; }

std::string percent_cell(double fraction) { return util::format_fixed(fraction * 100.0, 1) + "%"; }

std::string samples_cell(uint64_t a, uint64_t b) {
  return std::to_string(a) + " vs " + std::to_string(b);
}

std::string interval_cell(double low, double high) {
  return "[" + util::format_fixed(low, 4) + ", " + util::format_fixed(high, 4) + "]";
}

std::string mover_cell(double delta, double p_a, double p_b, double contribution) {
  return util::format_signed_fixed(delta, 4) + "  (" + util::format_fixed(p_a, 3) +
         " \xE2\x86\x92 " + util::format_fixed(p_b, 3) + ")  contrib=" +
         util::format_fixed(contribution, 4);
}

std::string drift_cell(double drift) {
  std::string cell = util::format_fixed(drift, 4);
  if (drift > 0.05) cell += " \xE2\x86\x90 shift";
  return cell;
}

std::string_view mi_strength(double mi_bits) {
  if (mi_bits > 0.3) return "strong";
  if (mi_bits > 0.1) return "moderate";
  return "weak";
}

Metric parse_metric(std::string_view word) {
  if (util::ascii_iequals(word, "psi")) return Metric::Psi;
  if (util::ascii_iequals(word, "hellinger")) return Metric::Hellinger;
  return Metric::Jsd;
}

std::string metric_title(std::string_view word) { return util::to_upper_full(word); }

namespace {

// round(|value| * 10^decimals), ties to even, of the exact binary value,
// when |value| * 10^decimals is below 2^52 (so that every integer near the
// product is a multiple of its unit in the last place); nullopt otherwise.
// The product p is rounded, but p + e with e = fma(v, 10^d, -p) is exact,
// and e decides where p itself sits on a tie.
std::optional<uint64_t> scaled_round(double value, int decimals) {
  const double v = std::fabs(value);
  const double scale = util::kExactPowersOfTen[decimals];
  if (!(v * scale < 4503599627370496.0)) return std::nullopt;  // 2^52 (NaN fails too)
  if (v < 1e-10) return 0;  // below 0.1 units, and clear of subnormal products
  const double p = v * scale;
  const double e = std::fma(v, scale, -p);
  // r: p rounded to an integer, ties to even. Below 2^52 the truncation is
  // the floor and p minus it is exact.
  const uint64_t f = static_cast<uint64_t>(p);
  const double frac = p - static_cast<double>(f);
  uint64_t r = f;
  if (frac > 0.5 || (frac == 0.5 && (f & 1) != 0)) r = f + 1;
  const double d = p - static_cast<double>(r);  // exact; a multiple of ulp(p)
  // |d| < 0.5 means |d| <= 0.5 - ulp(p), and |e| <= ulp(p) / 2: r stands.
  // On a tie of p, e says on which side of it the exact product lies; an
  // exact tie (e == 0) keeps the even r.
  if (d == 0.5 && e > 0.0) return r + 1;
  if (d == -0.5 && e < 0.0) return r - 1;
  return r;
}

}  // namespace

namespace {

// The digits of n units of 10^-D: the integral part, the point and exactly
// D decimals. D is a constant here, so the divisions become multiplies.
template <int D>
char* write_units(char* p, char* end, uint64_t n) {
  constexpr uint64_t kUnit = [] {
    uint64_t u = 1;
    for (int i = 0; i < D; ++i) u *= 10;
    return u;
  }();
  p = std::to_chars(p, end, n / kUnit).ptr;
  if constexpr (D > 0) {
    *p++ = '.';
    // Two digits at a time from the back, then an odd one at the front.
    static constexpr char kPairs[] =
        "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
        "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
        "8081828384858687888990919293949596979899";
    uint64_t frac = n % kUnit;
    int i = D;
    for (; i >= 2; i -= 2) {
      const uint64_t two = frac % 100;
      frac /= 100;
      std::memcpy(p + i - 2, kPairs + 2 * two, 2);
    }
    if (i == 1) p[0] = static_cast<char>('0' + frac);
    p += D;
  }
  return p;
}

char* write_units(char* p, char* end, uint64_t n, int decimals) {
  switch (decimals) {
    case 0: return write_units<0>(p, end, n);
    case 1: return write_units<1>(p, end, n);
    case 2: return write_units<2>(p, end, n);
    case 3: return write_units<3>(p, end, n);
    case 4: return write_units<4>(p, end, n);
    case 5: return write_units<5>(p, end, n);
    case 6: return write_units<6>(p, end, n);
    case 7: return write_units<7>(p, end, n);
    case 8: return write_units<8>(p, end, n);
    default: return write_units<9>(p, end, n);
  }
}

}  // namespace

std::string_view NumberWriter::fixed(double value, int decimals) {
  last_read_ = std::nullopt;
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  QUOR_ASSERT(decimals >= 0 && decimals <= 20, "decimal count out of range");
  if (decimals <= 9) {
    if (const std::optional<uint64_t> n = scaled_round(value, decimals)) {
      // Sign (kept for -0.0 and for negatives that round to zero), the
      // integral digits, the point and exactly `decimals` digits.
      char* p = buf_;
      if (std::signbit(value)) *p++ = '-';
      char* digits = p;
      p = write_units(p, buf_ + sizeof buf_, *n, decimals);
      // What the text reads as, from its units, while it has at most 15
      // digits: the short-decimal rule that parse_float reads it by.
      const auto written = static_cast<size_t>(p - digits) - (decimals > 0 ? 1 : 0);
      if (written <= 15) {
        const double v = util::short_decimal_value(*n, static_cast<size_t>(decimals));
        last_read_ = std::signbit(value) ? -v : v;
      }
      return std::string_view(buf_, static_cast<size_t>(p - buf_));
    }
  }
  // At most 309 integral digits, a sign and a point, then the decimals.
  auto res = std::to_chars(buf_, buf_ + sizeof buf_, value, std::chars_format::fixed, decimals);
  QUOR_ASSERT(res.ec == std::errc(), "fixed-point buffer too small");
  return std::string_view(buf_, static_cast<size_t>(res.ptr - buf_));
}

double NumberWriter::fixed_value(double value, int decimals) {
  return read_back(fixed(value, decimals));
}

double NumberWriter::read_back(std::string_view last) const {
  return last_read_ ? *last_read_ : util::parse_float(last).value_or(0.0);
}

std::string NumberWriter::samples_cell(uint64_t a, uint64_t b) {
  char* p = buf_;
  p = std::to_chars(p, buf_ + sizeof buf_, a).ptr;
  std::memcpy(p, " vs ", 4);
  p += 4;
  p = std::to_chars(p, buf_ + sizeof buf_, b).ptr;
  return std::string(buf_, static_cast<size_t>(p - buf_));
}

std::vector<std::string> across_failed_row(const std::string& a, const std::string& b) {
  return {a, b, "N/A", "N/A", "N/A", "N/A"};
}

void sort_across_rows(std::vector<std::vector<std::string>>& rows) {
  std::vector<std::pair<double, size_t>> keys;
  keys.reserve(rows.size());
  for (size_t i = 0; i < rows.size(); ++i) {
    double v = 0.0;
    if (rows[i].size() > 2)
      if (auto parsed = util::parse_float(rows[i][2])) v = *parsed;
    keys.emplace_back(v, i);
  }
  std::stable_sort(keys.begin(), keys.end(), [](const auto& x, const auto& y) {
    return util::total_less(y.first, x.first);
  });
  std::vector<std::vector<std::string>> sorted;
  sorted.reserve(rows.size());
  for (const auto& k : keys) sorted.push_back(std::move(rows[k.second]));
  rows = std::move(sorted);
}

void sort_across_rows(std::vector<std::vector<std::string>>& rows, const std::vector<double>& keys) {
  QUOR_ASSERT(keys.size() == rows.size(), "one key per row");
  const size_t n = rows.size();
  const std::vector<uint32_t> order = descending_order_of_fixed(keys, 6);
  // Rows move into place along the permutation's cycles, without a second
  // list of rows: position k takes row order[k].
  std::vector<bool> placed(n, false);
  for (size_t start = 0; start < n; ++start) {
    if (placed[start]) continue;
    std::vector<std::string> held = std::move(rows[start]);
    size_t k = start;
    while (true) {
      placed[k] = true;
      const size_t from = order[k];
      if (from == start) {
        rows[k] = std::move(held);
        break;
      }
      rows[k] = std::move(rows[from]);
      k = from;
    }
  }
}

QueryResult mi_table(double mi_bits, const std::optional<JointStrength>& joint) {
  QueryResult q;
  q.header = {"Metric", "Value"};
  q.rows.push_back({"MI", bits_cell(mi_bits)});
  if (joint) {
    q.rows.push_back({"NMI", util::format_fixed(joint->normalized_mi, 4)});
    q.rows.push_back({"Cram\xC3\xA9r's V", util::format_fixed(joint->cramers_v, 4)});
    q.rows.push_back({"Samples", std::to_string(joint->samples)});
  }
  q.rows.push_back({"Strength", std::string(mi_strength(mi_bits))});
  return q;
}

}  // namespace quor::sql
