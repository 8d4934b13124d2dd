// Open and flush of a database of 100 000 histogram distributions of 20
// bins, with the binary encoding and the zstd stage measured on their own so
// that the share of each is visible. Byte rates are over the uncompressed
// binary form of "distributions.edb".
//
// BM_Flush writes the four data files through the store's write path
// (temporary file, fsync, rename), so its figure includes the fsyncs;
// BM_StreamImage is the same encoding and compression of
// "distributions.edb" handed to a writer that keeps nothing (no file, no
// fsync).
//
// Peak memory is measured in fresh processes (this binary run again with
// --peak MODE, reading getrusage's ru_maxrss) and printed before the timed
// runs:
//   open-rw, open-ro  open the database read-write / read-only (mapped);
//   flush             open read-write, then flush (its peak less the open's
//                     is the flush's own memory);
//   bomb              load a 33 KB "distributions.edb" whose zstd frame
//                     expands to 1 GiB of zeros, by the mapped and the read
//                     loader.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "quor/store/dim_key.h"
#include "quor/store/raw_log.h"
#include "quor/store/raw_log_appender.h"
#include "quor/util/json.h"

#include "store_bench_data.h"

namespace {

using namespace quor::store;
using namespace quor::model;
namespace fs = std::filesystem;

using quor::bench::kBins;
using quor::bench::kDistributions;
using quor::bench::make_distributions;

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
    db->load_records(data);
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

// The database is released outside the timed region: an open is measured,
// not the teardown of the previous one.
void open_loop(benchmark::State& state, bool writable) {
  for (auto _ : state) {
    auto db = open_database(fixture().dir, writable);
    if (!db.ok()) state.SkipWithError(db.error().full_text().c_str());
    benchmark::DoNotOptimize(db);
    state.PauseTiming();
    { auto gone = std::move(db); }
    state.ResumeTiming();
  }
  set_bytes(state);
}

void BM_OpenReadWrite(benchmark::State& state) { open_loop(state, true); }
void BM_OpenReadOnlyMapped(benchmark::State& state) { open_loop(state, false); }

// "distributions.edb" alone, decompressed and decoded from memory.
void BM_ParseDistributions(benchmark::State& state) {
  const std::string image = *data_file_image(fixture().data);
  for (auto _ : state) {
    auto f = parse_distribution_file(image, "distributions.edb");
    if (!f.ok()) state.SkipWithError(f.error().full_text().c_str());
    benchmark::DoNotOptimize(f);
    state.PauseTiming();
    { auto gone = std::move(f); }
    state.ResumeTiming();
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

void BM_StreamImage(benchmark::State& state) {
  for (auto _ : state) {
    size_t n = 0;
    auto st = stream_data_file_image(fixture().data, [&n](std::string_view piece) {
      n += piece.size();
      return quor::ok_status();
    });
    if (!st.ok()) state.SkipWithError(st.error().full_text().c_str());
    benchmark::DoNotOptimize(n);
  }
  set_bytes(state);
}

void BM_Encode(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(encode_stored_record(fixture().data));
  set_bytes(state);
}

void BM_Decode(benchmark::State& state) {
  for (auto _ : state) {
    auto f = decode_stored_record<DistributionFile>(fixture().encoded);
    benchmark::DoNotOptimize(f);
    state.PauseTiming();
    { auto gone = std::move(f); }
    state.ResumeTiming();
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

// Raw-log appends through the ingest's appender (one descriptor): a write
// per record versus one write for a batch of 10000.
void BM_RawLogAppend(benchmark::State& state) {
  const bool batched = state.range(0) != 0;
  const fs::path raw = fixture().dir / "raw_bench";
  fs::remove_all(raw);
  auto log = open_raw_log(raw);
  if (!log.ok()) {
    state.SkipWithError(log.error().full_text().c_str());
    return;
  }
  const quor::util::JsonValue payload = *quor::util::parse_json_value(kJsonLine);
  constexpr size_t kLines = 10000;
  RawLogAppender appender(log->segment_path);
  std::vector<std::string> blocks(1);
  std::vector<uint32_t> lengths(1);
  uint64_t id = 1;
  for (auto _ : state) {
    size_t failed_line = 0;
    if (batched) {
      blocks[0].clear();
      lengths.assign(kLines, 0);
      for (size_t i = 0; i < kLines; ++i) {
        const size_t before = blocks[0].size();
        append_raw_line(blocks[0], std::to_string(id + i),
                        [&](std::string& o) { quor::util::write_json(o, payload); });
        lengths[i] = static_cast<uint32_t>(blocks[0].size() - before);
      }
      if (!appender.append(blocks, 1, lengths, failed_line).ok()) state.SkipWithError("append failed");
    } else {
      for (size_t i = 0; i < kLines; ++i) {
        blocks[0].clear();
        append_raw_line(blocks[0], std::to_string(id + i),
                        [&](std::string& o) { quor::util::write_json(o, payload); });
        lengths.assign(1, static_cast<uint32_t>(blocks[0].size()));
        if (!appender.append(blocks, 1, lengths, failed_line).ok()) state.SkipWithError("append failed");
      }
    }
    id += kLines;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * kLines));
  fs::remove_all(raw);
}

BENCHMARK(BM_ParseJsonLine);
BENCHMARK(BM_RawLogAppend)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
// Open and flush are timed by the wall clock: a flush waits for its fsyncs.
BENCHMARK(BM_OpenReadWrite)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_OpenReadOnlyMapped)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ParseDistributions)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Flush)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_StreamImage)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Encode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZstdCompress)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZstdDecompress)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- peak memory

