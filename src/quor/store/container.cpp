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

// The distributions in parts of this many entries (the unit of encoding),
// the parts in frames of at least this many encoded bytes (the unit of
// compression and of decompression on open), and this many frames
// compressed at once while the frames before them are written (a round is
// tens of MB: enough to keep every thread busy, little beside the record).
constexpr size_t kPartEntries = 512;
constexpr size_t kFramesPerRound = 16;
constexpr uint64_t kFrameBytes = uint64_t{1} << 20;
std::atomic<size_t> g_part_entries{kPartEntries};
std::atomic<size_t> g_frames_per_round{kFramesPerRound};
std::atomic<uint64_t> g_frame_bytes{kFrameBytes};

// One frame of a DistributionFile image: parts [first, end), `size` bytes.
struct FramePlan {
  size_t first = 0;
  size_t end = 0;
  uint64_t size = 0;
};

// The frames of a record of these parts: one for a record of at most
// `frame_bytes`; otherwise the distributions' parts gathered into frames of
// at least `frame_bytes`, and the joints' parts likewise after them, so that
// every frame holds whole entries of one list (the first of each list also
// its count), and a reader can decode the frames apart.
std::vector<FramePlan> plan_frames(const DistributionFileParts& parts,
                                   const std::vector<uint64_t>& sizes, uint64_t frame_bytes) {
  uint64_t total = 0;
  for (uint64_t n : sizes) total += n;
  if (total <= frame_bytes) return {FramePlan{0, parts.count(), total}};
  std::vector<FramePlan> frames;
  auto gather = [&](size_t first, size_t end) {
    FramePlan f{first, first, 0};
    for (size_t p = first; p < end; ++p) {
      f.end = p + 1;
      f.size += sizes[p];
      if (f.size >= frame_bytes) {
        frames.push_back(f);
        f = FramePlan{p + 1, p + 1, 0};
      }
    }
    if (f.end > f.first) frames.push_back(f);
  };
  gather(0, parts.dist_parts);
  gather(parts.dist_parts, parts.count());
  return frames;
}

// Calls fn(0), fn(1), ... in order on the calling thread.
const ParallelRunner& in_order_runner() {
  static const ParallelRunner run = [](size_t n, const std::function<void(size_t)>& fn) {
    for (size_t i = 0; i < n; ++i) fn(i);
  };
  return run;
}

