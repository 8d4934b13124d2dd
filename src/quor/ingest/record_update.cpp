#include "quor/ingest/record_update.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/date_bucket.h"
#include "quor/ingest/key_table.h"
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

bool ObservationListSource::has_all_dims(size_t i) const {
  const Observation& o = obs_[i];
  for (const auto& d : schema_.dimensions)
    if (o.dimensions.find(d.name) == o.dimensions.end()) return false;
  return true;
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
  for (size_t i = 0; i < categories->size(); ++i) {
    const std::string& c = (*categories)[i];
    if (c.size() == text.size() && bytes_equal(c.data(), text.data(), text.size())) return i;
  }
  return std::nullopt;
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

CompiledSchema::CompiledSchema(const model::Schema& s) : schema(s) {
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
    if (const auto* cat = std::get_if<model::CategoricalType>(&def.var_type)) {
      cv.categorical = true;
      cv.categories = &cat->categories;
      cv.allow_unknown = cat->allow_unknown;
      if (cat->categories.size() > 8)
        for (size_t i = 0; i < cat->categories.size(); ++i)
          cv.category_index.try_emplace(cat->categories[i], i);
    } else {
      const auto& cont = std::get<model::ContinuousType>(def.var_type);
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

void append_u32(std::string& out, size_t n) {
  const uint32_t v = static_cast<uint32_t>(n);
  char b[4];
  std::memcpy(b, &v, 4);
  out.append(b, 4);
}

// Computes observation `i` of the slice into position `k` of `out`; its
// raw-log line (when asked for) goes to the end of `line_out` with `id`.
void compute_one(const CompiledSchema& cs, RowView& row, size_t k, std::string& label,
                 BatchUpdates& out, const KeyTable* keys, std::string* line_out, uint64_t id) {
  const auto& dims = cs.schema.dimensions;
  for (size_t d = 0; d < dims.size(); ++d) {
    if (!row.has_dim[d]) {
      out.present[k] = 0;
      return;
    }
  }
  out.present[k] = 1;
  const size_t nkd = cs.key_dims.size();
  uint32_t* labels = out.labels.data() + k * nkd;
  bool known = keys != nullptr;
  for (size_t i = 0; i < nkd; ++i) {
    const std::string_view raw = row.dims[cs.key_dims[i]];
    labels[i] = keys ? keys->find_label(i, raw, KeyTable::text_hash(raw)) : kNoLabel;
    if (labels[i] == kNoLabel) known = false;
  }
  out.has_pending[k] = known ? 0 : 1;
  if (known) {
    out.key_id[k] = keys->find_key(labels, KeyTable::key_hash(labels, nkd));
  } else {
    // A text met for the first time: the calling thread interns it from
    // these texts, bucketed here once.
    out.key_id[k] = -1;
    std::string& p = out.pending[k];
    p.clear();
    for (size_t i = 0; i < nkd; ++i) {
      const size_t d = cs.key_dims[i];
      const std::string_view raw = row.dims[d];
      label.clear();
      const auto& g = dims[d].granularity;
      if (g) append_bucket_label(label, raw, *g);
      else label.append(raw);
      append_u32(p, raw.size());
      p.append(raw);
      append_u32(p, label.size());
      p += label;
    }
  }

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

  if (line_out != nullptr) {
    // The whole line, once, straight into its block.
    std::string& p = *line_out;
    const size_t before = p.size();
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
    auto r = std::to_chars(buf, buf + sizeof buf, id);
    p.append(buf, r.ptr);
    p += "}\n";
    out.line_length[k] = static_cast<uint32_t>(p.size() - before);
  }
}

}  // namespace

void compute_batch(const CompiledSchema& cs, const ObservationSource& src, size_t begin,
                   size_t end, bool want_lines, uint64_t first_id, BatchUpdates& out,
                   const KeyTable* keys) {
  const size_t n = end - begin;
  const size_t nv = cs.vars.size(), nj = cs.joints.size(), nkd = cs.key_dims.size();
  out.n = n;
  out.nvars = nv;
  out.njoints = nj;
  out.nkeydims = nkd;
  out.present.assign(n, 0);
  out.labels.resize(n * nkd);
  out.key_id.resize(n);
  out.has_pending.assign(n, 0);
  if (out.pending.size() < n) out.pending.resize(n);
  out.slots.resize(n * nv);
  out.cells.resize(n * nj * 2);
  out.lines = want_lines;
  out.first_id = first_id;
  const size_t kBlock = BatchUpdates::kLineBlock;
  const size_t nblocks = (n + kBlock - 1) / kBlock;
  // Identifier of each block's first line: the present records before it.
  std::vector<uint64_t> first_rank(nblocks + 1, 0);
  if (want_lines) {
    out.line_length.assign(n, 0);
    if (out.blocks.size() < nblocks) out.blocks.resize(nblocks);
    const int uniform = src.uniform_presence();
    if (uniform >= 0) {
      for (size_t c = 0; c < nblocks; ++c)
        first_rank[c + 1] = first_rank[c] + (uniform ? std::min(n, (c + 1) * kBlock) - c * kBlock : 0);
    } else {
      auto count = [&](size_t c) {
        uint64_t m = 0;
        for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k)
          m += src.has_all_dims(begin + k) ? 1 : 0;
        first_rank[c + 1] = m;
      };
      if (nblocks > 1)
        worker_arena().execute([&] { oneapi::tbb::parallel_for(size_t(0), nblocks, count); });
      else if (nblocks == 1)
        count(0);
      for (size_t c = 0; c < nblocks; ++c) first_rank[c + 1] += first_rank[c];
    }
  }
  const size_t ndims = cs.schema.dimensions.size();
  auto work = [&](size_t c) {
    RowView row;
    std::string label;
    std::string* line_out = nullptr;
    if (want_lines) {
      line_out = &out.blocks[c];
      line_out->clear();
    }
    uint64_t id = first_id + first_rank[c];
    for (size_t k = c * kBlock; k < std::min(n, (c + 1) * kBlock); ++k) {
      row.reset(ndims, nv);
      src.load(begin + k, row);
      compute_one(cs, row, k, label, out, keys, line_out, id);
      id += out.present[k];
    }
  };
  if (nblocks <= 1) {
    if (nblocks == 1) work(0);
    return;
  }
  worker_arena().execute([&] { oneapi::tbb::parallel_for(size_t(0), nblocks, work); });
}

std::pair<std::string_view, std::string_view> pending_texts(std::string_view p, size_t d) {
  size_t pos = 0;
  auto take = [&]() {
    uint32_t len;
    std::memcpy(&len, p.data() + pos, 4);
    pos += 4;
    std::string_view t = p.substr(pos, len);
    pos += len;
    return t;
  };
  for (size_t i = 0;; ++i) {
    std::string_view raw = take();
    std::string_view label = take();
    if (i == d) return {raw, label};
  }
}

model::DimensionMap key_dimension_map(const CompiledSchema& cs, const KeyTable& keys, uint32_t key) {
  model::DimensionMap map;
  const uint32_t* labels = keys.labels_of(key);
  for (size_t i = 0; i < cs.key_dims.size(); ++i)
    map.emplace_hint(map.end(), cs.schema.dimensions[cs.key_dims[i]].name,
                     keys.label_text(i, labels[i]));
  return map;
}

model::DimensionMap dimension_map_of(const CompiledSchema& cs, const BatchUpdates& u, size_t k,
                                     const KeyTable* keys) {
  model::DimensionMap map;
  const uint32_t* labels = u.labels.data() + k * u.nkeydims;
  for (size_t i = 0; i < cs.key_dims.size(); ++i) {
    std::string label = u.has_pending[k] ? std::string(pending_texts(u.pending[k], i).second)
                                         : keys->label_text(i, labels[i]);
    map.emplace_hint(map.end(), cs.schema.dimensions[cs.key_dims[i]].name, std::move(label));
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
  out.dimension_key = internal::dimension_map_of(cs, u, k, nullptr);
  util::JsonObject payload;
  for (const auto& [name, value] : obs.values) payload.emplace(name, value);
  out.payload = util::JsonValue(std::move(payload));
  return out;
}

}  // namespace

std::optional<RecordUpdate> compute_record_update(const model::Schema& schema,
                                                  const Observation& observation) {
  internal::CompiledSchema cs(schema);
  internal::ObservationListSource src(schema, &observation, 1);
  internal::BatchUpdates u;
  internal::compute_batch(cs, src, 0, 1, false, 0, u);
  return to_record_update(cs, u, 0, observation);
}

std::vector<std::optional<RecordUpdate>> compute_record_updates(
    const model::Schema& schema, std::span<const Observation> observations) {
  internal::CompiledSchema cs(schema);
  internal::ObservationListSource src(schema, observations.data(), observations.size());
  internal::BatchUpdates u;
  internal::compute_batch(cs, src, 0, observations.size(), false, 0, u);
  std::vector<std::optional<RecordUpdate>> out;
  out.reserve(observations.size());
  for (size_t k = 0; k < observations.size(); ++k)
    out.push_back(to_record_update(cs, u, k, observations[k]));
  return out;
}

}  // namespace quor::ingest
