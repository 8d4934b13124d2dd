// The searches that answer from the store's lookups (ids, postings, joints
// by identity) against plain scans of the stored lists from the front, the
// oracles: same distributions, same order, same sums and cache stamps,
// same floating-point bits. The fixtures are irregular on purpose: ids that
// start far from 1, gaps, repeated ids, repeated keys, an index entry naming
// a missing id, mixed kinds in one variable, joints stored in both orders and
// twice, and key texts that collide.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <tuple>

#include "analytics_plain_scans.h"
#include "quor/analytics/compare.h"
#include "quor/analytics/correlations.h"
#include "quor/analytics/explain.h"
#include "quor/analytics/mutual_info.h"
#include "quor/analytics/reference.h"
#include "quor/analytics/track.h"
#include "quor/math/measures.h"
#include "quor/util/total_order.h"
#include "quor/store/database.h"
#include "quor/store/dim_key.h"
#include "quor/store/engine_error.h"
#include "reference/database_counts.h"

namespace quor::analytics {
namespace {

using reference::has_dimension_value;

using store::Database;
using model::DimensionMap;
using model::DistributionObject;
using model::JointDistributionObject;
using namespace plain_scans;

// ---- bitwise comparison ----

using util::same_bits;

void expect_same_side(const Result<ResolvedSide>& got, const Result<ResolvedSide>& want,
                      const std::string& what) {
  ASSERT_EQ(got.ok(), want.ok()) << what;
  if (!got.ok()) {
    EXPECT_EQ(got.error().full_text(), want.error().full_text()) << what;
    return;
  }
  // The same stored distribution: its record, id included.
  ASSERT_EQ(got->first == nullptr, want->first == nullptr) << what;
  if (got->first != nullptr) {
    EXPECT_EQ(*got->first, *want->first) << what;
  }
  EXPECT_EQ(got->summed, want->summed) << what;
  EXPECT_EQ(got->more, want->more) << what;
  EXPECT_EQ(got->rolled_up, want->rolled_up) << what;
  EXPECT_EQ(got->cacheable, want->cacheable) << what;
}

void expect_same_track(const Result<TrackResult>& got, const Result<TrackResult>& want,
                       const std::string& what) {
  ASSERT_EQ(got.ok(), want.ok()) << what;
  if (!got.ok()) {
    EXPECT_EQ(got.error().full_text(), want.error().full_text()) << what;
    return;
  }
  EXPECT_EQ(got->time_labels, want->time_labels) << what;
  ASSERT_EQ(got->entropies.size(), want->entropies.size()) << what;
  for (size_t i = 0; i < got->entropies.size(); ++i)
    EXPECT_TRUE(same_bits(got->entropies[i], want->entropies[i])) << what;
  ASSERT_EQ(got->drifts.size(), want->drifts.size()) << what;
  for (size_t i = 0; i < got->drifts.size(); ++i)
    EXPECT_TRUE(same_bits(got->drifts[i], want->drifts[i])) << what << " drift " << i;
  ASSERT_EQ(got->alerts.size(), want->alerts.size()) << what;
  for (size_t i = 0; i < got->alerts.size(); ++i) {
    EXPECT_EQ(got->alerts[i].from, want->alerts[i].from) << what;
    EXPECT_EQ(got->alerts[i].message, want->alerts[i].message) << what;
    EXPECT_TRUE(same_bits(got->alerts[i].drift, want->alerts[i].drift)) << what;
  }
}

// ---- an irregular store ----

const char* const kRegions[] = {"eu", "us", "a/b:c", "EU"};
const char* const kTimes[] = {"2024-01", "2024-02", "2024-03", "2024-04", "2024-05"};
const char* const kStores[] = {"s1", "s2", "s3"};
const std::vector<std::string> kCats = {"p", "q", "r"};
const std::pair<const char*, const char*> kPairs[] = {{"x", "y"}, {"y", "x"}, {"x", "z"},
                                                      {"z", "x"}, {"x", "x"}, {"x", "q"}};

model::DistributionRepr random_repr(std::mt19937_64& rng, bool histogram) {
  auto count = [&] { return rng() % 4 == 0 ? 0 : rng() % 40; };
  if (histogram) {
    model::HistogramRepr h{0.0, 1.0, std::vector<uint64_t>(2 + rng() % 3), 0};
    for (auto& c : h.bin_counts) h.total_count += (c = count());
    h.total_count += rng() % 3;
    return h;
  }
  model::CategoricalRepr c{kCats, std::vector<uint64_t>(3), rng() % 3, 0};
  c.total_count = c.unknown_count;
  for (auto& n : c.counts) c.total_count += (n = count());
  return c;
}

// Builds the lists directly, as a file would hold them, then loads them.
// An odd seed gives a store whose texts hold ':' and '/' (two maps with one
// key text) and an index entry naming no distribution, so that the index
// keeps its text form; an even seed one whose index is the integer one.
Database irregular_db(uint64_t seed) {
  std::mt19937_64 rng(seed);
  const bool odd = seed % 2 == 1;
  Database db;
  model::DistributionFile data;
  std::set<std::pair<std::string, DimensionMap>> seen;
  db.writable = true;
  auto& vars = db.meta.schema.variables;
  vars.push_back({"x", model::ContinuousType{3, model::Range{0, 1}}});
  vars.push_back({"y", model::CategoricalType{kCats, true}});
  vars.push_back({"z", model::ContinuousType{2, std::nullopt}});  // mixed kinds below
  db.meta.schema.joints = {{"x", "y"}, {"y", "x"}, {"z", "x"}, {"x", "y"}};
  uint64_t id = 1000 + rng() % 50;
  for (int i = 0; i < 160; ++i) {
    DimensionMap key;
    if (rng() % 5 != 0) key["region"] = kRegions[rng() % 4];
    if (!odd && key.contains("region") && key["region"] == "a/b:c") key["region"] = "a";
    if (rng() % 4 != 0) key["time"] = kTimes[rng() % 5];
    if (rng() % 2 == 0) key["store"] = kStores[rng() % 3];
    // Two maps with one key text, "b:c/region:eu".
    if (rng() % 19 == 0) key = {{"region", "eu"}, {"b", "c"}};
    if (rng() % 19 == 0 && odd) key = {{"b", "c/region:eu"}};
    const int v = static_cast<int>(rng() % 3);
    const bool histogram = v == 0 || (v == 2 && rng() % 4 != 0);
    DistributionObject d = store::new_distribution_object(
        id, vars[v].name, key, random_repr(rng, histogram));
    d.entropy = store::repr_entropy(d.repr);
    d.version = 1 + rng() % 5;
    // Only the odd seeds store one identity twice (which also keeps the
    // index as text).
    if (!odd && !seen.insert({d.variable, d.dimension_key}).second) continue;
    data.distributions.push_back(std::move(d));
    const auto r = rng() % 10;
    id += r == 0 ? 0 : r == 1 ? 7 : 1;  // repeats and gaps
    if (r == 2) id = 500 + rng() % 600;  // an id met before, or one further back
  }
  for (int i = 0; i < 60; ++i) {
    static const std::pair<const char*, const char*> pairs[] = {{"x", "y"}, {"y", "x"}, {"x", "z"}};
    const auto& [a, b] = pairs[rng() % 3];
    JointDistributionObject j;
    j.id = 77 + i;
    j.variables = {a, b};  // ("y", "x") is never found: joints store the lesser first
    if (rng() % 3 != 0) j.dimension_key["region"] = kRegions[rng() % (odd ? 4 : 2)];
    if (rng() % 5 == 0) j.dimension_key["time"] = kTimes[rng() % 5];
    // A value no marginal distribution holds: OVER region passes it by.
    if (rng() % 8 == 0) j.dimension_key = {{"region", "joint only"}};
    const size_t rows = 1 + rng() % 3, cols = 1 + rng() % 3;
    model::ContingencyTableRepr t{{}, {}, std::vector<std::vector<uint64_t>>(rows, std::vector<uint64_t>(cols)), 0};
    for (auto& row : t.counts)
      for (auto& c : row) t.total_count += (c = rng() % 9);
    if (rng() % 6 == 0) t.total_count = 0;
    j.sample_count = t.total_count;
    j.repr = std::move(t);
    data.joints.push_back(std::move(j));
  }
  db.load_records(std::move(data));
  if (odd) db.index_insert("x", {{"region", "gone"}}, 999999);  // names no distribution
  EXPECT_EQ(db.distributions.text_indexed(), odd);
  return db;
}

// Every filter over the fixture's dimensions with a value each (or absent),
// values that occur nowhere included.
std::vector<DimensionMap> all_filters() {
  std::vector<DimensionMap> out;
  const std::vector<std::string> regions = {"", "eu", "us", "a/b:c", "EU", "gone", "a"};
  const std::vector<std::string> times = {"", "2024-01", "2024-03", "1999"};
  const std::vector<std::string> stores = {"", "s1", "s3"};
  for (const auto& r : regions)
    for (const auto& t : times)
      for (const auto& s : stores) {
        DimensionMap f;
        if (!r.empty()) f["region"] = r;
        if (!t.empty()) f["time"] = t;
        if (!s.empty()) f["store"] = s;
        out.push_back(f);
      }
  out.push_back({{"b", "c"}, {"region", "eu"}});
  out.push_back({{"b", "c/region:eu"}});
  out.push_back({{"b", "c"}});
  out.push_back({{"nope", "eu"}});
  return out;
}

// Appends through the store's own paths, without a rebuild, so the lookups
// must follow: new keys, a key met before, an id the list already holds.
void grow(Database& db, std::mt19937_64& rng) {
  db.meta.next_distribution_id = db.distributions.row(3).id;  // a repeated id from here on
  for (int i = 0; i < 40; ++i) {
    DimensionMap key{{"region", kRegions[rng() % (db.distributions.text_indexed() ? 4 : 2)]},
                     {"time", kTimes[rng() % 5]}};
    if (rng() % 2) key["store"] = "s9";
    ASSERT_TRUE(db.ensure_distribution(i % 2 ? "x" : "y", key).ok());
    ASSERT_TRUE(db.ensure_joint("y", "x", {{"region", kRegions[rng() % 4]}}).ok());
    ASSERT_TRUE(db.ensure_joint("x", "z", {{"time", kTimes[rng() % 5]}}).ok());
  }
}

class ScanOracle : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ScanOracle, StoreSearchesMatchTheScans) {
  Database db = irregular_db(GetParam());
  std::mt19937_64 rng(GetParam() * 31 + 7);
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "as loaded" : "after appends");
    uint64_t max_id = 0;
    for (const auto& d : db.records().distributions) max_id = std::max(max_id, d.id);
    for (uint64_t id = 0; id <= max_id + 2; ++id)
      ASSERT_EQ(db.position_of_id(id), scan_by_id(db, id)) << id;
    EXPECT_EQ(db.position_of_id(UINT64_MAX), std::nullopt);

