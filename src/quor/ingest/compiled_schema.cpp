#include "quor/ingest/internal/compiled_schema.h"

#include <algorithm>

#include "quor/util/json.h"

namespace quor::ingest::internal {

CompiledSchema::CompiledSchema(const model::Schema& s) : schema(s) {
  const size_t nv = s.variables.size();
  vars.resize(nv);
  first_var_of_name.resize(nv);
  std::unordered_map<std::string_view, size_t> first_var_by_name;
  for (size_t v = 0; v < nv; ++v) {
    const auto& def = s.variables[v];
    auto [it, added] = first_var_by_name.try_emplace(def.name, v);
    first_var_of_name[v] = it->second;
    if (added) payload_vars.push_back(v);
    Variable& cv = vars[v];
    if (const auto* cat = std::get_if<model::CategoricalType>(&def.var_type)) {
      cv.categorical = true;
      cv.categories = &cat->categories;
      cv.allow_unknown = cat->allow_unknown;
      if (cat->categories.size() > 8) {
        const auto& list = cat->categories;
        size_t size = 16;
        while (size < list.size() * 2) size *= 2;
        cv.category_slots.assign(size, 0);
        for (size_t i = 0; i < list.size(); ++i) {
          // A later equal text is never found: the first one answers.
          if (cv.find_category(list[i])) continue;
          cv.category_slots[util::probe_free(cv.category_slots.data(), size - 1, util::text_hash(list[i]))] =
              static_cast<uint32_t>(i + 1);
        }
      }
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
    util::write_json_string(name, s.variables[v].name);
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
    if (auto it = first_var_by_name.find(a); it != first_var_by_name.end()) cj.a = static_cast<int64_t>(it->second);
    if (auto it = first_var_by_name.find(b); it != first_var_by_name.end()) cj.b = static_cast<int64_t>(it->second);
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

}  // namespace quor::ingest::internal
