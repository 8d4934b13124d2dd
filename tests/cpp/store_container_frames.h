// Data file bytes built by hand for the container tests: the header, zstd
// frames, little-endian counts and damaged copies.
#pragma once

#include <zstd.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quor::store::testing {

inline std::string header(uint32_t version) {
  std::string h = "QUOR";
  for (int i = 0; i < 4; ++i) h += static_cast<char>((version >> (8 * i)) & 0xFF);
  return h;
}

inline std::string zstd_frame(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 1);
  out.resize(n);
  return out;
}

inline std::string u64le(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

// The frames of a zstd stream, in order; empty when one cannot be measured.
inline std::vector<std::string> frames_of(std::string_view stream) {
  std::vector<std::string> out;
  while (!stream.empty()) {
    const size_t n = ZSTD_findFrameCompressedSize(stream.data(), stream.size());
    if (ZSTD_isError(n)) return {};
    out.emplace_back(stream.substr(0, n));
    stream.remove_prefix(n);
  }
  return out;
}

// What the frames of a zstd stream hold, one after the other; a frame that
// does not decompress to its declared size adds "<bad frame>".
inline std::string decompressed_stream(std::string_view stream) {
  std::string out;
  for (const std::string& frame : frames_of(stream)) {
    std::string part(ZSTD_getFrameContentSize(frame.data(), frame.size()), '\0');
    if (ZSTD_decompress(part.data(), part.size(), frame.data(), frame.size()) != part.size())
      return out + "<bad frame>";
    out += part;
  }
  return out;
}

// The frame zstd makes of `data` in one call at level 3, declaring its size
// and ending in its content checksum.
inline std::string level3_frame_with_checksum(std::string_view data) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(data.size()), '\0');
  size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(cctx);
  out.resize(n);
  return out;
}

// `frame` with the byte at `at` (negative: from the end) inverted.
inline std::string flipped(std::string frame, long at) {
  size_t i = at >= 0 ? static_cast<size_t>(at) : frame.size() - static_cast<size_t>(-at);
  frame[i] = static_cast<char>(~frame[i]);
  return frame;
}

}  // namespace quor::store::testing
