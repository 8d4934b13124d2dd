// Runners and part sizes for the tests of what the store makes in parts on
// a pool: the parts' order of completion must never show in the bytes.
#pragma once

#include <cstddef>
#include <functional>
#include <thread>
#include <vector>

#include "quor/store/container.h"

namespace quor::store::testing {

// Every part in order, on this thread.
inline ParallelRunner in_order() {
  return [](size_t n, const std::function<void(size_t)>& fn) {
    for (size_t i = 0; i < n; ++i) fn(i);
  };
}

// The first part on this thread, the others backwards over four threads
// of their own.
inline ParallelRunner on_threads() {
  return [](size_t n, const std::function<void(size_t)>& fn) {
    std::vector<std::thread> threads;
    for (size_t t = 0; t < 4; ++t)
      threads.emplace_back([&fn, n, t] {
        for (size_t i = n; i-- > 1;)
          if (i % 4 == t) fn(i);
      });
    if (n > 0) fn(0);
    for (auto& th : threads) th.join();
  };
}

// Parts of `entries` entries, `rounds` parts a round, for the scope.
struct PartSizes {
  PartSizes(size_t entries, size_t rounds) { internal::set_image_parts_for_testing(entries, rounds); }
  ~PartSizes() { internal::set_image_parts_for_testing(0, 0); }
};

}  // namespace quor::store::testing
