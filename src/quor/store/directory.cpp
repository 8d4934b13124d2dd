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

namespace quor::store {

namespace {

constexpr const char* kMetaFile = "meta.edb";
constexpr const char* kDistributionsFile = "distributions.edb";
constexpr const char* kIndexFile = "dist_index.edb";
constexpr const char* kSnapshotsFile = "snapshots.edb";
constexpr const char* kLockFile = "lock.edb";
constexpr const char* kRawDir = "raw";
constexpr const char* kDataFiles[] = {kMetaFile, kDistributionsFile, kIndexFile, kSnapshotsFile};

// Positions in FlushState::files, which is in flush order.
constexpr size_t kMetaSlot = 0;
constexpr size_t kDistributionsSlot = 1;
constexpr size_t kIndexSlot = 2;
constexpr size_t kSnapshotsSlot = 3;

// The header of a file in the current format.
const std::string_view kCurrentHeader("QUOR\x03\x00\x00\x00", 8);

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

// A count that moves with most edits of a record and costs nothing to take:
// when it differs from the count of the record a file holds, the record
// changed, and a flush writes it without taking its digest first.
uint64_t entries_of(const model::MetaFile&) { return 0; }
uint64_t entries_of(const DistributionFileSource& r) {
  return r.distributions + (r.joints ? r.joints->size() : 0);
}
uint64_t entries_of(const DistIndexSource& r) { return r.entries; }
uint64_t entries_of(const model::SnapshotStore& r) { return r.entries.size(); }

// Records that the file at `path` holds a record whose encoding has
// `digest` (set by the loader only for a file in the current format; a file
// of an older version or in the JSON form is rewritten by the next flush).
template <class T>
void note_loaded(DataFileState& state, const std::filesystem::path& path, const T& record,
                 const std::optional<EncodingDigest>& digest) {
  state = DataFileState{};
  if (!digest) return;
  auto id = file_identity(path);
  if (!id) return;
  state.digest = digest;
  state.entries = entries_of(record);
  state.identity = *id;
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

// What a flush learns about one record before writing it: the digest of its
// encoding, when it had to take it to decide.
struct RecordNow {
  std::optional<EncodingDigest> digest;
};

// True when the file at `path` is known to hold `record`: the same file as
// last written or read, and a record whose encoding has the same digest.
// While the records are `clean` (unchanged since a flush after which every
// file held its record) the file's identity is all there is to check.
// Otherwise the digest is taken only for a file still in that state and a
// record with as many entries (a pass over the record that a write then
// saves: it knows the size to declare); the index that open did not read is
// compared with the file once.
template <class T>
bool file_holds(DataFileState& state, const std::filesystem::path& path, const T& record,
                RecordNow& now, bool clean, const ParallelRunner* parallel = nullptr) {
  if (!state.digest && !state.unread_entries) return false;
  auto id = file_identity(path);
  if (!id || *id != state.identity) return false;
  if (state.digest && clean) return true;
  if (state.digest) {
    if (entries_of(record) != state.entries) return false;
    if constexpr (std::is_same_v<T, DistributionFileSource>) {
      now.digest = parallel != nullptr ? encoding_digest(record, *parallel) : encoding_digest(record);
    } else {
      now.digest = encoding_digest(record);
    }
    return *now.digest == *state.digest;
  }
  if constexpr (std::is_same_v<T, model::DistIndex> || std::is_same_v<T, DistIndexSource>) {
    const bool same_count = entries_of(record) == *state.unread_entries;
    state.unread_entries.reset();  // compared once; from here on written or digested
    if (!same_count) return false;
    // Compared entry by entry without building the file's map; the order
    // of the entries does not matter (both are unordered maps). The file's
    // side, the record's and the digest its write would need are three
    // passes of their own: on a pool, at once.
    std::optional<Result<IndexEntriesDigest>> stored;
    std::optional<IndexEntriesDigest> entries;
    std::optional<EncodingDigest> encoded;
    auto pass = [&](size_t t) {
      if (t == 0) stored.emplace(load_dist_index_entries_digest(path));
      else if (t == 1) entries.emplace(index_entries_digest(record));
      else encoded.emplace(encoding_digest(record));
    };
    if (parallel != nullptr) {
      (*parallel)(3, pass);
    } else {
      for (size_t t = 0; t < 3; ++t) pass(t);
    }
    if (!stored->ok() || !(**stored == *entries)) return false;
    now.digest = encoded;
    state.digest = now.digest;
    state.entries = entries_of(record);
    return true;
  } else {
    return false;
  }
}

// True when the file still holds the distributions open read from it, as
// they stand (DataFileState::read_as_stored): then the record's encoding is
// the bytes read whenever its size is theirs, which takes one pass over the
// rows (in parts on `parallel`) instead of encoding and hashing them.
bool holds_as_read(DataFileState& state, const std::filesystem::path& path,
                   const DistributionFileSource& record, uint64_t generation, RecordNow& now,
                   const ParallelRunner* parallel) {
  const bool unchanged = state.read_as_stored == generation;
  state.read_as_stored.reset();
  if (!unchanged || !state.digest || entries_of(record) != state.entries) return false;
  auto id = file_identity(path);
  if (!id || *id != state.identity) return false;
  if (stored_record_size(record, parallel) != state.digest->size) return false;
  now.digest = state.digest;
  return true;
}

// Streams `record` into `file`, taking its digest on the way unless `now`
// already has it; `digest` receives it.
// The image's options: the encoded size when the digest is known already,
// otherwise `hasher` to take it on the way.
ImageStreamOptions image_options(const RecordNow& now, EncodingHasher& hasher) {
  ImageStreamOptions options;
  if (now.digest) {
    options.encoded_size = now.digest->size;
  } else {
    options.hasher = &hasher;
  }
  return options;
}

template <class T>
Status stream_record(const T& record, FileReplacement& file, const RecordNow& now,
                     EncodingDigest& digest, bool& write_failed,
                     const ParallelRunner* parallel = nullptr) {
  EncodingHasher hasher;
  ImageStreamOptions options = image_options(now, hasher);
  options.parallel = parallel;
  Status st = stream_data_file_image(
      record,
      [&](std::string_view piece) -> Status {
        Status w = file.write(piece);
        write_failed = !w.ok();
        return w;
      },
      options);
  if (st.ok()) digest = now.digest ? *now.digest : hasher.digest();
  return st;
}

// A data file's image made ahead of its turn: its bytes in the pieces the
// compressor wrote them, the outcome, and the digest of its encoding.
struct BufferedImage {
  std::string bytes;
  std::vector<size_t> pieces;
  Status status;
  EncodingDigest digest;
};

template <class T>
void buffer_image(const T& record, const RecordNow& now, BufferedImage& out,
                  const ParallelRunner* parallel) {
  EncodingHasher hasher;
  ImageStreamOptions options = image_options(now, hasher);
  options.parallel = parallel;
  out.status = stream_data_file_image(
      record,
      [&](std::string_view piece) -> Status {
        out.bytes.append(piece);
        out.pieces.push_back(piece.size());
        return ok_status();
      },
      options);
  if (out.status.ok()) out.digest = now.digest ? *now.digest : hasher.digest();
}

// Writes a buffered image into `file` piece by piece, as streaming it would
// have, then gives its outcome.
Status replay_image(BufferedImage& image, FileReplacement& file, EncodingDigest& digest,
                    bool& write_failed) {
  size_t at = 0;
  for (size_t n : image.pieces) {
    Status w = file.write(std::string_view(image.bytes).substr(at, n));
    at += n;
    if (!w.ok()) {
      write_failed = true;
      return w;
    }
  }
  if (image.status.ok()) digest = image.digest;
  return std::move(image.status);
}

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

// After a flush that succeeded: the records are clean when every file is
// known to hold its record.
void note_clean_if_all_held(FlushState& state) {
  for (const DataFileState& f : state.files)
    if (!f.digest) return;
  state.clean_generation = state.generation;
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

Result<Database> open_database(const std::filesystem::path& path, bool writable,
                               const ParallelRunner* parallel) {
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
    HeldDirectoryRegistration registration(std::move(key));
    auto lock = acquire_lock_file(path / kLockFile);
    if (!lock.ok()) return std::move(lock).error();
    // From here on the Database owns the lock and the registration: every
    // failure below releases both when `db` goes out of scope.
    lock->attach_held_directory(registration.release());
    db.lock_file.emplace(std::move(*lock));
    // Under the lock nobody else can be writing them: whatever temporary
    // file is left is the debris of a flush that died.
    for (const char* name : kDataFiles) remove_leftover_temporaries(path / name);
  }

  const auto meta_path = path / kMetaFile;
  std::optional<EncodingDigest> digest;
  QUOR_ASSIGN_OR_RETURN(db.meta, load_meta_file(meta_path, &digest));
  if (writable) note_loaded(db.flush_state.files[kMetaSlot], meta_path, db.meta, digest);

  const auto data_path = path / kDistributionsFile;
  TableLoader loader(db);
  if (writable) {
    QUOR_RETURN_IF_ERROR(read_distribution_file_into(data_path, &digest, parallel, loader));
    DataFileState& state = db.flush_state.files[kDistributionsSlot];
    note_loaded(state, data_path, db.record_source(), digest);
    if (state.digest && loader.as_stored()) state.read_as_stored = db.flush_state.generation;
  } else {
    QUOR_RETURN_IF_ERROR(read_mapped_distribution_file_into(data_path, loader));
  }

  // The index file may predate the distributions file (a flush interrupted
  // between their renames, or an older build that wrote them one after the
  // other): the distributions are the truth. Building the index from them
  // costs no more than decoding the file would.
  if (writable) {
    // Whether the file holds this index is checked at the first flush that
    // would otherwise write it (never, when the index changes before).
    const auto index_path = path / kIndexFile;
    DataFileState& state = db.flush_state.files[kIndexSlot];
    if (file_starts_with(index_path, kCurrentHeader)) {
      if (auto id = file_identity(index_path)) {
        state.identity = *id;
        state.unread_entries = db.distributions.index_size();
      }
    }
  }
  raise_id_counters(db);

  const auto snapshots_path = path / kSnapshotsFile;
  if (path_has_metadata(snapshots_path)) {
    auto snapshots = load_snapshot_store(snapshots_path);
    if (snapshots.ok()) {
      db.snapshots = std::move(snapshots).value();
      if (writable) {
        note_loaded_reencoded(db.flush_state.files[kSnapshotsSlot], snapshots_path, db.snapshots);
      }
    }
  }

  if (db.meta.raw_log_enabled) {
    QUOR_ASSIGN_OR_RETURN(RawLog log, open_raw_log(path / kRawDir));
    if (writable) {
      // After a crash without a flush the stored counter lags behind the
      // lines already logged: continue after the last one so that no
      // record id is issued twice.
      // A last id of 2^64 - 1 leaves the counter there: it is spent.
      QUOR_ASSIGN_OR_RETURN(std::optional<uint64_t> last, last_raw_record_id(log));
      if (last && *last >= db.meta.next_raw_record_id) {
        db.meta.next_raw_record_id = *last == UINT64_MAX ? UINT64_MAX : *last + 1;
      }
    }
    db.raw_log = std::move(log);
  }
  return db;
}

Status flush_database(Database& db) { return flush_database(db, file_ops()); }

Status flush_database(Database& db, FileOps& ops) { return flush_database(db, ops, nullptr); }

Status flush_database(Database& db, FileOps& ops, const ParallelRunner* parallel) {
  if (!db.writable) return ok_status();
  if (db.lock_file) QUOR_RETURN_IF_ERROR(db.lock_file->check_writer());

  const std::filesystem::path paths[4] = {db.dir / kMetaFile, db.dir / kDistributionsFile,
                                          db.dir / kIndexFile, db.dir / kSnapshotsFile};
  auto& files = db.flush_state.files;
  const DistributionFileSource data = db.record_source();
  const DistIndexSource index = db.distributions.index_source();
  // Whether each file already holds its record, and what was learnt deciding.
  RecordNow now[4];
  const bool clean = db.flush_state.clean();
  bool holds[4];
  auto check = [&](size_t i) {
    switch (i) {
      case kMetaSlot: holds[i] = file_holds(files[i], paths[i], db.meta, now[i], clean); break;
      case kDistributionsSlot:
        holds[i] = holds_as_read(files[i], paths[i], data, db.flush_state.generation, now[i], parallel) ||
                   file_holds(files[i], paths[i], data, now[i], clean, parallel);
        break;
      case kIndexSlot: holds[i] = file_holds(files[i], paths[i], index, now[i], clean, parallel); break;
      default: holds[i] = file_holds(files[i], paths[i], db.snapshots, now[i], clean); break;
    }
  };
  // On a pool the four are checked at once (each its own file and state).
  if (parallel != nullptr) (*parallel)(4, check);
  else for (size_t i = 0; i < 4; ++i) check(i);
  // Whatever this flush ends with, the records are clean again only if every
  // file is then known to hold its record.
  db.flush_state.clean_generation.reset();
  EncodingDigest written[4];
  const uint64_t entries[4] = {entries_of(db.meta), entries_of(data), entries_of(index),
                               entries_of(db.snapshots)};

  // Stage every file that needs writing: written whole and on stable storage
  // under its temporary name before any of them replaces its old file.
  std::vector<FileReplacement> staged;
  std::vector<size_t> slots;
  staged.reserve(4);
  std::optional<BufferedImage> index_image;
  auto stage = [&](size_t i) -> Status {
    if (holds[i]) return ok_status();
    const std::string context = "write file " + paths[i].string();
    auto begun = FileReplacement::begin(ops, paths[i]);
    if (!begun.ok()) return std::move(begun).error().add_context(context);
    FileReplacement& file = staged.emplace_back(std::move(begun).value());
    slots.push_back(i);
    bool write_failed = false;
    Status st;
    switch (i) {
      case kMetaSlot: st = stream_record(db.meta, file, now[i], written[i], write_failed); break;
      case kDistributionsSlot:
        st = stream_record(data, file, now[i], written[i], write_failed, parallel);
        break;
      case kIndexSlot:
        st = index_image ? replay_image(*index_image, file, written[i], write_failed)
                         : stream_record(index, file, now[i], written[i], write_failed, parallel);
        break;
      default: st = stream_record(db.snapshots, file, now[i], written[i], write_failed); break;
    }
    // A compression failure already says "zstd compress".
    if (!st.ok()) return write_failed ? std::move(st).context(context) : std::move(st);
    return file.finish().context(context);
  };
  size_t next = 0;
  if (parallel != nullptr && !holds[kDistributionsSlot] && !holds[kIndexSlot]) {
    // The index is made in memory while the files before it are written.
    // Its buffer gets room for a usual compression ratio here, on the
    // calling thread, whose heap takes it back once freed (a pool thread's
    // would keep it). Without a digest the room follows the entries (about
    // 4 compressed bytes each for the daily flights database): measuring
    // the encoding would be a pass over every key before any work starts.
    index_image.emplace();
    index_image->bytes.reserve(static_cast<size_t>(
        now[kIndexSlot].digest ? now[kIndexSlot].digest->size / 4 : 8 + 8 * index.entries));
    Status before;
    (*parallel)(2, [&](size_t task) {
      if (task == 1) {
        buffer_image(index, now[kIndexSlot], *index_image, parallel);
        return;
      }
      for (size_t i = 0; i < kIndexSlot && before.ok(); ++i) before = stage(i);
    });
    QUOR_RETURN_IF_ERROR(before);
    next = kIndexSlot;
  }
  for (size_t i = next; i < 4; ++i) QUOR_RETURN_IF_ERROR(stage(i));
  if (staged.empty()) {
    note_clean_if_all_held(db.flush_state);
    return ok_status();
  }

  // Rename in the fixed order, stopping at the first failure: a schema is in
  // place before the distributions that use it.
  Status failure;
  size_t committed = 0;
  for (; committed < staged.size(); ++committed) {
    Status st = staged[committed].commit();
    if (!st.ok()) {
      failure = std::move(st).context("write file " + paths[slots[committed]].string());
      break;
    }
  }

  // One flush of each directory that received a rename (more than one only
  // when a data file is a link into another directory).
  std::vector<std::filesystem::path> dirs;
  std::vector<bool> durable(committed, true);
  for (size_t k = 0; k < committed; ++k) {
    const auto dir = staged[k].target_directory();
    if (std::find(dirs.begin(), dirs.end(), dir) != dirs.end()) continue;
    dirs.push_back(dir);
    Status st = ops.sync_directory(dir);
    if (st.ok()) continue;
    for (size_t m = k; m < committed; ++m)
      if (staged[m].target_directory() == dir) durable[m] = false;
    if (failure.ok()) failure = std::move(st).context("write file " + paths[slots[k]].string());
  }

  for (size_t k = 0; k < committed; ++k) {
    DataFileState& state = files[slots[k]];
    state = DataFileState{};
    // A file whose rename may not survive a power loss is written again by
    // the next flush.
    if (!durable[k]) continue;
    if (auto id = file_identity(paths[slots[k]])) {
      state.digest = written[slots[k]];
      state.entries = entries[slots[k]];
      state.identity = *id;
    }
  }
  if (failure.ok()) note_clean_if_all_held(db.flush_state);
  return failure;
}

}  // namespace quor::store
