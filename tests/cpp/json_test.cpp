#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "quor/util/json.h"
#include "quor/util/json_reader.h"

namespace quor::util {
namespace {

std::string compact(const JsonValue& v) {
  std::string out;
  write_json(out, v);
  return out;
}

std::string error_of(std::string_view text) {
  auto r = parse_json_value(text);
  EXPECT_FALSE(r.ok()) << text;
  return r.ok() ? "" : r.error().full_text();
}

std::string double_text(double v) {
  std::string out;
  write_json_double(out, v);
  return out;
}

TEST(JsonValueParse, ShapesAndNumberKinds) {
  auto v = parse_json_value(
      " {\"b\":[1,-2,2.5,1e2,18446744073709551616,-9223372036854775808,-0,true,null],"
      "\"a\":\"x\\u00e9\\ud83d\\ude00\\n\"} \r\n");
  ASSERT_TRUE(v.ok()) << v.error().full_text();
  const JsonObject& obj = *v->as_object();
  ASSERT_EQ(obj.size(), 2u);
  EXPECT_EQ(obj.begin()->first, "a");  // members in byte order
  EXPECT_EQ(*obj.at("a").as_string(), "x\xc3\xa9\xf0\x9f\x98\x80\n");
  const JsonArray& arr = *obj.at("b").as_array();
  EXPECT_EQ(*arr[0].as_number(), JsonNumber::pos_int(1));
  EXPECT_EQ(*arr[1].as_number(), JsonNumber::neg_int(-2));
  EXPECT_EQ(*arr[2].as_number(), JsonNumber::from_double(2.5));
  EXPECT_EQ(*arr[3].as_number(), JsonNumber::from_double(100.0));  // exponent: a float
  EXPECT_EQ(*arr[4].as_number(), JsonNumber::from_double(18446744073709551616.0));
  EXPECT_EQ(*arr[5].as_number(), JsonNumber::neg_int(std::numeric_limits<int64_t>::min()));
  ASSERT_EQ(arr[6].as_number()->kind, JsonNumber::Kind::Float);
  EXPECT_TRUE(std::signbit(arr[6].as_number()->f));
  EXPECT_EQ(*arr[7].as_bool(), true);
  EXPECT_TRUE(arr[8].is_null());
  EXPECT_EQ(*parse_json_value("\"\\/\\b\\f\\r\\t\\\\\"")->as_string(), "/\b\f\r\t\\");
}

TEST(JsonValueParse, RepeatedMemberKeepsLaterValueAndTinyFloatIsZero) {
  auto v = parse_json_value("{\"k\":1,\"k\":2}");
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(*v->as_object()->at("k").as_number(), JsonNumber::pos_int(2));
  auto tiny = parse_json_value("-1e-400");
  ASSERT_TRUE(tiny.ok());
  EXPECT_EQ(tiny->as_number()->f, 0.0);
  EXPECT_TRUE(std::signbit(tiny->as_number()->f));
  auto denormal = parse_json_value("5e-324");
  ASSERT_TRUE(denormal.ok());
  EXPECT_EQ(denormal->as_number()->f, 5e-324);
}

// Skipping a value (unknown members of a stored record) walks strings
// with every escape, nested containers and numbers, and stops right after
// the value; broken values fail as the parse does.
TEST(JsonSkipValue, StopsAfterTheValueAndFailsOnBrokenOnes) {
  const std::vector<std::pair<std::string, std::string>> skipped = {
      {R"("a\"b\\c\/\b\f\n\r\t\u00e9\ud83d\ude00")", ""},
      {R"( {"k": ["x\"]", {"y": null}, -1.5e3, true, false], "z": {}} )", " "},
      {R"([1, "]", "}"], 7)", ", 7"},
      {"\"\xff\\u0041\" tail", " tail"},  // invalid UTF-8 is skipped too
      {"[1e400, -1e-400, [\"\xc3\"]]!", "!"},  // numbers are checked for form only
  };
  for (const auto& [text, rest] : skipped) {
    JsonReader r(text);
    ASSERT_TRUE(r.skip_value()) << text << ": " << r.take_error().full_text();
    EXPECT_EQ(std::string(text.substr(r.pos())), rest) << text;
  }
  const std::vector<std::pair<std::string, std::string>> broken = {
      {R"("a\qb")", "invalid escape"},
      {R"("\u12zz")", "invalid escape"},
      {R"("\u12")", "EOF while parsing a string"},  // fewer than four bytes left
      {R"("abc)", "EOF while parsing a string"},
      {"\"a\x01b\"", "control character"},
      {R"([1, 2)", "EOF while parsing a list"},
      {R"({"a": 1,})", "trailing comma"},
      {R"([1 2])", "expected `,` or `]`"},
      {R"([1, -])", "invalid number"},
      {R"([nul])", "expected ident"},
      {"", "EOF while parsing a value"},
      {R"([1, ?])", "expected value"},
  };
  for (const auto& [text, message] : broken) {
    JsonReader r(text);
    EXPECT_FALSE(r.skip_value()) << text;
    EXPECT_EQ(r.take_error().full_text().rfind(message, 0), 0u)
        << text << ": " << r.take_error().full_text();
  }
}

