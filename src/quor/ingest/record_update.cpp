#include "quor/ingest/record_update.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/date_bucket.h"
#include "quor/ingest/update_core.h"
#include "quor/ingest/value_text.h"
#include "quor/ingest/worker_pool.h"

namespace quor::ingest {

namespace internal {

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
    case ValueRef::Kind::Number: append_json_number(out, v.num); return;
    case ValueRef::Kind::String: append_json_string(out, v.str); return;
    default: append_json_value(out, *v.full); return;
  }
}

void RowView::reset(size_t ndims, size_t nvars) {
  has_dim.assign(ndims, 0);
  dims.resize(ndims);
  has_val.assign(nvars, 0);
  vals.resize(nvars);
  if (scratch.size() < ndims + nvars) scratch.resize(ndims + nvars);
}

void ObservationListSource::load(size_t i, RowView& row) const {
  const Observation& o = obs_[i];
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

std::optional<uint64_t> CompiledSchema::Variable::find_category(std::string_view text) const {
  if (!category_index.empty()) {
    auto it = category_index.find(text);
    if (it == category_index.end()) return std::nullopt;
    return it->second;
  }
  return category_position(*categories, text);
}

int64_t CompiledSchema::Variable::bin_of(const ValueRef& v) const {
  double x;
  if (v.kind == ValueRef::Kind::Number) {
    x = v.num.as_double();
  } else if (v.kind == ValueRef::Kind::String) {
    auto parsed = parse_float_text(v.str);
    if (!parsed) return kNoSlot;
    x = *parsed;
  } else {
    return kNoSlot;
  }
  // No bin exists without bins, and none for an empty or reversed range (a
  // width that is not a number goes on, and lands in bin 0 below).
  if (bins == 0 || width <= 0.0) return kNoSlot;
  const double q = std::floor((x - lo) / width);
  int64_t k;
  if (std::isnan(q)) k = 0;
  else if (q >= 9223372036854775807.0) k = std::numeric_limits<int64_t>::max();
  else if (q <= -9223372036854775808.0) k = std::numeric_limits<int64_t>::min();
  else k = static_cast<int64_t>(q);
  if (k < 0) return 0;
  if (k > static_cast<int64_t>(bins) - 1) return static_cast<int64_t>(bins) - 1;
  return k;
}

CompiledSchema::CompiledSchema(const store::Schema& s) : schema(s) {
  const size_t nv = s.variables.size();
  vars.resize(nv);
  acc_var.resize(nv);
  std::unordered_map<std::string_view, size_t> first_of;
  for (size_t v = 0; v < nv; ++v) {
    const auto& def = s.variables[v];
    auto [it, added] = first_of.try_emplace(def.name, v);
    acc_var[v] = it->second;
    if (added) payload_vars.push_back(v);
    Variable& cv = vars[v];
    if (const auto* cat = std::get_if<store::CategoricalType>(&def.var_type)) {
      cv.categorical = true;
      cv.categories = &cat->categories;
      cv.allow_unknown = cat->allow_unknown;
      if (cat->categories.size() > 8)
        for (size_t i = 0; i < cat->categories.size(); ++i)
          cv.category_index.try_emplace(cat->categories[i], i);
    } else {
      const auto& cont = std::get<store::ContinuousType>(def.var_type);
      cv.bins = cont.bins;
      if (cont.range) {
        cv.lo = cont.range->first;
        cv.hi = cont.range->second;
      }
      cv.width = (cv.hi - cv.lo) / static_cast<double>(cv.bins);
    }
  }
  std::sort(payload_vars.begin(), payload_vars.end(),
            [&](size_t a, size_t b) { return s.variables[a].name < s.variables[b].name; });
  for (size_t v : payload_vars) {
    std::string name;
    append_json_string(name, s.variables[v].name);
    name += ':';
    payload_names.push_back(std::move(name));
  }

  std::unordered_map<std::string_view, size_t> last_dim;
  for (size_t d = 0; d < s.dimensions.size(); ++d) last_dim.insert_or_assign(s.dimensions[d].name, d);
  for (const auto& [name, d] : last_dim) key_dims.push_back(d);
  std::sort(key_dims.begin(), key_dims.end(),
            [&](size_t a, size_t b) { return s.dimensions[a].name < s.dimensions[b].name; });

  for (size_t j = 0; j < s.joints.size(); ++j) {
    const auto& [a, b] = s.joints[j];
    Joint cj;
    if (auto it = first_of.find(a); it != first_of.end()) cj.a = static_cast<int64_t>(it->second);
    if (auto it = first_of.find(b); it != first_of.end()) cj.b = static_cast<int64_t>(it->second);
    cj.a_first = !(b < a);
    cj.tally = j;
    for (size_t k = 0; k < j; ++k)
      if (s.joints[k] == s.joints[j]) {
        cj.tally = k;
        break;
      }
    joints.push_back(cj);
  }
}

size_t CompiledSchema::num_slots_of(size_t v) const {
  return vars[v].categorical ? vars[v].categories->size() : vars[v].bins;
}

namespace {

// The text a categorical variable looks up for a value.
std::string_view category_text(const ValueRef& v, char* buf) {
  if (v.kind == ValueRef::Kind::String) return v.str;
  if (v.kind == ValueRef::Kind::Number) {
    if (v.num.kind == util::JsonNumber::Kind::NegInt) {
      auto r = std::to_chars(buf, buf + 32, v.num.i);
      return {buf, static_cast<size_t>(r.ptr - buf)};
    }
    if (v.num.kind == util::JsonNumber::Kind::PosInt &&
        v.num.u <= static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      auto r = std::to_chars(buf, buf + 32, v.num.u);
      return {buf, static_cast<size_t>(r.ptr - buf)};
    }
  }
  return "unknown";
}

void append_u32(std::string& out, uint32_t n) {
  char b[4];
  std::memcpy(b, &n, 4);
  out.append(b, 4);
}

// Computes observation `i` of the slice into position `k` of `out`.
void compute_one(const CompiledSchema& cs, RowView& row, size_t k, std::string& label,
                 bool want_payload, BatchUpdates& out, const KeyIndex* keys) {
  const auto& dims = cs.schema.dimensions;
  for (size_t d = 0; d < dims.size(); ++d) {
    if (!row.has_dim[d]) {
      out.present[k] = 0;
      return;
    }
  }
  out.present[k] = 1;
  std::string& key = out.keys[k];
  key.clear();
  for (size_t d : cs.key_dims) {
    label.clear();
    const auto& g = dims[d].granularity;
    if (g) append_bucket_label(label, row.dims[d], *g);
    else label.append(row.dims[d]);
    append_u32(key, static_cast<uint32_t>(label.size()));
    key += label;
  }
  out.key_hash[k] = std::hash<std::string_view>{}(key);
  out.key_id[k] = keys ? keys->find(key, out.key_hash[k]) : -1;

  const size_t nv = cs.vars.size();
  int64_t* slots = out.slots.data() + k * nv;
  char buf[32];
  for (size_t v = 0; v < nv; ++v) {
    slots[v] = kNoSlot;
    if (!row.has_val[v]) continue;
    const auto& var = cs.vars[v];
    if (var.categorical) {
      auto pos = var.find_category(category_text(row.vals[v], buf));
      if (pos) slots[v] = static_cast<int64_t>(*pos);
      else if (var.allow_unknown) slots[v] = kUnknownSlot;
    } else {
      slots[v] = var.bin_of(row.vals[v]);
    }
  }

  uint64_t* cells = out.cells.data() + k * cs.joints.size() * 2;
  for (size_t j = 0; j < cs.joints.size(); ++j) {
    cells[2 * j] = kNoCell;
    cells[2 * j + 1] = kNoCell;
    const auto& jt = cs.joints[j];
    if (jt.a < 0 || jt.b < 0) continue;
    const size_t a = static_cast<size_t>(jt.a), b = static_cast<size_t>(jt.b);
    if (!row.has_val[a] || !row.has_val[b]) continue;
    const auto& va = cs.vars[a];
    const auto& vb = cs.vars[b];
    const ValueRef& xa = row.vals[a];
    const ValueRef& xb = row.vals[b];
    auto text_pos = [&](const CompiledSchema::Variable& var, const ValueRef& x) -> std::optional<uint64_t> {
      if (x.kind != ValueRef::Kind::String) return std::nullopt;
      return var.find_category(x.str);
    };
    std::optional<uint64_t> cx, cy;
    if (va.categorical && vb.categorical) {
      cx = jt.a_first ? text_pos(va, xa) : text_pos(vb, xb);
      cy = jt.a_first ? text_pos(vb, xb) : text_pos(va, xa);
    } else if (va.categorical != vb.categorical) {
      const bool a_cat = va.categorical;
      cx = a_cat ? text_pos(va, xa) : text_pos(vb, xb);
      int64_t bin = a_cat ? vb.bin_of(xb) : va.bin_of(xa);
      if (bin != kNoSlot) cy = static_cast<uint64_t>(bin);
    } else {
      int64_t bx = jt.a_first ? va.bin_of(xa) : vb.bin_of(xb);
      int64_t by = jt.a_first ? vb.bin_of(xb) : va.bin_of(xa);
      if (bx != kNoSlot) cx = static_cast<uint64_t>(bx);
      if (by != kNoSlot) cy = static_cast<uint64_t>(by);
    }
    if (!cx || !cy) continue;
    cells[2 * j] = *cx;
    cells[2 * j + 1] = *cy;
  }

  if (want_payload) {
    std::string& p = out.payloads[k];
    p.clear();
    p += "{\"payload\":{";
    bool first = true;
    for (size_t i = 0; i < cs.payload_vars.size(); ++i) {
      const size_t v = cs.payload_vars[i];
      if (!row.has_val[v]) continue;
      if (!first) p += ',';
      first = false;
      p += cs.payload_names[i];
      append_value_json(p, row.vals[v]);
    }
    p += "},\"record_id\":";
  }
}

}  // namespace

void compute_batch(const CompiledSchema& cs, const ObservationSource& src, size_t begin,
                   size_t end, bool want_payloads, BatchUpdates& out, const KeyIndex* keys) {
  const size_t n = end - begin;
  const size_t nv = cs.vars.size(), nj = cs.joints.size();
  out.n = n;
  out.nvars = nv;
  out.njoints = nj;
  out.present.assign(n, 0);
  if (out.keys.size() < n) out.keys.resize(n);
  out.key_hash.resize(n);
  out.key_id.resize(n);
  out.slots.resize(n * nv);
  out.cells.resize(n * nj * 2);
  if (want_payloads && out.payloads.size() < n) out.payloads.resize(n);
  const size_t ndims = cs.schema.dimensions.size();
  auto work = [&](const oneapi::tbb::blocked_range<size_t>& r) {
    RowView row;
    std::string label;
    for (size_t k = r.begin(); k != r.end(); ++k) {
      row.reset(ndims, nv);
      src.load(begin + k, row);
      compute_one(cs, row, k, label, want_payloads, out, keys);
    }
  };
  if (n <= 64) {
    work(oneapi::tbb::blocked_range<size_t>(0, n));
    return;
  }
  worker_arena().execute(
      [&] { oneapi::tbb::parallel_for(oneapi::tbb::blocked_range<size_t>(0, n, 64), work); });
}

store::DimensionMap decode_key(const CompiledSchema& cs, std::string_view blob) {
  store::DimensionMap map;
  size_t pos = 0;
  for (size_t d : cs.key_dims) {
    uint32_t len;
    std::memcpy(&len, blob.data() + pos, 4);
    pos += 4;
    map.emplace_hint(map.end(), cs.schema.dimensions[d].name, std::string(blob.substr(pos, len)));
    pos += len;
  }
  return map;
}

}  // namespace internal

