// Feeds arbitrary bytes to the binary record decoder. The first byte picks
// the record kind. A decoded record must re-encode to its computed size, and
// the re-encoding must decode to a record that encodes identically.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quor/store/binary_codec.h"

namespace {

using namespace quor::store;
using namespace quor::model;

template <class T>
void check(std::string_view in, bool stable_order) {
  auto r = decode_stored_record<T>(in);
  if (!r.ok()) {
    if (r.error().root().empty()) std::abort();
    return;
  }
  std::string enc = encode_stored_record(*r);
  if (enc.size() != stored_record_size(*r)) std::abort();
  auto again = decode_stored_record<T>(enc);
  if (!again.ok()) std::abort();
  if (stable_order && encode_stored_record(*again) != enc) std::abort();
  if (!stable_order && stored_record_size(*again) != enc.size()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 0: check<MetaFile>(in, true); break;
    case 1: check<DistributionFile>(in, true); break;
    case 2: check<DistIndex>(in, false); break;
    default: check<SnapshotStore>(in, false); break;
  }
  return 0;
}
