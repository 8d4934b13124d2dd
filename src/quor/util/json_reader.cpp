// The JSON cursor: tokens, strings with their escapes and UTF-8 check,
// numbers, skipping, and the failure positions every reader reports.
#include "quor/util/json_reader.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

#include "quor/util/ascii.h"
#include "quor/util/float_text.h"
#include "quor/util/utf8.h"

namespace quor::util {

namespace {

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

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
    if (is_ascii_digit(peek())) return fail_peek("invalid number");
  } else if (c >= '1' && c <= '9') {
    while (is_ascii_digit(peek())) ++pos_;
  } else {
    if (c >= 0) ++pos_;
    return fail_here("invalid number");
  }
  if (peek() == '.') {
    is_integer = false;
    ++pos_;
    int d = peek();
    if (!is_ascii_digit(d)) return fail_peek(d < 0 ? "EOF while parsing a value" : "invalid number");
    while (is_ascii_digit(peek())) ++pos_;
  }
  int e = peek();
  if (e == 'e' || e == 'E') {
    is_integer = false;
    ++pos_;
    if (peek() == '+' || peek() == '-') ++pos_;
    int d = peek();
    if (d < 0) return fail_here("EOF while parsing a value");
    if (!is_ascii_digit(d)) {
      ++pos_;
      return fail_here("invalid number");
    }
    while (is_ascii_digit(peek())) ++pos_;
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
    if (decimal_literal_overflows(lit[0] == '-' ? lit.substr(1) : lit))
      return fail_here("number out of range");
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
  std::string_view unused_text;
  JsonNumber unused_number;
  for (;;) {
    ValueStart kind;
    if (!value_start<Scalars::Skip>(kind, unused_text, unused_number)) return false;
    const bool opened = kind == ValueStart::Array || kind == ValueStart::Object;
    if (opened) {
      stack.push_back(kind == ValueStart::Array ? '[' : '{');
      bump();
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

}  // namespace quor::util
