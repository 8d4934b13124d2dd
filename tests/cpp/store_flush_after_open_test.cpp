// The first flush after a read-write open: it may rely on the distributions
// file holding the table only while the table is exactly what the file's
// bytes gave; anything else (a key stored in another order, bytes past the
// record, a change after open) rewrites the file.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "crash_file_ops.h"
#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/directory.h"
#include "store_test_dir.h"

namespace quor::store {
namespace {

namespace fs = std::filesystem;
using testing::CrashingFileOps;
using FlushAfterOpenTest = testing::TempDirTest;

std::string zstd_bytes(std::string_view data) {
  std::string out(ZSTD_compressBound(data.size()), '\0');
  out.resize(ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 3));
  return out;
}
std::string current_file(std::string_view encoded) {
  return std::string("QUOR\x03\x00\x00\x00", 8) + zstd_bytes(encoded);
}
std::string text_bytes(std::string_view t) {
  std::string out;
  const uint64_t n = t.size();
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(n >> (8 * i)));
  return out.append(t);
}

// A runner for the pool's paths: the calls in order on this thread.
const ParallelRunner kInOrder = [](size_t n, const std::function<void(size_t)>& fn) {
  for (size_t i = 0; i < n; ++i) fn(i);
};

// Histograms and a categorical over two dimensions, no joints.
model::DistributionFile two_dimension_file() {
  model::DistributionFile f;
  for (uint64_t i = 0; i < 6; ++i) {
    model::DistributionObject d;
    d.id = i + 1;
    d.variable = i % 3 == 2 ? "colour" : "age";
    d.dimension_key = {{"carrier", "c" + std::to_string(i % 2)}, {"region", "r" + std::to_string(i)}};
    if (d.variable == "age")
      d.repr = model::HistogramRepr{0.0, 100.0, {i, 0, 2, 1}, i + 3};
    else
      d.repr = model::CategoricalRepr{{"red", "blue"}, {i, 1}, 1, i + 2};
    d.sample_count = d.repr.total_count();
    d.entropy = 0.25 * static_cast<double>(i);
    d.version = 2;
    f.distributions.push_back(std::move(d));
  }
  return f;
}

TEST_F(FlushAfterOpenTest, ReliesOnTheFileOnlyWhileTheTableIsWhatItsBytesGave) {
  const fs::path path = dir_ / "db";
  const model::DistributionFile file = two_dimension_file();
  const std::string encoded = encode_stored_record(file);
  // The first distribution's key stored region before carrier.
  const std::string in_order = text_bytes("carrier") + text_bytes("c0") + text_bytes("region") + text_bytes("r0");
  const std::string swapped = text_bytes("region") + text_bytes("r0") + text_bytes("carrier") + text_bytes("c0");
  std::string out_of_order = encoded;
  const size_t at = out_of_order.find(in_order);
  ASSERT_NE(at, std::string::npos);
  out_of_order.replace(at, in_order.size(), swapped);

  struct Case {
    const char* what;
    std::string distributions;  // the file's bytes; empty: as the flush wrote it
    std::function<void(Database&)> after_open;
    bool rewritten;
  };
  const Case cases[] = {
      {"as written", "", nullptr, false},
      {"written elsewhere, the same bytes", current_file(encoded), nullptr, false},
      {"a key in another order", current_file(out_of_order), nullptr, true},
      {"a byte after the record", current_file(encoded + "x"), nullptr, true},
      {"a change after open", "",
       [](Database& db) {
         db.flush_state.note_change();
         db.distributions.row(0).version += 1;
       },
       true},
  };
  for (const ParallelRunner* runner : {static_cast<const ParallelRunner*>(nullptr), &kInOrder}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (runner ? ", on the pool" : ", one thread"));
      fs::remove_all(path);
      {
        auto db = create_database(path, false);
        ASSERT_TRUE(db.ok());
        db->load_records(file);
        ASSERT_TRUE(flush_database(*db).ok());
      }
      if (!c.distributions.empty()) spit(path / "distributions.edb", c.distributions);
      auto db = open_database(path, true, runner);
      ASSERT_TRUE(db.ok()) << db.error().full_text();
      if (c.after_open) c.after_open(*db);
      std::vector<std::string> renames;
      {
        CrashingFileOps ops;
        ASSERT_TRUE(flush_database(*db, ops, runner).ok());
        for (const auto& s : ops.steps())
          if (s.rfind("rename ", 0) == 0) renames.push_back(s.substr(7));
      }
      const bool distributions_written =
          std::find(renames.begin(), renames.end(), "distributions.edb") != renames.end();
      EXPECT_EQ(distributions_written, c.rewritten);
      // Whatever the flush left, the file reads back as the table and holds
      // its encoding, byte for byte.
      auto back = load_distribution_file_read(path / "distributions.edb");
      ASSERT_TRUE(back.ok());
      EXPECT_EQ(encode_stored_record(*back), encode_stored_record(db->records()));
      if (c.rewritten && runner == nullptr) {
        EXPECT_EQ(slurp(path / "distributions.edb"), *data_file_image(db->records()));
      }
    }
  }
}

}  // namespace
}  // namespace quor::store
