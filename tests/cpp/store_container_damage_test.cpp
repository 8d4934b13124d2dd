// Damaged data files: the exact text each fails with, through every loader,
// and random damage against the whole-stream loader.
#include <gtest/gtest.h>
#include <zstd.h>

#include <filesystem>
#include <functional>
#include <random>
#include <string>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "store_container_frames.h"
#include "store_test_dir.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

using ContainerTest = TempDirTest;

// Damaged data files and the exact text each fails with. The texts were
// taken from the loader that decompressed the whole stream before decoding;
// the streaming loader must give the same text for every case, through both
// the read and the mapped path: a fault of the compressed stream wins over a
// fault of the record, wherever in the stream either sits.
TEST_F(ContainerTest, DamagedFilesFailWithTheSameTexts) {
  const auto p = dir_ / "distributions.edb";
  const std::string ps = p.string();
  const std::string rec = encode_stored_record(full_distribution_file());
  const std::string frame = zstd_frame(rec);
  const std::string other = zstd_frame(std::string(5000, 'y') + rec);
  const std::string bad_variant = u64le(1) + u64le(1) + u64le(1) + "v" + u64le(0) +
                                  std::string("\x02\x00\x00\x00", 4);
  const std::string huge_text = u64le(1) + u64le(uint64_t{1} << 60) + "abc";
  const std::string zeros(3 << 20, '\0');
  struct Case {
    const char* name;
    std::string bytes;
    std::string want;  // after the path
  };
  const std::string zd = "zstd decompress " + ps + ": ";
  const std::string de = "deserialize " + ps + ": ";
  const std::string pj = "parse " + ps + " (tried binary and JSON): ";
  const Case cases[] = {
      {"truncated frame", header(3) + frame.substr(0, frame.size() - 3), zd + "incomplete frame"},
      {"frame cut in its header", header(3) + frame.substr(0, 3), zd + "incomplete frame"},
      {"second frame truncated after a complete record",
       header(3) + frame + other.substr(0, other.size() / 2), zd + "incomplete frame"},
      {"bad magic", "QUOX" + header(3).substr(4) + frame, pj + "expected value at line 1 column 1"},
      {"newer version", header(4) + frame, "file " + ps + " has format version 4 but this build supports up to 3"},
      {"trailing garbage after the frame", header(3) + frame + "garbage!", zd + "Unknown frame descriptor"},
      {"corrupt frame", header(3) + flipped(frame, static_cast<long>(frame.size() / 2)), zd + "Data corruption detected"},
      {"corrupt frame header", header(3) + flipped(frame, 4), zd + "Unsupported frame parameter"},
      {"corrupt frame after a complete record",
       header(3) + frame + flipped(other, static_cast<long>(other.size() / 2)), zd + "Data corruption detected"},
      {"checksum mismatch", header(3) + flipped(level3_frame_with_checksum(rec), -1), zd + "Restored data doesn't match checksum"},
      {"bad record, then a corrupt frame",
       header(3) + zstd_frame(bad_variant) + flipped(other, static_cast<long>(other.size() / 2)),
       zd + "Data corruption detected"},
      {"bad record, then a truncated frame",
       header(3) + zstd_frame(bad_variant) + other.substr(0, other.size() - 1), zd + "incomplete frame"},
      {"bad record in a sound stream", header(3) + zstd_frame(bad_variant), de + "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"record cut short in a sound stream", header(3) + zstd_frame(rec.substr(0, rec.size() - 5)),
       de + "io error: unexpected end of file"},
      {"record split over frames, cut short",
       header(3) + zstd_frame(rec.substr(0, 100)) + zstd_frame(rec.substr(100, 50)), de + "io error: unexpected end of file"},
      {"text longer than the stream", header(3) + zstd_frame(huge_text + zeros), de + "io error: "},
      {"count longer than the stream",
       header(3) + zstd_frame(u64le(uint64_t{1} << 61) + zeros), de + "io error: unexpected end of file"},
      {"text past the decoder's window, cut short",
       header(3) + zstd_frame(u64le(1) + u64le(1) + u64le(10 << 20) + zeros), de + "io error: "},
      {"count list past the decoder's window, cut short",
       header(3) + zstd_frame(u64le(1) + u64le(1) + u64le(1) + "v" + u64le(0) +
                              std::string(4 + 16, '\0') + u64le(1 << 20) + zeros),
       de + "io error: unexpected end of file"},
      {"long text with bad UTF-8 at its end",
       header(3) + zstd_frame(u64le(0) + u64le(1) + u64le(1) + u64le(zeros.size() + 1) + zeros +
                              "\xff" + u64le(1)),
       de + "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index " +
           std::to_string(zeros.size())},
      {"record, megabytes of zeros, then garbage", header(3) + zstd_frame(rec + zeros) + "xx", zd + "Unknown frame descriptor"},
      {"uncompressed version cut short", header(2) + rec.substr(0, 30), de + "io error: unexpected end of file"},
      {"uncompressed bad record", header(1) + bad_variant, de + "invalid value: integer `2`, expected variant index 0 <= i < 2"},
      {"JSON missing a field", "{\"distributions\":[]}", pj + "missing field `joints` at line 1 column 20"},
      {"JSON with trailing text", "{\"distributions\":[],\"joints\":[]} x", pj + "trailing characters at line 1 column 34"},
      {"JSON of the wrong type", "[1]", pj + "invalid type: integer `1`, expected a sequence at line 1 column 2"},
  };
  for (const auto& c : cases) {
    spit(p, c.bytes);
    auto r = load_distribution_file_read(p);
    auto m = load_distribution_file_mapped(p);
    ASSERT_FALSE(r.ok()) << c.name;
    ASSERT_FALSE(m.ok()) << c.name;
    EXPECT_EQ(m.error().full_text(), r.error().full_text()) << c.name;
    EXPECT_EQ(r.error().full_text(), c.want) << c.name;
  }
}

