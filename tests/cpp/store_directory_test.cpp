#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <string>
#include <thread>

#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "quor/util/json.h"
#include "reference/raw_log_lines.h"
#include "store_directory_fixture.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;
using reference::append_raw_record;
using reference::append_raw_records;
namespace fs = std::filesystem;

using DirectoryTest = TempDirTest;
using RawLogTest = TempDirTest;

TEST_F(DirectoryTest, CreateBuildsTheDirectoryAndOpensReadWrite) {
  const fs::path path = dir_ / "a" / "b" / "db";
  auto db = create_database(path, true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  EXPECT_TRUE(db->writable);
  EXPECT_TRUE(db->lock_file && db->lock_file->is_open());
  EXPECT_EQ(db->meta, model::MetaFile{});
  EXPECT_EQ(db->database_stats(), DatabaseStats{});
  for (const char* name : kDataFiles) EXPECT_EQ(slurp(path / name).substr(0, 4), "QUOR") << name;
  EXPECT_EQ(fs::file_size(path / "lock.edb"), 0u);
  EXPECT_TRUE(fs::exists(path / "raw" / "log_000001.raw"));
  ASSERT_TRUE(db->raw_log.has_value());
  EXPECT_EQ(db->raw_log->segment_path, path / "raw" / "log_000001.raw");
  // A new database starts from the default meta record.
  EXPECT_EQ(*load_meta_file(path / "meta.edb"), model::MetaFile{});

  const fs::path plain = dir_ / "plain";
  auto no_log = create_database(plain, false);
  ASSERT_TRUE(no_log.ok());
  EXPECT_FALSE(no_log->meta.raw_log_enabled);
  EXPECT_FALSE(no_log->raw_log.has_value());
  EXPECT_FALSE(fs::exists(plain / "raw"));
}

TEST_F(DirectoryTest, FlushReleaseAndReopenGiveBackTheSameState) {
  const fs::path path = dir_ / "db";
  model::MetaFile meta;
  model::DistributionFile data;
  model::DistIndex index;
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);
    ASSERT_TRUE(flush_database(*db).ok());
    meta = db->meta;
    data = db->records();
    index = db->index_record();
  }
  for (bool writable : {true, false}) {
    auto db = open_database(path, writable);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    EXPECT_EQ(db->writable, writable);
    EXPECT_EQ(db->lock_file.has_value(), writable);
    EXPECT_EQ(db->meta, meta);
    EXPECT_EQ(db->records(), data);
    EXPECT_EQ(db->index_record(), index);
    EXPECT_EQ(db->distribution_by_id(2)->variable, "colour");
  }
}

TEST_F(DirectoryTest, CreateOverAnExistingDatabaseChangesNoDataFile) {
  const fs::path path = dir_ / "db";
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);
    ASSERT_TRUE(flush_database(*db).ok());
  }
  std::vector<std::string> before;
  for (const char* name : kDataFiles) before.push_back(slurp(path / name));
  auto again = create_database(path, true);
  ASSERT_TRUE(again.ok()) << again.error().full_text();
  EXPECT_TRUE(again->writable);
  EXPECT_FALSE(again->meta.raw_log_enabled);  // the existing meta file wins
  EXPECT_TRUE(fs::exists(path / "raw"));      // but the raw directory is made
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(slurp(path / kDataFiles[i]), before[i]);
}

TEST_F(DirectoryTest, OpenFailuresLeaveNoLockBehind) {
  const fs::path missing = dir_ / "missing";
  auto r = open_database(missing, true);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(), "database path does not exist: " + missing.string());

  const fs::path empty = dir_ / "empty";
  fs::create_directories(empty);
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto e = open_database(empty, true);
    ASSERT_FALSE(e.ok());
    EXPECT_EQ(e.error().full_text(), "read file " + (empty / "meta.edb").string() +
                                         ": No such file or directory (os error 2)");
    EXPECT_TRUE(lock_is_free(empty / "lock.edb"));
  }
  // A broken distributions file fails the open too, and frees the lock.
  {
    auto db = create_database(dir_ / "db", false);
    ASSERT_TRUE(db.ok());
  }
  spit(dir_ / "db" / "distributions.edb", "garbage");
  for (bool writable : {true, false}) {
    auto d = open_database(dir_ / "db", writable);
    ASSERT_FALSE(d.ok());
    EXPECT_EQ(d.error().full_text().rfind(
                  "parse " + (dir_ / "db" / "distributions.edb").string() + " (tried binary and JSON)", 0),
              0u);
  }
  EXPECT_TRUE(lock_is_free(dir_ / "db" / "lock.edb"));
}

