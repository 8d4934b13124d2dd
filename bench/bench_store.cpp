// Open and flush of a database of 100 000 histogram distributions of 20
// bins, with the binary encoding and the zstd stage measured on their own so
// that the share of each is visible. Byte rates are over the uncompressed
// binary form of "distributions.edb".
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "quor/store/dim_key.h"
#include "quor/store/raw_log.h"
#include "quor/util/json.h"

namespace {

using namespace quor::store;
namespace fs = std::filesystem;

constexpr size_t kDistributions = 100000;
constexpr uint32_t kBins = 20;

DistributionFile make_distributions() {
  DistributionFile f;
  f.distributions.reserve(kDistributions);
  uint64_t seed = 88172645463325252ULL;
  auto next = [&] {
    seed ^= seed << 13;
    seed ^= seed >> 7;
    seed ^= seed << 17;
    return seed;
  };
  for (size_t i = 0; i < kDistributions; ++i) {
    DistributionObject d;
    d.id = i + 1;
    d.variable = "metric_" + std::to_string(i % 10);
    d.dimension_key = {{"region", "region_" + std::to_string((i / 10) % 100)},
                       {"time", "2024-" + std::to_string(1 + (i / 1000) % 100)}};
    HistogramRepr h;
    h.min = 0.0;
    h.max = 100.0;
    h.bin_counts.resize(kBins);
    uint64_t total = 0;
    for (auto& c : h.bin_counts) {
      c = next() % 1000;
      total += c;
    }
    h.total_count = total;
    d.repr = std::move(h);
    d.sample_count = total;
    d.entropy = 4.1 + static_cast<double>(next() % 1000) / 1e4;
    d.last_updated = 1700000000 + i;
    d.version = 1 + next() % 5;
    f.distributions.push_back(std::move(d));
  }
  return f;
}

struct Fixture {
  fs::path dir;
  DistributionFile data;
  std::string encoded;
  std::string compressed;

  Fixture() {
    dir = fs::temp_directory_path() / ("quor_bench_store_" + std::to_string(::getpid()));
    fs::remove_all(dir);
    data = make_distributions();
    auto db = create_database(dir, false);
    if (!db.ok()) {
      std::fprintf(stderr, "%s\n", db.error().full_text().c_str());
      std::abort();
    }
    db->meta.schema.variables.push_back({"metric_0", ContinuousType{kBins, Range{0.0, 100.0}}});
    db->data = data;
    db->index = rebuild_dist_index(db->data.distributions);
    db->reset_id_order();
    if (!flush_database(*db).ok()) std::abort();
    encoded = encode_stored_record(data);
    compressed = *data_file_image(data);
    compressed.erase(0, 8);
  }
  ~Fixture() { fs::remove_all(dir); }
};

Fixture& fixture() {
  static Fixture f;
  return f;
}

void set_bytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(fixture().encoded.size()));
  state.counters["encoded_MB"] = static_cast<double>(fixture().encoded.size()) / 1e6;
  state.counters["file_MB"] = static_cast<double>(fixture().compressed.size() + 8) / 1e6;
}

void BM_OpenReadWrite(benchmark::State& state) {
  for (auto _ : state) {
    auto db = open_database(fixture().dir, true);
    if (!db.ok()) state.SkipWithError(db.error().full_text().c_str());
    benchmark::DoNotOptimize(db);
  }
  set_bytes(state);
}

void BM_OpenReadOnlyMapped(benchmark::State& state) {
  for (auto _ : state) {
    auto db = open_database(fixture().dir, false);
    if (!db.ok()) state.SkipWithError(db.error().full_text().c_str());
    benchmark::DoNotOptimize(db);
  }
  set_bytes(state);
}

void BM_Flush(benchmark::State& state) {
  auto db = open_database(fixture().dir, true);
  if (!db.ok()) {
    state.SkipWithError(db.error().full_text().c_str());
    return;
  }
  for (auto _ : state) {
    auto st = flush_database(*db);
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
  }
  set_bytes(state);
}

void BM_Encode(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(encode_stored_record(fixture().data));
  set_bytes(state);
}

void BM_Decode(benchmark::State& state) {
  for (auto _ : state) {
    benchmark::DoNotOptimize(decode_stored_record<DistributionFile>(fixture().encoded));
  }
  set_bytes(state);
}

void BM_ZstdCompress(benchmark::State& state) {
  const std::string& in = fixture().encoded;
  std::string out(ZSTD_compressBound(in.size()), '\0');
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  for (auto _ : state) {
    size_t n = ZSTD_compress2(cctx, out.data(), out.size(), in.data(), in.size());
    benchmark::DoNotOptimize(n);
  }
  ZSTD_freeCCtx(cctx);
  set_bytes(state);
}

void BM_ZstdDecompress(benchmark::State& state) {
  const std::string& in = fixture().compressed;
  std::string out(fixture().encoded.size(), '\0');
  for (auto _ : state) {
    size_t n = ZSTD_decompress(out.data(), out.size(), in.data(), in.size());
    benchmark::DoNotOptimize(n);
  }
  set_bytes(state);
}

// One typical JSON-lines record, parsed into a value (the ingestion path).
const char* kJsonLine =
    "{\"user_id\":\"u-000123\",\"region\":\"EU-west\",\"date\":\"2024-03-17\",\"age\":37,"
    "\"revenue\":1234.56,\"score\":-0.25,\"plan\":\"premium\",\"active\":true,"
    "\"tags\":[\"a\",\"b\"],\"note\":\"caf\\u00e9 \\\"quoted\\\"\",\"referrer\":null}";

void BM_ParseJsonLine(benchmark::State& state) {
  const std::string_view line(kJsonLine);
  for (auto _ : state) benchmark::DoNotOptimize(quor::util::parse_json_value(line));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}

// Raw-log appends, one open/close per record versus one per batch of 10000.
void BM_RawLogAppend(benchmark::State& state) {
  const bool batched = state.range(0) != 0;
  const fs::path raw = fixture().dir / "raw_bench";
  fs::remove_all(raw);
  auto log = open_raw_log(raw);
  if (!log.ok()) {
    state.SkipWithError(log.error().full_text().c_str());
    return;
  }
  std::vector<quor::util::JsonValue> payloads(10000, *quor::util::parse_json_value(kJsonLine));
  uint64_t id = 1;
  for (auto _ : state) {
    if (batched) {
      if (!append_raw_records(*log, id, payloads).ok()) state.SkipWithError("append failed");
    } else {
      for (size_t i = 0; i < payloads.size(); ++i) {
        if (!append_raw_record(*log, id + i, payloads[i]).ok()) state.SkipWithError("append failed");
      }
    }
    id += payloads.size();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * payloads.size()));
  fs::remove_all(raw);
}

BENCHMARK(BM_ParseJsonLine);
BENCHMARK(BM_RawLogAppend)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenReadWrite)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_OpenReadOnlyMapped)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flush)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZstdCompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZstdDecompress)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  fixture();  // build the database before anything is timed
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
