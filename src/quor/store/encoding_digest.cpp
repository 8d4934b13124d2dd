#include "quor/store/encoding_digest.h"

#define XXH_STATIC_LINKING_ONLY  // XXH3_state_t as a complete type
#include <xxhash.h>

#include <memory>
#include <string>

#include "quor/store/internal/binary_layout.h"
#include "quor/store/internal/binary_reader.h"

namespace quor::store {

struct EncodingHasher::State {
  XXH3_state_t xxh;
};

EncodingHasher::EncodingHasher() : state_(std::make_unique<State>()) {
  XXH3_128bits_reset(&state_->xxh);
}
EncodingHasher::~EncodingHasher() = default;

void EncodingHasher::update(std::string_view piece) {
  XXH3_128bits_update(&state_->xxh, piece.data(), piece.size());
  size_ += piece.size();
}

EncodingDigest EncodingHasher::digest() const {
  const XXH128_hash_t h = XXH3_128bits_digest(&state_->xxh);
  return EncodingDigest{h.low64, h.high64, size_};
}

namespace {
template <class R>
EncodingDigest digest_of(const R& record) {
  EncodingHasher hasher;
  encode_stored_record_to(record, [&hasher](std::string_view piece) { hasher.update(piece); });
  return hasher.digest();
}
}  // namespace

EncodingDigest encoding_digest(const model::MetaFile& r) { return digest_of(r); }
EncodingDigest encoding_digest(const model::DistributionFile& r) { return digest_of(r); }
EncodingDigest encoding_digest(const model::DistIndex& r) { return digest_of(r); }
EncodingDigest encoding_digest(const DistributionFileSource& r) { return digest_of(r); }
EncodingDigest encoding_digest(const DistIndexSource& r) { return digest_of(r); }
EncodingDigest encoding_digest(const model::SnapshotStore& r) { return digest_of(r); }

namespace {
void add_entry(IndexEntriesDigest& d, std::string_view key, uint64_t id) {
  // The key's length keeps (key, id) pairs apart that share their bytes.
  XXH3_state_t st;
  XXH3_128bits_reset(&st);
  const uint64_t len = internal::to_little(static_cast<uint64_t>(key.size()));
  const uint64_t le_id = internal::to_little(id);
  XXH3_128bits_update(&st, &len, 8);
  XXH3_128bits_update(&st, key.data(), key.size());
  XXH3_128bits_update(&st, &le_id, 8);
  const XXH128_hash_t h = XXH3_128bits_digest(&st);
  d.count += 1;
  d.sum_low += h.low64;
  d.sum_high += h.high64;
}
}  // namespace

IndexEntriesDigest index_entries_digest(const model::DistIndex& index) {
  IndexEntriesDigest d;
  for (const auto& [key, id] : index.by_key) add_entry(d, key, id);
  return d;
}

IndexEntriesDigest index_entries_digest(const DistIndexSource& index) {
  IndexEntriesDigest d;
  index.visit([&d](std::string_view key, uint64_t id) { add_entry(d, key, id); });
  return d;
}

Result<IndexEntriesDigest> index_entries_digest_from(RecordSource& source) {
  std::unique_ptr<char[]> window(new char[internal::kDecodeWindow]);
  internal::Reader rd(source, window.get(), internal::kDecodeWindow);
  IndexEntriesDigest d;
  uint64_t n;
  if (!rd.u64(n)) return rd.take_error();
  std::string key;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t id;
    if (!rd.text(key) || !rd.u64(id)) return rd.take_error();
    add_entry(d, key, id);
  }
  return d;
}

}  // namespace quor::store
