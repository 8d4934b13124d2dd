// UTF-8 validation.
#pragma once

#include <cstddef>
#include <string_view>

namespace quor::ingest {

// The length of the longest valid UTF-8 prefix of `text` (its whole length
// when it is valid): overlong forms, surrogates and code points above
// U+10FFFF are invalid.
size_t utf8_valid_up_to(std::string_view text);
inline bool is_valid_utf8(std::string_view text) { return utf8_valid_up_to(text) == text.size(); }

}  // namespace quor::ingest