std::optional<uint64_t> category_position(const std::vector<std::string>& categories,
                                          std::string_view text) {
  for (size_t i = 0; i < categories.size(); ++i)
    if (categories[i] == text) return i;
  return std::nullopt;
}

namespace {

std::optional<RecordUpdate> to_record_update(const internal::CompiledSchema& cs,
                                             const internal::BatchUpdates& u, size_t k,
                                             const Observation& obs) {
  if (!u.present[k]) return std::nullopt;
  RecordUpdate out;
  const auto& schema = cs.schema;
  for (size_t v = 0; v < cs.vars.size(); ++v) {
    const int64_t s = u.slots[k * cs.vars.size() + v];
    if (s == internal::kNoSlot) continue;
    CountSlot slot = s == internal::kUnknownSlot ? CountSlot::unknown()
                     : cs.vars[v].categorical    ? CountSlot::category(static_cast<uint64_t>(s))
                                                 : CountSlot::bin(static_cast<uint64_t>(s));
    out.variable_updates.push_back({schema.variables[v].name, slot});
  }
  for (size_t j = 0; j < cs.joints.size(); ++j) {
    const uint64_t* c = u.cells.data() + (k * cs.joints.size() + j) * 2;
    if (c[0] == internal::kNoCell) continue;
    out.joint_updates.push_back({schema.joints[j], c[0], c[1]});
  }
  out.dimension_key = internal::decode_key(cs, u.keys[k]);
  util::JsonObject payload;
  for (const auto& [name, value] : obs.values) payload.emplace(name, value);
  out.payload = util::JsonValue(std::move(payload));
  return out;
}

}  // namespace

std::optional<RecordUpdate> compute_record_update(const store::Schema& schema,
                                                  const Observation& observation) {
  internal::CompiledSchema cs(schema);
  internal::ObservationListSource src(schema, &observation, 1);
  internal::BatchUpdates u;
  internal::compute_batch(cs, src, 0, 1, false, u);
  return to_record_update(cs, u, 0, observation);
}

std::vector<std::optional<RecordUpdate>> compute_record_updates(
    const store::Schema& schema, std::span<const Observation> observations) {
  internal::CompiledSchema cs(schema);
  internal::ObservationListSource src(schema, observations.data(), observations.size());
  internal::BatchUpdates u;
  internal::compute_batch(cs, src, 0, observations.size(), false, u);
  std::vector<std::optional<RecordUpdate>> out;
  out.reserve(observations.size());
  for (size_t k = 0; k < observations.size(); ++k)
    out.push_back(to_record_update(cs, u, k, observations[k]));
  return out;
}

}  // namespace quor::ingest
