// The batched apply against the plain batch-by-batch road it replaces, kept
// here as the oracle: every batch tallied per distribution, its raw-log
// lines appended one by one, its counts added with apply_counts, its joints
// found and added cell by cell, and its marginals finalised at the end of
// the batch. Both roads run with the same injected batch clock over
// generated CSV and JSON-lines inputs (several batches, joints, unknown
// categories, values outside the ranges, key texts that join to one index
// key, failing batches), and everything is compared field by field: every
// distribution and joint with its version and last_updated, the index, the
// meta file, the raw-log bytes, the report and the error.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <filesystem>
#include <fstream>
#include <cstdio>
#include <map>
#include <random>
#include <sstream>

#include <signal.h>
#include <sys/resource.h>

#include "temp_dir.h"
#include "quor/ingest/internal/batch_applier.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/csv_reader.h"
#include "quor/ingest/internal/json_lines.h"
#include "quor/ingest/readers.h"
#include "quor/store/dim_key.h"
#include "quor/store/directory.h"
#include "quor/util/clock.h"
#include "reference/database_counts.h"
#include "reference/record_update.h"

namespace quor::ingest {
namespace {

using reference::compute_record_update;
using reference::RecordUpdate;
using reference::CountSlot;
using reference::apply_counts;
using reference::finalize_updates;
using reference::HistogramCounts;
using reference::CategoricalCounts;
using reference::CountAccumulator;
using reference::TouchedSet;

namespace fs = std::filesystem;
using quor::test_util::TempDir;

std::atomic<uint64_t> g_tick{0};
constexpr uint64_t kFirstTick = 1000;
uint64_t fake_clock() { return kFirstTick + g_tick++; }


// Every record of the file in file order, read with the reader its
// extension selects.
Result<std::vector<InputRecord>> read_input_records(const std::string& path) {
  QUOR_ASSIGN_OR_RETURN(InputFormat format, input_format_for(path));
  if (format == InputFormat::JsonLines) return read_json_lines(path);
  QUOR_ASSIGN_OR_RETURN(CsvTable table, read_csv_table(path));
  std::vector<InputRecord> records;
  records.reserve(table.num_rows());
  for (size_t i = 0; i < table.num_rows(); ++i) records.push_back(table.record(i));
  return records;
}

// The oracle: the batch-by-batch road, over the public steps.
Result<IngestReport> oracle_ingest_file(store::Database& db, const std::string& path,
                                        const IngestOptions& options, uint64_t batch_size) {
  QUOR_ASSIGN_OR_RETURN(std::vector<InputRecord> records, read_input_records(path));
  const size_t count = std::min<size_t>(records.size(), options.sample_size);
  const model::Schema inferred = infer_schema(records, count, options);
  for (const auto& v : inferred.variables)
    if (db.find_variable(v.name) == nullptr) QUOR_RETURN_IF_ERROR(db.add_variable(v));
  for (const auto& d : inferred.dimensions) {
    bool known = false;
    for (const auto& have : db.meta.schema.dimensions) known = known || have.name == d.name;
    if (!known) QUOR_RETURN_IF_ERROR(db.add_dimension(d));
  }
  const model::Schema schema = db.meta.schema;
  const ColumnLookup lookup = build_column_lookup(schema);
  std::vector<Observation> obs;
  for (const auto& r : records)
    if (auto o = record_to_observation(r, lookup)) obs.push_back(std::move(*o));

  IngestReport report;
  report.total_rows = obs.size();
  // Keys numbered by first appearance over the ingest; joints met for the
  // first time in a batch are created in (pair listed first, key) order.
  std::map<model::DimensionMap, size_t> key_number;
  auto first_listing = [&](size_t j) {
    for (size_t k = 0; k < j; ++k)
      if (schema.joints[k] == schema.joints[j]) return k;
    return j;
  };
  const size_t slice = batch_size == 0 ? 1 : batch_size;
  for (size_t pos = 0; pos < obs.size(); pos += slice) {
    const size_t n = std::min(slice, obs.size() - pos);
    std::vector<std::optional<RecordUpdate>> updates;
    for (size_t k = pos; k < pos + n; ++k) updates.push_back(compute_record_update(schema, obs[k]));
    std::vector<std::pair<std::string, model::DimensionMap>> order;
    std::map<std::pair<std::string, model::DimensionMap>, CountAccumulator> acc;
    std::map<std::pair<size_t, size_t>, std::map<std::pair<uint64_t, uint64_t>, uint64_t>> joints;
    std::vector<const util::JsonValue*> payloads;
    BatchCounters c;
    for (size_t j = 0; j < schema.joints.size(); ++j) (void)j;
    for (const auto& u : updates) {
      if (!u) {
        ++c.skipped;
        continue;
      }
      key_number.try_emplace(u->dimension_key, key_number.size());
      for (const auto& vu : u->variable_updates) {
        auto id = std::make_pair(vu.variable, u->dimension_key);
        auto it = acc.find(id);
        if (it == acc.end()) {
          order.push_back(id);
          it = acc.emplace(id, vu.slot.kind == CountSlot::Kind::Bin
                                   ? CountAccumulator(HistogramCounts{})
                                   : CountAccumulator(CategoricalCounts{}))
                   .first;
        }
        if (auto* h = std::get_if<HistogramCounts>(&it->second)) ++h->bins[vu.slot.index];
        else if (vu.slot.kind == CountSlot::Kind::Unknown)
          ++std::get<CategoricalCounts>(it->second).unknown;
        else ++std::get<CategoricalCounts>(it->second).known[vu.slot.index];
      }
      for (const auto& ju : u->joint_updates) {
        size_t j = 0;
        while (schema.joints[j] != ju.variables) ++j;
        ++joints[{first_listing(j), key_number.at(u->dimension_key)}][{ju.x_index, ju.y_index}];
      }
      ++c.processed;
      payloads.push_back(&u->payload);
    }
    if (db.meta.raw_log_enabled) {
      if (!db.writable) return Error(std::string(store::kReadOnlyMessage));
      if (db.raw_log && !payloads.empty()) {
        if (payloads.size() > UINT64_MAX - db.meta.next_raw_record_id)
          return Error("raw record id counter would pass " + std::to_string(UINT64_MAX) +
                       " (next id " + std::to_string(db.meta.next_raw_record_id) +
                       ", records to number " + std::to_string(payloads.size()) + ")");
        for (const auto* p : payloads) {
          const uint64_t id = db.meta.next_raw_record_id++;
          QUOR_RETURN_IF_ERROR(store::append_raw_record(*db.raw_log, id, *p));
        }
      }
    }
    for (const auto& id : order) QUOR_RETURN_IF_ERROR(apply_counts(db, id.first, id.second, acc.at(id)));
    std::vector<const model::DimensionMap*> by_number(key_number.size());
    for (const auto& [map, number] : key_number) by_number[number] = &map;
    for (const auto& [where, cells] : joints) {
      const auto& [a, b] = schema.joints[where.first];
      const model::DimensionMap& map = *by_number[where.second];
      QUOR_RETURN_IF_ERROR(db.ensure_joint(a, b, map));
      model::JointDistributionObject* joint = db.find_joint_mut(a, b, map);
      for (const auto& [cell, count] : cells) {
        auto add = [&](std::vector<std::vector<uint64_t>>& rows, uint64_t& total) {
          if (cell.first < rows.size() && cell.second < rows[cell.first].size()) {
            rows[cell.first][cell.second] += count;
            total += count;
            joint->sample_count += count;
          }
        };
        if (auto* g = std::get_if<model::HistogramGridRepr>(&joint->repr)) add(g->counts, g->total_count);
        else if (auto* t = std::get_if<model::ContingencyTableRepr>(&joint->repr)) add(t->counts, t->total_count);
        else {
          auto& cond = std::get<model::ConditionalHistogramsRepr>(joint->repr);
          auto& h = std::get<model::HistogramRepr>(cond.histograms.at(cell.first));
          if (cell.second < h.bin_counts.size()) {
            h.bin_counts[cell.second] += count;
            h.total_count += count;
            cond.total_count += count;
            joint->sample_count += count;
          }
        }
      }
    }
    finalize_updates(db, TouchedSet(order.begin(), order.end()), fake_clock());
    c.distributions_updated = order.size();
    report.processed_rows += c.processed;
    report.skipped_rows += c.skipped;
    report.distributions_updated += c.distributions_updated;
  }
  QUOR_RETURN_IF_ERROR(store::flush_database(db));
  return report;
}

// Times that no batch set (creation times of distributions and joints) come
// from the real clock; the batch clock's are small numbers.
void expect_same_time(uint64_t got, uint64_t want, uint64_t started, const std::string& what) {
  if (want < kFirstTick + 1000000) {
    EXPECT_EQ(got, want) << what;
  } else {
    EXPECT_GE(got, started) << what;
    EXPECT_LE(got, unix_now_seconds()) << what;
  }
}

void expect_same_state(const store::Database& got, const store::Database& want, uint64_t started) {
  EXPECT_EQ(got.meta, want.meta);
  EXPECT_EQ(got.index_record(), want.index_record());
  const model::DistributionFile got_data = got.records(), want_data = want.records();
  ASSERT_EQ(got_data.distributions.size(), want_data.distributions.size());
  for (size_t i = 0; i < want_data.distributions.size(); ++i) {
    model::DistributionObject g = got_data.distributions[i], w = want_data.distributions[i];
    const std::string what = "distribution " + std::to_string(i) + " (" + w.variable + " " +
                             store::dimension_key_string(w.dimension_key) + ")";
    expect_same_time(g.last_updated, w.last_updated, started, what);
    g.last_updated = w.last_updated = 0;
    // Entropies bit for bit (the sign of zero included).
    EXPECT_EQ(std::signbit(g.entropy), std::signbit(w.entropy)) << what;
    ASSERT_EQ(g, w) << what << ": version " << g.version << " vs " << w.version << ", samples "
                    << g.sample_count << " vs " << w.sample_count;
  }
  ASSERT_EQ(got_data.joints.size(), want_data.joints.size());
  for (size_t i = 0; i < want_data.joints.size(); ++i) {
    model::JointDistributionObject g = got_data.joints[i], w = want_data.joints[i];
    expect_same_time(g.last_updated, w.last_updated, started, "joint " + std::to_string(i));
    g.last_updated = w.last_updated = 0;
    ASSERT_EQ(g, w) << "joint " << i;
  }
}

// How the day column is written.
enum class Days {
  Dates,               // dates, some with a time, some that are no date
  Timestamps,          // date-times with times of day, in no order
  SortedTimestamps,    // the same, rising through the file
};

// A date-time with a time of day; now and then one the buckets leave as it
// stands or read otherwise: fractional seconds, an offset, a time out of
// range or with one digit, a leap second, a day that does not exist, a far
// year, a date alone.
std::string timestamp_text(std::mt19937_64& rng, int64_t second) {
  const int64_t day = second / 86400, in_day = second % 86400;
  char text[64];
  std::snprintf(text, sizeof text, "2024-%02d-%02dT%02d:%02d:%02d", static_cast<int>(1 + day / 28 % 12),
                static_cast<int>(1 + day % 28), static_cast<int>(in_day / 3600),
                static_cast<int>(in_day / 60 % 60), static_cast<int>(in_day % 60));
  std::string t = text;
  switch (rng() % 40) {
    case 0: return t + ".25";
    case 1: return t + "Z";
    case 2: return t + "+01:00";
    case 3: return t.substr(0, 11) + "24:00:00";
    case 4: return t.substr(0, 11) + "23:59:60";
    case 5: return t.substr(0, 11) + "7:05:09";
    case 6: return "2024-02-30" + t.substr(10);
    case 7: return "+40000" + t.substr(4);
    case 8: return t.substr(0, 10);
    default: return t;
  }
}

// Rows of seven columns: days (see Days), regions, a categorical with
// unknown values, a categorical without an unknown bucket, two numbers
// partly outside their ranges or not numbers, and a note. With
// `joined_keys`, a few rows carry texts whose keys join to one index key.
std::string generate_csv(size_t n, int regions, uint64_t seed, bool joined_keys = false,
                         Days days = Days::Dates) {
  std::mt19937_64 rng(seed);
  std::mt19937_64 day_rng(seed + 1);
  std::string s = "day,region,color,tier,price,qty,note\n";
  for (size_t i = 0; i < n; ++i) {
    const int month = 1 + static_cast<int>(rng() % 4), dd = 1 + static_cast<int>(rng() % 28);
    std::string day = "2024-0" + std::to_string(month) + "-" + (dd < 10 ? "0" : "") + std::to_string(dd);
    if (days == Days::Timestamps)
      day = timestamp_text(day_rng, static_cast<int64_t>(day_rng() % (86400 * 200)));
    if (days == Days::SortedTimestamps)
      day = timestamp_text(day_rng, static_cast<int64_t>(i * 86400 * 200 / n));
    std::string region = "r" + std::to_string(rng() % static_cast<uint64_t>(regions));
    const uint64_t odd = rng() % 50;
    if (i >= 1000 && odd == 0) day += "T10:00:00";
    if (i >= 1000 && odd == 1) day = "2024-02-30";
    if (joined_keys && i >= 1000 && odd == 2) {  // two maps, one index key text
      day = (rng() % 2) ? "A/region:B" : "A";
      region = day == "A" ? "B/region:C" : "C";
    }
    const uint64_t ck = rng() % 14;
    const std::string color = ck < 10 ? "c" + std::to_string(ck) : ck < 12 ? "green" : "";
    const std::string tier = std::string(1, static_cast<char>('a' + rng() % 5));
    const int64_t base = static_cast<int64_t>(rng() % 140) - 20;
    std::string price = std::to_string(base) + ".5";
    if (i >= 1000 && odd == 3) price = "abc";
    if (i >= 1000 && odd == 4) price = "nan";
    if (i >= 1000 && odd == 5) price = "1e400";
    const std::string qty = std::to_string(static_cast<int64_t>(rng() % 51) - 10);
    // Notes the raw log writes as they stand, and some it escapes (a quote,
    // a backslash, a tab) or passes through (UTF-8).
    const uint64_t nk = rng() % 9;
    const std::string note = nk < 4   ? "plain"
                             : nk < 6 ? "x,y"
                             : nk == 6 ? "say \"\"hi\"\""
                             : nk == 7 ? "back\\slash"
                                       : "tab\there \xC3\xA9";
    s += day + "," + region + "," + color + "," + tier + "," + price + "," + qty + ",\"" + note + "\"\n";
  }
  return s;
}

// The note column's texts as JSON string contents.
std::string json_escaped(const std::string& text) {
  std::string out;
  for (char ch : text) {
    if (ch == '\\') out += "\\\\";
    else if (ch == '\t') out += "\\t";
    else if (ch == '"') out += "\\\"";
    else out += ch;
  }
  return out;
}

std::string csv_to_jsonl(const std::string& csv) {
  std::istringstream in(csv);
  std::string line, out;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::string cur;
    bool q = false;
    for (char ch : line) {
      if (ch == '"') q = !q;
      else if (ch == ',' && !q) f.push_back(cur), cur.clear();
      else cur += ch;
    }
    f.push_back(cur);
    // Numbers as JSON numbers where they parse plainly; qty stays a number.
    out += "{\"day\":\"" + f[0] + "\",\"region\":\"" + f[1] + "\",\"color\":\"" + f[2] +
           "\",\"tier\":\"" + f[3] + "\",\"price\":" +
           (f[4] == "abc" || f[4] == "nan" || f[4] == "1e400" ? "\"" + f[4] + "\"" : f[4]) +
           ",\"qty\":" + f[5] + ",\"note\":\"" + json_escaped(f[6]) + "\"}\n";
  }
  return out;
}

void define(store::Database& db) {
  using model::CategoricalType;
  using model::ContinuousType;
  ASSERT_TRUE(db.add_variable({"color", CategoricalType{{"c0", "c1", "c2", "c3", "c4", "c5", "c6", "c7", "c8", "c9"}, true}}).ok());
  ASSERT_TRUE(db.add_variable({"tier", CategoricalType{{"a", "b", "c"}, false}}).ok());
  ASSERT_TRUE(db.add_variable({"price", ContinuousType{20, model::Range{0.0, 100.0}}}).ok());
  ASSERT_TRUE(db.add_variable({"qty", ContinuousType{7, model::Range{-5.0, 30.0}}}).ok());
  ASSERT_TRUE(db.add_dimension({"day", "day", "monthly"}).ok());
  ASSERT_TRUE(db.add_dimension({"region", "region", std::nullopt}).ok());
  db.meta.schema.joints = {{"price", "color"}, {"tier", "color"}, {"qty", "price"}, {"color", "price"}};
}

struct Case {
  std::string name;
  bool json = false;
  uint64_t batch = 1000;
  // Runs on each fresh database before the ingests.
  std::function<void(store::Database&)> prepare;
  std::string error;  // the failure the first ingest must end with, if any
  uint32_t batch_number_limit = 0;  // batch numbers start over past it (0: never)
  ShardedTally sharded_tally = ShardedTally::WhenManyBlocks;
};

// Two ingests of the same kind into one database through each road, and
// the results compared after each.
void run_case(const Case& c, const std::vector<std::string>& inputs) {
  SCOPED_TRACE(c.name);
  const uint64_t started = unix_now_seconds();
  TempDir dir;
  auto mine = store::create_database(dir.path() / "new", true);
  auto plain = store::create_database(dir.path() / "old", true);
  ASSERT_TRUE(mine.ok() && plain.ok());
  define(*mine);
  define(*plain);
  if (c.prepare) {
    c.prepare(*mine);
    c.prepare(*plain);
  }
  IngestOptions o;
  o.date_granularity = "monthly";
  for (size_t i = 0; i < inputs.size(); ++i) {
    const std::string path = dir.write("in" + std::to_string(i) + (c.json ? ".jsonl" : ".csv"),
                                       c.json ? csv_to_jsonl(inputs[i]) : inputs[i]);
    const uint64_t tick = g_tick;
    // The file read in chunks of 16 KiB, as a large file is read in chunks
    // of a megabyte; the oracle reads it with the reader's default.
    auto got = ingest_file(*mine, path, o, c.batch, false,
                           IngestTuning{&fake_clock, c.batch_number_limit, 16u << 10, nullptr,
                                        c.sharded_tally});
    const uint64_t got_ticks = g_tick - tick;
    g_tick = tick;
    auto want = oracle_ingest_file(*plain, path, o, c.batch);
    EXPECT_EQ(g_tick - tick, got_ticks) << "batches that read the clock";
    ASSERT_EQ(got.ok(), want.ok()) << (got.ok() ? want.error().full_text() : got.error().full_text());
    if (got.ok()) {
      EXPECT_EQ(got->total_rows, want->total_rows);
      EXPECT_EQ(got->processed_rows, want->processed_rows);
      EXPECT_EQ(got->skipped_rows, want->skipped_rows);
      EXPECT_EQ(got->distributions_updated, want->distributions_updated);
    } else {
      EXPECT_EQ(got.error().full_text(), want.error().full_text());
    }
    if (i == 0) {
      EXPECT_EQ(got.ok() ? "" : got.error().full_text(), c.error);
    }
    expect_same_state(*mine, *plain, started);
    EXPECT_EQ(test_util::read_file(mine->raw_log->segment_path), test_util::read_file(plain->raw_log->segment_path));
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(IngestEquivalence, AgainstBatchByBatchApply) {
  // The first input has no key texts that join to one index key, the second
  // has a few.
  const std::vector<std::string> inputs = {generate_csv(6000, 40, 1), generate_csv(4500, 60, 2, true)};
  const std::vector<Case> cases = {
      {"csv, batches of 1000", false, 1000, nullptr, ""},
      {"csv, batches of 7", false, 7, nullptr, ""},
      {"csv, one batch", false, 100000, nullptr, ""},
      {"jsonl, batches of 333", true, 333, nullptr, ""},
      {"no raw log", false, 500,
       [](store::Database& db) {
         db.meta.raw_log_enabled = false;
       },
       ""},
  };
  for (const auto& c : cases) run_case(c, inputs);
}

// Few keys: once every key's blocks hold flat counts, whole batches take
// the tally of known keys; the batches that meet a new key or a block still
// listing its counts start on it and go back (their counts taken out) to the
// full tally. A batch whose step ran before the batch ahead of it added keys
// looks its unknown keys up again.
TEST(IngestEquivalence, BatchesOfKnownKeys) {
  const std::vector<std::string> inputs = {generate_csv(60000, 8, 7), generate_csv(9000, 12, 8, true)};
  for (const uint64_t batch : {uint64_t{500}, uint64_t{6000}}) {
    const uint64_t before = internal::known_key_tallies_for_testing();
    const uint64_t found = internal::pending_keys_found_for_testing();
    run_case({"csv, few keys, batches of " + std::to_string(batch), false, batch, nullptr, ""}, inputs);
    EXPECT_GT(internal::known_key_tallies_for_testing() - before, 4u) << "batches of " << batch;
    // With batches of 500, keys that one batch adds recur in the batch
    // after next, whose step ran before they were added.
    if (batch == 500) {
      EXPECT_GT(internal::pending_keys_found_for_testing() - found, 0u);
    }
  }
  run_case({"jsonl, few keys", true, 6000, nullptr, ""}, inputs);
}

// Batch numbers are 32-bit and start over past their limit, after the
// ingest settles what it holds: with the limit at a few batches, the result
// must still be batch-by-batch apply's, through both tallies.
TEST(IngestEquivalence, BatchNumbersStartingOver) {
  const std::vector<std::string> inputs = {generate_csv(60000, 8, 7), generate_csv(4500, 60, 2, true)};
  for (const uint32_t limit : {1u, 4u}) {
    SCOPED_TRACE("limit " + std::to_string(limit));
    const uint64_t before = internal::known_key_tallies_for_testing();
    run_case({"csv, batches of 1500", false, 1500, nullptr, "", limit}, inputs);
    // Settling every batch keeps the rarest blocks listing their counts, so
    // only the longer runs reach the tally of known keys.
    if (limit > 1) {
      EXPECT_GT(internal::known_key_tallies_for_testing() - before, 4u);
    }
    run_case({"csv, batches of 7", false, 7, nullptr, "", limit}, {inputs[1]});
  }
}

// Days written as date-times with times of day, almost every text new,
// sorted through the file and in no order, with the texts that no bucket
// takes among them; through a monthly and a daily dimension, on both roads.
TEST(IngestEquivalence, TimestampDays) {
  const std::vector<std::string> inputs = {generate_csv(12000, 20, 11, false, Days::SortedTimestamps),
                                           generate_csv(7000, 30, 12, true, Days::Timestamps)};
  auto daily = [](store::Database& db) { db.meta.schema.dimensions[0].granularity = "daily"; };
  const std::vector<Case> cases = {
      {"timestamps, batches of 1000", false, 1000, nullptr, ""},
      {"timestamps, batches of 7", false, 7, nullptr, ""},
      {"timestamps, daily, batches of 3000", false, 3000, daily, ""},
      {"timestamps, jsonl, batches of 500", true, 500, nullptr, ""},
  };
  for (const auto& c : cases) run_case(c, inputs);
}

// Enough keys that the tally fetches ahead and batches reserve room for many
// new distributions (more than 65 536 blocks, thousands of new distributions
// a batch).
TEST(IngestEquivalence, ManyKeys) {
  const std::vector<std::string> inputs = {generate_csv(30000, 200000, 5, true)};
  run_case({"csv, batches of 10000, many keys", false, 10000, nullptr, ""}, inputs);
  // The first batch's texts are all plain; the second batch, which creates
  // thousands, meets texts with ':' part way and turns the index into text.
  run_case({"csv, batches of 1000, many keys", false, 1000, nullptr, ""}, inputs);
}

// Every batch counted by shards of blocks on the pool, with few blocks as
// with many: new keys and known ones, blocks that outgrow their short lists
// in the batch, batch numbers starting over, and failures part way, whose
// partly applied batch must match the one-by-one apply's.
TEST(IngestEquivalence, TallyByShards) {
  constexpr ShardedTally kAlways = ShardedTally::Always;
  const std::vector<std::string> inputs = {generate_csv(6000, 40, 1),
                                           generate_csv(7000, 30, 12, true, Days::Timestamps)};
  const std::vector<Case> cases = {
      {"csv, batches of 1000", false, 1000, nullptr, "", 0, kAlways},
      {"csv, batches of 7", false, 7, nullptr, "", 0, kAlways},
      {"csv, one batch", false, 100000, nullptr, "", 0, kAlways},
      {"jsonl, batches of 333", true, 333, nullptr, "", 0, kAlways},
      {"csv, batch numbers start over", false, 1500, nullptr, "", 4, kAlways},
  };
  for (const auto& c : cases) run_case(c, inputs);
  run_case({"csv, few keys", false, 500, nullptr, "", 0, kAlways},
           {generate_csv(60000, 8, 7), generate_csv(9000, 12, 8, true)});
  const std::vector<std::string> failing = {generate_csv(5000, 200, 3, true)};
  run_case({"index names a missing id", false, 1000,
            [](store::Database& db) {
              db.index_insert("qty", {{"day", "A"}, {"region", "B/region:C"}}, 424242);
            },
            "distribution id '424242' not found", 0, kAlways},
           failing);
  run_case({"raw record counter", false, 1000,
            [](store::Database& db) { db.meta.next_raw_record_id = UINT64_MAX - 2500; },
            "raw record id counter would pass 18446744073709551615 (next id 18446744073709551115, "
            "records to number 1000)",
            0, kAlways},
           failing);
}

// A batch that fails part way: the batches before it are applied and
// finalised, the failing one only up to the failure. With 30 regions every
// block holds flat counts long before the failure; with 200, most blocks
// still list their few counts when it comes and some outgrow the list in
// the failing batch itself.
TEST(IngestEquivalence, FailingBatches) {
  for (const int regions : {30, 200}) {
    SCOPED_TRACE(std::to_string(regions) + " regions");
    const std::vector<std::string> inputs = {generate_csv(5000, regions, 3, true)};
    const std::vector<Case> cases = {
        // An index naming a distribution that is missing, met in a later
        // batch: the tallies of that batch before it are added, unfinalised.
        {"index names a missing id", false, 1000,
         [](store::Database& db) {
           db.index_insert("qty", {{"day", "A"}, {"region", "B/region:C"}}, 424242);
         },
         "distribution id '424242' not found"},
        // The raw-record counter would pass 2^64 - 1 in the third batch.
        {"raw record counter", false, 1000,
         [](store::Database& db) { db.meta.next_raw_record_id = UINT64_MAX - 2500; },
         "raw record id counter would pass 18446744073709551615 (next id 18446744073709551115, "
         "records to number 1000)"},
    };
    for (const auto& c : cases) run_case(c, inputs);
  }
}

// A raw-log write that the file size limit cuts in the middle of a line, in
// the fourth batch, while the steps of the batches after it are already
// running: the batches before it applied, the failing one's lines up to the
// cut and no counts of it, its cut line's identifier consumed.
TEST(IngestEquivalence, RawLogWriteFailing) {
  struct SizeLimit {
    rlimit old{};
    void (*old_handler)(int) = SIG_DFL;
    explicit SizeLimit(rlim_t bytes) {
      old_handler = ::signal(SIGXFSZ, SIG_IGN);  // a failed write, not a signal
      ::getrlimit(RLIMIT_FSIZE, &old);
      rlimit lim = old;
      lim.rlim_cur = bytes;
      ::setrlimit(RLIMIT_FSIZE, &lim);
    }
    ~SizeLimit() {
      ::setrlimit(RLIMIT_FSIZE, &old);
      ::signal(SIGXFSZ, old_handler);
    }
  };
  // About 125 bytes of raw log a record: the 400 000th byte falls in the
  // fourth batch of 1000 (the input file itself stays below the limit).
  const std::vector<std::string> inputs = {generate_csv(6000, 30, 9)};
  ASSERT_LT(inputs[0].size(), 400000u);
  SizeLimit limit(400000);
  run_case({"raw log cut by the file size limit", false, 1000, nullptr,
            "append raw line: File too large (os error 27)"},
           inputs);
}

}  // namespace
}  // namespace quor::ingest
