// The schema's compact JSON text, from the store's writer.
#include "schema_text.h"

#include "quor/store/json_form.h"

namespace quor::python {

Result<std::string> schema_json_text(const store::Schema& schema) {
  return store::schema_to_json(schema);
}

}  // namespace quor::python
