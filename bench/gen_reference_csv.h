// The reference input of the ingestion benchmark: a seeded CSV of sales-like
// rows with a date over 24 months, a region of 60 values, 3 numeric and 3
// categorical columns (at most 20 values each). The same seed and row count
// always give the same bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

namespace quor::bench {

inline bool write_reference_csv(const std::string& path, uint64_t rows, uint64_t seed = 20240601) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  std::mt19937_64 rng(seed);
  static const char* kChannels[] = {"online", "store", "phone", "partner", "kiosk"};
  static const int kDaysInMonth[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  std::string out = "date,region,price,quantity,discount,channel,segment,status\n";
  char line[256];
  for (uint64_t i = 0; i < rows; ++i) {
    const int month_index = static_cast<int>(rng() % 24);
    const int year = 2023 + month_index / 12;
    const int month = month_index % 12 + 1;
    const int day = static_cast<int>(rng() % static_cast<uint64_t>(kDaysInMonth[month - 1])) + 1;
    const int region = static_cast<int>(rng() % 60);
    // Price: skewed, two decimals; quantity: 1..1000; discount: 0..0.5.
    const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;
    const double price = 5.0 + 995.0 * u * u;
    const int quantity = static_cast<int>(rng() % 1000) + 1;
    const double discount = static_cast<double>(rng() % 5001) / 10000.0;
    const int n = std::snprintf(line, sizeof line,
                                "%04d-%02d-%02d,region_%02d,%.2f,%d,%.4f,%s,segment_%02d,status_%02d\n",
                                year, month, day, region, price, quantity, discount,
                                kChannels[rng() % 5], static_cast<int>(rng() % 12),
                                static_cast<int>(rng() % 20));
    out.append(line, static_cast<size_t>(n));
    if (out.size() > (1u << 20)) {
      std::fwrite(out.data(), 1, out.size(), f);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), f);
  return std::fclose(f) == 0;
}

}  // namespace quor::bench
