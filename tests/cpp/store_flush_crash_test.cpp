// A flush stopped after every one of its steps, as a killed process would
// stop it, must leave a database that opens in both modes, holds each record
// as it was before or after that flush, finds every distribution it counts,
// and takes the same ingest again without a second distribution for a key.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "crash_file_ops.h"
#include "store_container_frames.h"
#include "quor/ingest/batch_apply.h"
#include "quor/store/container.h"
#include "quor/store/dim_key.h"
#include "quor/store/directory.h"
#include "reference/database_counts.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using reference::find_distribution;

using namespace quor::store::testing;
namespace fs = std::filesystem;

const char* kDataFiles[] = {"meta.edb", "distributions.edb", "dist_index.edb", "snapshots.edb"};

// The records of the four data files.
struct Records {
  model::MetaFile meta;
  model::DistributionFile data;
  model::DistIndex index;
  model::SnapshotStore snapshots;
};

Records load_records(const fs::path& dir) {
  auto meta = load_meta_file(dir / "meta.edb");
  auto data = load_distribution_file_read(dir / "distributions.edb");
  auto index = load_dist_index(dir / "dist_index.edb");
  auto snapshots = load_snapshot_store(dir / "snapshots.edb");
  // A torn file would fail here: every file must decode.
  EXPECT_TRUE(meta.ok()) << meta.error().full_text();
  EXPECT_TRUE(data.ok()) << data.error().full_text();
  EXPECT_TRUE(index.ok()) << index.error().full_text();
  EXPECT_TRUE(snapshots.ok()) << snapshots.error().full_text();
  if (!meta.ok() || !data.ok() || !index.ok() || !snapshots.ok()) return {};
  return {*meta, *data, *index, *snapshots};
}

// One record per (region, shop) for regions [from, to) and 10 shops, with
// values that depend on `round` so a second round changes the counts.
std::vector<ingest::InputRecord> records_for(int from, int to, int round) {
  const char* plans[] = {"free", "pro", "team"};
  std::vector<ingest::InputRecord> out;
  for (int r = from; r < to; ++r) {
    for (int s = 0; s < 10; ++s) {
      ingest::InputRecord rec;
      rec.emplace("region", util::JsonValue("r" + std::to_string(r)));
      rec.emplace("shop", util::JsonValue("s" + std::to_string(s)));
      rec.emplace("amount",
                  util::JsonValue(util::JsonNumber::from_double((r * 7 + s * 3 + round * 11) % 100)));
      rec.emplace("plan", util::JsonValue(plans[(r + s + round) % 3]));
      out.push_back(std::move(rec));
    }
  }
  return out;
}

class FlushCrashTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    base_ = dir_ / "base";
    auto db = create_database(base_, true);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    ASSERT_TRUE(db->add_variable({"amount", model::ContinuousType{8, model::Range{0.0, 100.0}}}).ok());
    ASSERT_TRUE(db->add_variable({"plan", model::CategoricalType{{"free", "pro", "team"}, true}}).ok());
    ASSERT_TRUE(db->add_dimension({"region", "region", std::nullopt}).ok());
    ASSERT_TRUE(db->add_dimension({"shop", "shop", std::nullopt}).ok());
    db->meta.schema.joints.push_back({"amount", "plan"});
    ASSERT_TRUE(ingest::apply_input_records(*db, records_for(0, 10, 0)).ok());
    ASSERT_TRUE(flush_database(*db).ok());
    before_ = load_records(base_);
    ASSERT_EQ(before_.data.distributions.size(), 200u);
    ASSERT_EQ(before_.data.joints.size(), 100u);
  }

  // Opens a copy of the base at `work`, ingests half old and half new keys,
  // adds a snapshot (so that all four files change) and flushes through
  // `ops`. Returns the records that flush was to write.
  Records ingest_and_flush(const fs::path& work, FileOps& ops, Status& flushed,
                           const ParallelRunner* parallel = nullptr) {
    fs::copy(base_, work, fs::copy_options::recursive);
    auto db = open_database(work, true);
    EXPECT_TRUE(db.ok()) << db.error().full_text();
    if (!db.ok()) return {};
    auto applied = ingest::apply_input_records(*db, second_ingest());
    EXPECT_TRUE(applied.ok()) << applied.error().full_text();
    db->snapshots.entries["before-crash"] = {model::SnapshotEntry{3, 1700000000, db->distribution(0)}};
    Records after{db->meta, db->records(), db->index_record(), db->snapshots};
    flushed = flush_database(*db, ops, parallel);
    return after;  // releasing `db` frees the lock, as the end of a process does
  }

  static std::vector<ingest::InputRecord> second_ingest() { return records_for(5, 15, 1); }

  // Everything a user relies on after reopening `work` in one mode.
  static void check_opens(const fs::path& work, bool writable, size_t distributions) {
    SCOPED_TRACE(writable ? "read-write" : "read-only");
    auto db = open_database(work, writable);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    EXPECT_EQ(db->database_stats().distributions, db->distributions.size());
    EXPECT_EQ(db->distributions.size(), distributions);
    uint64_t largest = 0;
    for (const auto& d : db->records().distributions) {
      largest = std::max(largest, d.id);
      EXPECT_NE(db->find_variable(d.variable), nullptr) << "a distribution outside the schema";
      const auto found = db->lookup_distribution(d.variable, d.dimension_key);
      ASSERT_TRUE(found.has_value()) << index_key(d.variable, d.dimension_key);
      EXPECT_EQ(found->id, d.id);
      const auto first = find_distribution(*db, d.variable, d.dimension_key);
      ASSERT_TRUE(first.has_value());
      EXPECT_EQ(first->id, d.id);
    }
    EXPECT_GT(db->meta.next_distribution_id, largest);
    uint64_t largest_joint = 0;
    for (const auto& j : db->joints) largest_joint = std::max(largest_joint, j.id);
    EXPECT_GT(db->meta.next_joint_id, largest_joint);
  }

  void every_step_leaves_a_consistent_database(const ParallelRunner* parallel);

  fs::path base_;
  Records before_;
};

