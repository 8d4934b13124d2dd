// One input record: column name -> JSON value, in ascending byte order of the
// names (a repeated name keeps the later value).
#pragma once

#include "quor/util/json_value.h"

namespace quor::ingest {

using InputRecord = util::JsonObject;

}  // namespace quor::ingest
