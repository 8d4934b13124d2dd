// Flush as the files see it: temporary names, permission bits, links, the
// rename order when a step fails, and the files a create writes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "crash_file_ops.h"
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

mode_t mode_of(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return st.st_mode & 07777;
}
// The names in `dir` that are temporary files of any data file name in `names`.
std::vector<std::string> temporaries_in(const fs::path& dir, std::vector<std::string> names) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    for (const auto& target : names)
      if (is_temporary_name_for(name, target)) out.push_back(name);
  }
  return out;
}
std::vector<std::string> data_file_names() { return {std::begin(kDataFiles), std::end(kDataFiles)}; }

// A change to every one of the four records.
void change_every_record(Database& db, const std::string& region) {
  HistogramCounts h;
  h.bins = {{1, 1}};
  const model::DimensionMap map{{"region", region}};
  ASSERT_TRUE(apply_counts(db, "age", map, h).ok());  // meta counter, distributions, index
  finalize_updates(db, {{"age", map}});
  db.snapshots.entries[region] = {model::SnapshotEntry{1, 2, db.distribution(0)}};
}

TEST(TemporaryNames, OnlyOurOwnFormsForTheGivenFileMatch) {
  struct Case {
    const char* name;
    bool ours;
  };
  const Case cases[] = {
      {".meta.edb.tmp-0123456789abcdef", true},   // this build's form
      {".meta.edb.tmp-4242-0", true},             // the earlier "PID-N" form
      {".meta.edb.tmp-1-17", true},
      {".meta.edb.tmp-0123456789ABCDEF", false},  // hex digits are lower-case
      {".meta.edb.tmp-0123456789abcde", false},   // 15 digits
      {".meta.edb.tmp-0123456789abcdef0", false},
      {".meta.edb.tmp-4242-", false},
      {".meta.edb.tmp--0", false},
      {".meta.edb.tmp-42-x", false},
      {".meta.edb.tmp-", false},
      {"meta.edb.tmp-4242-0", false},
      {".meta.edbx.tmp-4242-0", false},
      {".distributions.edb.tmp-4242-0", false},  // another file's
      {"meta.edb", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_temporary_name_for(c.name, "meta.edb"), c.ours) << c.name;
}

TEST_F(FlushFilesTest, LeftoverTemporariesGoAtReadWriteOpenAndNeverFailAFlush) {
  const fs::path path = dir_ / "db";
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);
    ASSERT_TRUE(flush_database(*db).ok());
  }
  // Today's pid with counter 0 is exactly the name an earlier build would
  // pick again in this process.
  const std::string same_pid = ".meta.edb.tmp-" + std::to_string(::getpid()) + "-0";
  const std::vector<std::string> ours = {same_pid, ".distributions.edb.tmp-12-3",
                                         ".dist_index.edb.tmp-0123456789abcdef",
                                         ".snapshots.edb.tmp-ffffffffffffffff"};
  const std::vector<std::string> others = {".meta.edb.tmp-notours", "notes.tmp-1-1",
                                           ".lock.edb.tmp-1-1", ".raw.tmp-0123456789abcdef"};
  for (const auto& n : ours) spit(path / n, "torn");
  for (const auto& n : others) spit(path / n, "keep");
  {
    auto ro = open_database(path, false);
    ASSERT_TRUE(ro.ok());
    for (const auto& n : ours) EXPECT_TRUE(fs::exists(path / n)) << n;  // no lock, no cleanup
  }
  auto db = open_database(path, true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  for (const auto& n : ours) EXPECT_FALSE(fs::exists(path / n)) << n;
  for (const auto& n : others) EXPECT_EQ(slurp(path / n), "keep") << n;

  // A leftover appearing under the lock does not stop a flush either.
  for (const auto& n : ours) spit(path / n, "torn");
  change_every_record(*db, "US");
  Status st = flush_database(*db);
  ASSERT_TRUE(st.ok()) << st.error().full_text();
  EXPECT_EQ(*load_distribution_file_read(path / "distributions.edb"), db->records());
  EXPECT_EQ(temporaries_in(path, data_file_names()).size(), ours.size());  // only the planted ones
}

