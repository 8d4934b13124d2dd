// UTF-8 text helpers: validation, decoding, white space and case mapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quor::util {

// True when `text` is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool is_valid_utf8(std::string_view text);
// The length of the longest well-formed prefix of `text` (its whole length
// when it is valid).
size_t utf8_valid_up_to(std::string_view text);

// Decodes the scalar value that starts at byte `pos` of well-formed `text`
// and stores its byte length in `len`. On malformed input it yields the
// byte's own value with length 1 rather than reading past the end.
char32_t decode_utf8_at(std::string_view text, size_t pos, size_t& len);

// Appends the UTF-8 form of a scalar value.
void append_utf8(std::string& out, char32_t cp);

// The number of scalar values in well-formed `text`.
size_t utf8_char_count(std::string_view text);

// True for the 25 code points of the Unicode White_Space property.
bool is_unicode_white_space(char32_t cp);

// Full Unicode upper-casing, independent of any locale ("ß" gives "SS").
// `text` must be well-formed UTF-8.
std::string to_upper_full(std::string_view text);

}  // namespace quor::util
