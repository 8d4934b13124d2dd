// Internal to ingestion: the compact form of the per-record step that the
// batched apply runs. Observations are read through ObservationSource, so a
// parsed CSV file is used in place, without a map per record.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quor/ingest/preparation.h"
#include "quor/store/model.h"
#include "quor/util/json_value.h"

namespace quor::ingest::internal {

// A borrowed input value.
struct ValueRef {
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool b = false;
  util::JsonNumber num;
  std::string_view str;
  const util::JsonValue* full = nullptr;  // the whole value when one exists
};
ValueRef view_of(const util::JsonValue& v);
void append_value_json(std::string& out, const ValueRef& v);

// One observation as the step reads it, by schema positions.
struct RowView {
  std::vector<uint8_t> has_dim;
  std::vector<std::string_view> dims;  // per schema dimension
  std::vector<uint8_t> has_val;
  std::vector<ValueRef> vals;  // per schema variable
  std::vector<std::string> scratch;
  void reset(size_t ndims, size_t nvars);
};

// Read access to a list of prepared observations.
class ObservationSource {
 public:
  virtual ~ObservationSource() = default;
  virtual size_t size() const = 0;
  // Fills `row` (already reset to the schema's sizes) for observation i.
  virtual void load(size_t i, RowView& row) const = 0;
};

// Observations held as Observation values.
class ObservationListSource final : public ObservationSource {
 public:
  ObservationListSource(const store::Schema& schema, const Observation* obs, size_t n)
      : schema_(schema), obs_(obs), n_(n) {}
  size_t size() const override { return n_; }
  void load(size_t i, RowView& row) const override;

 private:
  const store::Schema& schema_;
  const Observation* obs_;
  size_t n_;
};

constexpr int64_t kNoSlot = -1;
constexpr int64_t kUnknownSlot = -2;
constexpr uint64_t kNoCell = UINT64_MAX;

// The schema prepared for the step.
class CompiledSchema {
 public:
  explicit CompiledSchema(const store::Schema& schema);

  struct Variable {
    bool categorical = false;
    const std::vector<std::string>* categories = nullptr;
    bool allow_unknown = false;
    std::unordered_map<std::string_view, uint64_t> category_index;  // first match
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

  const store::Schema& schema;
  std::vector<Variable> vars;
  std::vector<size_t> acc_var;       // per variable: first variable of its name
  std::vector<size_t> payload_vars;  // one per distinct name, by name
  std::vector<std::string> payload_names;  // "\"name\":" of each payload variable
  std::vector<size_t> key_dims;      // one per distinct dimension name, by name
  std::vector<Joint> joints;
  size_t num_slots_of(size_t v) const;  // cells of a dense tally
};

// Read-only lookup of dimension keys already known to the caller, used by
// the workers while nobody adds keys.
class KeyIndex {
 public:
  virtual ~KeyIndex() = default;
  // The key's number, or -1 when it is not known yet.
  virtual int64_t find(std::string_view blob, uint64_t hash) const = 0;
};

// The compact updates of one slice.
struct BatchUpdates {
  size_t n = 0, nvars = 0, njoints = 0;
  std::vector<uint8_t> present;
  std::vector<std::string> keys;  // encoded label tuple (length-prefixed, by name)
  std::vector<uint64_t> key_hash;
  std::vector<int64_t> key_id;     // from the KeyIndex, -1 when unknown
  std::vector<int64_t> slots;      // n * nvars
  std::vector<uint64_t> cells;     // n * njoints * 2
  // When asked for: the start of each record's raw-log line, up to and
  // including "record_id": (the caller appends the identifier).
  std::vector<std::string> payloads;
};

// Computes observations [begin, end) of `src` on the worker pool.
void compute_batch(const CompiledSchema& schema, const ObservationSource& src, size_t begin,
                   size_t end, bool want_payloads, BatchUpdates& out,
                   const KeyIndex* keys = nullptr);

// Decodes an encoded label tuple into a dimension map.
store::DimensionMap decode_key(const CompiledSchema& schema, std::string_view blob);

}  // namespace quor::ingest::internal
