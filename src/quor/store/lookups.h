// Lookups derived from a DistributionFile, so that finding a distribution by
// id, the members of a roll-up, the values of a dimension or the joint of a
// pair and key never scans the whole lists.
//
// Everything here is a function of the lists alone and answers exactly what
// a scan of the lists in storage order would: the first match wins, and
// every list of positions is ascending (storage order). Positions index the
// file's lists.
//
// Ids and joints are kept current by the owner: `add_*` for each appended
// entry, `rebuild` after replacing or editing the lists in any other way.
// The postings (per variable, per dimension value) are built on first use
// and extended over entries appended since, so creating distributions and
// opening a store pay nothing for them; `refresh_postings` does that and is
// safe to call from several readers at once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quor/model/model.h"

namespace quor::store {

// A position in one of the lists of a DistributionFile.
using Position = uint32_t;
inline constexpr size_t kMaxPositions = UINT32_MAX;

class DistributionLookups {
 public:
  DistributionLookups();

  // Forgets everything, then adds every entry of both lists in order.
  void rebuild(const model::DistributionFile& data);

  // Records the entry just appended at `position` (the list's old size).
  void add_distribution(const model::DistributionObject& d, size_t position);
  void add_joint(const model::JointDistributionObject& j, size_t position);

  // How many leading entries of each list have been added.
  size_t distributions_covered() const { return distributions_covered_; }
  size_t joints_covered() const { return joints_covered_; }

  // The first position whose distribution has this id.
  std::optional<size_t> position_of_id(uint64_t id,
                                       const std::vector<model::DistributionObject>& list) const;

  // Brings the postings up to `list` (the list the ids were added from).
  // Needed before of_variable, of_value and collect_values.
  void refresh_postings(const std::vector<model::DistributionObject>& list) const;

  // Positions of every distribution of `variable`; empty when none.
  std::span<const Position> of_variable(std::string_view variable) const;
  // Positions of the distributions of `variable` whose key maps `dimension`
  // to `value`; empty when none.
  std::span<const Position> of_value(std::string_view variable, std::string_view dimension,
                                     std::string_view value) const;
  // Adds to `out` every value that some distribution's key gives `dimension`.
  void collect_values(std::string_view dimension, std::set<std::string>& out) const;
  // Whether some distribution's key gives `dimension` the value `value`.
  bool holds_value(std::string_view dimension, std::string_view value) const;
  // holds_value(dimension, values[i]) for every i, into `out[i]`, with the
  // dimension looked up once rather than once per value.
  void holds_values(std::string_view dimension, std::span<const std::string_view> values,
                    std::vector<char>& out) const;

  // The first joint whose variables are exactly (x, y) and whose key equals
  // `map`.
  std::optional<size_t> joint_position(std::string_view x, std::string_view y,
                                       const model::DimensionMap& map) const;

 private:
  struct TextHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  template <class V>
  using TextMap = std::unordered_map<std::string, V, TextHash, std::equal_to<>>;
  // Value -> positions.
  using ValuePostings = TextMap<std::vector<Position>>;
  struct VariablePostings {
    std::vector<Position> all;
    TextMap<ValuePostings> dimensions;
  };

  // Ids: most lists hold ids first_id_, first_id_ + 1, ... at positions
  // 0, 1, ...; an entry off that run is recorded in off_run_ (first wins).
  uint64_t first_id_ = 0;
  std::unordered_map<uint64_t, Position> off_run_;
  // The postings of the first `covered` distributions; only refresh_postings
  // changes them, under `mu`.
  struct Postings {
    std::mutex mu;
    std::atomic<size_t> covered{0};
    TextMap<VariablePostings> variables;
  };
  std::unique_ptr<Postings> postings_;
  // Joint identity (length-prefixed x, y, names and values) -> first position.
  TextMap<Position> joints_;
  size_t distributions_covered_ = 0;
  size_t joints_covered_ = 0;
};

}  // namespace quor::store
