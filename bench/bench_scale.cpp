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
// Sections: ingest-rows, ingest-keys, joint, queries, cases. --case keeps the
// cases whose name contains TEXT. Inputs are generated (seeded, so the same
// bytes every run) into --dir, by default a fresh directory under /tmp that is
// removed at the end; a given --dir is kept and reused by later runs.
//
// Query times: each timed run gets a fresh compare cache, so a roll-up is
// computed every time; the figure is the median of up to --reps runs (fewer
// when one run takes long), "first" is the first run.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gen_reference_csv.h"
#include "quor/analytics/compare_cache.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/schema_inference.h"
#include "quor/sql/executor.h"
#include "quor/store/database.h"
#include "quor/store/directory.h"
#include "quor/store/model.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace quor;

// ---------------------------------------------------------------- settings

struct Settings {
  bool full = true;
  std::vector<std::string> sections;  // empty: all
  std::vector<std::string> cases;     // empty: all
  double timeout_s = 60;
  int reps = 5;
  fs::path dir;
  bool keep_dir = false;
  std::pair<std::string, std::string> joint{"price", "quantity"};
};

Settings g;

bool section_on(const std::string& s) {
  return g.sections.empty() || std::find(g.sections.begin(), g.sections.end(), s) != g.sections.end();
}

bool case_on(const std::string& name) {
  if (g.cases.empty()) return true;
  for (const auto& c : g.cases)
    if (name.find(c) != std::string::npos) return true;
  return false;
}

// ---------------------------------------------------------------- formatting

std::string fmt_time(double s) {
  char buf[32];
  if (s < 1e-3)
    std::snprintf(buf, sizeof buf, "%.0f us", s * 1e6);
  else if (s < 1.0)
    std::snprintf(buf, sizeof buf, "%.2f ms", s * 1e3);
  else
    std::snprintf(buf, sizeof buf, "%.2f s", s);
  return buf;
}

std::string fmt_mb(double kb) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.0f MB", kb / 1024.0);
  return buf;
}

std::string fmt_count(uint64_t n) {
  if (n >= 1000000 && n % 1000000 == 0) return std::to_string(n / 1000000) + " M";
  if (n >= 1000 && n % 1000 == 0) return std::to_string(n / 1000) + " k";
  return std::to_string(n);
}

void print_row(const std::string& section, const std::string& name, const std::string& size,
               const std::string& time, const std::string& peak, const std::string& note) {
  std::printf("%-11s %-50s %-10s %11s %9s  %s\n", section.c_str(), name.c_str(), size.c_str(),
              time.c_str(), peak.c_str(), note.c_str());
  std::fflush(stdout);
}

// ---------------------------------------------------------------- memory

// A field of /proc/self/status in kB, or 0.
long status_kb(const char* field) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(field);
  while (std::getline(in, line))
    if (line.compare(0, n, field) == 0) return std::atol(line.c_str() + n);
  return 0;
}

// Resets the peak-RSS mark of this process; false where the kernel lacks it.
bool reset_peak() {
  std::FILE* f = std::fopen("/proc/self/clear_refs", "w");
  if (f == nullptr) return false;
  const bool ok = std::fputs("5", f) >= 0;
  return std::fclose(f) == 0 && ok;
}

// ---------------------------------------------------------------- child runs

// What a child sends back, one line each: READY (set-up done, the time-out
// starts) and ROW <time>\t<peak>\t<note>.
struct Child {
  int fd;
  void ready() const { send("READY\n"); }
  void row(const std::string& time, const std::string& peak, const std::string& note) const {
    send("ROW\t" + time + "\t" + peak + "\t" + note + "\n");
  }
  void fail(const std::string& what) const { row("error", "-", what); }
  void send(const std::string& s) const {
    size_t off = 0;
    while (off < s.size()) {
      const ssize_t w = ::write(fd, s.data() + off, s.size() - off);
      if (w <= 0) return;
      off += static_cast<size_t>(w);
    }
  }
};

