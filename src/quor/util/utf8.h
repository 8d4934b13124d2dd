// UTF-8 text helpers: validation, decoding, white space and case mapping.
//
// Well-formed means the strict form everywhere: no overlong forms, no
// surrogates, nothing above U+10FFFF. Text enters the system through these
// checks, and the helpers that step through text treat a malformed byte as
// an ordinary character that is no white space.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quor::util {

// True when `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);
// The length of the longest well-formed prefix of `text` (its whole length
// when it is valid).
size_t utf8_valid_up_to(std::string_view text);
// As utf8_valid_up_to, saying also why it stops. On failure sets
// `valid_up_to` to the start of the bad sequence and `error_len` to its
// length (1..3), or to 0 when the input ends inside it.
bool validate_utf8(std::string_view text, size_t& valid_up_to, size_t& error_len);

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
// The byte length of the white space character that starts at `pos`, 0 when
// none does (a malformed sequence is no white space).
size_t white_space_length_at(std::string_view text, size_t pos);
// `text` with Unicode white space removed from both ends.
std::string_view trim_unicode_white_space(std::string_view text);

// Full Unicode upper-casing, independent of any locale ("ß" gives "SS").
// `text` must be well-formed UTF-8.
std::string to_upper_full(std::string_view text);

}  // namespace quor::util
