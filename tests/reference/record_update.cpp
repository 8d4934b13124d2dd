#include "reference/record_update.h"

#include "quor/ingest/internal/update_core.h"

namespace quor::reference {

namespace internal = ingest::internal;

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
  internal::compute_batch(cs, src, 0, 1, internal::RawLines::Skip, 0, u);
  return to_record_update(cs, u, 0, observation);
}

}  // namespace quor::reference
