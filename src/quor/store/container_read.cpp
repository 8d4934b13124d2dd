// The data files' readers: the read rules for every record, the stream
// decoder of the current format, the whole-file and mapped loaders.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/file_handle.h"
#include "quor/store/file_io.h"
#include "quor/store/internal/binary_reader.h"
#include "quor/store/internal/container_frames.h"
#include "quor/store/json_form.h"

namespace quor::store {

namespace {

using internal::DCtxPtr;
using internal::kPlausibleRatio;
using internal::path_text;
using internal::zstd_error;

// The decompressed bytes of every frame of a version-3 payload, one after
// the other, pulled as the decoder asks for them. The stream's fault ("zstd
// decompress" texts: zstd's own name for it, or "incomplete frame" for a
// payload that ends inside a frame) is kept in `fault`; pulling stops there.
class ZstdStream final : public RecordSource {
 public:
  // Every byte pulled goes through `hasher` when given.
  explicit ZstdStream(std::string_view in, EncodingHasher* hasher = nullptr)
      : in_(in), src_{in.data(), in.size(), 0}, hasher_(hasher) {
    if (in.empty()) done_ = true;  // nothing to decompress: an empty stream
    const uint64_t declared = declared_content_size(in);
    if (declared / kPlausibleRatio <= in.size()) hint_ = declared;
  }

  // The sum of the sizes the frames of `in` declare; 0 when a frame does not
  // declare one or cannot be measured.
  static uint64_t declared_content_size(std::string_view in) {
    uint64_t total = 0;
    while (!in.empty()) {
      const unsigned long long declared = ZSTD_getFrameContentSize(in.data(), in.size());
      const size_t frame = ZSTD_findFrameCompressedSize(in.data(), in.size());
      if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN ||
          ZSTD_isError(frame) || declared > UINT64_MAX - total)
        return 0;
      total += declared;
      in.remove_prefix(frame);
    }
    return total;
  }

  const std::optional<std::string>& fault() const { return fault_; }

  size_t pull(char* dst, size_t cap) override {
    if (done_ || cap == 0) return 0;
    if (!dctx_) {
      dctx_.reset(ZSTD_createDCtx());
      if (!dctx_) return stop("zstd: out of memory");
    }
    for (;;) {
      ZSTD_outBuffer out{dst, cap, 0};
      const size_t rc = ZSTD_decompressStream(dctx_.get(), &out, &src_);
      if (ZSTD_isError(rc)) return stop(zstd_error(rc));
      if (hasher_ != nullptr && out.pos > 0) hasher_->update(std::string_view(dst, out.pos));
      if (src_.pos == src_.size) {
        if (rc == 0) {  // every frame complete
          done_ = true;
          return out.pos;
        }
        if (out.pos < out.size) return stop("incomplete frame");
      }
      if (out.pos > 0) return out.pos;
    }
  }

  // A pass of its own over the whole payload through a small buffer.
  uint64_t exact_size() override {
    if (exact_) return *exact_;
    ZstdStream counter(in_);
    std::unique_ptr<char[]> scratch(new char[kScratch]);
    uint64_t total = 0;
    while (size_t got = counter.pull(scratch.get(), kScratch)) total += got;
    exact_ = total;
    return total;
  }

  uint64_t size_hint() override { return hint_; }

  // Pulls the rest of the stream, keeping none of it: the fault of a frame
  // after the record still fails the file.
  void drain() {
    std::unique_ptr<char[]> scratch;
    while (!done_) {
      if (!scratch) scratch.reset(new char[kScratch]);
      pull(scratch.get(), kScratch);
    }
  }

 private:
  static constexpr size_t kScratch = 128 * 1024;

  size_t stop(std::string fault) {
    fault_ = std::move(fault);
    done_ = true;
    return 0;
  }

