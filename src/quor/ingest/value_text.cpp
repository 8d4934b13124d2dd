#include "quor/ingest/value_text.h"

#include "quor/util/ascii.h"
#include "quor/util/json.h"
#include "quor/util/utf8.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quor::ingest {

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

std::optional<double> parse_float_text(std::string_view text) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  if (util::ascii_iequals(s, "inf") || util::ascii_iequals(s, "infinity"))
    return negative ? -HUGE_VAL : HUGE_VAL;
  if (util::ascii_iequals(s, "nan")) return negative ? -std::nan("") : std::nan("");

  size_t i = 0;
  size_t int_digits = 0, frac_digits = 0;
  while (i < s.size() && is_digit(s[i])) ++i, ++int_digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && is_digit(s[i])) ++i, ++frac_digits;
  }
  if (int_digits + frac_digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t exp_digits = 0;
    while (i < s.size() && is_digit(s[i])) ++i, ++exp_digits;
    if (exp_digits == 0) return std::nullopt;
  }
  if (i != s.size()) return std::nullopt;

  double v = 0.0;
  auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::general);
  if (ec != std::errc() || ptr != s.data() + s.size()) {
    // Out of range (or a form from_chars declines): strtod saturates to an
    // infinity or underflows towards zero as a correctly rounded parse would.
    std::string copy(s);
    v = std::strtod(copy.c_str(), nullptr);
  }
  return negative ? -v : v;
}

void append_json_float(std::string& out, double v) { util::write_json_double(out, v); }

void append_json_number(std::string& out, const util::JsonNumber& n) {
  char buf[32];
  switch (n.kind) {
    case util::JsonNumber::Kind::PosInt: {
      auto r = std::to_chars(buf, buf + sizeof buf, n.u);
      out.append(buf, r.ptr);
      return;
    }
    case util::JsonNumber::Kind::NegInt: {
      auto r = std::to_chars(buf, buf + sizeof buf, n.i);
      out.append(buf, r.ptr);
      return;
    }
    case util::JsonNumber::Kind::Float:
      append_json_float(out, n.f);
      return;
  }
}

std::string json_number_text(const util::JsonNumber& n) {
  std::string out;
  append_json_number(out, n);
  return out;
}

void append_json_string(std::string& out, std::string_view text) {
  util::write_json_string(out, text);
}

void append_json_value(std::string& out, const util::JsonValue& v) { util::write_json(out, v); }

std::string value_as_text(const util::JsonValue& v) {
  if (const auto* s = v.as_string()) return *s;
  if (const auto* b = v.as_bool()) return *b ? "true" : "false";
  if (const auto* n = v.as_number()) return json_number_text(*n);
  std::string out;
  append_json_value(out, v);
  return out;
}

bool is_date_like(std::string_view text) {
  std::string_view t = util::trim_unicode_white_space(text);
  if (t.size() < 10) return false;
  auto sep = [](char c) { return c == '-' || c == '/'; };
  return is_digit(t[0]) && is_digit(t[1]) && is_digit(t[2]) && is_digit(t[3]) && sep(t[4]) &&
         is_digit(t[5]) && is_digit(t[6]) && sep(t[7]) && is_digit(t[8]) && is_digit(t[9]);
}

}  // namespace quor::ingest
