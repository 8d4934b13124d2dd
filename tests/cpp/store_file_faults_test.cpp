// Every file call of a whole life (create, ingest a file, close) fails in
// turn, in three ways: with EIO, with ENOSPC, and short (a read or writev
// that does part of its work, which is legal, and a must-write-all write
// that stops half-way with ENOSPC). After each: the failure is reported with
// the system's text, no descriptor or mapping is left behind, every data
// file decodes (old or new, never torn), and running the same life again
// gives the state that the first run's files hold plus one ingest.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <set>
#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "quor/store/file_io.h"
#include "allocation_faults.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;
namespace fs = std::filesystem;

enum class Fault { Eio, Enospc, Short };

// Passes every call to the POSIX operations and counts it; call number
// `fail_at` (from 1) is the faulty one.
class FaultingFileOps final : public FileOps {
 public:
  FaultingFileOps(uint64_t fail_at, Fault fault) : fail_at_(fail_at), fault_(fault) {}

  bool fired() const { return fired_; }
  uint64_t calls() const { return calls_; }
  // The root text a failure carries.
  std::string error_text() const {
    return util::os_error_text(fault_ == Fault::Eio ? EIO : ENOSPC);
  }

  Result<UniqueFd> open(const fs::path& path, int flags, mode_t mode) override {
    if (failing()) return error();
    return posix().open(path, flags, mode);
  }
  Result<struct stat> fstat(int fd) override {
    if (failing()) return error();
    return posix().fstat(fd);
  }
  Result<size_t> read(int fd, char* buf, size_t n) override {
    if (failing()) return error();
    return posix().read(fd, buf, short_now_ ? half(n) : n);
  }
  Result<size_t> pread(int fd, char* buf, size_t n, off_t offset) override {
    if (failing()) return error();
    return posix().pread(fd, buf, short_now_ ? half(n) : n, offset);
  }
  Result<size_t> writev(int fd, const struct iovec* iov, int count) override {
    if (failing()) return error();
    if (short_now_ && count > 0) {
      const struct iovec part {iov[0].iov_base, half(iov[0].iov_len)};
      return posix().writev(fd, &part, 1);
    }
    return posix().writev(fd, iov, count);
  }
  Status lock_exclusive(int fd) override {
    if (failing()) return error();
    return posix().lock_exclusive(fd);
  }
  Status create_directories(const fs::path& dir) override {
    if (failing()) return error();
    return posix().create_directories(dir);
  }
  Result<FileMapping> map(int fd, size_t size, MapPages pages) override {
    if (failing()) return error();
    return posix().map(fd, size, pages);
  }
  Result<UniqueFd> create_new(const fs::path& path, std::optional<mode_t> mode) override {
    if (failing()) return error();
    return posix().create_new(path, mode);
  }
  Status write(int fd, std::string_view bytes) override {
    if (failing()) return error();
    if (short_now_) {
      (void)posix().write(fd, bytes.substr(0, bytes.size() / 2));
      return util::os_error(ENOSPC);
    }
    return posix().write(fd, bytes);
  }
  Status sync(int fd) override {
    if (failing()) return error();
    return posix().sync(fd);
  }
  Status close(UniqueFd& fd) override {
    if (failing()) {
      fd.reset();
      return error();
    }
    return posix().close(fd);
  }
  Status rename(const fs::path& from, const fs::path& to) override {
    if (failing()) return error();
    return posix().rename(from, to);
  }
  Status sync_directory(const fs::path& dir) override {
    if (failing()) return error();
    return posix().sync_directory(dir);
  }
  Status remove(const fs::path& path) override {
    if (failing()) return error();
    return posix().remove(path);
  }

 private:
  static FileOps& posix() { return posix_file_ops(); }
  static size_t half(size_t n) { return n > 1 ? n / 2 : n; }
  Error error() const { return util::os_error(fault_ == Fault::Eio ? EIO : ENOSPC); }

