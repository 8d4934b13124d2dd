#include "quor/util/float_text.h"

#include <charconv>
#include <cstdint>
#include <cmath>
#include <limits>
#include <system_error>

#include "quor/util/ascii.h"

namespace quor::util {

namespace {

// Whether `s` is digits with an optional fraction (at least one digit in
// all) and an optional exponent with at least one digit. Counts the digits
// before and after the point and says whether an exponent follows.
bool is_decimal_literal(std::string_view s, size_t& int_digits, size_t& frac_digits,
                        bool& has_exponent) {
  size_t i = 0;
  int_digits = frac_digits = 0;
  has_exponent = false;
  while (i < s.size() && is_ascii_digit(s[i])) ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_ascii_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return false;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    has_exponent = true;
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exponent_digits = 0;
    while (i < s.size() && is_ascii_digit(s[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == s.size();
}

}  // namespace

bool decimal_literal_overflows(std::string_view literal) {
  const size_t e = literal.find_first_of("eE");
  const std::string_view mantissa = literal.substr(0, e);
  // The exponent saturates far beyond any literal's digit count, so the sum
  // below keeps its sign.
  constexpr long long kExponentCap = 1LL << 50;
  long long exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view ex = literal.substr(e + 1);
    const bool negative = !ex.empty() && ex.front() == '-';
    if (!ex.empty() && (ex.front() == '-' || ex.front() == '+')) ex.remove_prefix(1);
    for (char c : ex) {
      exponent = exponent * 10 + (c - '0');
      if (exponent > kExponentCap) {
        exponent = kExponentCap;
        break;
      }
    }
    if (negative) exponent = -exponent;
  }
  // The first significant digit stands `lead` places before the point
  // (0 or less: after it); the value is at least one when lead + exponent > 0.
  const size_t point = mantissa.find('.');
  const size_t integral = point == std::string_view::npos ? mantissa.size() : point;
  for (size_t i = 0; i < mantissa.size(); ++i) {
    const char c = mantissa[i];
    if (c == '.' || c == '0') continue;
    const long long lead = i < integral ? static_cast<long long>(integral - i)
                                        : -static_cast<long long>(i - integral - 1);
    return lead + exponent > 0;
  }
  return false;  // all zeros
}

std::optional<double> parse_float(std::string_view text) {
  double value = 0.0;
  if (plain_decimal(text, value)) return value;  // most cell and input texts
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  size_t int_digits, frac_digits;
  bool has_exponent;
  // Only a text that starts with a letter can name an infinity or NaN.
  if (!s.empty() && !is_ascii_digit(s.front()) && s.front() != '.' &&
      (ascii_iequals(s, "inf") || ascii_iequals(s, "infinity"))) {
    value = std::numeric_limits<double>::infinity();
  } else if (!s.empty() && !is_ascii_digit(s.front()) && s.front() != '.' &&
             ascii_iequals(s, "nan")) {
    value = std::numeric_limits<double>::quiet_NaN();
  } else if (!is_decimal_literal(s, int_digits, frac_digits, has_exponent)) {
    return std::nullopt;
  } else {
    const auto res = std::from_chars(s.data(), s.data() + s.size(), value, std::chars_format::general);
    if (res.ec == std::errc::result_out_of_range) {
      value = decimal_literal_overflows(s) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (res.ec != std::errc() || res.ptr != s.data() + s.size()) {
      return std::nullopt;  // not reached: the literal was checked above
    }
  }
  return negative ? -value : value;
}

}  // namespace quor::util
