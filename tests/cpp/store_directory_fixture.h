// What the directory and flush tests share: the data file names and a
// database with something in every record.
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "quor/store/database.h"
#include "reference/database_counts.h"

namespace quor::store::testing {

using reference::apply_counts;
using reference::finalize_updates;
using reference::HistogramCounts;
using reference::CategoricalCounts;

inline const char* const kDataFiles[] = {"meta.edb", "distributions.edb", "dist_index.edb",
                                         "snapshots.edb"};

// A database with a variable, a dimension and some counts.
inline void fill(Database& db) {
  ASSERT_TRUE(db.add_variable({"age", model::ContinuousType{4, model::Range{0.0, 100.0}}}).ok());
  ASSERT_TRUE(db.add_variable({"colour", model::CategoricalType{{"red", "blue"}, true}}).ok());
  ASSERT_TRUE(db.add_dimension({"region", "region", std::nullopt}).ok());
  const model::DimensionMap eu{{"region", "EU"}};
  HistogramCounts h;
  h.bins = {{0, 2}, {3, 1}};
  ASSERT_TRUE(apply_counts(db, "age", eu, h).ok());
  CategoricalCounts c;
  c.known = {{1, 4}};
  c.unknown = 1;
  ASSERT_TRUE(apply_counts(db, "colour", eu, c).ok());
  finalize_updates(db, {{"age", eu}, {"colour", eu}});
  ASSERT_TRUE(db.ensure_joint("colour", "age", eu).ok());
}

}  // namespace quor::store::testing
