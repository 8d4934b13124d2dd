#include "quor/sql/internal/row_order.h"

#include <array>
#include <cmath>
#include <cstring>
#include <utility>

#include "quor/util/float_text.h"
#include "quor/util/panic.h"
#include "quor/util/total_order.h"

namespace quor::sql {

namespace {

// Stable least-significant-digit radix sort of `items` by key(item), 8
// bits at a time; a digit on which every key agrees needs no pass.
template <class Item, class Key>
void radix_sort(std::vector<Item>& items, Key key) {
  uint64_t all_or = 0;
  uint64_t all_and = ~uint64_t{0};
  for (const Item& it : items) {
    all_or |= key(it);
    all_and &= key(it);
  }
  const uint64_t varying = all_or ^ all_and;
  std::vector<Item> spare(items.size());
  for (int shift = 0; shift < 64; shift += 8) {
    if (((varying >> shift) & 0xFF) == 0) continue;
    std::array<uint32_t, 256> start{};
    for (const Item& it : items) ++start[(key(it) >> shift) & 0xFF];
    uint32_t sum = 0;
    for (uint32_t& s : start) sum += std::exchange(s, sum);
    for (const Item& it : items) spare[start[(key(it) >> shift) & 0xFF]++] = it;
    items.swap(spare);
  }
}

}  // namespace

std::vector<uint32_t> descending_order(std::span<const double> keys) {
  const size_t n = keys.size();
  QUOR_ASSERT(n <= UINT32_MAX, "too many rows to order");
  // Ascending order of the complemented image is descending order of the
  // key; stability keeps equal keys in row order.
  struct Item {
    uint64_t image;
    uint32_t row;
  };
  std::vector<Item> items(n);
  for (size_t i = 0; i < n; ++i)
    items[i] = {~(static_cast<uint64_t>(util::total_order_key(keys[i])) ^ (uint64_t{1} << 63)),
                static_cast<uint32_t>(i)};
  radix_sort(items, [](const Item& it) { return it.image; });
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = items[i].row;
  return order;
}

std::optional<uint32_t> fixed_value_image(double value, int decimals) {
  QUOR_ASSERT(decimals >= 0 && decimals <= 9, "decimal count out of range");
  const double magnitude = std::fabs(value);
  const double scaled = magnitude * util::kExactPowersOfTen[decimals];
  if (!(scaled < 2147483648.0)) return std::nullopt;  // NaN fails too
  const auto units = static_cast<uint64_t>(std::llround(scaled));
  const double read = util::short_decimal_value(units, static_cast<size_t>(decimals));
  if (std::memcmp(&read, &magnitude, sizeof read) != 0 || units >= (uint64_t{1} << 31))
    return std::nullopt;
  // Below 2^31 units every count reads as its own value, in order; -0.0
  // (no units, negative) lies just below 0.0.
  const uint64_t middle = uint64_t{1} << 31;
  return static_cast<uint32_t>(std::signbit(value) ? middle - 1 - units : middle + units);
}

std::vector<uint32_t> descending_order_of_fixed(std::span<const double> keys, int decimals) {
  const size_t n = keys.size();
  QUOR_ASSERT(n <= UINT32_MAX, "too many rows to order");
  // The complemented image above the row number: ascending items are
  // descending keys, equal keys in row order.
  std::vector<uint64_t> items(n);
  for (size_t i = 0; i < n; ++i) {
    const std::optional<uint32_t> image = fixed_value_image(keys[i], decimals);
    if (!image) return descending_order(keys);
    items[i] = (static_cast<uint64_t>(~*image) << 32) | i;
  }
  radix_sort(items, [](uint64_t it) { return it & (~uint64_t{0} << 32); });
  std::vector<uint32_t> order(n);
  for (size_t i = 0; i < n; ++i) order[i] = static_cast<uint32_t>(items[i]);
  return order;
}

}  // namespace quor::sql
