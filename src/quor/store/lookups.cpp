#include "quor/store/lookups.h"

#include <algorithm>
#include <cstring>

namespace quor::store {

namespace {

// The identity of a joint: x, y, then each name and value of its key, each
// text with its length in front, so that the sequence reads back in one way
// only (names and values may hold any byte). Written into `out`, which has
// room for joint_identity_size bytes.
size_t joint_identity_size(std::string_view x, std::string_view y, const model::DimensionMap& map) {
  size_t len = x.size() + y.size() + 16;
  for (const auto& [name, value] : map) len += name.size() + value.size() + 16;
  return len;
}

char* put_text(char* out, std::string_view s) {
  const uint64_t n = s.size();
  std::memcpy(out, &n, sizeof n);
  if (!s.empty()) std::memcpy(out + sizeof n, s.data(), s.size());
  return out + sizeof n + s.size();
}

void write_joint_identity(char* out, std::string_view x, std::string_view y,
                          const model::DimensionMap& map) {
  out = put_text(out, x);
  out = put_text(out, y);
  for (const auto& [name, value] : map) {
    out = put_text(out, name);
    out = put_text(out, value);
  }
}

std::string joint_identity(std::string_view x, std::string_view y, const model::DimensionMap& map) {
  std::string out(joint_identity_size(x, y, map), '\0');
  write_joint_identity(out.data(), x, y, map);
  return out;
}

template <class Map>
auto* find_text(Map& map, std::string_view key) {
  auto it = map.find(key);
  return it == map.end() ? nullptr : &it->second;
}

template <class Map>
auto& find_or_add(Map& map, std::string_view key) {
  auto it = map.find(key);
  if (it == map.end()) it = map.emplace(std::string(key), typename Map::mapped_type{}).first;
  return it->second;
}

}  // namespace

DistributionLookups::DistributionLookups() : postings_(std::make_unique<Postings>()) {}

void DistributionLookups::rebuild(const model::DistributionFile& data) {
  *this = DistributionLookups{};
  for (size_t i = 0; i < data.distributions.size(); ++i) add_distribution(data.distributions[i], i);
  joints_.reserve(data.joints.size());
  for (size_t i = 0; i < data.joints.size(); ++i) add_joint(data.joints[i], i);
}

void DistributionLookups::add_distribution(const model::DistributionObject& d, size_t position) {
  const auto pos = static_cast<Position>(position);
  if (position == 0) first_id_ = d.id;
  if (d.id < first_id_ || d.id - first_id_ != position) off_run_.try_emplace(d.id, pos);
  distributions_covered_ = position + 1;
}

void DistributionLookups::refresh_postings(const std::vector<model::DistributionObject>& list) const {
  if (postings_ == nullptr) return;  // moved from: holds nothing
  Postings& p = *postings_;
  if (p.covered.load(std::memory_order_acquire) == list.size()) return;
  std::lock_guard<std::mutex> lock(p.mu);
  size_t from = p.covered.load(std::memory_order_relaxed);
  if (from > list.size()) {  // the list was replaced without a rebuild
    p.variables.clear();
    from = 0;
  }
  // Consecutive distributions mostly share their variable, their dimension
  // names and some values: each slot remembers what the previous
  // distribution found there, so a repeat costs a compare, not a hash.
  struct Slot {
    const std::string* name = nullptr;
    ValuePostings* values = nullptr;
    const std::string* value = nullptr;
    std::vector<Position>* positions = nullptr;
  };
  std::vector<Slot> slots;
  VariablePostings* v = nullptr;
  const std::string* v_name = nullptr;
  for (size_t i = from; i < list.size(); ++i) {
    const model::DistributionObject& d = list[i];
    const auto pos = static_cast<Position>(i);
    if (v_name == nullptr || *v_name != d.variable) {
      v = &find_or_add(p.variables, d.variable);
      v_name = &d.variable;
      slots.clear();
    }
    v->all.push_back(pos);
    if (slots.size() < d.dimension_key.size()) slots.resize(d.dimension_key.size());
    size_t k = 0;
    for (const auto& [name, value] : d.dimension_key) {
      Slot& slot = slots[k++];
      if (slot.name == nullptr || *slot.name != name) {
        slot.values = &find_or_add(v->dimensions, name);
        slot.value = nullptr;
      }
      slot.name = &name;
      if (slot.value == nullptr || *slot.value != value)
        slot.positions = &find_or_add(*slot.values, value);
      slot.value = &value;
      slot.positions->push_back(pos);
    }
  }
  p.covered.store(list.size(), std::memory_order_release);
}

void DistributionLookups::add_joint(const model::JointDistributionObject& j, size_t position) {
  joints_.try_emplace(joint_identity(j.variables.first, j.variables.second, j.dimension_key),
                      static_cast<Position>(position));
  joints_covered_ = position + 1;
}

std::optional<size_t> DistributionLookups::position_of_id(
    uint64_t id, const std::vector<model::DistributionObject>& list) const {
  std::optional<size_t> best;
  if (id >= first_id_) {
    const uint64_t p = id - first_id_;
    if (p < list.size() && list[p].id == id) best = static_cast<size_t>(p);
  }
  if (!off_run_.empty()) {
    auto it = off_run_.find(id);
    if (it != off_run_.end() && (!best || it->second < *best)) best = it->second;
  }
  return best;
}

std::span<const Position> DistributionLookups::of_variable(std::string_view variable) const {
  if (postings_ == nullptr) return {};
  const VariablePostings* v = find_text(postings_->variables, variable);
  if (v == nullptr) return {};
  return v->all;
}

std::span<const Position> DistributionLookups::of_value(std::string_view variable,
                                                         std::string_view dimension,
                                                         std::string_view value) const {
  if (postings_ == nullptr) return {};
  const VariablePostings* v = find_text(postings_->variables, variable);
  if (v == nullptr) return {};
  const ValuePostings* values = find_text(v->dimensions, dimension);
  if (values == nullptr) return {};
  auto it = values->find(value);
  if (it == values->end()) return {};
  return it->second;
}

bool DistributionLookups::holds_value(std::string_view dimension, std::string_view value) const {
  if (postings_ == nullptr) return false;
  for (const auto& [variable, v] : postings_->variables) {
    const ValuePostings* values = find_text(v.dimensions, dimension);
    if (values != nullptr && values->find(value) != values->end()) return true;
  }
  return false;
}

void DistributionLookups::holds_values(std::string_view dimension, std::span<const std::string_view> values,
                                       std::vector<char>& out) const {
  out.assign(values.size(), 0);
  if (postings_ == nullptr) return;
  std::vector<const ValuePostings*> maps;
  for (const auto& [variable, v] : postings_->variables)
    if (const ValuePostings* m = find_text(v.dimensions, dimension)) maps.push_back(m);
  for (size_t i = 0; i < values.size(); ++i)
    for (const ValuePostings* m : maps)
      if (m->find(values[i]) != m->end()) {
        out[i] = 1;
        break;
      }
}

void DistributionLookups::collect_values(std::string_view dimension,
                                         std::set<std::string>& out) const {
  if (postings_ == nullptr) return;
  // The postings hold each value once per variable, in no order: sorted and
  // deduplicated first, the values go into the set at its end, one step
  // each, instead of a tree search per value and variable. The sort orders
  // on each value's first 8 bytes held beside it, so that it rarely reads
  // the texts themselves, which lie scattered over the postings.
  struct Found {
    uint64_t head;  // the first 8 bytes, big-endian, zero-padded
    std::string_view text;
    bool operator<(const Found& o) const { return head != o.head ? head < o.head : text < o.text; }
    bool operator==(const Found& o) const { return head == o.head && text == o.text; }
  };
  std::vector<Found> found;
  for (const auto& [variable, v] : postings_->variables) {
    const ValuePostings* values = find_text(v.dimensions, dimension);
    if (values == nullptr) continue;
    for (const auto& [value, positions] : *values) {
      uint64_t head = 0;
      for (size_t i = 0; i < 8; ++i)
        head = head << 8 | (i < value.size() ? static_cast<unsigned char>(value[i]) : 0u);
      found.push_back({head, value});
    }
  }
  std::sort(found.begin(), found.end());
  found.erase(std::unique(found.begin(), found.end()), found.end());
  for (const Found& f : found) out.emplace_hint(out.end(), f.text);
}

std::optional<size_t> DistributionLookups::joint_position(std::string_view x, std::string_view y,
                                                          const model::DimensionMap& map) const {
  if (joints_.empty()) return std::nullopt;
  // Most identities fit on the stack: a lookup then allocates nothing.
  char small[256];
  std::string large;
  const size_t len = joint_identity_size(x, y, map);
  char* buf = small;
  if (len > sizeof small) {
    large.resize(len);
    buf = large.data();
  }
  write_joint_identity(buf, x, y, map);
  auto it = joints_.find(std::string_view(buf, len));
  if (it == joints_.end()) return std::nullopt;
  return it->second;
}

}  // namespace quor::store
