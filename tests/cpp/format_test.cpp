#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <string_view>
#include <utility>

#include "quor/util/float_text.h"
#include "quor/util/format.h"
#include "quor/util/total_order.h"
#include "quor/util/utf8.h"

namespace quor::util {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct FixedCase {
  double value;
  int decimals;
  const char* text;
};

TEST(FormatFixed, CorrectlyRoundedFromTheExactDouble) {
  const FixedCase cases[] = {
      {0.125, 2, "0.12"},   // exact tie: to even
      {0.375, 2, "0.38"},   // exact tie: to even
      {2.5, 0, "2"},
      {3.5, 0, "4"},
      {0.5, 0, "0"},
      {1.005, 2, "1.00"},   // 1.00499999999999989...
      {0.1, 20, "0.10000000000000000555"},
      {2.675, 2, "2.67"},   // 2.67499999999999982...
      {0.25, 3, "0.250"},
      {1e22, 1, "10000000000000000000000.0"},
      {5e-324, 3, "0.000"},
      {123.456, 0, "123"},
      {-1.5, 0, "-2"},
      {-0.0, 4, "-0.0000"},
      {-0.00001, 4, "-0.0000"},  // negative, so the sign stays
      {0.0, 6, "0.000000"},
      {kNaN, 4, "NaN"},
      {-kNaN, 4, "NaN"},
      {kInf, 6, "inf"},
      {-kInf, 6, "-inf"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(format_fixed(c.value, c.decimals), c.text) << c.value << " .{" << c.decimals << "}";

  std::string max = format_fixed(DBL_MAX, 0);
  EXPECT_EQ(max.size(), 309u);
  EXPECT_EQ(max.substr(0, 17), "17976931348623157");
  EXPECT_EQ(max.substr(300), "124858368");
}

TEST(FormatFixed, SignedFormShowsPlusForNonNegative) {
  const FixedCase cases[] = {
      {0.0, 4, "+0.0000"},  {-0.0, 4, "-0.0000"}, {0.25, 4, "+0.2500"},
      {-0.25, 4, "-0.2500"}, {0.00004, 4, "+0.0000"}, {kInf, 4, "+inf"},
      {-kInf, 4, "-inf"},   {kNaN, 4, "NaN"},
  };
  for (const auto& c : cases) EXPECT_EQ(format_signed_fixed(c.value, c.decimals), c.text) << c.value;
}

TEST(FormatPlain, ShortestRoundTripNeverExponent) {
  const std::pair<double, const char*> cases[] = {
      {1.0, "1"},
      {0.5, "0.5"},
      {-0.0, "-0"},
      {0.0, "0"},
      {100.0, "100"},
      {0.1, "0.1"},
      {0.30000000000000004, "0.30000000000000004"},
      {1e21, "1000000000000000000000"},
      {1.2345678901234568e20, "123456789012345680000"},
      {1e-7, "0.0000001"},
      {-2.5e-5, "-0.000025"},
      {2.5, "2.5"},  // the point among the digits
      {-99.75, "-99.75"},
      {123456.789, "123456.789"},
      {4503599627370495.5, "4503599627370495.5"},
      {kNaN, "NaN"},
      {kInf, "inf"},
      {-kInf, "-inf"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(format_plain(v), text);
  EXPECT_EQ(format_plain(5e-324), "0." + std::string(323, '0') + "5");
  EXPECT_EQ(format_plain(DBL_MAX).size(), 309u);
  // Every text reads back as the same value.
  for (double v : {0.1, 1.0 / 3.0, 10.0 / 3.0, -1234.5678, 6.02214076e23, 1e-300, DBL_MIN})
    EXPECT_EQ(*parse_float(format_plain(v)), v);
}

TEST(FormatPadded, RightAlignsWithoutCutting) {
  EXPECT_EQ(format_padded(5, 6), "     5");
  EXPECT_EQ(format_padded(0, 6), "     0");
  EXPECT_EQ(format_padded(123456, 6), "123456");
  EXPECT_EQ(format_padded(1234567, 6), "1234567");
  EXPECT_EQ(format_padded(UINT64_MAX, 6), "18446744073709551615");
}

TEST(TotalOrder, SignedZerosAndNaNs) {
  EXPECT_TRUE(total_less(-0.0, 0.0));
  EXPECT_FALSE(total_less(0.0, -0.0));
  EXPECT_FALSE(total_less(0.0, 0.0));
  EXPECT_TRUE(total_less(-1.0, -0.5));
  EXPECT_TRUE(total_less(1.0, 2.0));
  EXPECT_TRUE(total_less(kInf, kNaN));
  EXPECT_TRUE(total_less(-kNaN, -kInf));
  EXPECT_TRUE(total_less(-kInf, -DBL_MAX));
  EXPECT_TRUE(total_greater(kNaN, kInf));
  EXPECT_FALSE(total_greater(-0.0, 0.0));
  EXPECT_LT(total_order_key(-0.0), total_order_key(0.0));
}

TEST(Utf8, ValidationAndDecoding) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("caf\xC3\xA9 \xE2\x94\x80 \xF0\x9F\x98\x80"));
  for (const char* bad : {"\x80", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                          "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xE2\x94"})
    EXPECT_FALSE(is_valid_utf8(bad)) << bad;
  size_t len = 0;
  EXPECT_EQ(decode_utf8_at("\xE3\x80\x80x", 0, len), U'\u3000');
  EXPECT_EQ(len, 3u);
  EXPECT_EQ(decode_utf8_at("a\xE3\x80", 1, len), U'\xE3');  // cut short: the byte itself
  EXPECT_EQ(len, 1u);
  std::string out;
  for (char32_t cp : {U'a', U'\u00e9', U'\u2500', U'\U0001F600'}) append_utf8(out, cp);
  EXPECT_EQ(out, "a\xC3\xA9\xE2\x94\x80\xF0\x9F\x98\x80");
  EXPECT_EQ(utf8_char_count(out), 4u);
}

TEST(Utf8, ValidatorSaysWhereAndWhyItStops) {
  struct Case {
    std::string_view text;
    size_t valid_up_to;
    size_t error_len;  // 0: the text ends inside a sequence
  };
  const Case cases[] = {
      {"plain ascii text", 16, 0},
      {"ab\x80", 2, 1},                  // a continuation byte leads nothing
      {"ab\xC3", 2, 0},                  // cut short
      {"\xC0\xA0", 0, 1},                // overlong space
      {"\xC1\xBF", 0, 1},                // overlong
      {"x\xE0\x80\xA0", 1, 1},           // overlong three-byte space
      {"\xE2\x80", 0, 0},                // cut short after a good second byte
      {"\xE2\x80x", 0, 2},               // bad third byte
      {"\xED\xA0\x80", 0, 1},            // surrogate
      {"\xF0\x82\x80\x80", 0, 1},        // overlong four-byte
      {"\xF4\x90\x80\x80", 0, 1},        // above U+10FFFF
      {"\xF5\x80\x80\x80", 0, 1},        // no such lead byte
      {"\xF0\x9F\x98x", 0, 3},           // bad fourth byte
      {"\xF0\x9F\x98", 0, 0},            // cut short
      {"\xF2\x80\x80\x80", 4, 0},        // U+80000: a lead between F0 and F4
      {"\xF3\xC0\x80\x80", 0, 1},        // its second byte no continuation
      {"12345678\xC3\xA9\xFF", 10, 1},    // past the eight-byte ASCII step
  };
  for (const Case& c : cases) {
    size_t up_to = 99, error_len = 99;
    const bool valid = c.valid_up_to == c.text.size();
    EXPECT_EQ(validate_utf8(c.text, up_to, error_len), valid) << c.text;
    EXPECT_EQ(up_to, c.valid_up_to) << c.text;
    if (!valid) {
      EXPECT_EQ(error_len, c.error_len) << c.text;
    }
    EXPECT_EQ(utf8_valid_up_to(c.text), c.valid_up_to) << c.text;
    EXPECT_EQ(is_valid_utf8(c.text), valid) << c.text;
  }
}

TEST(Utf8, TrimsUnicodeWhiteSpaceButNotMalformedBytes) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"", ""},
      {" \t\r\n", ""},
      {"\xE3\x80\x80 x y\xE2\x80\x83\xC2\xA0", "x y"},  // ideographic, em, no-break
      {"\xC2\x85x\xE2\x80\xA8", "x"},                   // next line, line separator
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},              // zero width space is not white space
      {"\xC0\xA0x\xC0\xA0", "\xC0\xA0x\xC0\xA0"},      // overlong spaces stay
      {"\x85x\xA0", "\x85x\xA0"},                        // bare bytes of U+0085 / U+00A0 stay
      {" \xE3\x80", "\xE3\x80"},                         // a cut sequence stops the trim
      {"\xF0\x9F\x98\x80 ", "\xF0\x9F\x98\x80"},
  };
  for (const auto& [text, want] : cases) EXPECT_EQ(trim_unicode_white_space(text), want) << text;
  EXPECT_EQ(white_space_length_at("a\xE3\x80\x80", 1), 3u);
  EXPECT_EQ(white_space_length_at("a\xE3\x80\x80", 0), 0u);
  EXPECT_EQ(white_space_length_at("\xE0\x80\xA0", 0), 0u);
}

