// Schema inference: a proposed schema from the first records of an input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "quor/ingest/input_record.h"
#include "quor/model/model.h"

namespace quor::ingest {

// The options of a file ingest. A default-constructed value holds the
// defaults every ingest starts from; the caller sets date_granularity.
struct IngestOptions {
  // Columns that always become date dimensions.
  std::vector<std::string> date_columns;
  // Granularity of every date or year dimension that inference proposes.
  std::string date_granularity;
  // Number of leading records that inference looks at.
  uint64_t sample_size = 1000;
  // Largest number of distinct texts that still makes a categorical variable.
  uint64_t max_categories = 50;
};

// Proposes a schema from the first `count` records (at most records.size()):
// columns in discovery order (record order, then name order within a
// record), each becoming a continuous or categorical variable, a dimension,
// or nothing. Never proposes joints. Cannot fail.
model::Schema infer_schema(const std::vector<InputRecord>& records, size_t count,
                           const IngestOptions& options);

// Whether a text looks like a date to inference: at least 10 bytes after
// trimming Unicode white space, digits at 1-4, "-" or "/" at 5, digits at
// 6-7, "-" or "/" at 8, digits at 9-10; anything may follow.
bool is_date_like(std::string_view text);

}  // namespace quor::ingest
