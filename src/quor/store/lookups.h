// Lookups derived from the distributions and joints of a Database, so that
// the members of a roll-up or the joint of a pair and key are found without
// scanning the whole lists.
//
// Everything here is a function of the lists alone and answers exactly what
// a scan of the lists in storage order would: the first match wins, and
// every list of positions is ascending (storage order).
//
// Joints are kept current by the owner: `add_joint` for each appended
// joint, `rebuild_joints` after replacing or editing the list in any other
// way. The postings of the marginals (per variable, per dimension value, in
// the table's numbers) are built on first use and extended over rows
// appended since, so creating distributions and opening a store pay nothing
// for them; `refresh_postings` does that and is safe to call from several
// readers at once.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quor/model/model.h"
#include "quor/store/distribution_table.h"

namespace quor::store {

class DistributionLookups {
 public:
  DistributionLookups();

  // Forgets the postings (the table was replaced).
  void forget_postings();
  // Forgets the joints, then adds every joint of the list in order.
  void rebuild_joints(const std::vector<model::JointDistributionObject>& joints);
  // Records the joint just appended at `position` (the list's old size).
  void add_joint(const model::JointDistributionObject& j, size_t position);
  size_t joints_covered() const { return joints_covered_; }

  // Brings the postings up to `table`. Needed before of_variable, of_value.
  void refresh_postings(const DistributionTable& table) const;
  // Positions of every distribution of variable number `v`.
  std::span<const Position> of_variable(uint32_t v) const;
  // Positions of the distributions of variable `v` whose key holds `e`.
  std::span<const Position> of_value(uint32_t v, KeyEntry e) const;

  // The first joint whose variables are exactly (x, y) and whose key equals
  // `map`.
  std::optional<size_t> joint_position(std::string_view x, std::string_view y,
                                       const model::DimensionMap& map) const;

 private:
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  struct VariablePostings {
    std::vector<Position> all;
    // (dimension << 32 | label) -> positions.
    std::unordered_map<uint64_t, std::vector<Position>> values;
  };
  struct Postings {
    std::mutex mu;
    std::atomic<size_t> covered{0};
    const DistributionTable* table = nullptr;
    std::vector<VariablePostings> variables;
  };
  std::unique_ptr<Postings> postings_;
  // Joint identity (length-prefixed x, y, names and values) -> first position.
  std::unordered_map<std::string, Position, TextHash, std::equal_to<>> joints_;
  size_t joints_covered_ = 0;
};

}  // namespace quor::store