  std::string_view in_;
  ZSTD_inBuffer src_;
  EncodingHasher* hasher_;
  DCtxPtr dctx_;
  bool done_ = false;
  std::optional<std::string> fault_;
  std::optional<uint64_t> exact_;
  uint64_t hint_ = 0;
};

// Decodes the record of a version-3 payload as it is decompressed. A fault
// of the stream anywhere wins over a fault of the record, as when the whole
// stream was decompressed before decoding.
template <class T>
Result<T> decode_compressed(std::string_view payload, const std::filesystem::path& path,
                            EncodingHasher* hasher);

// Builds the record a read hands on.
class RecordBuilder final : public DistributionFileSink {
 public:
  void begin(uint64_t, uint64_t bound) override {
    file = model::DistributionFile{};
    file.distributions.reserve(static_cast<size_t>(bound));
  }
  void add(std::span<const DecodedDistribution> objects) override {
    for (const DecodedDistribution& d : objects) file.distributions.push_back(d.to_object());
  }
  void end(std::vector<model::JointDistributionObject> joints) override { file.joints = std::move(joints); }
  model::DistributionFile file;
};

std::optional<model::DistributionFile> decode_frames_parallel(std::string_view payload,
                                                              const ParallelRunner& run,
                                                              EncodingHasher* hasher) {
  RecordBuilder builder;
  if (!internal::decode_frames_into(payload, run, hasher, builder)) return std::nullopt;
  return std::move(builder.file);
}

template <class T>
Result<T> decode_json(std::string_view bytes) {
  if constexpr (std::is_same_v<T, model::MetaFile>) return json_from_slice_meta_file(bytes);
  if constexpr (std::is_same_v<T, model::DistributionFile>) return json_from_slice_distribution_file(bytes);
  if constexpr (std::is_same_v<T, model::DistIndex>) return json_from_slice_dist_index(bytes);
  if constexpr (std::is_same_v<T, model::SnapshotStore>) return json_from_slice_snapshot_store(bytes);
}

template <class T>
Result<T> load_data_file(const std::filesystem::path& path,
                         std::optional<EncodingDigest>* digest = nullptr) {
  if (digest != nullptr) digest->reset();
  auto bytes = read_whole_file(path).context("read file " + path_text(path));
  if (!bytes.ok()) return std::move(bytes).error();
  return parse_data_file<T>(*bytes, path, digest);
}

template <class T>
Result<T> decode_compressed(std::string_view payload, const std::filesystem::path& path,
                            EncodingHasher* hasher) {
  ZstdStream stream(payload, hasher);
  Result<T> record = decode_stored_record_from<T>(stream);
  stream.drain();
  if (stream.fault()) {
    return Result<T>(Error(*stream.fault())).context("zstd decompress " + path_text(path));
  }
  return std::move(record).context("deserialize " + path_text(path));
}

// Decodes a DistributionFile from `rd`, handing it on to `sink` as it goes:
// the distributions a batch at a time through reused storage, then the
// joints. The same bytes read and the same failures as decoding the record.
bool decode_distribution_file_into(internal::Reader& rd, DistributionFileSink& sink) {
  uint64_t n = 0;
  if (!rd.u64(n)) return false;
  sink.begin(n, rd.reserve_for<model::DistributionObject>(n));
  constexpr size_t kHandedAtOnce = 64;
  std::vector<DecodedDistribution> batch(static_cast<size_t>(std::min<uint64_t>(n, kHandedAtOnce)));
  size_t used = 0;
  for (uint64_t i = 0; i < n; ++i) {
    if (!rd.decoded(batch[used])) return false;
    if (++used == batch.size()) {
      sink.add(std::span<const DecodedDistribution>(batch.data(), used));
      used = 0;
    }
  }
  if (used > 0) sink.add(std::span<const DecodedDistribution>(batch.data(), used));
  std::vector<model::JointDistributionObject> joints;
  if (!rd.get(joints)) return false;
  sink.end(std::move(joints));
  return true;
}

// The bytes of a "distributions.edb" handed on to `sink` as they are
// decoded, by the read rules of parse_data_file (and with its messages). A
// current-format payload is decompressed and decoded as one stream; a fault
// of the stream wins over a fault of the record.
Status parse_distribution_file_into(std::string_view bytes, const std::filesystem::path& path,
                                    std::optional<EncodingDigest>* digest, DistributionFileSink& sink) {
  if (digest != nullptr) digest->reset();
  if (bytes.size() <= 8 || bytes.substr(0, 8) != std::string_view("QUOR\x03\x00\x00\x00", 8)) {
    // The JSON form, an older version or a newer one: rare enough to be
    // read as the record first.
    QUOR_ASSIGN_OR_RETURN(model::DistributionFile file, parse_data_file<model::DistributionFile>(bytes, path));
    const size_t n = file.distributions.size();
    sink.begin(n, n);
    DecodedDistribution d;
    for (model::DistributionObject& object : file.distributions) {
      d.assign(object);
      object = model::DistributionObject{};  // its memory goes back as `sink` takes them
      sink.add(std::span<const DecodedDistribution>(&d, 1));
    }
    sink.end(std::move(file.joints));
    return ok_status();
  }
  EncodingHasher hasher;
  ZstdStream stream(bytes.substr(8), digest != nullptr ? &hasher : nullptr);
  std::unique_ptr<char[]> window(new char[internal::kDecodeWindow]);
  internal::Reader rd(stream, window.get(), internal::kDecodeWindow);
  const bool decoded = decode_distribution_file_into(rd, sink);
  stream.drain();
  if (stream.fault()) return Status(Error(*stream.fault())).context("zstd decompress " + path_text(path));
  if (!decoded) return Status(rd.take_error()).context("deserialize " + path_text(path));
  if (digest != nullptr) *digest = hasher.digest();
  return ok_status();
}

}  // namespace

