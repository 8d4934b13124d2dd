// Whole file ingests of generated inputs of several sizes and shapes, every
// count checked against a plain computation written out here: marginals,
// joints, versions, entropies, the report and every raw-log line.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <sstream>

#include "temp_dir.h"
#include "quor/ingest/batch_apply.h"
#include "quor/ingest/readers.h"
#include "quor/store/directory.h"

namespace quor::ingest {
namespace {

namespace fs = std::filesystem;

using quor::test_util::TempDir;

// One generated input value with what each step makes of it, decided by
// hand when it is generated.
struct Value {
  enum Kind { Str, Int, Float, Bool, Null } kind = Str;
  std::string json;                // its JSON text (payload, JSON-lines input)
  std::string csv;                 // its CSV field (texts only)
  std::string text;                // a text's own content
  std::optional<std::string> cat;  // what a categorical variable looks up
  std::optional<double> num;       // what a continuous variable bins
  std::optional<std::string> dim;  // a dimension's text (before bucketing)
  std::string month;               // the monthly label of `dim`
};

std::string json_string(const std::string& s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '"') out += "\\\"";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out + "\"";
}

std::string csv_field(const std::string& s) {
  if (s.find_first_of(",\"\n\r") == std::string::npos) return s;
  std::string out = "\"";
  for (char c : s) out += c == '"' ? std::string("\"\"") : std::string(1, c);
  return out + "\"";
}

Value str(const std::string& s, std::optional<double> num = std::nullopt) {
  Value v;
  v.kind = Value::Str;
  v.text = s;
  v.json = json_string(s);
  v.csv = csv_field(s);
  v.cat = s;
  v.num = num;
  v.dim = s;
  v.month = s;
  // A whole date, or a date with a time, takes its month; anything else
  // stays as it is.
  auto digits = [&](size_t a, size_t n) {
    for (size_t i = a; i < a + n; ++i)
      if (i >= s.size() || s[i] < '0' || s[i] > '9') return false;
    return true;
  };
  const bool date = (s.size() == 10 || (s.size() == 19 && s[10] == 'T')) && digits(0, 4) &&
                    s[4] == '-' && digits(5, 2) && s[7] == '-' && digits(8, 2);
  if (date && s.substr(5) != "02-30") v.month = s.substr(0, 7);
  return v;
}

Value integer(int64_t i) {
  Value v;
  v.kind = Value::Int;
  v.json = std::to_string(i);
  v.cat = v.json;
  v.num = static_cast<double>(i);
  v.dim = v.json;
  v.month = v.json;
  return v;
}

// `text` is the shortest form of `x`, with a decimal point.
Value floating(double x, const std::string& text) {
  Value v;
  v.kind = Value::Float;
  v.json = text;
  v.cat = "unknown";
  v.num = x;
  v.dim = text;
  v.month = text;
  return v;
}

Value boolean(bool b) {
  Value v;
  v.kind = Value::Bool;
  v.json = b ? "true" : "false";
  v.cat = "unknown";
  v.dim = v.json;
  v.month = v.json;
  return v;
}

Value null() {
  Value v;
  v.kind = Value::Null;
  v.json = "null";
  v.cat = "unknown";
  return v;
}

using Record = std::map<std::string, Value>;

const std::vector<std::string> kColors = {"c0", "c1", "c2", "c3", "c4", "c5", "c6",
                                          "c7", "c8", "c9", "7",  "unknown"};
const std::vector<std::string> kNotes = {"x,y", "he said \"hi\"", "line1\nline2", "plain",
                                         "tab\there"};

// Records of seven columns. The first 1000 stay plain, so that inference
// proposes nothing that clashes with the stored definitions; later ones
// carry the unusual values. JSON lines add values of other JSON kinds and
// records without a usable region.
std::vector<Record> generate(size_t n, int regions, int months, InputFormat format, uint64_t seed) {
  const bool json = format == InputFormat::JsonLines;
  std::mt19937_64 rng(seed);
  std::vector<Record> out;
  out.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    const bool odd = i >= 1000;
    Record r;
    const uint64_t pick = rng() % 100;
    if (json && odd && pick == 0) {
      // no region: dropped
    } else if (json && odd && pick == 1) {
      r["region"] = null();
    } else if (json && odd && pick == 2) {
      r["region"] = integer(static_cast<int64_t>(rng() % 5));
    } else {
      r["region"] = str("r" + std::to_string(rng() % static_cast<uint64_t>(regions)));
    }
    const int month = 1 + static_cast<int>(rng() % static_cast<uint64_t>(months)), day = 1 + static_cast<int>(rng() % 28);
    std::string date = "2024-0" + std::to_string(month) + "-" + (day < 10 ? "0" : "") +
                       std::to_string(day);
    const uint64_t dk = rng() % 40;
    if (odd && dk == 0) r["day"] = str("2024-02-30");
    else if (odd && dk == 1) r["day"] = str(date + " 10:00:00");
    else if (json && odd && dk == 2) r["day"] = integer(2024);
    else if (json && odd && dk == 3) r["day"] = boolean(true);
    else if (dk < 10) r["day"] = str(date + "T23:59:59");
    else r["day"] = str(date);

    const uint64_t ck = rng() % 16;
    if (json && odd && ck == 0) r["color"] = integer(7);
    else if (json && odd && ck == 1) r["color"] = floating(2.5, "2.5");
    else if (json && odd && ck == 2) r["color"] = boolean(false);
    else if (json && odd && ck == 3) r["color"] = null();
    else if (!(json && odd && ck == 4)) r["color"] = str(ck == 15 ? "" : "c" + std::to_string(ck % 14));

    const int64_t base = static_cast<int64_t>(rng() % 137) - 10;
    // base + frac away from zero, written as base then the fraction's digits
    auto away = [&](double frac) { return static_cast<double>(base) + (base < 0 ? -frac : frac); };
    const uint64_t pk = rng() % 20;
    if (odd && pk == 0) r["price"] = str("abc");
    else if (odd && pk == 1) r["price"] = str("nan", std::nan(""));
    else if (odd && pk == 2) r["price"] = str("", std::nullopt);
    else if (odd && pk == 3) r["price"] = str("1e400", HUGE_VAL);
    else if (odd && pk == 4) r["price"] = str("-inf", -HUGE_VAL);
    else if (json && pk == 5) r["price"] = integer(base);
    else if (json && odd && pk == 6) r["price"] = boolean(true);
    else if (json && odd && pk == 7) r["price"] = null();
    else if (json && pk < 12) r["price"] = floating(away(0.25), std::to_string(base) + ".25");
    else r["price"] = str(std::to_string(base) + ".5", away(0.5));

    const int64_t q = static_cast<int64_t>(rng() % 51) - 10;
    if (json && rng() % 2) r["qty"] = integer(q);
    else r["qty"] = str(std::to_string(q), static_cast<double>(q));

    r["tier"] = str(std::string(1, static_cast<char>('a' + rng() % 4)));
    const uint64_t nk = rng() % 7;
    r["note"] = str(nk < kNotes.size() ? kNotes[nk] : "other");
    out.push_back(std::move(r));
  }
  return out;
}

