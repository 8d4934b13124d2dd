// Which records a flush writes: none when nothing changed, every one a file
// may not hold, the change generation that tells it whether to look, and
// the id counters that open raises past the stored ids.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "crash_file_ops.h"
#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "reference/database_counts.h"
#include "store_directory_fixture.h"
#include "store_flush_files.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;
namespace fs = std::filesystem;

// `data` as one zstd frame.
std::string zstd_bytes(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
  return out;
}

// The entries of the index file in the directory, in a fixed order.
std::vector<std::pair<std::string, uint64_t>> index_entries(const fs::path& dir) {
  const model::DistIndex index = *load_dist_index(dir / "dist_index.edb");
  std::vector<std::pair<std::string, uint64_t>> out(index.by_key.begin(), index.by_key.end());
  std::sort(out.begin(), out.end());
  return out;
}

// A current-format index file holding `entries` in this order.
std::string current_index_file(const std::vector<std::pair<std::string, uint64_t>>& entries) {
  std::string enc;
  auto u64 = [&enc](uint64_t v) {
    for (int i = 0; i < 8; ++i) enc.push_back(static_cast<char>(v >> (8 * i)));
  };
  u64(entries.size());
  for (const auto& [key, id] : entries) {
    u64(key.size());
    enc += key;
    u64(id);
  }
  return std::string("QUOR\x03\x00\x00\x00", 8) + zstd_bytes(enc);
}

TEST_F(FlushFilesTest, AFlushWithNothingChangedRewritesNoFile) {
  const fs::path path = dir_ / "db";
  auto db = create_database(path, true);
  ASSERT_TRUE(db.ok());
  fill(*db);
  db->snapshots.entries["k"] = {model::SnapshotEntry{1, 2, db->distribution(0)}};
  ASSERT_TRUE(flush_database(*db).ok());
  const auto written = stamps_of(path);
  auto steps_of_flush = [&](Database& d) {
    CrashingFileOps ops;
    Status st = flush_database(d, ops);
    EXPECT_TRUE(st.ok()) << st.error().full_text();
    return ops.steps();
  };

  // Right after a flush, and after a release and a read-write open.
  EXPECT_TRUE(steps_of_flush(*db).empty());
  *db = Database();
  db = open_database(path, true);
  ASSERT_TRUE(db.ok());
  EXPECT_TRUE(steps_of_flush(*db).empty());
  EXPECT_TRUE(steps_of_flush(*db).empty());
  EXPECT_EQ(stamps_of(path), written);
  // The files left alone hold exactly what a write would have put there.
  EXPECT_EQ(slurp(path / "meta.edb"), *data_file_image(db->meta));
  EXPECT_EQ(slurp(path / "distributions.edb"), *data_file_image(db->records()));
  EXPECT_EQ(slurp(path / "snapshots.edb"), *data_file_image(db->snapshots));
  EXPECT_EQ(*load_dist_index(path / "dist_index.edb"), db->index_record());

  // New counts for an existing distribution change only its file.
  HistogramCounts h;
  h.bins = {{2, 5}};
  const model::DimensionMap eu{{"region", "EU"}};
  ASSERT_TRUE(apply_counts(*db, "age", eu, h).ok());
  finalize_updates(*db, {{"age", eu}});
  EXPECT_EQ(renames_in(steps_of_flush(*db)), (std::vector<std::string>{"distributions.edb"}));
  auto now = stamps_of(path);
  EXPECT_NE(now[1], written[1]);
  now[1] = written[1];
  EXPECT_EQ(now, written);

  // A new distribution: its file, the index and the id counter, then nothing
  // again; what the files hold is what a write puts there.
  const model::DimensionMap asia{{"region", "ASIA"}};
  ASSERT_TRUE(apply_counts(*db, "age", asia, h).ok());
  finalize_updates(*db, {{"age", asia}});
  EXPECT_EQ(renames_in(steps_of_flush(*db)),
            (std::vector<std::string>{"meta.edb", "distributions.edb", "dist_index.edb"}));
  EXPECT_TRUE(steps_of_flush(*db).empty());
  EXPECT_EQ(slurp(path / "meta.edb"), *data_file_image(db->meta));
  EXPECT_EQ(slurp(path / "distributions.edb"), *data_file_image(db->records()));
  EXPECT_EQ(slurp(path / "dist_index.edb"), *data_file_image(db->index_record()));
}

