// Fuzzes the JSON-lines reader: any bytes either fail with a line context or
// give records (objects only).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quor/ingest/internal/json_lines.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  auto records = quor::ingest::parse_json_lines_bytes(bytes);
  if (!records.ok()) {
    const auto& contexts = records.error().contexts();
    if (contexts.empty() ||
        (contexts.back() != "read json line" && contexts.back() != "parse json line"))
      std::abort();
  }
  return 0;
}
