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
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/internal/binary_reader.h"
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

// The distributions in parts of this many entries, each compressed into a
// frame of its own, and this many parts encoded and compressed on the pool
// while the frames of the round before them are written. A part of 2048
// histograms of 20 bins is about 0.7 MB encoded: big enough that its frame
// compresses as well as one frame of the whole record would (zstd's level 3
// window is 2 MB), small enough to spread 100 000 distributions over every
// thread.
constexpr size_t kPartEntries = 2048;
constexpr size_t kPartsPerRound = 16;
std::atomic<size_t> g_part_entries{kPartEntries};
// The index in parts of this many entries: 8192 keys of the daily flights
// database are about 0.45 MB encoded (parts four times as large took more
// time, in the first touch of two rounds of buffers).
constexpr size_t kIndexPartEntries = 8192;
std::atomic<size_t> g_index_part_entries{kIndexPartEntries};
std::atomic<size_t> g_parts_per_round{kPartsPerRound};

// A part's encoding and its frame, reused from round to round.
struct PartBuffers {
  std::string encoded;
  // Not a string: growing one would clear the room the frame overwrites.
  std::unique_ptr<char[]> frame;
  size_t frame_room = 0;
  size_t frame_size = 0;
  Status status;
  // Room for the frame of `encoded` bytes.
  void make_frame_room(size_t encoded) {
    const size_t bound = ZSTD_compressBound(encoded);
    if (frame_room < bound) {
      frame.reset(new char[bound]);
      frame_room = bound;
    }
  }
};

// The context a pool thread compresses parts with: apart from
// thread_compressor's, which a stream on the same thread may hold mid-frame.
Result<ZSTD_CCtx*> thread_part_context() {
  thread_local CCtxPtr cctx;
  if (!cctx) {
    cctx.reset(ZSTD_createCCtx());
    if (!cctx) return Error("zstd: out of memory");
  }
  return cctx.get();
}

// `in` as one complete frame (level 3, its content size declared, zstd's
// content checksum) into `out`, whose room (at least ZSTD_compressBound of
// the input) the caller made.
Status compress_frame(std::string_view in, PartBuffers& out) {
  auto ctx = thread_part_context();
  if (!ctx.ok()) return Status(std::move(ctx).error()).context("zstd compress");
  ZSTD_CCtx* c = *ctx;
  ZSTD_CCtx_reset(c, ZSTD_reset_session_and_parameters);
  size_t rc = ZSTD_CCtx_setParameter(c, ZSTD_c_compressionLevel, kZstdLevel);
  if (!ZSTD_isError(rc)) rc = ZSTD_CCtx_setParameter(c, ZSTD_c_checksumFlag, 1);
  if (!ZSTD_isError(rc)) rc = ZSTD_compress2(c, out.frame.get(), out.frame_room, in.data(), in.size());
  out.frame_size = 0;
  if (ZSTD_isError(rc)) return Status(Error(zstd_error(rc))).context("zstd compress");
  out.frame_size = rc;
  return ok_status();
}

// Makes parts [0, nparts) on `run` in rounds of `per_round` buffers and
// hands each round, in order, to every one of `takers` (each a task of its
// own, given the round's buffers) while the pool makes the next round: the
// encoding of round k + 1 overlaps the writing or hashing of round k.
// `room(buffer, part)` runs on the calling thread before a part is made
// there (memory taken on a pool thread and freed stays with that thread's
// heap; reserving what a buffer already has costs nothing, so later rounds
// reuse it), `make(buffer, part)` on any thread. No round starts once
// `*stop` is true.
template <class Buffer, class Room, class Make>
void in_rounds(const ParallelRunner& run, size_t nparts, size_t per_round, Room&& room, Make&& make,
               std::span<const std::function<void(std::span<Buffer>)>> takers,
               const bool* stop = nullptr) {
  std::vector<Buffer> round[2];
  round[0].resize(per_round);
  round[1].resize(per_round);
  auto make_room = [&](std::vector<Buffer>& bufs, size_t first) {
    for (size_t i = 0; i < per_round && first + i < nparts; ++i) room(bufs[i], first + i);
  };
  make_room(round[0], 0);
  run(std::min(per_round, nparts), [&](size_t i) { make(round[0][i], i); });
  for (size_t first = 0, r = 0; first < nparts && !(stop != nullptr && *stop); first += per_round, r ^= 1) {
    const size_t count = std::min(per_round, nparts - first);
    const size_t next = first + per_round;
    const size_t next_count = next < nparts ? std::min(per_round, nparts - next) : 0;
    if (next_count > 0) make_room(round[r ^ 1], next);
    const std::span<Buffer> now(round[r].data(), count);
    run(takers.size() + next_count, [&](size_t t) {
      if (t < takers.size()) takers[t](now);
      else make(round[r ^ 1][t - takers.size()], next + t - takers.size());
    });
  }
}

