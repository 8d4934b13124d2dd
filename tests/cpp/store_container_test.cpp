// Data files on disk: every writer and loader, older versions, contexts of
// read failures, create-time writers, compression bombs, long records and
// allocation failures.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <cstdlib>
#include <fstream>
#include <new>
#include <string>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "store_container_frames.h"
#include "store_test_dir.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

using ContainerTest = TempDirTest;

// One zstd frame of `mib` MiB of zeros, compressed as it is produced.
std::string zero_bomb(unsigned mib) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setPledgedSrcSize(cctx, static_cast<unsigned long long>(mib) << 20);
  const std::string zeros(1 << 20, '\0');
  std::string out, buf(ZSTD_CStreamOutSize(), '\0');
  for (unsigned i = 0; i <= mib; ++i) {
    ZSTD_inBuffer in{zeros.data(), i < mib ? zeros.size() : 0, 0};
    for (;;) {
      ZSTD_outBuffer o{buf.data(), buf.size(), 0};
      size_t rc = ZSTD_compressStream2(cctx, &o, &in, i < mib ? ZSTD_e_continue : ZSTD_e_end);
      out.append(buf.data(), o.pos);
      if (i < mib ? in.pos == in.size : rc == 0) break;
    }
  }
  ZSTD_freeCCtx(cctx);
  return out;
}

// A small file whose frame expands to far more than the record it holds (an
// empty DistributionFile, then zeros): it opens as that record, and the
// whole stream is still checked. Its peak memory is measured in bench_store.
TEST_F(ContainerTest, ACompressionBombOpensAsItsRecord) {
  const auto p = dir_ / "distributions.edb";
  const std::string bomb = zero_bomb(256);
  ASSERT_LT(bomb.size(), 64u << 10);
  spit(p, header(3) + bomb);
  for (bool mapped : {false, true}) {
    auto f = mapped ? load_distribution_file_mapped(p) : load_distribution_file_read(p);
    ASSERT_TRUE(f.ok()) << f.error().full_text();
    EXPECT_EQ(*f, model::DistributionFile{});
  }
  spit(p, header(3) + bomb + "tail");
  auto f = load_distribution_file_mapped(p);
  ASSERT_FALSE(f.ok());
  EXPECT_EQ(f.error().full_text(), "zstd decompress " + p.string() + ": Unknown frame descriptor");
}

// Long records cross the decoder's window in every way: long texts and
// count lists, a text past the length read without checking, a record split
// over several frames.
TEST_F(ContainerTest, LongRecordsReadBackThroughEveryLoader) {
  const auto p = dir_ / "distributions.edb";
  RecordMaker mk(4);
  model::DistributionFile f = mk.file(400);
  f.distributions[3].variable = std::string(20 << 20, 'v');
  const std::string want = encode_stored_record(f);
  ASSERT_TRUE(write_distributions_file(p, f).ok());
  for (bool mapped : {false, true}) {
    auto back = mapped ? load_distribution_file_mapped(p) : load_distribution_file_read(p);
    ASSERT_TRUE(back.ok()) << back.error().full_text();
    EXPECT_TRUE(encode_stored_record(*back) == want);
  }
  std::string frames;
  for (size_t at = 0; at < want.size(); at += 3000001) frames += zstd_frame(want.substr(at, 3000001));
  spit(p, header(3) + frames);
  auto back = load_distribution_file_read(p);
  ASSERT_TRUE(back.ok()) << back.error().full_text();
  EXPECT_TRUE(encode_stored_record(*back) == want);
}

size_t open_descriptors() {
  size_t n = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
  return n;
}

bool mapped_anywhere(const std::string& path) {
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    if (line.find(path) != std::string::npos) return true;
  }
  return false;
}

// The limited half of the test below, in a process of its own: the address
// space is capped at what the process maps now plus 128 MiB, so that the
// 256 MiB text of `path` cannot be allocated.
void load_with_capped_address_space(const std::filesystem::path& path) {
  size_t pages = 0;
  std::ifstream("/proc/self/statm") >> pages;
  const size_t fds = open_descriptors();
  struct rlimit lim;
  ASSERT_EQ(::getrlimit(RLIMIT_AS, &lim), 0);
  lim.rlim_cur = pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) + (128u << 20);
  ASSERT_EQ(::setrlimit(RLIMIT_AS, &lim), 0);
  bool thrown = false;
  try {
    (void)load_distribution_file_mapped(path);
  } catch (const std::bad_alloc&) {
    thrown = true;
  }
  EXPECT_TRUE(thrown) << "the load did not fail";
  EXPECT_EQ(open_descriptors(), fds);
  EXPECT_FALSE(mapped_anywhere(path.string()));
}

