// Scaling table: ingest time and peak memory against rows and distinct keys,
// the joint case, and query times against the number of distributions, plus
// the individual cases that the scale work is judged by. A plain program (no
// Google Benchmark loop): every case runs in a forked child, so its peak RSS
// is its own, and a case that overruns the time-out is killed and shown as
// ">N s".
//
//   bench_scale [--quick | --full] [--section NAME]... [--case TEXT]...
//               [--timeout SECONDS] [--reps N] [--dir PATH] [--joint A,B]
//
// Sections: ingest-rows, ingest-keys, joint, queries, cases, memory. --case keeps the
// cases whose name contains TEXT. Inputs are generated (seeded, so the same
// bytes every run) into --dir, by default a fresh directory under /tmp that is
// removed at the end; a given --dir is kept and reused by later runs.
//
// Query times: each timed run gets a fresh compare cache, so a roll-up is
// computed every time; the figure is the median of up to --reps runs (fewer
// when one run takes long), "first" is the first run.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "scale_cases.h"
#include "scale_harness.h"
#include "scale_ingest.h"
#include "scale_memory.h"
#include "scale_queries.h"

namespace {

using namespace quor::bench::scale;

// The 1, 5 and 15 minute load averages: timings on a busy machine are noisy.
std::string load_average() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

void usage() {
  std::fprintf(stderr,
               "usage: bench_scale [--quick | --full] [--section NAME]... [--case TEXT]...\n"
               "                   [--timeout SECONDS] [--reps N] [--dir PATH] [--joint A,B]\n"
               "sections: ingest-rows ingest-keys joint queries cases memory\n");
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        usage();
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--quick") {
      g.full = false;
    } else if (a == "--full") {
      g.full = true;
    } else if (a == "--section") {
      g.sections.push_back(next());
    } else if (a == "--case") {
      g.cases.push_back(next());
    } else if (a == "--timeout") {
      g.timeout_s = std::atof(next().c_str());
    } else if (a == "--reps") {
      g.reps = std::max(1, std::atoi(next().c_str()));
    } else if (a == "--joint") {
      const std::string pair = next();
      const size_t comma = pair.find(',');
      if (comma == std::string::npos) {
        usage();
        return 2;
      }
      g.joint = {pair.substr(0, comma), pair.substr(comma + 1)};
    } else if (a == "--dir") {
      g.dir = next();
      g.keep_dir = true;
    } else {
      usage();
      return 2;
    }
  }
  if (g.dir.empty()) {
    char tmpl[] = "/tmp/quor_scale_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      std::perror("mkdtemp");
      return 2;
    }
    g.dir = tmpl;
  }
  fs::create_directories(g.dir);
  std::printf("bench_scale %s: %ld processors online, load average %s, time-out %.0f s, up to %d runs per query, dir %s\n",
              g.full ? "--full" : "--quick", ::sysconf(_SC_NPROCESSORS_ONLN), load_average().c_str(),
              g.timeout_s, g.reps, g.dir.c_str());
  print_row("section", "case", "size", "time", "peak", "notes");
  const auto t0 = Clock::now();
  if (section_on("ingest-rows")) section_ingest_rows();
  if (section_on("ingest-keys")) section_ingest_keys();
  if (section_on("joint")) section_joint();
  if (section_on("queries")) section_queries();
  if (section_on("cases")) section_cases();
  if (section_on("memory")) section_memory();
  std::printf("total wall time %.0f s, load average %s\n", seconds_since(t0), load_average().c_str());
  if (!g.keep_dir) fs::remove_all(g.dir);
  return 0;
}
