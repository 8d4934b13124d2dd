// The scaling table's inputs: generated CSV files and stores built straight
// from the record model, each made once per run directory.
#pragma once

#include <array>
#include <cmath>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gen_reference_csv.h"
#include "quor/store/database.h"
#include "quor/store/directory.h"
#include "quor/model/model.h"
#include "scale_harness.h"

namespace quor::bench::scale {

// ---------------------------------------------------------------- inputs

// A generated CSV under construction: lines go to `<path>.part` in writes
// of about 1 MiB, and finish() renames it to `path`, so that a run cut short
// leaves no file that passes for a whole one. A failure to write ends the
// run (exit 2).
class CsvFileWriter {
 public:
  CsvFileWriter(fs::path path, std::string header)
      : path_(std::move(path)), tmp_(path_.string() + ".part"), out_(std::move(header)) {
    f_ = std::fopen(tmp_.c_str(), "wb");
    if (f_ == nullptr) fail();
  }
  CsvFileWriter(const CsvFileWriter&) = delete;
  CsvFileWriter& operator=(const CsvFileWriter&) = delete;
  ~CsvFileWriter() {
    if (f_ != nullptr) std::fclose(f_);
  }

  // Appends `n` bytes from `text` (snprintf's result).
  void add(const char* text, int n) {
    out_.append(text, static_cast<size_t>(n));
    if (out_.size() > (1u << 20)) write_out();
  }

  fs::path finish() {
    write_out();
    const int closed = std::fclose(f_);
    f_ = nullptr;
    if (closed != 0) fail();
    fs::rename(tmp_, path_);
    return path_;
  }

 private:
  void write_out() {
    if (std::fwrite(out_.data(), 1, out_.size(), f_) != out_.size()) fail();
    out_.clear();
  }
  [[noreturn]] void fail() const {
    std::fprintf(stderr, "cannot write %s\n", tmp_.c_str());
    std::exit(2);
  }

  fs::path path_;
  fs::path tmp_;
  std::string out_;
  std::FILE* f_ = nullptr;
};

// Reference CSV of `rows` rows (gen_reference_csv.h), made once per run dir.
inline fs::path reference_csv(uint64_t rows) {
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
inline std::string day_text(int offset) {
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
inline fs::path keyed_csv(uint64_t rows, int days, int na, int nb) {
  const fs::path path = g.dir / ("keyed_" + std::to_string(rows) + "_" + std::to_string(days) + "x" +
                                 std::to_string(na) + "x" + std::to_string(nb) + ".csv");
  if (fs::exists(path)) return path;
  std::vector<std::string> dates;
  for (int d = 0; d < days; ++d) dates.push_back(day_text(d));
  std::mt19937_64 rng(20240611);
  CsvFileWriter out(path, "date,a,b,amount\n");
  char line[128];
  for (uint64_t i = 0; i < rows; ++i) {
    const auto& date = dates[rng() % static_cast<uint64_t>(days)];
    const int a = static_cast<int>(rng() % static_cast<uint64_t>(na));
    const int b = static_cast<int>(rng() % static_cast<uint64_t>(nb));
    const double u = static_cast<double>(rng() >> 11) / 9007199254740992.0;
    const int n = std::snprintf(line, sizeof line, "%s,a%03d,b%03d,%.2f\n", date.c_str(), a, b,
                                10.0 + 990.0 * u * u);
    out.add(line, n);
  }
  return out.finish();
}

// ---------------------------------------------------------------- synthetic stores

// Entropy in bits as the store computes it (cells in order from -0.0).
inline double entropy_of(const std::vector<uint64_t>& cells, uint64_t total) {
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
    db.meta.schema.variables.push_back({name, model::ContinuousType{bins, model::Range{lo, hi}}});
    vars[name] = {bins, lo, hi};
  }
  void dimension(const std::string& name) { db.meta.schema.dimensions.push_back({name, name, std::nullopt}); }

  void histogram(const std::string& variable, model::DimensionMap key) {
    const Bins& type = vars.at(variable);
    model::HistogramRepr h{type.lo, type.hi, std::vector<uint64_t>(type.bins), 0};
    const uint64_t skew = rng() % 5;
    for (size_t b = 0; b < h.bin_counts.size(); ++b) {
      h.bin_counts[b] = rng() % (8 + 4 * ((b + skew) % 5));
      h.total_count += h.bin_counts[b];
    }
    model::DistributionObject d;
    d.id = next_id++;
    d.variable = variable;
    d.dimension_key = std::move(key);
    d.sample_count = h.total_count;
    d.entropy = entropy_of(h.bin_counts, h.total_count);
    d.last_updated = 1718000000;
    d.version = 2;
    d.repr = std::move(h);
    db.distributions.append_record(d);
  }

  // A joint grid of two continuous variables (a < b byte-wise).
  void joint(const std::string& a, const std::string& b, model::DimensionMap key) {
    const Bins& ta = vars.at(a);
    const Bins& tb = vars.at(b);
    model::HistogramGridRepr grid;
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
    model::JointDistributionObject j;
    j.id = next_joint++;
    j.variables = {a, b};
    j.dimension_key = std::move(key);
    j.sample_count = grid.total_count;
    j.last_updated = 1718000000;
    j.repr = std::move(grid);
    db.joints.push_back(std::move(j));
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

inline std::string label(const char* prefix, uint64_t i, int width = 0) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%s%0*llu", prefix, width, static_cast<unsigned long long>(i));
  return buf;
}

// A store built once per run dir by `fill` (in a child, so the parent stays
// small); later calls return the path at once.
inline fs::path synthetic_store(const std::string& name, uint64_t first_id,
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
inline ScaleShape scale_shape(uint64_t n) {
  const uint64_t r = std::min<uint64_t>(100, n / 20);
  return {r, n / (10 * r)};
}

inline fs::path scale_store(uint64_t n, uint64_t first_id = 1) {
  const std::string name = "scale_" + std::to_string(n) + (first_id == 1 ? "" : "_ids" + std::to_string(first_id));
  return synthetic_store(name, first_id, [n](StoreBuilder& b) {
    const ScaleShape s = scale_shape(n);
    b.variable("x", 20, 0, 100);
    b.variable("y", 10, 0, 10);
    b.dimension("region");
    b.dimension("time");
    b.dimension("shop");
    b.db.meta.schema.joints.push_back({"x", "y"});
    b.db.distributions.reserve(n, 20);
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

}  // namespace quor::bench::scale
