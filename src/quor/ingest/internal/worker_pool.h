// The process-wide worker pool of ingestion.
#pragma once

#include <cstddef>

#include <oneapi/tbb/task_arena.h>

namespace quor::ingest {

// The pool's size: RAYON_NUM_THREADS when it holds a positive integer,
// otherwise the number of processors this process may run on (its CPU
// affinity), or of the machine when that cannot be read.
size_t worker_count_from_environment();

// The one pool of the process, started on first use with
// worker_count_from_environment() threads. Work run through it (execute)
// uses at most that many threads, the caller's included.
oneapi::tbb::task_arena& worker_arena();

}  // namespace quor::ingest