    for (const char* dim : {"region", "time", "store", "b", "nope", ""}) {
      const auto values = scan_values(db, dim);
      EXPECT_EQ(db.dimension_values(dim), values) << dim;
      // Membership, one value at a time and many at once: every value of
      // every dimension, and texts that are no value.
      std::vector<std::string_view> asked = {"", "nope", "r1x"};
      std::vector<std::set<std::string>> every;
      for (const char* d : {"region", "time", "store"}) every.push_back(scan_values(db, d));
      for (const auto& set : every)
        for (const std::string& v : set) asked.push_back(v);
      std::vector<char> held;
      db.has_dimension_values(dim, asked, held);
      ASSERT_EQ(held.size(), asked.size());
      for (size_t i = 0; i < asked.size(); ++i) {
        const bool want = values.contains(std::string(asked[i]));
        EXPECT_EQ(held[i] != 0, want) << dim << " " << asked[i];
        EXPECT_EQ(has_dimension_value(db, dim, asked[i]), want) << dim << " " << asked[i];
      }
    }

    for (const auto& f : all_filters())
      for (const char* v : {"x", "y", "z", "w"}) {
        const std::string what = std::string(v) + " " + store::dimension_key_string(f);
        EXPECT_EQ(db.matching_distributions(v, f), scan_matching(db, v, f)) << what;
        const auto m = scan_matching(db, v, f);
        const std::optional<Position> first = m.empty() ? std::nullopt : std::optional<Position>(m.front());
        EXPECT_EQ(db.find_position(v, f), first) << what;
        std::unordered_map<std::string, std::string> unordered(f.begin(), f.end());
        EXPECT_EQ(db.find_position(v, unordered), first) << what;
      }

