#include "quor/store/directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "quor/store/container.h"
#include "quor/store/dim_key.h"
#include "quor/store/file_io.h"

namespace quor::store {

namespace {

constexpr const char* kMetaFile = "meta.edb";
constexpr const char* kDistributionsFile = "distributions.edb";
constexpr const char* kIndexFile = "dist_index.edb";
constexpr const char* kSnapshotsFile = "snapshots.edb";
constexpr const char* kLockFile = "lock.edb";
constexpr const char* kRawDir = "raw";

Status create_dir_tree(const std::filesystem::path& dir, const std::string& context) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Status(os_error(ec.value())).context(context);
  return ok_status();
}

// The key under which this process records a directory it holds
// read-write: its canonical path (symbolic links and dots resolved).
std::string held_directory_key(const std::filesystem::path& dir) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(dir, ec);
  if (ec) canonical = std::filesystem::absolute(dir, ec).lexically_normal();
  return canonical.string();
}

}  // namespace

Result<LockFile> acquire_lock_file(const std::filesystem::path& lock_path) {
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return Result<LockFile>(os_error(errno)).context("open lock file " + lock_path.string());
  }
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    int err = errno;
    ::close(fd);
    return Result<LockFile>(os_error(err)).context("acquire exclusive lock");
  }
  return LockFile(fd);
}

Result<Database> create_database(const std::filesystem::path& path, bool raw_log_enabled) {
  QUOR_RETURN_IF_ERROR(create_dir_tree(path, "create db dir " + path.string()));
  if (raw_log_enabled) {
    QUOR_RETURN_IF_ERROR(create_dir_tree(path / kRawDir, "create raw dir " + path.string()));
  }
  MetaFile meta;
  meta.raw_log_enabled = raw_log_enabled;
  QUOR_RETURN_IF_ERROR(save_meta_file_if_absent(path / kMetaFile, meta));
  QUOR_RETURN_IF_ERROR(save_distribution_file_if_absent(path / kDistributionsFile, {}));
  QUOR_RETURN_IF_ERROR(save_dist_index_if_absent(path / kIndexFile, {}));
  QUOR_RETURN_IF_ERROR(ensure_snapshots_file(path / kSnapshotsFile));
  return open_database(path, true);
}

Result<Database> open_database(const std::filesystem::path& path, bool writable) {
  if (!path_has_metadata(path)) return Error("database path does not exist: " + path.string());

  Database db;
  db.dir = path;
  db.writable = writable;
  if (writable) {
    // A second read-write open by this process would wait forever on its
    // own lock: refuse it at once.
    std::string key = held_directory_key(path);
    if (!register_held_directory(key)) {
      return Error("database " + path.string() + " is already open read-write in this process");
    }
    auto lock = acquire_lock_file(path / kLockFile);
    if (!lock.ok()) {
      unregister_held_directory(key);
      return std::move(lock).error();
    }
    // From here on the Database owns the lock and the registration: every
    // failure below releases both when `db` goes out of scope.
    lock->attach_held_directory(std::move(key));
    db.lock_file.emplace(std::move(*lock));
  }

  QUOR_ASSIGN_OR_RETURN(db.meta, load_meta_file(path / kMetaFile));
  if (writable) {
    QUOR_ASSIGN_OR_RETURN(db.data, load_distribution_file_read(path / kDistributionsFile));
  } else {
    QUOR_ASSIGN_OR_RETURN(db.data, load_distribution_file_mapped(path / kDistributionsFile));
  }
  db.reset_id_order();

  const auto index_path = path / kIndexFile;
  if (!path_has_metadata(index_path)) {
    db.index = rebuild_dist_index(db.data.distributions);
  } else {
    auto index = load_dist_index(index_path);
    db.index = index.ok() ? std::move(index).value()
                          : rebuild_index_after_error(db.data.distributions, std::move(index).error());
  }

  const auto snapshots_path = path / kSnapshotsFile;
  if (path_has_metadata(snapshots_path)) {
    auto snapshots = load_snapshot_store(snapshots_path);
    if (snapshots.ok()) db.snapshots = std::move(snapshots).value();
  }

  if (db.meta.raw_log_enabled) {
    QUOR_ASSIGN_OR_RETURN(RawLog log, open_raw_log(path / kRawDir));
    if (writable) {
      // After a crash without a flush the stored counter lags behind the
      // lines already logged: continue after the last one so that no
      // record id is issued twice.
      if (auto last = last_raw_record_id(log);
          last && *last >= db.meta.next_raw_record_id && *last < UINT64_MAX) {
        db.meta.next_raw_record_id = *last + 1;
      }
    }
    db.raw_log = std::move(log);
  }
  return db;
}

Status flush_database(Database& db) {
  if (!db.writable) return ok_status();
  if (db.lock_file) QUOR_RETURN_IF_ERROR(db.lock_file->check_writer());
  QUOR_RETURN_IF_ERROR(write_meta_file(db.dir / kMetaFile, db.meta));
  QUOR_RETURN_IF_ERROR(write_distributions_file(db.dir / kDistributionsFile, db.data));
  QUOR_RETURN_IF_ERROR(write_dist_index_file(db.dir / kIndexFile, db.index));
  QUOR_RETURN_IF_ERROR(write_snapshots_file(db.dir / kSnapshotsFile, db.snapshots));
  return ok_status();
}

}  // namespace quor::store
