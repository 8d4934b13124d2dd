// The creation half of the batch applier: the keys a batch meets for the
// first time become stored distributions here, and the per-key tables are
// released once the last batch has been applied.
#include "quor/ingest/internal/batch_applier.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <utility>

#include "quor/util/clock.h"

namespace quor::ingest::internal {

namespace {

// How many created blocks ahead create_by_numbers fetches the label and
// index slots it will search.
constexpr size_t kCreatePrefetchDistance = 16;
// From how many new key-table labels of a dimension create_by_numbers takes
// room in the table's label dictionary before labelling.
constexpr size_t kReserveLabelsFrom = 1024;

}  // namespace

bool BatchApplier::key_entries(uint32_t key, MissingEntries missing) {
  const bool intern = missing == MissingEntries::Intern;
  store::DistributionTable& table = db_.distributions;
  const size_t ndims = compiled_.key_dims.size();
  if (table_dims_.size() != ndims) {
    // Key dimension i is the i-th name in byte-wise order.
    std::vector<std::string_view> names;
    for (size_t d : compiled_.key_dims) names.push_back(compiled_.schema.dimensions[d].name);
    std::sort(names.begin(), names.end());
    table_dims_.assign(ndims, store::kNoId);
    for (size_t i = 0; i < ndims; ++i) table_dims_[i] = table.find_dimension(names[i]);
    table_dim_names_.assign(names.begin(), names.end());
    table_labels_.assign(ndims, {});
  }
  const uint32_t* labels = keys_.labels_of(key);
  key_scratch_.resize(ndims);
  if (intern) {
    // Room for the key's new labels in every known dimension before the
    // first is added: a growth that fails leaves none of them stored.
    for (size_t i = 0; i < ndims; ++i) {
      const uint32_t d = table_dims_[i];
      const std::vector<uint32_t>& map = table_labels_[i];
      if (d != store::kNoId && (map.size() <= labels[i] || map[labels[i]] == store::kNoId))
        table.reserve_labels(d, 1, keys_.label_text(i, labels[i]).size());
    }
  }
  for (size_t i = 0; i < ndims; ++i) {
    uint32_t& d = table_dims_[i];
    if (d == store::kNoId) {
      d = table.find_dimension(table_dim_names_[i]);
      if (d == store::kNoId) {
        if (!intern) return false;
        d = table.intern_dimension(table_dim_names_[i]);
      }
    }
    std::vector<uint32_t>& map = table_labels_[i];
    if (map.size() <= labels[i]) map.resize(static_cast<size_t>(labels[i]) + 1, store::kNoId);
    uint32_t& l = map[labels[i]];
    if (l == store::kNoId) {
      const std::string_view text = keys_.label_text(i, labels[i]);
      l = intern ? table.intern_label(d, text) : table.find_label(d, text);
      if (l == store::kNoId) return false;
    }
    key_scratch_[i] = {d, l};
  }
  table.sort_key(key_scratch_);
  return true;
}

Status BatchApplier::resolve_distributions(size_t& resolved) {
  resolved = 0;
  const size_t na = used_.size();
  // Unless a batch failed before, the blocks without a distribution are
  // exactly those this batch's tally created: the others need no visit.
  size_t fresh = created_.size();
  if (after_failure_) {
    fresh = 0;
    for (uint32_t b : used_) fresh += block_dist_[b] == 0 ? 1 : 0;
  }
  if (na > 0 && !db_.writable) return Error(std::string(store::kReadOnlyMessage));
  if (fresh >= 1024) {
    // Room for the batch's new distributions at once (some of them may
    // exist already).
    size_t cells = 0;
    for (size_t v = 0; v < variable_count_; ++v) cells = std::max<size_t>(cells, var_cells_[v]);
    db_.distributions.reserve(fresh, cells);
  }
  // New distributions of one batch share its creation time.
  const uint64_t now = unix_now_seconds();
  store::DistributionTable& table = db_.distributions;
  auto resolve = [&](uint32_t b) -> Status {
    const model::VariableDefinition& def = compiled_.schema.variables[block_var_[b]];
    std::optional<store::Position> pos;
    uint64_t id = 0;
    // The key in the table's numbers, unless the index is kept as text
    // (then the texts decide, as the stored index would) or the creation
    // would fail before the key is stored.
    const bool by_numbers = !table.text_indexed() && db_.find_variable(def.name) != nullptr &&
                            db_.meta.next_distribution_id != UINT64_MAX &&
                            table.size() < store::kMaxPositions;
    // Room for the distribution before its key's labels are stored: a
    // growth that fails then leaves no label without one.
    if (by_numbers) table.reserve_empties(1, var_cells_[block_var_[b]], compiled_.key_dims.size());
    if (by_numbers && key_entries(block_key_[b], MissingEntries::Intern) && !table.text_indexed()) {
      QUOR_ASSIGN_OR_RETURN(id, db_.ensure_distribution(def.name, key_scratch_, now, pos));
    } else {
      fill_map(block_key_[b]);
      QUOR_ASSIGN_OR_RETURN(id, db_.ensure_distribution(def.name, scratch_map_));
      pos = db_.position_of_id(id);
    }
    // An index naming an id the distributions lack.
    if (!pos) return store::distribution_id_not_found_error(id);
    // Positions stay below store::kMaxPositions, so the +1 fits.
    block_dist_[b] = *pos + 1;
    return ok_status();
  };
  if (after_failure_) {
    for (size_t i = 0; i < na; ++i) {
      resolved = i;
      if (block_dist_[used_[i]] == 0) QUOR_RETURN_IF_ERROR(resolve(used_[i]));
    }
  } else {
    size_t done = 0;
    Status st = create_by_numbers(now, done);
    if (!st.ok()) {
      resolved = created_[done].second;
      return st;
    }
    for (size_t i = done; i < created_.size(); ++i) {
      resolved = created_[i].second;
      QUOR_RETURN_IF_ERROR(resolve(created_[i].first));
    }
  }
  resolved = na;
  return ok_status();
}

void BatchApplier::release_keys() {
  keys_ = KeyTable(compiled_.key_dims.size());
  key_block_ = {};
  key_cells_ = {};
  key_joint_ = {};
  table_dims_.clear();
  std::vector<std::vector<uint32_t>>().swap(table_labels_);
}

Status BatchApplier::create_by_numbers(uint64_t now, size_t& done) {
  done = 0;
  store::DistributionTable& table = db_.distributions;
  const size_t n = created_.size();
  const size_t ndims = compiled_.key_dims.size();
  // Worth it for a batch that creates many; the checks below are those of
  // the one-by-one path, made once: no creation can then fail or turn to
  // the texts.
  if (n < 4 * kPrefetchDistance || table.text_indexed()) return ok_status();
  if (db_.meta.next_distribution_id > UINT64_MAX - n || table.size() + n >= store::kMaxPositions)
    return ok_status();
  if (table_dims_.size() != ndims) return ok_status();
  for (uint32_t d : table_dims_)
    if (d == store::kNoId) return ok_status();
  // The label maps cover every label of the key table, so that a lookup
  // needs no bounds check. The key table's labels past the old end of a map
  // have no table label yet: room for them all is taken at once (at most
  // that many are interned below).
  for (size_t i = 0; i < ndims; ++i) {
    const size_t had = table_labels_[i].size();
    const size_t count = keys_.label_count(i);
    if (had >= count) continue;
    if (count - had >= kReserveLabelsFrom)
      table.reserve_labels(table_dims_[i], count - had,
                           keys_.label_bytes(i, static_cast<uint32_t>(had), static_cast<uint32_t>(count)));
    table_labels_[i].resize(count, store::kNoId);
  }
  // Each variable is looked up once for the batch, not by name per
  // distribution, and its empty shape made once. Room for every new
  // distribution is taken before the first label is interned, so that
  // labels and distributions come and go together (see below).
  created_var_info_.assign(variable_count_, {});
  size_t cells = 0;
  for (size_t k = 0; k < n; ++k) {
    CreatedVariable& info = created_var_info_[block_var_[created_[k].first]];
    if (!info.looked_up) {
      info.looked_up = true;
      const std::string& name = compiled_.schema.variables[block_var_[created_[k].first]].name;
      info.table_variable = table.find_variable(name);
      if (info.table_variable != store::kNoId) info.def = db_.variable_to_create(name);
      if (info.def != nullptr) info.shape = table.empty_shape(info.table_variable, *info.def);
    }
    cells += info.shape.ncells;
  }
  table.reserve_empties(n, cells, n * ndims);
  created_keys_.resize(n * ndims);
  created_vars_.resize(n);
  size_t labelled = 0;
  auto label = [&] {
    for (; labelled < n; ++labelled) {
      if (labelled + kCreatePrefetchDistance < n) {
        const uint32_t ahead = block_key_[created_[labelled + kCreatePrefetchDistance].first];
        const uint32_t* labels = keys_.labels_of(ahead);
        for (size_t i = 0; i < ndims; ++i)
          if (table_labels_[i][labels[i]] == store::kNoId)
            table.prefetch_label(table_dims_[i], keys_.label_text(i, labels[i]));
      }
      const uint32_t b = created_[labelled].first;
      const CreatedVariable& info = created_var_info_[block_var_[b]];
      if (info.def == nullptr) break;
      const uint32_t* labels = keys_.labels_of(block_key_[b]);
      bool plain = true;
      for (size_t i = 0; i < ndims && plain; ++i)
        plain = table_labels_[i][labels[i]] != store::kNoId ||
                store::DistributionTable::plain(keys_.label_text(i, labels[i]));
      if (!plain) break;
      // Room for the key's new labels in every dimension before the first
      // is added: a growth that fails leaves none of them stored.
      for (size_t i = 0; i < ndims; ++i)
        if (table_labels_[i][labels[i]] == store::kNoId)
          table.reserve_labels(table_dims_[i], 1, keys_.label_text(i, labels[i]).size());
      // Key dimension i is the table's dimension of the i-th name in
      // byte-wise order: the entries are in key order as they come.
      store::KeyEntry* out = created_keys_.data() + labelled * ndims;
      for (size_t i = 0; i < ndims; ++i) {
        uint32_t& l = table_labels_[i][labels[i]];
        if (l == store::kNoId) l = table.intern_label(table_dims_[i], keys_.label_text(i, labels[i]));
        out[i] = {table_dims_[i], l};
      }
      created_vars_[labelled] = info.table_variable;
    }
  };
  // Their distributions, in order, numbered from the counter on; with the
  // room taken above, nothing here allocates.
  auto create = [&]() -> Status {
    uint64_t next_id = db_.meta.next_distribution_id;
    Status status = ok_status();
    for (; done < labelled; ++done) {
      if (done + kCreatePrefetchDistance < labelled) {
        const size_t a = done + kCreatePrefetchDistance;
        table.prefetch_index(created_vars_[a], {created_keys_.data() + a * ndims, ndims});
      }
      const uint32_t b = created_[done].first;
      const CreatedVariable& info = created_var_info_[block_var_[b]];
      bool appended = false;
      const store::Position p = table.find_or_append_empty(
          info.table_variable, {created_keys_.data() + done * ndims, ndims}, info.shape, next_id, now, appended);
      if (appended) {
        ++next_id;
        block_dist_[b] = p + 1;
        continue;
      }
      // Known already: the id the index holds, at its first position.
      const uint64_t id = table.row(p).id;
      const std::optional<store::Position> pos = table.position_of_id(id);
      if (!pos) {
        status = store::distribution_id_not_found_error(id);
        break;
      }
      block_dist_[b] = *pos + 1;
    }
    db_.meta.next_distribution_id = next_id;
    return status;
  };
  try {
    label();
  } catch (...) {
    // A label that could not be stored: the blocks labelled before it get
    // their distributions, as one by one they would have, so that no label
    // is left without one.
    (void)create();
    throw;
  }
  return create();
}

}  // namespace quor::ingest::internal
