#include "quor/ingest/internal/value_text.h"

#include "quor/util/json.h"

namespace quor::ingest {

std::string value_as_text(const util::JsonValue& v) {
  if (const auto* s = v.as_string()) return *s;
  if (const auto* b = v.as_bool()) return *b ? "true" : "false";
  std::string out;
  if (const auto* n = v.as_number())
    util::write_json_number(out, *n);
  else
    util::write_json(out, v);
  return out;
}

}  // namespace quor::ingest