// Every single-bit flip of a written file's payload either fails the read
// with an error naming the file or reads back the very same record: the
// frame's content checksum catches the flips that would still decompress
// (a literal count, a length) and open with other numbers.
TEST_F(ContainerTest, NoBitFlipOfAWrittenPayloadReadsSilentlyDifferent) {
  const model::DistributionFile data = full_distribution_file();
  const model::MetaFile meta = full_meta();
  const auto dp = dir_ / "distributions.edb";
  const auto mp = dir_ / "meta.edb";
  ASSERT_TRUE(write_distributions_file(dp, data).ok());
  ASSERT_TRUE(write_meta_file(mp, meta).ok());
  auto outcome = [](const auto& r) {
    return r.ok() ? "ok " + encode_stored_record(*r) : r.error().full_text();
  };
  struct Case {
    std::filesystem::path path;
    std::string want;  // "ok " and the record's encoding
    // The outcome of reading these bytes as the file at the path.
    std::function<std::string(const std::string&, const std::filesystem::path&)> read;
  };
  const Case cases[] = {
      {dp, "ok " + encode_stored_record(data),
       [&](const std::string& b, const std::filesystem::path& p) {
         return outcome(parse_distribution_file(b, p));
       }},
      {mp, "ok " + encode_stored_record(meta),
       [&](const std::string& b, const std::filesystem::path& p) {
         return outcome(parse_data_file<model::MetaFile>(b, p));
       }},
  };
  for (const Case& c : cases) {
    const std::string image = slurp(c.path);
    ASSERT_EQ(c.read(image, c.path), c.want);
    size_t silent = 0, caught = 0;
    std::string first_caught;
    for (size_t bit = 8 * 8; bit < 8 * image.size(); ++bit) {
      std::string bytes = image;
      bytes[bit / 8] = static_cast<char>(bytes[bit / 8] ^ (1 << (bit % 8)));
      const std::string got = c.read(bytes, c.path);
      if (got == c.want) continue;
      if (got.rfind("ok ", 0) == 0 || got.find(c.path.string()) == std::string::npos) {
        ++silent;
        ADD_FAILURE() << c.path << " bit " << bit << ": " << got.substr(0, 200);
        if (silent > 5) break;
        continue;
      }
      if (++caught == 1) first_caught = bytes;
    }
    EXPECT_EQ(silent, 0u) << c.path;
    EXPECT_GT(caught, 8 * (image.size() - 8) * 9 / 10) << c.path;
    // The loaders read the file and name it the same way.
    ASSERT_FALSE(first_caught.empty());
    spit(c.path, first_caught);
    const std::string want_error = c.read(first_caught, c.path);
    if (c.path == dp) {
      EXPECT_EQ(outcome(load_distribution_file_read(dp)), want_error);
      EXPECT_EQ(outcome(load_distribution_file_mapped(dp)), want_error);
    } else {
      EXPECT_EQ(outcome(load_meta_file(mp)), want_error);
    }
  }
}