template <class T>
Result<T> parse_data_file(std::string_view bytes, const std::filesystem::path& path) {
  return parse_data_file<T>(bytes, path, nullptr);
}

template <class T>
Result<T> parse_data_file(std::string_view bytes, const std::filesystem::path& path,
                          std::optional<EncodingDigest>* digest) {
  if (digest != nullptr) digest->reset();
  if (bytes.size() > 7 && std::memcmp(bytes.data(), kFileMagic, 4) == 0) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    uint32_t version = static_cast<uint32_t>(b[4]) | (static_cast<uint32_t>(b[5]) << 8) |
                       (static_cast<uint32_t>(b[6]) << 16) | (static_cast<uint32_t>(b[7]) << 24);
    if (version > FORMAT_VERSION) {
      return Error("file " + path_text(path) + " has format version " + std::to_string(version) +
                   " but this build supports up to " + std::to_string(FORMAT_VERSION));
    }
    std::string_view payload = bytes.substr(8);
    if (version == FORMAT_VERSION) {
      if (digest == nullptr) return decode_compressed<T>(payload, path, nullptr);
      EncodingHasher hasher;
      Result<T> record = decode_compressed<T>(payload, path, &hasher);
      if (record.ok()) *digest = hasher.digest();
      return record;
    }
    return decode_stored_record<T>(payload).context("deserialize " + path_text(path));
  }
  return decode_json<T>(bytes).context("parse " + path_text(path) + " (tried binary and JSON)");
}

template Result<model::MetaFile> parse_data_file<model::MetaFile>(std::string_view, const std::filesystem::path&);
template Result<model::DistributionFile> parse_data_file<model::DistributionFile>(std::string_view,
                                                                    const std::filesystem::path&);
template Result<model::DistIndex> parse_data_file<model::DistIndex>(std::string_view, const std::filesystem::path&);
template Result<model::SnapshotStore> parse_data_file<model::SnapshotStore>(std::string_view,
                                                              const std::filesystem::path&);
template Result<model::MetaFile> parse_data_file<model::MetaFile>(std::string_view, const std::filesystem::path&,
                                                    std::optional<EncodingDigest>*);
template Result<model::DistributionFile> parse_data_file<model::DistributionFile>(
    std::string_view, const std::filesystem::path&, std::optional<EncodingDigest>*);
template Result<model::DistIndex> parse_data_file<model::DistIndex>(std::string_view, const std::filesystem::path&,
                                                      std::optional<EncodingDigest>*);
template Result<model::SnapshotStore> parse_data_file<model::SnapshotStore>(std::string_view,
                                                              const std::filesystem::path&,
                                                              std::optional<EncodingDigest>*);

std::optional<model::DistributionFile> internal::decode_distribution_frames(
    std::string_view payload, const ParallelRunner& run, EncodingHasher* hasher) {
  return decode_frames_parallel(payload, run, hasher);
}
bool internal::decode_distribution_frames_into(std::string_view payload, const ParallelRunner& run,
                                               EncodingHasher* hasher, DistributionFileSink& sink) {
  return internal::decode_frames_into(payload, run, hasher, sink);
}

Result<model::MetaFile> load_meta_file(const std::filesystem::path& p) { return load_data_file<model::MetaFile>(p); }
Result<model::DistIndex> load_dist_index(const std::filesystem::path& p) {
  return load_data_file<model::DistIndex>(p);
}
Result<model::SnapshotStore> load_snapshot_store(const std::filesystem::path& p) {
  return load_data_file<model::SnapshotStore>(p);
}
Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& p) {
  return load_data_file<model::DistributionFile>(p);
}
Result<model::MetaFile> load_meta_file(const std::filesystem::path& p,
                                std::optional<EncodingDigest>* digest) {
  return load_data_file<model::MetaFile>(p, digest);
}
Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& p,
                                                     std::optional<EncodingDigest>* digest) {
  return load_data_file<model::DistributionFile>(p, digest);
}