TEST_F(DirectoryTest, BrokenIndexIsRebuiltAndBrokenSnapshotsAreEmptied) {
  const fs::path path = dir_ / "db";
  model::DistIndex index;
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);
    db->snapshots.entries["k"] = {model::SnapshotEntry{1, 2, db->distribution(0)}};
    ASSERT_TRUE(flush_database(*db).ok());
    index = db->index_record();
  }
  {
    auto db = open_database(path, false);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->snapshots.entries.at("k").size(), 1u);  // kept as loaded
  }
  for (const char* damage : {"delete", "garbage"}) {
    SCOPED_TRACE(damage);
    if (std::string(damage) == "delete") {
      fs::remove(path / "dist_index.edb");
      fs::remove(path / "snapshots.edb");
    } else {
      spit(path / "dist_index.edb", "\x01\x02");
      spit(path / "snapshots.edb", "QUOR\x02\x00\x00\x00\x07");
    }
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok()) << db.error().full_text();
    EXPECT_EQ(db->index_record(), index);
    EXPECT_TRUE(db->snapshots.entries.empty());
    ASSERT_TRUE(flush_database(*db).ok());
    EXPECT_EQ(*load_snapshot_store(path / "snapshots.edb"), model::SnapshotStore{});
  }
}

TEST_F(DirectoryTest, ReadOnlyFlushWritesNothingAndJsonFilesAreUpgradedOnFlush) {
  const fs::path path = dir_ / "db";
  { ASSERT_TRUE(create_database(path, false).ok()); }
  spit(path / "meta.edb",
       "{\"schema\":{\"variables\":[],\"dimensions\":[],\"joints\":[]},\"next_distribution_id\":1,"
       "\"next_joint_id\":1,\"next_raw_record_id\":1,\"format_version\":3,"
       "\"raw_log_enabled\":false}");
  std::vector<std::string> before;
  for (const char* name : kDataFiles) before.push_back(slurp(path / name));
  {
    auto ro = open_database(path, false);
    ASSERT_TRUE(ro.ok()) << ro.error().full_text();
    EXPECT_FALSE(ro->add_variable({"x", model::ContinuousType{1, std::nullopt}}).ok());
    ASSERT_TRUE(flush_database(*ro).ok());
  }
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(slurp(path / kDataFiles[i]), before[i]);
  {
    auto rw = open_database(path, true);
    ASSERT_TRUE(rw.ok());
    ASSERT_TRUE(flush_database(*rw).ok());
  }
  EXPECT_EQ(slurp(path / "meta.edb").substr(0, 8), std::string("QUOR\x03\x00\x00\x00", 8));
  EXPECT_FALSE(load_meta_file(path / "meta.edb")->raw_log_enabled);
}

TEST_F(DirectoryTest, SecondReadWriteOpenInThisProcessIsRefusedAtOnce) {
  const fs::path path = dir_ / "db";
  auto first = create_database(path, true);
  ASSERT_TRUE(first.ok());
  const std::string refusal = "database " + path.string() + " is already open read-write in this process";
  auto second = open_database(path, true);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error().full_text(), refusal);
  // Another spelling of the same directory is the same directory.
  const fs::path other = dir_ / "." / "db" / ".." / "db";
  auto third = create_database(other, true);
  ASSERT_FALSE(third.ok());
  EXPECT_EQ(third.error().full_text(),
            "database " + other.string() + " is already open read-write in this process");
  // Read-only opens neither wait nor are refused.
  EXPECT_TRUE(open_database(path, false).ok());

  // Moving the database keeps the registration; releasing it frees both.
  Database moved = std::move(*first);
  EXPECT_FALSE(open_database(path, true).ok());
  moved = Database();
  EXPECT_TRUE(lock_is_free(path / "lock.edb"));
  auto again = open_database(path, true);
  EXPECT_TRUE(again.ok()) << again.error().full_text();
}

