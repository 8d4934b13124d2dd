// The compact JSON writer: strings with the minimal escapes, numbers by the
// float rule, values in member order.
#include "quor/util/json.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace quor::util {

namespace {

constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;

// Non-zero for a word with a control byte, a quote or a backslash in it.
uint64_t needs_escape(uint64_t w) {
  auto zero_byte = [](uint64_t x) { return (x - ones) & ~x & highs; };
  return ((w - ones * 0x20) & ~w & highs) | zero_byte(w ^ (ones * '"')) | zero_byte(w ^ (ones * '\\'));
}

bool byte_is_plain(unsigned char c) { return c >= 0x20 && c != '"' && c != '\\'; }

}  // namespace

bool json_text_is_plain(std::string_view text) {
  // Every byte in whole words, read from the text alone: a short text in
  // overlapping halves (or, below four bytes, its bytes in a word of
  // spaces), a longer one's tail as the word that ends it. The raw log checks
  // every value of every record, mostly short numbers and codes (on the
  // flights CSV, 1 783 -> 1 767 instructions a row for the ingest step).
  const char* p = text.data();
  const size_t n = text.size();
  uint64_t w;
  if (n < 8) {
    if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      w = a | (uint64_t{b} << 32);
    } else {
      if (n == 0) return true;
      w = (ones * 0x20) << 24 | uint64_t{static_cast<unsigned char>(p[0])} |
          uint64_t{static_cast<unsigned char>(p[n / 2])} << 8 | uint64_t{static_cast<unsigned char>(p[n - 1])} << 16;
    }
    return needs_escape(w) == 0;
  }
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&w, p + i, 8);
    if (needs_escape(w) != 0) return false;
  }
  if (i == n) return true;
  std::memcpy(&w, p + n - 8, 8);
  return needs_escape(w) == 0;
}

void write_json_string(std::string& out, std::string_view text) {
  static const char* kHex = "0123456789abcdef";
  if (text.size() < 16) {
    // Short texts: every byte checked in at most two words read straight
    // from the text (overlapping when shorter than 16; a byte-built word
    // read back would stall on its stores), then one copy when nothing
    // needs escaping.
    const char* p = text.data();
    const size_t n = text.size();
    constexpr uint64_t plain = ones * 'a';
    uint64_t w0 = plain, w1 = plain;
    if (n >= 8) {
      std::memcpy(&w0, p, 8);
      std::memcpy(&w1, p + n - 8, 8);
    } else if (n >= 4) {
      uint32_t a, b;
      std::memcpy(&a, p, 4);
      std::memcpy(&b, p + n - 4, 4);
      w0 = a | (uint64_t{b} << 32);
    } else if (n > 0) {
      // Bytes 0, n/2 and n-1 cover every byte of a text of 1 to 3.
      w0 = (plain << 24) | static_cast<uint64_t>(static_cast<unsigned char>(p[0])) |
           static_cast<uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
           static_cast<uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
    }
    if ((needs_escape(w0) | needs_escape(w1)) == 0) {
      const size_t at = out.size();
      out.resize(at + n + 2);
      char* d = out.data() + at;
      d[0] = '"';
      std::memcpy(d + 1, p, n);
      d[n + 1] = '"';
      return;
    }
  }
  out += '"';
  size_t run = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Skip eight plain bytes at a time (no control byte, quote or backslash).
    while (i + 8 <= text.size()) {
      uint64_t w;
      std::memcpy(&w, text.data() + i, 8);
      if (needs_escape(w) != 0) break;
      i += 8;
    }
    if (i >= text.size()) break;
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (byte_is_plain(c)) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
  }
  out.append(text.data() + run, text.size() - run);
  out += '"';
}

void write_json_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  if (value == 0.0) {
    out += std::signbit(value) ? "-0.0" : "0.0";
    return;
  }
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string_view sci(buf, static_cast<size_t>(res.ptr - buf));
  // sci is [-]d[.ddd]e(+|-)dd: split into digits and exponent.
  size_t i = 0;
  if (sci[0] == '-') {
    out += '-';
    i = 1;
  }
  char digits[32];
  size_t nd = 0;
  for (; i < sci.size() && sci[i] != 'e'; ++i) {
    if (sci[i] != '.') digits[nd++] = sci[i];
  }
  int exp = 0;
  std::from_chars(sci.data() + i + 1 + (sci[i + 1] == '+' ? 1 : 0), sci.data() + sci.size(), exp);
  if (exp >= -5 && exp <= 15) {
    if (exp >= 0) {
      size_t int_len = static_cast<size_t>(exp) + 1;
      if (nd <= int_len) {
        out.append(digits, nd);
        out.append(int_len - nd, '0');
        out += ".0";
      } else {
        out.append(digits, int_len);
        out += '.';
        out.append(digits + int_len, nd - int_len);
      }
    } else {
      out += "0.";
      out.append(static_cast<size_t>(-exp - 1), '0');
      out.append(digits, nd);
    }
    return;
  }
  out += digits[0];
  if (nd > 1) {
    out += '.';
    out.append(digits + 1, nd - 1);
  }
  out += 'e';
  out += exp < 0 ? '-' : '+';
  out += std::to_string(exp < 0 ? -exp : exp);
}

void write_json_number(std::string& out, const JsonNumber& n) {
  char buf[32];
  switch (n.kind) {
    case JsonNumber::Kind::PosInt: {
      auto r = std::to_chars(buf, buf + sizeof buf, n.u);
      out.append(buf, r.ptr);
      return;
    }
    case JsonNumber::Kind::NegInt: {
      auto r = std::to_chars(buf, buf + sizeof buf, n.i);
      out.append(buf, r.ptr);
      return;
    }
    case JsonNumber::Kind::Float:
      write_json_double(out, n.f);
      return;
  }
}

void write_json(std::string& out, const JsonValue& value) {
  switch (value.v.index()) {
    case 0: out += "null"; return;
    case 1: out += *value.as_bool() ? "true" : "false"; return;
    case 2: write_json_number(out, *value.as_number()); return;
    case 3: write_json_string(out, *value.as_string()); return;
    case 4: {
      out += '[';
      bool first = true;
      for (const auto& e : *value.as_array()) {
        if (!first) out += ',';
        first = false;
        write_json(out, e);
      }
      out += ']';
      return;
    }
    default: {
      out += '{';
      bool first = true;
      for (const auto& [k, e] : *value.as_object()) {
        if (!first) out += ',';
        first = false;
        write_json_string(out, k);
        out += ':';
        write_json(out, e);
      }
      out += '}';
      return;
    }
  }
}

}  // namespace quor::util
