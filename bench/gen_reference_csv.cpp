// Writes the benchmark's reference CSV:
//   gen_reference_csv [path=/tmp/quor_reference.csv] [rows=1000000]
#include <cstdio>
#include <cstdlib>
#include <string>

#include "gen_reference_csv.h"

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : "/tmp/quor_reference.csv";
  const unsigned long long rows = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1000000ULL;
  if (!quor::bench::write_reference_csv(path, rows)) {
    std::perror(path.c_str());
    return 1;
  }
  std::printf("wrote %llu rows to %s\n", rows, path.c_str());
  return 0;
}