// Runs `body` in a forked child and prints one table row per ROW line. Set-up
// (until READY) may take up to ten minutes; from READY on the case has
// g.timeout_s. A killed or crashed child prints one row saying so.
void run_child(const std::string& section, const std::string& name, const std::string& size,
               const std::function<void(const Child&)>& body) {
  if (!case_on(name)) return;
  int p[2];
  if (::pipe(p) != 0) {
    std::perror("pipe");
    std::exit(2);
  }
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) {
    std::perror("fork");
    std::exit(2);
  }
  if (pid == 0) {
    ::close(p[0]);
    body(Child{p[1]});
    ::close(p[1]);
    std::_Exit(0);
  }
  ::close(p[1]);
  ::fcntl(p[0], F_SETFL, O_NONBLOCK);
  std::string buffer;
  auto deadline = Clock::now() + std::chrono::seconds(600);
  bool timed_out = false, rows = false, ready = false;
  auto drain = [&] {
    char chunk[4096];
    for (;;) {
      const ssize_t r = ::read(p[0], chunk, sizeof chunk);
      if (r <= 0) break;
      buffer.append(chunk, static_cast<size_t>(r));
    }
    size_t nl;
    while ((nl = buffer.find('\n')) != std::string::npos) {
      std::string line = buffer.substr(0, nl);
      buffer.erase(0, nl + 1);
      if (line == "READY") {
        ready = true;
        deadline = Clock::now() + std::chrono::milliseconds(static_cast<long>(g.timeout_s * 1000));
      } else if (line.rfind("ROW\t", 0) == 0) {
        std::vector<std::string> f;
        size_t start = 4, tab;
        while ((tab = line.find('\t', start)) != std::string::npos) {
          f.push_back(line.substr(start, tab - start));
          start = tab + 1;
        }
        f.push_back(line.substr(start));
        f.resize(3);
        print_row(section, name, size, f[0], f[1], f[2]);
        rows = true;
      }
    }
  };
  int status = 0;
  for (;;) {
    struct pollfd pfd {p[0], POLLIN, 0};
    ::poll(&pfd, 1, 20);
    drain();
    const pid_t w = ::waitpid(pid, &status, WNOHANG);
    if (w == pid) break;
    if (Clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      timed_out = true;
      break;
    }
  }
  drain();
  ::close(p[0]);
  if (timed_out) {
    char t[32];
    std::snprintf(t, sizeof t, ">%.0f s", g.timeout_s);
    print_row(section, name, size, ready ? t : "setup>600 s", "-", "killed at the time-out");
  } else if (!rows) {
    std::string why = WIFSIGNALED(status) ? "child died of signal " + std::to_string(WTERMSIG(status))
                                          : "child exited " + std::to_string(WEXITSTATUS(status));
    print_row(section, name, size, "error", "-", why);
  }
}

// Runs `body` in a child and waits for it (data generation that allocates).
bool run_setup(const std::function<bool()>& body) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid == 0) std::_Exit(body() ? 0 : 1);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// ---------------------------------------------------------------- inputs

// Reference CSV of `rows` rows (gen_reference_csv.h), made once per run dir.
fs::path reference_csv(uint64_t rows) {
  const fs::path path = g.dir / ("reference_" + std::to_string(rows) + ".csv");
  if (!fs::exists(path)) {
    const fs::path tmp = path.string() + ".part";
    if (!bench::write_reference_csv(tmp.string(), rows)) {
      std::fprintf(stderr, "cannot write %s\n", tmp.c_str());
      std::exit(2);
    }
    fs::rename(tmp, path);
  }
  return path;
}

// The date `offset` (below 366) days after 2024-01-01 as YYYY-MM-DD.
std::string day_text(int offset) {
  static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  int month = 0;
  while (offset >= kDays[month]) offset -= kDays[month++];
  char buf[32];
  std::snprintf(buf, sizeof buf, "2024-%02d-%02d", month + 1, offset + 1);
  return buf;
}

