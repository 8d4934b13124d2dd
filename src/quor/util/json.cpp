#include "quor/util/json.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "quor/util/json_reader.h"
#include "quor/util/utf8.h"

namespace quor::util {

namespace {

bool is_digit(int c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// True when a float literal that the converter reported out of range is at
// least one in magnitude (an overflow); false for an underflow to zero.
bool literal_overflows(std::string_view lit) {
  size_t i = 0;
  if (i < lit.size() && lit[i] == '-') ++i;
  long long lead = 0;  // decimal exponent of the first significant digit
  bool found = false;
  long long int_digits_after_first = -1;
  for (; i < lit.size() && is_digit(lit[i]); ++i) {
    if (!found && lit[i] != '0') found = true;
    if (found) ++int_digits_after_first;
  }
  if (found) {
    lead = int_digits_after_first;
  } else if (i < lit.size() && lit[i] == '.') {
    ++i;
    long long zeros = 0;
    for (; i < lit.size() && is_digit(lit[i]); ++i) {
      if (lit[i] != '0') {
        found = true;
        break;
      }
      ++zeros;
    }
    lead = -(zeros + 1);
  }
  while (i < lit.size() && lit[i] != 'e' && lit[i] != 'E') ++i;
  long long exp = 0;
  if (i < lit.size()) {
    ++i;
    bool neg = false;
    if (i < lit.size() && (lit[i] == '+' || lit[i] == '-')) neg = lit[i++] == '-';
    for (; i < lit.size() && is_digit(lit[i]); ++i) {
      if (exp < 1000000000LL) exp = exp * 10 + (lit[i] - '0');
    }
    if (neg) exp = -exp;
  }
  return found && lead + exp >= 0;
}

bool parse_value(JsonReader& r, JsonValue& out) {
  int c = r.peek_nonws();
  switch (c) {
    case -1:
      return r.fail_peek("EOF while parsing a value");
    case 'n':
      r.bump();
      if (!r.read_ident("ull")) return false;
      out.v.emplace<0>();
      return true;
    case 't':
      r.bump();
      if (!r.read_ident("rue")) return false;
      out.v.emplace<1>(true);
      return true;
    case 'f':
      r.bump();
      if (!r.read_ident("alse")) return false;
      out.v.emplace<1>(false);
      return true;
    case '"': {
      r.bump();
      std::string_view s;
      if (!r.read_string(s)) return false;
      out.v.emplace<3>(s);
      return true;
    }
    case '[': {
      if (!r.enter()) return false;
      r.bump();
      JsonArray& arr = out.v.emplace<4>();
      bool first = true;
      for (;;) {
        int k = r.seq_next(first);
        if (k < 0) return false;
        if (k == 0) break;
        arr.emplace_back();
        if (!parse_value(r, arr.back())) return false;
      }
      if (!r.seq_end()) return false;
      r.leave();
      return true;
    }
    case '{': {
      if (!r.enter()) return false;
      r.bump();
      JsonObject& obj = out.v.emplace<5>();
      bool first = true;
      for (;;) {
        std::string_view k;
        int got = r.map_next_key(first, k);
        if (got < 0) return false;
        if (got == 0) break;
        // The member's slot is made first and the value parsed into it; a
        // repeated name parses into (and so replaces) the earlier value.
        auto it = obj.lower_bound(k);
        if (it == obj.end() || it->first != k) {
          it = obj.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(k),
                                std::forward_as_tuple());
        } else {
          it->second = JsonValue();
        }
        if (!r.map_colon()) return false;
        if (!parse_value(r, it->second)) return false;
      }
      r.bump();  // the '}' that map_next_key stopped at
      r.leave();
      return true;
    }
    default:
      if (c == '-' || is_digit(c)) {
        JsonNumber n;
        if (!r.read_number(n)) return false;
        out.v.emplace<2>(n);
        return true;
      }
      return r.fail_peek("expected value");
  }
}

}  // namespace

// ---- UTF-8 ----

bool validate_utf8(std::string_view bytes, size_t& valid_up_to, size_t& error_len) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    // ASCII fast path, eight bytes at a time.
    while (i + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, p + i, 8);
      if (w & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    unsigned char first = p[i];
    if (first < 0x80) {
      ++i;
      continue;
    }
    const size_t start = i;
    auto fail = [&](size_t len) {
      valid_up_to = start;
      error_len = len;
      return false;
    };
    auto cont = [&](size_t k) -> int {  // -1: input ended
      if (start + k >= n) return -1;
      return p[start + k];
    };
    int b1, b2, b3;
    if (first >= 0xC2 && first <= 0xDF) {
      if ((b1 = cont(1)) < 0) return fail(0);
      if ((b1 & 0xC0) != 0x80) return fail(1);
      i += 2;
    } else if (first >= 0xE0 && first <= 0xEF) {
      if ((b1 = cont(1)) < 0) return fail(0);
      bool ok = (first == 0xE0)   ? (b1 >= 0xA0 && b1 <= 0xBF)
                : (first == 0xED) ? (b1 >= 0x80 && b1 <= 0x9F)
                                  : (b1 >= 0x80 && b1 <= 0xBF);
      if (!ok) return fail(1);
      if ((b2 = cont(2)) < 0) return fail(0);
      if ((b2 & 0xC0) != 0x80) return fail(2);
      i += 3;
    } else if (first >= 0xF0 && first <= 0xF4) {
      if ((b1 = cont(1)) < 0) return fail(0);
      bool ok = (first == 0xF0)   ? (b1 >= 0x90 && b1 <= 0xBF)
                : (first == 0xF4) ? (b1 >= 0x80 && b1 <= 0x8F)
                                  : (b1 >= 0x80 && b1 <= 0xBF);
      if (!ok) return fail(1);
      if ((b2 = cont(2)) < 0) return fail(0);
      if ((b2 & 0xC0) != 0x80) return fail(2);
      if ((b3 = cont(3)) < 0) return fail(0);
      if ((b3 & 0xC0) != 0x80) return fail(3);
      i += 4;
    } else {
      return fail(1);
    }
  }
  return true;
}

