#include "reference/database_counts.h"

#include <span>

#include "quor/store/engine_error.h"
#include "quor/util/clock.h"
#include "quor/util/saturating.h"

namespace quor::reference {

Status apply_counts(store::Database& db, std::string_view variable, const model::DimensionMap& map,
                          const CountAccumulator& counts) {
  db.flush_state.note_change();
  if (!db.writable) return Error(std::string(store::kReadOnlyMessage));
  auto ensured = db.ensure_distribution(variable, map);
  if (!ensured.ok()) return std::move(ensured).error();
  auto id = db.index_lookup(variable, map);
  if (!id) return Error("distribution index missing after ensure");
  std::optional<store::Position> p = db.position_of_id(*id);
  if (!p) return store::distribution_id_not_found_error(*id);

  // The sparse counts in flat form over the stored cells; numbers past them
  // raise only the total.
  const size_t ncells = db.distributions.row(*p).ncells;
  std::vector<uint64_t> cells(ncells, 0);
  store::CellCounts flat;
  auto put = [&](uint64_t i, uint64_t c) {
    if (i < ncells) cells[i] = util::add_saturating(cells[i], c);
    else flat.total_only = util::add_saturating(flat.total_only, c);
  };
  if (const auto* hc = std::get_if<HistogramCounts>(&counts)) {
    for (const auto& [bin, c] : hc->bins) put(bin, c);
  } else {
    const auto& cc = std::get<CategoricalCounts>(counts);
    flat.categorical = true;
    for (const auto& [i, c] : cc.known) put(i, c);
    flat.unknown = cc.unknown;
  }
  flat.cells = cells;
  db.add_cell_counts(*p, flat);
  return ok_status();
}

void finalize_updates(store::Database& db, const TouchedSet& touched) {
  finalize_updates(db, touched, unix_now_seconds());
}

void finalize_updates(store::Database& db, const TouchedSet& touched, uint64_t now) {
  db.flush_state.note_change();
  for (const auto& [variable, map] : touched) {
    if (auto p = db.lookup_position(variable, map)) db.finalize_distribution(*p, now);
  }
}

bool has_dimension_value(const store::Database& db, std::string_view name, std::string_view value) {
  const uint32_t d = db.distributions.find_dimension(name);
  return d != store::kNoId && db.distributions.find_label(d, value) != store::kNoId;
}

}  // namespace quor::reference