    std::vector<DimensionMap> joint_keys = {{}};
    for (const char* r : kRegions) {
      joint_keys.push_back({{"region", r}});
      for (const char* t : kTimes) joint_keys.push_back({{"region", r}, {"time", t}});
    }
    for (const char* t : kTimes) joint_keys.push_back({{"time", t}});
    for (const auto& k : joint_keys)
      for (auto [a, b] : kPairs) {
        EXPECT_EQ(db.find_joint(a, b, k), scan_joint(db, a, b, k)) << a << b;
        EXPECT_EQ(db.find_joint_mut(a, b, k), scan_joint(db, a, b, k)) << a << b;
      }
    grow(db, rng);
  }
}

TEST_P(ScanOracle, ResolutionMatchesTheScan) {
  Database db = irregular_db(GetParam());
  std::mt19937_64 rng(GetParam() * 17 + 3);
  for (int round = 0; round < 2; ++round) {
    for (const auto& f : all_filters())
      for (const char* v : {"x", "y", "z", "w"}) {
        const std::string what = std::string(v) + " " + store::dimension_key_string(f);
        expect_same_side(resolve_side(db, v, f), scan_resolve(db, v, f), what);
        auto got = resolve_distribution(db, v, f);
        auto want = scan_resolve(db, v, f);
        if (got.ok() && want.ok()) {
          EXPECT_EQ(got->repr, want->repr()) << what;
          const auto& r = want->repr();
          const auto& cells = std::holds_alternative<model::HistogramRepr>(r)
                                  ? std::get<model::HistogramRepr>(r).bin_counts
                                  : std::get<model::CategoricalRepr>(r).counts;
          const double h = want->rolled_up ? math::shannon_entropy(cells, r.total_count())
                                           : want->first->entropy;
          EXPECT_TRUE(same_bits(got->entropy, h)) << what;
        }
      }
    grow(db, rng);
  }
}

