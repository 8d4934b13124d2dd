// The flush of a database directory: every data file that does not hold
// its record is written under a temporary name, all of them put in place
// in the fixed order, and their directory flushed.
#include <algorithm>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "quor/store/encoding_digest.h"
#include "quor/store/file_io.h"
#include "quor/store/flush_state.h"
#include "quor/store/internal/directory_files.h"

namespace quor::store {

namespace {

using namespace internal;  // the data files' names, slots and streaming

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

// After a flush that succeeded: the records are clean when every file is
// known to hold its record.
void note_clean_if_all_held(FlushState& state) {
  for (const DataFileState& f : state.files)
    if (!f.digest) return;
  state.clean_generation = state.generation;
}

// One flush: the database, where and how it writes, and what it learns
// file by file (in FlushState::files' order).
struct Flush {
  Flush(Database& database, FileOps& file_ops, const ParallelRunner* pool)
      : db(database),
        ops(file_ops),
        parallel(pool),
        paths{db.dir / kMetaFile, db.dir / kDistributionsFile, db.dir / kIndexFile, db.dir / kSnapshotsFile},
        data(db.record_source()),
        index(db.distributions.index_source()),
        entries{entries_of(db.meta), entries_of(data), entries_of(index), entries_of(db.snapshots)} {
    staged.reserve(4);
  }

