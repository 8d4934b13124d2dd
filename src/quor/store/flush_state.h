// What a read-write Database knows about the data files it last wrote or
// read, so that a flush leaves alone a file that already holds the bytes it
// would write.
//
// For each file: the digest (XXH3-128 fingerprint and length) of the encoded
// record the file holds (in the current format), and the file's identity
// when that was established. The digests come from the bytes as they pass:
// the encoder's on their way to the compressor when a flush writes the file,
// the decompressor's when open reads it. A flush skips a file only when the
// record's digest is the same and the file is still the one it wrote or
// read. A record whose file is in an unknown state, or whose count of
// entries changed, is written without taking its digest first. Anything
// unknown means "write".
//
// Beside the digests, a change generation: every operation that changes the
// records raises it (note_change), and a flush after which every file holds
// its record remembers the generation it saw. While the two are equal the
// records are as the files hold them, so the next flush (the close after an
// ingest, whose own flush already wrote everything) checks only that each
// file is still the one it wrote, without encoding a record to digest it.
// Whoever changes the records directly (not through Database's changing
// operations or an ingest) calls note_change() first.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "quor/store/encoding_digest.h"
#include "quor/store/file_io.h"

namespace quor::store {

struct DataFileState {
  // Set when the file `identity` names holds, in the current format, a
  // record whose encoding has this digest.
  std::optional<EncodingDigest> digest;
  // With `digest`: the record's count of entries then (lists, keys), which
  // shows most changes without a pass over the record.
  uint64_t entries = 0;
  FileIdentity identity;
  // Set instead of a digest for a file in the current format that open did
  // not read (the index, which it builds from the distributions): the
  // number of entries the record had then. The first flush compares the file
  // with the record before it relies on it, unless the count already shows
  // a change.
  std::optional<uint64_t> unread_entries;
  // With `digest`, set by open when the record was built from the file's
  // bytes as they stand (no key read in another order, no joints, whose
  // decoded maps may order what the bytes did not): the change generation
  // then. While the generation is still this one, the record encodes to the
  // bytes read once its encoded size is their length (a stream may go on
  // past the record), so the first flush after open need not encode it to
  // take its digest. A flush clears it.
  std::optional<uint64_t> read_as_stored;
};

// Indexed by the data files in flush order: meta, distributions, index,
// snapshots.
struct FlushState {
  std::array<DataFileState, 4> files;
  // Raised by every change of the records.
  uint64_t generation = 0;
  // The generation at which every data file last held its record, when a
  // flush left them so; open leaves it unset (what it read may differ from
  // what the state now encodes to).
  std::optional<uint64_t> clean_generation;

  void note_change() { ++generation; }
  bool clean() const { return clean_generation == generation; }
};

}  // namespace quor::store