// Header, then parts [0, nparts) of a record's encoding, each encoded and
// compressed into a frame of its own on the pool, a round ahead of the
// frames written in order by one task of the same round (the digest of the
// parts' encodings is another). Concatenated frames are one zstd stream: its
// content is the record's encoding, as one frame would hold it.
// `room(buffer, part)` reserves on the calling thread what the part will
// take, `encode(encoded, part)` makes its bytes on any thread.
template <class Room, class Encode>
Status stream_parts_parallel(const ParallelRunner& run, size_t nparts, Room&& room, Encode&& encode,
                             const ImageWriter& write, EncodingHasher* hasher) {
  char header[8];
  put_header(header);
  QUOR_RETURN_IF_ERROR(write(std::string_view(header, 8)));

  Status failure;
  bool failed = false;
  using Parts = std::span<PartBuffers>;
  const std::function<void(Parts)> takers[] = {
      [&](Parts round) {  // the frames, written in order
        for (PartBuffers& b : round) {
          failure = b.status.ok() ? write(std::string_view(b.frame.get(), b.frame_size)) : std::move(b.status);
          if (!failure.ok()) break;
        }
        failed = !failure.ok();
      },
      [&](Parts round) {  // the digest of their encodings
        if (hasher != nullptr)
          for (const PartBuffers& b : round) hasher->update(b.encoded);
      },
  };
  in_rounds<PartBuffers>(
      run, nparts, g_parts_per_round.load(std::memory_order_relaxed), room,
      [&](PartBuffers& b, size_t part) {
        encode(b.encoded, part);
        // Room beyond the reservation (a part longer than foreseen).
        b.make_frame_room(b.encoded.size());
        b.status = compress_frame(b.encoded, b);
      },
      std::span<const std::function<void(Parts)>>(takers), &failed);
  return failure;
}

// The parallel form of stream_image for a DistributionFile: parts of
// g_part_entries distributions, their exact sizes measured first.
//
// Measured (bench_flush EveryFile/1, 100 000 x 20 bins, 33 MB encoded, 8
// threads, one run beside one frame compressed on one thread): every file
// rewritten in 49-97 ms against 141-159 ms, the compressor having been the
// bottleneck. The file grows by under 1 % (26.5 MB against 26.3 MB for the
// daily flights database).
template <class Record>
Status stream_distributions_parallel(const Record& record, const ImageWriter& write,
                                     const ImageStreamOptions& options) {
  const ParallelRunner& run = *options.parallel;
  const DistributionFileParts parts =
      distribution_file_parts(record, g_part_entries.load(std::memory_order_relaxed));
  const size_t nparts = parts.count();
  std::vector<uint64_t> sizes(nparts);
  run(nparts, [&](size_t p) { sizes[p] = distribution_file_part_size(record, parts, p); });
  return stream_parts_parallel(
      run, nparts,
      [&](PartBuffers& b, size_t part) {
        b.encoded.reserve(sizes[part]);
        b.make_frame_room(sizes[part]);
      },
      [&](std::string& encoded, size_t part) {
        encode_distribution_file_part(record, parts, part, sizes[part], encoded);
      },
      write, options.hasher);
}