// Keyed CSV: columns date (one of `days` days, bucketed daily), a (`na`
// values), b (`nb` values) and amount; every row draws its key uniformly, so
// the distinct keys approach days × na × nb. With na, nb above 50 inference
// makes a and b dimensions.
fs::path keyed_csv(uint64_t rows, int days, int na, int nb) {
  const fs::path path = g.dir / ("keyed_" + std::to_string(rows) + "_" + std::to_string(days) + "x" +
                                 std::to_string(na) + "x" + std::to_string(nb) + ".csv");
  if (fs::exists(path)) return path;
  const fs::path tmp = path.string() + ".part";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (f == nullptr) {
    std::fprintf(stderr, "cannot write %s\n", tmp.c_str());
    std::exit(2);
  }
  std::vector<std::string> dates;
  for (int d = 0; d < days; ++d) dates.push_back(day_text(d));
  std::mt19937_64 rng(20240611);
  std::string out = "date,a,b,amount\n";
  char line[128];
  for (uint64_t i = 0; i < rows; ++i) {
    const auto& date = dates[rng() % static_cast<uint64_t>(days)];
    const int a = static_cast<int>(rng() % static_cast<uint64_t>(na));
    const int b = static_cast<int>(rng() % static_cast<uint64_t>(nb));
    const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;
    const int n = std::snprintf(line, sizeof line, "%s,a%03d,b%03d,%.2f\n", date.c_str(), a, b,
                                10.0 + 990.0 * u * u);
    out.append(line, static_cast<size_t>(n));
    if (out.size() > (1u << 20)) {
      std::fwrite(out.data(), 1, out.size(), f);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), f);
  if (std::fclose(f) != 0) std::exit(2);
  fs::rename(tmp, path);
  return path;
}

// ---------------------------------------------------------------- ingest cases

// One ingest as the Python binding runs it (raw log on, batches of 10 000, no
// progress line) into a fresh database, then the release. `joint` lists the
// pair in the stored schema first (written, released and opened again, as a
// database that had the pair defined earlier).
void ingest_case(const std::string& section, const std::string& name, const std::string& size,
                 const fs::path& csv, const std::string& granularity,
                 std::vector<std::pair<std::string, std::string>> joints = {}) {
  run_child(section, name, size, [&](const Child& c) {
    const fs::path dir = g.dir / ("ingest_db_" + std::to_string(::getpid()));
    std::vector<std::array<double, 3>> runs;  // total, ingest, close
    double spent = 0;
    uint64_t dists = 0, joint_count = 0;
    // Up to three runs while they add up to less than ten seconds; the
    // figure is the median run, the peak that of the heaviest.
    for (int run = 0; run < 3 && spent < 10.0; ++run) {
      fs::remove_all(dir);
      {
        auto db = store::create_database(dir, true);
        if (!db.ok()) return c.fail(db.error().full_text());
        if (!joints.empty()) {
          db->meta.schema.joints = joints;
          if (auto st = store::flush_database(*db); !st.ok()) return c.fail(st.error().full_text());
        }
      }
      auto db = store::open_database(dir, true);
      if (!db.ok()) return c.fail(db.error().full_text());
      ingest::IngestOptions options;
      options.date_granularity = granularity;
      if (run == 0) c.ready();
      const auto t0 = Clock::now();
      auto report = ingest::ingest_file(*db, csv.string(), options, 10000, false);
      const double ti = seconds_since(t0);
      if (!report.ok()) return c.fail(report.error().full_text());
      dists = db->data.distributions.size();
      joint_count = db->data.joints.size();
      const auto t1 = Clock::now();
      { auto release = std::move(*db); }
      const double tc = seconds_since(t1);
      spent += ti + tc;
      runs.push_back({ti + tc, ti, tc});
    }
    std::sort(runs.begin(), runs.end());
    const auto& median = runs[runs.size() / 2];
    const long peak = status_kb("VmHWM:");
    char note[200];
    std::snprintf(note, sizeof note, "%s distributions%s; median of %zu: ingest %s + close %s",
                  std::to_string(dists).c_str(),
                  joints.empty() ? "" : (", " + std::to_string(joint_count) + " joints").c_str(),
                  runs.size(), fmt_time(median[1]).c_str(), fmt_time(median[2]).c_str());
    c.row(fmt_time(median[0]), fmt_mb(static_cast<double>(peak)), note);
    fs::remove_all(dir);
  });
}

