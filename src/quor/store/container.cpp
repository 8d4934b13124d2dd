#include "quor/store/container.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/file_handle.h"
#include "quor/store/file_io.h"
#include "quor/store/json_form.h"

namespace quor::store {

namespace {

constexpr int kZstdLevel = 3;
// A frame whose declared content size is at most this many times its
// compressed size is believed for reservations; beyond it (a bomb, or a
// lie) reservations follow only the bytes actually decompressed.
constexpr uint64_t kPlausibleRatio = 64;

std::string zstd_error(size_t code) { return ZSTD_getErrorName(code); }

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using CCtxPtr = std::unique_ptr<ZSTD_CCtx, CCtxFree>;
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

// One compression context and output buffer per thread, reused by every
// data file written on it (a flush writes four; a database many).
struct Compressor {
  CCtxPtr cctx;
  std::unique_ptr<char[]> out;
  size_t out_size = 0;
};

Result<Compressor*> thread_compressor() {
  thread_local Compressor c;
  if (!c.cctx) {
    c.cctx.reset(ZSTD_createCCtx());
    if (!c.cctx) return Error("zstd: out of memory");
    c.out_size = ZSTD_CStreamOutSize();
    c.out.reset(new char[c.out_size]);
  }
  return &c;
}

void put_header(char* dst) {
  std::memcpy(dst, kFileMagic, 4);
  const unsigned char version[4] = {FORMAT_VERSION & 0xFF, 0, 0, 0};
  std::memcpy(dst + 4, version, 4);
}

// One zstd frame (level 3, declaring `pledged` content bytes, ending in the
// checksum of its content) fed in pieces, its output written as the
// compressor fills its buffer. The first failure is kept; later pieces are
// dropped.
//
// The checksum is zstd's own frame flag, which every zstd decoder verifies:
// a damaged payload that would still decompress (a flipped literal, a
// changed count) fails the read instead of opening with other numbers.
class FrameWriter {
 public:
  FrameWriter(Compressor& comp, const ImageWriter& write) : comp_(comp), write_(write) {}

  bool begin(uint64_t pledged) {
    ZSTD_CCtx_reset(comp_.cctx.get(), ZSTD_reset_session_and_parameters);
    return !zstd_failed(
               ZSTD_CCtx_setParameter(comp_.cctx.get(), ZSTD_c_compressionLevel, kZstdLevel)) &&
           !zstd_failed(ZSTD_CCtx_setParameter(comp_.cctx.get(), ZSTD_c_checksumFlag, 1)) &&
           !zstd_failed(ZSTD_CCtx_setPledgedSrcSize(comp_.cctx.get(), pledged));
  }
  void add(std::string_view piece) {
    if (!failure_) drive(piece, ZSTD_e_continue);
  }
  Status end() {
    if (!failure_) drive(std::string_view(), ZSTD_e_end);
    if (failure_) {
      // The context may hold a half-made frame: start afresh next time.
      ZSTD_CCtx_reset(comp_.cctx.get(), ZSTD_reset_session_only);
      return Status(std::move(*failure_));
    }
    return ok_status();
  }
  bool failed() const { return failure_.has_value(); }
  Status take_failure() { return Status(std::move(*failure_)); }

 private:
  bool zstd_failed(size_t rc) {
    if (!ZSTD_isError(rc)) return false;
    Error e(zstd_error(rc));
    e.add_context("zstd compress");
    failure_.emplace(std::move(e));
    return true;
  }
  // Compresses `in` with `mode`, writing every full output buffer; for
  // ZSTD_e_end, until the frame is complete.
  void drive(std::string_view in, ZSTD_EndDirective mode) {
    ZSTD_inBuffer src{in.data(), in.size(), 0};
    for (;;) {
      ZSTD_outBuffer dst{comp_.out.get(), comp_.out_size, 0};
      const size_t rc = ZSTD_compressStream2(comp_.cctx.get(), &dst, &src, mode);
      if (zstd_failed(rc)) return;
      if (dst.pos > 0) {
        Status st = write_(std::string_view(comp_.out.get(), dst.pos));
        if (!st.ok()) {
          failure_.emplace(std::move(st).error());
          return;
        }
      }
      if (mode == ZSTD_e_end ? rc == 0 : src.pos == src.size) return;
    }
  }

