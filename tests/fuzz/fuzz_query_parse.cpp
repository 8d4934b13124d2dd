// Fuzzes the tokenizer and the parser: any input must give a statement or a
// message, never a crash, and the two must agree on the tokenizer's failures.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "quor/sql/parser.h"
#include "quor/sql/tokenizer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  auto tokens = quor::sql::tokenize(text);
  if (tokens.ok()) {
    if (tokens->empty() || tokens->back().kind != quor::sql::TokenKind::Eof) __builtin_trap();
    for (const auto& t : *tokens) (void)quor::sql::token_diagnostic(t);
  }
  auto statement = quor::sql::parse_query(text);
  if (!tokens.ok() && statement.ok()) __builtin_trap();
  if (statement.ok()) {
    quor::sql::Statement copy = *statement;
    if (!(copy == *statement)) __builtin_trap();
  }
  return 0;
}
