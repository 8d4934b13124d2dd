#include "quor/store/dim_key.h"

namespace quor::store {

namespace {
void append_key_string(std::string& out, const model::DimensionMap& map) {
  bool first = true;
  for (const auto& [name, value] : map) {
    if (!first) out += '/';
    first = false;
    out += name;
    out += ':';
    out += value;
  }
}
}  // namespace

std::string dimension_key_string(const model::DimensionMap& map) {
  std::string out;
  append_key_string(out, map);
  return out;
}

void assign_index_key(std::string& out, std::string_view variable, const model::DimensionMap& map) {
  size_t len = variable.size() + 1;
  for (const auto& [name, value] : map) len += name.size() + value.size() + 2;
  out.clear();
  out.reserve(len);
  out += variable;
  out += '|';
  append_key_string(out, map);
}

std::string index_key(std::string_view variable, const model::DimensionMap& map) {
  std::string out;
  assign_index_key(out, variable, map);
  return out;
}

std::optional<uint64_t> index_lookup(const model::DistIndex& index, std::string_view variable,
                                     const model::DimensionMap& map) {
  thread_local std::string key;  // a lookup allocates nothing once warm
  assign_index_key(key, variable, map);
  const uint64_t* id = index.by_key.find_id(key);
  if (id == nullptr) return std::nullopt;
  return *id;
}

void index_insert(model::DistIndex& index, std::string_view variable, const model::DimensionMap& map,
                  uint64_t id) {
  index.by_key.insert_or_assign(index_key(variable, map), id);
}

model::DistIndex rebuild_dist_index(const std::vector<model::DistributionObject>& distributions) {
  model::DistIndex index;
  index.by_key.reserve(distributions.size());
  for (const auto& d : distributions) index_insert(index, d.variable, d.dimension_key, d.id);
  return index;
}

model::DistIndex rebuild_index_after_error(const std::vector<model::DistributionObject>& distributions,
                                    Error why) {
  (void)why;
  return rebuild_dist_index(distributions);
}

}  // namespace quor::store