TEST_F(FlushFilesTest, FilesThatMayNotHoldTheRecordAreWrittenAgain) {
  const fs::path path = dir_ / "db";
  model::DistIndex old_index;
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    old_index = db->index_record();  // empty
    fill(*db);
    ASSERT_TRUE(flush_database(*db).ok());
  }
  auto renames_of_flush = [&](Database& d) {
    CrashingFileOps ops;
    Status st = flush_database(d, ops);
    EXPECT_TRUE(st.ok()) << st.error().full_text();
    return renames_in(ops.steps());
  };
  struct Case {
    const char* what;
    std::function<void()> damage;
    std::vector<std::string> rewritten;
  };
  const model::MetaFile meta = *load_meta_file(path / "meta.edb");
  const Case cases[] = {
      // An index that decodes but is not the one the distributions give.
      {"stale index", [&] { ASSERT_TRUE(write_dist_index_file(path / "dist_index.edb", old_index).ok()); },
       {"dist_index.edb"}},
      {"index with the same keys and other ids",
       [&] {
         model::DistIndex swapped = *load_dist_index(path / "dist_index.edb");
         const model::DistIndex read = swapped;
         for (const auto& [key, id] : read.by_key)
           swapped.by_key.insert_or_assign(key, 3 - id);  // ids 1 and 2 exchanged
         ASSERT_TRUE(write_dist_index_file(path / "dist_index.edb", swapped).ok());
       },
       {"dist_index.edb"}},
      {"garbage index", [&] { spit(path / "dist_index.edb", "garbage"); }, {"dist_index.edb"}},
      // The index is an unordered map: its entries in another order are the
      // same index; a key given twice is not.
      {"the same index in another order",
       [&] {
         auto entries = index_entries(path);
         std::reverse(entries.begin(), entries.end());
         spit(path / "dist_index.edb", current_index_file(entries));
       },
       {}},
      {"index giving a key twice",
       [&] {
         auto entries = index_entries(path);
         entries[1] = entries[0];
         spit(path / "dist_index.edb", current_index_file(entries));
       },
       {"dist_index.edb"}},
      {"missing snapshots", [&] { fs::remove(path / "snapshots.edb"); }, {"snapshots.edb"}},
      // Older versions and the JSON form are brought to the current format.
      {"version 2 meta",
       [&] { spit(path / "meta.edb", std::string("QUOR\x02\x00\x00\x00", 8) + encode_stored_record(meta)); },
       {"meta.edb"}},
      // Current-format files that decode to the record but do not hold its
      // encoding exactly.
      {"distributions with a byte after the record",
       [&] {
         spit(path / "distributions.edb",
              std::string("QUOR\x03\x00\x00\x00", 8) +
                  zstd_bytes(encode_stored_record(*load_distribution_file_read(path / "distributions.edb")) + "x"));
       },
       {"distributions.edb"}},
      {"json meta",
       [&] {
         spit(path / "meta.edb",
              "{\"schema\":{\"variables\":[],\"dimensions\":[],\"joints\":[]},\"next_distribution_id\":1,"
              "\"next_joint_id\":1,\"next_raw_record_id\":1,\"format_version\":3,"
              "\"raw_log_enabled\":false}");
       },
       {"meta.edb"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.damage();
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    EXPECT_EQ(renames_of_flush(*db), c.rewritten);
    EXPECT_TRUE(renames_of_flush(*db).empty());
  }
  // A file replaced or removed behind the database's back while it is open.
  auto db = open_database(path, true);
  ASSERT_TRUE(db.ok());
  fs::remove(path / "snapshots.edb");
  ASSERT_TRUE(write_dist_index_file(path / "dist_index.edb", db->index_record()).ok());
  EXPECT_EQ(renames_of_flush(*db), (std::vector<std::string>{"dist_index.edb", "snapshots.edb"}));
  EXPECT_TRUE(renames_of_flush(*db).empty());
}

TEST_F(FlushFilesTest, OpenRaisesIdCountersPastTheLargestStoredId) {
  const fs::path path = dir_ / "db";
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);  // distributions 1 and 2, joint 1
    db->meta.next_distribution_id = 1;
    db->meta.next_joint_id = 1;
    ASSERT_TRUE(flush_database(*db).ok());
  }
  for (bool writable : {false, true}) {
    auto db = open_database(path, writable);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->meta.next_distribution_id, 3u);
    EXPECT_EQ(db->meta.next_joint_id, 2u);
  }
  {
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(*db->ensure_distribution("age", {{"region", "US"}}), 3u);
    // A counter ahead of the ids stays where it is.
    db->meta.next_distribution_id = 100;
    db->meta.next_joint_id = 50;
    ASSERT_TRUE(flush_database(*db).ok());
  }
  {
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->meta.next_distribution_id, 100u);
    EXPECT_EQ(db->meta.next_joint_id, 50u);
    db->distributions.row(static_cast<Position>(db->distributions.size() - 1)).id = UINT64_MAX;
    db->joints.back().id = UINT64_MAX;
    db->meta.next_distribution_id = 7;
    db->meta.next_joint_id = 7;
    ASSERT_TRUE(flush_database(*db).ok());
  }
  // The largest possible id has no successor: the counter stops there and
  // every later assignment is refused, never reusing an id below it.
  {
    auto db = open_database(path, false);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->meta.next_distribution_id, UINT64_MAX);
    EXPECT_EQ(db->meta.next_joint_id, UINT64_MAX);
  }
  auto db = open_database(path, true);
  ASSERT_TRUE(db.ok());
  const size_t before = db->distributions.size();
  auto refused = db->ensure_distribution("age", {{"region", "nowhere"}});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().full_text(), "distribution id counter exhausted");
  EXPECT_EQ(db->distributions.size(), before);
}

