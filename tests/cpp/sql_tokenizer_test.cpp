#include <gtest/gtest.h>

#include <iterator>

#include "quor/sql/tokenizer.h"

namespace quor::sql {
namespace {

using K = TokenKind;

Token kw(K k) { return Token::keyword(k); }
Token id(std::string s) { return Token::ident(std::move(s)); }
Token dr(std::string d, std::string v) { return Token::dim_ref(std::move(d), std::move(v)); }
Token num(uint64_t n) { return Token::num(n); }
const Token kEof = Token::keyword(K::Eof);

struct TokCase {
  std::string text;
  std::vector<Token> tokens;  // without the final Eof
};

TEST(Tokenize, Words) {
  const TokCase cases[] = {
      {"", {}},
      {" \t\r\n ", {}},
      {";", {}},
      {";;; ", {}},
      {"stats", {kw(K::Stats)}},
      {"STATS;;;", {kw(K::Stats)}},
      {"STATS ;", {kw(K::Stats)}},
      {"STATS; ;", {id("STATS;")}},
      {"a;b", {id("a;b")}},
      {"a,b", {id("a,b")}},
      {"a, b", {id("a"), kw(K::Comma), id("b")}},
      {"a , b", {id("a"), kw(K::Comma), id("b")}},
      {",b", {id(",b")}},
      {"x,,", {id("x,"), kw(K::Comma)}},
      {",,", {id(","), kw(K::Comma)}},
      {"stats,", {kw(K::Stats), kw(K::Comma)}},
      {"region:north,", {dr("region", "north"), kw(K::Comma)}},
      {"a:b:c", {dr("a", "b:c")}},
      {"year:2020 2020", {dr("year", "2020"), num(2020)}},
      {"+7 007 -7 1.5 + 1e3", {num(7), num(7), id("-7"), id("1.5"), id("+"), id("1e3")}},
      {"18446744073709551615", {num(UINT64_MAX)}},
      {"18446744073709551616", {id("18446744073709551616")}},
      {"++1", {id("++1")}},
      {"Revenue ReVeNuE cOmPaRe topic", {id("Revenue"), id("ReVeNuE"), kw(K::Compare), id("topic")}},
      // Non-breaking, ideographic and other Unicode spaces split words.
      {"SHOW\xC2\xA0v\xE3\x80\x80" "AT\xE2\x80\xA8x\xC2\x85y", {kw(K::Show), id("v"), kw(K::At), id("x"), id("y")}},
      // A zero-width space is no white space; only ASCII letters fold.
      {"a\xE2\x80\x8B" "b stra\xC3\x9F" "e", {id("a\xE2\x80\x8B" "b"), id("stra\xC3\x9F" "e")}},
      {"\xC3\xA9tats \xE3\x80\x80;", {id("\xC3\xA9tats")}},
  };
  for (const auto& c : cases) {
    auto got = tokenize(c.text);
    ASSERT_TRUE(got.ok()) << c.text << ": " << got.error().full_text();
    std::vector<Token> want = c.tokens;
    want.push_back(kEof);
    EXPECT_EQ(*got, want) << c.text;
  }
}

// Every keyword's spelling, in the order of the keyword kinds.
constexpr const char* kKeywordSpellings[] = {
    "COMPARE", "BETWEEN", "AND", "EXPLAIN", "VS", "TRACK", "FROM", "GRANULARITY", "SHOW", "AT",
    "RANK", "BY", "OVER", "MI", "CMI", "GIVEN", "CORRELATIONS", "LIMIT", "PAIRWISE", "ON",
    "USING", "NEAREST", "STATS", "SCHEMA", "DIMENSIONS", "ENTROPY", "WHERE", "TOP", "BOTTOM",
    "ACROSS", "EXPORT", "AS", "CSV", "JSON",
};
static_assert(std::size(kKeywordSpellings) == kKeywordCount);

TEST(Tokenize, EveryKeywordInAnyCase) {
  for (size_t k = 0; k < kKeywordCount; ++k) {
    std::string word(kKeywordSpellings[k]);
    std::string lower = word;
    for (auto& ch : lower) ch = static_cast<char>(ch - 'A' + 'a');
    for (const std::string& w : {word, lower}) {
      auto got = tokenize(w);
      ASSERT_TRUE(got.ok());
      EXPECT_EQ(*got, (std::vector<Token>{kw(static_cast<K>(k)), kEof})) << w;
    }
  }
}

TEST(Tokenize, DimensionReferenceFailures) {
  const std::pair<const char*, const char*> cases[] = {
      {"SHOW v AT region:", "invalid dimension reference: 'region:'"},
      {":north", "invalid dimension reference: ':north'"},
      {":", "invalid dimension reference: ':'"},
      {"region:,", "invalid dimension reference: 'region:'"},
      {"a:b :c d:", "invalid dimension reference: ':c'"},
  };
  for (const auto& [text, message] : cases) {
    auto got = tokenize(text);
    ASSERT_FALSE(got.ok()) << text;
    EXPECT_EQ(got.error().full_text(), message);
  }
  auto bad = tokenize("STATS \xFF");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().full_text(), "query text is not valid UTF-8");
}

TEST(TokenDiagnostic, KindNamesAndQuotedPayloads) {
  EXPECT_EQ(token_diagnostic(kw(K::Compare)), "Compare");
  EXPECT_EQ(token_diagnostic(kw(K::Dimensions)), "Dimensions");
  EXPECT_EQ(token_diagnostic(kw(K::Comma)), "Comma");
  EXPECT_EQ(token_diagnostic(kw(K::Semicolon)), "Semicolon");
  EXPECT_EQ(token_diagnostic(kEof), "Eof");
  EXPECT_EQ(token_diagnostic(num(5)), "Number(5)");
  EXPECT_EQ(token_diagnostic(id("revenue")), "Ident(\"revenue\")");
  EXPECT_EQ(token_diagnostic(dr("region", "north")), "DimRef(\"region\", \"north\")");

  const std::pair<std::string, std::string> quoted[] = {
      {"it's", "\"it's\""},
      {"a\"b\\c", "\"a\\\"b\\\\c\""},
      {std::string("a\0b", 3), "\"a\\0b\""},
      {"\x01\x7f", "\"\\u{1}\\u{7f}\""},
      {"caf\xC3\xA9 \xE6\x97\xA5", "\"caf\xC3\xA9 \xE6\x97\xA5\""},  // letters stay
      {"e\xCC\x81", "\"e\\u{301}\""},                                // combining acute
      {"\xE2\x80\x8B", "\"\\u{200b}\""},                             // format character
      {"\xEF\xBB\xBF", "\"\\u{feff}\""},
      {"\xCD\xB8", "\"\\u{378}\""},                                  // unassigned
      {"\xEE\x80\x80", "\"\\u{e000}\""},                             // private use
      {"\xE2\x80\x8D", "\"\\u{200d}\""},                             // zero-width joiner
      {"\xF0\x9F\x98\x80", "\"\xF0\x9F\x98\x80\""},                  // emoji stays
  };
  for (const auto& [text, want] : quoted) EXPECT_EQ(quote_for_diagnostic(text), want) << want;
}

}  // namespace
}  // namespace quor::sql
