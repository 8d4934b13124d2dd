// The schema's JSON text from the store's writer. While the writer is not in
// the build, the schema method fails with an engine error instead.
#include "schema_text.h"

#if __has_include("quor/store/json_form.h")
#include "quor/store/json_form.h"
#define QUOR_HAVE_SCHEMA_WRITER 1
#endif

namespace quor::python {

#ifdef QUOR_HAVE_SCHEMA_WRITER
Result<std::string> schema_json_text(const store::Schema& schema) {
  std::string out;
  store::write_schema_json(schema, out);
  return out;
}
#else
Result<std::string> schema_json_text(const store::Schema&) {
  return Error("schema export is not supported by this build yet");
}
#endif

}  // namespace quor::python