TEST_F(FlushFilesTest, FlushKeepsEveryFilesPermissionBits) {
  const fs::path path = dir_ / "db";
  auto db = create_database(path, false);
  ASSERT_TRUE(db.ok());
  fill(*db);
  ASSERT_TRUE(flush_database(*db).ok());
  const mode_t modes[4] = {0600, 0640, 0444, 0604};
  for (int i = 0; i < 4; ++i) ASSERT_EQ(::chmod((path / kDataFiles[i]).c_str(), modes[i]), 0);
  change_every_record(*db, "US");
  // The umask of the moment must not matter either.
  const mode_t old_umask = ::umask(077);
  Status st = flush_database(*db);
  ::umask(old_umask);
  ASSERT_TRUE(st.ok()) << st.error().full_text();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(mode_of(path / kDataFiles[i]), modes[i]) << kDataFiles[i];
  EXPECT_EQ(*load_snapshot_store(path / "snapshots.edb"), db->snapshots);
}

TEST_F(FlushFilesTest, LinkedDataFilesKeepTheirLinksAndTheirTargetsGetTheNewContent) {
  const fs::path path = dir_ / "db";
  const fs::path elsewhere = dir_ / "elsewhere";
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);
    ASSERT_TRUE(flush_database(*db).ok());
  }
  // distributions.edb -> ../elsewhere/dist.real (another directory),
  // meta.edb -> meta.link -> meta.real (a chain in the same directory).
  fs::create_directories(elsewhere);
  fs::rename(path / "distributions.edb", elsewhere / "dist.real");
  fs::create_symlink("../elsewhere/dist.real", path / "distributions.edb");
  fs::rename(path / "meta.edb", path / "meta.real");
  fs::create_symlink("meta.real", path / "meta.link");
  fs::create_symlink("meta.link", path / "meta.edb");
  ASSERT_EQ(::chmod((elsewhere / "dist.real").c_str(), 0600), 0);
  spit(elsewhere / ".dist.real.tmp-0123456789abcdef", "torn");

  auto db = open_database(path, true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  EXPECT_FALSE(fs::exists(elsewhere / ".dist.real.tmp-0123456789abcdef"));  // debris beside the target
  change_every_record(*db, "US");
  CrashingFileOps ops;
  Status st = flush_database(*db, ops);
  ASSERT_TRUE(st.ok()) << st.error().full_text();

  EXPECT_EQ(fs::read_symlink(path / "distributions.edb"), "../elsewhere/dist.real");
  EXPECT_EQ(fs::read_symlink(path / "meta.edb"), "meta.link");
  EXPECT_EQ(fs::read_symlink(path / "meta.link"), "meta.real");
  EXPECT_EQ(*load_distribution_file_read(elsewhere / "dist.real"), db->records());
  EXPECT_EQ(*load_meta_file(path / "meta.real"), db->meta);
  EXPECT_EQ(mode_of(elsewhere / "dist.real"), 0600u);
  EXPECT_TRUE(temporaries_in(elsewhere, {"dist.real"}).empty());
  EXPECT_TRUE(temporaries_in(path, {"meta.real", "meta.link", "meta.edb", "distributions.edb"}).empty());
  // Both directories that got a rename are synced, each once.
  auto synced = ops.synced_dirs();
  std::sort(synced.begin(), synced.end());
  EXPECT_EQ(synced, (std::vector<fs::path>{path, path / "../elsewhere"}));

  auto again = open_database(path, false);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->records(), db->records());
}

