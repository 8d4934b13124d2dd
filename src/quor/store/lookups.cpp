#include "quor/store/lookups.h"

#include <algorithm>
#include <cstring>
#include <string>

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

}  // namespace

DistributionLookups::DistributionLookups() : postings_(std::make_unique<Postings>()) {}

void DistributionLookups::forget_postings() { postings_ = std::make_unique<Postings>(); }

void DistributionLookups::rebuild_joints(const std::vector<model::JointDistributionObject>& joints) {
  joints_.clear();
  joints_covered_ = 0;
  joints_.reserve(joints.size());
  for (size_t i = 0; i < joints.size(); ++i) add_joint(joints[i], i);
}

void DistributionLookups::add_joint(const model::JointDistributionObject& j, size_t position) {
  joints_.try_emplace(joint_identity(j.variables.first, j.variables.second, j.dimension_key),
                      static_cast<Position>(position));
  joints_covered_ = position + 1;
}

void DistributionLookups::refresh_postings(const DistributionTable& table) const {
  if (postings_ == nullptr) return;  // moved from: holds nothing
  Postings& p = *postings_;
  if (p.table == &table && p.covered.load(std::memory_order_acquire) == table.size()) return;
  std::lock_guard<std::mutex> lock(p.mu);
  size_t from = p.covered.load(std::memory_order_relaxed);
  if (p.table != &table || from > table.size()) {  // another table, or one replaced
    p.variables.clear();
    p.table = &table;
    from = 0;
  }
  if (p.variables.size() < table.variable_count()) p.variables.resize(table.variable_count());
  for (size_t i = from; i < table.size(); ++i) {
    const auto pos = static_cast<Position>(i);
    VariablePostings& v = p.variables[table.row(pos).variable];
    v.all.push_back(pos);
    for (const KeyEntry& e : table.key(pos))
      v.values[static_cast<uint64_t>(e.dimension) << 32 | e.label].push_back(pos);
  }
  p.covered.store(table.size(), std::memory_order_release);
}

std::span<const Position> DistributionLookups::of_variable(uint32_t v) const {
  if (postings_ == nullptr || v >= postings_->variables.size()) return {};
  return postings_->variables[v].all;
}

std::span<const Position> DistributionLookups::of_value(uint32_t v, KeyEntry e) const {
  if (postings_ == nullptr || v >= postings_->variables.size()) return {};
  const auto& values = postings_->variables[v].values;
  auto it = values.find(static_cast<uint64_t>(e.dimension) << 32 | e.label);
  if (it == values.end()) return {};
  return it->second;
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
