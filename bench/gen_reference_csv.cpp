// Writes the benchmark's inputs:
//   gen_reference_csv [path=/tmp/quor_reference.csv] [rows=1000000]
//   gen_reference_csv --high-cardinality [path=/tmp/quor_high_cardinality.csv] [rows=3000000]
//   gen_reference_csv --flights [path=/tmp/quor_flights.csv] [rows=3000000]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "gen_reference_csv.h"

int main(int argc, char** argv) {
  const bool high = argc > 1 && std::strcmp(argv[1], "--high-cardinality") == 0;
  const bool flights = argc > 1 && std::strcmp(argv[1], "--flights") == 0;
  if (high || flights) {
    --argc;
    ++argv;
  }
  const std::string path = argc > 1 ? argv[1]
                           : high   ? "/tmp/quor_high_cardinality.csv"
                           : flights ? "/tmp/quor_flights.csv"
                                    : "/tmp/quor_reference.csv";
  const unsigned long long rows =
      argc > 2 ? std::strtoull(argv[2], nullptr, 10) : (high || flights ? 3000000ULL : 1000000ULL);
  const bool ok = high      ? quor::bench::write_high_cardinality_csv(path, rows)
                  : flights ? quor::bench::write_flights_csv(path, rows)
                            : quor::bench::write_reference_csv(path, rows);
  if (!ok) {
    std::perror(path.c_str());
    return 1;
  }
  std::printf("wrote %llu rows to %s\n", rows, path.c_str());
  return 0;
}
