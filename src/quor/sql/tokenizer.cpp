#include "quor/sql/tokenizer.h"

#include <unicode/uchar.h>

#include <array>
#include <charconv>
#include <cstdio>

#include "quor/util/utf8.h"

namespace quor::sql {

namespace {

constexpr std::array<std::string_view, kKeywordCount> kKeywords = {
    "COMPARE", "BETWEEN", "AND", "EXPLAIN", "VS", "TRACK", "FROM", "GRANULARITY", "SHOW", "AT",
    "RANK", "BY", "OVER", "MI", "CMI", "GIVEN", "CORRELATIONS", "LIMIT", "PAIRWISE", "ON",
    "USING", "NEAREST", "STATS", "SCHEMA", "DIMENSIONS", "ENTROPY", "WHERE", "TOP", "BOTTOM",
    "ACROSS", "EXPORT", "AS", "CSV", "JSON",
};

constexpr std::array<std::string_view, 40> kKindNames = {
    "Compare", "Between", "And", "Explain", "Vs", "Track", "From", "Granularity", "Show", "At",
    "Rank", "By", "Over", "Mi", "Cmi", "Given", "Correlations", "Limit", "Pairwise", "On",
    "Using", "Nearest", "Stats", "Schema", "Dimensions", "Entropy", "Where", "Top", "Bottom",
    "Across", "Export", "As", "Csv", "Json", "Ident", "DimRef", "Number", "Comma", "Semicolon",
    "Eof",
};

// The keyword kind that `word` spells after ASCII upper-casing, if any.
bool match_keyword(std::string_view word, TokenKind& kind) {
  // The longest keyword has 12 letters.
  if (word.empty() || word.size() > 12) return false;
  char upper[12];
  for (size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
  }
  std::string_view u(upper, word.size());
  for (size_t k = 0; k < kKeywords.size(); ++k) {
    if (kKeywords[k] == u) {
      kind = static_cast<TokenKind>(k);
      return true;
    }
  }
  return false;
}

// One optional '+' and one or more ASCII digits, at most 2^64 - 1.
bool parse_number(std::string_view word, uint64_t& out) {
  if (!word.empty() && word.front() == '+') word.remove_prefix(1);
  if (word.empty()) return false;
  for (char c : word)
    if (c < '0' || c > '9') return false;
  auto res = std::from_chars(word.data(), word.data() + word.size(), out);
  return res.ec == std::errc() && res.ptr == word.data() + word.size();
}

}  // namespace

bool Token::operator==(const Token& other) const {
  if (kind != other.kind) return false;
  switch (kind) {
    case TokenKind::Ident: return text == other.text;
    case TokenKind::DimRef: return text == other.text && value == other.value;
    case TokenKind::Number: return number == other.number;
    default: return true;
  }
}

std::string_view token_kind_name(TokenKind kind) {
  return kKindNames[static_cast<size_t>(kind)];
}

std::string quote_for_diagnostic(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  size_t pos = 0;
  while (pos < text.size()) {
    size_t len = 0;
    char32_t cp = util::decode_utf8_at(text, pos, len);
    if (cp == U'\\') {
      out += "\\\\";
    } else if (cp == U'"') {
      out += "\\\"";
    } else if (cp == 0) {
      out += "\\0";
    } else if (!u_isprint(static_cast<UChar32>(cp)) ||
               u_hasBinaryProperty(static_cast<UChar32>(cp), UCHAR_GRAPHEME_EXTEND)) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
      out += buf;
    } else {
      out.append(text.substr(pos, len));
    }
    pos += len;
  }
  out += '"';
  return out;
}

std::string token_diagnostic(const Token& token) {
  switch (token.kind) {
    case TokenKind::Ident: return "Ident(" + quote_for_diagnostic(token.text) + ")";
    case TokenKind::DimRef:
      return "DimRef(" + quote_for_diagnostic(token.text) + ", " +
             quote_for_diagnostic(token.value) + ")";
    case TokenKind::Number: return "Number(" + std::to_string(token.number) + ")";
    default: return std::string(token_kind_name(token.kind));
  }
}

Result<std::vector<Token>> tokenize(std::string_view text) {
  if (!util::is_valid_utf8(text)) return Error("query text is not valid UTF-8");

  // White space off both ends, then every ';' off the end.
  text = util::trim_unicode_white_space(text);
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ';') --end;
  text = text.substr(0, end);

  std::vector<Token> tokens;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t n = util::white_space_length_at(text, pos);
    if (n > 0) {
      pos += n;
      continue;
    }
    size_t start = pos;
    while (pos < text.size()) {
      if (util::white_space_length_at(text, pos) > 0) break;
      size_t len = 0;
      util::decode_utf8_at(text, pos, len);
      pos += len;
    }
    std::string_view word = text.substr(start, pos - start);

    if (word == ",") {
      tokens.push_back(Token::keyword(TokenKind::Comma));
      continue;
    }
    bool trailing_comma = word.back() == ',';
    if (trailing_comma) word.remove_suffix(1);

    TokenKind kind;
    uint64_t number = 0;
    if (match_keyword(word, kind)) {
      tokens.push_back(Token::keyword(kind));
    } else if (size_t colon = word.find(':'); colon != std::string_view::npos) {
      if (colon == 0 || colon + 1 == word.size())
        return Error("invalid dimension reference: '" + std::string(word) + "'");
      tokens.push_back(
          Token::dim_ref(std::string(word.substr(0, colon)), std::string(word.substr(colon + 1))));
    } else if (parse_number(word, number)) {
      tokens.push_back(Token::num(number));
    } else {
      tokens.push_back(Token::ident(std::string(word)));
    }
    if (trailing_comma) tokens.push_back(Token::keyword(TokenKind::Comma));
  }
  tokens.push_back(Token::keyword(TokenKind::Eof));
  return tokens;
}

}  // namespace quor::sql
