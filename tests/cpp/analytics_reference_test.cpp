#include <gtest/gtest.h>

#include <cmath>

#include "analytics_fixture.h"
#include "quor/analytics/reference.h"

namespace quor::analytics {
namespace {

using testing_fixture::DbBuilder;

TEST(ParseReference, SegmentsNamesAndValues) {
  struct Case {
    const char* text;
    std::optional<std::string> variable;
    Filter dims;
  } cases[] = {
      {"region:eu/variable:sales", "sales", {{"region", "eu"}}},
      {"region:eu/region:us", std::nullopt, {{"region", "us"}}},
      {"a:b:c", std::nullopt, {{"a", "b:c"}}},
      {"variable:", "", {}},
      {":x", std::nullopt, {{"", "x"}}},
      {"variable:a/variable:b", "b", {}},
      {"Variable:x", std::nullopt, {{"Variable", "x"}}},
      {" region:eu", std::nullopt, {{" region", "eu"}}},
  };
  for (const auto& c : cases) {
    auto r = parse_reference(c.text);
    ASSERT_TRUE(r.ok()) << c.text;
    EXPECT_EQ(r->variable, c.variable) << c.text;
    EXPECT_EQ(r->dimensions, c.dims) << c.text;
  }
}

TEST(ParseReference, Failures) {
  struct Case {
    const char* text;
    const char* message;
  } cases[] = {
      {"", "reference cannot be empty"},
      {"  \t\n", "reference cannot be empty"},
      {"\xe3\x80\x80\xc2\xa0", "reference cannot be empty"},  // ideographic and no-break space
      {"region:eu/", "invalid reference segment ''"},
      {"/region:eu", "invalid reference segment ''"},
      {"a:1//b:2", "invalid reference segment ''"},
      {"region", "invalid reference segment 'region'"},
      {" x ", "invalid reference segment ' x '"},
  };
  for (const auto& c : cases) {
    auto r = parse_reference(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error().full_text(), c.message);
  }
}

TEST(QueryVariable, GivenThenReferencesInOrderThenSchema) {
  DbBuilder b;
  const ParsedReference none{}, names_a{"a", {}}, names_b{"b", {}};
  EXPECT_EQ(query_variable(b.db, std::nullopt, {&none}).error().full_text(),
            "no variable available in schema");
  b.continuous("income").continuous("age");
  const struct {
    std::optional<std::string_view> given;
    std::initializer_list<const ParsedReference*> references;
    const char* want;
  } cases[] = {
      {"x", {&names_a, &names_b}, "x"},
      {"", {&names_a}, ""},  // an empty name given is still given
      {std::nullopt, {&none, &names_b, &names_a}, "b"},
      {std::nullopt, {&names_a, &names_b}, "a"},
      {std::nullopt, {&none, &none}, "income"},
      {std::nullopt, {}, "income"},
  };
  for (const auto& c : cases) EXPECT_EQ(query_variable(b.db, c.given, c.references).value(), c.want);
}

class Resolve : public ::testing::Test {
 protected:
  void SetUp() override {
    b.continuous("income");
    b.categorical("color", {"red", "blue"});
    first = b.hist("income", {{"region", "eu"}, {"year", "2023"}}, {1, 2});
    b.hist("income", {{"region", "eu"}, {"year", "2024"}}, {3, 4});
    b.hist("income", {{"region", "us"}, {"year", "2024"}}, {10, 20});
    b.cat("color", {{"region", "eu"}}, {"red", "blue"}, {1, 2}, 3);
    b.cat("color", {{"region", "eu"}, {"store", "x"}}, {"red", "blue"}, {4, 0}, 1);
  }
  DbBuilder b;
  uint64_t first = 0;
};

TEST_F(Resolve, ExactKeyReturnsTheStoredDistribution) {
  auto r = resolve_distribution(b.db, "income", {{"region", "eu"}, {"year", "2024"}});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, b.db.distribution(1));
  // Exact even though other distributions hold the pair region:eu too.
  r = resolve_distribution(b.db, "color", {{"region", "eu"}});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, b.db.distribution(3));
}

