#include <gtest/gtest.h>

#include "quor/sql/parser.h"

namespace quor::sql {
namespace {

DimensionPair dp(std::string d, std::string v) { return {std::move(d), std::move(v)}; }

Statement exported(Statement inner, ExportFormat f) { return ExportStatement(std::move(inner), f); }

struct ParseCase {
  std::string text;
  Statement want;
};

TEST(ParseQuery, StatementForms) {
  const std::vector<ParseCase> cases = {
      {"COMPARE v BETWEEN d:a AND d:b", CompareBetweenStatement{"v", dp("d", "a"), dp("d", "b"), {}}},
      {"compare v between region:north and region:south where year:2024 and k:x",
       CompareBetweenStatement{
           "v", dp("region", "north"), dp("region", "south"), {dp("year", "2024"), dp("k", "x")}}},
      {"COMPARE v BETWEEN d:a AND d:b extra words",
       CompareBetweenStatement{"v", dp("d", "a"), dp("d", "b"), {}}},
      {"COMPARE v ACROSS region", CompareAcrossStatement{"v", "region", {}}},
      {"COMPARE v ACROSS region WHERE y:1", CompareAcrossStatement{"v", "region", {dp("y", "1")}}},
      {"EXPLAIN d:a VS d:b", ExplainStatement{dp("d", "a"), dp("d", "b")}},
      {"TRACK v FROM time:2020", TrackStatement{"v", dp("time", "2020"), std::nullopt}},
      {"TRACK v FROM time:2020 GRANULARITY monthly", TrackStatement{"v", dp("time", "2020"), "monthly"}},
      {"SHOW v AT d:a", ShowStatement{"v", dp("d", "a"), {}, std::nullopt, std::nullopt}},
      {"SHOW v AT d:a WHERE y:1 BOTTOM 2", ShowStatement{"v", dp("d", "a"), {dp("y", "1")}, std::nullopt, 2}},
      {"SHOW v AT d:a TOP 5 WHERE y:1", ShowStatement{"v", dp("d", "a"), {}, 5, std::nullopt}},
      {"SHOW v AT d:a TOP 5 BOTTOM 2", ShowStatement{"v", dp("d", "a"), {}, 5, std::nullopt}},
      {"RANK v BY entropy OVER region", RankStatement{"v", "region", {}}},
      {"RANK v BY ENTROPY OVER region WHERE y:1", RankStatement{"v", "region", {dp("y", "1")}}},
      {"MI a, b AT d:x", MiStatement{"a", "b", dp("d", "x")}},
      {"MI a , b AT d:x", MiStatement{"a", "b", dp("d", "x")}},
      {"MI a b AT d:x", MiStatement{"a", "b", dp("d", "x")}},
      {"CMI a, b GIVEN region", CmiStatement{"a", "b", "region"}},
      {"CORRELATIONS", CorrelationsStatement{std::nullopt, 20}},
      {"CORRELATIONS LIMIT 5 OVER region LIMIT 7", CorrelationsStatement{"region", 7}},
      {"CORRELATIONS OVER a OVER b", CorrelationsStatement{"b", 20}},
      {"PAIRWISE region ON income", PairwiseStatement{"region", "income", "jsd"}},
      {"PAIRWISE region ON income USING Hellinger", PairwiseStatement{"region", "income", "Hellinger"}},
      {"NEAREST d:a ON dim", NearestStatement{dp("d", "a"), "dim", "jsd", 3}},
      {"NEAREST d:a ON dim USING psi LIMIT 10 USING hellinger",
       NearestStatement{dp("d", "a"), "dim", "hellinger", 10}},
      {"STATS", StatsStatement{}},
      {"STATS anything at all", StatsStatement{}},
      {"schema;", SchemaStatement{}},
      {"DIMENSIONS", DimensionsStatement{}},
      {"DIMENSIONS region", DimensionsStatement{"region"}},
      {"DIMENSIONS 5", DimensionsStatement{}},
      {"EXPORT STATS AS CSV", exported(StatsStatement{}, ExportFormat::Csv)},
      {"EXPORT SHOW v AT d:a WHERE y:1 AS json",
       exported(ShowStatement{"v", dp("d", "a"), {dp("y", "1")}, std::nullopt, std::nullopt},
                ExportFormat::Json)},
      {"EXPORT EXPORT STATS AS CSV AS JSON",
       exported(exported(StatsStatement{}, ExportFormat::Csv), ExportFormat::Json)},
  };
  for (const auto& c : cases) {
    auto got = parse_query(c.text);
    ASSERT_TRUE(got.ok()) << c.text << ": " << got.error().full_text();
    EXPECT_TRUE(*got == c.want) << c.text << " parsed as kind " << got->index();
  }
}

TEST(ParseQuery, Messages) {
  const std::string kStarts =
      "; expected COMPARE, EXPLAIN, TRACK, SHOW, RANK, MI, CMI, CORRELATIONS, PAIRWISE, NEAREST, "
      "EXPORT, STATS, SCHEMA, or DIMENSIONS";
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty query"},
      {"  ;; ", "empty query"},
      {"hello", "unexpected token Ident(\"hello\")" + kStarts},
      {"AND", "unexpected token And" + kStarts},
      {"d:x", "unexpected token DimRef(\"d\", \"x\")" + kStarts},
      {"42", "unexpected token Number(42)" + kStarts},
      {", STATS", "unexpected token Comma" + kStarts},
      {"COMPARE", "expected identifier, got Eof"},
      {"COMPARE v", "expected BETWEEN or ACROSS after variable, got Eof"},
      {"COMPARE v VS", "expected BETWEEN or ACROSS after variable, got Vs"},
      {"COMPARE v BETWEEN d:a", "expected And, got Eof"},
      {"COMPARE v BETWEEN d:a d:b", "expected And, got DimRef(\"d\", \"b\")"},
      {"COMPARE v BETWEEN x AND d:b", "expected dimension:value, got Ident(\"x\")"},
      {"COMPARE v BETWEEN d:a AND d:b WHERE", "expected dimension:value, got Eof"},
      {"COMPARE v BETWEEN d:a AND d:b WHERE y:1 AND", "expected dimension:value, got Eof"},
      {"COMPARE v ACROSS 5", "expected identifier, got Number(5)"},
      {"EXPLAIN d:a d:b", "expected Vs, got DimRef(\"d\", \"b\")"},
      {"TRACK v time:2020", "expected From, got DimRef(\"time\", \"2020\")"},
      {"TRACK v FROM time:2020 GRANULARITY 7", "expected identifier, got Number(7)"},
      {"SHOW v d:a", "expected At, got DimRef(\"d\", \"a\")"},
      {"SHOW v AT d:a TOP five", "expected number after TOP"},
      {"SHOW v AT d:a BOTTOM", "expected number after BOTTOM"},
      {"SHOW rank AT d:a", "expected identifier, got Rank"},
      {"RANK v ENTROPY", "expected By, got Entropy"},
      {"RANK v BY OVER", "expected Entropy, got Over"},
      {"RANK v BY ENTROPY region", "expected Over, got Ident(\"region\")"},
      {"MI a,b AT d:x", "expected identifier, got At"},
      {"MI a b d:x", "expected At, got DimRef(\"d\", \"x\")"},
      {"CMI a b AT d", "expected Given, got At"},
      {"CORRELATIONS LIMIT x", "expected number after LIMIT"},
      {"PAIRWISE region income", "expected On, got Ident(\"income\")"},
      {"PAIRWISE region ON income USING", "expected identifier, got Eof"},
      {"NEAREST d:a ON dim LIMIT", "expected number after LIMIT"},
      {"NEAREST dim ON x", "expected dimension:value, got Ident(\"dim\")"},
      {"EXPORT STATS", "expected As, got Eof"},
      {"EXPORT STATS extra AS CSV", "expected As, got Ident(\"extra\")"},
      {"EXPORT STATS AS XML", "expected CSV or JSON after AS, got Ident(\"XML\")"},
      {"EXPORT STATS AS", "expected CSV or JSON after AS, got Eof"},
      {"EXPORT", "empty query"},
      {"EXPORT hello AS CSV", "unexpected token Ident(\"hello\")" + kStarts},
      {"SHOW v AT region:", "invalid dimension reference: 'region:'"},
      {"SHOW v AT \"q\\", "expected dimension:value, got Ident(\"\\\"q\\\\\")"},
  };
  for (const auto& [text, message] : cases) {
    auto got = parse_query(text);
    ASSERT_FALSE(got.ok()) << text;
    EXPECT_EQ(got.error().full_text(), message) << text;
  }
}

TEST(ParseQuery, ExportNestingIsBounded) {
  auto nested = [](size_t depth) {
    std::string q;
    for (size_t i = 0; i < depth; ++i) q += "EXPORT ";
    q += "STATS";
    for (size_t i = 0; i < depth; ++i) q += " AS CSV";
    return q;
  };
  EXPECT_TRUE(parse_query(nested(kMaxExportDepth)).ok());
  auto deep = parse_query(nested(kMaxExportDepth + 1));
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().full_text(), "EXPORT nesting is limited to 4 levels");
  // A hostile depth fails the same way without deep recursion.
  std::string hostile;
  for (int i = 0; i < 200000; ++i) hostile += "EXPORT ";
  EXPECT_FALSE(parse_query(hostile).ok());
}

TEST(Parser, ReadingPastTheEndYieldsEof) {
  Parser p({});
  EXPECT_EQ(p.peek().kind, TokenKind::Eof);
  EXPECT_EQ(p.next().kind, TokenKind::Eof);
  EXPECT_EQ(p.next().kind, TokenKind::Eof);
  auto s = parse_statement(p);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().full_text(), "empty query");
}

}  // namespace
}  // namespace quor::sql
