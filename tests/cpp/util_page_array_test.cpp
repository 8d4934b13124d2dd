// The growable plain-value array against std::vector, across the size where
// its storage turns into pages of its own and grows by moving them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "quor/util/page_array.h"

namespace quor::util {
namespace {

struct Wide {  // 24 bytes: a size that does not divide a page
  uint64_t a;
  uint32_t b;
  uint32_t c;
  uint64_t d;
  bool operator==(const Wide&) const = default;
};

Wide wide_of(uint64_t n) { return {n, static_cast<uint32_t>(n * 3), static_cast<uint32_t>(n >> 7), ~n}; }
uint32_t narrow_of(uint64_t n) { return static_cast<uint32_t>(n * 2654435761u); }

template <class T, class Make>
void grow_like_vector(Make make) {
  std::mt19937_64 rng(11);
  PageArray<T> arr;
  std::vector<T> model;
  uint64_t next = 0;
  // Past 4 MB of values, in every way the array grows, with shrinks
  // (clear, pop_back) in between so that regrowth reuses written storage.
  while (model.size() * sizeof(T) < (size_t(4) << 20)) {
    switch (rng() % 6) {
      case 0:
      case 1: {
        const T v = make(next++);
        arr.push_back(v);
        model.push_back(v);
        break;
      }
      case 2: {
        std::vector<T> run(rng() % 3000);
        for (auto& v : run) v = make(next++);
        arr.append(run.data(), run.size());
        model.insert(model.end(), run.begin(), run.end());
        break;
      }
      case 3: {
        const size_t n = model.size() + rng() % 5000;
        const T fill = make(next++);
        arr.resize(n, fill);
        model.resize(n, fill);
        break;
      }
      case 4:
        if (!model.empty() && rng() % 4 == 0) {
          arr.pop_back();
          model.pop_back();
        }
        break;
      default:
        if (rng() % 200 == 0) {
          arr.reserve(model.size() * 2 + 1);
          ASSERT_GE(arr.capacity(), model.size() * 2 + 1);
        }
    }
    ASSERT_EQ(arr.size(), model.size());
    if (!model.empty()) {
      ASSERT_TRUE(arr.back() == model.back());
    }
  }
  for (size_t i = 0; i < model.size(); ++i) ASSERT_TRUE(arr[i] == model[i]) << i;

  PageArray<T> moved(std::move(arr));
  EXPECT_EQ(arr.size(), 0u);
  EXPECT_EQ(moved.size(), model.size());
  for (size_t i = 0; i < model.size(); i += 997) ASSERT_TRUE(moved[i] == model[i]) << i;
  arr = std::move(moved);
  EXPECT_EQ(arr.size(), model.size());
  EXPECT_TRUE(arr.back() == model.back());
}

TEST(PageArray, GrowsLikeVectorPastItsPagedSize) {
  grow_like_vector<uint32_t>(narrow_of);
  grow_like_vector<Wide>(wide_of);
}

TEST(PageArray, AssignZeroedReadsZeroAfterEarlierValues) {
  // Small and paged sizes, each after the array held non-zero values of
  // both sizes.
  for (const size_t first : {size_t(10), size_t(300000)}) {
    for (const size_t n : {size_t(0), size_t(5), size_t(70000), size_t(400000)}) {
      PageArray<uint64_t> arr;
      arr.resize(first, ~uint64_t{0});
      arr.assign_zeroed(n);
      ASSERT_EQ(arr.size(), n);
      for (size_t i = 0; i < n; ++i) ASSERT_EQ(arr[i], 0u) << first << " then " << n << " at " << i;
      arr.clear();
      arr.resize(n / 2, 9);
      for (size_t i = 0; i < n / 2; ++i) ASSERT_EQ(arr[i], 9u);
    }
  }
}

TEST(PageArray, PushBackOfItsOwnValueWhileGrowing) {
  PageArray<Wide> arr;
  arr.push_back(wide_of(1));
  // Each push that fills the capacity moves the storage the value is read
  // from.
  for (int i = 0; i < 200000; ++i) arr.push_back(arr[static_cast<size_t>(i)]);
  for (size_t i = 0; i < arr.size(); ++i) ASSERT_TRUE(arr[i] == wide_of(1)) << i;
}

TEST(PageArray, ReleaseFrontKeepsEveryValueAtOrPastItsMark) {
  // Small (allocator) and paged arrays, large-page sized too, released at
  // marks inside a page, on a page boundary and past the end.
  for (const size_t n : {size_t(1000), size_t(300000), size_t(3000000)}) {
    PageArray<Wide> arr;
    for (size_t i = 0; i < n; ++i) arr.push_back(wide_of(i + 1));
    size_t mark = 0;
    for (const size_t next : {n / 7, n / 3 + 1, n / 2, n, n + 5}) {
      mark = std::max(mark, next);
      arr.release_front(mark);
      ASSERT_EQ(arr.size(), n);
      for (size_t i = std::min(mark, n); i < n; ++i) ASSERT_TRUE(arr[i] == wide_of(i + 1)) << n << " " << i;
      // What was released reads as its value (kept) or as zeros.
      for (size_t i = 0; i < std::min(mark, n); i += 101)
        ASSERT_TRUE(arr[i] == wide_of(i + 1) || arr[i] == Wide{}) << n << " " << i;
    }
    // Still an array that grows.
    arr.push_back(wide_of(7));
    EXPECT_TRUE(arr.back() == wide_of(7));
  }
}

}  // namespace
}  // namespace quor::util