// The image of a DistributionFile in frames: each frame's parts are encoded
// and compressed by one call of the runner (on the pool, each thread with
// its own context), a round of frames at once, while one call writes the
// round before in order and another digests its encoded bytes. Without a
// runner the same calls run in order on the calling thread: the same bytes.
Status stream_distributions_in_frames(const model::DistributionFile& record,
                                      const ImageWriter& write, const ImageStreamOptions& options) {
  const ParallelRunner& run = options.parallel != nullptr ? *options.parallel : in_order_runner();
  const DistributionFileParts parts =
      distribution_file_parts(record, g_part_entries.load(std::memory_order_relaxed));
  const size_t per_round = std::max<size_t>(1, g_frames_per_round.load(std::memory_order_relaxed));
  const size_t nparts = parts.count();
  std::vector<uint64_t> sizes(nparts);
  run(nparts, [&](size_t p) { sizes[p] = distribution_file_part_size(record, parts, p); });
  const std::vector<FramePlan> frames =
      plan_frames(parts, sizes, g_frame_bytes.load(std::memory_order_relaxed));
  const size_t nframes = frames.size();

  char header[8];
  put_header(header);
  QUOR_RETURN_IF_ERROR(write(std::string_view(header, 8)));

  // Per round: every part's encoding, every frame's compressed bytes and
  // outcome. Two rounds live at once: one written and digested, the next
  // compressed.
  struct Round {
    std::vector<std::string> encoded;  // by part, from the round's first part
    std::vector<std::string> compressed;
    std::vector<Status> status;
    size_t first_frame = 0;
    size_t frame_count = 0;
  };
  Round rounds[2];
  // The buffers get their room here, on the calling thread: memory taken on
  // a pool thread and freed stays with that thread's heap.
  auto prepare = [&](Round& r, size_t first_frame) {
    r.first_frame = first_frame;
    r.frame_count = std::min(per_round, nframes - first_frame);
    const size_t first_part = frames[first_frame].first;
    const size_t end_part = frames[first_frame + r.frame_count - 1].end;
    if (r.encoded.size() < end_part - first_part) r.encoded.resize(end_part - first_part);
    for (size_t p = first_part; p < end_part; ++p) r.encoded[p - first_part].reserve(sizes[p]);
    r.compressed.resize(std::max(r.compressed.size(), r.frame_count));
    r.status.assign(r.frame_count, ok_status());
    for (size_t i = 0; i < r.frame_count; ++i) {
      r.compressed[i].clear();
      r.compressed[i].reserve(ZSTD_compressBound(frames[first_frame + i].size));
    }
  };
  auto compress = [&](Round& r, size_t i) {
    const FramePlan& f = frames[r.first_frame + i];
    const size_t first_part = frames[r.first_frame].first;
    auto comp = thread_compressor();
    if (!comp.ok()) {
      r.status[i] = Status(std::move(comp).error()).context("zstd compress");
      return;
    }
    std::string& out = r.compressed[i];
    const ImageWriter append = [&out](std::string_view piece) {
      out.append(piece);
      return ok_status();
    };
    FrameWriter frame(**comp, append);
    if (!frame.begin(f.size)) {
      r.status[i] = frame.take_failure();
      return;
    }
    for (size_t p = f.first; p < f.end; ++p) {
      std::string& enc = r.encoded[p - first_part];
      encode_distribution_file_part(record, parts, p, sizes[p], enc);
      frame.add(enc);
    }
    r.status[i] = frame.end();
  };
  // Writes a compressed round in order; the first failure stops it.
  Status failure;
  auto put = [&](Round& r) {
    for (size_t i = 0; i < r.frame_count && failure.ok(); ++i) {
      failure = std::move(r.status[i]);
      if (failure.ok()) failure = write(r.compressed[i]);
    }
  };
  auto digest = [&](const Round& r) {
    if (options.hasher == nullptr) return;
    const size_t first_part = frames[r.first_frame].first;
    const size_t end_part = frames[r.first_frame + r.frame_count - 1].end;
    for (size_t p = first_part; p < end_part; ++p) options.hasher->update(r.encoded[p - first_part]);
  };

  prepare(rounds[0], 0);
  run(rounds[0].frame_count, [&](size_t i) { compress(rounds[0], i); });
  for (size_t first = 0, cur = 0; first < nframes && failure.ok(); first += per_round, cur ^= 1) {
    Round& now = rounds[cur];
    Round& after = rounds[cur ^ 1];
    const size_t next = first + per_round;
    const size_t next_count = next < nframes ? std::min(per_round, nframes - next) : 0;
    if (next_count > 0) prepare(after, next);
    // Call 0 writes this round, call 1 digests it, the others compress the
    // next one.
    run(2 + next_count, [&](size_t t) {
      if (t == 0) {
        put(now);
      } else if (t == 1) {
        digest(now);
      } else {
        compress(after, t - 2);
      }
    });
  }
  return failure;
}

}  // namespace

EncodingDigest encoding_digest(const model::DistributionFile& record, const ParallelRunner& run) {
  const DistributionFileParts parts =
      distribution_file_parts(record, g_part_entries.load(std::memory_order_relaxed));
  const size_t nparts = parts.count();
  std::vector<uint64_t> sizes(nparts);
  run(nparts, [&](size_t p) { sizes[p] = distribution_file_part_size(record, parts, p); });
  // Parts encoded a round at a time on the pool while call 0 digests the
  // round before, in order.
  constexpr size_t kPartsPerRound = 64;
  std::vector<std::string> bufs[2];
  bufs[0].resize(std::min(kPartsPerRound, nparts));
  bufs[1].resize(bufs[0].size());
  EncodingHasher hasher;
  auto encode = [&](std::vector<std::string>& b, size_t first, size_t i) {
    encode_distribution_file_part(record, parts, first + i, sizes[first + i], b[i]);
  };
  auto room = [&](std::vector<std::string>& b, size_t first) {
    for (size_t i = 0; i < b.size() && first + i < nparts; ++i) b[i].reserve(sizes[first + i]);
  };
  room(bufs[0], 0);
  run(std::min(kPartsPerRound, nparts), [&](size_t i) { encode(bufs[0], 0, i); });
  for (size_t first = 0, r = 0; first < nparts; first += kPartsPerRound, r ^= 1) {
    const size_t count = std::min(kPartsPerRound, nparts - first);
    const size_t next = first + kPartsPerRound;
    const size_t next_count = next < nparts ? std::min(kPartsPerRound, nparts - next) : 0;
    if (next_count > 0) room(bufs[r ^ 1], next);
    run(1 + next_count, [&](size_t t) {
      if (t == 0) {
        for (size_t i = 0; i < count; ++i) hasher.update(bufs[r][i]);
      } else {
        encode(bufs[r ^ 1], next, t - 1);
      }
    });
  }
  return hasher.digest();
}