const std::vector<std::string> kColumns = {"region", "day", "color", "price", "qty", "tier", "note"};

std::string to_csv(const std::vector<Record>& recs) {
  std::string s = "region,day,color,price,qty,tier,note\n";
  for (const auto& r : recs) {
    for (size_t c = 0; c < kColumns.size(); ++c) {
      if (c) s += ',';
      s += r.at(kColumns[c]).csv;
    }
    s += '\n';
  }
  return s;
}

std::string to_jsonl(const std::vector<Record>& recs) {
  std::string s;
  for (const auto& r : recs) {
    s += '{';
    bool first = true;
    for (const auto& c : kColumns) {  // file order, not name order
      auto it = r.find(c);
      if (it == r.end()) continue;
      if (!first) s += ',';
      first = false;
      s += json_string(c) + ":" + it->second.json;
    }
    s += "}\n";
  }
  return s;
}

// The stored definitions the ingests start from.
void define(store::Database& db) {
  using model::CategoricalType;
  using model::ContinuousType;
  ASSERT_TRUE(db.add_variable({"color", CategoricalType{kColors, true}}).ok());
  ASSERT_TRUE(db.add_variable({"price", ContinuousType{20, model::Range{0.0, 100.0}}}).ok());
  ASSERT_TRUE(db.add_variable({"qty", ContinuousType{7, model::Range{-5.0, 30.0}}}).ok());
  ASSERT_TRUE(db.add_variable({"tier", CategoricalType{{"a", "b", "c"}, false}}).ok());
  ASSERT_TRUE(db.add_variable({"note", CategoricalType{kNotes, true}}).ok());
  ASSERT_TRUE(db.add_dimension({"region", "region", std::nullopt}).ok());
  ASSERT_TRUE(db.add_dimension({"day", "day", "monthly"}).ok());
  db.meta.schema.joints = {{"price", "color"}, {"tier", "color"}, {"qty", "price"}, {"color", "price"}};
}