// The loader as it stood before decoding streamed: every frame decompressed
// into one buffer, then decoded. The streaming loader must agree with it on
// every input, bit for bit and text for text.
Result<model::DistributionFile> plain_parse(std::string_view bytes, const std::string& ps) {
  if (bytes.size() < 8 || bytes.substr(0, 4) != "QUOR" || bytes[4] != 3) {
    return parse_distribution_file(bytes, ps);  // not the compressed branch
  }
  std::string_view in = bytes.substr(8);
  std::string out;
  if (!in.empty()) {
    ZSTD_DCtx* dctx = ZSTD_createDCtx();
    ZSTD_inBuffer src{in.data(), in.size(), 0};
    out.resize(1 << 16);
    size_t produced = 0, rc = 0;
    std::string fault;
    for (;;) {
      if (produced == out.size()) out.resize(out.size() * 2);
      ZSTD_outBuffer dst{out.data() + produced, out.size() - produced, 0};
      rc = ZSTD_decompressStream(dctx, &dst, &src);
      produced += dst.pos;
      if (ZSTD_isError(rc)) {
        fault = ZSTD_getErrorName(rc);
        break;
      }
      if (src.pos == src.size) {
        if (rc == 0) break;
        if (dst.pos < dst.size) {
          fault = "incomplete frame";
          break;
        }
      }
    }
    ZSTD_freeDCtx(dctx);
    if (!fault.empty()) return Error("zstd decompress " + ps + ": " + fault);
    out.resize(produced);
  }
  auto r = decode_stored_record<model::DistributionFile>(out);
  if (!r.ok()) return Error("deserialize " + ps + ": " + r.error().full_text());
  return r;
}

std::string outcome_of(const Result<model::DistributionFile>& r) {
  return r.ok() ? "ok " + encode_stored_record(*r) : r.error().full_text();
}

TEST(ContainerDamage, RandomDamageFailsAsTheWholeStreamLoaderDid) {
  RecordMaker mk(7);
  const model::DistributionFile f = mk.file(120);
  const std::string image = *data_file_image(f);
  const std::string two_frames = header(3) + zstd_frame(encode_stored_record(f).substr(0, 5000)) +
                                 zstd_frame(encode_stored_record(f).substr(5000));
  size_t failures = 0;
  for (int trial = 0; trial < 400; ++trial) {
    std::string bytes = trial % 2 ? image : two_frames;
    switch (mk.below(4)) {
      case 0:  // flipped bytes past the header
        for (uint64_t k = 1 + mk.below(3); k > 0; --k) {
          bytes[8 + mk.below(bytes.size() - 8)] ^= static_cast<char>(1 + mk.below(255));
        }
        break;
      case 1: bytes.resize(8 + mk.below(bytes.size() - 8)); break;
      case 2: bytes += mk.text(6); break;
      default: {  // a run of bytes copied over another place
        const size_t from = 8 + mk.below(bytes.size() - 8), to = 8 + mk.below(bytes.size() - 8);
        const size_t n = std::min<size_t>({mk.below(64), bytes.size() - from, bytes.size() - to});
        bytes.replace(to, n, bytes.substr(from, n));
      }
    }
    const auto got = parse_distribution_file(bytes, "d.edb");
    failures += got.ok() ? 0 : 1;
    ASSERT_EQ(outcome_of(got), outcome_of(plain_parse(bytes, "d.edb"))) << "trial " << trial;
  }
  EXPECT_GT(failures, 200u);  // the damage is mostly caught, as it should be
}

}  // namespace
}  // namespace quor::store