TEST(Utf8, WhiteSpaceIsExactlyTheUnicodeSet) {
  size_t count = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) count += is_unicode_white_space(cp);
  EXPECT_EQ(count, 25u);
  for (char32_t cp : {U'\t', U'\r', U'\u000b', U'\u0085', U'\u00a0', U'\u1680', U'\u200a',
                      U'\u2028', U'\u202f', U'\u205f', U'\u3000'})
    EXPECT_TRUE(is_unicode_white_space(cp)) << static_cast<unsigned>(cp);
  for (char32_t cp : {U'\u200b', U'\u180e', U'\ufeff', U'\u0008'})
    EXPECT_FALSE(is_unicode_white_space(cp)) << static_cast<unsigned>(cp);
}

TEST(Utf8, FullUpperCasing) {
  EXPECT_EQ(to_upper_full("jsd"), "JSD");
  EXPECT_EQ(to_upper_full("Hellinger"), "HELLINGER");
  EXPECT_EQ(to_upper_full("stra\xC3\x9F" "e"), "STRASSE");    // ß -> SS
  EXPECT_EQ(to_upper_full("\xEF\xAC\x81" "x"), "FIX");          // the ligature fi
  EXPECT_EQ(to_upper_full("\xC3\xA9t\xC3\xA9"), "\xC3\x89T\xC3\x89");
  EXPECT_EQ(to_upper_full("i"), "I");                           // no Turkish dotted I
  EXPECT_EQ(to_upper_full(""), "");
}

}  // namespace
}  // namespace quor::util
