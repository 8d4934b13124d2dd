#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "quor/store/binary_codec.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

std::string bytes(std::initializer_list<int> list) {
  std::string out;
  for (int b : list) out += static_cast<char>(b);
  return out;
}
std::string u64le(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}
std::string u32le(uint32_t v) { return u64le(v).substr(0, 4); }
std::string text(const std::string& s) { return u64le(s.size()) + s; }

template <class T>
std::string decode_error(const std::string& in) {
  auto r = decode_stored_record<T>(in);
  EXPECT_FALSE(r.ok());
  return r.ok() ? "" : r.error().full_text();
}

// ---------------------------------------------------------------- golden bytes

std::string f64le(uint64_t bits) { return u64le(bits); }  // IEEE-754 bits, spelled out
const std::string k0 = f64le(0), kHalf = f64le(0x3FE0000000000000), kOne = f64le(0x3FF0000000000000),
                  kOneHalf = f64le(0x3FF8000000000000), kQuarter = f64le(0x3FD0000000000000),
                  kTwo = f64le(0x4000000000000000), kMinusOne = f64le(0xBFF0000000000000);

// The categorical distribution of the golden records: id 2, "c", no
// dimensions, Categorical{["a"], [4], 1, 5}, 5 samples, entropy 1, updated
// 101, version 1, raw range (0, 0).
std::string golden_categorical_bytes() {
  return u64le(2) + text("c") + u64le(0) + u32le(1) + u64le(1) + text("a") + u64le(1) + u64le(4) +
         u64le(1) + u64le(5) + u64le(5) + kOne + u64le(101) + u64le(1) + u64le(0) + u64le(0);
}

template <class R>
void expect_golden(const R& record, const std::string& bytes) {
  EXPECT_EQ(stored_record_size(record), bytes.size());
  EXPECT_EQ(encode_stored_record(record), bytes);
  auto back = decode_stored_record<R>(bytes);
  ASSERT_TRUE(back.ok()) << back.error().full_text();
  EXPECT_EQ(*back, record);
}

TEST(BinaryCodecGolden, MetaFile) {
  const std::string want =
      // schema.variables: x Continuous(4, (0, 2)), y Continuous(3, none),
      // c Categorical(["a", "b"], true)
      u64le(3) + text("x") + u32le(0) + u32le(4) + bytes({1}) + k0 + kTwo +  //
      text("y") + u32le(0) + u32le(3) + bytes({0}) +                         //
      text("c") + u32le(1) + u64le(2) + text("a") + text("b") + bytes({1}) +
      // schema.dimensions, schema.joints
      u64le(2) + text("region") + text("reg") + bytes({0}) +  //
      text("time") + text("date") + bytes({1}) + text("monthly") +  //
      u64le(1) + text("x") + text("c") +
      // counters, format version, raw log flag, high-water mark
      u64le(5) + u64le(2) + u64le(7) + u32le(3) + bytes({0}) + u64le(9);
  expect_golden(golden_meta(), want);
}

TEST(BinaryCodecGolden, DistributionFile) {
  const std::string want =
      u64le(2) +
      // id 1, "x", {region: EU}, Histogram{0.5, 1.5, [1, 2], 3}, 3 samples,
      // entropy 0.25, updated 100, version 2, raw range (4, 6)
      u64le(1) + text("x") + u64le(1) + text("region") + text("EU") + u32le(0) + kHalf + kOneHalf +
      u64le(2) + u64le(1) + u64le(2) + u64le(3) + u64le(3) + kQuarter + u64le(100) + u64le(2) +
      u64le(4) + u64le(6) +  //
      golden_categorical_bytes() +
      u64le(3) +
      // id 1, (x, y), {}, HistogramGrid{0, 1, 2, -1, 1, 1, [[1], [2]], 3}, 3, 7, 1
      u64le(1) + text("x") + text("y") + u64le(0) + u32le(0) + k0 + kOne + u32le(2) + kMinusOne +
      kOne + u32le(1) + u64le(2) + u64le(1) + u64le(1) + u64le(1) + u64le(2) + u64le(3) + u64le(3) +
      u64le(7) + u64le(1) +
      // id 2, (c, c), {time: 2024}, ContingencyTable{[a], [b], [[2]], 2}, 2, 8, 1
      u64le(2) + text("c") + text("c") + u64le(1) + text("time") + text("2024") + u32le(1) +
      u64le(1) + text("a") + u64le(1) + text("b") + u64le(1) + u64le(1) + u64le(2) + u64le(2) +
      u64le(2) + u64le(8) + u64le(1) +
      // id 3, (x, c), {}, ConditionalHistograms{[a], [Histogram{0, 1, [1], 1}], 1}, 1, 9, 1
      u64le(3) + text("x") + text("c") + u64le(0) + u32le(2) + u64le(1) + text("a") + u64le(1) +
      u32le(0) + k0 + kOne + u64le(1) + u64le(1) + u64le(1) + u64le(1) + u64le(1) + u64le(9) +
      u64le(1);
  expect_golden(golden_distribution_file(), want);
}

