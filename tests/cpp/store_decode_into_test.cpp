// The read that hands "distributions.edb" on through reused storage
// (DecodedDistribution) against the record-level decoder, which is the
// oracle: the same record for every file, and the same failure text for
// every damaged one.
#include <gtest/gtest.h>
#include <zstd.h>

#include <string>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "store_test_dir.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using testing::TempDirTest;

// Builds the record a read hands on, as the table's loader would take it.
class Collect final : public DistributionFileSink {
 public:
  void begin(uint64_t, uint64_t) override { file = model::DistributionFile{}; }
  void add(std::span<const DecodedDistribution> objects) override {
    for (const auto& d : objects) file.distributions.push_back(d.to_object());
  }
  void end(std::vector<model::JointDistributionObject> joints) override { file.joints = std::move(joints); }
  model::DistributionFile file;
};

// The text of a failure, or "ok".
template <class R>
std::string outcome(const R& r) {
  return r.ok() ? "ok" : r.error().full_text();
}

class DecodeIntoTest : public TempDirTest {
 protected:
  // Both reads of `bytes` as a file: the mapped read handed on, and the
  // record-level parse; their outcomes must agree, and so must the records.
  void expect_same(const std::string& bytes) {
    const auto path = dir_ / "distributions.edb";
    spit(path, bytes);
    Collect sink;
    const Status handed = read_mapped_distribution_file_into(path, sink);
    const auto record = parse_distribution_file(bytes, path);
    ASSERT_EQ(outcome(handed), outcome(record));
    if (record.ok()) {
      EXPECT_EQ(encode_stored_record(sink.file), encode_stored_record(*record));  // bit for bit (NaN too)
    }
  }
};

// Histograms and categoricals of varied sizes (a reused object holds more
// or fewer cells, categories and key entries than the one before), joints,
// a key with a name twice and one out of order.
model::DistributionFile varied_file() {
  model::DistributionFile f = testing::full_distribution_file();
  for (int i = 0; i < 150; ++i) {
    model::DistributionObject d = i % 3 == 0 ? testing::categorical_object() : testing::histogram_object();
    d.id = 100 + i;
    d.variable = "v" + std::to_string(i % 7);
    for (int k = 0; k < i % 4; ++k) d.dimension_key["dim" + std::to_string(k)] = std::to_string(i * k);
    if (auto* h = std::get_if<model::HistogramRepr>(&d.repr)) h->bin_counts.resize(i % 9, i);
    if (auto* c = std::get_if<model::CategoricalRepr>(&d.repr)) {
      c->categories.resize(1 + i % 5, "c" + std::to_string(i));
      c->counts.resize(c->categories.size(), 3);
    }
    d.raw_record_range = {i % 2, i};
    f.distributions.push_back(std::move(d));
  }
  return f;
}

// The bytes of one dimension key entry.
void put_text(std::string& out, std::string_view t) {
  const uint64_t n = t.size();
  out.append(reinterpret_cast<const char*>(&n), 8);
  out.append(t);
}

TEST_F(DecodeIntoTest, HandsOnTheRecordOfEveryFormAndAgreesOnEveryCut) {
  const model::DistributionFile f = varied_file();
  auto image = data_file_image(f);
  ASSERT_TRUE(image.ok());
  expect_same(*image);
  // The uncompressed binary form of an older version, and the JSON form
  // (empty, which fails the same way).
  std::string v2 = "QUOR";
  v2 += std::string("\x02\x00\x00\x00", 4);
  v2 += encode_stored_record(f);
  expect_same(v2);
  expect_same("");
  // Cut anywhere: the stream's fault and the record's fault as the record
  // decoder reports them.
  for (size_t cut = 9; cut < image->size(); cut += 37) expect_same(image->substr(0, cut));
  for (size_t cut = 9; cut < v2.size(); cut += 101) expect_same(v2.substr(0, cut));
}

TEST_F(DecodeIntoTest, AKeyOutOfOrderOrWithANameTwiceReadsAsTheOrderedMap) {
  // One histogram whose key is stored b, a, b (the later b wins).
  std::string rec;
  auto u64 = [&](uint64_t v) { rec.append(reinterpret_cast<const char*>(&v), 8); };
  u64(1);  // one distribution
  u64(7);  // id
  put_text(rec, "x");
  u64(3);
  put_text(rec, "b");
  put_text(rec, "1");
  put_text(rec, "a");
  put_text(rec, "2");
  put_text(rec, "b");
  put_text(rec, "3");
  const uint32_t hist = 0;
  rec.append(reinterpret_cast<const char*>(&hist), 4);
  const double lo = 0.0, hi = 1.0;
  rec.append(reinterpret_cast<const char*>(&lo), 8);
  rec.append(reinterpret_cast<const char*>(&hi), 8);
  u64(2);
  u64(5);
  u64(6);
  for (int i = 0; i < 7; ++i) u64(i);  // total, sample, entropy bits, time, version, range
  u64(0);                              // no joints
  std::string v2 = "QUOR";
  v2 += std::string("\x02\x00\x00\x00", 4);
  expect_same(v2 + rec);
  const auto parsed = parse_distribution_file(v2 + rec, "d");
  ASSERT_TRUE(parsed.ok());
  const model::DimensionMap want{{"a", "2"}, {"b", "3"}};
  EXPECT_EQ(parsed->distributions.at(0).dimension_key, want);
  // The same bytes compressed in the current format.
  std::string frame(ZSTD_compressBound(rec.size()), '\0');
  frame.resize(ZSTD_compress(frame.data(), frame.size(), rec.data(), rec.size(), 3));
  expect_same(std::string("QUOR\x03\x00\x00\x00", 8) + frame);
}

}  // namespace
}  // namespace quor::store
