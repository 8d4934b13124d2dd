#include "quor/store/container.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <cerrno>
#include <cstring>

#include "quor/store/binary_codec.h"
#include "quor/store/file_io.h"
#include "quor/store/json_form.h"

namespace quor::store {

namespace {

constexpr int kZstdLevel = 3;

std::string zstd_error(size_t code) { return ZSTD_getErrorName(code); }

// Header, then the compressed payload, in one buffer.
Result<std::string> compress_image(std::string_view payload) {
  std::string image;
  image.resize(8 + ZSTD_compressBound(payload.size()));
  std::memcpy(image.data(), kFileMagic, 4);
  const unsigned char version[4] = {FORMAT_VERSION & 0xFF, 0, 0, 0};
  std::memcpy(image.data() + 4, version, 4);

  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  if (cctx == nullptr) return Result<std::string>(Error("zstd: out of memory")).context("zstd compress");
  size_t rc = ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, kZstdLevel);
  ZSTD_outBuffer out{image.data() + 8, image.size() - 8, 0};
  ZSTD_inBuffer in{payload.data(), payload.size(), 0};
  if (!ZSTD_isError(rc)) {
    do {
      rc = ZSTD_compressStream2(cctx, &out, &in, ZSTD_e_end);
    } while (!ZSTD_isError(rc) && rc != 0 && out.pos < out.size);
  }
  ZSTD_freeCCtx(cctx);
  if (ZSTD_isError(rc) || rc != 0) {
    std::string msg = ZSTD_isError(rc) ? zstd_error(rc) : "output buffer too small";
    return Result<std::string>(Error(msg)).context("zstd compress");
  }
  image.resize(8 + out.pos);
  return image;
}

// Every frame of `in`, one after the other, decompressed.
Result<std::string> decompress_all(std::string_view in) {
  std::string out;
  if (in.empty()) return out;
  // The first frame's declared size is only a hint; it is never trusted
  // beyond a bound that the input could plausibly justify.
  unsigned long long declared = ZSTD_getFrameContentSize(in.data(), in.size());
  size_t initial = in.size() * 4 + 4096;
  if (declared != ZSTD_CONTENTSIZE_ERROR && declared != ZSTD_CONTENTSIZE_UNKNOWN) {
    initial = static_cast<size_t>(
        std::min<unsigned long long>(declared + 1, in.size() * 1024ULL + 4096));
  }
  ZSTD_DCtx* dctx = ZSTD_createDCtx();
  if (dctx == nullptr) return Error("zstd: out of memory");
  out.resize(std::max<size_t>(initial, 64));
  ZSTD_inBuffer src{in.data(), in.size(), 0};
  size_t produced = 0;
  size_t rc = 0;
  for (;;) {
    if (produced == out.size()) out.resize(out.size() * 2);
    ZSTD_outBuffer dst{out.data() + produced, out.size() - produced, 0};
    rc = ZSTD_decompressStream(dctx, &dst, &src);
    produced += dst.pos;
    if (ZSTD_isError(rc)) break;
    if (src.pos == src.size) {
      if (rc == 0) break;  // every frame complete
      if (dst.pos < dst.size) {
        ZSTD_freeDCtx(dctx);
        return Error("incomplete frame");
      }
    }
  }
  ZSTD_freeDCtx(dctx);
  if (ZSTD_isError(rc)) return Error(zstd_error(rc));
  out.resize(produced);
  return out;
}

std::string path_text(const std::filesystem::path& p) { return p.string(); }

template <class T>
Result<T> decode_json(std::string_view bytes) {
  if constexpr (std::is_same_v<T, MetaFile>) return json_from_slice_meta_file(bytes);
  if constexpr (std::is_same_v<T, DistributionFile>) return json_from_slice_distribution_file(bytes);
  if constexpr (std::is_same_v<T, DistIndex>) return json_from_slice_dist_index(bytes);
  if constexpr (std::is_same_v<T, SnapshotStore>) return json_from_slice_snapshot_store(bytes);
}

template <class T>
Result<std::string> image_of(const T& record) {
  std::string payload = encode_stored_record(record);
  return compress_image(payload);
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
Result<T> load_data_file(const std::filesystem::path& path) {
  auto bytes = read_whole_file(path).context("read file " + path_text(path));
  if (!bytes.ok()) return std::move(bytes).error();
  return parse_data_file<T>(*bytes, path);
}

}  // namespace

template <class T>
Result<T> parse_data_file(std::string_view bytes, const std::filesystem::path& path) {
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
      auto raw = decompress_all(payload).context("zstd decompress " + path_text(path));
      if (!raw.ok()) return std::move(raw).error();
      return decode_stored_record<T>(*raw).context("deserialize " + path_text(path));
    }
    return decode_stored_record<T>(payload).context("deserialize " + path_text(path));
  }
  return decode_json<T>(bytes).context("parse " + path_text(path) + " (tried binary and JSON)");
}

