// Wall-clock and monotonic time helpers.
#pragma once

#include <chrono>
#include <cstdint>

namespace quor {

// Current UTC wall-clock time in whole seconds since 1970-01-01, the
// fraction dropped (0 if the clock reads before the epoch).
inline uint64_t unix_now_seconds() {
  auto now = std::chrono::system_clock::now().time_since_epoch();
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(now).count();
  return secs < 0 ? 0 : static_cast<uint64_t>(secs);
}

}  // namespace quor
