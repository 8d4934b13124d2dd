// The data files of a database directory: an 8-byte header ("QUOR" and the
// format version, little-endian) followed by the record's binary form,
// zstd-compressed in version 3. Readers also accept versions below 3
// (uncompressed binary form) and, for a file without the header, the JSON
// form; a newer version is refused before its payload is touched.
//
// Every write replaces the whole file through a temporary file and a
// rename, so a data file is never left half-written.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quor/store/binary_codec.h"
#include "quor/store/decoded_distribution.h"
#include "quor/store/encoding_digest.h"
#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::store {

inline constexpr uint32_t FORMAT_VERSION = 3;
inline constexpr char kFileMagic[4] = {'Q', 'U', 'O', 'R'};

// The complete image of a data file holding `record` (header + compressed
// binary form). Fails only when compression fails ("zstd compress").
Result<std::string> data_file_image(const model::MetaFile& record);
Result<std::string> data_file_image(const model::DistributionFile& record);
Result<std::string> data_file_image(const model::DistIndex& record);
Result<std::string> data_file_image(const model::SnapshotStore& record);

// Streams the complete image of `record` to `write`, in order, in pieces of
// a reused buffer; `write` may be called any number of times. The payload is
// one zstd frame (level 3, declaring its content size, with zstd's content
// checksum), compressed by the
// calling thread's reused context as the encoder produces the record (so
// `write` must not stream another image on the same thread). The first
// failure of `write` stops the stream and is returned as it is; a
// compression failure carries "zstd compress".
//
// `options.encoded_size`, when given, must be the record's encoded size
// (it spares the pass that measures it); `options.hasher`, when given,
// receives every encoded byte as it goes to the compressor.
//
// `options.parallel`, when given, lets a DistributionFile, and a
// DistIndexSource that visits ranges, be encoded and
// compressed in parts on several threads, each part its own frame (the
// frames in order are one zstd stream of the same content, so the file reads
// back as the same record with the same digest). `write` may then be called
// from a pool thread, one call at a time and in order.
using ImageWriter = std::function<Status(std::string_view)>;
// Spreads work over threads: calls fn(i) for every i in [0, n), in any
// order and possibly at once, fn(0) on the calling thread, and returns when
// every call returned.
using ParallelRunner = std::function<void(size_t n, const std::function<void(size_t)>& fn)>;
struct ImageStreamOptions {
  std::optional<uint64_t> encoded_size;
  EncodingHasher* hasher = nullptr;
  const ParallelRunner* parallel = nullptr;
};
Status stream_data_file_image(const model::MetaFile& record, const ImageWriter& write,
                              const ImageStreamOptions& options = {});
Status stream_data_file_image(const model::DistributionFile& record, const ImageWriter& write,
                              const ImageStreamOptions& options = {});
Status stream_data_file_image(const DistributionFileSource& record, const ImageWriter& write,
                              const ImageStreamOptions& options = {});
Status stream_data_file_image(const model::DistIndex& record, const ImageWriter& write,
                              const ImageStreamOptions& options = {});
Status stream_data_file_image(const DistIndexSource& record, const ImageWriter& write,
                              const ImageStreamOptions& options = {});
Status stream_data_file_image(const model::SnapshotStore& record, const ImageWriter& write,
                              const ImageStreamOptions& options = {});

class DistributionFileSink;

// encoding_digest(record), the record encoded in parts on `run` (the
// parallel stream's parts) and digested in order.
EncodingDigest encoding_digest(const model::DistributionFile& record, const ParallelRunner& run);
EncodingDigest encoding_digest(const DistributionFileSource& record, const ParallelRunner& run);
// stored_record_size(record), its parts measured on `run` when given.
uint64_t stored_record_size(const DistributionFileSource& record, const ParallelRunner* run);

namespace internal {
// The parallel stream's part and round sizes (0, 0: the defaults; the part
// size counts distributions and index entries alike), so that tests can put
// part and round borders anywhere in a small record.
void set_image_parts_for_testing(size_t entries_per_part, size_t parts_per_round);
// The read on the pool of a current-format DistributionFile payload (after
// the header) of several frames, every decompressed byte digested into
// `hasher`; nothing where it leaves the payload to the stream's read.
std::optional<model::DistributionFile> decode_distribution_frames(std::string_view payload,
                                                                  const ParallelRunner& run,
                                                                  EncodingHasher* hasher);
// The same handed on to `sink`; false where it leaves the payload to the
// stream's read (`sink` may then have had a begin and part of the record).
bool decode_distribution_frames_into(std::string_view payload, const ParallelRunner& run,
                                     EncodingHasher* hasher, DistributionFileSink& sink);
}  // namespace internal

