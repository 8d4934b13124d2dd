// What the directory's open, create and flush share: the data files' names
// and their slots in FlushState, and how a record is streamed into a file
// with its digest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/encoding_digest.h"
#include "quor/store/file_io.h"
#include "quor/store/flush_state.h"
#include "quor/util/error.h"

namespace quor::store::internal {

inline constexpr const char* kMetaFile = "meta.edb";
inline constexpr const char* kDistributionsFile = "distributions.edb";
inline constexpr const char* kIndexFile = "dist_index.edb";
inline constexpr const char* kSnapshotsFile = "snapshots.edb";
inline constexpr const char* kLockFile = "lock.edb";
inline constexpr const char* kRawDir = "raw";
inline constexpr const char* kDataFiles[] = {kMetaFile, kDistributionsFile, kIndexFile, kSnapshotsFile};

// Positions in FlushState::files, which is in flush order.
inline constexpr size_t kMetaSlot = 0;
inline constexpr size_t kDistributionsSlot = 1;
inline constexpr size_t kIndexSlot = 2;
inline constexpr size_t kSnapshotsSlot = 3;

// The header of a file in the current format.
inline const std::string_view kCurrentHeader("QUOR\x03\x00\x00\x00", 8);

// A count that moves with most edits of a record and costs nothing to take:
// when it differs from the count of the record a file holds, the record
// changed, and a flush writes it without taking its digest first.
inline uint64_t entries_of(const model::MetaFile&) { return 0; }
inline uint64_t entries_of(const DistributionFileSource& r) {
  return r.distributions + (r.joints ? r.joints->size() : 0);
}
inline uint64_t entries_of(const DistIndexSource& r) { return r.entries; }
inline uint64_t entries_of(const model::SnapshotStore& r) { return r.entries.size(); }

// Records that the file at `path` holds a record whose encoding has
// `digest` (set by the loader only for a file in the current format; a file
// of an older version or in the JSON form is rewritten by the next flush).
template <class T>
inline void note_loaded(DataFileState& state, const std::filesystem::path& path, const T& record,
                 const std::optional<EncodingDigest>& digest) {
  state = DataFileState{};
  if (!digest) return;
  auto id = file_identity(path);
  if (!id) return;
  state.digest = digest;
  state.entries = entries_of(record);
  state.identity = *id;
}

// What a flush learns about one record before writing it: the digest of its
// encoding, when it had to take it to decide.
struct RecordNow {
  std::optional<EncodingDigest> digest;
};

// The image's options: the encoded size when the digest is known already,
// otherwise `hasher` to take it on the way.
inline ImageStreamOptions image_options(const RecordNow& now, EncodingHasher& hasher) {
  ImageStreamOptions options;
  if (now.digest) {
    options.encoded_size = now.digest->size;
  } else {
    options.hasher = &hasher;
  }
  return options;
}

// Streams `record` into `file`, taking its digest on the way unless `now`
// already has it; `digest` receives it, and `write_failed` tells whether a
// failure came from the file rather than the compressor.
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

}  // namespace quor::store::internal