TEST_P(ScanOracle, TrackExplainCmiCorrelationsMatchTheScans) {
  Database db = irregular_db(GetParam());
  std::mt19937_64 rng(GetParam() * 5 + 1);
  CompareCache cold_a, cold_b;
  cold_a.poison();
  cold_b.poison();
  for (int round = 0; round < 2; ++round) {
    for (const auto& f : all_filters())
      for (const char* v : {"x", "y", "z", "w"})
        expect_same_track(track_drift(db, cold_a, v, f), scan_track(db, cold_b, v, f),
                          std::string(v) + " " + store::dimension_key_string(f));

    const std::vector<DimensionMap> sides = {{{"region", "eu"}}, {{"region", "us"}},
                                             {{"time", "2024-01"}}, {{"store", "s1"}}, {}};
    for (const auto& fa : sides)
      for (const auto& fb : sides) {
        auto got = explain_by_variable(db, cold_a, fa, fb);
        auto want = scan_explain(db, cold_b, fa, fb);
        ASSERT_EQ(got.ok(), want.ok());
        if (!got.ok()) {
          EXPECT_EQ(got.error().full_text(), want.error().full_text());
          continue;
        }
        EXPECT_TRUE(same_bits(got->total_jsd, want->total_jsd));
        ASSERT_EQ(got->entries.size(), want->entries.size());
        for (size_t i = 0; i < got->entries.size(); ++i) {
          const ExplainEntry& g = got->entries[i];
          const ExplainEntry& w = want->entries[i];
          EXPECT_EQ(g.variable, w.variable);
          for (auto [x, y] : std::initializer_list<std::pair<double, double>>{
                   {g.jsd, w.jsd}, {g.fraction, w.fraction}, {g.entropy_a, w.entropy_a},
                   {g.entropy_b, w.entropy_b}})
            EXPECT_TRUE(same_bits(x, y)) << g.variable;
          ASSERT_EQ(g.contributions.size(), w.contributions.size());
          for (size_t c = 0; c < g.contributions.size(); ++c) {
            EXPECT_EQ(g.contributions[c].category, w.contributions[c].category);
            EXPECT_TRUE(same_bits(g.contributions[c].contribution, w.contributions[c].contribution));
          }
        }
      }

    for (const char* given : {"region", "time", "store", "nope"})
      for (auto [a, b] : kPairs) {
        auto got = conditional_mutual_info(db, a, b, given);
        auto want = scan_cmi(db, a, b, given);
        ASSERT_EQ(got.ok(), want.ok()) << given << a << b;
        if (!got.ok()) {
          EXPECT_EQ(got.error().full_text(), want.error().full_text());
          continue;
        }
        EXPECT_TRUE(same_bits(got->cmi, want->cmi));
        EXPECT_EQ(got->total_samples, want->total_samples);
        ASSERT_EQ(got->strata.size(), want->strata.size());
        for (size_t i = 0; i < got->strata.size(); ++i) {
          EXPECT_EQ(got->strata[i].value, want->strata[i].value);
          EXPECT_TRUE(same_bits(got->strata[i].mutual_info, want->strata[i].mutual_info));
          EXPECT_TRUE(same_bits(got->strata[i].normalized_mi, want->strata[i].normalized_mi));
        }
      }

    for (std::optional<std::string> over :
         {std::optional<std::string>{}, std::optional<std::string>{"region"},
          std::optional<std::string>{"time"}, std::optional<std::string>{"nope"}}) {
      std::optional<std::string_view> dim;
      if (over) dim = *over;
      // The rows kept by a limit are the scan's first ones: they alone are
      // measured in full after the cut.
      const auto want = scan_correlations(db, over);
      for (uint64_t limit : {uint64_t{1000}, uint64_t{0}, uint64_t{1}, uint64_t{3}}) {
      auto got = correlations(db, dim, limit);
      ASSERT_TRUE(got.ok());
      ASSERT_EQ(got->size(), std::min<size_t>(want.size(), limit));
      for (size_t i = 0; i < got->size(); ++i) {
        const auto& g = (*got)[i];
        const auto& w = want[i];
        EXPECT_EQ(std::tie(g.variable_a, g.variable_b, g.label, g.samples),
                  std::tie(w.variable_a, w.variable_b, w.label, w.samples));
        EXPECT_TRUE(same_bits(g.mutual_info, w.mutual_info));
        EXPECT_TRUE(same_bits(g.normalized_mi, w.normalized_mi));
        EXPECT_TRUE(same_bits(g.cramers_v, w.cramers_v));
      }
      }
    }
    grow(db, rng);
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, ScanOracle, ::testing::Values(1, 2, 3, 4, 5, 6));

// A roll-up that TRACK builds from its grouped members takes the same
// cache entries as the same roll-up resolved on its own: the second run
// over a warm cache computes nothing new.
TEST(ScanOracleCache, TrackRollUpsHitTheEntriesOfPlainComparisons) {
  Database db = irregular_db(9);
  CompareCache cache;
  auto first = track_drift(db, cache, "x", {{"region", "eu"}});
  ASSERT_TRUE(first.ok());
  ASSERT_GE(first->drifts.size(), 2u);
  const size_t entries = cache.size();
  for (size_t k = 0; k + 1 < first->time_labels.size(); ++k) {
    auto r = compare_distributions(db, cache, "x", {{"region", "eu"}, {"time", first->time_labels[k]}},
                                   {{"region", "eu"}, {"time", first->time_labels[k + 1]}});
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(same_bits(r->jsd, first->drifts[k]));
  }
  EXPECT_EQ(cache.size(), entries);
}

}  // namespace
}  // namespace quor::analytics
