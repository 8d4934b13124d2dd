// Data files made and read on the pool: a record's encoding in parts, each
// part a zstd frame of its own, made a round of parts at a time; and a file
// of several frames decompressed and decoded a round of frames at a time.
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/internal/binary_reader.h"
#include "quor/store/internal/container_frames.h"

namespace quor::store {

namespace {

using internal::CCtxPtr;
using internal::DCtxPtr;
using internal::kPlausibleRatio;
using internal::kZstdLevel;
using internal::put_header;
using internal::zstd_error;

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
bool decode_frames_in_rounds(std::string_view payload, const ParallelRunner& run, EncodingHasher* hasher,
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

}  // namespace

Status internal::stream_distributions_in_frames(const model::DistributionFile& record, const ImageWriter& write,
                                                const ImageStreamOptions& options) {
  return stream_distributions_parallel(record, write, options);
}
Status internal::stream_distributions_in_frames(const DistributionFileSource& record, const ImageWriter& write,
                                                const ImageStreamOptions& options) {
  return stream_distributions_parallel(record, write, options);
}
Status internal::stream_index_in_frames(const DistIndexSource& record, const ImageWriter& write,
                                        const ImageStreamOptions& options) {
  return stream_index_parallel(record, write, options);
}
bool internal::decode_frames_into(std::string_view payload, const ParallelRunner& run, EncodingHasher* hasher,
                                  DistributionFileSink& sink) {
  return decode_frames_in_rounds(payload, run, hasher, sink);
}

void internal::set_image_parts_for_testing(size_t entries_per_part, size_t parts_per_round) {
  g_part_entries.store(entries_per_part == 0 ? kPartEntries : entries_per_part);
  g_index_part_entries.store(entries_per_part == 0 ? kIndexPartEntries : entries_per_part);
  g_parts_per_round.store(parts_per_round == 0 ? kPartsPerRound : parts_per_round);
}

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

}  // namespace quor::store
