#include "quor/ingest/schema_inference.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "quor/ingest/internal/value_text.h"
#include "quor/util/ascii.h"
#include "quor/util/float_text.h"
#include "quor/util/utf8.h"

namespace quor::ingest {

namespace {

std::optional<double> numeric_value(const util::JsonValue& v) {
  if (const auto* n = v.as_number()) return n->as_double();
  if (const auto* s = v.as_string()) return util::parse_float(*s);
  return std::nullopt;
}

// Whether fewer than `limit` of `nums` differ by their bit patterns.
bool fewer_distinct_than(const std::vector<double>& nums, size_t limit, std::vector<uint64_t>& bits) {
  bits.clear();
  for (double x : nums) bits.push_back(std::bit_cast<uint64_t>(x));
  std::sort(bits.begin(), bits.end());
  return static_cast<size_t>(std::unique(bits.begin(), bits.end()) - bits.begin()) < limit;
}

// Working room reused from column to column.
struct Scratch {
  std::vector<double> nums;
  std::vector<uint64_t> bits;
};

// The proposal for one column, or nothing.
void decide_column(const std::string& name, std::span<const util::JsonValue* const> values,
                   const IngestOptions& options, Scratch& scratch, model::Schema& out) {
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
  std::vector<double>& nums = scratch.nums;
  nums.clear();
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
      for (double x : nums) {
        if (!(x - std::trunc(x) == 0.0)) integral = false;
      }
      // Year-like: integral, within 1900..2100, at most 200 distinct values
      // (counted only when the rest holds).
      if (integral && lo >= 1900.0 && hi <= 2100.0 && fewer_distinct_than(nums, 201, scratch.bits)) {
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
  // Column discovery, with every entry's column number noted. The records
  // of one file mostly hold the same names, so an entry's name is first
  // compared with the column the record before had at the same place, and
  // looked up only when that differs.
  std::vector<const std::string*> columns;
  std::unordered_map<std::string_view, uint32_t> index;
  std::vector<uint32_t> entry_column;  // per entry of the sample, in order
  std::vector<size_t> non_null;        // per column
  size_t previous = 0;                 // where the record before starts in entry_column
  for (size_t r = 0; r < count; ++r) {
    const size_t start = entry_column.size();
    const size_t previous_size = start - previous;
    size_t k = 0;
    for (const auto& [name, value] : records[r]) {
      uint32_t c;
      if (k < previous_size && *columns[entry_column[previous + k]] == name) {
        c = entry_column[previous + k];
      } else {
        auto [it, added] = index.try_emplace(name, static_cast<uint32_t>(columns.size()));
        if (added) {
          columns.push_back(&name);
          non_null.push_back(0);
        }
        c = it->second;
      }
      entry_column.push_back(c);
      if (!value.is_null()) ++non_null[c];
      ++k;
    }
    previous = start;
  }

  // Each column's non-null values in record order, columns side by side in
  // one list.
  std::vector<size_t> first(columns.size() + 1, 0);
  for (size_t c = 0; c < columns.size(); ++c) first[c + 1] = first[c] + non_null[c];
  std::vector<const util::JsonValue*> values(first.back());
  std::vector<size_t> next(first.begin(), first.end() - 1);
  size_t e = 0;
  for (size_t r = 0; r < count; ++r) {
    for (const auto& [name, value] : records[r]) {
      const uint32_t c = entry_column[e++];
      if (!value.is_null()) values[next[c]++] = &value;
    }
  }

  model::Schema schema;
  Scratch scratch;
  for (size_t c = 0; c < columns.size(); ++c) {
    decide_column(*columns[c], std::span<const util::JsonValue* const>(values.data() + first[c], non_null[c]),
                  options, scratch, schema);
  }
  return schema;
}

bool is_date_like(std::string_view text) {
  std::string_view t = util::trim_unicode_white_space(text);
  if (t.size() < 10) return false;
  auto sep = [](char c) { return c == '-' || c == '/'; };
  return util::is_ascii_digit(t[0]) && util::is_ascii_digit(t[1]) && util::is_ascii_digit(t[2]) && util::is_ascii_digit(t[3]) && sep(t[4]) &&
         util::is_ascii_digit(t[5]) && util::is_ascii_digit(t[6]) && sep(t[7]) && util::is_ascii_digit(t[8]) && util::is_ascii_digit(t[9]);
}

}  // namespace quor::ingest
