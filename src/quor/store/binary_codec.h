// The fixed binary layout of the stored records.
//
// Every field is written in declaration order with no names, tags or
// padding: integers and floats little-endian (floats bit for bit), bools as
// one byte, texts and lists as a u64 count followed by their contents,
// optionals as a 0/1 byte, variants as a u32 alternative index followed by
// the alternative's fields, maps as a u64 count followed by key/value pairs
// (ordered maps in key order, unordered maps in their visiting order).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::store {

// The exact number of bytes encode_stored_record produces for the record.
uint64_t stored_record_size(const model::MetaFile& record);
uint64_t stored_record_size(const model::DistributionFile& record);
uint64_t stored_record_size(const model::DistIndex& record);
uint64_t stored_record_size(const model::SnapshotStore& record);

// The encoded bytes, produced into one buffer allocated at the exact size.
// Encoding cannot fail.
std::string encode_stored_record(const model::MetaFile& record);
std::string encode_stored_record(const model::DistributionFile& record);
std::string encode_stored_record(const model::DistIndex& record);
std::string encode_stored_record(const model::SnapshotStore& record);

// The same bytes as encode_stored_record, handed to `sink` in order in
// pieces of a reused buffer (never the whole record at once for a large one).
// The buffer belongs to the calling thread: `sink` must not itself encode
// another record through these calls, nor keep a piece after it returns.
using EncodedChunkSink = std::function<void(std::string_view)>;
void encode_stored_record_to(const model::MetaFile& record, const EncodedChunkSink& sink);
void encode_stored_record_to(const model::DistributionFile& record, const EncodedChunkSink& sink);
void encode_stored_record_to(const model::DistIndex& record, const EncodedChunkSink& sink);
void encode_stored_record_to(const model::SnapshotStore& record, const EncodedChunkSink& sink);

// The same bytes for a DistributionFile cut into consecutive parts that can
// be encoded independently (on several threads) and joined in part order.
// Part p < dist_parts holds distributions [p * group, (p + 1) * group), the
// first of them preceded by the list's count; the joint parts follow the
// same way. An empty list still has one part: its count.
struct DistributionFileParts {
  size_t group = 1;
  size_t dist_parts = 1;
  size_t joint_parts = 1;
  size_t count() const { return dist_parts + joint_parts; }
};
DistributionFileParts distribution_file_parts(const model::DistributionFile& record, size_t group);
// The exact size of one part.
uint64_t distribution_file_part_size(const model::DistributionFile& record,
                                     const DistributionFileParts& parts, size_t part);
// Replaces `out` with the bytes of one part, whose size is `size`.
void encode_distribution_file_part(const model::DistributionFile& record,
                                   const DistributionFileParts& parts, size_t part, uint64_t size,
                                   std::string& out);

// The bytes of an encoded record as they come, for decoding a record of a
// stream (a decompressed file) without holding the whole stream.
class RecordSource {
 public:
  virtual ~RecordSource() = default;
  // Writes the next bytes, at most `cap`, to `dst` and returns how many; 0
  // only when nothing is left (the end, or a fault the owner reports).
  virtual size_t pull(char* dst, size_t cap) = 0;
  // The exact number of bytes the whole source yields from its start, or
  // less when the source is faulty. May take a pass of its own over the
  // input in bounded memory; asked only for a length that reaches far past
  // the bytes at hand.
  virtual uint64_t exact_size() = 0;
  // A bound the source can vouch for on the bytes it yields from its start,
  // used to size reservations only; 0 when it cannot tell.
  virtual uint64_t size_hint() = 0;
};

// Decodes a record of type T (MetaFile, DistributionFile, DistIndex or
// SnapshotStore) from the start of `bytes`; bytes after it are ignored. A
// failure carries the decoder's message as its root ("io error: unexpected
// end of file", "invalid value: integer `2`, expected variant index
// 0 <= i < 2", ...). A damaged count never makes the decoder reserve more
// elements than the bytes left could encode, and a damaged length never
// takes storage for bytes that are not there.
template <class T>
Result<T> decode_stored_record(std::string_view bytes);

// The same decoding from the bytes `source` yields, pulled through one
// reused window as the decoder needs them: memory follows the decoded
// record, never the length of the stream. Bytes after the record are left
// unpulled; a source that ends early fails as the whole-buffer decoder fails
// on the same bytes, with the same text.
template <class T>
Result<T> decode_stored_record_from(RecordSource& source);

}  // namespace quor::store
