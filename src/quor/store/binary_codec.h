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
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// One distribution as a table holds it, seen without copying: the texts and
// counts point into the table and stay valid while it does not change. It
// encodes to exactly the bytes of the DistributionObject it stands for.
struct DistributionView {
  uint64_t id = 0;
  std::string_view variable;
  // The dimension key as (name, value), in the order of the stored map.
  std::vector<std::pair<std::string_view, std::string_view>> key;
  bool histogram = true;
  double min = 0.0, max = 1.0;                            // histogram
  const std::vector<std::string>* categories = nullptr;   // categorical
  std::span<const uint64_t> counts;
  uint64_t unknown_count = 0;                             // categorical
  uint64_t total_count = 0;
  uint64_t sample_count = 0;
  double entropy = 0.0;
  uint64_t last_updated = 0;
  uint64_t version = 1;
  std::pair<uint64_t, uint64_t> raw_record_range{0, 0};
};

// A DistributionFile that is not held as the record: `view` shows its
// distribution number p (into `out`, whose key it clears first; safe to
// call from several threads at once, each with its own `out`), its joints
// held as records. Encoding from views builds no record: measured from
// Python (bench/python_flush_open.py, daily flights database, 2.65 M
// distributions, 4 threads, five interleaved runs at load 7-13), a full
// flush took 680-950 ms against 714-1440 ms when every distribution was
// built into a DistributionObject to be encoded. The functions
// below give exactly the bytes of the record-level ones above for the record
// this stands for.
struct DistributionFileSource {
  size_t distributions = 0;
  std::function<void(size_t p, DistributionView& out)> view;
  const std::vector<model::JointDistributionObject>* joints = nullptr;
};
uint64_t stored_record_size(const DistributionFileSource& record);
void encode_stored_record_to(const DistributionFileSource& record, const EncodedChunkSink& sink);
DistributionFileParts distribution_file_parts(const DistributionFileSource& record, size_t group);
uint64_t distribution_file_part_size(const DistributionFileSource& record,
                                     const DistributionFileParts& parts, size_t part);
void encode_distribution_file_part(const DistributionFileSource& record,
                                   const DistributionFileParts& parts, size_t part, uint64_t size,
                                   std::string& out);

// A DistIndex that is not held as the record: `visit` calls its argument
// with every (key, id) entry in the order the record would visit them
// (the key valid during the call only). The functions below give exactly
// the bytes of the record-level ones for the record this stands for.
struct DistIndexSource {
  using EntryFn = std::function<void(std::string_view, uint64_t)>;
  size_t entries = 0;
  std::function<void(const EntryFn&)> visit;
  // When set, visits the entries [first, last) of that same order, so that
  // the record can be encoded in parts on several threads.
  std::function<void(size_t first, size_t last, const EntryFn&)> visit_range;
};
uint64_t stored_record_size(const DistIndexSource& record);
void encode_stored_record_to(const DistIndexSource& record, const EncodedChunkSink& sink);
// The same bytes in consecutive parts of `group` entries, for a source with
// visit_range: part p holds entries [p * group, (p + 1) * group), the first
// preceded by the count (an empty index has one part: its count). Joined in
// part order they are encode_stored_record_to's bytes.
size_t dist_index_part_count(const DistIndexSource& record, size_t group);
// Replaces `out` with the bytes of one part.
void encode_dist_index_part(const DistIndexSource& record, size_t group, size_t part, std::string& out);

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