  Database& db;
  FileOps& ops;
  const ParallelRunner* parallel;
  const std::filesystem::path paths[4];
  const DistributionFileSource data;
  const DistIndexSource index;
  const uint64_t entries[4];
  // Whether each file already holds its record, and what was learnt deciding.
  RecordNow now[4];
  bool holds[4] = {false, false, false, false};
  EncodingDigest written[4];
  // The files written under their temporary names, with their slots.
  std::vector<FileReplacement> staged;
  std::vector<size_t> slots;
  std::optional<BufferedImage> index_image;
};

// Which files already hold their records; on a pool the four are checked at
// once (each its own file and state).
void check_files(Flush& f) {
  auto& files = f.db.flush_state.files;
  const bool clean = f.db.flush_state.clean();
  auto check = [&](size_t i) {
    switch (i) {
      case kMetaSlot: f.holds[i] = file_holds(files[i], f.paths[i], f.db.meta, f.now[i], clean); break;
      case kDistributionsSlot:
        f.holds[i] =
            holds_as_read(files[i], f.paths[i], f.data, f.db.flush_state.generation, f.now[i], f.parallel) ||
            file_holds(files[i], f.paths[i], f.data, f.now[i], clean, f.parallel);
        break;
      case kIndexSlot: f.holds[i] = file_holds(files[i], f.paths[i], f.index, f.now[i], clean, f.parallel); break;
      default: f.holds[i] = file_holds(files[i], f.paths[i], f.db.snapshots, f.now[i], clean); break;
    }
  };
  if (f.parallel != nullptr) (*f.parallel)(4, check);
  else for (size_t i = 0; i < 4; ++i) check(i);
}

// Writes file `i`, unless it holds its record, whole under its temporary
// name and on stable storage.
Status stage_file(Flush& f, size_t i) {
  if (f.holds[i]) return ok_status();
  const std::string context = "write file " + f.paths[i].string();
  auto begun = FileReplacement::begin(f.ops, f.paths[i]);
  if (!begun.ok()) return std::move(begun).error().add_context(context);
  FileReplacement& file = f.staged.emplace_back(std::move(begun).value());
  f.slots.push_back(i);
  bool write_failed = false;
  Status st;
  switch (i) {
    case kMetaSlot: st = stream_record(f.db.meta, file, f.now[i], f.written[i], write_failed); break;
    case kDistributionsSlot:
      st = stream_record(f.data, file, f.now[i], f.written[i], write_failed, f.parallel);
      break;
    case kIndexSlot:
      st = f.index_image ? replay_image(*f.index_image, file, f.written[i], write_failed)
                         : stream_record(f.index, file, f.now[i], f.written[i], write_failed, f.parallel);
      break;
    default: st = stream_record(f.db.snapshots, file, f.now[i], f.written[i], write_failed); break;
  }
  // A compression failure already says "zstd compress".
  if (!st.ok()) return write_failed ? std::move(st).context(context) : std::move(st);
  return file.finish().context(context);
}

// Stages every file that needs writing, in order, before any of them
// replaces its old file. On a pool the index is made in memory while the
// files before it are written.
Status stage_files(Flush& f) {
  size_t next = 0;
  if (f.parallel != nullptr && !f.holds[kDistributionsSlot] && !f.holds[kIndexSlot]) {
    // Its buffer gets room for a usual compression ratio here, on the
    // calling thread, whose heap takes it back once freed (a pool thread's
    // would keep it). Without a digest the room follows the entries (about
    // 4 compressed bytes each for the daily flights database): measuring
    // the encoding would be a pass over every key before any work starts.
    const RecordNow& index_now = f.now[kIndexSlot];
    f.index_image.emplace();
    f.index_image->bytes.reserve(
        static_cast<size_t>(index_now.digest ? index_now.digest->size / 4 : 8 + 8 * f.index.entries));
    Status before;
    (*f.parallel)(2, [&](size_t task) {
      if (task == 1) {
        buffer_image(f.index, index_now, *f.index_image, f.parallel);
        return;
      }
      for (size_t i = 0; i < kIndexSlot && before.ok(); ++i) before = stage_file(f, i);
    });
    QUOR_RETURN_IF_ERROR(before);
    next = kIndexSlot;
  }
  for (size_t i = next; i < 4; ++i) QUOR_RETURN_IF_ERROR(stage_file(f, i));
  return ok_status();
}

// Renames the staged files in the fixed order, stopping at the first
// failure (a schema is in place before the distributions that use it),
// then flushes each directory that received a rename once (more than one
// only when a data file is a link into another directory). `durable[k]`
// tells whether staged file k is in place for good.
Status commit_staged(Flush& f, std::vector<bool>& durable) {
  Status failure;
  size_t committed = 0;
  for (; committed < f.staged.size(); ++committed) {
    Status st = f.staged[committed].commit();
    if (!st.ok()) {
      failure = std::move(st).context("write file " + f.paths[f.slots[committed]].string());
      break;
    }
  }
  std::vector<std::filesystem::path> dirs;
  durable.assign(committed, true);
  for (size_t k = 0; k < committed; ++k) {
    const auto dir = f.staged[k].target_directory();
    if (std::find(dirs.begin(), dirs.end(), dir) != dirs.end()) continue;
    dirs.push_back(dir);
    Status st = f.ops.sync_directory(dir);
    if (st.ok()) continue;
    for (size_t m = k; m < committed; ++m)
      if (f.staged[m].target_directory() == dir) durable[m] = false;
    if (failure.ok()) failure = std::move(st).context("write file " + f.paths[f.slots[k]].string());
  }
  return failure;
}

// Records what each file put in place holds. A file whose rename may not
// survive a power loss is written again by the next flush.
void note_written(Flush& f, const std::vector<bool>& durable) {
  for (size_t k = 0; k < durable.size(); ++k) {
    const size_t slot = f.slots[k];
    DataFileState& state = f.db.flush_state.files[slot];
    state = DataFileState{};
    if (!durable[k]) continue;
    if (auto id = file_identity(f.paths[slot])) {
      state.digest = f.written[slot];
      state.entries = f.entries[slot];
      state.identity = *id;
    }
  }
}

}  // namespace

Status flush_database(Database& db) { return flush_database(db, file_ops()); }

Status flush_database(Database& db, FileOps& ops) { return flush_database(db, ops, nullptr); }

Status flush_database(Database& db, FileOps& ops, const ParallelRunner* parallel) {
  if (!db.writable) return ok_status();
  if (db.lock_file) QUOR_RETURN_IF_ERROR(db.lock_file->check_writer());
  Flush f(db, ops, parallel);
  check_files(f);
  // Whatever this flush ends with, the records are clean again only if every
  // file is then known to hold its record.
  db.flush_state.clean_generation.reset();
  QUOR_RETURN_IF_ERROR(stage_files(f));
  if (f.staged.empty()) {
    note_clean_if_all_held(db.flush_state);
    return ok_status();
  }
  std::vector<bool> durable;
  Status failure = commit_staged(f, durable);
  note_written(f, durable);
  if (failure.ok()) note_clean_if_all_held(db.flush_state);
  return failure;
}

}  // namespace quor::store
