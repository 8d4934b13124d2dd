// The raw record log: one JSON line per processed record, appended to the
// single segment "raw/log_000001.raw".
#pragma once

#include <filesystem>

namespace quor::store {

// Handle of the log; holds no open file.
struct RawLog {
  std::filesystem::path segment_path;
};

}  // namespace quor::store

#include "quor/util/error.h"
#include "quor/util/json_value.h"

namespace quor::store {

// Creates the "raw" directory and an empty segment when missing.
Result<RawLog> open_raw_log(const std::filesystem::path& raw_dir);

// Appends {"payload":...,"record_id":N} and a line feed to the segment.
Status append_raw_record(const RawLog& log, uint64_t record_id, const util::JsonValue& payload);

}  // namespace quor::store
