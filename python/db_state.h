// What an open QuorDB holds: the engine state and its comparison cache.
#pragma once

#include <memory>

#include "quor/analytics/compare_cache.h"
#include "quor/store/database.h"

namespace quor::python {

struct DbState {
  store::Database db;
  std::shared_ptr<analytics::CompareCache> cache;
};

}  // namespace quor::python