TEST_F(Resolve, SubsetFilterSumsMatchesWithFirstIdentity) {
  b.db.distributions.row(0).version = 7;
  auto r = resolve_distribution(b.db, "income", {{"region", "eu"}});
  ASSERT_TRUE(r.ok());
  const auto& h = std::get<model::HistogramRepr>(r->repr);
  EXPECT_EQ(h.bin_counts, (std::vector<uint64_t>{4, 6}));
  EXPECT_EQ(h.total_count, 10u);
  EXPECT_EQ(r->sample_count, 10u);
  EXPECT_EQ(r->id, first);
  EXPECT_EQ(r->version, 7u);
  EXPECT_EQ(r->dimension_key, (model::DimensionMap{{"region", "eu"}, {"year", "2023"}}));
  EXPECT_DOUBLE_EQ(r->entropy, -(0.4 * std::log2(0.4) + 0.6 * std::log2(0.6)));

  // The empty filter sums every distribution of the variable.
  r = resolve_distribution(b.db, "income", {});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::get<model::HistogramRepr>(r->repr).bin_counts, (std::vector<uint64_t>{14, 26}));
}

TEST_F(Resolve, CategoricalRollUpAddsUnknownIntoTotal) {
  // No distribution is keyed by store:x alone: both matches are summed.
  b.cat("color", {{"region", "us"}, {"store", "x"}}, {"red", "blue"}, {0, 5}, 2);
  auto r = resolve_distribution(b.db, "color", {{"store", "x"}});
  ASSERT_TRUE(r.ok());
  const auto& c = std::get<model::CategoricalRepr>(r->repr);
  EXPECT_EQ(c.counts, (std::vector<uint64_t>{4, 5}));
  EXPECT_EQ(c.unknown_count, 3u);
  EXPECT_EQ(c.total_count, 12u);
  EXPECT_EQ(r->sample_count, 12u);
  EXPECT_DOUBLE_EQ(r->entropy, -(4.0 / 12 * std::log2(4.0 / 12) + 5.0 / 12 * std::log2(5.0 / 12)));
}

TEST_F(Resolve, ShorterMemberAndOtherKindAreHandled) {
  b.hist("income", {{"region", "eu"}, {"year", "2025"}}, {100});  // shorter: adds to bin 0 only
  b.add("income", {{"region", "eu"}, {"year", "2026"}},
        model::CategoricalRepr{{"a"}, {50}, 0, 50});  // other kind: skipped
  auto r = resolve_distribution(b.db, "income", {{"region", "eu"}});
  ASSERT_TRUE(r.ok());
  const auto& h = std::get<model::HistogramRepr>(r->repr);
  EXPECT_EQ(h.bin_counts, (std::vector<uint64_t>{104, 6}));
  EXPECT_EQ(h.total_count, 110u);
}

TEST_F(Resolve, NotFoundMessages) {
  struct Case {
    const char* variable;
    Filter filter;
    const char* message;
  } cases[] = {
      {"income", {{"region", "EU"}},
       "distribution not found for variable 'income' and dimensions {\"region\": \"EU\"}"},
      {"nope", {}, "distribution not found for variable 'nope' and dimensions {}"},
      {"income", {{"a\"b", "c\\d"}, {"region", "eu"}},
       "distribution not found for variable 'income' and dimensions {\"a\\\"b\": \"c\\\\d\", "
       "\"region\": \"eu\"}"},
  };
  for (const auto& c : cases) {
    auto r = resolve_distribution(b.db, c.variable, c.filter);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().full_text(), c.message);
  }
}

TEST_F(Resolve, StaleIndexEntryFallsThroughToTheRollUp) {
  b.db.index_insert("income", {{"region", "us"}}, 999);
  auto r = resolve_distribution(b.db, "income", {{"region", "us"}});
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(std::get<model::HistogramRepr>(r->repr).bin_counts, (std::vector<uint64_t>{10, 20}));
}

}  // namespace
}  // namespace quor::analytics
