// The inputs of the ingestion benchmark, seeded so that the same arguments
// always give the same bytes.
//
// Reference CSV: sales-like rows with a date over 24 months, a region of 60
// values, 3 numeric and 3 categorical columns (at most 20 values each).
//
// High-cardinality CSV: a date over 13 days, two text columns of 300 values
// each and one numeric column; with daily buckets 3 M rows give about one
// million keys, each its own distribution.
//
// Flights CSV: the shape of a public flights dataset. A timestamp with a time
// of day ("2001-01-01T00:01:00"), rising through the file over January to
// June, a year per 3 M rows (10 M rows run on into 2004); a delay in minutes
// and a distance in miles, both skewed; an origin and a destination among
// 300 airports of skewed traffic, each origin flying to a few dozen of them.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace quor::bench {

namespace internal {

// Writes `rows` lines produced by `line(rng, buffer, size)` after `header`.
template <class Line>
bool write_csv(const std::string& path, const char* header, uint64_t rows, uint64_t seed,
               Line line) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::mt19937_64 rng(seed);
  std::string out = header;
  char buf[256];
  for (uint64_t i = 0; i < rows; ++i) {
    const int n = line(rng, buf, sizeof buf);
    out.append(buf, static_cast<size_t>(n));
    if (out.size() > (1u << 20)) {
      std::fwrite(out.data(), 1, out.size(), f);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), f);
  return std::fclose(f) == 0;
}

}  // namespace internal

inline bool write_reference_csv(const std::string& path, uint64_t rows, uint64_t seed = 20240601) {
  static const char* kChannels[] = {"online", "store", "phone", "partner", "kiosk"};
  static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return internal::write_csv(
      path, "date,region,price,quantity,discount,channel,segment,status\n", rows, seed,
      [](std::mt19937_64& rng, char* line, size_t size) {
        const int month_index = static_cast<int>(rng() % 24);
        const int year = 2023 + month_index / 12;
        const int month = month_index % 12 + 1;
        const int day =
            static_cast<int>(rng() % static_cast<uint64_t>(kDaysInMonth[month - 1])) + 1;
        const int region = static_cast<int>(rng() % 60);
        // Price: skewed, two decimals; quantity: 1..1000; discount: 0..0.5.
        const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;
        const double price = 5.0 + 995.0 * u * u;
        const int quantity = static_cast<int>(rng() % 1000) + 1;
        const double discount = static_cast<double>(rng() % 5001) / 10000.0;
        return std::snprintf(line, size,
                             "%04d-%02d-%02d,region_%02d,%.2f,%d,%.4f,%s,segment_%02d,status_%02d\n",
                             year, month, day, region, price, quantity, discount,
                             kChannels[rng() % 5], static_cast<int>(rng() % 12),
                             static_cast<int>(rng() % 20));
      });
}

inline bool write_high_cardinality_csv(const std::string& path, uint64_t rows,
                                       uint64_t seed = 20240602) {
  return internal::write_csv(path, "date,store,product,price\n", rows, seed,
                             [](std::mt19937_64& rng, char* line, size_t size) {
                               const int day = static_cast<int>(rng() % 13) + 1;
                               const int store = static_cast<int>(rng() % 300);
                               const int product = static_cast<int>(rng() % 300);
                               const double price = static_cast<double>(rng() % 100000) / 100.0;
                               return std::snprintf(line, size,
                                                    "2024-03-%02d,store_%03d,product_%03d,%.2f\n",
                                                    day, store, product, price);
                             });
}

inline bool write_flights_csv(const std::string& path, uint64_t rows, uint64_t seed = 20010101) {
  constexpr int kAirports = 300;
  constexpr uint64_t kRowsPerYear = 3000000;
  constexpr int kDaysInHalf[] = {31, 28, 31, 30, 31, 30};
  // Airport codes AAA.. spread over the alphabet; airport i is drawn with a
  // weight falling as 1 / (i + 3).
  char codes[kAirports][4];
  for (int i = 0; i < kAirports; ++i) {
    const int c = (i * 7919) % (26 * 26 * 26);
    codes[i][0] = static_cast<char>('A' + c / 676);
    codes[i][1] = static_cast<char>('A' + c / 26 % 26);
    codes[i][2] = static_cast<char>('A' + c % 26);
    codes[i][3] = '\0';
  }
  std::vector<double> cumulative(kAirports);
  double sum = 0.0;
  for (int i = 0; i < kAirports; ++i) cumulative[i] = sum += 1.0 / (i + 3);
  uint64_t row = 0;
  return internal::write_csv(
      path, "date,delay,distance,origin,destination\n", rows, seed,
      [&](std::mt19937_64& rng, char* line, size_t size) {
        auto uniform = [&rng] { return static_cast<double>(rng() >> 11) / 9007199254740992.0; };
        auto airport = [&] {
          const double u = uniform() * sum;
          return static_cast<int>(std::lower_bound(cumulative.begin(), cumulative.end(), u) -
                                  cumulative.begin());
        };
        // The year of this row and its minute in January to June.
        const uint64_t year_row = row % kRowsPerYear;
        const int year = 2001 + static_cast<int>(row / kRowsPerYear);
        const uint64_t minute = year_row * (181ULL * 24 * 60) / kRowsPerYear;
        ++row;
        int day = static_cast<int>(minute / (24 * 60));
        int month = 0;
        while (day >= kDaysInHalf[month]) day -= kDaysInHalf[month++];
        const int origin = airport();
        // Each origin flies to 40 destinations of its own, popular ones first.
        int destination = (origin + 1 + static_cast<int>(uniform() * uniform() * 40) * 7) % kAirports;
        if (destination == origin) destination = (destination + 1) % kAirports;
        const double e = -std::log(1.0 - uniform());
        const int delay = static_cast<int>(e * e * 12.0) - 10;
        const int distance = 60 + static_cast<int>(2400.0 * uniform() * uniform() * uniform()) +
                             (origin * 37 + destination * 11) % 300;
        return std::snprintf(line, size, "%04d-%02d-%02dT%02d:%02d:00,%d,%d,%s,%s\n", year, month + 1,
                             day + 1, static_cast<int>(minute / 60 % 24), static_cast<int>(minute % 60),
                             delay, distance, codes[origin], codes[destination]);
      });
}

}  // namespace quor::bench
