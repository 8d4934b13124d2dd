// The scaling table's ingest sections: time and peak memory against rows,
// against distinct keys, and with a joint pair.
#pragma once

#include <string>

#include "quor/ingest/batch_apply.h"
#include "quor/ingest/schema_inference.h"
#include "quor/store/database.h"
#include "quor/store/directory.h"
#include "scale_harness.h"
#include "scale_inputs.h"

namespace quor::bench::scale {

// ---------------------------------------------------------------- ingest cases

// One ingest as the Python binding runs it (raw log on, batches of 10 000, no
// progress line) into a fresh database, then the release. `joint` lists the
// pair in the stored schema first (written, released and opened again, as a
// database that had the pair defined earlier).
inline void ingest_case(const std::string& section, const std::string& name, const std::string& size,
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
      dists = db->distributions.size();
      joint_count = db->joints.size();
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

// ---------------------------------------------------------------- sections

inline void section_ingest_rows() {
  std::vector<uint64_t> rows = {1000000};
  if (g.full) rows = {1000000, 3000000, 10000000};
  for (uint64_t n : rows) {
    if (!case_on("reference CSV")) continue;
    const fs::path csv = reference_csv(n);
    ingest_case("ingest-rows", "reference CSV (monthly)", fmt_count(n) + " rows", csv, "monthly");
  }
}

inline void section_ingest_keys() {
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

inline void section_joint() {
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

}  // namespace quor::bench::scale