namespace {

// Header, then the record's binary form as one zstd frame that declares its
// content size, compressed as the encoder produces it and written as the
// compressor fills its buffer.
template <class T>
Status stream_image(const T& record, const ImageWriter& write, const ImageStreamOptions& options) {
  if constexpr (std::is_same_v<T, model::DistributionFile>) {
    return stream_distributions_in_frames(record, write, options);
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

// The read rules on the bytes of a data file, a DistributionFile in frames
// decoded on `parallel` when given.
template <class T>
Result<T> parse_data_file_on(std::string_view bytes, const std::filesystem::path& path,
                             std::optional<EncodingDigest>* digest, const ParallelRunner* parallel);

ZSTD_DCtx* thread_dctx() {
  thread_local DCtxPtr dctx;
  if (!dctx) dctx.reset(ZSTD_createDCtx());
  return dctx.get();
}

// One frame of a payload: its compressed bytes and declared content size.
struct FrameSpan {
  std::string_view in;
  uint64_t size = 0;
};

// The frames of a payload, or nothing when it is not a run of whole frames
// that each declare a believable content size (a bomb, a lie or damage is
// left to the decoder that takes the stream as it comes).
std::vector<FrameSpan> split_frames(std::string_view payload) {
  std::vector<FrameSpan> out;
  while (!payload.empty()) {
    const size_t n = ZSTD_findFrameCompressedSize(payload.data(), payload.size());
    if (ZSTD_isError(n) || n > payload.size()) return {};
    const unsigned long long c = ZSTD_getFrameContentSize(payload.data(), n);
    if (c == ZSTD_CONTENTSIZE_ERROR || c == ZSTD_CONTENTSIZE_UNKNOWN || c / kPlausibleRatio > n)
      return {};
    out.push_back(FrameSpan{payload.substr(0, n), c});
    payload.remove_prefix(n);
  }
  return out;
}

// Frames decompressed and decoded at once, and the least encoded size of a
// distribution (for believing the list's count only as far as the bytes go).
constexpr size_t kDecodeFramesPerRound = 32;
constexpr uint64_t kLeastDistributionBytes = 64;

// The DistributionFile of a payload in several frames, each decompressed and
// decoded on its own call of `run`, a round of frames at a time, the rounds
// then joined in order (and digested into `hasher` when given). Nothing when
// the frames are not cut at entry borders as our writer cuts them, or
// anything fails: the caller then decodes the stream as it comes, which
// gives the same record, or the fault with its exact text.
//
// Cut at entry borders: the first frame begins with the list's count, and
// each frame decodes to whole distributions up to its very end (so the next
// one begins at an entry) until the count is reached at the end of a frame;
// the frames after it hold the joints.
std::optional<model::DistributionFile> decode_distributions_in_frames(std::string_view payload,
                                                                      EncodingHasher* hasher,
                                                                      const ParallelRunner& run) {
  const std::vector<FrameSpan> frames = split_frames(payload);
  if (frames.size() < 2) return std::nullopt;
  uint64_t content = 0;
  for (const FrameSpan& f : frames) content += f.size;

  struct Piece {
    std::string bytes;
    std::vector<model::DistributionObject> dists;
    uint64_t count = 0;
    bool decompressed = false;
    bool decoded = false;
  };
  std::vector<Piece> pieces(std::min(kDecodeFramesPerRound, frames.size()));
  model::DistributionFile out;
  uint64_t listed = 0, have = 0;
  bool dists_done = false;
  std::string joint_bytes;
  for (size_t first = 0; first < frames.size(); first += pieces.size()) {
    const size_t count = std::min(pieces.size(), frames.size() - first);
    // Room on the calling thread, reused by the next rounds.
    for (size_t i = 0; i < count; ++i) {
      if (pieces[i].bytes.size() < frames[first + i].size) pieces[i].bytes.resize(frames[first + i].size);
    }
    const bool joints_only = dists_done;
    run(count, [&](size_t i) {
      Piece& p = pieces[i];
      const FrameSpan& f = frames[first + i];
      p.dists.clear();
      p.decompressed = p.decoded = false;
      ZSTD_DCtx* dctx = thread_dctx();
      if (dctx == nullptr) return;
      const size_t got = ZSTD_decompressDCtx(dctx, p.bytes.data(), f.size, f.in.data(), f.in.size());
      if (ZSTD_isError(got) || got != f.size) return;
      p.decompressed = true;
      if (joints_only) return;
      p.decoded = decode_distribution_run(std::string_view(p.bytes.data(), f.size), first + i == 0,
                                          &p.count, p.dists);
    });
    for (size_t i = 0; i < count; ++i) {
      Piece& p = pieces[i];
      if (!p.decompressed) return std::nullopt;
      const std::string_view bytes(p.bytes.data(), frames[first + i].size);
      if (hasher != nullptr) hasher->update(bytes);
      if (dists_done) {
        joint_bytes.append(bytes);
        continue;
      }
      if (!p.decoded) return std::nullopt;
      if (first + i == 0) {
        listed = p.count;
        out.distributions.reserve(
            static_cast<size_t>(std::min(listed, content / kLeastDistributionBytes)));
      }
      if (p.dists.size() > listed - have) return std::nullopt;
      for (auto& d : p.dists) out.distributions.push_back(std::move(d));
      have += p.dists.size();
      p.dists.clear();
      dists_done = have == listed;
    }
  }
  if (!dists_done) return std::nullopt;
  auto joints = decode_joint_list(joint_bytes);
  if (!joints.ok()) return std::nullopt;
  out.joints = std::move(joints).value();
  return out;
}

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
                         std::optional<EncodingDigest>* digest = nullptr,
                         const ParallelRunner* parallel = nullptr) {
  if (digest != nullptr) digest->reset();
  auto bytes = read_whole_file(path).context("read file " + path_text(path));
  if (!bytes.ok()) return std::move(bytes).error();
  return parse_data_file_on<T>(*bytes, path, digest, parallel);
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
  return parse_data_file_on<T>(bytes, path, digest, nullptr);
}

namespace {

template <class T>
Result<T> parse_data_file_on(std::string_view bytes, const std::filesystem::path& path,
                             std::optional<EncodingDigest>* digest, const ParallelRunner* parallel) {
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
    if constexpr (std::is_same_v<T, model::DistributionFile>) {
      if (version == FORMAT_VERSION && parallel != nullptr) {
        EncodingHasher hasher;
        auto record =
            decode_distributions_in_frames(payload, digest != nullptr ? &hasher : nullptr, *parallel);
        if (record) {
          if (digest != nullptr) *digest = hasher.digest();
          return std::move(*record);
        }
      }
    }
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

}  // namespace

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

void internal::set_image_parts_for_testing(size_t entries_per_part, size_t frames_per_round,
                                           uint64_t frame_bytes) {
  g_part_entries.store(entries_per_part == 0 ? kPartEntries : entries_per_part);
  g_frames_per_round.store(frames_per_round == 0 ? kFramesPerRound : frames_per_round);
  g_frame_bytes.store(frame_bytes == 0 ? kFrameBytes : frame_bytes);
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
Result<model::DistributionFile> load_distribution_file_read(const std::filesystem::path& p,
                                                            std::optional<EncodingDigest>* digest,
                                                            const ParallelRunner* parallel) {
  return load_data_file<model::DistributionFile>(p, digest, parallel);
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
                                                        const std::filesystem::path& path,
                                                        const ParallelRunner* parallel) {
  return parse_data_file_on<model::DistributionFile>(bytes, path, nullptr, parallel);
}

Result<model::DistributionFile> parse_distribution_file(std::string_view bytes,
                                                 const std::filesystem::path& path) {
  return parse_data_file<model::DistributionFile>(bytes, path);
}

Result<model::DistributionFile> load_distribution_file_mapped(const std::filesystem::path& path) {
  return load_distribution_file_mapped(path, nullptr);
}

Result<model::DistributionFile> load_distribution_file_mapped(const std::filesystem::path& path,
                                                              const ParallelRunner* parallel) {
  // Owners release the descriptor and the mapping on every path, including
  // an exception (std::bad_alloc) out of the decoder.
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    return Result<model::DistributionFile>(util::os_error(errno)).context("open file " + path_text(path));
  }
  struct stat st;
  if (::fstat(fd.get(), &st) != 0) {
    return Result<model::DistributionFile>(util::os_error(errno)).context("mmap " + path_text(path));
  }
  const size_t len = static_cast<size_t>(st.st_size);
  if (len == 0) {
    // Nothing to map: an empty file decodes like any other empty input.
    return parse_distribution_file(std::string_view(), path, parallel);
  }
  void* map = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd.get(), 0);
  if (map == MAP_FAILED) {
    return Result<model::DistributionFile>(util::os_error(errno)).context("mmap " + path_text(path));
  }
  FileMapping mapping(map, len);
  fd.reset();  // the mapping outlives the descriptor
  return parse_distribution_file(mapping.bytes(), path, parallel);
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
Status stream_data_file_image(const model::DistIndex& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}
Status stream_data_file_image(const model::SnapshotStore& r, const ImageWriter& w,
                              const ImageStreamOptions& o) {
  return stream_image(r, w, o);
}

}  // namespace quor::store