// The plain computation.
struct Expected {
  struct Marginal {
    std::vector<uint64_t> cells;
    uint64_t unknown = 0;
    uint64_t batches = 0;
    uint64_t last_batch = UINT64_MAX;
  };
  std::map<std::pair<std::string, model::DimensionMap>, Marginal> marginals;
  std::map<std::tuple<std::string, std::string, model::DimensionMap>,
           std::map<std::pair<uint64_t, uint64_t>, uint64_t>>
      joints;
  uint64_t total = 0, updated = 0;
  std::vector<std::string> lines;
};

std::optional<uint64_t> bin(const model::ContinuousType& c, std::optional<double> x) {
  if (!x) return std::nullopt;
  const double lo = c.range ? c.range->first : 0.0, hi = c.range ? c.range->second : 1.0;
  const double width = (hi - lo) / c.bins;
  if (width <= 0) return std::nullopt;
  const double q = std::floor((*x - lo) / width);
  if (std::isnan(q) || q < 0) return 0;
  if (q > static_cast<double>(c.bins) - 1) return c.bins - 1;
  return static_cast<uint64_t>(q);
}

std::optional<uint64_t> position(const std::vector<std::string>& cats, const std::string& t) {
  for (size_t i = 0; i < cats.size(); ++i)
    if (cats[i] == t) return i;
  return std::nullopt;
}

Expected expect(const model::Schema& schema, const std::vector<Record>& recs, uint64_t batch,
                uint64_t first_id) {
  Expected e;
  std::vector<const Record*> obs;
  for (const auto& r : recs) {
    bool ok = true;
    for (const auto& d : schema.dimensions) {
      auto it = r.find(d.source_column);
      if (it == r.end() || !it->second.dim) ok = false;
    }
    if (ok) obs.push_back(&r);
  }
  e.total = obs.size();
  const uint64_t slice = batch == 0 ? 1 : batch;
  std::vector<const model::VariableDefinition*> by_name;
  for (const auto& v : schema.variables) by_name.push_back(&v);
  std::sort(by_name.begin(), by_name.end(),
            [](auto* a, auto* b) { return a->name < b->name; });
  for (size_t k = 0; k < obs.size(); ++k) {
    const Record& r = *obs[k];
    const uint64_t b = k / slice;
    model::DimensionMap key;
    for (const auto& d : schema.dimensions) {
      const Value& v = r.at(d.source_column);
      key[d.name] = d.granularity == std::optional<std::string>("monthly") ? v.month : *v.dim;
    }
    for (const auto& def : schema.variables) {
      auto it = r.find(def.name);
      if (it == r.end()) continue;
      const Value& v = it->second;
      auto& m = e.marginals[{def.name, key}];
      bool slot = false;
      if (const auto* cat = std::get_if<model::CategoricalType>(&def.var_type)) {
        m.cells.resize(cat->categories.size());
        if (auto p = position(cat->categories, *v.cat)) {
          ++m.cells[*p];
          slot = true;
        } else if (cat->allow_unknown) {
          ++m.unknown;
          slot = true;
        }
      } else {
        const auto& c = std::get<model::ContinuousType>(def.var_type);
        m.cells.resize(c.bins);
        if (auto p = bin(c, v.num)) {
          ++m.cells[*p];
          slot = true;
        }
      }
      if (slot && m.last_batch != b) {
        m.last_batch = b;
        ++m.batches;
        ++e.updated;
      }
    }
    for (const auto& [a, bname] : schema.joints) {
      auto ia = r.find(a), ib = r.find(bname);
      const auto* da = schema.variables.data();
      const model::VariableDefinition *va = nullptr, *vb = nullptr;
      for (size_t i = 0; i < schema.variables.size(); ++i) {
        if (!va && da[i].name == a) va = &da[i];
        if (!vb && da[i].name == bname) vb = &da[i];
      }
      if (ia == r.end() || ib == r.end() || !va || !vb) continue;
      const auto* ca = std::get_if<model::CategoricalType>(&va->var_type);
      const auto* cb = std::get_if<model::CategoricalType>(&vb->var_type);
      auto text_pos = [](const model::CategoricalType* c, const Value& v) -> std::optional<uint64_t> {
        if (v.kind != Value::Str) return std::nullopt;
        return position(c->categories, v.text);
      };
      std::optional<uint64_t> x, y;
      const bool a_first = !(bname < a);
      if (ca && cb) {
        x = a_first ? text_pos(ca, ia->second) : text_pos(cb, ib->second);
        y = a_first ? text_pos(cb, ib->second) : text_pos(ca, ia->second);
      } else if (ca) {
        x = text_pos(ca, ia->second);
        y = bin(std::get<model::ContinuousType>(vb->var_type), ib->second.num);
      } else if (cb) {
        x = text_pos(cb, ib->second);
        y = bin(std::get<model::ContinuousType>(va->var_type), ia->second.num);
      } else {
        auto bx = bin(std::get<model::ContinuousType>(va->var_type), ia->second.num);
        auto by = bin(std::get<model::ContinuousType>(vb->var_type), ib->second.num);
        x = a_first ? bx : by;
        y = a_first ? by : bx;
      }
      if (!x || !y) continue;
      const std::string& lx = a_first ? a : bname;
      const std::string& ly = a_first ? bname : a;
      ++e.joints[{lx, ly, key}][{*x, *y}];
    }
    std::string line = "{\"payload\":{";
    bool first = true;
    for (const auto* def : by_name) {
      auto it = r.find(def->name);
      if (it == r.end()) continue;
      if (!first) line += ',';
      first = false;
      line += json_string(def->name) + ":" + it->second.json;
    }
    line += "},\"record_id\":" + std::to_string(first_id + k) + "}";
    e.lines.push_back(std::move(line));
  }
  // Marginals that never received a slot do not exist.
  for (auto it = e.marginals.begin(); it != e.marginals.end();)
    it = it->second.batches == 0 ? e.marginals.erase(it) : std::next(it);
  return e;
}

