#include <gtest/gtest.h>
#include <zstd.h>

#include <string>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "store_test_dir.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

using ContainerTest = TempDirTest;

std::string header(uint32_t version) {
  std::string h = "QUOR";
  for (int i = 0; i < 4; ++i) h += static_cast<char>((version >> (8 * i)) & 0xFF);
  return h;
}

std::string zstd_frame(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  size_t n = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 1);
  out.resize(n);
  return out;
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
  EXPECT_EQ(*load_snapshot_store(snaps), SnapshotStore{});

  // A write into a missing directory fails with the write context.
  const auto bad = dir_ / "missing" / "meta.edb";
  auto st = write_meta_file(bad, MetaFile{});
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().full_text().rfind("write file " + bad.string() + ": ", 0), 0u);
}

}  // namespace
}  // namespace quor::store
