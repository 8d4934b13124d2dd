#include "quor/store/binary_codec.h"

#include <memory>

#include "quor/store/internal/binary_reader.h"

namespace quor::store {

template <class T>
Result<T> decode_stored_record(std::string_view bytes) {
  internal::Reader rd(bytes);
  T out;
  if (!rd.get(out)) return rd.take_error();
  return out;
}

template <class T>
Result<T> decode_stored_record_from(RecordSource& source) {
  std::unique_ptr<char[]> window(new char[internal::kDecodeWindow]);
  internal::Reader rd(source, window.get(), internal::kDecodeWindow);
  T out;
  if (!rd.get(out)) return rd.take_error();
  return out;
}

template Result<model::MetaFile> decode_stored_record<model::MetaFile>(std::string_view);
template Result<model::DistributionFile> decode_stored_record<model::DistributionFile>(std::string_view);
template Result<model::DistIndex> decode_stored_record<model::DistIndex>(std::string_view);
template Result<model::SnapshotStore> decode_stored_record<model::SnapshotStore>(std::string_view);
template Result<model::MetaFile> decode_stored_record_from<model::MetaFile>(RecordSource&);
template Result<model::DistributionFile> decode_stored_record_from<model::DistributionFile>(RecordSource&);
template Result<model::DistIndex> decode_stored_record_from<model::DistIndex>(RecordSource&);
template Result<model::SnapshotStore> decode_stored_record_from<model::SnapshotStore>(RecordSource&);

}  // namespace quor::store
