#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "quor/util/ascii.h"
#include "quor/util/os_error.h"
#include "quor/util/saturating.h"

namespace quor::util {
namespace {

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

TEST(Ascii, CaseFoldsAsciiLettersOnly) {
  EXPECT_TRUE(ascii_iequals("WaSSerStein", "wasserstein"));
  EXPECT_TRUE(ascii_iequals("", ""));
  EXPECT_FALSE(ascii_iequals("psi ", "psi"));
  EXPECT_FALSE(ascii_iequals("ps", "psi"));
  EXPECT_FALSE(ascii_iequals("\xC3\x89", "\xC3\xA9"));  // É is no ASCII letter
  EXPECT_FALSE(ascii_iequals("[", "{"));                 // '[' is 'Z' + 1, '{' is 'z' + 1
  std::string ext = "CsV\xC3\x89@[";
  ascii_lower_in_place(ext);
  EXPECT_EQ(ext, "csv\xC3\x89@[");
}

TEST(Saturating, AddStopsAtTheTop) {
  constexpr uint64_t kTop = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(add_saturating(2, 3), 5u);
  EXPECT_EQ(add_saturating(kTop - 1, 1), kTop);
  EXPECT_EQ(add_saturating(kTop - 1, 2), kTop);
  EXPECT_EQ(add_saturating(kTop, kTop), kTop);
}

TEST(Saturating, FloorToInt64) {
  const double two63 = 9223372036854775808.0;
  const std::pair<double, int64_t> cases[] = {
      {0.0, 0},
      {-0.0, 0},
      {2.5, 2},
      {-2.5, -3},
      {-1.0, -1},
      {-5e-324, -1},
      {std::nan(""), 0},
      {-std::nan(""), 0},
      {HUGE_VAL, kMax},
      {-HUGE_VAL, kMin},
      {two63, kMax},
      {std::nextafter(two63, 0.0), 9223372036854774784},
      {-two63, kMin},
      {std::nextafter(-two63, -HUGE_VAL), kMin},
      {std::nextafter(-two63, 0.0), -9223372036854774784},
  };
  for (const auto& [v, want] : cases) EXPECT_EQ(floor_to_int64_saturating(v), want) << v;
}

TEST(OsError, TextAndNumber) {
  EXPECT_EQ(os_error_text(ENOENT), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(EEXIST), "File exists (os error 17)");
  EXPECT_EQ(os_error(EACCES).root(), "Permission denied (os error 13)");
  EXPECT_EQ(os_error_text(99999), "Unknown error 99999 (os error 99999)");
}

}  // namespace
}  // namespace quor::util
