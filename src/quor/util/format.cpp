#include "quor/util/format.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <system_error>
#include <vector>

#include "quor/util/panic.h"

namespace quor::util {

namespace {

// Whether positive infinity is written with its sign.
enum class PositiveInfinity { Bare, Signed };

// Text for NaN and the infinities, or nullopt for finite values.
std::optional<std::string> non_finite_text(double value, PositiveInfinity positive) {
  if (std::isnan(value)) return std::string("NaN");
  if (std::isinf(value))
    return std::string(value < 0 ? "-inf" : positive == PositiveInfinity::Signed ? "+inf" : "inf");
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

}  // namespace

std::string format_fixed(double value, int decimals) {
  if (auto t = non_finite_text(value, PositiveInfinity::Bare)) return *t;
  return fixed_digits(value, decimals);
}

std::string format_signed_fixed(double value, int decimals) {
  if (auto t = non_finite_text(value, PositiveInfinity::Signed)) return *t;
  std::string digits = fixed_digits(value, decimals);
  if (!std::signbit(value)) digits.insert(digits.begin(), '+');
  return digits;
}

std::string format_plain(double value) {
  if (auto t = non_finite_text(value, PositiveInfinity::Bare)) return *t;
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

}  // namespace quor::util