// The parallel form of stream_image for an index whose entries can be
// visited in ranges: parts of kIndexPartEntries entries, each reserved for
// the average entry (of the encoded size when known).
//
// Measured (a full flush from Python, daily flights database, 2.65 M index
// entries, 4 threads, interleaved with the index as one frame compressed on
// one thread, load 8): 333-500 ms against 413-603 ms; the file is 11.44 MB
// against 11.49 MB.
template <class Record>
Status stream_index_parallel(const Record& record, const ImageWriter& write,
                             const ImageStreamOptions& options) {
  const ParallelRunner& run = *options.parallel;
  const size_t group = g_index_part_entries.load(std::memory_order_relaxed);
  const size_t nparts = dist_index_part_count(record, group);
  const uint64_t per_entry =
      options.encoded_size && record.entries > 0 ? *options.encoded_size / record.entries + 1 : 64;
  return stream_parts_parallel(
      run, nparts,
      [&](PartBuffers& b, size_t) {
        const size_t expect = static_cast<size_t>(8 + group * per_entry);
        b.encoded.reserve(expect);
        b.make_frame_room(expect);
      },
      [&](std::string& encoded, size_t part) { encode_dist_index_part(record, group, part, encoded); },
      write, options.hasher);
}

// The digest of a DistributionFile's encoding, its parts encoded on the
// pool a round ahead of the digest, which takes them in order.
template <class Record>
EncodingDigest digest_in_parts(const Record& record, const ParallelRunner& run) {
  const DistributionFileParts parts =
      distribution_file_parts(record, g_part_entries.load(std::memory_order_relaxed));
  const size_t nparts = parts.count();
  std::vector<uint64_t> sizes(nparts);
  run(nparts, [&](size_t p) { sizes[p] = distribution_file_part_size(record, parts, p); });
  EncodingHasher hasher;
  using Parts = std::span<std::string>;
  const std::function<void(Parts)> takers[] = {[&](Parts round) {
    for (const std::string& b : round) hasher.update(b);
  }};
  in_rounds<std::string>(
      run, nparts, g_parts_per_round.load(std::memory_order_relaxed),
      [&](std::string& b, size_t part) { b.reserve(sizes[part]); },
      [&](std::string& b, size_t part) { encode_distribution_file_part(record, parts, part, sizes[part], b); },
      std::span<const std::function<void(Parts)>>(takers));
  return hasher.digest();
}

