// A small in-memory database builder for the analytics tests.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "quor/store/database.h"
#include "quor/store/dim_key.h"

namespace quor::analytics::testing_fixture {

using model::DimensionMap;

class DbBuilder {
 public:
  DbBuilder() { db.writable = true; }

  DbBuilder& continuous(std::string name, uint32_t bins = 2, double lo = 0, double hi = 1) {
    db.meta.schema.variables.push_back({std::move(name), model::ContinuousType{bins, model::Range{lo, hi}}});
    return *this;
  }
  DbBuilder& categorical(std::string name, std::vector<std::string> cats) {
    db.meta.schema.variables.push_back({std::move(name), model::CategoricalType{std::move(cats), true}});
    return *this;
  }

  // A histogram distribution; its total is the bin sum plus `beyond`.
  uint64_t hist(const std::string& variable, DimensionMap key, std::vector<uint64_t> bins,
                double lo = 0, double hi = 1, uint64_t beyond = 0) {
    uint64_t total = beyond;
    for (auto b : bins) total += b;
    return add(variable, std::move(key), model::HistogramRepr{lo, hi, std::move(bins), total});
  }
  // A categorical distribution; its total is the count sum plus `unknown`.
  uint64_t cat(const std::string& variable, DimensionMap key, std::vector<std::string> cats,
               std::vector<uint64_t> counts, uint64_t unknown = 0) {
    uint64_t total = unknown;
    for (auto c : counts) total += c;
    return add(variable, std::move(key),
               model::CategoricalRepr{std::move(cats), std::move(counts), unknown, total});
  }

  uint64_t add(const std::string& variable, DimensionMap key, model::DistributionRepr repr) {
    const uint64_t id = db.meta.next_distribution_id++;
    auto d = store::new_distribution_object(id, variable, key, std::move(repr));
    d.entropy = store::repr_entropy(d.repr);
    db.distributions.append_record(d);
    return id;
  }

  // Replaces the counts of distribution `id` as an applied batch would.
  void change(uint64_t id, model::DistributionRepr repr) {
    const store::Position p = *db.position_of_id(id);
    db.distributions.set_repr(p, repr);
    store::DistributionRow& d = db.distributions.row(p);
    d.sample_count = repr.total_count();
    d.entropy = store::repr_entropy(repr);
    d.version += 1;
  }

  DbBuilder& define_joint(std::string a, std::string b) {
    db.meta.schema.joints.emplace_back(std::move(a), std::move(b));
    return *this;
  }
  // A joint distribution of the pair (stored lesser name first).
  void joint(std::string a, std::string b, DimensionMap key, model::JointRepr repr) {
    if (b < a) std::swap(a, b);
    model::JointDistributionObject j;
    j.id = db.meta.next_joint_id++;
    j.variables = {a, b};
    j.dimension_key = std::move(key);
    j.sample_count = repr.total_count();
    j.repr = std::move(repr);
    db.joints.push_back(std::move(j));
    db.reset_id_order();
  }
  static model::JointRepr table(std::vector<std::vector<uint64_t>> rows, uint64_t extra = 0) {
    uint64_t total = extra;
    for (auto& r : rows)
      for (auto c : r) total += c;
    return model::ContingencyTableRepr{{}, {}, std::move(rows), total};
  }

  store::Database db;
};

}  // namespace quor::analytics::testing_fixture