constexpr const char* kCappedLoadFile = "QUOR_TEST_CAPPED_LOAD_FILE";

// An allocation failure thrown out of the decoder (the Python layer turns it
// into MemoryError) releases the descriptor and the mapping. The capped load
// runs in a fresh run of this test binary, filtered to this test: a process
// that earlier tests filled (threads, arenas, mappings) leaves no reliable
// headroom to cap.
TEST_F(ContainerTest, AnAllocationFailureInTheMappedLoaderLeaksNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves address space of its own";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer reserves address space of its own";
#endif
#endif
  if (const char* file = std::getenv(kCappedLoadFile)) {
    load_with_capped_address_space(file);
    return;
  }
  const auto p = dir_ / "distributions.edb";
  // One joint whose first variable is a 256 MiB text of zeros.
  const std::string start = u64le(0) + u64le(1) + u64le(1) + u64le(256u << 20);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  const std::string chunk(1 << 20, '\0');
  std::string body, buf(ZSTD_CStreamOutSize(), '\0');
  ZSTD_CCtx_setPledgedSrcSize(cctx, start.size() + (256u << 20));
  for (unsigned i = 0; i <= 256; ++i) {
    ZSTD_inBuffer in{i == 0 ? start.data() : chunk.data(), i == 0 ? start.size() : chunk.size(), 0};
    for (;;) {
      ZSTD_outBuffer o{buf.data(), buf.size(), 0};
      ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_continue);
      body.append(buf.data(), o.pos);
      if (in.pos == in.size) break;
    }
  }
  for (;;) {
    ZSTD_inBuffer in{nullptr, 0, 0};
    ZSTD_outBuffer o{buf.data(), buf.size(), 0};
    size_t rc = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
    body.append(buf.data(), o.pos);
    if (rc == 0) break;
  }
  ZSTD_freeCCtx(cctx);
  spit(p, header(3) + body);

  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string filter =
      std::string("--gtest_filter=") + info->test_suite_name() + "." + info->name();
  const std::string setting = std::string(kCappedLoadFile) + "=" + p.string();
  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) env.push_back(*e);
  env.push_back(const_cast<char*>(setting.c_str()));
  env.push_back(nullptr);
  char* argv[] = {const_cast<char*>("/proc/self/exe"), const_cast<char*>(filter.c_str()), nullptr};
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::execve("/proc/self/exe", argv, env.data());
    std::_Exit(127);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the capped load failed (its output is above)";
}

TEST_F(ContainerTest, EveryWriterProducesTheHeaderAndReadsBackExactly) {
  const auto meta = dir_ / "meta.edb";
  const auto data = dir_ / "distributions.edb";
  const auto index = dir_ / "dist_index.edb";
  const auto snaps = dir_ / "snapshots.edb";
  ASSERT_TRUE(write_meta_file(meta, full_meta()).ok());
  ASSERT_TRUE(write_distributions_file(data, full_distribution_file()).ok());
  ASSERT_TRUE(write_dist_index_file(index, full_index()).ok());
  ASSERT_TRUE(write_snapshots_file(snaps, full_snapshots()).ok());
  for (const auto& p : {meta, data, index, snaps}) {
    EXPECT_EQ(slurp(p).substr(0, 8), header(3)) << p;
  }
  // No temporary file is left behind.
  size_t entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir_)) ++entries;
  EXPECT_EQ(entries, 4u);

  EXPECT_EQ(*load_meta_file(meta), full_meta());
  EXPECT_EQ(*load_dist_index(index), full_index());
  EXPECT_EQ(*load_snapshot_store(snaps), full_snapshots());
  const std::string want = encode_stored_record(full_distribution_file());
  auto read = load_distribution_file_read(data);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(encode_stored_record(*read), want);
  auto mapped = load_distribution_file_mapped(data);
  ASSERT_TRUE(mapped.ok());
  EXPECT_EQ(encode_stored_record(*mapped), want);
}

