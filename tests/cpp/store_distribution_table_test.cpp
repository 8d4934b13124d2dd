// The lean table against the stored records it stands for: the records it
// gives back, the bytes they encode to (whole and in parts), the index in
// both of its forms, and the lookups of both forms against each other.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include "quor/store/binary_codec.h"
#include "quor/store/database.h"
#include "quor/store/dim_key.h"
#include "quor/store/encoding_digest.h"

namespace quor::store {
namespace {

// Irregular records as a file may hold them: both kinds, categoricals with
// different lists, keys with and without dimensions, raw ranges, NaN and
// negative zero, repeated and out-of-order ids; `odd` adds texts with ':',
// '/' and '|' and one identity stored twice.
model::DistributionFile irregular_file(uint64_t seed, bool odd) {
  std::mt19937_64 rng(seed);
  model::DistributionFile file;
  const std::vector<std::vector<std::string>> lists = {{"a", "b"}, {"a", "b", "c"}, {"x"}};
  uint64_t id = 10;
  for (int i = 0; i < 300; ++i) {
    model::DistributionObject d;
    d.id = id;
    id += rng() % 5 == 0 ? 0 : 1 + rng() % 3;
    d.variable = "v" + std::to_string(rng() % 3);
    if (rng() % 4) d.dimension_key["region"] = "r" + std::to_string(rng() % 40);
    if (rng() % 3) d.dimension_key["day"] = "2024-01-" + std::to_string(10 + rng() % 20);
    if (rng() % 5 == 0) d.dimension_key["Z"] = "";
    d.dimension_key["n"] = std::to_string(i);  // one identity each
    if (odd && i % 50 == 7) d.dimension_key["region"] = "a/b:c|d";
    if (rng() % 2) {
      model::HistogramRepr h{-1.5, 2.0 + static_cast<double>(i), std::vector<uint64_t>(rng() % 6), 0};
      for (auto& c : h.bin_counts) h.total_count += (c = rng() % 100);
      h.total_count += rng() % 3;
      d.repr = std::move(h);
    } else {
      const auto& cats = lists[rng() % lists.size()];
      model::CategoricalRepr c{cats, std::vector<uint64_t>(cats.size() + rng() % 2), rng() % 4, 0};
      c.total_count = c.unknown_count;
      for (auto& n : c.counts) c.total_count += (n = rng() % 50);
      d.repr = std::move(c);
    }
    d.sample_count = rng() % 1000;
    d.entropy = i == 3 ? std::numeric_limits<double>::quiet_NaN() : i == 4 ? -0.0 : 0.25 * (rng() % 9);
    d.last_updated = 1700000000 + rng() % 1000;
    d.version = 1 + rng() % 7;
    if (rng() % 10 == 0) d.raw_record_range = {rng() % 100, 100 + rng() % 100};
    file.distributions.push_back(std::move(d));
  }
  if (odd) file.distributions.push_back(file.distributions[17]);  // an identity twice
  model::JointDistributionObject j;
  j.id = 4;
  j.variables = {"v0", "v1"};
  j.repr = model::ContingencyTableRepr{{"a"}, {"b"}, {{3}}, 3};
  file.joints.push_back(j);
  return file;
}

std::string bytes_of_source(const DistributionFileSource& source, size_t group) {
  const DistributionFileParts parts = distribution_file_parts(source, group);
  std::string out, part;
  for (size_t p = 0; p < parts.count(); ++p) {
    encode_distribution_file_part(source, parts, p, distribution_file_part_size(source, parts, p), part);
    out += part;
  }
  return out;
}

class TableAgainstRecords : public ::testing::TestWithParam<std::tuple<uint64_t, bool>> {};

TEST_P(TableAgainstRecords, RecordsBytesAndIndexAreTheStoredOnes) {
  const auto [seed, odd] = GetParam();
  const model::DistributionFile file = irregular_file(seed, odd);
  Database db;
  db.load_records(file);
  EXPECT_EQ(db.distributions.text_indexed(), odd);
  const model::DistributionFile back = db.records();
  ASSERT_EQ(back.distributions.size(), file.distributions.size());
  // Bit for bit, NaN included: compared through the encoding.
  const std::string want = encode_stored_record(file);
  EXPECT_EQ(encode_stored_record(back), want);
  const DistributionFileSource source = db.record_source();
  EXPECT_EQ(stored_record_size(source), want.size());
  std::string streamed;
  encode_stored_record_to(source, [&](std::string_view piece) { streamed += piece; });
  EXPECT_EQ(streamed, want);
  for (size_t group : {1, 7, 256, 100000}) EXPECT_EQ(bytes_of_source(source, group), want) << group;

  // The index as the stored form builds it, entry order included.
  const model::DistIndex rebuilt = rebuild_dist_index(file.distributions);
  EXPECT_EQ(encode_stored_record(db.index_record()), encode_stored_record(rebuilt));
  EXPECT_EQ(db.distributions.index_size(), rebuilt.by_key.size());
  const DistIndexSource index = db.distributions.index_source();
  std::string index_bytes;
  encode_stored_record_to(index, [&](std::string_view piece) { index_bytes += piece; });
  EXPECT_EQ(index_bytes, encode_stored_record(rebuilt));
  EXPECT_EQ(stored_record_size(index), index_bytes.size());
  EXPECT_EQ(encoding_digest(index), encoding_digest(rebuilt));
  EXPECT_TRUE(index_entries_digest(index) == index_entries_digest(rebuilt));
}

// Lookups through the integer index and through the text index agree with
// the stored index on every stored identity and on maps no distribution has
// (texts with separators that rebuild a stored key text included).
TEST_P(TableAgainstRecords, IntegerAndTextIndexAnswerAlike) {
  const auto [seed, odd] = GetParam();
  const model::DistributionFile file = irregular_file(seed, odd);
  const model::DistIndex stored = rebuild_dist_index(file.distributions);
  Database by_numbers, by_text;
  by_numbers.load_records(file);
  by_text.load_records(file);
  by_text.distributions.use_text_index();
  std::vector<std::pair<std::string, model::DimensionMap>> asked;
  for (const auto& d : file.distributions) asked.emplace_back(d.variable, d.dimension_key);
  asked.push_back({"v0", {}});
  asked.push_back({"v9", {{"n", "1"}}});
  asked.push_back({"v1", {{"n", "1/region:r1"}}});
  asked.push_back({"v1|n:1", {}});
  for (const auto& d : file.distributions) {
    if (d.dimension_key.size() < 2) continue;
    // The key text of d, rebuilt from one entry holding the rest.
    auto first = *d.dimension_key.begin();
    std::string rest = first.second;
    for (auto it = std::next(d.dimension_key.begin()); it != d.dimension_key.end(); ++it)
      rest += "/" + it->first + ":" + it->second;
    asked.push_back({d.variable, {{first.first, rest}}});
    if (asked.size() > 400) break;
  }
  for (const auto& [variable, map] : asked) {
    const auto want = index_lookup(stored, variable, map);
    EXPECT_EQ(by_numbers.index_lookup(variable, map), want) << index_key(variable, map);
    EXPECT_EQ(by_text.index_lookup(variable, map), want) << index_key(variable, map);
  }
  // Creating through either keeps them alike, and like the stored form.
  for (int i = 0; i < 50; ++i) {
    by_numbers.meta.schema.variables = {{"v0", model::ContinuousType{3, std::nullopt}}};
    by_text.meta.schema.variables = by_numbers.meta.schema.variables;
    const model::DimensionMap map{{"region", "r" + std::to_string(i)}, {"n", std::to_string(i % 7)}};
    EXPECT_EQ(*by_numbers.ensure_distribution("v0", map), *by_text.ensure_distribution("v0", map));
  }
  // Compared through the encoding (NaN entropies), creation times set aside.
  for (Database* db : {&by_numbers, &by_text})
    for (Position p = static_cast<Position>(file.distributions.size()); p < db->distributions.size(); ++p)
      db->distributions.row(p).last_updated = 0;
  EXPECT_EQ(encode_stored_record(by_numbers.records()), encode_stored_record(by_text.records()));
  EXPECT_EQ(encode_stored_record(by_numbers.index_record()), encode_stored_record(by_text.index_record()));
}

INSTANTIATE_TEST_SUITE_P(Seeds, TableAgainstRecords,
                         ::testing::Combine(::testing::Values(1, 2, 3), ::testing::Bool()));

// A text with a separator switches a table with the integer index to the
// text index; what it finds stays the same.
TEST(DistributionTable, ASeparatorInAStoredTextKeepsTheIndexAsText) {
  Database db;
  db.writable = true;
  db.meta.schema.variables = {{"x", model::ContinuousType{2, std::nullopt}}};
  ASSERT_EQ(*db.ensure_distribution("x", {{"a", "1"}, {"b", "2"}}), 1u);
  EXPECT_FALSE(db.distributions.text_indexed());
  // The same key text as {a: 1, b: 2}: found, nothing created.
  EXPECT_EQ(*db.ensure_distribution("x", {{"a", "1/b:2"}}), 1u);
  EXPECT_FALSE(db.distributions.text_indexed());
  ASSERT_EQ(*db.ensure_distribution("x", {{"a", "3/b:4"}}), 2u);
  EXPECT_TRUE(db.distributions.text_indexed());
  EXPECT_EQ(*db.ensure_distribution("x", {{"a", "3"}, {"b", "4"}}), 2u);
  EXPECT_EQ(*db.ensure_distribution("x", {{"a", "1"}, {"b", "2"}}), 1u);
  EXPECT_EQ(db.distributions.size(), 2u);
  EXPECT_EQ(db.dimension_values("a"), (std::set<std::string>{"1", "3/b:4"}));
}

// Distributions of one variable share one category list, however many.
TEST(DistributionTable, CategoryListsAreShared) {
  Database db;
  db.writable = true;
  db.meta.schema.variables = {{"c", model::CategoricalType{{"p", "q"}, true}}};
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(db.ensure_distribution("c", {{"k", std::to_string(i)}}).ok());
  const uint32_t list = db.distributions.row(0).categories;
  for (Position p = 0; p < 100; ++p) EXPECT_EQ(db.distributions.row(p).categories, list);
  EXPECT_EQ(db.distributions.category_list(list), (std::vector<std::string>{"p", "q"}));
  EXPECT_EQ(db.distribution(99).repr,
            model::DistributionRepr(model::CategoricalRepr{{"p", "q"}, {0, 0}, 0, 0}));
}

}  // namespace
}  // namespace quor::store