// ---------------------------------------------------------------- synthetic stores

// Entropy in bits as the store computes it (cells in order from -0.0).
double entropy_of(const std::vector<uint64_t>& cells, uint64_t total) {
  if (total == 0) return 0.0;
  double h = -0.0;
  for (uint64_t c : cells)
    if (c != 0) {
      const double p = static_cast<double>(c) / static_cast<double>(total);
      h = h - std::log2(p) * p;
    }
  return h;
}

// Builds stores directly from the record model: distributions and joints are
// appended in order, written with the normal flush, and the index file is
// left out so that the open rebuilds it (and whatever else the open builds).
struct StoreBuilder {
  store::Database db;
  std::mt19937_64 rng{20240612};
  uint64_t next_id;
  uint64_t next_joint = 1;

  StoreBuilder(store::Database d, uint64_t first_id) : db(std::move(d)), next_id(first_id) {}

  struct Bins {
    uint32_t bins;
    double lo, hi;
  };
  std::map<std::string, Bins> vars;

  void variable(const std::string& name, uint32_t bins, double lo, double hi) {
    db.meta.schema.variables.push_back({name, store::ContinuousType{bins, store::Range{lo, hi}}});
    vars[name] = {bins, lo, hi};
  }
  void dimension(const std::string& name) { db.meta.schema.dimensions.push_back({name, name, std::nullopt}); }

  void histogram(const std::string& variable, store::DimensionMap key) {
    const Bins& type = vars.at(variable);
    store::HistogramRepr h{type.lo, type.hi, std::vector<uint64_t>(type.bins), 0};
    const uint64_t skew = rng() % 5;
    for (size_t b = 0; b < h.bin_counts.size(); ++b) {
      h.bin_counts[b] = rng() % (8 + 4 * ((b + skew) % 5));
      h.total_count += h.bin_counts[b];
    }
    store::DistributionObject d;
    d.id = next_id++;
    d.variable = variable;
    d.dimension_key = std::move(key);
    d.sample_count = h.total_count;
    d.entropy = entropy_of(h.bin_counts, h.total_count);
    d.last_updated = 1718000000;
    d.version = 2;
    d.repr = std::move(h);
    db.data.distributions.push_back(std::move(d));
  }

  // A joint grid of two continuous variables (a < b byte-wise).
  void joint(const std::string& a, const std::string& b, store::DimensionMap key) {
    const Bins& ta = vars.at(a);
    const Bins& tb = vars.at(b);
    store::HistogramGridRepr grid;
    grid.x_min = ta.lo;
    grid.x_max = ta.hi;
    grid.x_bins = ta.bins;
    grid.y_min = tb.lo;
    grid.y_max = tb.hi;
    grid.y_bins = tb.bins;
    grid.counts.assign(ta.bins, std::vector<uint64_t>(tb.bins));
    const uint64_t shift = rng() % 7;
    for (uint32_t x = 0; x < ta.bins; ++x)
      for (uint32_t y = 0; y < tb.bins; ++y) {
        grid.counts[x][y] = (x / 2 + shift) % tb.bins == y ? 10 + rng() % 20 : rng() % 3;
        grid.total_count += grid.counts[x][y];
      }
    store::JointDistributionObject j;
    j.id = next_joint++;
    j.variables = {a, b};
    j.dimension_key = std::move(key);
    j.sample_count = grid.total_count;
    j.last_updated = 1718000000;
    j.repr = std::move(grid);
    db.data.joints.push_back(std::move(j));
  }

  bool finish(const fs::path& dir) {
    db.meta.next_distribution_id = next_id;
    db.meta.next_joint_id = next_joint;
    if (auto st = store::flush_database(db); !st.ok()) {
      std::fprintf(stderr, "flush: %s\n", st.error().full_text().c_str());
      return false;
    }
    { auto release = std::move(db); }
    fs::remove(dir / "dist_index.edb");
    return true;
  }
};

std::string label(const char* prefix, uint64_t i, int width = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%0*llu", prefix, width, static_cast<unsigned long long>(i));
  return buf;
}