TEST_F(DirectoryTest, ReadWriteOpenInAnotherProcessWaitsForRelease) {
  const fs::path path = dir_ / "db";
  { ASSERT_TRUE(create_database(path, false).ok()); }
  int locked[2], released[2];
  ASSERT_EQ(::pipe(locked), 0);
  ASSERT_EQ(::pipe(released), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Holds the database for a moment, then releases it and says so.
    auto db = open_database(path, true);
    char c = db.ok() ? 'L' : 'E';
    (void)!::write(locked[1], &c, 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // Announce the release before making it: the parent can only get the
    // lock after this byte is in the pipe.
    (void)!::write(released[1], "R", 1);
    if (db.ok()) *db = Database();
    ::_exit(0);
  }
  char c = 0;
  ASSERT_EQ(::read(locked[0], &c, 1), 1);
  ASSERT_EQ(c, 'L');
  auto db = open_database(path, true);  // waits on the child's lock
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  // The child had started its release when our open got through.
  pollfd pfd{released[0], POLLIN, 0};
  EXPECT_EQ(::poll(&pfd, 1, 0), 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (int fd : {locked[0], locked[1], released[0], released[1]}) ::close(fd);
}

// ---- raw log ----

util::JsonValue payload_b1_ax() {
  util::JsonObject o;
  o.emplace("b", util::JsonValue(util::JsonNumber::pos_int(1)));
  o.emplace("a", util::JsonValue("x"));
  return util::JsonValue(std::move(o));
}

TEST_F(RawLogTest, LinesAreCompactSortedAndInAppendOrder) {
  auto log = open_raw_log(dir_ / "raw");
  ASSERT_TRUE(log.ok());
  EXPECT_EQ(slurp(log->segment_path), "");
  ASSERT_TRUE(append_raw_record(*log, 7, payload_b1_ax()).ok());
  util::JsonObject f;
  f.emplace("v", util::JsonValue(util::JsonNumber::from_double(INFINITY)));
  f.emplace("w", util::JsonValue(util::JsonNumber::from_double(2.0)));
  ASSERT_TRUE(append_raw_record(*log, 8, util::JsonValue(std::move(f))).ok());
  EXPECT_EQ(slurp(log->segment_path),
            "{\"payload\":{\"a\":\"x\",\"b\":1},\"record_id\":7}\n"
            "{\"payload\":{\"v\":null,\"w\":2.0},\"record_id\":8}\n");

  // The batch form writes the same bytes.
  auto batch_log = open_raw_log(dir_ / "raw2");
  ASSERT_TRUE(batch_log.ok());
  std::vector<util::JsonValue> payloads = {payload_b1_ax(), *util::parse_json_value("{\"v\":null,\"w\":2.0}")};
  ASSERT_TRUE(append_raw_records(*batch_log, 7, payloads).ok());
  EXPECT_EQ(slurp(batch_log->segment_path), slurp(log->segment_path));

  // Reopening keeps the lines; a deleted directory is made again, empty.
  ASSERT_TRUE(open_raw_log(dir_ / "raw").ok());
  EXPECT_EQ(*last_raw_record_id(*log), 8u);
  fs::remove_all(dir_ / "raw");
  ASSERT_TRUE(open_raw_log(dir_ / "raw").ok());
  EXPECT_EQ(slurp(log->segment_path), "");
  EXPECT_EQ(*last_raw_record_id(*log), std::nullopt);

  // Failures carry their contexts.
  spit(dir_ / "file", "x");
  auto bad = open_raw_log(dir_ / "file" / "raw");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().full_text().rfind("create raw dir " + (dir_ / "file" / "raw").string() + ": ", 0), 0u);
  RawLog gone{dir_ / "nowhere" / "log_000001.raw"};
  auto st = append_raw_record(gone, 1, util::JsonValue());
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().full_text().rfind("open raw segment " + gone.segment_path.string() + ": ", 0), 0u);
}

TEST_F(RawLogTest, OpenContinuesAfterTheLastLoggedIdAndCompletesACutLine) {
  const fs::path path = dir_ / "db";
  { ASSERT_TRUE(create_database(path, true).ok()); }
  const fs::path seg = path / "raw" / "log_000001.raw";
  struct Case {
    std::string content;
    uint64_t next;
  };
  const Case cases[] = {
      {"", 1},
      {"{\"payload\":{},\"record_id\":41}\n", 42},
      {"{\"payload\":{},\"record_id\":41}", 42},  // lacks only its line feed
      {"{\"payload\":{},\"record_id\":41}\n{\"payload\":{\"a\":\"record_id\":9", 42},
      {"{\"payload\":{},\"record_id\":41}\n{\"payload\":{},\"recor", 42},
      {"garbage\n", 1},
  };
  for (const auto& c : cases) {
    spit(seg, c.content);
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->meta.next_raw_record_id, c.next) << c.content;
  }
  // A stored counter ahead of the log is kept.
  {
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    db->meta.next_raw_record_id = 100;
    ASSERT_TRUE(flush_database(*db).ok());
  }
  spit(seg, "{\"payload\":{},\"record_id\":41}");
  {
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    EXPECT_EQ(db->meta.next_raw_record_id, 100u);
    ASSERT_TRUE(append_raw_record(*db->raw_log, 100, util::JsonValue()).ok());
  }
  EXPECT_EQ(slurp(seg),
            "{\"payload\":{},\"record_id\":41}\n{\"payload\":null,\"record_id\":100}\n");
}

TEST_F(RawLogTest, ReadOnlyOpenCreatesAMissingRawDirectory) {
  const fs::path path = dir_ / "db";
  { ASSERT_TRUE(create_database(path, true).ok()); }
  fs::remove_all(path / "raw");
  auto db = open_database(path, false);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  EXPECT_EQ(slurp(path / "raw" / "log_000001.raw"), "");
  ASSERT_TRUE(db->raw_log.has_value());
}

}  // namespace
}  // namespace quor::store
