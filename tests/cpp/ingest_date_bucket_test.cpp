// What the ingest's key lookup relies on in date buckets: every label a
// granularity makes buckets to itself under that granularity (so a text
// found among the labels is its own label), and the memo of a worker's last
// text and label gives exactly the label of a fresh bucketing, whatever the
// order of the texts.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "quor/ingest/internal/date_bucket.h"
#include "reference/date_bucket.h"

namespace quor::ingest {
namespace {

using reference::bucket_by_granularity;

const char* const kGranularities[] = {"daily", "weekly", "monthly", "yearly"};

// Timestamps of one year with times of day, every few hours, in order.
std::vector<std::string> sorted_timestamps(int year) {
  std::vector<std::string> out;
  for (int day = 0; day < 365; day += 3) {
    for (int hour = 0; hour < 24; hour += 5) {
      char text[32];
      std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", year, 1 + day / 31 % 12,
                    1 + day % 28, hour, (day * 7 + hour) % 60, (day + hour * 13) % 61);
      out.emplace_back(text);
    }
  }
  return out;
}

// Texts of every shape a date column meets: dates, date-times (with seconds
// up to 60), fractional seconds, offsets, times out of range or with one
// digit, impossible days, far years, years alone, labels of every
// granularity, and texts that are no dates at all.
std::vector<std::string> mixed_texts() {
  std::vector<std::string> out = {
      "2024-03-05",           "2024-03-05T10:20:30",  "2024-03-05T10:20:31",  "2024-03-05T23:59:60",
      "2024-03-05T23:59:61",  "2024-03-05T24:00:00",  "2024-03-05T23:60:00",  "2024-03-05T1:02:03",
      "2024-03-05T10:20:30.5", "2024-03-05T10:20:30Z", "2024-03-05T10:20:30+01:00",
      "2024-03-05 10:20:30",  "2024-03-05T10:20",     "2024-03-05t10:20:30",  "2024-03-05T10-20-30",
      "2024-03-06T10:20:30",  "2024-04-05T00:00:00",  "2024-02-30T10:20:30",  "2024-02-29T10:20:30",
      "2023-02-29T10:20:30",  "2024-3-5",             "2024-3-5T1:2:3",       "+40000-02-29",
      "+40000-02-29T10:20:30", "-0400-03-01T00:00:00", "+262142-12-31",       "+262143-01-01",
      "0099-01-01T12:00:00",  "0000-01-01",           "9999-12-31T23:59:59",  "2019",
      "2024-03",              "2024-W10",             "2020-W53",             "north",
      "",                     "2024/03/05",           "2024-03-05T10:20:3a",  "2024-03-05T10:2a:30",
      "x024-03-05T10:20:30",  "2024-03-05X10:20:30",  "2024-03-05T10:20:30 ", "-32800-02-29",
  };
  for (const char* g : kGranularities)
    for (const std::string& t : std::vector<std::string>(out))
      out.push_back(bucket_by_granularity(t, std::optional<std::string>(g)));
  return out;
}

TEST(DateBuckets, EveryLabelBucketsToItself) {
  std::vector<std::string> texts = mixed_texts();
  for (const int year : {1, 1970, 2001, 2024, 9999}) {
    const auto more = sorted_timestamps(year);
    texts.insert(texts.end(), more.begin(), more.end());
  }
  for (const char* g : kGranularities) {
    const std::optional<std::string> granularity(g);
    for (const std::string& text : texts) {
      const std::string label = bucket_by_granularity(text, granularity);
      ASSERT_EQ(bucket_by_granularity(label, granularity), label) << g << " " << text;
    }
  }
  // Every day of far years, on both sides of year 0.
  for (const int year : {-262143, -10000, -1, 0, 10000, 262142}) {
    for (int m = 1; m <= 12; ++m) {
      for (int d = 1; d <= 31; ++d) {
        char text[40];
        std::snprintf(text, sizeof text, year < 0 ? "%07d-%02d-%02d" : "%+07d-%02d-%02d", year, m, d);
        for (const char* g : kGranularities) {
          const std::optional<std::string> granularity(g);
          const std::string label = bucket_by_granularity(text, granularity);
          ASSERT_EQ(bucket_by_granularity(label, granularity), label) << g << " " << text;
        }
      }
    }
  }
}

// The memo against a fresh bucketing of every text, over sorted, repeated
// and shuffled sequences, for every granularity, an unknown one and none.
TEST(DateBuckets, MemoOfTheLastTextGivesTheBucketLabel) {
  std::vector<std::vector<std::string>> sequences;
  sequences.push_back(sorted_timestamps(2001));
  std::vector<std::string> repeated;
  for (const std::string& t : sorted_timestamps(2024)) repeated.insert(repeated.end(), 3, t);
  sequences.push_back(repeated);
  std::vector<std::string> all = mixed_texts();
  for (const std::string& t : sorted_timestamps(2024)) all.push_back(t);
  sequences.push_back(all);
  std::mt19937_64 rng(18);
  for (int i = 0; i < 4; ++i) {
    std::shuffle(all.begin(), all.end(), rng);
    sequences.push_back(all);
  }
  std::vector<std::optional<std::string>> granularities = {std::nullopt, std::string("quarterly")};
  for (const char* g : kGranularities) granularities.emplace_back(g);
  for (const auto& granularity : granularities) {
    for (const auto& texts : sequences) {
      BucketMemo memo(granularity);
      std::string last;
      for (size_t i = 0; i < texts.size(); ++i) {
        bool same = false;
        const std::string got(memo.label(texts[i], same));
        const std::string want = bucket_by_granularity(texts[i], granularity);
        ASSERT_EQ(got, want) << granularity.value_or("none") << " " << texts[i];
        ASSERT_EQ(same, i > 0 && want == last) << granularity.value_or("none") << " " << texts[i];
        last = want;
      }
    }
  }
}

}  // namespace
}  // namespace quor::ingest
