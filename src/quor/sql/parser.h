// The recursive-descent parser: tokens of one query to one statement.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "quor/sql/statement.h"
#include "quor/sql/tokenizer.h"
#include "quor/util/error.h"

namespace quor::sql {

// EXPORT statements may nest at most this deep; a deeper query is refused
// with "EXPORT nesting is limited to 4 levels". This bounds the recursion of
// the parser and the executor, and the size of the result: each level of
// rendering can double the text below it (every quotation mark or backslash
// gains an escape), so a level costs up to twice the memory of the last.
inline constexpr size_t kMaxExportDepth = 4;

// The state of one parse. Reading or peeking at or past the end yields Eof.
struct Parser {
  std::vector<Token> tokens;
  size_t pos = 0;
  // EXPORT levels entered and not yet left.
  size_t export_depth = 0;

  explicit Parser(std::vector<Token> toks) : tokens(std::move(toks)) {}
  // The token at `pos` (Eof past the end), without moving.
  const Token& peek() const;
  // The token at `pos` (Eof past the end); `pos` advances by one.
  Token next();
};

// Tokenizes `text` and reads one statement; tokens after it are ignored.
// Failures are the tokenizer's or the parser's message text.
Result<Statement> parse_query(std::string_view text);

// Reads one statement.
Result<Statement> parse_statement(Parser& parser);

// The optional WHERE clause: dimension pairs in the order written, empty
// (and nothing read) without WHERE.
Result<std::vector<DimensionPair>> parse_where_clause(Parser& parser);

// Reads one token, which must be the keyword `expected`; else
// "expected {}, got {}" with both diagnostic forms.
Status expect_token(Parser& parser, const Token& expected);

}  // namespace quor::sql
