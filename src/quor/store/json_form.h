// The JSON form of the stored records: a one-pass reader straight into the
// records, and the compact writer of the schema.
//
// A record reads from an object keyed by field name or from an array of its
// field values in declaration order; an enum from a one-member object keyed
// by the variant name. Unknown keys are skipped. Failures carry the
// decoder's message followed by " at line L column C".
#pragma once

#include <string>
#include <string_view>

#include "quor/model/model.h"
#include "quor/util/error.h"

namespace quor::store {

// The record held by the whole of `bytes` (white space around it allowed,
// nothing else after it).
Result<model::MetaFile> json_from_slice_meta_file(std::string_view bytes);
Result<model::DistributionFile> json_from_slice_distribution_file(std::string_view bytes);
Result<model::DistIndex> json_from_slice_dist_index(std::string_view bytes);
Result<model::SnapshotStore> json_from_slice_snapshot_store(std::string_view bytes);

// Appends the compact JSON object of `schema` to `out`: members in
// declaration order, every member present (absent optionals as null),
// floats by the shortest round-trip rule, non-finite floats as null.
void write_schema_json(const model::Schema& schema, std::string& out);
// The same text as a new string (what Python's QuorDB.schema() parses).
std::string schema_to_json(const model::Schema& schema);

}  // namespace quor::store