TEST_F(ContainerTest, OlderVersionsMultipleFramesAndJsonAreRead) {
  const std::string payload = encode_stored_record(full_meta());
  const auto p = dir_ / "meta.edb";
  for (uint32_t v : {0u, 1u, 2u}) {
    spit(p, header(v) + payload + "ignored tail");
    auto m = load_meta_file(p);
    ASSERT_TRUE(m.ok()) << m.error().full_text();
    EXPECT_EQ(*m, full_meta());
  }
  // Version 3 whose payload is two frames one after the other.
  const size_t cut = payload.size() / 2;
  spit(p, header(3) + zstd_frame(payload.substr(0, cut)) + zstd_frame(payload.substr(cut)));
  auto m = load_meta_file(p);
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(*m, full_meta());
  // JSON form, without the magic.
  spit(p, "{\"schema\":{\"variables\":[],\"dimensions\":[],\"joints\":[]},"
          "\"next_distribution_id\":4,\"next_joint_id\":1,\"next_raw_record_id\":1,"
          "\"format_version\":1}");
  m = load_meta_file(p);
  ASSERT_TRUE(m.ok()) << m.error().full_text();
  EXPECT_EQ(m->next_distribution_id, 4u);
  EXPECT_TRUE(m->raw_log_enabled);
}

TEST_F(ContainerTest, ReadFailuresCarryTheirContexts) {
  const auto p = dir_ / "distributions.edb";
  const std::string ps = p.string();
  auto error_of = [&](const std::string& bytes) {
    spit(p, bytes);
    auto r = load_distribution_file_read(p);
    auto m = load_distribution_file_mapped(p);
    EXPECT_FALSE(r.ok());
    EXPECT_FALSE(m.ok());
    if (r.ok() || m.ok()) return std::string();
    EXPECT_EQ(r.error().full_text(), m.error().full_text());
    return r.error().full_text();
  };
  EXPECT_EQ(error_of(""),
            "parse " + ps + " (tried binary and JSON): EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(error_of(std::string("QUOR\x03\x00\x00", 7)),
            "parse " + ps + " (tried binary and JSON): expected value at line 1 column 1");
  EXPECT_EQ(error_of(header(4) + "anything"),
            "file " + ps + " has format version 4 but this build supports up to 3");
  EXPECT_EQ(error_of(header(0xFFFFFFFF)),
            "file " + ps + " has format version 4294967295 but this build supports up to 3");
  EXPECT_EQ(error_of(header(3) + "not zstd at all").rfind("zstd decompress " + ps + ": ", 0), 0u);
  // A frame cut short is not silently accepted.
  std::string frame = zstd_frame(std::string(1000, 'x'));
  EXPECT_EQ(error_of(header(3) + frame.substr(0, frame.size() - 3)).rfind("zstd decompress ", 0),
            0u);
  // The binary branch never falls back to JSON.
  EXPECT_EQ(error_of(header(2) + "{}"), "deserialize " + ps + ": io error: unexpected end of file");
  EXPECT_EQ(error_of(header(3)), "deserialize " + ps + ": io error: unexpected end of file");

  const auto missing = dir_ / "nope.edb";
  auto r = load_meta_file(missing);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().full_text(),
            "read file " + missing.string() + ": No such file or directory (os error 2)");
  auto m = load_distribution_file_mapped(missing);
  ASSERT_FALSE(m.ok());
  EXPECT_EQ(m.error().full_text().rfind("open file " + missing.string() + ": ", 0), 0u);
}

TEST_F(ContainerTest, CreateTimeWritersLeaveAnyExistingFileAlone) {
  const auto p = dir_ / "meta.edb";
  spit(p, "");
  ASSERT_TRUE(save_meta_file_if_absent(p, full_meta()).ok());
  EXPECT_EQ(slurp(p), "");
  spit(p, "not a data file");
  ASSERT_TRUE(save_meta_file_if_absent(p, full_meta()).ok());
  ASSERT_TRUE(save_distribution_file_if_absent(p, {}).ok());
  ASSERT_TRUE(save_dist_index_if_absent(p, {}).ok());
  ASSERT_TRUE(ensure_snapshots_file(p).ok());
  EXPECT_EQ(slurp(p), "not a data file");

  const auto snaps = dir_ / "snapshots.edb";
  ASSERT_TRUE(ensure_snapshots_file(snaps).ok());
  EXPECT_EQ(*load_snapshot_store(snaps), model::SnapshotStore{});

  // A write into a missing directory fails with the write context.
  const auto bad = dir_ / "missing" / "meta.edb";
  auto st = write_meta_file(bad, model::MetaFile{});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().full_text().rfind("write file " + bad.string() + ": ", 0), 0u);
}

}  // namespace
}  // namespace quor::store
