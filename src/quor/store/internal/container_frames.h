// What the files of the data-file container share: zstd's settings and
// owners, the header's bytes, and the frames a pool writes and reads
// (container_frames.cpp) for the stream writer (container.cpp) and the
// readers (container_read.cpp).
#pragma once

#include <zstd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/encoding_digest.h"
#include "quor/util/error.h"

namespace quor::store::internal {

inline constexpr int kZstdLevel = 3;
// A frame whose declared content size is at most this many times its
// compressed size is believed for reservations; beyond it (a bomb, or a
// lie) reservations follow only the bytes actually decompressed.
inline constexpr uint64_t kPlausibleRatio = 64;

inline std::string zstd_error(size_t code) { return ZSTD_getErrorName(code); }

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* d) const { ZSTD_freeDCtx(d); }
};
using CCtxPtr = std::unique_ptr<ZSTD_CCtx, CCtxFree>;
using DCtxPtr = std::unique_ptr<ZSTD_DCtx, DCtxFree>;

// The 8 bytes of a current-format header.
inline void put_header(char* dst) {
  std::memcpy(dst, kFileMagic, 4);
  const unsigned char version[4] = {FORMAT_VERSION & 0xFF, 0, 0, 0};
  std::memcpy(dst + 4, version, 4);
}

inline std::string path_text(const std::filesystem::path& p) { return p.string(); }

// The image of a DistributionFile, or of an index that visits ranges, as a
// frame per part made on `options.parallel` (which must be set): see
// stream_data_file_image.
Status stream_distributions_in_frames(const model::DistributionFile& record, const ImageWriter& write,
                                      const ImageStreamOptions& options);
Status stream_distributions_in_frames(const DistributionFileSource& record, const ImageWriter& write,
                                      const ImageStreamOptions& options);
Status stream_index_in_frames(const DistIndexSource& record, const ImageWriter& write,
                              const ImageStreamOptions& options);

// Hands on the DistributionFile of a current-format payload of several
// frames, decoded on `run` a round of frames at a time; false where it
// leaves the payload to the stream's read (see container_frames.cpp).
bool decode_frames_into(std::string_view payload, const ParallelRunner& run, EncodingHasher* hasher,
                        DistributionFileSink& sink);

}  // namespace quor::store::internal
