#include "quor/sql/text_rows.h"

#include <algorithm>
#include <ostream>

#include "quor/util/panic.h"

namespace quor::sql {

std::ostream& operator<<(std::ostream& os, const TextRows::Cell& c) {
  return os << '"' << c.view() << '"';
}

TextRows::Row::operator std::vector<std::string>() const {
  std::vector<std::string> out;
  out.reserve(size_);
  for (size_t j = 0; j < size_; ++j) out.emplace_back((*this)[j].view());
  return out;
}

bool operator==(const TextRows::Row& a, const TextRows::Row& b) {
  if (a.size() != b.size()) return false;
  for (size_t j = 0; j < a.size(); ++j)
    if (a[j].view() != b[j].view()) return false;
  return true;
}

bool operator==(const TextRows::Row& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (size_t j = 0; j < a.size(); ++j)
    if (a[j].view() != b[j]) return false;
  return true;
}

TextRows::TextRows(std::initializer_list<std::initializer_list<std::string_view>> rows) {
  for (const auto& row : rows) push_back(row);
}

TextRows::TextRows(const std::vector<std::vector<std::string>>& rows) {
  for (const auto& row : rows) push_back(row);
}

TextRows& TextRows::operator=(std::initializer_list<std::initializer_list<std::string_view>> rows) {
  *this = TextRows(rows);
  return *this;
}

void TextRows::reserve(size_t, size_t, size_t bytes) {
  // The lists grow by small blocks; only the list of text blocks has room.
  blocks_.reserve(blocks_.size() + bytes / kBlockBytes + 1);
}

void TextRows::push_back(std::initializer_list<std::string_view> cells) {
  start_row();
  for (std::string_view c : cells) add_cell(c);
}

void TextRows::push_back(const std::vector<std::string>& cells) {
  start_row();
  for (const std::string& c : cells) add_cell(c);
}

TextRows::operator std::vector<std::vector<std::string>>() const {
  std::vector<std::vector<std::string>> out;
  out.reserve(size());
  for (size_t i = 0; i < size(); ++i) out.push_back((*this)[i]);
  return out;
}

void TextRows::add_cell(std::string_view text) {
  QUOR_ASSERT(cells_.size() < UINT32_MAX && text.size() <= UINT32_MAX, "result table too large");
  if (blocks_.empty() || blocks_.back().capacity() - blocks_.back().size() < text.size()) {
    QUOR_ASSERT(blocks_.size() < UINT32_MAX, "result table too large");
    blocks_.emplace_back().reserve(std::max(kBlockBytes, text.size()));
  }
  std::string& block = blocks_.back();
  block.append(text);
  cells_.push_back({static_cast<uint32_t>(blocks_.size() - 1), static_cast<uint32_t>(block.size())});
  ++rows_.back().cells;
}

void TextRows::reorder(std::span<const uint32_t> order) {
  QUOR_ASSERT(order.size() == rows_.size(), "one position per row");
  // Along the permutation's cycles, in place: position k takes the row
  // at order[k].
  std::vector<bool> placed(rows_.size(), false);
  for (size_t start = 0; start < rows_.size(); ++start) {
    if (placed[start]) continue;
    const Span held = rows_[start];
    size_t k = start;
    while (true) {
      placed[k] = true;
      const size_t from = order[k];
      QUOR_ASSERT(from < rows_.size() && !(placed[from] && from != start), "not a permutation");
      if (from == start) {
        rows_[k] = held;
        break;
      }
      rows_[k] = rows_[from];
      k = from;
    }
  }
}

bool TextRows::operator==(const TextRows& other) const {
  if (size() != other.size()) return false;
  for (size_t i = 0; i < size(); ++i)
    if (!((*this)[i] == other[i])) return false;
  return true;
}

bool operator==(const TextRows& a, const std::vector<std::vector<std::string>>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!(a[i] == b[i])) return false;
  return true;
}

}  // namespace quor::sql
