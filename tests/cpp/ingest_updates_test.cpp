#include <gtest/gtest.h>

#include <sched.h>

#include "quor/ingest/internal/compiled_schema.h"
#include "quor/ingest/internal/decimal_counter.h"
#include "quor/ingest/preparation.h"
#include "quor/ingest/internal/update_core.h"
#include "quor/ingest/internal/worker_pool.h"
#include "reference/record_update.h"

#include <bit>
#include <cmath>
#include <cstdlib>
#include <random>
#include <thread>

namespace quor::ingest {
namespace {

using reference::category_position;
using reference::compute_record_update;
using reference::RecordUpdate;
using reference::CountSlot;
using reference::VariableUpdate;
using reference::JointUpdate;

using model::CategoricalType;
using model::ContinuousType;
using util::JsonNumber;
using util::JsonValue;

model::VariableDefinition cat(std::string name, std::vector<std::string> cats, bool unknown = true) {
  return {std::move(name), CategoricalType{std::move(cats), unknown}};
}
model::VariableDefinition cont(std::string name, uint32_t bins, std::optional<model::Range> r) {
  return {std::move(name), ContinuousType{bins, r}};
}
JsonValue num(double d) { return JsonValue(JsonNumber::from_double(d)); }
JsonValue integer(int64_t i) { return JsonValue(JsonNumber::from_int(i)); }

// The slot one value gets under one variable (nullopt: no slot).
std::optional<CountSlot> slot_of(const model::VariableDefinition& def, const JsonValue& v) {
  model::Schema schema;
  schema.variables = {def};
  Observation obs;
  obs.values.emplace(def.name, v);
  auto u = compute_record_update(schema, obs);
  EXPECT_TRUE(u.has_value());
  if (u->variable_updates.empty()) return std::nullopt;
  return u->variable_updates[0].slot;
}

TEST(Preparation, LookupAndObservations) {
  model::Schema schema;
  schema.variables = {cat("c", {"a"})};
  schema.dimensions = {{"first", "src", std::nullopt}, {"region", "region", std::nullopt},
                       {"second", "src", std::nullopt}};
  const ColumnLookup lookup = build_column_lookup(schema);
  EXPECT_EQ(lookup.variables_by_column.at("c"), "c");
  EXPECT_EQ(lookup.dimensions_by_column.size(), 2u);
  EXPECT_EQ(lookup.dimensions_by_column.at("src"), "second");

  InputRecord full{{"c", JsonValue(nullptr)}, {"src", integer(2019)}, {"region", JsonValue(true)},
                   {"other", JsonValue("x")}};
  auto obs = record_to_observation(full, lookup);
  ASSERT_TRUE(obs);
  EXPECT_EQ(obs->values.at("c"), JsonValue(nullptr));
  EXPECT_EQ(obs->dimensions, (std::map<std::string, std::string, std::less<>>{
                                 {"region", "true"}, {"second", "2019"}}));
  full["src"] = num(2019.0);
  EXPECT_EQ(record_to_observation(full, lookup)->dimensions.at("second"), "2019.0");
  for (JsonValue bad : {JsonValue(nullptr), JsonValue(util::JsonArray{}), JsonValue(util::JsonObject{})}) {
    InputRecord r = full;
    r["region"] = bad;
    EXPECT_FALSE(record_to_observation(r, lookup));
  }
  InputRecord missing = full;
  missing.erase("region");
  EXPECT_FALSE(record_to_observation(missing, lookup));
  // Without dimensions every record is an observation, the empty one too.
  EXPECT_TRUE(record_to_observation({}, build_column_lookup(model::Schema{})));
}

TEST(RecordUpdate, CategoricalSlots) {
  const auto ab = cat("v", {"a", "b", "3", "2.5", "true"});
  EXPECT_EQ(slot_of(ab, JsonValue("b")), CountSlot::category(1));
  EXPECT_EQ(slot_of(ab, JsonValue("c")), CountSlot::unknown());
  EXPECT_EQ(slot_of(cat("v", {"a", "b"}, false), JsonValue("c")), std::nullopt);
  EXPECT_EQ(slot_of(ab, integer(3)), CountSlot::category(2));
  EXPECT_EQ(slot_of(ab, JsonValue("3")), CountSlot::category(2));
  // Floats, booleans, null, huge integers and nested values look up "unknown".
  for (JsonValue v : {num(3.0), num(2.5), JsonValue(true), JsonValue(nullptr),
                      JsonValue(JsonNumber::pos_int(UINT64_MAX)), JsonValue(util::JsonArray{})})
    EXPECT_EQ(slot_of(ab, v), CountSlot::unknown());
  EXPECT_EQ(slot_of(cat("v", {"x", "unknown"}, false), JsonValue(nullptr)), CountSlot::category(1));
  EXPECT_EQ(slot_of(cat("v", {"m", "-4"}), integer(-4)), CountSlot::category(1));
  // Many categories take the hashed lookup: the first equal one wins.
  std::vector<std::string> many;
  for (int i = 0; i < 30; ++i) many.push_back("c" + std::to_string(i % 20));
  EXPECT_EQ(slot_of(cat("v", many), JsonValue("c5")), CountSlot::category(5));
}

// The hashed lookup of long lists against the plain search in list order,
// over texts of every length class the hash reads differently (empty, 1-3,
// 4-7, 8-16, longer) that differ in one byte at the start, middle or end.
TEST(RecordUpdate, HashedCategoryLookupMatchesListSearch) {
  std::vector<std::string> texts = {""};
  for (size_t len : {1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 24, 31, 40})
    for (size_t at : {size_t{0}, len / 2, len - 1}) {
      std::string t(len, 'k');
      t[at] = 'q';
      texts.push_back(t);
      texts.push_back(std::string(len, 'k'));
    }
  for (size_t size : {9, 40, 300}) {
    std::vector<std::string> list;
    // Repeats included: the first equal text wins.
    for (size_t i = 0; list.size() < size; ++i)
      list.push_back(texts[(i * 7) % texts.size()] + (i >= texts.size() ? std::to_string(i) : ""));
    model::Schema schema;
    schema.variables = {cat("v", list)};
    const internal::CompiledSchema cs(schema);
    std::vector<std::string> probes = texts;
    for (const auto& c : list) probes.push_back(c), probes.push_back(c + "x"), probes.push_back("x" + c);
    for (const auto& p : probes)
      EXPECT_EQ(cs.vars[0].find_category(p), category_position(list, p)) << size << " '" << p << "'";
  }
}

// The one-pass reading of plain decimal texts gives the full parse's double
// bit for bit, and leaves every other text to it.
TEST(RecordUpdate, PlainDecimalsReadAsTheFullParse) {
  std::vector<std::string> texts = {"0",      "-0",     "+0",    "7",      "0.15",   "-3.25",  "+2.5",
                                    "1.",     ".5",     "-.5",   "007.50", "0.4728", "710.95", "936",
                                    "123456789012345", "1234567890123456", "0.000000000000001",
                                    "99999999999999.9", "", "-", "+", ".", "-.", "1..2", "1e5", "1.5e-3",
                                    "nan", "inf", "-inf", " 1", "1 ", "1,5", "--1", "+-1", "0x10", "١"};
  std::mt19937_64 rng(11);
  for (int i = 0; i < 20000; ++i) {
    std::string t = (rng() % 4 == 0) ? "-" : "";
    const size_t int_len = rng() % 9, frac_len = rng() % 9;
    for (size_t k = 0; k < int_len; ++k) t += static_cast<char>('0' + rng() % 10);
    if (rng() % 5 != 0) t += '.';
    for (size_t k = 0; k < frac_len; ++k) t += static_cast<char>('0' + rng() % 10);
    texts.push_back(t);
  }
  for (const auto& t : texts) {
    double fast = 0.0;
    const auto full = util::parse_float(t);
    if (!internal::plain_decimal(t, fast)) continue;
    ASSERT_TRUE(full.has_value()) << "'" << t << "'";
    EXPECT_EQ(std::bit_cast<uint64_t>(fast), std::bit_cast<uint64_t>(*full)) << "'" << t << "'";
  }
  double x = 0.0;
  for (const char* other : {"", "-", ".", "1e5", "nan", "1234567890123456", "1..2", " 1"})
    EXPECT_FALSE(internal::plain_decimal(other, x)) << "'" << other << "'";
}

TEST(RecordUpdate, HistogramBins) {
  const auto ranged = cont("v", 20, model::Range{0.0, 10.0});
  const std::vector<std::pair<JsonValue, std::optional<CountSlot>>> cases = {
      {num(0.49), CountSlot::bin(0)}, {num(0.5), CountSlot::bin(1)},  {num(9.99), CountSlot::bin(19)},
      {integer(10), CountSlot::bin(19)}, {JsonValue("25"), CountSlot::bin(19)},
      {integer(-3), CountSlot::bin(0)},  {JsonValue("nan"), CountSlot::bin(0)},
      {JsonValue("-inf"), CountSlot::bin(0)}, {JsonValue("1e300"), CountSlot::bin(19)},
      {JsonValue("abc"), std::nullopt},  {JsonValue(true), std::nullopt}, {JsonValue(nullptr), std::nullopt},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(slot_of(ranged, v), want);
  const auto unit = cont("v", 20, std::nullopt);
  EXPECT_EQ(slot_of(unit, num(0.5)), CountSlot::bin(10));
  EXPECT_EQ(slot_of(unit, integer(7)), CountSlot::bin(19));
  EXPECT_EQ(slot_of(unit, num(0.15)), CountSlot::bin(2));  // 0.15 / 0.05 is just below 3
  EXPECT_EQ(slot_of(cont("v", 20, model::Range{5.0, 5.0}), num(5.0)), std::nullopt);
  EXPECT_EQ(slot_of(cont("v", 20, model::Range{6.0, 5.0}), num(5.5)), std::nullopt);
  EXPECT_EQ(slot_of(cont("v", 0, model::Range{0.0, 1.0}), num(0.5)), std::nullopt);
  // A width that is not a number is not below zero: every value lands in bin 0.
  EXPECT_EQ(slot_of(cont("v", 20, model::Range{std::nan(""), 1.0}), num(0.5)), CountSlot::bin(0));
  EXPECT_EQ(slot_of(cont("v", 20, model::Range{HUGE_VAL, HUGE_VAL}), num(7.0)), CountSlot::bin(0));
}

TEST(RecordUpdate, JointCellsFollowTheStoredAxes) {
  model::Schema schema;
  schema.variables = {cat("city", {"paris", "rome"}), cat("brand", {"x", "y", "z"}),
                      cont("price", 10, model::Range{0.0, 100.0}), cont("age", 10, model::Range{0.0, 10.0})};
  schema.joints = {{"city", "brand"}, {"brand", "city"}, {"price", "city"}, {"city", "price"},
                   {"price", "age"}, {"city", "missing"}};
  Observation obs;
  obs.values = {{"city", JsonValue("rome")}, {"brand", JsonValue("z")}, {"price", num(55.0)},
                {"age", integer(3)}};
  auto u = compute_record_update(schema, obs);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->joint_updates,
            (std::vector<JointUpdate>{{{"city", "brand"}, 2, 1},  // brand sorts first
                                      {{"brand", "city"}, 2, 1},
                                      {{"price", "city"}, 1, 5},  // category on x, bin on y
                                      {{"city", "price"}, 1, 5},
                                      {{"price", "age"}, 3, 5}}));  // age sorts first
  // A number is no category text for a joint, although the marginal counts it.
  schema.variables[1] = cat("brand", {"3"});
  obs.values["brand"] = integer(3);
  u = compute_record_update(schema, obs);
  EXPECT_EQ(u->variable_updates[1], (VariableUpdate{"brand", CountSlot::category(0)}));
  EXPECT_EQ(u->joint_updates.size(), 3u);
}

TEST(RecordUpdate, KeyPayloadAndMissingDimensions) {
  model::Schema schema;
  schema.variables = {cont("b", 4, model::Range{0.0, 4.0}), cat("a", {"x"})};
  schema.dimensions = {{"region", "region", std::nullopt}, {"day", "ts", "daily"}};
  Observation obs;
  obs.values = {{"b", integer(1)}, {"a", JsonValue("x")}};
  obs.dimensions = {{"region", "north"}, {"day", "2024-03-05T10:00:00"}};
  auto u = compute_record_update(schema, obs);
  ASSERT_TRUE(u);
  EXPECT_EQ(u->dimension_key, (model::DimensionMap{{"day", "2024-03-05"}, {"region", "north"}}));
  EXPECT_EQ(u->variable_updates, (std::vector<VariableUpdate>{{"b", CountSlot::bin(1)},
                                                               {"a", CountSlot::category(0)}}));
  EXPECT_EQ(u->payload, JsonValue(util::JsonObject{{"a", JsonValue("x")}, {"b", integer(1)}}));
  obs.dimensions.erase("day");
  EXPECT_FALSE(compute_record_update(schema, obs));
  // No values: an update with nothing in it.
  Observation empty;
  empty.dimensions = {{"region", "s"}, {"day", "d"}};
  u = compute_record_update(schema, empty);
  ASSERT_TRUE(u);
  EXPECT_TRUE(u->variable_updates.empty());
  EXPECT_EQ(u->payload, JsonValue(util::JsonObject{}));
}

TEST(RecordUpdate, BatchMapKeepsInputOrder) {
  model::Schema schema;
  schema.variables = {cont("v", 1000, model::Range{0.0, 1000.0})};
  schema.dimensions = {{"d", "d", std::nullopt}};
  std::vector<Observation> obs(5000);
  for (size_t i = 0; i < obs.size(); ++i) {
    obs[i].values.emplace("v", integer(static_cast<int64_t>(i % 1000)));
    if (i % 7 != 0) obs[i].dimensions.emplace("d", std::to_string(i));
  }
  const internal::CompiledSchema compiled(schema);
  const internal::ObservationListSource src(schema, obs.data(), obs.size());
  internal::BatchUpdates out;
  internal::compute_batch(compiled, src, 0, obs.size(), internal::RawLines::Skip, 0, out);
  ASSERT_EQ(out.n, obs.size());
  for (size_t i = 0; i < obs.size(); ++i) {
    ASSERT_EQ(out.present[i] != 0, i % 7 != 0) << i;
    if (out.present[i]) {
      EXPECT_EQ(internal::dimension_map_of(compiled, out, i, nullptr).at("d"), std::to_string(i));
      EXPECT_EQ(out.slots[i], static_cast<int64_t>(i % 1000));
    }
  }
}

// The processors this thread may run on.
size_t allowed_cpus() {
  cpu_set_t set;
  CPU_ZERO(&set);
  EXPECT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  return static_cast<size_t>(CPU_COUNT(&set));
}

// The raw log's record ids are raised as text: across every carry and every
// added digit, the text is the number's own.
TEST(RecordUpdate, DecimalCounterTextIsTheNumbers) {
  for (const uint64_t start : {uint64_t{0}, uint64_t{7}, uint64_t{95}, uint64_t{99990}, uint64_t{999999999},
                               uint64_t{9999999999999999990u}, UINT64_MAX - 40}) {
    internal::DecimalCounter c(start);
    for (uint64_t v = start; v < start + 30; ++v) {
      ASSERT_EQ(c.text(), std::to_string(v)) << "from " << start;
      ASSERT_EQ(c.value(), v);
      c.increment();
    }
  }
}

TEST(WorkerPool, SizeFollowsTheEnvironmentVariable) {
  const char* saved = std::getenv("RAYON_NUM_THREADS");
  const std::string keep = saved ? saved : "";
  const size_t hw = allowed_cpus();
  const std::vector<std::pair<const char*, size_t>> cases = {
      {"3", 3}, {"64", 64}, {"0", hw}, {"abc", hw}, {"2x", hw}, {"", hw}};
  for (const auto& [value, want] : cases) {
    ::setenv("RAYON_NUM_THREADS", value, 1);
    EXPECT_EQ(worker_count_from_environment(), want) << value;
  }
  ::unsetenv("RAYON_NUM_THREADS");
  EXPECT_EQ(worker_count_from_environment(), hw);

  // Without the variable the size follows the CPU affinity, not the machine.
  cpu_set_t all, one;
  ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
  CPU_ZERO(&one);
  for (int c = 0; c < CPU_SETSIZE; ++c)
    if (CPU_ISSET(c, &all)) {
      CPU_SET(c, &one);
      break;
    }
  ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
  EXPECT_EQ(worker_count_from_environment(), 1u);
  ASSERT_EQ(sched_setaffinity(0, sizeof all, &all), 0);
  ::setenv("RAYON_NUM_THREADS", "5", 1);
  EXPECT_EQ(worker_count_from_environment(), 5u);  // the variable wins
  ::unsetenv("RAYON_NUM_THREADS");
  if (saved) ::setenv("RAYON_NUM_THREADS", keep.c_str(), 1);
}

}  // namespace
}  // namespace quor::ingest
