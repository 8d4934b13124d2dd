#include "quor/ingest/internal/observation_view.h"

#include "quor/util/json.h"

namespace quor::ingest::internal {

ValueRef view_of(const util::JsonValue& v) {
  ValueRef r;
  r.full = &v;
  switch (v.v.index()) {
    case 0: r.kind = ValueRef::Kind::Null; break;
    case 1: r.kind = ValueRef::Kind::Bool; r.b = *v.as_bool(); break;
    case 2: r.kind = ValueRef::Kind::Number; r.num = *v.as_number(); break;
    case 3: r.kind = ValueRef::Kind::String; r.str = *v.as_string(); break;
    case 4: r.kind = ValueRef::Kind::Array; break;
    default: r.kind = ValueRef::Kind::Object; break;
  }
  return r;
}

void append_value_json(std::string& out, const ValueRef& v) {
  switch (v.kind) {
    case ValueRef::Kind::Null: out += "null"; return;
    case ValueRef::Kind::Bool: out += v.b ? "true" : "false"; return;
    case ValueRef::Kind::Number: util::write_json_number(out, v.num); return;
    case ValueRef::Kind::String: util::write_json_string(out, v.str); return;
    default: util::write_json(out, *v.full); return;
  }
}

void RowView::resize(size_t ndims, size_t nvars) {
  has_dim.resize(ndims);
  dims.resize(ndims);
  has_val.resize(nvars);
  vals.resize(nvars);
  if (scratch.size() < ndims + nvars) scratch.resize(ndims + nvars);
}

bool ObservationListSource::has_all_dims(size_t i) const {
  const Observation& o = obs_[i];
  for (const auto& d : schema_.dimensions)
    if (o.dimensions.find(d.name) == o.dimensions.end()) return false;
  return true;
}

void ObservationListSource::load(size_t i, RowView& row) const {
  const Observation& o = obs_[i];
  row.clear_marks();
  for (size_t d = 0; d < schema_.dimensions.size(); ++d) {
    auto it = o.dimensions.find(schema_.dimensions[d].name);
    if (it == o.dimensions.end()) continue;
    row.has_dim[d] = 1;
    row.dims[d] = it->second;
  }
  for (size_t v = 0; v < schema_.variables.size(); ++v) {
    auto it = o.values.find(schema_.variables[v].name);
    if (it == o.values.end()) continue;
    row.has_val[v] = 1;
    row.vals[v] = view_of(it->second);
  }
}

}  // namespace quor::ingest::internal