  // Counts the call; true when it is to fail outright. A short fault marks
  // the call instead (short_now_) and lets it run.
  bool failing() {
    const bool hit = ++calls_ == fail_at_;
    fired_ = fired_ || hit;
    short_now_ = hit && fault_ == Fault::Short;
    return hit && fault_ != Fault::Short;
  }

  const uint64_t fail_at_;
  const Fault fault_;
  std::atomic<uint64_t> calls_{0};
  bool fired_ = false;
  bool short_now_ = false;
};

// Descriptors of this process open on files under `dir` (the test's own
// directory): what a failed life could leave behind. Descriptors elsewhere
// (the pool's, the test runner's) come and go on their own and are not
// counted.
size_t descriptors_under(const fs::path& dir) {
  size_t n = 0;
  const std::string prefix = dir.string();
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(e.path(), ec);
    if (!ec && target.string().rfind(prefix, 0) == 0) ++n;
  }
  return n;
}

size_t mappings_under(const fs::path& dir) {
  std::ifstream maps("/proc/self/maps");
  size_t n = 0;
  for (std::string line; std::getline(maps, line);) {
    if (line.find(dir.string()) != std::string::npos) ++n;
  }
  return n;
}

class FileFaultsTest : public TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    std::string csv = "region,amount\n";
    for (int i = 0; i < 60; ++i) csv += "r" + std::to_string(i % 7) + "," + std::to_string(i) + "\n";
    input_ = dir_ / "input.csv";
    spit(input_, csv);
  }

  // create, ingest the input (which flushes), close (flush, release).
  Status life(const fs::path& db_path) {
    auto db = create_database(db_path, true);
    if (!db.ok()) return std::move(db).error();
    ingest::IngestOptions options;
    options.max_categories = 2;  // region becomes a dimension
    auto report = ingest::ingest_file(*db, input_.string(), options, 10000, false);
    if (!report.ok()) return std::move(report).error();
    return flush_database(*db);
  }

  // What the files hold, read without faults; nothing when they cannot be
  // opened (a create that stopped before its last file).
  static std::optional<DatabaseStats> stored(const fs::path& db_path) {
    auto db = open_database(db_path, false);
    if (!db.ok()) return std::nullopt;
    return db->database_stats();
  }

  // Every data file present decodes.
  static void expect_files_decode(const fs::path& db_path) {
    if (fs::exists(db_path / "meta.edb")) {
      EXPECT_TRUE(load_meta_file(db_path / "meta.edb").ok());
    }
    if (fs::exists(db_path / "distributions.edb")) {
      EXPECT_TRUE(load_distribution_file_read(db_path / "distributions.edb").ok());
    }
    if (fs::exists(db_path / "dist_index.edb")) {
      EXPECT_TRUE(load_dist_index(db_path / "dist_index.edb").ok());
    }
    if (fs::exists(db_path / "snapshots.edb")) {
      EXPECT_TRUE(load_snapshot_store(db_path / "snapshots.edb").ok());
    }
  }

  // The raw log's ids, each once.
  static void expect_unique_ids(const fs::path& db_path) {
    std::ifstream in(db_path / "raw" / "log_000001.raw", std::ios::binary);
    std::set<std::string> seen;
    for (std::string l; std::getline(in, l);) {
      const size_t at = l.rfind("},\"record_id\":");
      if (at == std::string::npos || l.back() != '}') continue;  // a cut line
      EXPECT_TRUE(seen.insert(l.substr(at)).second) << l;
    }
  }

  // After a life at `db_path` that met its fault (and `failed`, or went on
  // as if nothing happened): every data file decodes and holds the state
  // before or after the ingest, and the life run again without faults
  // gives that state plus one ingest, with no id logged twice and no
  // temporary file left.
  void expect_recovers(const fs::path& db_path, bool failed, const DatabaseStats& reference) {
    expect_files_decode(db_path);
    const std::optional<DatabaseStats> before = stored(db_path);
    if (!failed) {
      EXPECT_EQ(before, reference);  // a failure that does not matter
    } else if (before) {
      EXPECT_TRUE(before->total_samples == 0 || before->total_samples == reference.total_samples)
          << before->total_samples;
    }
    const Status again = life(db_path);
    ASSERT_TRUE(again.ok()) << again.error().full_text();
    const std::optional<DatabaseStats> after = stored(db_path);
    ASSERT_TRUE(after.has_value());
    EXPECT_EQ(after->distributions, reference.distributions);
    EXPECT_EQ(after->total_samples, (before ? before->total_samples : 0) + reference.total_samples);
    expect_unique_ids(db_path);
    for (const auto& e : fs::directory_iterator(db_path)) {
      EXPECT_EQ(e.path().filename().string().find(".tmp-"), std::string::npos) << e.path();
    }
    fs::remove_all(db_path);
  }

  fs::path input_;
};

