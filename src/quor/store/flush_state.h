// What a read-write Database knows about the data files it last wrote or
// read, so that a flush leaves alone a file that already holds the bytes it
// would write.
//
// For each file: the 128-bit fingerprint of the encoded record the file
// holds (in the current format), and the file's identity when that was
// established. A flush encodes each record again (cheap next to compressing
// it), and skips a file only when the fingerprint is the same and the file
// is still the one it wrote or read. Anything unknown means "write".
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "quor/store/file_io.h"
#include "quor/store/model.h"

namespace quor::store {

// XXH3-128 of a record's binary form.
struct RecordFingerprint {
  uint64_t low = 0;
  uint64_t high = 0;
  bool operator==(const RecordFingerprint&) const = default;
};
RecordFingerprint record_fingerprint(const MetaFile& record);
RecordFingerprint record_fingerprint(const DistributionFile& record);
RecordFingerprint record_fingerprint(const DistIndex& record);
RecordFingerprint record_fingerprint(const SnapshotStore& record);

struct DataFileState {
  // Set when the file `identity` names holds, in the current format, a
  // record whose encoding has this fingerprint.
  std::optional<RecordFingerprint> fingerprint;
  FileIdentity identity;
  // Set instead of a fingerprint for a file in the current format that open
  // did not read (the index, which it builds from the distributions): the
  // number of entries the record had then. The first flush compares the file
  // with the record before it relies on it, unless the count already shows
  // a change.
  std::optional<uint64_t> unread_entries;
};

// Indexed by the data files in flush order: meta, distributions, index,
// snapshots.
struct FlushState {
  std::array<DataFileState, 4> files;
};

}  // namespace quor::store
