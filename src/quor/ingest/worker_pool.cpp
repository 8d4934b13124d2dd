#include "quor/ingest/internal/worker_pool.h"

#include <sched.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

#include <oneapi/tbb/global_control.h>

namespace quor::ingest {

size_t worker_count_from_environment() {
  if (const char* env = std::getenv("RAYON_NUM_THREADS")) {
    size_t n = 0;
    const char* end = env + std::strlen(env);
    auto [ptr, ec] = std::from_chars(env, end, n);
    if (ec == std::errc() && ptr == end && n > 0) return n;
  }
  // The processors this process may run on (a container or taskset limits
  // them), not every processor of the machine.
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  unsigned hw = std::thread::hardware_concurrency();
  return hw == 0 ? 1 : hw;
}

oneapi::tbb::task_arena& worker_arena() {
  struct Pool {
    std::unique_ptr<oneapi::tbb::global_control> limit;
    std::unique_ptr<oneapi::tbb::task_arena> arena;
    Pool() {
      const size_t n = worker_count_from_environment();
      // Let the arena have more threads than processors when asked to.
      if (n > oneapi::tbb::global_control::active_value(
                  oneapi::tbb::global_control::max_allowed_parallelism))
        limit = std::make_unique<oneapi::tbb::global_control>(
            oneapi::tbb::global_control::max_allowed_parallelism, n);
      arena = std::make_unique<oneapi::tbb::task_arena>(static_cast<int>(n));
    }
  };
  static Pool pool;
  return *pool.arena;
}

}  // namespace quor::ingest
