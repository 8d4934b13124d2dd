#include <gtest/gtest.h>

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

#include "quor/ingest/schema_inference.h"
#include "reference/date_bucket.h"

namespace quor::ingest {
namespace {

using reference::bucket_by_granularity;

using model::CategoricalType;
using model::ContinuousType;
using model::DimensionDefinition;
using util::JsonNumber;
using util::JsonValue;

JsonValue num(double d) { return JsonValue(JsonNumber::from_double(d)); }
JsonValue integer(int64_t i) { return JsonValue(JsonNumber::from_int(i)); }

IngestOptions yearly() {
  IngestOptions o;
  o.date_granularity = "yearly";
  return o;
}

// One record per value, all under column `c`.
std::vector<InputRecord> column(const std::string& c, const std::vector<JsonValue>& values) {
  std::vector<InputRecord> out;
  for (const auto& v : values) out.push_back({{c, v}});
  return out;
}

model::Schema infer(const std::vector<InputRecord>& records, const IngestOptions& o = yearly()) {
  return infer_schema(records, std::min<size_t>(records.size(), o.sample_size), o);
}

const ContinuousType& continuous_of(const model::Schema& s) {
  EXPECT_EQ(s.variables.size(), 1u);
  return std::get<ContinuousType>(s.variables.at(0).var_type);
}

TEST(DateLike, NeedsTheShapeAfterTrimming) {
  EXPECT_TRUE(is_date_like("2024-01-05"));
  EXPECT_TRUE(is_date_like("2024/01-05 and more"));
  EXPECT_TRUE(is_date_like("\xE2\x80\x83 2024/01/05\t"));  // em space trimmed
  EXPECT_FALSE(is_date_like("2024-1-05"));
  EXPECT_FALSE(is_date_like("2024.01.05"));
  EXPECT_FALSE(is_date_like("x2024-01-05"));
}

TEST(SchemaInference, ColumnsComeInNameOrderAndByKind) {
  std::vector<InputRecord> records;
  const char* cities[] = {"paris", "rome", "oslo"};
  for (int i = 0; i < 6; ++i)
    records.push_back({{"year", JsonValue(std::to_string(2019 + i % 3))},
                       {"city", JsonValue(cities[i % 3])},
                       {"price", JsonValue(std::to_string(10 + i))}});
  const model::Schema s = infer(records);
  ASSERT_EQ(s.variables.size(), 2u);
  EXPECT_EQ(s.variables[0].name, "city");
  EXPECT_EQ(std::get<CategoricalType>(s.variables[0].var_type),
            (CategoricalType{{"paris", "rome", "oslo"}, true}));
  EXPECT_EQ(s.variables[1].name, "price");
  EXPECT_EQ(std::get<ContinuousType>(s.variables[1].var_type).bins, 20u);
  EXPECT_EQ(s.dimensions, (std::vector<DimensionDefinition>{{"year", "year", "yearly"}}));
  EXPECT_TRUE(s.joints.empty());
}

TEST(SchemaInference, YearLikeNeedsAtMost200DistinctIntegers) {
  std::vector<JsonValue> v200, v201;
  for (int i = 0; i < 200; ++i) v200.push_back(integer(1900 + i));
  v201 = v200;
  v201.push_back(integer(2100));
  EXPECT_EQ(infer(column("y", v200)).dimensions.size(), 1u);
  const auto s = infer(column("y", v201));
  EXPECT_TRUE(s.dimensions.empty());
  EXPECT_EQ(continuous_of(s).range, (model::Range{1900.0, 2100.0 + 0.2}));
  // The text 1900 and the number 1900 are one value; 2019.5 is not integral.
  EXPECT_EQ(infer(column("y", {JsonValue("1900"), integer(1900)})).dimensions.size(), 1u);
  EXPECT_EQ(infer(column("y", {num(2019.5), integer(2020)})).variables.size(), 1u);
}

TEST(SchemaInference, ContinuousRanges) {
  EXPECT_EQ(continuous_of(infer(column("x", {integer(1899), integer(1950)}))).range,
            (model::Range{1899.0, 1950.0 + 0.001 * 51.0}));
  EXPECT_EQ(continuous_of(infer(column("x", {JsonValue("5"), JsonValue("5")}))).range,
            (model::Range{5.0, 6.0}));
  // NaN values count nowhere in the range.
  EXPECT_EQ(continuous_of(infer(column("x", {JsonValue("1.5"), JsonValue("nan"), JsonValue("2.5")}))).range,
            (model::Range{1.5, 2.5 + 0.001}));
  // An infinite value, or only NaN values, make a text column.
  auto inf = infer(column("x", {JsonValue("inf"), JsonValue("1")}));
  EXPECT_EQ(std::get<CategoricalType>(inf.variables.at(0).var_type).categories,
            (std::vector<std::string>{"inf", "1"}));
  EXPECT_TRUE(infer(column("x", {JsonValue("nan")})).variables.at(0).var_type.is_categorical());
}

TEST(SchemaInference, TextColumns) {
  // An empty cell makes a numeric-looking column a text column.
  auto s = infer(column("x", {JsonValue("1"), JsonValue(""), JsonValue("2")}));
  EXPECT_EQ(std::get<CategoricalType>(s.variables.at(0).var_type).categories,
            (std::vector<std::string>{"1", "", "2"}));
  // Exactly max_categories distinct texts stay categorical; one more is a plain dimension.
  IngestOptions o = yearly();
  o.max_categories = 3;
  EXPECT_EQ(infer(column("c", {"a", "b", "c", "a"}), o).variables.size(), 1u);
  EXPECT_EQ(infer(column("c", {"a", "b", "c", "d"}), o).dimensions,
            (std::vector<DimensionDefinition>{{"c", "c", std::nullopt}}));
  // Dates with either separator; one other text spoils it.
  EXPECT_EQ(infer(column("d", {"2024-01-05", "2024/01/06"})).dimensions.at(0).granularity, "yearly");
  EXPECT_EQ(infer(column("d", {"2024-01-05", "soon"})).variables.size(), 1u);
  // Booleans, numbers and nested values as texts; nulls left out.
  auto mixed = infer(column("m", {JsonValue(true), JsonValue(nullptr), JsonValue(false), num(2.0),
                                  JsonValue(util::JsonArray{integer(1), JsonValue("a")})}));
  EXPECT_EQ(std::get<CategoricalType>(mixed.variables.at(0).var_type).categories,
            (std::vector<std::string>{"true", "false", "2.0", "[1,\"a\"]"}));
}

TEST(SchemaInference, NullsDateColumnsAndTheSample) {
  std::vector<InputRecord> records = {{{"n", JsonValue(nullptr)}, {"b", JsonValue("x")}},
                                      {{"n", JsonValue(nullptr)}, {"a", JsonValue("1")}},
                                      {{"late", JsonValue("y")}}};
  IngestOptions o = yearly();
  o.sample_size = 2;
  auto s = infer(records, o);
  // Discovery: b, n from the first record, then a; "late" is beyond the sample; n is all null.
  ASSERT_EQ(s.variables.size(), 2u);
  EXPECT_EQ(s.variables[0].name, "b");
  EXPECT_EQ(s.variables[1].name, "a");
  EXPECT_TRUE(s.dimensions.empty());
  o.date_columns = {"n"};
  o.date_granularity = "monthly";
  s = infer(records, o);
  EXPECT_EQ(s.dimensions, (std::vector<DimensionDefinition>{{"n", "n", "monthly"}}));
}

TEST(DateBuckets, LabelsByGranularity) {
  const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
      {"2024-03-05T10:20:30", "daily", "2024-03-05"},
      {"2024-03-05T10:20:30", "weekly", "2024-W10"},
      {"2024-03-05T10:20:30", "monthly", "2024-03"},
      {"2024-03-05T10:20:30", "yearly", "2024"},
      {"2021-01-03", "weekly", "2020-W53"},
      {"2024-12-30", "weekly", "2025-W01"},
      {"2024-03-05T23:59:59", "daily", "2024-03-05"},
      {"2024-03-31T08:00:00", "monthly", "2024-03"},
      {"2024-02-29", "daily", "2024-02-29"},
      {"0099-01-01", "yearly", "0099"},
      // Years past what a 16-bit calendar year holds; the Gregorian calendar
      // repeats every 400 years, so each matches a familiar year's week.
      {"+40000-01-05", "weekly", "40000-W01"},     // as 2000-01-05
      {"-0400-03-01", "weekly", "-400-W09"},       // as 1600-03-01
      {"+262142-12-31", "weekly", "262143-W01"},   // as 2142-12-31
      {"-262000-01-01", "weekly", "-262001-W52"},  // as 2000-01-01
      {"+40000-02-29", "daily", "+40000-02-29"},
      {"-32800-02-29", "monthly", "-32800-02"},
      {"+40000-12-31T23:59:59", "yearly", "+40000"},
  };
  for (const auto& [value, g, label] : cases)
    EXPECT_EQ(bucket_by_granularity(value, std::optional<std::string>(g)), label) << value << " " << g;
}

// Every day of 1200 years, far past 1970 on both sides, against the standard
// library's calendar (which holds years up to ±32767 only).
TEST(DateBuckets, WeeksAndLeapDaysAgreeWithTheStandardCalendar) {
  using namespace std::chrono;
  const std::optional<std::string> weekly("weekly");
  const std::optional<std::string> daily("daily");
  for (sys_days day = sys_days{year(-601) / December / 20}; day < sys_days{year(601) / January / 10};
       day += days{1}) {
    const year_month_day ymd{day};
    char text[32];
    const int y = static_cast<int>(ymd.year());
    std::snprintf(text, sizeof text, y < 0 ? "%05d-%02u-%02u" : "%04d-%02u-%02u", y,
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    const sys_days thursday = day + days{4 - static_cast<int>(weekday{day}.iso_encoding())};
    const year iso_year = year_month_day{thursday}.year();
    const int week = static_cast<int>((thursday - sys_days{iso_year / January / 1}).count() / 7) + 1;
    char label[32];
    std::snprintf(label, sizeof label, "%d-W%02d", static_cast<int>(iso_year), week);
    ASSERT_EQ(bucket_by_granularity(text, weekly), label) << text;
    ASSERT_EQ(bucket_by_granularity(text, daily), text);
  }
}

TEST(DateBuckets, OtherValuesAndGranularitiesPassThrough) {
  const std::vector<std::string> unchanged = {
      "2024-03-05 10:20:30", "2024-03-05T10:20:30Z", "2024-03-05T10:20:30.5", "2024/03/05",
      "2024-02-30",          "2023-02-29",           "2019",                  "north",
      "2024-03-05T24:00:00", "",                     "2024-03-05T10:20",
      "+40100-02-29",        "-32900-02-29",         "+262143-01-01"};
  for (const auto& v : unchanged)
    for (const char* g : {"daily", "weekly", "monthly", "yearly"})
      EXPECT_EQ(bucket_by_granularity(v, std::optional<std::string>(g)), v) << v << " " << g;
  for (const char* g : {"Monthly", "quarterly", "month", ""})
    EXPECT_EQ(bucket_by_granularity("2024-03-05", std::optional<std::string>(g)), "2024-03-05");
  EXPECT_EQ(bucket_by_granularity("2024-03-05", std::nullopt), "2024-03-05");
}

}  // namespace
}  // namespace quor::ingest