Status read_distribution_file_into(const std::filesystem::path& path,
                                   std::optional<EncodingDigest>* digest,
                                   const ParallelRunner* parallel, DistributionFileSink& sink) {
  if (digest != nullptr) digest->reset();
  auto bytes = read_whole_file(path).context("read file " + path_text(path));
  if (!bytes.ok()) return std::move(bytes).error();
  const std::string_view b = *bytes;
  if (parallel != nullptr && b.size() > 8 &&
      b.substr(0, 8) == std::string_view("QUOR\x03\x00\x00\x00", 8)) {
    EncodingHasher hasher;
    if (internal::decode_frames_into(b.substr(8), *parallel, &hasher, sink)) {
      if (digest != nullptr) *digest = hasher.digest();
      return ok_status();
    }
  }
  return parse_distribution_file_into(b, path, digest, sink);
}

Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& path,
                                                            std::optional<EncodingDigest>* digest,
                                                            const ParallelRunner* parallel) {
  if (parallel == nullptr) return load_data_file<model::DistributionFile>(path, digest);
  RecordBuilder builder;
  QUOR_RETURN_IF_ERROR(read_distribution_file_into(path, digest, parallel, builder));
  return std::move(builder.file);
}

Result<IndexEntriesDigest> load_dist_index_entries_digest(const std::filesystem::path& path) {
  auto bytes = read_whole_file(path).context("read file " + path_text(path));
  if (!bytes.ok()) return std::move(bytes).error();
  const std::string_view b = *bytes;
  if (b.size() < 8 || std::memcmp(b.data(), kFileMagic, 4) != 0 ||
      static_cast<unsigned char>(b[4]) != FORMAT_VERSION || b[5] != 0 || b[6] != 0 || b[7] != 0) {
    return Error("file " + path_text(path) + " is not in the current format");
  }
  ZstdStream stream(b.substr(8));
  Result<IndexEntriesDigest> digest = index_entries_digest_from(stream);
  stream.drain();
  if (stream.fault()) {
    return Result<IndexEntriesDigest>(Error(*stream.fault())).context("zstd decompress " + path_text(path));
  }
  return std::move(digest).context("deserialize " + path_text(path));
}

Result<model::DistributionFile> parse_distribution_file(std::string_view bytes,
                                                 const std::filesystem::path& path) {
  return parse_data_file<model::DistributionFile>(bytes, path);
}

namespace {

// Runs `decode` on the bytes of the file at `path`, mapped read-only ("open
// file {path}", "mmap {path}") for the time of the call.
template <class Decode>
auto with_mapped_file(const std::filesystem::path& path, Decode&& decode) -> decltype(decode(std::string_view())) {
  // Owners release the descriptor and the mapping on every path, including
  // an exception (std::bad_alloc) out of the decoder.
  auto opened = open_regular_file(path, O_RDONLY);
  if (!opened.ok()) return std::move(opened).error().add_context("open file " + path_text(path));
  UniqueFd fd = std::move(opened).value();
  FileOps& ops = file_ops();
  auto st = ops.fstat(fd.get());
  if (!st.ok()) return std::move(st).error().add_context("mmap " + path_text(path));
  const size_t len = static_cast<size_t>(st->st_size);
  // Nothing to map: an empty file decodes like any other empty input.
  if (len == 0) return decode(std::string_view());
  auto mapping = ops.map(fd.get(), len, MapPages::OnFirstRead);
  if (!mapping.ok()) return std::move(mapping).error().add_context("mmap " + path_text(path));
  fd.reset();  // the mapping outlives the descriptor
  return decode(mapping->bytes());
}

}  // namespace

Status read_mapped_distribution_file_into(const std::filesystem::path& path, DistributionFileSink& sink) {
  return with_mapped_file(path, [&](std::string_view bytes) {
    return parse_distribution_file_into(bytes, path, nullptr, sink);
  });
}

Result<model::DistributionFile> load_distribution_file_mapped(const std::filesystem::path& path) {
  return with_mapped_file(path, [&](std::string_view bytes) { return parse_distribution_file(bytes, path); });
}

}  // namespace quor::store
