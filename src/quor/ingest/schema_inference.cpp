#include "quor/ingest/schema_inference.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "quor/ingest/value_text.h"

namespace quor::ingest {

namespace {

std::optional<double> numeric_value(const util::JsonValue& v) {
  if (const auto* n = v.as_number()) return n->as_double();
  if (const auto* s = v.as_string()) return parse_float_text(*s);
  return std::nullopt;
}

// The proposal for one column, or nothing.
void decide_column(const std::string& name, const std::vector<const util::JsonValue*>& values,
                   const IngestOptions& options, model::Schema& out) {
  auto date_dimension = [&] {
    out.dimensions.push_back({name, name, options.date_granularity});
  };
  if (std::find(options.date_columns.begin(), options.date_columns.end(), name) !=
      options.date_columns.end()) {
    date_dimension();
    return;
  }
  if (values.empty()) return;

  // Numeric test and range.
  std::vector<double> nums;
  nums.reserve(values.size());
  bool numeric = true;
  for (const auto* v : values) {
    auto x = numeric_value(*v);
    if (!x) {
      numeric = false;
      break;
    }
    nums.push_back(*x);
  }
  if (numeric) {
    double lo = std::numeric_limits<double>::infinity();
    double hi = -std::numeric_limits<double>::infinity();
    for (double x : nums) {
      if (x < lo) lo = x;
      if (x > hi) hi = x;
    }
    if (std::isfinite(lo) && std::isfinite(hi)) {
      bool integral = true;
      std::unordered_set<uint64_t> distinct;
      for (double x : nums) {
        if (!(x - std::trunc(x) == 0.0)) integral = false;
        distinct.insert(std::bit_cast<uint64_t>(x));
      }
      if (integral && lo >= 1900.0 && hi <= 2100.0 && distinct.size() < 201) {
        date_dimension();
        return;
      }
      const double pad = (hi - lo) < 2.220446049250313e-16 ? 1.0 : 0.001 * (hi - lo);
      out.variables.push_back(
          {name, model::VariableType(model::ContinuousType{20, model::Range{lo, hi + pad}})});
      return;
    }
  }

  // Text column.
  bool all_dates = true;
  std::vector<std::string> order;
  std::unordered_set<std::string> seen;
  for (const auto* v : values) {
    std::string text = value_as_text(*v);
    if (all_dates && !is_date_like(text)) all_dates = false;
    if (seen.insert(text).second) order.push_back(std::move(text));
  }
  if (all_dates) {
    date_dimension();
  } else if (order.size() > options.max_categories) {
    out.dimensions.push_back({name, name, std::nullopt});
  } else {
    out.variables.push_back(
        {name, model::VariableType(model::CategoricalType{std::move(order), true})});
  }
}

}  // namespace

model::Schema infer_schema(const std::vector<InputRecord>& records, size_t count,
                           const IngestOptions& options) {
  count = std::min(count, records.size());
  std::vector<std::string> columns;
  std::unordered_map<std::string, size_t> index;
  std::vector<std::vector<const util::JsonValue*>> values;
  for (size_t r = 0; r < count; ++r) {
    for (const auto& [name, value] : records[r]) {
      auto [it, added] = index.try_emplace(name, columns.size());
      if (added) {
        columns.push_back(name);
        values.emplace_back();
      }
      if (!value.is_null()) values[it->second].push_back(&value);
    }
  }
  model::Schema schema;
  for (size_t c = 0; c < columns.size(); ++c) decide_column(columns[c], values[c], options, schema);
  return schema;
}

}  // namespace quor::ingest