double peak_mb() {
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_maxrss) / 1024.0;  // KiB on Linux
}

// A "distributions.edb" whose one zstd frame expands to `gib` GiB of zeros
// (an empty record followed by zeros the decoder never needs).
void write_bomb(const fs::path& path, unsigned gib) {
  std::string image = "QUOR";
  image += std::string("\x03\x00\x00\x00", 4);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setPledgedSrcSize(cctx, static_cast<unsigned long long>(gib) << 30);
  const std::string zeros(1 << 20, '\0');
  std::string out(ZSTD_CStreamOutSize(), '\0');
  for (unsigned i = 0; i < (gib << 10); ++i) {
    ZSTD_inBuffer in{zeros.data(), zeros.size(), 0};
    while (in.pos < in.size) {
      ZSTD_outBuffer o{out.data(), out.size(), 0};
      ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_continue);
      image.append(out.data(), o.pos);
    }
  }
  for (;;) {
    ZSTD_inBuffer in{nullptr, 0, 0};
    ZSTD_outBuffer o{out.data(), out.size(), 0};
    size_t rc = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
    image.append(out.data(), o.pos);
    if (rc == 0) break;
  }
  ZSTD_freeCCtx(cctx);
  std::ofstream(path, std::ios::binary) << image;
}

// Runs in a fresh process: one operation, then its peak resident memory.
int run_peak(const std::string& mode, const fs::path& path) {
  if (mode == "open-rw" || mode == "open-ro") {
    auto db = open_database(path, mode == "open-rw");
    if (!db.ok()) return std::fprintf(stderr, "%s\n", db.error().full_text().c_str()), 1;
    std::printf("peak %-8s %8.1f MB\n", mode.c_str(), peak_mb());
  } else if (mode == "flush") {
    auto db = open_database(path, true);
    if (!db.ok()) return 1;
    const double opened = peak_mb();
    auto st = flush_database(*db);
    if (!st.ok()) return std::fprintf(stderr, "%s\n", st.error().full_text().c_str()), 1;
    std::printf("peak %-8s %8.1f MB (after open %.1f MB: flush adds %.1f MB)\n", mode.c_str(),
                peak_mb(), opened, peak_mb() - opened);
  } else if (mode == "bomb-map" || mode == "bomb-read") {
    auto f = mode == "bomb-map" ? load_distribution_file_mapped(path)
                                : load_distribution_file_read(path);
    std::printf("peak %-9s %7.1f MB (file %.1f KB, %s)\n", mode.c_str(), peak_mb(),
                static_cast<double>(fs::file_size(path)) / 1024.0,
                f.ok() ? "opened" : f.error().full_text().c_str());
  } else {
    return 2;
  }
  return 0;
}

void report_peaks(const char* self) {
  const fs::path bomb_dir = fixture().dir / "bomb";
  fs::create_directories(bomb_dir);
  const fs::path bomb = bomb_dir / "distributions.edb";
  write_bomb(bomb, 1);
  const std::string exe = fs::canonical("/proc/self/exe").string();
  (void)self;
  auto run = [&](const char* mode, const fs::path& p) {
    const std::string cmd = "'" + exe + "' --peak " + mode + " '" + p.string() + "'";
    if (std::system(cmd.c_str()) != 0) std::fprintf(stderr, "peak %s failed\n", mode);
  };
  run("open-rw", fixture().dir);
  run("open-ro", fixture().dir);
  run("flush", fixture().dir);
  run("bomb-map", bomb);
  run("bomb-read", bomb);
  std::fflush(stdout);
  fs::remove_all(bomb_dir);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--peak") == 0) return run_peak(argv[2], argv[3]);
  fixture();  // build the database before anything is timed
  report_peaks(argv[0]);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
