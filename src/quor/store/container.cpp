// The data files' writers: a record's image streamed as one frame (or
// handed to the pool's frames), the flush writers and the create-time
// writers.
#include "quor/store/container.h"

#include <zstd.h>

#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "quor/store/binary_codec.h"
#include "quor/store/file_io.h"
#include "quor/store/internal/container_frames.h"

namespace quor::store {

namespace {

using internal::CCtxPtr;
using internal::kZstdLevel;
using internal::path_text;
using internal::put_header;
using internal::zstd_error;


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

// Header, then the record's binary form as one zstd frame that declares its
// content size, compressed as the encoder produces it and written as the
// compressor fills its buffer.
template <class T>
Status stream_image(const T& record, const ImageWriter& write, const ImageStreamOptions& options) {
  if constexpr (std::is_same_v<T, model::DistributionFile> || std::is_same_v<T, DistributionFileSource>) {
    if (options.parallel != nullptr) return internal::stream_distributions_in_frames(record, write, options);
  }
  if constexpr (std::is_same_v<T, DistIndexSource>) {
    if (options.parallel != nullptr && record.visit_range) return internal::stream_index_in_frames(record, write, options);
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

}  // namespace

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
