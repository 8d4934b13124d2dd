// A database directory: create, open (the lock, the four data files, the
// raw log) and release; the flush is in directory_flush.cpp.
#include "quor/store/directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <type_traits>
#include <vector>

#include "quor/store/container.h"
#include "quor/store/dim_key.h"
#include "quor/store/encoding_digest.h"
#include "quor/store/file_io.h"
#include "quor/store/flush_state.h"
#include "quor/store/internal/directory_files.h"

namespace quor::store {

namespace {

using namespace internal;  // the data files' names, slots and streaming

Status create_dir_tree(const std::filesystem::path& dir, const std::string& context) {
  return file_ops().create_directories(dir).context(context);
}

// The key under which this process records a directory it holds
// read-write: its canonical path (symbolic links and dots resolved).
std::string held_directory_key(const std::filesystem::path& dir) {
  std::error_code ec;
  auto canonical = std::filesystem::canonical(dir, ec);
  if (ec) canonical = std::filesystem::absolute(dir, ec).lexically_normal();
  return canonical.string();
}

// The same for a record whose decoding does not give back the bytes it came
// from (a map in its visiting order): the digest of its encoding now.
template <class T>
void note_loaded_reencoded(DataFileState& state, const std::filesystem::path& path,
                           const T& record) {
  state = DataFileState{};
  if (!file_starts_with(path, kCurrentHeader)) return;
  note_loaded(state, path, record, encoding_digest(record));
}

// Loads the distributions a read hands on into a database's table as they
// come, reserving for the whole list at the first of them.
class TableLoader final : public DistributionFileSink {
 public:
  explicit TableLoader(Database& db) : db_(db) {}
  void begin(uint64_t, uint64_t bound) override {
    db_.begin_loading();
    reserve_ = bound;
    as_stored_ = true;
  }
  void add(std::span<const DecodedDistribution> objects) override {
    if (reserve_ > 0 && !objects.empty()) {
      size_t cells = 0;
      for (const auto& d : objects) cells += d.counts.size();
      db_.distributions.reserve(static_cast<size_t>(reserve_), cells / objects.size());
      reserve_ = 0;
    }
    db_.distributions.append_decoded(objects);
    for (const auto& d : objects) as_stored_ = as_stored_ && !d.reordered;
  }
  void end(std::vector<model::JointDistributionObject> joints) override {
    as_stored_ = as_stored_ && joints.empty();
    db_.finish_loading(std::move(joints));
  }
  // Whether the table holds the distributions exactly as the bytes gave
  // them, so that it encodes to those bytes (see DataFileState).
  bool as_stored() const { return as_stored_; }

