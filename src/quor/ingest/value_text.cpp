#include "quor/ingest/value_text.h"

#include "quor/util/json.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace quor::ingest {

namespace {

bool ascii_iequals(std::string_view a, std::string_view lower) {
  if (a.size() != lower.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != lower[i]) return false;
  }
  return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Decodes the UTF-8 character ending at `end` (exclusive); returns its length
// or 0 when the bytes there are not a well-formed character.
size_t utf8_char_before(std::string_view s, size_t end, uint32_t& cp) {
  size_t start = end;
  size_t n = 0;
  while (start > 0 && n < 4) {
    --start;
    ++n;
    unsigned char c = static_cast<unsigned char>(s[start]);
    if ((c & 0xC0) != 0x80) break;
  }
  unsigned char lead = static_cast<unsigned char>(s[start]);
  size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (len == 0 || len != n) return 0;
  cp = len == 1 ? lead : len == 2 ? (lead & 0x1F) : len == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (size_t i = 1; i < len; ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[start + i]) & 0x3F);
  return len;
}

size_t utf8_char_at(std::string_view s, size_t pos, uint32_t& cp) {
  unsigned char lead = static_cast<unsigned char>(s[pos]);
  size_t len = lead < 0x80 ? 1 : (lead >> 5) == 6 ? 2 : (lead >> 4) == 14 ? 3 : (lead >> 3) == 30 ? 4 : 0;
  if (len == 0 || pos + len > s.size()) return 0;
  cp = len == 1 ? lead : len == 2 ? (lead & 0x1F) : len == 3 ? (lead & 0x0F) : (lead & 0x07);
  for (size_t i = 1; i < len; ++i) {
    unsigned char c = static_cast<unsigned char>(s[pos + i]);
    if ((c & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (c & 0x3F);
  }
  return len;
}

bool is_unicode_space(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

}  // namespace

std::optional<double> parse_float_text(std::string_view text) {
  std::string_view s = text;
  bool negative = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  // Only a text that starts with a letter can name an infinity or NaN.
  if (!is_digit(s[0]) && s[0] != '.') {
    if (ascii_iequals(s, "inf") || ascii_iequals(s, "infinity"))
      return negative ? -HUGE_VAL : HUGE_VAL;
    if (ascii_iequals(s, "nan")) return negative ? -std::nan("") : std::nan("");
  }

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
  if (int_digits + frac_digits <= 15 && i == int_digits + (frac_digits > 0 ? 1 : 0) + frac_digits &&
      (frac_digits > 0 || int_digits == s.size())) {
    // A plain decimal of at most 15 digits: its digits and the power of ten
    // are exact doubles, so one correctly rounded division gives the same
    // double as the full parse.
    static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                        1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    uint64_t m = 0;
    for (char c : s)
      if (c != '.') m = m * 10 + static_cast<uint64_t>(c - '0');
    v = static_cast<double>(m) / kPow10[frac_digits];
    return negative ? -v : v;
  }
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

std::string_view trim_unicode_space(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end) {
    uint32_t cp = 0;
    size_t len = utf8_char_at(text, begin, cp);
    if (len == 0 || !is_unicode_space(cp)) break;
    begin += len;
  }
  while (end > begin) {
    uint32_t cp = 0;
    size_t len = utf8_char_before(text, end, cp);
    if (len == 0 || !is_unicode_space(cp)) break;
    end -= len;
  }
  return text.substr(begin, end - begin);
}

bool is_date_like(std::string_view text) {
  std::string_view t = trim_unicode_space(text);
  if (t.size() < 10) return false;
  auto sep = [](char c) { return c == '-' || c == '/'; };
  return is_digit(t[0]) && is_digit(t[1]) && is_digit(t[2]) && is_digit(t[3]) && sep(t[4]) &&
         is_digit(t[5]) && is_digit(t[6]) && sep(t[7]) && is_digit(t[8]) && is_digit(t[9]);
}

}  // namespace quor::ingest
