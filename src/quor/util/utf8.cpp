#include "quor/util/utf8.h"

#include <cstring>

#include <unicode/locid.h>
#include <unicode/unistr.h>

namespace quor::util {

namespace {

// Length of the well-formed sequence at `pos` (pos < s.size()), or 0 with
// `error_len` set: the length of the malformed sequence (1..3), 0 when the
// text ends inside a sequence that is well formed so far. The second byte's
// range excludes overlong forms, surrogates and values above U+10FFFF.
inline size_t sequence_at(std::string_view s, size_t pos, size_t& error_len) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data()) + pos;
  const size_t left = s.size() - pos;
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return 1;
  auto fail = [&](size_t len) {
    error_len = len;
    return size_t{0};
  };
  auto continuation = [](unsigned char c) { return (c & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    if (left < 2) return fail(0);
    return continuation(p[1]) ? 2 : fail(1);
  }
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (left < 2) return fail(0);
    const unsigned char b1 = p[1];
    const bool ok = b0 == 0xE0 ? (b1 >= 0xA0 && b1 <= 0xBF)
                    : b0 == 0xED ? (b1 >= 0x80 && b1 <= 0x9F)
                                 : continuation(b1);
    if (!ok) return fail(1);
    if (left < 3) return fail(0);
    return continuation(p[2]) ? 3 : fail(2);
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (left < 2) return fail(0);
    const unsigned char b1 = p[1];
    const bool ok = b0 == 0xF0 ? (b1 >= 0x90 && b1 <= 0xBF)
                    : b0 == 0xF4 ? (b1 >= 0x80 && b1 <= 0x8F)
                                 : continuation(b1);
    if (!ok) return fail(1);
    if (left < 3) return fail(0);
    if (!continuation(p[2])) return fail(2);
    if (left < 4) return fail(0);
    return continuation(p[3]) ? 4 : fail(3);
  }
  return fail(1);
}

size_t valid_sequence_at(std::string_view s, size_t pos) {
  size_t ignored;
  return sequence_at(s, pos, ignored);
}

}  // namespace

bool validate_utf8(std::string_view text, size_t& valid_up_to, size_t& error_len) {
  const size_t n = text.size();
  size_t pos = 0;
  while (pos < n) {
    // Runs of ASCII go eight bytes at a time.
    while (pos + 8 <= n) {
      uint64_t w;
      std::memcpy(&w, text.data() + pos, 8);
      if ((w & 0x8080808080808080ULL) != 0) break;
      pos += 8;
    }
    if (pos >= n) break;
    if (static_cast<unsigned char>(text[pos]) < 0x80) {
      ++pos;
      continue;
    }
    const size_t len = sequence_at(text, pos, error_len);
    if (len == 0) {
      valid_up_to = pos;
      return false;
    }
    pos += len;
  }
  valid_up_to = n;
  error_len = 0;
  return true;
}

size_t utf8_valid_up_to(std::string_view text) {
  size_t up_to, error_len;
  validate_utf8(text, up_to, error_len);
  return up_to;
}

bool is_valid_utf8(std::string_view text) { return utf8_valid_up_to(text) == text.size(); }

char32_t decode_utf8_at(std::string_view text, size_t pos, size_t& len) {
  size_t n = valid_sequence_at(text, pos);
  const auto at = [&](size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(text[i])); };
  switch (n) {
    case 1: len = 1; return at(pos);
    case 2: len = 2; return ((at(pos) & 0x1F) << 6) | (at(pos + 1) & 0x3F);
    case 3:
      len = 3;
      return ((at(pos) & 0x0F) << 12) | ((at(pos + 1) & 0x3F) << 6) | (at(pos + 2) & 0x3F);
    case 4:
      len = 4;
      return ((at(pos) & 0x07) << 18) | ((at(pos + 1) & 0x3F) << 12) |
             ((at(pos + 2) & 0x3F) << 6) | (at(pos + 3) & 0x3F);
    default: len = 1; return at(pos);
  }
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

size_t utf8_char_count(std::string_view text) {
  size_t n = 0;
  for (unsigned char c : text) n += (c & 0xC0) != 0x80;
  return n;
}

bool is_unicode_white_space(char32_t cp) {
  if (cp >= 0x09 && cp <= 0x0D) return true;
  if (cp >= 0x2000 && cp <= 0x200A) return true;
  switch (cp) {
    case 0x20: case 0x85: case 0xA0: case 0x1680: case 0x2028: case 0x2029:
    case 0x202F: case 0x205F: case 0x3000:
      return true;
    default:
      return false;
  }
}

size_t white_space_length_at(std::string_view text, size_t pos) {
  const size_t len = valid_sequence_at(text, pos);
  if (len == 0) return 0;
  size_t ignored;
  return is_unicode_white_space(decode_utf8_at(text, pos, ignored)) ? len : 0;
}

std::string_view trim_unicode_white_space(std::string_view text) {
  size_t begin = 0, end = text.size();
  while (begin < end) {
    const size_t len = white_space_length_at(text, begin);
    if (len == 0) break;
    begin += len;
  }
  while (end > begin) {
    // The last character starts at most three continuation bytes back.
    size_t start = end - 1;
    while (start > begin && end - start < 4 &&
           (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
      --start;
    if (white_space_length_at(text.substr(0, end), start) != end - start) break;
    end = start;
  }
  return text.substr(begin, end - begin);
}

std::string to_upper_full(std::string_view text) {
  icu::UnicodeString s = icu::UnicodeString::fromUTF8(std::string(text));
  s.toUpper(icu::Locale::getRoot());
  std::string out;
  s.toUTF8String(out);
  return out;
}

}  // namespace quor::util