// A store built once per run dir by `fill` (in a child, so the parent stays
// small); later calls return the path at once.
fs::path synthetic_store(const std::string& name, uint64_t first_id,
                         const std::function<void(StoreBuilder&)>& fill) {
  const fs::path dir = g.dir / ("store_" + name);
  if (fs::exists(dir / "ready")) return dir;
  const auto t0 = Clock::now();
  const bool ok = run_setup([&] {
    fs::remove_all(dir);
    auto db = store::create_database(dir, false);
    if (!db.ok()) {
      std::fprintf(stderr, "create: %s\n", db.error().full_text().c_str());
      return false;
    }
    StoreBuilder b(std::move(*db), first_id);
    fill(b);
    if (!b.finish(dir)) return false;
    std::ofstream(dir / "ready") << "ok\n";
    return true;
  });
  if (!ok) {
    std::fprintf(stderr, "building store %s failed\n", name.c_str());
    std::exit(2);
  }
  std::printf("# built store %s in %.1f s\n", name.c_str(), seconds_since(t0));
  return dir;
}

// The scaling store of n distributions (n = 100 × 10^k): variable x (20
// bins) at every (region, time, shop) with R = min(100, n / 20) regions
// g1..gR, T = n / (10 R) time labels and 10 shops; variable y (10 bins) only
// in the joints (x, y), listed in the schema, kept at every {region} and
// every {region, time}.
struct ScaleShape {
  uint64_t regions, times, shops = 10;
};
ScaleShape scale_shape(uint64_t n) {
  const uint64_t r = std::min<uint64_t>(100, n / 20);
  return {r, n / (10 * r)};
}

fs::path scale_store(uint64_t n, uint64_t first_id = 1) {
  const std::string name = "scale_" + std::to_string(n) + (first_id == 1 ? "" : "_ids" + std::to_string(first_id));
  return synthetic_store(name, first_id, [n](StoreBuilder& b) {
    const ScaleShape s = scale_shape(n);
    b.variable("x", 20, 0, 100);
    b.variable("y", 10, 0, 10);
    b.dimension("region");
    b.dimension("time");
    b.dimension("shop");
    b.db.meta.schema.joints.push_back({"x", "y"});
    b.db.data.distributions.reserve(n);
    for (uint64_t r = 1; r <= s.regions; ++r)
      for (uint64_t t = 0; t < s.times; ++t)
        for (uint64_t k = 0; k < s.shops; ++k)
          b.histogram("x", {{"region", label("g", r)}, {"time", label("t", t, 5)}, {"shop", label("s", k)}});
    for (uint64_t r = 1; r <= s.regions; ++r) b.joint("x", "y", {{"region", label("g", r)}});
    for (uint64_t r = 1; r <= s.regions; ++r)
      for (uint64_t t = 0; t < s.times; ++t)
        b.joint("x", "y", {{"region", label("g", r)}, {"time", label("t", t, 5)}});
  });
}

// ---------------------------------------------------------------- query cases

struct QueryTiming {
  double median = 0, first = 0;
  int runs = 0;
  size_t rows = 0;
  std::string error;
};

// Runs `text` up to g.reps times (fewer once the runs add up to a few
// seconds), each with a fresh compare cache unless `warm`, where one cache is
// kept across the runs and the first run fills it.
QueryTiming time_query(const store::Database& db, const std::string& text, bool warm = false) {
  QueryTiming out;
  std::vector<double> times;
  double total = 0;
  auto shared = std::make_unique<analytics::CompareCache>();
  for (int i = 0; i < g.reps; ++i) {
    auto fresh = std::make_unique<analytics::CompareCache>();
    analytics::CompareCache& cache = warm ? *shared : *fresh;
    const auto t0 = Clock::now();
    auto r = sql::run_query(db, cache, text);
    const double t = seconds_since(t0);
    if (!r.ok()) {
      out.error = r.error().full_text();
      return out;
    }
    out.rows = r->rows.size();
    times.push_back(t);
    total += t;
    if (total > 3.0) break;
  }
  out.first = times.front();
  out.runs = static_cast<int>(times.size());
  if (warm && times.size() > 1) times.erase(times.begin());
  std::sort(times.begin(), times.end());
  out.median = times[times.size() / 2];
  return out;
}