template Result<MetaFile> parse_data_file<MetaFile>(std::string_view, const std::filesystem::path&);
template Result<DistributionFile> parse_data_file<DistributionFile>(std::string_view,
                                                                    const std::filesystem::path&);
template Result<DistIndex> parse_data_file<DistIndex>(std::string_view, const std::filesystem::path&);
template Result<SnapshotStore> parse_data_file<SnapshotStore>(std::string_view,
                                                              const std::filesystem::path&);

Result<std::string> data_file_image(const MetaFile& r) { return image_of(r); }
Result<std::string> data_file_image(const DistributionFile& r) { return image_of(r); }
Result<std::string> data_file_image(const DistIndex& r) { return image_of(r); }
Result<std::string> data_file_image(const SnapshotStore& r) { return image_of(r); }

Status write_meta_file(const std::filesystem::path& p, const MetaFile& r) {
  return write_data_file(p, r);
}
Status write_distributions_file(const std::filesystem::path& p, const DistributionFile& r) {
  return write_data_file(p, r);
}
Status write_dist_index_file(const std::filesystem::path& p, const DistIndex& r) {
  return write_data_file(p, r);
}
Status write_snapshots_file(const std::filesystem::path& p, const SnapshotStore& r) {
  return write_data_file(p, r);
}

Status save_meta_file_if_absent(const std::filesystem::path& p, const MetaFile& r) {
  return save_if_absent(p, r);
}
Status save_distribution_file_if_absent(const std::filesystem::path& p, const DistributionFile& r) {
  return save_if_absent(p, r);
}
Status save_dist_index_if_absent(const std::filesystem::path& p, const DistIndex& r) {
  return save_if_absent(p, r);
}
Status ensure_snapshots_file(const std::filesystem::path& p) {
  if (path_has_metadata(p)) return ok_status();
  return write_snapshots_file(p, SnapshotStore{});
}

Result<MetaFile> load_meta_file(const std::filesystem::path& p) { return load_data_file<MetaFile>(p); }
Result<DistIndex> load_dist_index(const std::filesystem::path& p) {
  return load_data_file<DistIndex>(p);
}
Result<SnapshotStore> load_snapshot_store(const std::filesystem::path& p) {
  return load_data_file<SnapshotStore>(p);
}
Result<DistributionFile> load_distribution_file_read(const std::filesystem::path& p) {
  return load_data_file<DistributionFile>(p);
}

Result<DistributionFile> parse_distribution_file(std::string_view bytes,
                                                 const std::filesystem::path& path) {
  return parse_data_file<DistributionFile>(bytes, path);
}

Result<DistributionFile> load_distribution_file_mapped(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Result<DistributionFile>(os_error(errno)).context("open file " + path_text(path));
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    int err = errno;
    ::close(fd);
    return Result<DistributionFile>(os_error(err)).context("mmap " + path_text(path));
  }
  const size_t len = static_cast<size_t>(st.st_size);
  if (len == 0) {
    // Nothing to map: an empty file decodes like any other empty input.
    ::close(fd);
    return parse_distribution_file(std::string_view(), path);
  }
  void* map = ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
  if (map == MAP_FAILED) {
    int err = errno;
    ::close(fd);
    return Result<DistributionFile>(os_error(err)).context("mmap " + path_text(path));
  }
  auto result = parse_distribution_file(std::string_view(static_cast<const char*>(map), len), path);
  ::munmap(map, len);
  ::close(fd);
  return result;
}

}  // namespace quor::store

namespace quor::store {

namespace {
template <class T>
Status stream_image(const T& record, const ImageWriter& write) {
  QUOR_ASSIGN_OR_RETURN(std::string image, image_of(record));
  return write(image);
}
}  // namespace

Status stream_data_file_image(const MetaFile& r, const ImageWriter& w) { return stream_image(r, w); }
Status stream_data_file_image(const DistributionFile& r, const ImageWriter& w) {
  return stream_image(r, w);
}
Status stream_data_file_image(const DistIndex& r, const ImageWriter& w) { return stream_image(r, w); }
Status stream_data_file_image(const SnapshotStore& r, const ImageWriter& w) {
  return stream_image(r, w);
}

}  // namespace quor::store