double entropy(const std::vector<uint64_t>& cells, uint64_t total) {
  if (total == 0) return 0.0;
  double h = -0.0;
  for (uint64_t c : cells) {
    if (c == 0) continue;
    const double p = static_cast<double>(c) / static_cast<double>(total);
    h = h - std::log2(p) * p;
  }
  return h;
}

// The lines of a raw-log file, each of which ends with its line feed.
std::vector<std::string> lines_of(const fs::path& p) {
  const std::string all = test_util::read_file(p);
  EXPECT_TRUE(all.empty() || all.back() == '\n') << "last line without its line feed";
  return test_util::lines_of(p);
}

void ingest_and_check(const std::vector<Record>& recs, InputFormat format, uint64_t batch) {
  const bool json = format == InputFormat::JsonLines;
  SCOPED_TRACE((json ? "jsonl " : "csv ") + std::to_string(recs.size()) + " records, batch " +
               std::to_string(batch));
  TempDir dir;
  const fs::path input = dir.path() / (json ? "in.jsonl" : "in.csv");
  {
    const std::string text = json ? to_jsonl(recs) : to_csv(recs);
    std::ofstream(input, std::ios::binary).write(text.data(), static_cast<std::streamsize>(text.size()));
  }
  auto db = store::create_database(dir.path() / "db", true);
  ASSERT_TRUE(db.ok()) << db.error().full_text();
  define(*db);
  IngestOptions o;
  o.date_granularity = "monthly";
  auto report = ingest_file(*db, input.string(), o, batch, false);
  ASSERT_TRUE(report.ok()) << report.error().full_text();

  const model::Schema& schema = db->meta.schema;
  ASSERT_EQ(schema.dimensions.size(), 2u);
  const Expected e = expect(schema, recs, batch, 1);
  EXPECT_EQ(report->total_rows, e.total);
  EXPECT_EQ(report->processed_rows, e.total);
  EXPECT_EQ(report->skipped_rows, 0u);
  EXPECT_EQ(report->distributions_updated, e.updated);

  const model::DistributionFile data = db->records();
  ASSERT_EQ(data.distributions.size(), e.marginals.size());
  for (const auto& d : data.distributions) {
    auto it = e.marginals.find({d.variable, d.dimension_key});
    ASSERT_NE(it, e.marginals.end()) << d.variable;
    const auto& m = it->second;
    uint64_t total = m.unknown;
    for (uint64_t c : m.cells) total += c;
    if (const auto* h = std::get_if<model::HistogramRepr>(&d.repr)) {
      ASSERT_EQ(h->bin_counts, m.cells) << d.variable;
      ASSERT_EQ(h->total_count, total) << d.variable;
      ASSERT_EQ(d.entropy, entropy(m.cells, total)) << d.variable;
    } else {
      const auto& c = std::get<model::CategoricalRepr>(d.repr);
      ASSERT_EQ(c.counts, m.cells) << d.variable;
      ASSERT_EQ(c.unknown_count, m.unknown) << d.variable;
      ASSERT_EQ(c.total_count, total) << d.variable;
      ASSERT_EQ(d.entropy, entropy(m.cells, total)) << d.variable;
    }
    ASSERT_EQ(d.sample_count, total) << d.variable;
    ASSERT_EQ(d.version, 1 + m.batches) << d.variable;
  }

  ASSERT_EQ(data.joints.size(), e.joints.size());
  for (const auto& j : data.joints) {
    auto it = e.joints.find({j.variables.first, j.variables.second, j.dimension_key});
    ASSERT_NE(it, e.joints.end()) << j.variables.first << "/" << j.variables.second;
    std::map<std::pair<uint64_t, uint64_t>, uint64_t> got;
    uint64_t sum = 0;
    auto take = [&](const std::vector<std::vector<uint64_t>>& rows) {
      for (size_t x = 0; x < rows.size(); ++x)
        for (size_t y = 0; y < rows[x].size(); ++y)
          if (rows[x][y] != 0) got[{x, y}] = rows[x][y];
    };
    if (const auto* g = std::get_if<model::HistogramGridRepr>(&j.repr)) {
      take(g->counts);
    } else if (const auto* t = std::get_if<model::ContingencyTableRepr>(&j.repr)) {
      take(t->counts);
    } else {
      const auto& c = std::get<model::ConditionalHistogramsRepr>(j.repr);
      for (size_t x = 0; x < c.histograms.size(); ++x) {
        const auto& h = std::get<model::HistogramRepr>(c.histograms[x]);
        uint64_t hs = 0;
        for (size_t y = 0; y < h.bin_counts.size(); ++y)
          if (h.bin_counts[y] != 0) got[{x, y}] = h.bin_counts[y], hs += h.bin_counts[y];
        ASSERT_EQ(h.total_count, hs);
      }
    }
    for (const auto& [cell, n] : it->second) sum += n;
    ASSERT_EQ(got, it->second) << j.variables.first << "/" << j.variables.second;
    ASSERT_EQ(j.repr.total_count(), sum);
    ASSERT_EQ(j.sample_count, sum);
    ASSERT_EQ(j.version, 1u);
  }

  const auto lines = lines_of(db->raw_log->segment_path);
  ASSERT_EQ(lines.size(), e.lines.size());
  for (size_t i = 0; i < lines.size(); ++i) ASSERT_EQ(lines[i], e.lines[i]) << "line " << i;
  EXPECT_EQ(db->meta.next_raw_record_id, 1 + e.total);
}

