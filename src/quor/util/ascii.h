// ASCII-only letter case, for keywords and names whose spelling is ASCII
// (metric names, file extensions, "inf" / "nan"). Bytes outside A-Z and a-z,
// UTF-8 included, compare and pass unchanged.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quor::util {

inline bool is_ascii_digit(int c) { return c >= '0' && c <= '9'; }

inline char ascii_lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `text` spells `lower` (written in lower case) in any ASCII
// letter case.
inline bool ascii_iequals(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (size_t i = 0; i < text.size(); ++i)
    if (ascii_lower(text[i]) != lower[i]) return false;
  return true;
}

// Lower-cases the ASCII letters of `text` in place.
inline void ascii_lower_in_place(std::string& text) {
  for (char& c : text) c = ascii_lower(c);
}

}  // namespace quor::util
