// Fuzzes the whole data-file reader as an open meets it: the bytes are
// written to a file and loaded by the loader of one of the four records
// (the first byte picks it; "distributions.edb" also through the read-only
// mapping), so the header check, the zstd stream, the binary decode and the
// JSON fallback all see hostile input. A loaded record must write out and
// load back to the same record; a failure must name the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <string_view>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "fuzz_work_dir.h"

namespace {

using namespace quor::store;
using namespace quor::model;
using quor::fuzz::work_dir;
using quor::fuzz::write_bytes;
namespace fs = std::filesystem;

// Inputs are bounded: a small zstd frame may still expand a thousandfold.
constexpr size_t kMaxInput = 16 * 1024;

template <class T, class Load>
void check(std::string_view bytes, const fs::path& path, Load load) {
  write_bytes(path, bytes);
  quor::Result<T> r = load(path);
  if (std::getenv("QUOR_FUZZ_VERBOSE") != nullptr)  // what a seed reaches
    std::fprintf(stderr, "%s\n", r.ok() ? "loaded" : r.error().full_text().c_str());
  if (!r.ok()) {
    // Every failure names the file it was reading.
    if (r.error().full_text().find(path.string()) == std::string::npos) std::abort();
    return;
  }
  // Written in the current format and read back: the same record.
  quor::Result<std::string> image = data_file_image(*r);
  if (!image.ok()) std::abort();
  quor::Result<T> again = parse_data_file<T>(*image, path);
  if (!again.ok()) std::abort();
  if (encode_stored_record(*again).size() != encode_stored_record(*r).size()) std::abort();
  if constexpr (std::is_same_v<T, MetaFile> || std::is_same_v<T, DistributionFile>) {
    // Ordered records encode the same bytes.
    if (encode_stored_record(*again) != encode_stored_record(*r)) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0 || size > kMaxInput) return 0;
  std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);
  const fs::path& dir = work_dir();
  switch (data[0] % 5) {
    case 0:
      check<MetaFile>(bytes, dir / "meta.edb", [](const fs::path& p) { return load_meta_file(p); });
      break;
    case 1:
      check<DistributionFile>(bytes, dir / "distributions.edb",
                              [](const fs::path& p) { return load_distribution_file_read(p); });
      break;
    case 2:
      check<DistributionFile>(bytes, dir / "distributions.edb",
                              [](const fs::path& p) { return load_distribution_file_mapped(p); });
      break;
    case 3:
      check<DistIndex>(bytes, dir / "dist_index.edb",
                       [](const fs::path& p) { return load_dist_index(p); });
      break;
    default:
      check<SnapshotStore>(bytes, dir / "snapshots.edb",
                           [](const fs::path& p) { return load_snapshot_store(p); });
      break;
  }
  return 0;
}
