// Fingerprints of encoded records, for knowing whether a file already holds
// a record without reading or writing it again.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "quor/store/binary_codec.h"
#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::store {

// The 128-bit XXH3 fingerprint and the length of an encoded record, taken
// from its bytes as they pass (by the encoder on their way to compression,
// or by the decompressor on their way to the decoder), so that knowing what
// a file holds never costs a pass of its own.
struct EncodingDigest {
  uint64_t low = 0;
  uint64_t high = 0;
  uint64_t size = 0;
  bool operator==(const EncodingDigest&) const = default;
};

// Accumulates an EncodingDigest over pieces given in order.
class EncodingHasher {
 public:
  EncodingHasher();
  ~EncodingHasher();
  EncodingHasher(const EncodingHasher&) = delete;
  EncodingHasher& operator=(const EncodingHasher&) = delete;

  void update(std::string_view piece);
  // The digest of every piece so far.
  EncodingDigest digest() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
  uint64_t size_ = 0;
};

// The digest of encode_stored_record(record), from one encoding pass
// through the reused buffer.
EncodingDigest encoding_digest(const model::MetaFile& record);
EncodingDigest encoding_digest(const model::DistributionFile& record);
EncodingDigest encoding_digest(const DistributionFileSource& record);
EncodingDigest encoding_digest(const DistIndexSource& record);
EncodingDigest encoding_digest(const model::DistIndex& record);
EncodingDigest encoding_digest(const model::SnapshotStore& record);

// An order-free digest of an index's entries: the same for two indexes with
// the same entries whatever order they are visited in (the index is an
// unordered map, so equal indexes need not encode alike), and different,
// but for a hash collision, for any other entries (a key given twice
// included).
struct IndexEntriesDigest {
  uint64_t count = 0;
  uint64_t sum_low = 0;
  uint64_t sum_high = 0;
  bool operator==(const IndexEntriesDigest&) const = default;
};
IndexEntriesDigest index_entries_digest(const model::DistIndex& index);
IndexEntriesDigest index_entries_digest(const DistIndexSource& index);

// The entries digest of the index encoded in `source`, read entry by entry
// (no map is built). Fails where decoding the index would.
Result<IndexEntriesDigest> index_entries_digest_from(RecordSource& source);

}  // namespace quor::store
