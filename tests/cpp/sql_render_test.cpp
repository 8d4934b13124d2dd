#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quor/sql/query_result.h"

namespace quor::sql {
namespace {

const std::string kRule = "\xE2\x94\x80";
std::string rule(size_t n) {
  std::string s;
  for (size_t i = 0; i < n; ++i) s += kRule;
  return s;
}

TEST(AlignedTable, PadsToByteWidthWithCharacterFill) {
  QueryResult r{{"Metric", "Value"}, {{"JSD", "0.1"}}};
  EXPECT_EQ(format_query_result(r),
            "Metric  Value\n" + rule(6) + "  " + rule(5) + "\nJSD     0.1  \n");

  // A multi-byte title: width counts bytes, fill counts characters.
  QueryResult v{{"Cram\xC3\xA9r's V", "x"}, {{"12345678901", "1"}}};
  EXPECT_EQ(format_query_result(v), "Cram\xC3\xA9r's V   x\n" + rule(11) + "  " + rule(1) +
                                        "\n12345678901  1\n");

  QueryResult c{{"Category/Bin", "Count / Prob"}, {{"abcdefghijklmnopqrst", "1"}}};
  std::string text = format_query_result(c);
  EXPECT_EQ(text.substr(0, text.find('\n')), "Category/Bin" + std::string(8, ' ') + "  Count / Prob");
}

TEST(AlignedTable, ShapesOtherThanTheHeader) {
  EXPECT_EQ(format_query_result({{}, {{}, {}}}), "");
  // Extra cells are not shown, short rows end early, empty columns get no rule.
  QueryResult r{{"a", ""}, {{"x", "", "extra"}, {"y"}}};
  EXPECT_EQ(format_query_result(r), "a  \n" + rule(1) + "  \nx  \ny\n");
}

TEST(AlignedTable, HugeColumnsAreWrittenWithoutFill) {
  std::string big(70000, 'z');
  QueryResult r{{"Export"}, {{big}, {"short"}}};
  std::string text = format_query_result(r);
  EXPECT_NE(text.find("\nshort\n"), std::string::npos);
  EXPECT_NE(text.find("\n" + big + "\n"), std::string::npos);
}

TEST(Csv, QuotingRules) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"}, {"", ""},       {"a,b", "\"a,b\""},     {"\"", "\"\"\"\""},
      {"x\ny", "\"x\ny\""}, {"\r", "\r"}, {"say \"hi\"", "\"say \"\"hi\"\"\""},
  };
  for (const auto& [cell, field] : cases) EXPECT_EQ(csv_quote_field(cell), field) << cell;

  EXPECT_EQ(query_result_to_csv({{}, {{}, {}}}), "\n\n\n");
  EXPECT_EQ(query_result_to_csv({{"a", "b"}, {{"1", "2", "3"}, {"x,y"}}}), "a,b\n1,2,3\n\"x,y\"\n");
  // A rendered CSV as one cell is enclosed again.
  std::string inner = query_result_to_csv({{"c"}, {{"l1\nl2"}}});
  EXPECT_EQ(inner, "c\n\"l1\nl2\"\n");
  EXPECT_EQ(query_result_to_csv({{"Export"}, {{inner}}}), "Export\n\"c\n\"\"l1\nl2\"\"\n\"\n");
}

TEST(Json, ObjectsPerRow) {
  EXPECT_EQ(query_result_to_json({{"Metric", "Value"}, {{"JSD", "0.1"}, {"PSI", "0.2"}}}),
            "[\n  {\"Metric\": \"JSD\", \"Value\": \"0.1\"},\n"
            "  {\"Metric\": \"PSI\", \"Value\": \"0.2\"}\n]");
  EXPECT_EQ(query_result_to_json({{"a"}, {}}), "[\n]");
  EXPECT_EQ(query_result_to_json({{}, {{}, {}}}), "[\n  {},\n  {}\n]");
  EXPECT_EQ(query_result_to_json({{"a", "b"}, {{"1", "2", "3"}}}),
            "[\n  {\"a\": \"1\", \"b\": \"2\", \"\": \"3\"}\n]");
}

// The rows' one-buffer form against the vectors of strings it stands for:
// tables with empty rows, empty cells and multi-byte text, built whole and
// cell by cell, compared both ways and converted back.
TEST(TextRows, ReadLikeVectorsOfStrings) {
  using Table = std::vector<std::vector<std::string>>;
  const Table tables[] = {
      {},
      {{}},
      {{""}, {}, {"", ""}},
      {{"Value A", "Value B", "JSD"}, {"r0001", "r0002", "0.012345"}, {"\xC3\xA9t\xC3\xA9", "x"}},
      {{std::string(70000, 'z')}, {"short"}},
  };
  for (const Table& t : tables) {
    const TextRows whole(t);
    TextRows by_cell;
    for (const auto& row : t) {
      by_cell.start_row();
      for (const auto& cell : row) by_cell.add_cell(cell);
    }
    EXPECT_EQ(whole, t);
    EXPECT_EQ(t, whole);
    EXPECT_EQ(by_cell, whole);
    EXPECT_EQ(Table(whole), t);
    ASSERT_EQ(whole.size(), t.size());
    for (size_t i = 0; i < t.size(); ++i) {
      ASSERT_EQ(whole[i].size(), t[i].size());
      EXPECT_EQ(whole[i], t[i]);
      EXPECT_EQ(std::vector<std::string>(whole[i]), t[i]);
      size_t j = 0;
      for (const auto cell : whole[i]) EXPECT_EQ(cell, t[i][j++]);
      EXPECT_EQ(j, t[i].size());
    }
  }
  // The same bytes split into other cells, or into other rows, differ.
  EXPECT_NE(TextRows({{"ab", ""}}), TextRows({{"a", "b"}}));
  EXPECT_NE(TextRows({{"a"}, {"b"}}), TextRows({{"a", "b"}}));
  EXPECT_NE(TextRows({{"a"}, {}}), TextRows({{"a"}}));
  EXPECT_FALSE(TextRows({{"a", "b"}}) == (Table{{"a", "bc"}}));
  // A cell reads as a string.
  const TextRows rows{{"x", "1.5"}};
  const std::string text = rows[0][1];
  EXPECT_EQ(text, "1.5");
  EXPECT_EQ(rows[0][1], text);
  EXPECT_EQ(::testing::PrintToString(rows[0][0]), "\"x\"");
}

TEST(Json, EscapesOnlyFiveCharacters) {
  EXPECT_EQ(json_escape("\\n"), "\\\\n");
  EXPECT_EQ(json_escape("\t\r\n\""), "\\t\\r\\n\\\"");
  EXPECT_EQ(json_escape("\x01 \xC3\xA9"), "\x01 \xC3\xA9");
}

}  // namespace
}  // namespace quor::sql
