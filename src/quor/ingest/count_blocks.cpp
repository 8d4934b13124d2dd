#include "quor/ingest/internal/count_blocks.h"

#include <algorithm>
#include <cstring>

namespace quor::ingest::internal {

namespace {

constexpr size_t kFirstChunkCounts = size_t(1) << 13, kLastChunkCounts = size_t(1) << 19;

}  // namespace

void CountBlocks::set_stores(size_t n) { stores_.resize(std::max<size_t>(n, 1)); }

uint32_t CountBlocks::add(uint32_t cells) {
  const uint32_t b = static_cast<uint32_t>(headers_.size());
  headers_.push_back({nullptr, cells, 0, 0, {}});
  // Count numbers past a u16 cannot be listed.
  if (cells + size_t(2) > UINT16_MAX) make_flat(b);
  return b;
}

uint64_t* CountBlocks::make_flat(uint32_t b, size_t store) {
  Header& h = headers_[b];
  Store& st = stores_[store];
  const size_t need = h.cells + size_t(2);
  if (need > st.left) {
    const size_t grown = kFirstChunkCounts << std::min<size_t>(st.chunks.size(), 6);
    const size_t size = std::max(need, std::min(grown, kLastChunkCounts));
    st.chunks.emplace_back().assign_zeroed(size);
    st.next = st.chunks.back().data();
    st.left = size;
  }
  h.counts = st.next;
  st.next += need;
  st.left -= need;
  for (uint16_t i = 0; i < h.short_size; ++i) ++h.counts[h.short_counts[i]];
  h.short_size = 0;
  return h.counts;
}

store::CellCounts CountBlocks::counts(uint32_t b, bool categorical) const {
  const Header& h = headers_[b];
  const size_t n = h.cells;
  store::CellCounts out;
  out.categorical = categorical;
  if (h.counts != nullptr) {
    const uint64_t* c = h.counts;
    out.cells = std::span<const uint64_t>(c, n);
    out.unknown = c[n];
    out.total_only = c[n + 1];
    return out;
  }
  thread_local std::vector<uint64_t> flat;
  size_t used = 0;
  for (uint16_t i = 0; i < h.short_size; ++i)
    if (h.short_counts[i] < n) used = std::max<size_t>(used, h.short_counts[i] + size_t(1));
  flat.assign(used, 0);
  for (uint16_t i = 0; i < h.short_size; ++i) {
    const uint32_t c = h.short_counts[i];
    if (c < n) ++flat[c];
    else if (c == n) ++out.unknown;
    else ++out.total_only;
  }
  out.cells = std::span<const uint64_t>(flat.data(), used);
  return out;
}

void CountBlocks::clear(uint32_t b) {
  Header& h = headers_[b];
  if (h.counts != nullptr) std::memset(h.counts, 0, (h.cells + size_t(2)) * sizeof(uint64_t));
  h.short_size = 0;
}

void CountBlocks::drop() {
  headers_ = {};
  for (Store& st : stores_) st = Store();
}

}  // namespace quor::ingest::internal