 private:
  Database& db_;
  uint64_t reserve_ = 0;
  bool as_stored_ = false;
};

// A new distribution or joint never gets an id that is already stored, even
// when the meta file is older than the distributions file. When the largest
// stored id is 2^64 - 1 the counter stops there, so every later assignment is
// refused instead of wrapping round to ids in use.
template <class Objects>
void raise_past_largest_id(const Objects& objects, uint64_t& next_id) {
  if (objects.empty()) return;
  uint64_t largest = 0;
  for (const auto& o : objects) largest = std::max(largest, o.id);
  if (next_id <= largest) next_id = largest == UINT64_MAX ? UINT64_MAX : largest + 1;
}

void raise_id_counters(Database& db) {
  uint64_t largest = 0;
  for (Position p = 0; p < db.distributions.size(); ++p) largest = std::max(largest, db.distributions.row(p).id);
  if (!db.distributions.empty() && db.meta.next_distribution_id <= largest)
    db.meta.next_distribution_id = largest == UINT64_MAX ? UINT64_MAX : largest + 1;
  raise_past_largest_id(db.joints, db.meta.next_joint_id);
}

// The records of a new database into those of its four data files that are
// missing, in the order meta, distributions, index, snapshots: each written
// and flushed to stable storage under its temporary name, then all renamed
// in that order and their directory flushed once (one sync per file and one
// for the directory, where a write and rename of each would take two each).
// A failure stops at that file: the files before it are still put in place.
Status write_missing_data_files(const std::filesystem::path& dir, bool raw_log_enabled,
                                FileOps& ops) {
  model::MetaFile meta;
  meta.raw_log_enabled = raw_log_enabled;
  const model::DistributionFile data;
  const model::DistIndex index;
  const model::SnapshotStore snapshots;
  std::vector<FileReplacement> staged;
  std::vector<std::filesystem::path> targets;
  Status failure;
  for (size_t i = 0; i < 4 && failure.ok(); ++i) {
    const std::filesystem::path path = dir / kDataFiles[i];
    // Anything under the name, whatever it holds, is left alone.
    if (path_has_metadata(path)) continue;
    const std::string context = "write file " + path.string();
    auto begun = FileReplacement::begin(ops, path);
    if (!begun.ok()) {
      failure = Status(std::move(begun).error().add_context(context));
      break;
    }
    FileReplacement file = std::move(begun).value();
    bool write_failed = false;
    EncodingDigest digest;
    const RecordNow unknown;
    Status st;
    switch (i) {
      case kMetaSlot: st = stream_record(meta, file, unknown, digest, write_failed); break;
      case kDistributionsSlot: st = stream_record(data, file, unknown, digest, write_failed); break;
      case kIndexSlot: st = stream_record(index, file, unknown, digest, write_failed); break;
      default: st = stream_record(snapshots, file, unknown, digest, write_failed); break;
    }
    if (st.ok()) st = file.finish().context(context);
    else if (write_failed) st = std::move(st).context(context);
    if (!st.ok()) {
      failure = std::move(st);
      break;
    }
    staged.push_back(std::move(file));
    targets.push_back(path);
  }
  // Each directory that received a rename, with the first file renamed
  // into it (more than one only when a data file is a link elsewhere).
  std::vector<std::pair<std::filesystem::path, size_t>> dirs;
  for (size_t k = 0; k < staged.size(); ++k) {
    Status st = staged[k].commit();
    if (!st.ok()) {
      if (failure.ok()) failure = std::move(st).context("write file " + targets[k].string());
      break;
    }
    const auto target_dir = staged[k].target_directory();
    if (std::none_of(dirs.begin(), dirs.end(), [&](const auto& d) { return d.first == target_dir; }))
      dirs.emplace_back(target_dir, k);
  }
  for (const auto& [d, k] : dirs) {
    Status st = ops.sync_directory(d);
    if (!st.ok() && failure.ok()) failure = std::move(st).context("write file " + targets[k].string());
  }
  return failure;
}

}  // namespace

Result<LockFile> acquire_lock_file(const std::filesystem::path& lock_path) {
  auto opened = open_regular_file(lock_path, O_RDWR | O_CREAT);
  if (!opened.ok()) return std::move(opened).error().add_context("open lock file " + lock_path.string());
  UniqueFd fd = std::move(opened).value();
  QUOR_RETURN_IF_ERROR(file_ops().lock_exclusive(fd.get()).context("acquire exclusive lock"));
  return LockFile(fd.release());
}

Result<Database> create_database(const std::filesystem::path& path, bool raw_log_enabled) {
  return create_database(path, raw_log_enabled, posix_file_ops());
}

Result<Database> create_database(const std::filesystem::path& path, bool raw_log_enabled,
                                 FileOps& ops) {
  QUOR_RETURN_IF_ERROR(create_dir_tree(path, "create db dir " + path.string()));
  if (raw_log_enabled) {
    QUOR_RETURN_IF_ERROR(create_dir_tree(path / kRawDir, "create raw dir " + path.string()));
  }
  QUOR_RETURN_IF_ERROR(write_missing_data_files(path, raw_log_enabled, ops));
  return open_database(path, true);
}

Result<Database> open_database(const std::filesystem::path& path, bool writable) {
  return open_database(path, writable, nullptr);
}

namespace {

// Takes the directory's lock for a read-write open: refused at once when
// this process holds it already (the lock would wait forever on itself).
// From here on `db` owns the lock and the registration: every failure
// afterwards releases both when `db` goes out of scope.
Status take_lock(Database& db) {
  std::string key = held_directory_key(db.dir);
  if (!register_held_directory(key)) {
    return Error("database " + db.dir.string() + " is already open read-write in this process");
  }
  HeldDirectoryRegistration registration(std::move(key));
  auto lock = acquire_lock_file(db.dir / kLockFile);
  if (!lock.ok()) return std::move(lock).error();
  lock->attach_held_directory(registration.release());
  db.lock_file.emplace(std::move(*lock));
  // Under the lock nobody else can be writing them: whatever temporary
  // file is left is the debris of a flush that died.
  for (const char* name : kDataFiles) remove_leftover_temporaries(db.dir / name);
  return ok_status();
}

Status load_meta(Database& db) {
  const auto meta_path = db.dir / kMetaFile;
  std::optional<EncodingDigest> digest;
  QUOR_ASSIGN_OR_RETURN(db.meta, load_meta_file(meta_path, &digest));
  if (db.writable) note_loaded(db.flush_state.files[kMetaSlot], meta_path, db.meta, digest);
  return ok_status();
}

// The distributions into the table: read whole (on `parallel` when given)
// for a read-write open, mapped for a read-only one.
Status load_distributions(Database& db, const ParallelRunner* parallel) {
  const auto data_path = db.dir / kDistributionsFile;
  TableLoader loader(db);
  if (!db.writable) return read_mapped_distribution_file_into(data_path, loader);
  std::optional<EncodingDigest> digest;
  QUOR_RETURN_IF_ERROR(read_distribution_file_into(data_path, &digest, parallel, loader));
  DataFileState& state = db.flush_state.files[kDistributionsSlot];
  note_loaded(state, data_path, db.record_source(), digest);
  if (state.digest && loader.as_stored()) state.read_as_stored = db.flush_state.generation;
  return ok_status();
}

// The index file may predate the distributions file (a flush interrupted
// between their renames, or files written in place one after the other):
// the distributions are the truth, and the index is the table's.
// Building it from them costs no more than decoding the file would. Whether
// the file holds this index is checked at the first flush that would
// otherwise write it (never, when the index changes before).
void note_index_file(Database& db) {
  if (!db.writable) return;
  const auto index_path = db.dir / kIndexFile;
  DataFileState& state = db.flush_state.files[kIndexSlot];
  if (!file_starts_with(index_path, kCurrentHeader)) return;
  if (auto id = file_identity(index_path)) {
    state.identity = *id;
    state.unread_entries = db.distributions.index_size();
  }
}

// A missing or unreadable snapshots file leaves the store empty.
void load_snapshots(Database& db) {
  const auto snapshots_path = db.dir / kSnapshotsFile;
  if (!path_has_metadata(snapshots_path)) return;
  auto snapshots = load_snapshot_store(snapshots_path);
  if (!snapshots.ok()) return;
  db.snapshots = std::move(snapshots).value();
  if (db.writable) note_loaded_reencoded(db.flush_state.files[kSnapshotsSlot], snapshots_path, db.snapshots);
}

Status open_log(Database& db) {
  if (!db.meta.raw_log_enabled) return ok_status();
  QUOR_ASSIGN_OR_RETURN(RawLog log, open_raw_log(db.dir / kRawDir));
  if (db.writable) {
    // After a crash without a flush the stored counter lags behind the
    // lines already logged: continue after the last one so that no record
    // id is issued twice. A last id of 2^64 - 1 leaves the counter there:
    // it is spent.
    QUOR_ASSIGN_OR_RETURN(std::optional<uint64_t> last, last_raw_record_id(log));
    if (last && *last >= db.meta.next_raw_record_id) {
      db.meta.next_raw_record_id = *last == UINT64_MAX ? UINT64_MAX : *last + 1;
    }
  }
  db.raw_log = std::move(log);
  return ok_status();
}

}  // namespace

Result<Database> open_database(const std::filesystem::path& path, bool writable,
                               const ParallelRunner* parallel) {
  if (!path_has_metadata(path)) return Error("database path does not exist: " + path.string());
  Database db;
  db.dir = path;
  db.writable = writable;
  if (writable) QUOR_RETURN_IF_ERROR(take_lock(db));
  QUOR_RETURN_IF_ERROR(load_meta(db));
  QUOR_RETURN_IF_ERROR(load_distributions(db, parallel));
  note_index_file(db);
  raise_id_counters(db);
  load_snapshots(db);
  QUOR_RETURN_IF_ERROR(open_log(db));
  return db;
}

}  // namespace quor::store
