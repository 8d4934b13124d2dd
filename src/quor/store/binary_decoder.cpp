#include "quor/store/binary_codec.h"

#include <memory>

#include "quor/store/binary_reader.h"

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

template Result<MetaFile> decode_stored_record<MetaFile>(std::string_view);
template Result<DistributionFile> decode_stored_record<DistributionFile>(std::string_view);
template Result<DistIndex> decode_stored_record<DistIndex>(std::string_view);
template Result<SnapshotStore> decode_stored_record<SnapshotStore>(std::string_view);
template Result<MetaFile> decode_stored_record_from<MetaFile>(RecordSource&);
template Result<DistributionFile> decode_stored_record_from<DistributionFile>(RecordSource&);
template Result<DistIndex> decode_stored_record_from<DistIndex>(RecordSource&);
template Result<SnapshotStore> decode_stored_record_from<SnapshotStore>(RecordSource&);

}  // namespace quor::store