  Compressor& comp_;
  const ImageWriter& write_;
  std::optional<Error> failure_;
};

// The distributions in parts of this many entries, and this many parts
// encoded while the compressor takes the parts before them (a round is a
// few MB of encoding, enough to keep the compressor busy while the pool
// encodes the next one).
constexpr size_t kPartEntries = 512;
constexpr size_t kPartsPerRound = 32;
std::atomic<size_t> g_part_entries{kPartEntries};
std::atomic<size_t> g_parts_per_round{kPartsPerRound};

// The parallel form of stream_image for a DistributionFile: parts are
// encoded on the pool a round ahead of the compressor, which takes them in
// order as one task of the same round, beside the digest as another.
template <class Record>
Status stream_distributions_parallel(const Record& record, const ImageWriter& write,
                                     const ImageStreamOptions& options) {
  const ParallelRunner& run = *options.parallel;
  const DistributionFileParts parts =
      distribution_file_parts(record, g_part_entries.load(std::memory_order_relaxed));
  const size_t per_round = g_parts_per_round.load(std::memory_order_relaxed);
  const size_t nparts = parts.count();
  std::vector<uint64_t> sizes(nparts);
  run(nparts, [&](size_t p) { sizes[p] = distribution_file_part_size(record, parts, p); });
  uint64_t total = 0;
  for (uint64_t n : sizes) total += n;

  char header[8];
  put_header(header);
  QUOR_RETURN_IF_ERROR(write(std::string_view(header, 8)));
  Compressor comp;
  comp.cctx.reset(ZSTD_createCCtx());
  if (!comp.cctx) return Status(Error("zstd: out of memory")).context("zstd compress");
  comp.out_size = ZSTD_CStreamOutSize();
  comp.out.reset(new char[comp.out_size]);
  FrameWriter frame(comp, write);
  if (!frame.begin(total)) return frame.take_failure();

  std::vector<std::string> round[2];
  round[0].resize(per_round);
  round[1].resize(per_round);
  // The buffers get their room here, and the compressor (call 0 of each
  // round) its context, on the calling thread: memory taken on a pool
  // thread and freed stays with that thread's heap.
  auto make_room = [&](std::vector<std::string>& bufs, size_t first) {
    for (size_t i = 0; i < per_round && first + i < nparts; ++i) bufs[i].reserve(sizes[first + i]);
  };
  auto encode = [&](std::vector<std::string>& bufs, size_t first, size_t i) {
    encode_distribution_file_part(record, parts, first + i, sizes[first + i], bufs[i]);
  };
  make_room(round[0], 0);
  run(std::min(per_round, nparts), [&](size_t i) { encode(round[0], 0, i); });
  for (size_t first = 0, r = 0; first < nparts && !frame.failed(); first += per_round, r ^= 1) {
    const size_t count = std::min(per_round, nparts - first);
    const size_t next = first + per_round;
    const size_t next_count = next < nparts ? std::min(per_round, nparts - next) : 0;
    if (next_count > 0) make_room(round[r ^ 1], next);
    // Call 0 compresses this round, call 1 digests it, the others encode
    // the next one.
    run(2 + next_count, [&](size_t t) {
      if (t == 0) {
        for (size_t i = 0; i < count; ++i) frame.add(round[r][i]);
      } else if (t == 1) {
        if (options.hasher != nullptr)
          for (size_t i = 0; i < count; ++i) options.hasher->update(round[r][i]);
      } else {
        encode(round[r ^ 1], next, t - 2);
      }
    });
  }
  return frame.end();
}

// Header, then the record's binary form as one zstd frame that declares its
// content size, compressed as the encoder produces it and written as the
// compressor fills its buffer.
template <class T>
Status stream_image(const T& record, const ImageWriter& write, const ImageStreamOptions& options) {
  if constexpr (std::is_same_v<T, model::DistributionFile> || std::is_same_v<T, DistributionFileSource>) {
    if (options.parallel != nullptr) return stream_distributions_parallel(record, write, options);
  }
  char header[8];
  put_header(header);
  QUOR_RETURN_IF_ERROR(write(std::string_view(header, 8)));

  auto comp = thread_compressor();
  if (!comp.ok()) return Status(std::move(comp).error()).context("zstd compress");
  FrameWriter frame(**comp, write);
  if (!frame.begin(options.encoded_size ? *options.encoded_size : stored_record_size(record)))
    return frame.take_failure();
  EncodingHasher* hasher = options.hasher;
  encode_stored_record_to(record, [&](std::string_view piece) {
    if (hasher != nullptr) hasher->update(piece);
    frame.add(piece);
  });
  return frame.end();
}

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
    // The first frame's declared size (all our writers make one frame).
    const unsigned long long declared =
        in.empty() ? 0 : ZSTD_getFrameContentSize(in.data(), in.size());
    if (declared != ZSTD_CONTENTSIZE_ERROR && declared != ZSTD_CONTENTSIZE_UNKNOWN &&
        declared / kPlausibleRatio <= in.size()) {
      hint_ = declared;
    }
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

std::string path_text(const std::filesystem::path& p) { return p.string(); }

template <class T>
Result<T> decode_json(std::string_view bytes) {
  if constexpr (std::is_same_v<T, model::MetaFile>) return json_from_slice_meta_file(bytes);
  if constexpr (std::is_same_v<T, model::DistributionFile>) return json_from_slice_distribution_file(bytes);
  if constexpr (std::is_same_v<T, model::DistIndex>) return json_from_slice_dist_index(bytes);
  if constexpr (std::is_same_v<T, model::SnapshotStore>) return json_from_slice_snapshot_store(bytes);
}

template <class T>
Result<std::string> image_of(const T& record) {
  std::string image;
  Status st = stream_image(
      record,
      [&image](std::string_view piece) {
        image.append(piece);
        return ok_status();
      },
      ImageStreamOptions{});
  if (!st.ok()) return std::move(st).error();
  return image;
}

template <class T>
Status write_data_file(const std::filesystem::path& path, const T& record) {
  QUOR_ASSIGN_OR_RETURN(std::string image, image_of(record));
  return replace_file(path, image).context("write file " + path_text(path));
}

template <class T>
Status save_if_absent(const std::filesystem::path& path, const T& record) {
  if (path_has_metadata(path)) return ok_status();
  return write_data_file(path, record);
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

void internal::set_image_parts_for_testing(size_t entries_per_part, size_t parts_per_round) {
  g_part_entries.store(entries_per_part == 0 ? kPartEntries : entries_per_part);
  g_parts_per_round.store(parts_per_round == 0 ? kPartsPerRound : parts_per_round);
}

Result<std::string> data_file_image(const model::MetaFile& r) { return image_of(r); }
Result<std::string> data_file_image(const model::DistributionFile& r) { return image_of(r); }
Result<std::string> data_file_image(const model::DistIndex& r) { return image_of(r); }
Result<std::string> data_file_image(const model::SnapshotStore& r) { return image_of(r); }

Status write_meta_file(const std::filesystem::path& p, const model::MetaFile& r) {
  return write_data_file(p, r);
}
Status write_distributions_file(const std::filesystem::path& p, const model::DistributionFile& r) {
  return write_data_file(p, r);
}
Status write_dist_index_file(const std::filesystem::path& p, const model::DistIndex& r) {
  return write_data_file(p, r);
}
Status write_snapshots_file(const std::filesystem::path& p, const model::SnapshotStore& r) {
  return write_data_file(p, r);
}

Status save_meta_file_if_absent(const std::filesystem::path& p, const model::MetaFile& r) {
  return save_if_absent(p, r);
}
Status save_distribution_file_if_absent(const std::filesystem::path& p, const model::DistributionFile& r) {
  return save_if_absent(p, r);
}
Status save_dist_index_if_absent(const std::filesystem::path& p, const model::DistIndex& r) {
  return save_if_absent(p, r);
}
Status ensure_snapshots_file(const std::filesystem::path& p) {
  if (path_has_metadata(p)) return ok_status();
  return write_snapshots_file(p, model::SnapshotStore{});
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

Result<model::DistributionFile> load_distribution_file_mapped(const std::filesystem::path& path) {
  // Owners release the descriptor and the mapping on every path, including
  // an exception (std::bad_alloc) out of the decoder.
  auto opened = open_regular_file(path, O_RDONLY);
  if (!opened.ok()) return std::move(opened).error().add_context("open file " + path_text(path));
  UniqueFd fd = std::move(opened).value();
  FileOps& ops = file_ops();
  auto st = ops.fstat(fd.get());
  if (!st.ok()) return std::move(st).error().add_context("mmap " + path_text(path));
  const size_t len = static_cast<size_t>(st->st_size);
  if (len == 0) {
    // Nothing to map: an empty file decodes like any other empty input.
    return parse_distribution_file(std::string_view(), path);
  }
  auto mapping = ops.map(fd.get(), len, false);
  if (!mapping.ok()) return std::move(mapping).error().add_context("mmap " + path_text(path));
  fd.reset();  // the mapping outlives the descriptor
  return parse_distribution_file(mapping->bytes(), path);
}

}  // namespace quor::store

namespace quor::store {

Status stream_data_file_image(const model::MetaFile& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}
Status stream_data_file_image(const model::DistributionFile& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}
Status stream_data_file_image(const DistributionFileSource& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}
Status stream_data_file_image(const DistIndexSource& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}
Status stream_data_file_image(const model::DistIndex& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}
Status stream_data_file_image(const model::SnapshotStore& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}

}  // namespace quor::store