TEST_F(FlushFilesTest, AFailedStepKeepsTheRenameOrderAndLeavesNoTemporaries) {
  const fs::path path = dir_ / "db";
  {
    auto db = create_database(path, false);
    ASSERT_TRUE(db.ok());
    fill(*db);
    ASSERT_TRUE(flush_database(*db).ok());
  }
  // The step numbers of a flush of all four files.
  std::vector<std::string> steps;
  {
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    change_every_record(*db, "US");
    CrashingFileOps counting;
    ASSERT_TRUE(flush_database(*db, counting).ok());
    steps = counting.steps();
  }
  auto step_of = [&](const std::string& prefix, int nth) {
    for (size_t i = 0; i < steps.size(); ++i)
      if (steps[i].rfind(prefix, 0) == 0 && nth-- == 0) return i + 1;
    ADD_FAILURE() << prefix;
    return size_t{0};
  };
  // The first write that follows step `after` (1-based).
  auto first_write_after = [&](size_t after) {
    for (size_t i = after; i < steps.size(); ++i)
      if (steps[i].rfind("write", 0) == 0) return i + 1;
    ADD_FAILURE() << "no write after step " << after;
    return size_t{0};
  };
  const std::string enospc = ": No space left on device (os error 28)";
  struct Case {
    const char* what;
    size_t step;
    std::string message;
    std::vector<bool> renamed;  // which files the failing flush replaced
  };
  const Case cases[] = {
      {"create meta", step_of("create", 0), "write file " + (path / "meta.edb").string() + enospc,
       {false, false, false, false}},
      // A record's image may reach its file in several writes: the first
      // write of the distributions file, whatever came before it.
      {"write distributions", first_write_after(step_of("create .distributions.edb", 0)),
       "write file " + (path / "distributions.edb").string() + enospc, {false, false, false, false}},
      {"sync snapshots", step_of("sync", 3), "write file " + (path / "snapshots.edb").string() + enospc,
       {false, false, false, false}},
      {"rename index", step_of("rename", 2), "write file " + (path / "dist_index.edb").string() + enospc,
       {true, true, false, false}},
      {"sync directory", step_of("sync dir", 0), "write file " + (path / "meta.edb").string() + enospc,
       {true, true, true, true}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto db = open_database(path, true);
    ASSERT_TRUE(db.ok());
    change_every_record(*db, c.what);
    const auto before = stamps_of(path);
    FailingFileOps failing(c.step, ENOSPC);
    Status st = flush_database(*db, failing);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().full_text(), c.message);
    const auto after = stamps_of(path);
    for (int i = 0; i < 4; ++i) EXPECT_EQ(after[i] != before[i], c.renamed[i]) << kDataFiles[i];
    EXPECT_TRUE(temporaries_in(path, data_file_names()).empty());
    // The next flush writes what is still missing: every file whose rename
    // did not happen, or may not be durable.
    CrashingFileOps next;
    ASSERT_TRUE(flush_database(*db, next).ok());
    std::vector<std::string> expected;
    for (int i = 0; i < 4; ++i)
      if (!c.renamed[i] || c.step == step_of("sync dir", 0)) expected.push_back(kDataFiles[i]);
    EXPECT_EQ(renames_in(next.steps()), expected);
    EXPECT_EQ(*load_distribution_file_read(path / "distributions.edb"), db->records());
  }
}

// A create writes each missing file under a temporary name with one sync,
// renames them in order and syncs the directory once; stopped at any step
// it leaves only whole files, and a later create completes the directory.
TEST_F(FlushFilesTest, CreateSyncsEachFileOnceAndTheDirectoryOnce) {
  const fs::path fresh = dir_ / "fresh";
  CrashingFileOps counting;
  auto db = create_database(fresh, true, counting);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  *db = Database();
  // Steps are "sync" (a file), "sync dir DIR", "create NAME", ...
  std::vector<std::string> kinds;
  for (const auto& s : counting.steps()) kinds.push_back(s.substr(0, s.rfind("sync dir", 0) == 0 ? 8 : s.find(' ')));
  const auto count = [&](const std::string& k) { return std::count(kinds.begin(), kinds.end(), k); };
  EXPECT_EQ(count("sync"), 4);
  EXPECT_EQ(count("sync dir"), 1);
  EXPECT_EQ(count("create"), 4);
  EXPECT_EQ(renames_in(counting.steps()), data_file_names());
  ASSERT_FALSE(counting.synced_dirs().empty());
  EXPECT_EQ(counting.synced_dirs().size(), 1u);
  EXPECT_TRUE(counting.steps().back().rfind("sync dir ", 0) == 0);
  std::string want[4];
  for (int f = 0; f < 4; ++f) want[f] = slurp(fresh / kDataFiles[f]);
  EXPECT_EQ(want[0], *data_file_image([] { model::MetaFile m; m.raw_log_enabled = true; return m; }()));
  EXPECT_EQ(want[1], *data_file_image(model::DistributionFile{}));

  for (uint64_t stop = 0; stop < counting.steps().size(); ++stop) {
    SCOPED_TRACE(stop);
    const fs::path work = dir_ / ("crash_" + std::to_string(stop));
    CrashingFileOps crash(stop);
    EXPECT_FALSE(create_database(work, true, crash).ok());
    for (const char* name : kDataFiles) {
      if (fs::exists(work / name)) {
        EXPECT_FALSE(slurp(work / name).empty()) << name;
      }
    }
    auto again = create_database(work, true);
    ASSERT_TRUE(again.ok()) << again.error().full_text();
    for (int f = 0; f < 4; ++f) EXPECT_EQ(slurp(work / kDataFiles[f]), want[f]) << kDataFiles[f];
    EXPECT_TRUE(temporaries_in(work, data_file_names()).empty());
  }
}

}  // namespace
}  // namespace quor::store
