#include "quor/util/format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>
#include <vector>

#include "quor/util/panic.h"

namespace quor::util {

namespace {

// Text for NaN and the infinities, or nullopt for finite values.
std::optional<std::string> non_finite_text(double value, bool plus) {
  if (std::isnan(value)) return std::string("NaN");
  if (std::isinf(value)) return std::string(value < 0 ? "-inf" : (plus ? "+inf" : "inf"));
  return std::nullopt;
}

std::string fixed_digits(double value, int decimals) {
  QUOR_ASSERT(decimals >= 0, "decimal count must not be negative");
  // Integral part at most 309 digits, sign and point, then the decimals.
  std::vector<char> buf(static_cast<size_t>(decimals) + 330);
  auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed,
                           decimals);
  QUOR_ASSERT(res.ec == std::errc(), "fixed-point buffer too small");
  return std::string(buf.data(), res.ptr);
}

// For a decimal text that from_chars found out of range: whether its
// magnitude is below 1 (its leading significant digit lies after the point,
// counting the exponent).
bool decimal_exponent_is_negative(std::string_view body) {
  size_t e = body.find_first_of("eE");
  std::string_view mantissa = body.substr(0, e);
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view ex = body.substr(e + 1);
    bool neg = !ex.empty() && ex.front() == '-';
    if (!ex.empty() && (ex.front() == '-' || ex.front() == '+')) ex.remove_prefix(1);
    for (char c : ex) {
      exponent = exponent * 10 + (c - '0');
      if (exponent > 1000000) break;  // far beyond any mantissa length
    }
    if (neg) exponent = -exponent;
  }
  // Position of the first non-zero digit relative to the point.
  size_t point = mantissa.find('.');
  size_t int_len = point == std::string_view::npos ? mantissa.size() : point;
  long long lead = 0;
  bool found = false;
  for (size_t i = 0; i < mantissa.size(); ++i) {
    char c = mantissa[i];
    if (c == '.') continue;
    if (c != '0') {
      lead = i < int_len ? static_cast<long long>(int_len - i) : -static_cast<long long>(i - int_len - 1);
      found = true;
      break;
    }
  }
  if (!found) return true;
  return lead + exponent <= 0;
}

}  // namespace

std::string format_fixed(double value, int decimals) {
  if (auto t = non_finite_text(value, false)) return *t;
  return fixed_digits(value, decimals);
}

std::string format_signed_fixed(double value, int decimals) {
  if (auto t = non_finite_text(value, true)) return *t;
  std::string digits = fixed_digits(value, decimals);
  if (!std::signbit(value)) digits.insert(digits.begin(), '+');
  return digits;
}

std::string format_plain(double value) {
  if (auto t = non_finite_text(value, false)) return *t;
  // The shortest round-trip digits (at most 17), written out in fixed
  // notation: zeros fill up to the point, or follow "0." before the digits.
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  QUOR_ASSERT(res.ec == std::errc(), "scientific buffer too small");
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  std::string out;
  if (sci.front() == '-') {
    out += '-';
    sci.remove_prefix(1);
  }
  size_t e = sci.find('e');
  std::string digits;
  for (char c : sci.substr(0, e))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(sci.data() + e + 1 + (sci[e + 1] == '+'), sci.data() + sci.size(), exponent);
  // Drop trailing zeros of the significand ("0e+00" keeps one digit).
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();
  const long point = static_cast<long>(exponent) + 1;  // digits before the point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-point), '0');
    out += digits;
  } else if (static_cast<size_t>(point) >= digits.size()) {
    out += digits;
    out.append(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out.append(digits, 0, static_cast<size_t>(point));
    out += '.';
    out.append(digits, static_cast<size_t>(point), std::string::npos);
  }
  return out;
}

std::string format_padded(uint64_t value, size_t width) {
  char buf[24];
  auto res = std::to_chars(buf, buf + sizeof buf, value);
  size_t n = static_cast<size_t>(res.ptr - buf);
  std::string out;
  if (n < width) out.assign(width - n, ' ');
  out.append(buf, n);
  return out;
}

std::optional<double> parse_float(std::string_view text) {
  if (text.empty()) return std::nullopt;
  bool negative = false;
  std::string_view body = text;
  if (body.front() == '+' || body.front() == '-') {
    negative = body.front() == '-';
    body.remove_prefix(1);
  }
  if (body.empty() || body.front() == '+' || body.front() == '-') return std::nullopt;
  double value = 0.0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), value,
                             std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range && res.ptr == body.data() + body.size()) {
    // Beyond the double range: a huge magnitude reads as infinity, a tiny
    // one as zero, as a correctly rounded reading gives.
    value = decimal_exponent_is_negative(body) ? 0.0 : HUGE_VAL;
  } else if (res.ec != std::errc() || res.ptr != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

}  // namespace quor::util
