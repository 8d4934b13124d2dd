// Waits for the store's schema writer; until it is in the build the schema
// method fails with an engine error.
#include "schema_text.h"

namespace quor::python {

Result<std::string> schema_json_text(const store::Schema&) {
  return Error("schema export is not supported by this build yet");
}

}  // namespace quor::python
