// Fuzzes the CSV reader: any bytes either fail with a read context or give a
// table whose every record splits into exactly the header's field count and
// converts to an input record.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "quor/ingest/csv_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto table = quor::ingest::parse_csv_bytes(quor::ingest::FileBytes::copy_of(bytes));
  if (!table.ok()) {
    const auto& contexts = table.error().contexts();
    if (contexts.size() != 1 ||
        (contexts[0] != "read csv headers" && contexts[0] != "read csv record"))
      std::abort();
    return 0;
  }
  std::vector<quor::ingest::CsvTable::FieldRef> fields;
  std::string scratch;
  for (size_t r = 0; r < table->num_rows(); ++r) {
    table->split_row(r, fields);
    if (fields.size() != table->num_fields()) std::abort();
    for (const auto& f : fields) (void)table->text(f, scratch);
    (void)table->record(r);
  }
  return 0;
}