void FlushCrashTest::every_step_leaves_a_consistent_database(const ParallelRunner* parallel) {
  // The uninterrupted flush names the steps.
  CrashingFileOps counting;
  Status flushed;
  const Records after = ingest_and_flush(dir_ / "full", counting, flushed, parallel);
  ASSERT_TRUE(flushed.ok()) << flushed.error().full_text();
  const std::vector<std::string> steps = counting.steps();
  auto count = [&](const std::string& prefix) {
    return std::count_if(steps.begin(), steps.end(),
                         [&](const std::string& s) { return s.rfind(prefix, 0) == 0; });
  };
  // Every file is staged (created, written, synced, closed), then renamed
  // in order, then the directory is synced once.
  EXPECT_EQ(count("create "), 4);
  EXPECT_GE(count("write "), 4);
  EXPECT_EQ(count("sync"), 5);
  EXPECT_EQ(count("close"), 4);
  EXPECT_EQ(count("sync dir "), 1);
  ASSERT_GE(steps.size(), 5u);
  EXPECT_EQ(std::vector<std::string>(steps.end() - 5, steps.end()),
            (std::vector<std::string>{"rename meta.edb", "rename distributions.edb",
                                      "rename dist_index.edb", "rename snapshots.edb",
                                      "sync dir " + (dir_ / "full").string()}));
  ASSERT_EQ(after.data.distributions.size(), 300u);
  RecordProperty("flush_steps", static_cast<int>(steps.size()));

  for (uint64_t k = 0; k <= steps.size(); ++k) {
    SCOPED_TRACE("stopped after step " + std::to_string(k) +
                 (k == 0 ? std::string() : " (" + steps[k - 1] + ")"));
    const fs::path work = dir_ / ("k" + std::to_string(k));
    CrashingFileOps crash(k);
    Status st;
    // The same flush each time, but for the times it stamps.
    const Records expected = ingest_and_flush(work, crash, st, parallel);
    EXPECT_EQ(st.ok(), k == steps.size());
    ASSERT_EQ(expected.data.distributions.size(), after.data.distributions.size());

    // Each file holds its record before or after the flush, and the new
    // ones are a prefix of the rename order.
    const Records now = load_records(work);
    const bool is_after[4] = {now.meta == expected.meta, now.data == expected.data,
                              now.index == expected.index, now.snapshots == expected.snapshots};
    const bool is_before[4] = {now.meta == before_.meta, now.data == before_.data,
                               now.index == before_.index, now.snapshots == before_.snapshots};
    for (int f = 0; f < 4; ++f) EXPECT_TRUE(is_after[f] || is_before[f]) << kDataFiles[f];
    for (int f = 1; f < 4; ++f) EXPECT_TRUE(is_after[f - 1] || !is_after[f]) << kDataFiles[f];

    const size_t distributions = now.data.distributions.size();
    check_opens(work, false, distributions);
    check_opens(work, true, distributions);

    // The same ingest again creates no second distribution for any key.
    {
      auto db = open_database(work, true);
      ASSERT_TRUE(db.ok()) << db.error().full_text();
      for (const auto& entry : fs::directory_iterator(work)) {
        const std::string name = entry.path().filename().string();
        for (const char* data_file : kDataFiles)
          EXPECT_FALSE(is_temporary_name_for(name, data_file)) << name << " left after open";
      }
      ASSERT_TRUE(ingest::apply_input_records(*db, second_ingest()).ok());
      std::set<std::string> keys;
      for (const auto& d : db->records().distributions)
        EXPECT_TRUE(keys.insert(index_key(d.variable, d.dimension_key)).second)
            << "second distribution for " << index_key(d.variable, d.dimension_key);
      EXPECT_EQ(db->distributions.size(), expected.data.distributions.size());
      std::set<std::tuple<std::string, std::string, std::string>> joints;
      for (const auto& j : db->joints)
        EXPECT_TRUE(joints.insert({j.variables.first, j.variables.second,
                                   dimension_key_string(j.dimension_key)})
                        .second);
      EXPECT_EQ(db->joints.size(), expected.data.joints.size());
      std::set<uint64_t> ids;
      for (const auto& d : db->records().distributions) EXPECT_TRUE(ids.insert(d.id).second) << d.id;
      ASSERT_TRUE(flush_database(*db).ok());
    }
    fs::remove_all(work);
  }
}

