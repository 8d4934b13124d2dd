// The tokenizer: query text to a flat list of tokens.
//
// There is no quoting: words are separated by Unicode white space, keywords
// are reserved in every letter case, and a word of the form name:value is a
// dimension reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quor/util/error.h"

namespace quor::sql {

// The 40 token kinds, in their fixed order: 34 keywords, then the rest.
enum class TokenKind : uint8_t {
  Compare, Between, And, Explain, Vs, Track, From, Granularity, Show, At,
  Rank, By, Over, Mi, Cmi, Given, Correlations, Limit, Pairwise, On,
  Using, Nearest, Stats, Schema, Dimensions, Entropy, Where, Top, Bottom, Across,
  Export, As, Csv, Json,
  Ident, DimRef, Number, Comma, Semicolon, Eof,
};

inline constexpr size_t kKeywordCount = 34;

// One token. `text` holds an Ident's word or a DimRef's dimension, `value`
// a DimRef's value, `number` a Number's value; other kinds carry nothing.
struct Token {
  TokenKind kind = TokenKind::Eof;
  std::string text;
  std::string value;
  uint64_t number = 0;

  static Token keyword(TokenKind k) { return Token{k, {}, {}, 0}; }
  static Token ident(std::string word) { return Token{TokenKind::Ident, std::move(word), {}, 0}; }
  static Token dim_ref(std::string dim, std::string val) {
    return Token{TokenKind::DimRef, std::move(dim), std::move(val), 0};
  }
  static Token num(uint64_t n) { return Token{TokenKind::Number, {}, {}, n}; }

  // Kinds equal and, for Ident, DimRef and Number, payloads equal.
  bool operator==(const Token& other) const;
};

// The kind's name as written in diagnostics ("Compare", "Ident", "Eof").
std::string_view token_kind_name(TokenKind kind);

// The diagnostic form: the kind name, with the payload in parentheses for
// Ident ("Ident(\"x\")"), DimRef ("DimRef(\"d\", \"v\")") and Number
// ("Number(5)").
std::string token_diagnostic(const Token& token);

// `text` in quotation marks: backslash, quotation mark and NUL escaped with a
// backslash, characters that are not printable or that extend a grapheme as
// \u{hex}. Everything else stands as it is.
std::string quote_for_diagnostic(std::string_view text);

// Splits UTF-8 `text` into tokens, always ending with exactly one Eof.
// Fails with "invalid dimension reference: '{}'" for a word with an empty
// side around its ':', and with "query text is not valid UTF-8".
Result<std::vector<Token>> tokenize(std::string_view text);

}  // namespace quor::sql