TEST_F(FileFaultsTest, EachFileCallOfALifeFailsInTurn) {
  ASSERT_TRUE(life(dir_ / "reference").ok());
  const DatabaseStats reference = *stored(dir_ / "reference");
  ASSERT_GT(reference.total_samples, 0u);

  for (Fault fault : {Fault::Eio, Fault::Enospc, Fault::Short}) {
    for (uint64_t k = 1;; ++k) {
      SCOPED_TRACE("fault " + std::to_string(static_cast<int>(fault)) + " at call " +
                   std::to_string(k));
      const fs::path db_path = dir_ / ("db-" + std::to_string(static_cast<int>(fault)) + "-" +
                                       std::to_string(k));
      FaultingFileOps ops(k, fault);
      Status st;
      {
        ScopedFileOps installed(ops);
        st = life(db_path);
      }
      EXPECT_EQ(descriptors_under(dir_), 0u);
      EXPECT_EQ(mappings_under(dir_), 0u);
      if (!ops.fired()) {
        ASSERT_TRUE(st.ok()) << st.error().full_text();
        EXPECT_EQ(stored(db_path), reference);
        EXPECT_GT(k, 40u) << "fewer file calls than a life makes";
        break;
      }
      if (!st.ok() && fault != Fault::Short) {
        EXPECT_NE(st.error().full_text().find(ops.error_text()), std::string::npos)
            << st.error().full_text();
      }
      expect_recovers(db_path, !st.ok(), reference);
    }
  }
}

// The same for the allocations of the calling thread: allocation k throws
// std::bad_alloc (the pool's threads allocate as usual). Every allocation
// of the first part of a life is failed in turn, then every n-th, n
// growing, so that the loop stays within seconds.
TEST_F(FileFaultsTest, AllocationsOfALifeFailInTurn) {
  ASSERT_TRUE(life(dir_ / "reference").ok());
  const DatabaseStats reference = *stored(dir_ / "reference");
  test_util::arm_allocation_failure(0);
  ASSERT_TRUE(life(dir_ / "counted").ok());
  const uint64_t allocations = test_util::disarm_allocation_failure();
  ASSERT_GT(allocations, 100u);

  uint64_t step = 1;
  for (uint64_t k = 1; k <= allocations + 1; k += step) {
    if (k > 150) step = std::max<uint64_t>(step, k / 40);
    SCOPED_TRACE("allocation " + std::to_string(k));
    const fs::path db_path = dir_ / ("db-" + std::to_string(k));
    bool threw = false;
    Status st;
    test_util::arm_allocation_failure(k);
    try {
      st = life(db_path);
    } catch (const std::bad_alloc&) {
      threw = true;
    }
    const bool fired = test_util::allocation_failure_fired();
    test_util::disarm_allocation_failure();
    EXPECT_EQ(descriptors_under(dir_), 0u);
    EXPECT_EQ(mappings_under(dir_), 0u);
    if (!fired) {
      ASSERT_TRUE(st.ok()) << st.error().full_text();
      EXPECT_EQ(stored(db_path), reference);
      break;
    }
    expect_recovers(db_path, threw || !st.ok(), reference);
  }
}

}  // namespace
}  // namespace quor::store