TEST_F(FlushCrashTest, EveryStepOfAFlushLeavesAConsistentDatabase) {
  every_step_leaves_a_consistent_database(nullptr);
}

// The ingest's flush spreads its encoding and compression over a pool: on
// threads, the parts finish in any order, and the steps are still those of
// the flush on one thread, the files the same records.
TEST_F(FlushCrashTest, TheFlushOnAPoolTakesTheStepsOfTheFlushOnOneThread) {
  const ParallelRunner on_threads = [](size_t n, const std::function<void(size_t)>& fn) {
    std::vector<std::thread> threads;
    for (size_t i = n; i-- > 1;) threads.emplace_back([&fn, i] { fn(i); });
    if (n > 0) fn(0);
    for (auto& t : threads) t.join();
  };
  internal::set_image_parts_for_testing(7, 3);  // several parts and rounds
  std::vector<std::string> steps[2];
  std::string files[2][4];
  for (int p = 0; p < 2; ++p) {
    const fs::path work = dir_ / (p == 0 ? "one" : "pool");
    CrashingFileOps counting;
    Status flushed;
    // Each file holds the one-thread image of the record it was to hold;
    // the distributions and the index, written on the pool in a frame per
    // part, hold the same bytes once decompressed.
    const Records after = ingest_and_flush(work, counting, flushed, p == 0 ? nullptr : &on_threads);
    ASSERT_TRUE(flushed.ok()) << flushed.error().full_text();
    // The directory and the random part of temporary names go; so do the
    // sizes of the writes, which follow the frames (one per part on the
    // pool), and a run of writes is one step here.
    for (std::string s : counting.steps()) {
      if (const size_t at = s.find(work.string()); at != std::string::npos)
        s.replace(at, work.string().size(), "DIR");
      if (const size_t at = s.find(".tmp-"); at != std::string::npos) s.resize(at + 5);
      if (s.rfind("write ", 0) == 0) {
        if (!steps[p].empty() && steps[p].back() == "write") continue;
        s = "write";
      }
      steps[p].push_back(std::move(s));
    }
    for (int f = 0; f < 4; ++f) {
      auto image = f == 0   ? data_file_image(after.meta)
                   : f == 1 ? data_file_image(after.data)
                   : f == 2 ? data_file_image(after.index)
                            : data_file_image(after.snapshots);
      ASSERT_TRUE(image.ok());
      files[p][f] = slurp(work / kDataFiles[f]);
      if (p == 1 && (f == 1 || f == 2)) {
        EXPECT_GT(frames_of(std::string_view(files[p][f]).substr(8)).size(), 1u) << kDataFiles[f];
        EXPECT_TRUE(decompressed_stream(std::string_view(files[p][f]).substr(8)) ==
                    (f == 1 ? encode_stored_record(after.data) : encode_stored_record(after.index)))
            << kDataFiles[f];
      } else {
        EXPECT_TRUE(files[p][f] == *image) << kDataFiles[f];
      }
    }
  }
  EXPECT_EQ(steps[0], steps[1]);
  every_step_leaves_a_consistent_database(&on_threads);
  internal::set_image_parts_for_testing(0, 0);
}

}  // namespace
}  // namespace quor::store
