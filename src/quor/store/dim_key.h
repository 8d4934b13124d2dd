// Text forms of a distribution's identity, and the distribution index.
//
// Dimension key string: "name:value" for every entry in byte-wise name order,
// joined by "/" (empty map: empty text). Index key: "{variable}|{key string}".
// Nothing is escaped, so two different maps can share one key string.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::store {

std::string dimension_key_string(const model::DimensionMap& map);
std::string index_key(std::string_view variable, const model::DimensionMap& map);
// The index key written over `out` (whose buffer is reused).
void assign_index_key(std::string& out, std::string_view variable, const model::DimensionMap& map);

// The id stored under the index key of (variable, map), if any.
std::optional<uint64_t> index_lookup(const model::DistIndex& index, std::string_view variable,
                                     const model::DimensionMap& map);
// Stores `id` under the index key of (variable, map), replacing any entry.
void index_insert(model::DistIndex& index, std::string_view variable, const model::DimensionMap& map,
                  uint64_t id);

// A fresh index of `distributions`, inserted in list order (later wins).
model::DistIndex rebuild_dist_index(const std::vector<model::DistributionObject>& distributions);
// As rebuild_dist_index; `why` (the failure that made it necessary) is dropped.
model::DistIndex rebuild_index_after_error(const std::vector<model::DistributionObject>& distributions,
                                    Error why);

}  // namespace quor::store