// One query on a store opened read-only in the child.
void query_case(const std::string& section, const std::string& name, const std::string& size,
                const fs::path& store_dir, const std::string& text, const std::string& extra = "") {
  run_child(section, name, size, [&](const Child& c) {
    auto db = store::open_database(store_dir, false);
    if (!db.ok()) return c.fail(db.error().full_text());
    c.ready();
    const QueryTiming t = time_query(*db, text);
    if (!t.error.empty()) return c.fail(t.error);
    char note[200];
    std::snprintf(note, sizeof note, "%s%sfirst %s, runs %d, rows %zu", extra.c_str(),
                  extra.empty() ? "" : "; ", fmt_time(t.first).c_str(), t.runs, t.rows);
    c.row(fmt_time(t.median), "-", note);
  });
}

void section_queries() {
  std::vector<uint64_t> sizes = {100, 1000, 10000, 100000};
  if (g.full) sizes.push_back(1000000);
  for (uint64_t n : sizes) {
    const fs::path dir = scale_store(n);
    const ScaleShape s = scale_shape(n);
    const std::string size = fmt_count(n);
    const std::string region_members = std::to_string(s.times * s.shops);
    struct Q {
      std::string name, text, note;
    };
    const std::vector<Q> queries = {
        {"COMPARE exact", "COMPARE x BETWEEN region:g1 AND region:g2 WHERE time:t00000 AND shop:s0", ""},
        {"COMPARE roll-up", "COMPARE x BETWEEN time:t00000 AND time:t00001 WHERE shop:s0",
         std::to_string(s.regions) + " members a side"},
        {"DIMENSIONS region", "DIMENSIONS region", std::to_string(s.regions) + " values"},
        {"TRACK roll-up", "TRACK x FROM region:g1",
         std::to_string(s.times) + " labels of " + std::to_string(s.shops)},
        {"ACROSS exact", "COMPARE x ACROSS region WHERE time:t00000 AND shop:s0",
         std::to_string(s.regions) + " values"},
        {"ACROSS roll-up", "COMPARE x ACROSS region",
         std::to_string(s.regions) + " values of " + region_members},
        {"NEAREST roll-up", "NEAREST region:g1 ON region LIMIT 5",
         std::to_string(s.regions - 1) + " candidates"},
        {"CMI GIVEN region", "CMI x y GIVEN region",
         std::to_string(s.regions) + " of " + std::to_string(s.regions * (s.times + 1)) + " joints"},
        {"CORRELATIONS", "CORRELATIONS", std::to_string(s.regions * (s.times + 1)) + " joints"},
        {"CORRELATIONS OVER region", "CORRELATIONS OVER region LIMIT 5",
         std::to_string(s.regions) + " of " + std::to_string(s.regions * (s.times + 1)) + " joints"},
    };
    for (const auto& q : queries) query_case("queries", q.name, size, dir, q.text, q.note);
  }
}

// ---------------------------------------------------------------- sections

void section_ingest_rows() {
  std::vector<uint64_t> rows = {1000000};
  if (g.full) rows = {1000000, 3000000, 10000000};
  for (uint64_t n : rows) {
    if (!case_on("reference CSV")) continue;
    const fs::path csv = reference_csv(n);
    ingest_case("ingest-rows", "reference CSV (monthly)", fmt_count(n) + " rows", csv, "monthly");
  }
}

void section_ingest_keys() {
  // 2 M rows, a and b of 100 values each, 1 to 100 days: key space 10 k to 1 M.
  std::vector<int> days = {1, 100};
  if (g.full) days = {1, 3, 10, 30, 100};
  for (int d : days) {
    if (!case_on("keyed CSV")) continue;
    const fs::path csv = keyed_csv(2000000, d, 100, 100);
    ingest_case("ingest-keys", "keyed CSV (daily), 2 M rows", fmt_count(static_cast<uint64_t>(d) * 10000) + " keys",
                csv, "daily");
  }
}