// Header, then the record's binary form as one zstd frame that declares its
// content size, compressed as the encoder produces it and written as the
// compressor fills its buffer.
template <class T>
Status stream_image(const T& record, const ImageWriter& write, const ImageStreamOptions& options) {
  if constexpr (std::is_same_v<T, model::DistributionFile> || std::is_same_v<T, DistributionFileSource>) {
    if (options.parallel != nullptr) return stream_distributions_parallel(record, write, options);
  }
  if constexpr (std::is_same_v<T, DistIndexSource>) {
    if (options.parallel != nullptr && record.visit_range) return stream_index_parallel(record, write, options);
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

// The frames of a payload of several frames, each declaring its size, with
// their sizes' sum; nothing for one frame, a frame that does not declare
// its size or a skippable one, bytes that are no frame, or sizes beyond the
// plausible ratio (left to the stream, which reads such payloads with
// bounded memory).
struct DeclaredFrames {
  std::vector<std::string_view> frames;
  std::vector<uint64_t> sizes;
};
std::optional<DeclaredFrames> declared_frames(std::string_view in) {
  DeclaredFrames out;
  uint64_t total = 0;
  const size_t payload = in.size();
  while (!in.empty()) {
    if (in.size() >= 4) {  // a skippable frame's magic: 0x184D2A5? little-endian
      const auto* m = reinterpret_cast<const unsigned char*>(in.data());
      if ((m[0] & 0xF0) == 0x50 && m[1] == 0x2A && m[2] == 0x4D && m[3] == 0x18) return std::nullopt;
    }
    const unsigned long long declared = ZSTD_getFrameContentSize(in.data(), in.size());
    const size_t n = ZSTD_findFrameCompressedSize(in.data(), in.size());
    if (declared == ZSTD_CONTENTSIZE_ERROR || declared == ZSTD_CONTENTSIZE_UNKNOWN || ZSTD_isError(n))
      return std::nullopt;
    total += declared;
    if (total / kPlausibleRatio > payload) return std::nullopt;
    out.frames.push_back(in.substr(0, n));
    out.sizes.push_back(declared);
    in.remove_prefix(n);
  }
  if (out.frames.size() < 2) return std::nullopt;
  return out;
}

// One frame's content and what its bytes decode to when a frame starts at
// a distribution's start (the first frame: at the list's count): every
// distribution up to the frame's end. Reused from round to round, the
// objects overwritten in place, so that their texts and lists keep their
// room and a round's memory is taken once.
struct FrameDecode {
  std::unique_ptr<char[]> bytes;
  size_t room = 0;
  bool decompressed = false;
  bool whole = false;  // the frame is whole distributions, ending at its end
  uint64_t count = 0;  // the list's count (first frame)
  // The first `used` are the distributions read before the frame's end or
  // the first that does not read, `ends` where each ends in the frame.
  std::vector<DecodedDistribution> objects;
  size_t used = 0;
  std::vector<size_t> ends;
  size_t start = 0;  // where the first begins
};

Result<ZSTD_DCtx*> thread_part_dcontext() {
  thread_local DCtxPtr dctx;
  if (!dctx) {
    dctx.reset(ZSTD_createDCtx());
    if (!dctx) return Error("zstd: out of memory");
  }
  return dctx.get();
}

void decode_frame(std::string_view frame, uint64_t size, bool first, FrameDecode& out) {
  out.decompressed = out.whole = false;
  out.used = 0;
  out.ends.clear();
  out.start = 0;
  auto ctx = thread_part_dcontext();
  if (!ctx.ok()) return;
  const size_t got = ZSTD_decompressDCtx(*ctx, out.bytes.get(), size, frame.data(), frame.size());
  if (ZSTD_isError(got) || got != size) return;  // the checksum is verified here too
  out.decompressed = true;
  internal::Reader rd(std::string_view(out.bytes.get(), size));
  if (first && !rd.u64(out.count)) return;
  out.start = size - rd.buffered();
  while (rd.buffered() > 0) {
    if (out.used == out.objects.size()) out.objects.emplace_back();
    if (!rd.decoded(out.objects[out.used])) return;
    ++out.used;
    out.ends.push_back(size - rd.buffered());
  }
  out.whole = true;
}

// Hands on the DistributionFile of a payload of several frames, the frames
// decompressed and decoded on the pool a round at a time while `sink` takes
// the round before, each frame's bytes digested in order; false when that
// is not possible, and the caller reads the payload as one stream (which
// also gives a fault its text).
//
// The same record as the stream: frame k decoded on its own is what the
// stream's decoder makes of those bytes when the frames before it held whole
// distributions ending at their ends, which is checked in frame order (a
// frame that fails before the list's end, and nothing is made). The joints
// after the list's end are decoded from the bytes left, one frame after the
// other. Memory: two rounds of frames beside what `sink` keeps.
//
// Measured (bench_flush OpenReadWrite/1, 100 000 x 20 bins, 33 MB encoded
// in 50 frames, 8 threads, machine loaded 4-9): the read-write open in
// 125-170 ms against 306-393 ms for the same file read as one stream.
bool decode_frames_into(std::string_view payload, const ParallelRunner& run, EncodingHasher* hasher,
                        DistributionFileSink& sink) {
  std::optional<DeclaredFrames> found = declared_frames(payload);
  if (!found) return false;
  const DeclaredFrames& f = *found;
  const size_t n = f.frames.size();
  const size_t per_round = g_parts_per_round.load(std::memory_order_relaxed);
  std::vector<FrameDecode> round[2];
  round[0].resize(std::min(per_round, n));
  round[1].resize(std::min(per_round, n));
  uint64_t listed = 0, handed = 0;
  std::string rest;  // the bytes after the list's end
  bool list_done = false, failed = false;
  // The bytes of a round's frames get their room on the calling thread.
  auto make_room = [&](std::vector<FrameDecode>& bufs, size_t first) {
    for (size_t i = 0; i < per_round && first + i < n; ++i) {
      if (bufs[i].room < f.sizes[first + i]) {
        bufs[i].bytes.reset(new char[std::max<uint64_t>(f.sizes[first + i], 1)]);
        bufs[i].room = f.sizes[first + i];
      }
    }
  };
  // Takes a decoded round in frame order; false on the first frame that
  // leaves the payload to the stream.
  auto take = [&](std::vector<FrameDecode>& bufs, size_t first) {
    for (size_t i = 0; i < per_round && first + i < n; ++i) {
      FrameDecode& d = bufs[i];
      if (!d.decompressed) return false;
      const std::string_view bytes(d.bytes.get(), f.sizes[first + i]);
      if (hasher != nullptr) hasher->update(bytes);
      if (list_done) {
        rest.append(bytes);
        continue;
      }
      if (first + i == 0) {
        if (d.start == 0) return false;  // too short for the list's count
        uint64_t bytes_in_all = 0;
        for (uint64_t size : f.sizes) bytes_in_all += size;
        listed = d.count;
        // A damaged count reserves no more than the bytes could hold.
        sink.begin(listed, std::min<uint64_t>(
                               listed, bytes_in_all / internal::min_encoded_size<model::DistributionObject>()));
      }
      // The list ends in this frame: the joints start after its last.
      const uint64_t need = listed - handed;
      if (d.used >= need) {
        sink.add(std::span<const DecodedDistribution>(d.objects.data(), need));
        rest.append(bytes.substr(need == 0 ? d.start : d.ends[need - 1]));
        handed = listed;
        list_done = true;
        continue;
      }
      if (!d.whole) return false;
      sink.add(std::span<const DecodedDistribution>(d.objects.data(), d.used));
      handed += d.used;
    }
    return true;
  };
  make_room(round[0], 0);
  run(std::min(per_round, n), [&](size_t i) { decode_frame(f.frames[i], f.sizes[i], i == 0, round[0][i]); });
  for (size_t first = 0, r = 0; first < n; first += per_round, r ^= 1) {
    const size_t next = first + per_round;
    const size_t next_count = next < n ? std::min(per_round, n - next) : 0;
    if (next_count > 0) make_room(round[r ^ 1], next);
    // Call 0 hands on this round, the others decode the next one.
    run(1 + next_count, [&](size_t t) {
      if (t == 0) {
        failed = !take(round[r], first);
      } else {
        const size_t k = next + t - 1;
        decode_frame(f.frames[k], f.sizes[k], false, round[r ^ 1][t - 1]);
      }
    });
    if (failed) return false;
  }
  if (!list_done) return false;
  internal::Reader rd(rest);
  std::vector<model::JointDistributionObject> joints;
  if (!rd.get(joints)) return false;
  sink.end(std::move(joints));
  return true;
}

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
  if (!decode_frames_into(payload, run, hasher, builder)) return std::nullopt;
  return std::move(builder.file);
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
  return decode_frames_into(payload, run, hasher, sink);
}

void internal::set_image_parts_for_testing(size_t entries_per_part, size_t parts_per_round) {
  g_part_entries.store(entries_per_part == 0 ? kPartEntries : entries_per_part);
  g_index_part_entries.store(entries_per_part == 0 ? kIndexPartEntries : entries_per_part);
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
    if (decode_frames_into(b.substr(8), *parallel, &hasher, sink)) {
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
  auto mapping = ops.map(fd.get(), len, false);
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

namespace quor::store {

EncodingDigest encoding_digest(const model::DistributionFile& r, const ParallelRunner& run) {
  return digest_in_parts(r, run);
}
EncodingDigest encoding_digest(const DistributionFileSource& r, const ParallelRunner& run) {
  return digest_in_parts(r, run);
}

uint64_t stored_record_size(const DistributionFileSource& r, const ParallelRunner* run) {
  if (run == nullptr) return stored_record_size(r);
  const DistributionFileParts parts =
      distribution_file_parts(r, g_part_entries.load(std::memory_order_relaxed));
  std::vector<uint64_t> sizes(parts.count());
  (*run)(sizes.size(), [&](size_t p) { sizes[p] = distribution_file_part_size(r, parts, p); });
  uint64_t n = 0;
  for (uint64_t s : sizes) n += s;
  return n;
}

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
