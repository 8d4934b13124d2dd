#include "quor/store/flush_state.h"

#define XXH_STATIC_LINKING_ONLY  // XXH3_state_t as a complete type, on the stack
#include <xxhash.h>

#include "quor/store/binary_codec.h"

namespace quor::store {

namespace {

template <class T>
RecordFingerprint fingerprint_of(const T& record) {
  XXH3_state_t state;
  XXH3_128bits_reset(&state);
  encode_stored_record_to(record, [&](std::string_view piece) {
    XXH3_128bits_update(&state, piece.data(), piece.size());
  });
  const XXH128_hash_t h = XXH3_128bits_digest(&state);
  return RecordFingerprint{h.low64, h.high64};
}

}  // namespace

RecordFingerprint record_fingerprint(const MetaFile& r) { return fingerprint_of(r); }
RecordFingerprint record_fingerprint(const DistributionFile& r) { return fingerprint_of(r); }
RecordFingerprint record_fingerprint(const DistIndex& r) { return fingerprint_of(r); }
RecordFingerprint record_fingerprint(const SnapshotStore& r) { return fingerprint_of(r); }

}  // namespace quor::store
