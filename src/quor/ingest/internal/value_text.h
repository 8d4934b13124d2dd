// The text an input value stands for where a text is wanted: in a text
// column seen by inference, and in a dimension of the per-record step.
#pragma once

#include <string>

#include "quor/util/json_value.h"

namespace quor::ingest {

// Booleans as true/false, numbers as their JSON number text, texts as
// themselves, arrays and objects as compact JSON. Null gives "null".
std::string value_as_text(const util::JsonValue& v);

}  // namespace quor::ingest