TEST(BinaryCodecGolden, IndexAndSnapshots) {
  expect_golden(golden_index(), u64le(1) + text("x|region:EU") + u64le(1));
  expect_golden(golden_snapshots(), u64le(1) + text("x|") + u64le(1) + u64le(1) + u64le(50) +
                                        golden_categorical_bytes());
}

TEST(BinaryCodec, NewMetaFileEncodesTo61Bytes) {
  model::MetaFile m;
  const std::string want = std::string(24, '\0') + u64le(1) + u64le(1) + u64le(1) + u32le(3) +
                           bytes({1}) + std::string(8, '\0');
  ASSERT_EQ(want.size(), 61u);
  EXPECT_EQ(stored_record_size(m), 61u);
  EXPECT_EQ(encode_stored_record(m), want);
  // Bytes after the record are ignored.
  auto back = decode_stored_record<model::MetaFile>(want + "trailing junk");
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, m);
}

TEST(BinaryCodec, SmallRecordLayouts) {
  EXPECT_EQ(encode_stored_record(model::DistributionFile{}), std::string(16, '\0'));
  EXPECT_EQ(encode_stored_record(model::DistIndex{}), std::string(8, '\0'));
  EXPECT_EQ(encode_stored_record(model::SnapshotStore{}), std::string(8, '\0'));

  model::DistIndex idx;
  const std::string key = "revenue|region:EU1";  // 18 bytes
  idx.by_key[key] = 7;
  std::string enc = encode_stored_record(idx);
  EXPECT_EQ(enc, u64le(1) + u64le(18) + key + u64le(7));
  EXPECT_EQ(enc.size(), 42u);

  // A continuous variable: name, index 0, bins, range tag, two doubles.
  model::MetaFile m;
  m.schema.variables.push_back({"age", model::ContinuousType{20, model::Range{0.0, 1.0}}});
  std::string var = encode_stored_record(m).substr(8, 36);
  EXPECT_EQ(var, text("age") + u32le(0) + u32le(20) + bytes({1}) + std::string(8, '\0') +
                     bytes({0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
}

TEST(BinaryCodec, EveryRecordAndAlternativeRoundTripsExactly) {
  const model::MetaFile meta = full_meta();
  std::string enc = encode_stored_record(meta);
  EXPECT_EQ(enc.size(), stored_record_size(meta));
  auto meta_back = decode_stored_record<model::MetaFile>(enc);
  ASSERT_TRUE(meta_back.ok()) << meta_back.error().full_text();
  EXPECT_EQ(*meta_back, meta);

  // Floats (NaN, infinity, negative zero) travel bit for bit, so the second
  // encoding equals the first.
  const model::DistributionFile file = full_distribution_file();
  enc = encode_stored_record(file);
  EXPECT_EQ(enc.size(), stored_record_size(file));
  auto file_back = decode_stored_record<model::DistributionFile>(enc);
  ASSERT_TRUE(file_back.ok()) << file_back.error().full_text();
  EXPECT_EQ(encode_stored_record(*file_back), enc);
  const auto& h = std::get<model::HistogramRepr>(file_back->distributions[0].repr);
  EXPECT_TRUE(same_bits(h.min, -0.0));
  EXPECT_TRUE(std::isinf(h.max));
  EXPECT_TRUE(same_bits(file_back->distributions[0].entropy, std::nan("")));
  EXPECT_EQ(file_back->joints[2].repr.index(), 2u);

  const model::DistIndex idx = full_index();
  enc = encode_stored_record(idx);
  EXPECT_EQ(enc.size(), stored_record_size(idx));
  EXPECT_EQ(*decode_stored_record<model::DistIndex>(enc), idx);

  const model::SnapshotStore snaps = full_snapshots();
  enc = encode_stored_record(snaps);
  EXPECT_EQ(enc.size(), stored_record_size(snaps));
  EXPECT_EQ(*decode_stored_record<model::SnapshotStore>(enc), snaps);
}

TEST(BinaryCodec, MapsReadInAnyOrderAndLaterDuplicatesWin) {
  // DistIndex with the same key twice: one entry, the later id.
  std::string dup = u64le(2) + text("k") + u64le(1) + text("k") + u64le(9);
  auto idx = decode_stored_record<model::DistIndex>(dup);
  ASSERT_TRUE(idx.ok());
  ASSERT_EQ(idx->by_key.size(), 1u);
  EXPECT_EQ(idx->by_key.at("k"), 9u);

  // A dimension_key stored out of order decodes ordered and is rewritten so.
  model::DistributionFile f;
  f.distributions.push_back(categorical_object());
  f.distributions[0].dimension_key = {{"a", "1"}, {"b", "2"}};
  std::string enc = encode_stored_record(f);
  std::string sorted = u64le(2) + text("a") + text("1") + text("b") + text("2");
  std::string swapped = u64le(2) + text("b") + text("2") + text("a") + text("1");
  size_t at = enc.find(sorted);
  ASSERT_NE(at, std::string::npos);
  std::string shuffled = enc;
  shuffled.replace(at, sorted.size(), swapped);
  auto back = decode_stored_record<model::DistributionFile>(shuffled);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, f);
  EXPECT_EQ(encode_stored_record(*back), enc);
}

TEST(BinaryCodec, DecodeErrorMessages) {
  const std::string meta = encode_stored_record(model::MetaFile{});
  // Cut inside next_joint_id.
  EXPECT_EQ(decode_error<model::MetaFile>(meta.substr(0, 36)), "io error: unexpected end of file");
  EXPECT_EQ(decode_error<model::MetaFile>(""), "io error: unexpected end of file");

  // raw_log_enabled is byte 52.
  std::string bad_bool = meta;
  bad_bool[52] = 2;
  EXPECT_EQ(decode_error<model::MetaFile>(bad_bool),
            "invalid u8 while decoding bool, expected 0 or 1, found 2");

  // A dimension whose granularity tag is 5.
  std::string bad_tag = u64le(0) + u64le(1) + text("d") + text("c") + bytes({5}) + u64le(0) +
                        meta.substr(24);
  EXPECT_EQ(decode_error<model::MetaFile>(bad_tag), "tag for enum is not valid, found 5");

  // Alternative indices out of range.
  std::string repr2 = u64le(1) + u64le(1) + text("v") + u64le(0) + u32le(2);
  EXPECT_EQ(decode_error<model::DistributionFile>(repr2),
            "invalid value: integer `2`, expected variant index 0 <= i < 2");
  std::string joint3 = u64le(0) + u64le(1) + u64le(1) + text("a") + text("b") + u64le(0) + u32le(3);
  EXPECT_EQ(decode_error<model::DistributionFile>(joint3),
            "invalid value: integer `3`, expected variant index 0 <= i < 3");
  std::string vartype = u64le(1) + text("v") + u32le(7);
  EXPECT_EQ(decode_error<model::MetaFile>(vartype),
            "invalid value: integer `7`, expected variant index 0 <= i < 2");

  // A text longer than what remains: no allocation of that size, empty detail.
  EXPECT_EQ(decode_error<model::DistIndex>(u64le(1) + u64le(uint64_t{1} << 60) + "abc"), "io error: ");

  // Invalid and unfinished UTF-8.
  EXPECT_EQ(decode_error<model::DistIndex>(u64le(1) + text("ab\xff") + u64le(1)),
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 2");
  EXPECT_EQ(decode_error<model::DistIndex>(u64le(1) + text("a\xe2\x82x") + u64le(1)),
            "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 1");
  EXPECT_EQ(decode_error<model::DistIndex>(u64le(1) + text("a\xed\xa0\x80") + u64le(1)),
            "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 1");
  EXPECT_EQ(decode_error<model::DistIndex>(u64le(1) + text("ab\xf0\x9f\x98") + u64le(1)),
            "string is not valid utf8: incomplete utf-8 byte sequence from index 2");
}

TEST(BinaryCodec, HugeCountsFailAtTheEndWithoutHugeReservations) {
  // 2^62 u64 bin counts followed by a few bytes.
  std::string hist = u64le(1) + u64le(1) + text("v") + u64le(0) + u32le(0) + u64le(0) + u64le(0) +
                     u64le(uint64_t{1} << 62) + u64le(5) + u64le(6);
  EXPECT_EQ(decode_error<model::DistributionFile>(hist), "io error: unexpected end of file");
  // 2^62 distributions, 2^62 index entries, 2^62 snapshot keys.
  EXPECT_EQ(decode_error<model::DistributionFile>(u64le(uint64_t{1} << 62) + u64le(1)),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error<model::DistIndex>(u64le(UINT64_MAX) + text("k") + u64le(1)),
            "io error: unexpected end of file");
  EXPECT_EQ(decode_error<model::SnapshotStore>(u64le(UINT64_MAX)), "io error: unexpected end of file");
  EXPECT_EQ(decode_error<model::MetaFile>(u64le(UINT64_MAX)), "io error: unexpected end of file");
}

}  // namespace
}  // namespace quor::store

namespace quor::store {
namespace {

using namespace quor::store::testing;

// The encodings of varied pseudo-random records, frozen (size and FNV-1a)
// from the encoder as it stood before the single field description and the
// streaming writer replaced it: every stored byte stays as it was. The
// streaming form is checked against the whole-buffer form on the same records.
struct Frozen {
  uint64_t seed;
  uint64_t size;
  uint64_t hash;
};

template <class R>
void expect_frozen(const R& record, const Frozen& want, const char* what) {
  const std::string enc = encode_stored_record(record);
  EXPECT_EQ(enc.size(), stored_record_size(record)) << what << " seed " << want.seed;
  EXPECT_EQ(enc.size(), want.size) << what << " seed " << want.seed;
  EXPECT_EQ(fnv1a(enc), want.hash) << what << " seed " << want.seed << " got {" << want.seed
                                   << ", " << enc.size() << ", " << fnv1a(enc) << "ULL}";
  std::string streamed;
  size_t pieces = 0;
  encode_stored_record_to(record, [&](std::string_view piece) {
    streamed.append(piece);
    ++pieces;
  });
  EXPECT_TRUE(streamed == enc) << what << " seed " << want.seed;
  auto back = decode_stored_record<R>(enc);
  ASSERT_TRUE(back.ok()) << back.error().full_text();
  EXPECT_TRUE(encode_stored_record(*back) == enc) << what << " seed " << want.seed;
}

TEST(BinaryCodecFrozen, DistributionFiles) {
  const Frozen table[] = {{1, 185, 12795477897080618607ULL},
                          {2, 1310, 5455544732588606941ULL},
                          {3, 173829, 18360754929374063949ULL},
                          {4, 5355030, 12190079927809876075ULL}};
  const size_t sizes[] = {0, 3, 40, 400};
  for (size_t i = 0; i < std::size(table); ++i) {
    RecordMaker mk(table[i].seed);
    expect_frozen(mk.file(sizes[i]), table[i], "distributions");
  }
}

TEST(BinaryCodecFrozen, MetaIndexAndSnapshots) {
  const Frozen metas[] = {{11, 2000, 11866734236981620733ULL},
                          {12, 798, 1177638018319128375ULL},
                          {15, 1506, 7177411224419494340ULL}};
  for (const auto& f : metas) {
    RecordMaker mk(f.seed);
    expect_frozen(mk.meta(), f, "meta");
  }
  const Frozen snaps[] = {{21, 300, 18110062834627474354ULL},
                          {22, 96062, 7227192090810339451ULL}};
  for (const auto& f : snaps) {
    RecordMaker mk(f.seed);
    expect_frozen(mk.snapshots(f.seed == 21 ? 1 : 300), f, "snapshots");
  }
  // A hash map's visiting order is the encoder's order: checked against the
  // layout built here from that order.
  RecordMaker mk(31);
  model::DistIndex idx;
  for (int i = 0; i < 5000; ++i) idx.by_key[mk.text(40)] = mk.next();
  std::string want;
  auto u64 = [&](uint64_t v) {
    for (int b = 0; b < 8; ++b) want += static_cast<char>((v >> (8 * b)) & 0xFF);
  };
  u64(idx.by_key.size());
  for (const auto& [k, id] : idx.by_key) {
    u64(k.size());
    want += k;
    u64(id);
  }
  EXPECT_TRUE(encode_stored_record(idx) == want);
  std::string streamed;
  encode_stored_record_to(idx, [&](std::string_view piece) { streamed.append(piece); });
  EXPECT_TRUE(streamed == want);
}

}  // namespace
}  // namespace quor::store

namespace quor::store {
namespace {

using namespace quor::store::testing;

// Yields `bytes` in pieces of at most `step`, as a decompressor might.
class PieceSource final : public RecordSource {
 public:
  PieceSource(std::string_view bytes, size_t step, bool hint)
      : bytes_(bytes), step_(step), hint_(hint) {}
  size_t pull(char* dst, size_t cap) override {
    const size_t n = std::min({cap, step_, bytes_.size() - pos_});
    std::memcpy(dst, bytes_.data() + pos_, n);
    pos_ += n;
    return n;
  }
  uint64_t exact_size() override { return bytes_.size(); }
  uint64_t size_hint() override { return hint_ ? bytes_.size() : 0; }

 private:
  std::string_view bytes_;
  size_t pos_ = 0;
  size_t step_;
  bool hint_;
};

template <class R>
std::string outcome(const Result<R>& r) {
  return r.ok() ? "ok:" + encode_stored_record(*r) : "error:" + r.error().full_text();
}

// The streaming decoder against the whole-buffer one, bit for bit: the same
// record or the same failure, however the bytes arrive.
template <class R>
void expect_same_decoding(const std::string& bytes, const char* what) {
  const std::string want = outcome(decode_stored_record<R>(bytes));
  for (size_t step : {size_t{1}, size_t{7}, size_t{4096}, size_t{1} << 30}) {
    for (bool hint : {false, true}) {
      PieceSource src(bytes, step, hint);
      EXPECT_TRUE(outcome(decode_stored_record_from<R>(src)) == want)
          << what << " step " << step << " hint " << hint;
    }
  }
}

TEST(BinaryCodecStream, DecodesLikeTheWholeBuffer) {
  RecordMaker mk(4);
  const std::string big = encode_stored_record(mk.file(400));  // long texts and lists
  expect_same_decoding<model::DistributionFile>(big, "varied file");
  expect_same_decoding<model::MetaFile>(encode_stored_record(full_meta()), "meta");
  expect_same_decoding<model::DistIndex>(encode_stored_record(full_index()), "index");
  expect_same_decoding<model::SnapshotStore>(encode_stored_record(full_snapshots()), "snapshots");
  // Cut anywhere: the same failure text.
  const std::string file = encode_stored_record(full_distribution_file());
  for (size_t cut = 0; cut < file.size(); cut += 3) {
    expect_same_decoding<model::DistributionFile>(file.substr(0, cut), "cut");
  }
  for (size_t cut : {size_t{100}, big.size() / 3, big.size() - 1}) {
    expect_same_decoding<model::DistributionFile>(big.substr(0, cut), "cut big");
  }
  // Damaged lengths, texts and tags.
  std::string bad_utf8 = encode_stored_record(golden_index());
  bad_utf8[16] = '\xff';
  expect_same_decoding<model::DistIndex>(bad_utf8, "utf8");
  expect_same_decoding<model::DistIndex>(u64le(1) + u64le(uint64_t{1} << 60) + "abc", "huge text");
  expect_same_decoding<model::DistIndex>(u64le(1) + u64le(20 << 20) + std::string(1 << 20, 'a'),
                                  "long text cut short");
  expect_same_decoding<model::DistributionFile>(u64le(uint64_t{1} << 62) + u64le(1), "huge count");
  std::string hist = u64le(1) + u64le(1) + text("v") + u64le(0) + u32le(0) + u64le(0) + u64le(0);
  expect_same_decoding<model::DistributionFile>(hist + u64le(uint64_t{1} << 62) + u64le(5), "huge bins");
  expect_same_decoding<model::DistributionFile>(hist + u64le(3 << 20) + std::string(1 << 20, '\0'),
                                         "long bins cut short");
  // A text longer than the unchecked length, whole: asks for the exact size.
  model::DistIndex long_key;
  long_key.by_key[std::string(20 << 20, 'k')] = 3;
  expect_same_decoding<model::DistIndex>(encode_stored_record(long_key), "long key");
}

}  // namespace
}  // namespace quor::store