void section_joint() {
  const std::string plain = "reference CSV, no joint pair";
  const std::string joint = "reference CSV, joint (" + g.joint.first + ", " + g.joint.second + ")";
  if (!case_on(plain) && !case_on(joint)) return;
  const fs::path csv = reference_csv(1000000);
  ingest_case("joint", plain, "1 M rows", csv, "monthly");
  ingest_case("joint", joint, "1 M rows", csv, "monthly", {g.joint});
  // Weekly buckets: 105 weeks × 60 regions, so 6 300 keys and joints.
  if (g.full) {
    ingest_case("joint", plain + ", weekly", "1 M rows", csv, "weekly");
    ingest_case("joint", joint + ", weekly", "1 M rows", csv, "weekly", {g.joint});
  }
}

void section_cases() {
  // TRACK x FROM region:g1: 1 000 labels, each a roll-up of 10 shops (50 000
  // distributions); the exact-key baseline tracks x2, kept at {region, time}.
  if (case_on("TRACK")) {
    const fs::path dir = synthetic_store("track", 1, [](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.variable("x2", 20, 0, 100);
      b.dimension("region");
      b.dimension("time");
      b.dimension("shop");
      for (uint64_t r = 1; r <= 5; ++r)
        for (uint64_t t = 0; t < 1000; ++t)
          for (uint64_t k = 0; k < 10; ++k)
            b.histogram("x", {{"region", label("g", r)}, {"time", label("t", t, 5)}, {"shop", label("s", k)}});
      for (uint64_t r = 1; r <= 5; ++r)
        for (uint64_t t = 0; t < 1000; ++t) b.histogram("x2", {{"region", label("g", r)}, {"time", label("t", t, 5)}});
    });
    query_case("cases", "TRACK x FROM region:g1, roll-ups of 10", "50 k", dir, "TRACK x FROM region:g1",
               "1000 labels");
    query_case("cases", "TRACK x2 FROM region:g1, exact keys", "50 k", dir, "TRACK x2 FROM region:g1",
               "1000 labels");
  }
  // DIMENSIONS and a 100-member roll-up COMPARE on 1 M distributions.
  if (g.full && (case_on("DIMENSIONS d") || case_on("roll-up COMPARE, 100"))) {
    const fs::path dir = scale_store(1000000);
    query_case("cases", "DIMENSIONS d, 100 values", "1 M", dir, "DIMENSIONS region");
    query_case("cases", "roll-up COMPARE, 100 members a side", "1 M", dir,
               "COMPARE x BETWEEN time:t00000 AND time:t00001 WHERE shop:s0");
  }
  // Roll-up ACROSS / NEAREST with ids from 1 and ids from 1 000 001.
  if (case_on("ids from")) {
    for (uint64_t first : {uint64_t{1}, uint64_t{1000001}}) {
      const fs::path dir = scale_store(100000, first);
      const std::string ids = first == 1 ? "ids from 1" : "ids from 1000001";
      query_case("cases", "roll-up COMPARE x ACROSS region, " + ids, "100 k", dir, "COMPARE x ACROSS region",
                 "100 values of 1000");
      query_case("cases", "roll-up NEAREST region:g1, " + ids, "100 k", dir, "NEAREST region:g1 ON region",
                 "99 candidates of 1000");
    }
  }
  // CMI with 1 000 and 3 000 values of the conditioning dimension, and
  // CORRELATIONS OVER with 7 800 joints: x and y at every {seg}, one joint each.
  auto seg_store = [](uint64_t values) {
    return synthetic_store("seg_" + std::to_string(values), 1, [values](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.variable("y", 10, 0, 10);
      b.dimension("seg");
      b.db.meta.schema.joints.push_back({"x", "y"});
      for (uint64_t v = 0; v < values; ++v) {
        b.histogram("x", {{"seg", label("v", v, 5)}});
        b.histogram("y", {{"seg", label("v", v, 5)}});
      }
      for (uint64_t v = 0; v < values; ++v) b.joint("x", "y", {{"seg", label("v", v, 5)}});
    });
  };
  if (case_on("CMI")) {
    for (uint64_t values : {uint64_t{1000}, uint64_t{3000}})
      query_case("cases", "CMI x y GIVEN seg", fmt_count(values) + " values", seg_store(values),
                 "CMI x y GIVEN seg");
  }
  if (case_on("CORRELATIONS OVER")) {
    query_case("cases", "CORRELATIONS OVER seg, 7800 joints", "7800", seg_store(7800),
               "CORRELATIONS OVER seg LIMIT 20");
  }
  // One NEAREST whose reference sums 20 000 members, over 2 000 candidates:
  // time and the memory it adds (peak, and what is still held after it).
  if (case_on("NEAREST, summed")) {
    const fs::path dir = synthetic_store("nearest", 1, [](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.dimension("grp");
      b.dimension("cand");
      b.dimension("shop");
      for (uint64_t gi = 0; gi < 2; ++gi)
        for (uint64_t c = 0; c < 2000; ++c)
          for (uint64_t k = 0; k < 10; ++k)
            b.histogram("x", {{"grp", label("g", gi)}, {"cand", label("c", c, 4)}, {"shop", label("s", k)}});
    });
    run_child("cases", "NEAREST, summed reference of 20000", "40 k", [&](const Child& c) {
      auto db = store::open_database(dir, false);
      if (!db.ok()) return c.fail(db.error().full_text());
      c.ready();
      analytics::CompareCache cache;
      const long before = status_kb("VmRSS:");
      const bool reset = reset_peak();
      const auto t0 = Clock::now();
      auto r = sql::run_query(*db, cache, "NEAREST grp:g0 ON cand LIMIT 5");
      const double t = seconds_since(t0);
      if (!r.ok()) return c.fail(r.error().full_text());
      const long peak = status_kb("VmHWM:");
      const long after = status_kb("VmRSS:");
      char note[200];
      std::snprintf(note, sizeof note, "2000 candidates; peak %s above the open%s, %s still held after",
                    fmt_mb(static_cast<double>(peak - before)).c_str(), reset ? "" : " (process peak)",
                    fmt_mb(static_cast<double>(after - before)).c_str());
      c.row(fmt_time(t), "+" + fmt_mb(static_cast<double>(peak - before)), note);
    });
  }
  // COMPARE x ACROSS region with 200 exact values: 19 900 pairs of 20 bins.
  if (case_on("ACROSS region, 200")) {
    const fs::path dir = synthetic_store("across200", 1, [](StoreBuilder& b) {
      b.variable("x", 20, 0, 100);
      b.dimension("region");
      for (uint64_t r = 1; r <= 200; ++r) b.histogram("x", {{"region", label("g", r)}});
    });
    run_child("cases", "COMPARE x ACROSS region, 200 values", "200", [&](const Child& c) {
      auto db = store::open_database(dir, false);
      if (!db.ok()) return c.fail(db.error().full_text());
      c.ready();
      const QueryTiming cold = time_query(*db, "COMPARE x ACROSS region");
      if (!cold.error.empty()) return c.fail(cold.error);
      const QueryTiming warm = time_query(*db, "COMPARE x ACROSS region", true);
      char note[200];
      std::snprintf(note, sizeof note, "19900 pairs; fresh cache (first %s), repeat on one cache %s",
                    fmt_time(cold.first).c_str(), fmt_time(warm.median).c_str());
      c.row(fmt_time(cold.median), "-", note);
    });
  }
  // High-cardinality ingest: 3 M rows over 13 days × 300 × 300 keys.
  if (case_on("high-cardinality")) {
    const fs::path csv = keyed_csv(3000000, 13, 300, 300);
    ingest_case("cases", "high-cardinality ingest + close", "3 M rows", csv, "daily");
  }
  // The engine ingest of the 1 M-row reference CSV, as bench_ingest runs it.
  if (case_on("reference CSV, 1 M")) {
    ingest_case("cases", "reference CSV, 1 M rows (bench_ingest)", "1 M rows", reference_csv(1000000), "monthly");
  }
}

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
               "sections: ingest-rows ingest-keys joint queries cases\n");
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
  std::printf("total wall time %.0f s, load average %s\n", seconds_since(t0), load_average().c_str());
  if (!g.keep_dir) fs::remove_all(g.dir);
  return 0;
}
