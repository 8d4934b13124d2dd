// Internal to ingestion: the schema as the per-record step uses it, worked
// out once per batch instead of once per record.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quor/ingest/internal/key_table.h"
#include "quor/ingest/internal/observation_view.h"
#include "quor/model/model.h"
#include "quor/util/float_text.h"
#include "quor/util/linear_probe.h"
#include "quor/util/saturating.h"

namespace quor::ingest::internal {

// Slot values of a variable in the step's compact output: a category or bin
// index (0 and up), or one of these.
constexpr int64_t kNoSlot = -1;
constexpr int64_t kUnknownSlot = -2;
// A joint pair that yields no cell.
constexpr uint64_t kNoCell = UINT64_MAX;

// Per variable: its kind with the parameters the step needs (a category
// lookup, the bin width); per joint definition: the variables it pairs and
// its axis order; the payload members and key dimensions in name order.
// Borrows `schema`, which must outlive it and stay unchanged.
class CompiledSchema {
 public:
  explicit CompiledSchema(const model::Schema& schema);

  struct Variable {
    bool categorical = false;
    const std::vector<std::string>* categories = nullptr;
    bool allow_unknown = false;
    // Filled for long category lists only: open addressing over the
    // categories by util::text_hash, category + 1 per slot (0 empty), the
    // first of equal texts only. Short lists are searched in order.
    std::vector<uint32_t> category_slots;
    uint32_t bins = 0;
    double lo = 0.0, hi = 1.0, width = 0.0;
    std::optional<uint64_t> find_category(std::string_view text) const;
    // kNoSlot when the value gives no bin.
    int64_t bin_of(const ValueRef& v) const;
  };
  struct Joint {
    int64_t a = -1, b = -1;  // first variable of each name, -1 when missing
    bool a_first = true;     // a's name sorts first (or ties)
    size_t tally = 0;        // first joint listing the same pair of names
  };

  const model::Schema& schema;
  std::vector<Variable> vars;
  std::vector<size_t> first_var_of_name;  // per variable: the first variable of its name
  std::vector<size_t> payload_vars;  // one per distinct name, by name
  std::vector<std::string> payload_names;  // "\"name\":" of each payload variable
  std::vector<size_t> key_dims;      // one per distinct dimension name, by name
  std::vector<Joint> joints;
  size_t num_slots_of(size_t v) const;  // cells of a dense tally
};

// Short plain decimals read in one division (the rule lives in util).
using util::plain_decimal;

// Called for every value of every record: kept inline for the step's loop.
inline std::optional<uint64_t> CompiledSchema::Variable::find_category(std::string_view text) const {
  if (!category_slots.empty()) {
    const uint32_t s = category_slots[util::probe_find(
        category_slots.data(), category_slots.size() - 1, util::text_hash(text), [&](uint32_t slot) {
          const std::string& c = (*categories)[slot - 1];
          return c.size() == text.size() && util::bytes_equal(c.data(), text.data(), text.size());
        })];
    if (s == 0) return std::nullopt;
    return s - 1;
  }
  for (size_t i = 0; i < categories->size(); ++i) {
    const std::string& c = (*categories)[i];
    if (c.size() == text.size() && util::bytes_equal(c.data(), text.data(), text.size())) return i;
  }
  return std::nullopt;
}

inline int64_t CompiledSchema::Variable::bin_of(const ValueRef& v) const {
  double x;
  if (v.kind == ValueRef::Kind::Number) {
    x = v.num.as_double();
  } else if (v.kind == ValueRef::Kind::String) {
    if (!plain_decimal(v.str, x)) {
      auto parsed = util::parse_float(v.str);
      if (!parsed) return kNoSlot;
      x = *parsed;
    }
  } else {
    return kNoSlot;
  }
  // No bin exists without bins, and none for an empty or reversed range (a
  // width that is not a number goes on, and lands in bin 0 below).
  if (bins == 0 || width <= 0.0) return kNoSlot;
  const int64_t k = util::floor_to_int64_saturating((x - lo) / width);
  if (k < 0) return 0;
  if (k > static_cast<int64_t>(bins) - 1) return static_cast<int64_t>(bins) - 1;
  return k;
}

}  // namespace quor::ingest::internal