TEST(IngestConformance, SmallCsvInEveryBatchShape) {
  const auto recs = generate(1500, 97, 3, InputFormat::Csv, 1);
  for (uint64_t batch : {uint64_t{0}, uint64_t{1}, uint64_t{333}, uint64_t{10000}})
    ingest_and_check(recs, InputFormat::Csv, batch);
}

TEST(IngestConformance, LargeMultiChunkCsv) {
  // Several megabytes (parsed in parallel chunks), quoted line breaks at
  // arbitrary places, and batches touching about two thousand distributions.
  const auto recs = generate(80000, 400, 1, InputFormat::Csv, 2);
  ASSERT_GT(to_csv(recs).size(), size_t(3) << 20);  // three chunks or more
  ingest_and_check(recs, InputFormat::Csv, 4093);
}

TEST(IngestConformance, JsonLinesWithEveryValueKind) {
  const auto recs = generate(30000, 300, 2, InputFormat::JsonLines, 3);
  for (uint64_t batch : {uint64_t{10000}, uint64_t{777}}) ingest_and_check(recs, InputFormat::JsonLines, batch);
  ingest_and_check(generate(3000, 60, 3, InputFormat::JsonLines, 4), InputFormat::JsonLines, 1);
}

}  // namespace
}  // namespace quor::ingest