TEST(JsonValueParse, ErrorMessagesCarryLineAndColumn) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"x", "expected value at line 1 column 1"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1,\n2", "EOF while parsing a list at line 2 column 1"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"nul1", "expected ident at line 1 column 4"},
      {"01", "invalid number at line 1 column 2"},
      {"-x", "invalid number at line 1 column 2"},
      {"1e+x", "invalid number at line 1 column 4"},
      {"1E-", "EOF while parsing a value at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 3"},
      {"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
      {"{\"a\"", "EOF while parsing an object at line 1 column 4"},
      {"1e999", "number out of range at line 1 column 5"},
      {"\"\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\ud800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"\"\\udc00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 "
                   "column 3"},
      {"\"\xff\"", "invalid unicode code point at line 1 column 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.message) << c.text;
}

// A list of a fixed length, read as the typed record readers read one (two
// elements, then the end): what may stand in place of its ']'.
TEST(JsonReader, FixedLengthListEnds) {
  struct Case {
    const char* text;
    const char* message;  // empty: read whole
  };
  const Case cases[] = {
      {"[1,2]", ""},
      {"[1, 2 ]", ""},
      {"[1,2,]", "trailing comma at line 1 column 6"},
      {"[1,2,3]", "trailing characters at line 1 column 6"},
      {"[1,2 3]", "trailing characters at line 1 column 6"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
  };
  for (const auto& c : cases) {
    JsonReader r(c.text);
    r.bump();
    bool first = true;
    bool ok = true;
    for (int i = 0; i < 2 && ok; ++i) {
      JsonNumber n;
      ok = r.seq_next(first) == 1 && r.read_number(n);
    }
    ok = ok && r.seq_end();
    EXPECT_EQ(ok ? "" : r.take_error().full_text(), c.message) << c.text;
  }
}

TEST(JsonValueParse, NestingBudgetAllowsExactly127Levels) {
  std::string ok(127, '[');
  ok += std::string(127, ']');
  EXPECT_TRUE(parse_json_value(ok).ok());
  std::string deep(128, '[');
  deep += std::string(128, ']');
  EXPECT_EQ(error_of(deep), "recursion limit exceeded at line 1 column 128");
  // A hostile depth fails cleanly instead of exhausting the stack.
  EXPECT_NE(error_of(std::string(100000, '[')).find("recursion limit exceeded"),
            std::string::npos);
}

TEST(JsonWriter, FloatLayout) {
  struct Case {
    double v;
    const char* text;
  };
  const Case cases[] = {
      {0.0, "0.0"},         {-0.0, "-0.0"},        {1.0, "1.0"},        {0.5, "0.5"},
      {0.00001, "0.00001"}, {1e-6, "1e-6"},        {1e16, "1e+16"},     {250.75, "250.75"},
      {1e15, "1000000000000000.0"},                {100.0, "100.0"},    {0.00012, "0.00012"},
      {12.5, "12.5"},       {2.5e20, "2.5e+20"},   {1.5e-7, "1.5e-7"},  {5e-324, "5e-324"},
      {-2.0, "-2.0"},       {0.1 + 0.2, "0.30000000000000004"},
      {std::numeric_limits<double>::infinity(), "null"},
      {std::nan(""), "null"},
  };
  for (const auto& c : cases) EXPECT_EQ(double_text(c.v), c.text);
}

TEST(JsonWriter, NumbersIntegersPlainFloatsShortestWithPointOrExponent) {
  const std::vector<std::pair<JsonNumber, std::string>> cases = {
      {JsonNumber::pos_int(2019), "2019"}, {JsonNumber::neg_int(-7), "-7"},
      {JsonNumber::from_double(2019.0), "2019.0"}, {JsonNumber::from_double(0.0), "0.0"},
      {JsonNumber::from_double(-0.0), "-0.0"},   {JsonNumber::from_double(0.5), "0.5"},
      {JsonNumber::from_double(0.00001), "0.00001"}, {JsonNumber::from_double(1e-6), "1e-6"},
      {JsonNumber::from_double(1e15), "1000000000000000.0"}, {JsonNumber::from_double(1e16), "1e+16"},
      {JsonNumber::from_double(2.5e20), "2.5e+20"}, {JsonNumber::from_double(250.75), "250.75"},
      {JsonNumber::from_double(5e-324), "5e-324"}, {JsonNumber::from_double(0.1 + 0.2), "0.30000000000000004"},
      {JsonNumber::from_double(NAN), "null"},
  };
  for (const auto& [n, text] : cases) {
    std::string out;
    write_json_number(out, n);
    EXPECT_EQ(out, text) << text;
  }
}

TEST(JsonWriter, StringsEscapeOnlyQuotesBackslashesAndControls) {
  // Escaped bytes at every offset of short texts and of long ones, past the
  // eight-byte skips.
  for (size_t len = 1; len <= 20; ++len) {
    for (size_t at = 0; at < len; ++at) {
      for (char marked : {'"', '\\', '\n', '\x01', '\x1f', '\x7f'}) {
        std::string text(len, 'a');
        text[at] = marked;
        std::string want = "\"" + std::string(at, 'a');
        switch (marked) {
          case '"': want += "\\\""; break;
          case '\\': want += "\\\\"; break;
          case '\n': want += "\\n"; break;
          case '\x01': want += "\\u0001"; break;
          case '\x1f': want += "\\u001f"; break;
          default: want += marked;
        }
        want += std::string(len - 1 - at, 'a') + "\"";
        std::string out = "x";
        write_json_string(out, text);
        EXPECT_EQ(out, "x" + want) << len << " " << at << " " << int(marked);
        // Plain exactly when the writer copies the text as it stands.
        EXPECT_EQ(json_text_is_plain(text), want == "\"" + text + "\"") << len << " " << at;
      }
      EXPECT_TRUE(json_text_is_plain(std::string(len, 'a') + "\xC3\xA9"));
    }
  }
  EXPECT_TRUE(json_text_is_plain(""));
  std::string out;
  write_json_string(out, "\xC3\xA9\b\f\r\t");
  EXPECT_EQ(out, "\"\xC3\xA9\\b\\f\\r\\t\"");
  // Texts too short for a whole word, the empty one included.
  const std::pair<std::string_view, std::string_view> shorts[] = {
      {"", "\"\""}, {"\xC3\xA9", "\"\xC3\xA9\""}, {"a\"b", "\"a\\\"b\""}, {"ab\x1f", "\"ab\\u001f\""}};
  for (const auto& [text, want] : shorts) {
    out.clear();
    write_json_string(out, text);
    EXPECT_EQ(out, want);
  }
}

TEST(JsonWriter, FloatTextReadsBackExactly) {
  const double values[] = {1.0 / 3.0, 123456789.123, 1e300, 2.2250738585072014e-308,
                           4.9406564584124654e-324, 9007199254740993.0, 1e21, 6.02214076e23};
  for (double v : values) {
    auto r = parse_json_value(double_text(v));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r->as_number()->f, v) << double_text(v);
  }
}

TEST(JsonWriter, CompactSortedAndEscaped) {
  JsonObject inner;
  inner.emplace("b", JsonValue(JsonNumber::pos_int(1)));
  inner.emplace("a", JsonValue("x"));
  JsonObject outer;
  outer.emplace("s", JsonValue(std::string("q\"b\\t\tn\n\x01\x1f\x7f\xc3\xa9")));
  outer.emplace("o", JsonValue(std::move(inner)));
  outer.emplace("l", JsonValue(JsonArray{JsonValue(JsonNumber::neg_int(-3)), JsonValue(nullptr),
                                         JsonValue(false),
                                         JsonValue(JsonNumber::from_double(NAN))}));
  EXPECT_EQ(compact(JsonValue(std::move(outer))),
            "{\"l\":[-3,null,false,null],\"o\":{\"a\":\"x\",\"b\":1},"
            "\"s\":\"q\\\"b\\\\t\\tn\\n\\u0001\\u001f\x7f\xc3\xa9\"}");
  std::string s;
  write_json_string(s, "\b\f\r");
  EXPECT_EQ(s, "\"\\b\\f\\r\"");
}

TEST(JsonWriter, ParseOfWrittenTextIsIdentity) {
  const char* text =
      "{\"a\":[1,-1,1.5,\"\\u0000\\\"\",{\"z\":{}},[]],\"b\":18446744073709551615,\"c\":true}";
  auto v = parse_json_value(text);
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(compact(*v), text);
}

}  // namespace
}  // namespace quor::util
