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
#include "quor/model/model.h"
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
  // 1 when every observation has a text for every schema dimension, 0 when
  // none has, -1 when it varies (then has_all_dims answers per observation).
  virtual int uniform_presence() const { return -1; }
  virtual bool has_all_dims(size_t i) const = 0;
};

// Observations held as Observation values.
class ObservationListSource final : public ObservationSource {
 public:
  ObservationListSource(const model::Schema& schema, const Observation* obs, size_t n)
      : schema_(schema), obs_(obs), n_(n) {}
  size_t size() const override { return n_; }
  void load(size_t i, RowView& row) const override;
  bool has_all_dims(size_t i) const override;

 private:
  const model::Schema& schema_;
  const Observation* obs_;
  size_t n_;
};

constexpr int64_t kNoSlot = -1;
constexpr int64_t kUnknownSlot = -2;
constexpr uint64_t kNoCell = UINT64_MAX;

// The schema prepared for the step.
class CompiledSchema {
 public:
  explicit CompiledSchema(const model::Schema& schema);

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

  const model::Schema& schema;
  std::vector<Variable> vars;
  std::vector<size_t> acc_var;       // per variable: first variable of its name
  std::vector<size_t> payload_vars;  // one per distinct name, by name
  std::vector<std::string> payload_names;  // "\"name\":" of each payload variable
  std::vector<size_t> key_dims;      // one per distinct dimension name, by name
  std::vector<Joint> joints;
  size_t num_slots_of(size_t v) const;  // cells of a dense tally
};

class KeyTable;

// The compact updates of one slice. A record's key is given as label ids
// (kNoLabel where the raw text is not interned yet, with `pending` then
// holding every key dimension's raw text and label) and as the key's number
// when the whole key is known (-1 otherwise).
struct BatchUpdates {
  size_t n = 0, nvars = 0, njoints = 0, nkeydims = 0;
  std::vector<uint8_t> present;
  std::vector<uint32_t> labels;    // n * nkeydims
  std::vector<int64_t> key_id;
  std::vector<uint8_t> has_pending;
  std::vector<std::string> pending;  // per key dimension: u32 length, raw, u32 length, label
  std::vector<int64_t> slots;      // n * nvars
  std::vector<uint64_t> cells;     // n * njoints * 2
  // Raw-log lines, when asked for: whole lines of consecutive records in
  // blocks of kLineBlock records, identifiers counted from first_id over the
  // present records; line_length per record (0 when absent).
  static constexpr size_t kLineBlock = 256;
  bool lines = false;
  uint64_t first_id = 0;
  std::vector<std::string> blocks;
  std::vector<uint32_t> line_length;
};

// Computes observations [begin, end) of `src` on the worker pool. Key
// texts are looked up in `keys` (read only; none: every key is pending).
// With `want_lines`, the raw-log lines are written with identifiers from
// `first_id`.
void compute_batch(const CompiledSchema& schema, const ObservationSource& src, size_t begin,
                   size_t end, bool want_lines, uint64_t first_id, BatchUpdates& out,
                   const KeyTable* keys = nullptr);

// Reads the (raw, label) pair of key dimension `d` from a pending key.
std::pair<std::string_view, std::string_view> pending_texts(std::string_view pending, size_t d);

// The dimension map of record k of `u`, from its pending texts or from the
// key table.
model::DimensionMap dimension_map_of(const CompiledSchema& schema, const BatchUpdates& u, size_t k,
                                     const KeyTable* keys);
// The dimension map of a key of the table.
model::DimensionMap key_dimension_map(const CompiledSchema& schema, const KeyTable& keys,
                                      uint32_t key);

}  // namespace quor::ingest::internal