// ---- JsonReader ----

bool JsonReader::fail_peek(std::string_view message) {
  failed_ = true;
  message_.assign(message);
  error_end_ = std::min(text_.size(), pos_ + 1);
  return false;
}

bool JsonReader::fail_here(std::string_view message) {
  failed_ = true;
  message_.assign(message);
  error_end_ = std::min(text_.size(), pos_);
  return false;
}

Error JsonReader::take_error() const {
  std::string_view before = text_.substr(0, error_end_);
  size_t line_start = 0;
  size_t line = 1;
  for (size_t i = 0; i < before.size(); ++i) {
    if (before[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  std::string out = message_;
  out += " at line ";
  out += std::to_string(line);
  out += " column ";
  out += std::to_string(error_end_ - line_start);
  return Error(std::move(out));
}

bool JsonReader::read_ident(std::string_view rest) {
  for (char want : rest) {
    int c = peek();
    if (c < 0) return fail_here("EOF while parsing a value");
    ++pos_;
    if (c != static_cast<unsigned char>(want)) return fail_here("expected ident");
  }
  return true;
}

bool JsonReader::decode_hex(uint16_t& out) {
  if (text_.size() - pos_ < 4) {
    pos_ = text_.size();
    return fail_here("EOF while parsing a string");
  }
  uint16_t v = 0;
  bool ok = true;
  for (int k = 0; k < 4; ++k) {
    int h = hex_value(static_cast<unsigned char>(text_[pos_ + k]));
    if (h < 0) ok = false;
    v = static_cast<uint16_t>((v << 4) | (h < 0 ? 0 : h));
  }
  pos_ += 4;
  if (!ok) return fail_here("invalid escape");
  out = v;
  return true;
}

// The backslash has been consumed; appends the decoded text to scratch_.
bool JsonReader::read_escape() {
  int c = peek();
  if (c < 0) return fail_here("EOF while parsing a string");
  ++pos_;
  switch (c) {
    case '"': scratch_ += '"'; return true;
    case '\\': scratch_ += '\\'; return true;
    case '/': scratch_ += '/'; return true;
    case 'b': scratch_ += '\b'; return true;
    case 'f': scratch_ += '\f'; return true;
    case 'n': scratch_ += '\n'; return true;
    case 'r': scratch_ += '\r'; return true;
    case 't': scratch_ += '\t'; return true;
    case 'u': break;
    default: return fail_here("invalid escape");
  }
  uint16_t n;
  if (!decode_hex(n)) return false;
  if (n >= 0xDC00 && n <= 0xDFFF) return fail_here("lone leading surrogate in hex escape");
  if (n < 0xD800 || n > 0xDBFF) {
    append_utf8(scratch_, static_cast<char32_t>(n));
    return true;
  }
  // A leading surrogate: a trailing one must follow as another \u escape.
  for (char want : {'\\', 'u'}) {
    int d = peek();
    if (d < 0) return fail_here("EOF while parsing a string");
    ++pos_;
    if (d != want) return fail_here("unexpected end of hex escape");
  }
  uint16_t n2;
  if (!decode_hex(n2)) return false;
  if (n2 < 0xDC00 || n2 > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
  uint32_t cp = ((static_cast<uint32_t>(n - 0xD800) << 10) | (n2 - 0xDC00)) + 0x10000;
  append_utf8(scratch_, static_cast<char32_t>(cp));
  return true;
}

bool JsonReader::read_string(std::string_view& out) {
  const char* data = text_.data();
  const size_t n = text_.size();
  size_t start = pos_;
  bool escaped = false;
  bool ascii = true;
  for (;;) {
    // Run of plain bytes.
    size_t i = pos_;
    while (i < n) {
      unsigned char c = static_cast<unsigned char>(data[i]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      if (c >= 0x80) ascii = false;
      ++i;
    }
    if (escaped) scratch_.append(data + pos_, i - pos_);
    pos_ = i;
    if (i >= n) return fail_here("EOF while parsing a string");
    unsigned char c = static_cast<unsigned char>(data[i]);
    if (c == '"') {
      std::string_view s =
          escaped ? std::string_view(scratch_) : std::string_view(data + start, i - start);
      ++pos_;
      if (!ascii) {
        size_t up_to, len;
        if (!validate_utf8(s, up_to, len)) return fail_here("invalid unicode code point");
      }
      out = s;
      return true;
    }
    if (c == '\\') {
      if (!escaped) {
        escaped = true;
        scratch_.assign(data + start, i - start);
      }
      ++pos_;
      if (!read_escape()) return false;
      continue;
    }
    ++pos_;
    return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
  }
}

bool JsonReader::skip_string() {
  const size_t n = text_.size();
  for (;;) {
    if (pos_ >= n) return fail_here("EOF while parsing a string");
    unsigned char c = static_cast<unsigned char>(text_[pos_]);
    ++pos_;
    if (c == '"') return true;
    if (c < 0x20) {
      return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
    if (c != '\\') continue;
    int e = peek();
    if (e < 0) return fail_here("EOF while parsing a string");
    ++pos_;
    switch (e) {
      case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
        break;
      case 'u': {
        uint16_t ignored;
        if (!decode_hex(ignored)) return false;
        break;
      }
      default:
        return fail_here("invalid escape");
    }
  }
}

bool JsonReader::scan_number(bool& is_integer) {
  is_integer = true;
  if (peek() == '-') ++pos_;
  int c = peek();
  if (c == '0') {
    ++pos_;
    if (is_digit(peek())) return fail_peek("invalid number");
  } else if (c >= '1' && c <= '9') {
    while (is_digit(peek())) ++pos_;
  } else {
    if (c >= 0) ++pos_;
    return fail_here("invalid number");
  }
  if (peek() == '.') {
    is_integer = false;
    ++pos_;
    int d = peek();
    if (!is_digit(d)) return fail_peek(d < 0 ? "EOF while parsing a value" : "invalid number");
    while (is_digit(peek())) ++pos_;
  }
  int e = peek();
  if (e == 'e' || e == 'E') {
    is_integer = false;
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    int d = peek();
    if (d < 0) return fail_here("EOF while parsing a value");
    if (!is_digit(d)) {
      ++pos_;
      return fail_here("invalid number");
    }
    while (is_digit(peek())) ++pos_;
  }
  return true;
}

bool JsonReader::read_number(JsonNumber& out) {
  const size_t start = pos_;
  bool is_integer;
  if (!scan_number(is_integer)) return false;
  std::string_view lit = text_.substr(start, pos_ - start);
  if (is_integer) {
    bool neg = lit[0] == '-';
    uint64_t mag = 0;
    bool overflow = false;
    for (size_t i = neg ? 1 : 0; i < lit.size(); ++i) {
      uint64_t d = static_cast<uint64_t>(lit[i] - '0');
      if (mag > (UINT64_MAX - d) / 10) {
        overflow = true;
        break;
      }
      mag = mag * 10 + d;
    }
    if (!overflow) {
      if (!neg) {
        out = JsonNumber::pos_int(mag);
        return true;
      }
      if (mag != 0 && mag <= (uint64_t{1} << 63)) {
        out = JsonNumber::neg_int(static_cast<int64_t>(0 - mag));
        return true;
      }
      if (mag == 0) {
        out = JsonNumber::from_double(-0.0);
        return true;
      }
    }
  }
  double v = 0.0;
  auto res = std::from_chars(lit.data(), lit.data() + lit.size(), v);
  if (res.ec == std::errc::result_out_of_range) {
    if (literal_overflows(lit)) return fail_here("number out of range");
    v = lit[0] == '-' ? -0.0 : 0.0;
  } else if (res.ec != std::errc() || !std::isfinite(v)) {
    return fail_here("number out of range");
  }
  out = JsonNumber::from_double(v);
  return true;
}

bool JsonReader::skip_value() {
  // Open brackets of the skipped value; the stack replaces recursion.
  std::vector<char> stack;
  for (;;) {
    int c = peek_nonws();
    bool opened = false;
    switch (c) {
      case -1:
        return fail_peek("EOF while parsing a value");
      case 'n': bump(); if (!read_ident("ull")) return false; break;
      case 't': bump(); if (!read_ident("rue")) return false; break;
      case 'f': bump(); if (!read_ident("alse")) return false; break;
      case '"': bump(); if (!skip_string()) return false; break;
      case '[':
      case '{':
        bump();
        stack.push_back(static_cast<char>(c));
        opened = true;
        break;
      default:
        if (c == '-' || is_digit(c)) {
          bool is_integer;
          if (!scan_number(is_integer)) return false;
          break;
        }
        return fail_peek("expected value");
    }
    // After a value (or an opening bracket): close finished containers.
    bool accept_comma = !opened;
    for (;;) {
      if (stack.empty()) return true;
      char frame = stack.back();
      int d = peek_nonws();
      if (d < 0) {
        return fail_peek(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
      }
      if ((frame == '[' && d == ']') || (frame == '{' && d == '}')) {
        bump();
        stack.pop_back();
        accept_comma = true;
        continue;
      }
      if (accept_comma) {
        if (d != ',') {
          return fail_peek(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
        }
        bump();
        if (frame == '[' && peek_nonws() == ']') return fail_peek("trailing comma");
        if (frame == '{' && peek_nonws() == '}') return fail_peek("trailing comma");
      }
      break;
    }
    if (stack.back() == '{') {
      int k = peek_nonws();
      if (k < 0) return fail_peek("EOF while parsing an object");
      if (k != '"') return fail_peek("key must be a string");
      bump();
      if (!skip_string()) return false;
      int colon = peek_nonws();
      if (colon < 0) return fail_peek("EOF while parsing an object");
      if (colon != ':') return fail_peek("expected `:`");
      bump();
    }
  }
}

int JsonReader::seq_next(bool& first) {
  int c = peek_nonws();
  if (c == ']') return 0;
  if (c == ',' && !first) {
    bump();
    c = peek_nonws();
  } else if (c >= 0) {
    if (!first) {
      fail_peek("expected `,` or `]`");
      return -1;
    }
    first = false;
  } else {
    fail_peek("EOF while parsing a list");
    return -1;
  }
  if (c == ']') {
    fail_peek("trailing comma");
    return -1;
  }
  if (c < 0) {
    fail_peek("EOF while parsing a value");
    return -1;
  }
  return 1;
}

bool JsonReader::seq_end() {
  int c = peek_nonws();
  if (c == ']') {
    bump();
    return true;
  }
  if (c == ',') {
    bump();
    if (peek_nonws() == ']') return fail_peek("trailing comma");
    return fail_peek("trailing characters");
  }
  if (c >= 0) return fail_peek("trailing characters");
  return fail_peek("EOF while parsing a list");
}

int JsonReader::map_next_key(bool& first, std::string_view& key) {
  int c = peek_nonws();
  if (c == '}') return 0;
  if (c == ',' && !first) {
    bump();
    c = peek_nonws();
  } else if (c >= 0) {
    if (!first) {
      fail_peek("expected `,` or `}`");
      return -1;
    }
    first = false;
  } else {
    fail_peek("EOF while parsing an object");
    return -1;
  }
  if (c == '"') {
    bump();
    return read_string(key) ? 1 : -1;
  }
  if (c == '}') {
    fail_peek("trailing comma");
  } else if (c >= 0) {
    fail_peek("key must be a string");
  } else {
    fail_peek("EOF while parsing a value");
  }
  return -1;
}

bool JsonReader::map_colon() {
  int c = peek_nonws();
  if (c == ':') {
    bump();
    return true;
  }
  if (c >= 0) return fail_peek("expected `:`");
  return fail_peek("EOF while parsing an object");
}

// ---- public entry points ----

// GCC 12 reports a false "may be used uninitialized" inside the variant move
// of a JsonValue into its Result.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<JsonValue> parse_json_value(std::string_view text) {
  JsonReader r(text);
  JsonValue v;
  if (!parse_value(r, v)) return r.take_error();
  if (r.peek_nonws() >= 0) {
    r.fail_peek("trailing characters");
    return r.take_error();
  }
  return v;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

void write_json_string(std::string& out, std::string_view text) {
  static const char* kHex = "0123456789abcdef";
  constexpr uint64_t ones = 0x0101010101010101ULL, highs = 0x8080808080808080ULL;
  // A word with a control byte, a quote or a backslash in it.
  auto needs_escape = [](uint64_t w) {
    auto zero_byte = [](uint64_t x) { return (x - ones) & ~x & highs; };
    return ((w - ones * 0x20) & ~w & highs) | zero_byte(w ^ (ones * '"')) | zero_byte(w ^ (ones * '\\'));
  };
  if (text.size() < 16) {
    // Short texts: the quoted text built in place (padded with a plain byte
    // for the check, two words at once), then one append when nothing needs
    // escaping.
    char quoted[18];
    std::memset(quoted + 1, 'a', 16);
    std::memcpy(quoted + 1, text.data(), text.size());
    uint64_t w0, w1;
    std::memcpy(&w0, quoted + 1, 8);
    std::memcpy(&w1, quoted + 9, 8);
    if ((needs_escape(w0) | needs_escape(w1)) == 0) {
      quoted[0] = '"';
      quoted[text.size() + 1] = '"';
      out.append(quoted, text.size() + 2);
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
    if (c >= 0x20 && c != '"' && c != '\\') continue;
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

namespace {
void write_number(std::string& out, const JsonNumber& n) {
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
}  // namespace

void write_json(std::string& out, const JsonValue& value) {
  switch (value.v.index()) {
    case 0: out += "null"; return;
    case 1: out += *value.as_bool() ? "true" : "false"; return;
    case 2: write_number(out, *value.as_number()); return;
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