// Flush writers: always (re)write the file. Failures carry "zstd compress"
// or "write file {path}".
Status write_meta_file(const std::filesystem::path& path, const model::MetaFile& record);
Status write_distributions_file(const std::filesystem::path& path, const model::DistributionFile& record);
Status write_dist_index_file(const std::filesystem::path& path, const model::DistIndex& record);
Status write_snapshots_file(const std::filesystem::path& path, const model::SnapshotStore& record);

// Create-time writers: do nothing when anything exists under `path`.
Status save_meta_file_if_absent(const std::filesystem::path& path, const model::MetaFile& record);
Status save_distribution_file_if_absent(const std::filesystem::path& path,
                                        const model::DistributionFile& record);
Status save_dist_index_if_absent(const std::filesystem::path& path, const model::DistIndex& record);
// Writes an empty SnapshotStore when nothing exists under `path`.
Status ensure_snapshots_file(const std::filesystem::path& path);

// Readers: the whole file is read ("read file {path}") and decoded by the
// rules above ("zstd decompress {path}", "deserialize {path}", "parse {path}
// (tried binary and JSON)", or the newer-version refusal). A frame that
// carries zstd's content checksum is verified against it (a mismatch fails
// with "zstd decompress {path}: Restored data doesn't match checksum");
// frames without one read as they are. A compressed
// record is decoded as it is decompressed, through one reused window, so
// memory follows the decoded record, never what the stream expands to; the
// rest of the stream is still checked, and a fault of the stream wins over a
// fault of the record.
Result<model::MetaFile> load_meta_file(const std::filesystem::path& path);
Result<model::DistIndex> load_dist_index(const std::filesystem::path& path);
Result<model::SnapshotStore> load_snapshot_store(const std::filesystem::path& path);
Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& path);
// The same, also setting `*digest` to the digest of the decompressed bytes
// (the whole stream, not only the record's) when the file is in the current
// format, and resetting it otherwise.
Result<model::MetaFile> load_meta_file(const std::filesystem::path& path,
                                std::optional<EncodingDigest>* digest);
Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& path,
                                                     std::optional<EncodingDigest>* digest);
// Takes a DistributionFile as a read hands it on: begin, then its
// distributions in order, a few at a time, then its joints. A begin after
// others voids everything handed on before it (the read started again).
class DistributionFileSink {
 public:
  virtual ~DistributionFileSink() = default;
  // `count` is the list's count as stored, `bound` a count the file's bytes
  // can hold, for reservations (at most `count`).
  virtual void begin(uint64_t count, uint64_t bound) = 0;
  // The distributions may be overwritten after the call.
  virtual void add(std::span<const DecodedDistribution> objects) = 0;
  virtual void end(std::vector<model::JointDistributionObject> joints) = 0;
};
// Reads as load_distribution_file_read(path, digest, parallel) does,
// handing the record on to `sink` as it is read instead of building it: on
// the pool, the distributions of one round of frames are taken by `sink`
// (on one thread at a time, in order) while the next round is decoded.
// On a failure `sink` may have had part of the record.
Status read_distribution_file_into(const std::filesystem::path& path,
                                   std::optional<EncodingDigest>* digest,
                                   const ParallelRunner* parallel, DistributionFileSink& sink);

// The same with `parallel` (may be null): a current-format file of several
// frames is decompressed and decoded on it, frames at once, into the same
// record, with the same digest; any other file, and any fault, as above.
Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& path,
                                                            std::optional<EncodingDigest>* digest,
                                                            const ParallelRunner* parallel);
// The entries digest of the index in the file at `path`, which must be in
// the current format; fails where load_dist_index would, and for an older
// format or the JSON form.
Result<IndexEntriesDigest> load_dist_index_entries_digest(const std::filesystem::path& path);
// Maps the file read-only ("open file {path}", "mmap {path}"), decodes from
// the mapping and unmaps before returning, whatever the outcome.
Result<model::DistributionFile> load_distribution_file_mapped(const std::filesystem::path& path);
// The same, handing the record on to `sink` as it is decoded.
Status read_mapped_distribution_file_into(const std::filesystem::path& path, DistributionFileSink& sink);

// Decodes the bytes of a data file; `path` serves the messages only.
Result<model::DistributionFile> parse_distribution_file(std::string_view bytes,
                                                 const std::filesystem::path& path);
template <class T>
Result<T> parse_data_file(std::string_view bytes, const std::filesystem::path& path);
// The same, digesting the decompressed bytes of a current-format file into
// `digest` (left empty otherwise).
template <class T>
Result<T> parse_data_file(std::string_view bytes, const std::filesystem::path& path,
                          std::optional<EncodingDigest>* digest);

}  // namespace quor::store
