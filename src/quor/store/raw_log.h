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
