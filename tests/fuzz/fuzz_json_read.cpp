// Feeds arbitrary text to the JSON readers. The first byte picks the value
// parser or one of the record readers. A parsed value must write compactly
// and read back to the same text; a parsed record must survive the binary
// form; every failure must carry its position.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quor/store/binary_codec.h"
#include "quor/store/json_form.h"
#include "quor/util/json.h"

namespace {

using namespace quor::store;
using namespace quor::model;

void require_position(const quor::Error& e) {
  if (e.root().find(" at line ") == std::string::npos) std::abort();
}

template <class T>
void check_record(quor::Result<T> r) {
  if (!r.ok()) {
    require_position(r.error());
    return;
  }
  std::string enc = encode_stored_record(*r);
  if (enc.size() != stored_record_size(*r)) std::abort();
  if (!decode_stored_record<T>(enc).ok()) std::abort();
  if constexpr (std::is_same_v<T, MetaFile>) {
    // The schema writer's text reads back wherever the floats are finite.
    std::string text = "[" + schema_to_json(r->schema) + ",1,1,1,3]";
    (void)json_from_slice_meta_file(text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string_view in(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 5) {
    case 0: {
      auto v = quor::util::parse_json_value(in);
      if (!v.ok()) {
        require_position(v.error());
        break;
      }
      std::string once;
      quor::util::write_json(once, *v);
      auto back = quor::util::parse_json_value(once);
      if (!back.ok()) std::abort();
      std::string twice;
      quor::util::write_json(twice, *back);
      if (once != twice) std::abort();
      break;
    }
    case 1: check_record(json_from_slice_meta_file(in)); break;
    case 2: check_record(json_from_slice_distribution_file(in)); break;
    case 3: check_record(json_from_slice_dist_index(in)); break;
    default: check_record(json_from_slice_snapshot_store(in)); break;
  }
  return 0;
}