// Every changing operation raises the change generation, so the next flush
// looks at the records again; a flush after which every file holds its
// record leaves them clean, and a flush of clean records checks only that
// each file is still the one it wrote. That it then encodes nothing shows in
// a record edited behind the generation's back: not seen until
// note_change().
TEST_F(FlushFilesTest, TheChangeGenerationTellsAFlushWhetherToLookAtTheRecords) {
  const fs::path path = dir_ / "db";
  auto db = create_database(path, true);
  ASSERT_TRUE(db.ok());
  EXPECT_FALSE(db->flush_state.clean());  // open read what the files held, nothing more
  fill(*db);
  ASSERT_TRUE(flush_database(*db).ok());
  EXPECT_TRUE(db->flush_state.clean());
  auto steps_of_flush = [&](Database& d) {
    CrashingFileOps ops;
    Status st = flush_database(d, ops);
    EXPECT_TRUE(st.ok()) << st.error().full_text();
    return renames_in(ops.steps());
  };
  const model::DimensionMap eu{{"region", "EU"}}, us{{"region", "US"}};
  struct Case {
    const char* what;
    std::function<void(Database&)> change;
  };
  const Case cases[] = {
      {"add_variable", [](Database& d) { ASSERT_TRUE(d.add_variable({"v2", model::ContinuousType{2, std::nullopt}}).ok()); }},
      {"add_dimension", [](Database& d) { ASSERT_TRUE(d.add_dimension({"d2", "d2", std::nullopt}).ok()); }},
      {"apply_counts", [&](Database& d) { ASSERT_TRUE(apply_counts(d, "age", eu, HistogramCounts{{{1, 1}}}).ok()); }},
      {"ensure_distribution", [&](Database& d) { ASSERT_TRUE(d.ensure_distribution("age", us).ok()); }},
      {"ensure_joint", [&](Database& d) { ASSERT_TRUE(d.ensure_joint("age", "colour", us).ok()); }},
      {"finalize_updates", [&](Database& d) { finalize_updates(d, {{"age", eu}}, 1234); }},
      {"a direct edit announced", [](Database& d) {
         d.flush_state.note_change();
         d.snapshots.entries["k"] = {model::SnapshotEntry{1, 2, d.records().distributions[0]}};
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(db->flush_state.clean());
    c.change(*db);
    EXPECT_FALSE(db->flush_state.clean());
    ASSERT_TRUE(flush_database(*db).ok());
    EXPECT_TRUE(db->flush_state.clean());
    EXPECT_TRUE(steps_of_flush(*db).empty());
  }

  // Clean: a count edited without a word is not looked at ...
  db->distributions.cells(0)[0] += 1;
  db->distributions.row(0).total_count += 1;
  EXPECT_TRUE(steps_of_flush(*db).empty());
  // ... announced, it is written; and a file replaced behind the database's
  // back is written again even while the records are clean.
  db->flush_state.note_change();
  EXPECT_EQ(steps_of_flush(*db), (std::vector<std::string>{"distributions.edb"}));
  EXPECT_TRUE(db->flush_state.clean());
  ASSERT_TRUE(write_snapshots_file(path / "snapshots.edb", model::SnapshotStore{}).ok());
  EXPECT_EQ(steps_of_flush(*db), (std::vector<std::string>{"snapshots.edb"}));
  EXPECT_EQ(*load_distribution_file_read(path / "distributions.edb"), db->records());
  EXPECT_EQ(*load_snapshot_store(path / "snapshots.edb"), db->snapshots);

  // A flush that fails leaves the records unclean, so the next one looks again.
  ASSERT_TRUE(apply_counts(*db, "age", eu, HistogramCounts{{{2, 1}}}).ok());
  CrashingFileOps dies(0);
  EXPECT_FALSE(flush_database(*db, dies).ok());
  EXPECT_FALSE(db->flush_state.clean());
  EXPECT_EQ(steps_of_flush(*db), (std::vector<std::string>{"distributions.edb"}));
  EXPECT_TRUE(db->flush_state.clean());
}

}  // namespace
}  // namespace quor::store
