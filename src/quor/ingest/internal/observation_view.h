// Internal to ingestion: how the per-record step reads one observation. The
// step works on borrowed values by schema position, so a parsed CSV file is
// read in place, without a map per record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "quor/ingest/csv_reader.h"
#include "quor/ingest/preparation.h"
#include "quor/model/model.h"
#include "quor/util/json_value.h"

namespace quor::ingest::internal {

// A borrowed input value: the scalar kinds held directly, arrays and
// objects through `full`. Valid while the value it was taken from lives.
struct ValueRef {
  enum class Kind : uint8_t { Null, Bool, Number, String, Array, Object };
  Kind kind = Kind::Null;
  bool b = false;
  util::JsonNumber num;
  std::string_view str;
  const util::JsonValue* full = nullptr;  // the whole value when one exists
};
ValueRef view_of(const util::JsonValue& v);
// The value as compact JSON text, the way the raw log writes it.
void append_value_json(std::string& out, const ValueRef& v);

// One observation as the step reads it, by schema positions: per schema
// dimension whether it has a text and the text, per schema variable whether
// it has a value and the value. `scratch` and `fields` are storage a source
// may use for texts it has to build and for a row's fields; they outlive the
// views into them until the next load. `segment` is where a CSV source found
// the last row it loaded into this view (a hint for the next).
struct RowView {
  std::vector<uint8_t> has_dim;
  std::vector<std::string_view> dims;  // per schema dimension
  std::vector<uint8_t> has_val;
  std::vector<ValueRef> vals;  // per schema variable
  std::vector<std::string> scratch;
  std::vector<CsvTable::FieldRef> fields;  // where a CSV row's fields lie
  size_t segment = 0;
  // Sized for rows of `ndims` dimensions and `nvars` variables (the values
  // themselves count only where marked).
  void fit(size_t ndims, size_t nvars) {
    if (has_dim.size() != ndims || has_val.size() != nvars) resize(ndims, nvars);
  }
  // Every mark cleared.
  void clear_marks() {
    if (!has_dim.empty()) std::memset(has_dim.data(), 0, has_dim.size());
    if (!has_val.empty()) std::memset(has_val.data(), 0, has_val.size());
  }

 private:
  void resize(size_t ndims, size_t nvars);
};

// Read access to a list of prepared observations. Implementations are read
// from several worker threads at once: load and has_all_dims must be safe
// to call concurrently.
class ObservationSource {
 public:
  virtual ~ObservationSource() = default;
  virtual size_t size() const = 0;
  // Fills `row` (fitted to the schema's sizes) for observation i: every
  // mark, and the value of each marked position.
  virtual void load(size_t i, RowView& row) const = 0;
  // 1 when every observation has a text for every schema dimension, 0 when
  // none has, -1 when it varies (then has_all_dims answers per observation).
  virtual int uniform_presence() const { return -1; }
  virtual bool has_all_dims(size_t i) const = 0;
};

// Observations held as Observation values (records from Python, and the
// records of a JSON-lines file). Borrows the schema and the observations.
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

}  // namespace quor::ingest::internal
