// The schema's compact JSON text, as the schema() method hands it to json.
#pragma once

#include <string>

#include "quor/store/model.h"
#include "quor/util/error.h"

namespace quor::python {

Result<std::string> schema_json_text(const store::Schema& schema);

}  // namespace quor::python
