// Data file images as the writers stream them: the same bytes as one-shot
// compression, digests taken on the way, and the first writer failure.
#include <gtest/gtest.h>
#include <zstd.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/encoding_digest.h"
#include "store_container_frames.h"
#include "store_part_runners.h"
#include "store_test_dir.h"
#include "store_test_records.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

// The image as one call compressing the whole encoding at level 3 with the
// content checksum makes it: what the whole-buffer writer stored. For a record longer than zstd's
// window (2 MiB at level 3) the streamed frame may pick other matches than
// the one-shot frame could reach; it still holds the same bytes.
template <class R>
std::string one_shot_image(const R& record) {
  const std::string enc = encode_stored_record(record);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(enc.size()), '\0');
  size_t n = ZSTD_compress2(cctx, out.data(), out.size(), enc.data(), enc.size());
  ZSTD_freeCCtx(cctx);
  out.resize(n);
  return header(3) + out;
}

// The image streamed with `options` (every piece counted in `calls`), or
// nothing when the stream failed.
template <class R>
std::optional<std::string> image_with(const R& record, const ImageStreamOptions& options,
                                      size_t* calls = nullptr) {
  std::string out;
  Status st = stream_data_file_image(record, [&](std::string_view piece) {
    out.append(piece);
    if (calls) ++*calls;
    return ok_status();
  }, options);
  if (!st.ok()) return std::nullopt;
  return out;
}

// The image with the default options; a failed stream fails the test.
template <class R>
std::string streamed_image(const R& record, size_t* calls = nullptr) {
  std::optional<std::string> out = image_with(record, ImageStreamOptions{}, calls);
  EXPECT_TRUE(out.has_value());
  return out.value_or(std::string());
}

std::string decompressed(std::string_view frame) {
  std::string out(ZSTD_getFrameContentSize(frame.data(), frame.size()), '\0');
  EXPECT_EQ(ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size()), out.size());
  return out;
}

TEST(ContainerImage, StreamedImagesAreTheOneShotBytes) {
  for (uint64_t seed : {1, 2, 3, 5, 6}) {
    RecordMaker mk(seed);
    const model::DistributionFile f = mk.file(20 * seed);
    ASSERT_LT(stored_record_size(f), 2u << 20);
    const std::string img = streamed_image(f);
    EXPECT_TRUE(img == one_shot_image(f)) << seed;
    EXPECT_EQ(*data_file_image(f), img);
  }
  EXPECT_TRUE(streamed_image(full_meta()) == one_shot_image(full_meta()));
  EXPECT_TRUE(streamed_image(full_index()) == one_shot_image(full_index()));
  EXPECT_TRUE(streamed_image(full_snapshots()) == one_shot_image(full_snapshots()));
  EXPECT_TRUE(streamed_image(model::DistributionFile{}) == one_shot_image(model::DistributionFile{}));

  // A long record: one frame, declaring its content size, holding the
  // encoding; written as it comes, not at the end.
  RecordMaker mk(4);
  const model::DistributionFile f = mk.file(400);
  ASSERT_GT(stored_record_size(f), 4u << 20);
  size_t calls = 0;
  const std::string img = streamed_image(f, &calls);
  EXPECT_GT(calls, 3u);
  EXPECT_EQ(img.substr(0, 8), header(3));
  const std::string_view frame = std::string_view(img).substr(8);
  EXPECT_EQ(ZSTD_findFrameCompressedSize(frame.data(), frame.size()), frame.size());
  EXPECT_EQ(ZSTD_getFrameContentSize(frame.data(), frame.size()), stored_record_size(f));
  EXPECT_TRUE(decompressed(frame) == encode_stored_record(f));
}

// The digests taken as bytes pass (by the compressing writer, by the
// decompressing reader) are the digest of the plain encoding, and cover the
// whole stream: a stream holding more than the record's bytes differs.
TEST(ContainerImage, DigestsTakenOnTheWayAreThoseOfTheEncoding) {
  auto plain = [](const std::string& bytes) {
    EncodingHasher h;
    h.update(bytes);
    return h.digest();
  };
  RecordMaker mk(7);
  const model::DistributionFile f = mk.file(400);  // several encoder buffers
  const EncodingDigest want = encoding_digest(f);
  EXPECT_EQ(want, plain(encode_stored_record(f)));
  EXPECT_EQ(want.size, stored_record_size(f));

  EncodingHasher on_write;
  ImageStreamOptions options;
  options.hasher = &on_write;
  const std::optional<std::string> streamed = image_with(f, options);
  ASSERT_TRUE(streamed.has_value());
  const std::string& img = *streamed;
  EXPECT_EQ(on_write.digest(), want);
  // A declared size given by the caller makes the same bytes.
  options = ImageStreamOptions{};
  options.encoded_size = want.size;
  const std::optional<std::string> img2 = image_with(f, options);
  ASSERT_TRUE(img2.has_value());
  EXPECT_TRUE(*img2 == img);

  std::optional<EncodingDigest> on_read;
  auto back = parse_data_file<model::DistributionFile>(img, "d.edb", &on_read);
  ASSERT_TRUE(back.ok());
  EXPECT_TRUE(encode_stored_record(*back) == encode_stored_record(f));
  EXPECT_EQ(on_read, want);
  EXPECT_EQ(encoding_digest(full_meta()), plain(encode_stored_record(full_meta())));

  const std::string enc = encode_stored_record(f);
  struct Case {
    const char* what;
    std::string bytes;
    std::optional<EncodingDigest> digest;
  };
  const Case cases[] = {
      {"two frames", header(3) + zstd_frame(enc.substr(0, 1000)) + zstd_frame(enc.substr(1000)), want},
      {"a byte after the record", header(3) + zstd_frame(enc + "x"), plain(enc + "x")},
      {"version 2", header(2) + enc, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    on_read = want;
    back = parse_data_file<model::DistributionFile>(c.bytes, "d.edb", &on_read);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(encode_stored_record(*back) == enc);
    EXPECT_EQ(on_read, c.digest);
  }
  on_read = want;
  EXPECT_FALSE(parse_data_file<model::DistributionFile>(header(3) + zstd_frame(enc.substr(0, 99)), "d.edb",
                                                 &on_read).ok());
  EXPECT_EQ(on_read, std::nullopt);
}

TEST(ContainerImage, TheFirstWriterFailureStopsTheStream) {
  RecordMaker mk(4);
  const model::DistributionFile f = mk.file(400);
  for (size_t fail_at : {0, 1, 3}) {
    size_t calls = 0;
    Status st = stream_data_file_image(f, [&](std::string_view) -> Status {
      if (calls++ == fail_at) return Error("disk full");
      return ok_status();
    });
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().full_text(), "disk full");
    EXPECT_EQ(calls, fail_at + 1);
  }
  // The thread's reused context starts afresh after a failure.
  const std::string img = streamed_image(f);
  EXPECT_TRUE(decompressed(std::string_view(img).substr(8)) == encode_stored_record(f));
  EXPECT_TRUE(streamed_image(full_meta()) == one_shot_image(full_meta()));
}

// Encoding a DistributionFile in parts on several threads: a frame per
// part, each the one-call level-3 frame of the part's bytes, in part order,
// wherever the part and round borders fall; what the frames hold together is
// the record's encoding, bit for bit, and the digest that of the stream on
// one thread, with or without a declared size (as is the digest taken in
// parts without compressing).
TEST(ContainerImage, TheParallelStreamIsAFramePerPartOfTheRecordsBytes) {
  RecordMaker mk(11);
  const model::DistributionFile files[] = {model::DistributionFile{}, mk.file(1), mk.file(9),
                                           mk.file(400)};
  const ParallelRunner runners[] = {in_order(), on_threads()};
  const std::pair<size_t, size_t> borders[] = {{1, 1}, {1, 3}, {3, 2}, {64, 1}, {0, 0}};
  for (const auto& f : files) {
    const std::string encoding = encode_stored_record(f);
    const EncodingDigest digest = encoding_digest(f);
    for (const auto& [entries, rounds] : borders) {
      PartSizes sizes(entries, rounds);
      const DistributionFileParts parts = distribution_file_parts(f, entries == 0 ? 2048 : entries);
      std::string want = header(3), content;
      for (size_t p = 0; p < parts.count(); ++p) {
        std::string part;
        encode_distribution_file_part(f, parts, p, distribution_file_part_size(f, parts, p), part);
        want += level3_frame_with_checksum(part);
        content += part;
      }
      ASSERT_TRUE(content == encoding);
      for (size_t r = 0; r < 2; ++r) {
        SCOPED_TRACE(std::to_string(f.distributions.size()) + " distributions, parts of " +
                     std::to_string(entries) + ", rounds of " + std::to_string(rounds) +
                     (r == 0 ? ", in order" : ", on threads"));
        EncodingHasher hasher;
        ImageStreamOptions options;
        options.hasher = &hasher;
        options.parallel = &runners[r];
        const std::optional<std::string> img = image_with(f, options);
        ASSERT_TRUE(img.has_value());
        EXPECT_TRUE(*img == want);
        EXPECT_EQ(frames_of(std::string_view(*img).substr(8)).size(), parts.count());
        EXPECT_EQ(hasher.digest(), digest);
        EXPECT_EQ(encoding_digest(f, runners[r]), digest);
        options = ImageStreamOptions{};
        options.encoded_size = digest.size;
        options.parallel = &runners[r];
        const std::optional<std::string> img2 = image_with(f, options);
        ASSERT_TRUE(img2.has_value());
        EXPECT_TRUE(*img2 == want);
      }
    }
  }
}

// A file of one frame and a file of a frame per part, of the same record,
// read back as the same record with the same digest; so does a file whose
// frames break the record anywhere.
TEST(ContainerImage, OneFrameAndAFramePerPartReadAsTheSameRecord) {
  RecordMaker mk(5);
  const model::DistributionFile f = mk.file(300);
  const std::string encoding = encode_stored_record(f);
  const ParallelRunner run = on_threads();
  PartSizes sizes(16, 4);
  ImageStreamOptions options;
  options.parallel = &run;
  const std::optional<std::string> multi = image_with(f, options);
  ASSERT_TRUE(multi.has_value());
  std::string cut = header(3);  // frames of 1000 bytes, borders inside records
  for (size_t at = 0; at < encoding.size(); at += 1000)
    cut += level3_frame_with_checksum(std::string_view(encoding).substr(at, 1000));
  const std::string images[] = {streamed_image(f), *multi, cut};
  ASSERT_GT(frames_of(std::string_view(images[1]).substr(8)).size(), 10u);
  for (const std::string& img : images) {
    std::optional<EncodingDigest> digest;
    auto back = parse_data_file<model::DistributionFile>(img, "d.edb", &digest);
    ASSERT_TRUE(back.ok()) << back.error().full_text();
    EXPECT_TRUE(encode_stored_record(*back) == encoding);
    ASSERT_TRUE(digest.has_value());
    EXPECT_EQ(*digest, encoding_digest(f));
  }
}

class ParallelReadTest : public TempDirTest {};

// The read on the pool against the read of one stream, for files of one
// frame, a frame per part, frames that break records anywhere, a frame that
// holds the list's end and the joints, and damaged files: the same record
// and digest, or the same failure, text for text.
TEST_F(ParallelReadTest, EveryFileReadsAsTheStreamReadsIt) {
  RecordMaker mk(8);
  const model::DistributionFile f = mk.file(200);
  const std::string encoding = encode_stored_record(f);
  const ParallelRunner run = on_threads();
  PartSizes sizes(16, 3);
  const DistributionFileParts parts = distribution_file_parts(f, 16);
  std::vector<std::string> part(parts.count());
  for (size_t p = 0; p < parts.count(); ++p)
    encode_distribution_file_part(f, parts, p, distribution_file_part_size(f, parts, p), part[p]);
  std::string per_part = header(3), joints_with_last = header(3), every_1000 = header(3);
  for (size_t p = 0; p < parts.count(); ++p) per_part += level3_frame_with_checksum(part[p]);
  std::string tail;
  for (size_t p = 0; p < parts.count(); ++p) {
    if (p + 1 < parts.dist_parts) joints_with_last += level3_frame_with_checksum(part[p]);
    else tail += part[p];
  }
  joints_with_last += level3_frame_with_checksum(tail);
  for (size_t at = 0; at < encoding.size(); at += 1000)
    every_1000 += level3_frame_with_checksum(std::string_view(encoding).substr(at, 1000));
  // The list's count says one more, or one less, than the frames hold.
  std::string counted_wrong[2];
  for (int k = 0; k < 2; ++k) {
    std::string first = part[0];
    first[0] = static_cast<char>(first[0] + (k == 0 ? 1 : -1));
    counted_wrong[k] = header(3) + level3_frame_with_checksum(first);
    for (size_t p = 1; p < parts.count(); ++p) counted_wrong[k] += level3_frame_with_checksum(part[p]);
  }
  const size_t third = 8 + frames_of(std::string_view(per_part).substr(8))[0].size() + 20;
  const std::pair<const char*, std::string> cases[] = {
      {"one frame", streamed_image(f)},
      {"a frame per part", per_part},
      {"the list's end and the joints in one frame", joints_with_last},
      {"frames of 1000 bytes", every_1000},
      {"a count of one more", counted_wrong[0]},
      {"a count of one less", counted_wrong[1]},
      {"a damaged second frame", flipped(per_part, static_cast<long>(third))},
      {"cut in the last frame", per_part.substr(0, per_part.size() - 3)},
      {"trailing bytes", per_part + "xyz"},
  };
  const std::string taken_on_the_pool[] = {per_part, joints_with_last};
  for (const auto& [name, image] : cases) {
    SCOPED_TRACE(name);
    const bool on_pool = std::find(std::begin(taken_on_the_pool), std::end(taken_on_the_pool),
                                   image) != std::end(taken_on_the_pool);
    EXPECT_EQ(internal::decode_distribution_frames(std::string_view(image).substr(8), run, nullptr)
                  .has_value(),
              on_pool);
    const std::filesystem::path path = dir_ / "distributions.edb";
    spit(path, image);
    std::optional<EncodingDigest> want_digest, got_digest;
    auto want = load_distribution_file_read(path, &want_digest);
    auto got = load_distribution_file_read(path, &got_digest, &run);
    ASSERT_EQ(got.ok(), want.ok());
    if (!want.ok()) {
      EXPECT_EQ(got.error().full_text(), want.error().full_text());
      continue;
    }
    EXPECT_TRUE(encode_stored_record(*got) == encode_stored_record(*want));
    EXPECT_EQ(got_digest, want_digest);
  }
  // The files this reads on the pool are those a pool's flush writes.
  spit(dir_ / "d.edb", per_part);
  ImageStreamOptions options;
  options.parallel = &run;
  EXPECT_TRUE(image_with(f, options) == per_part);
  EXPECT_TRUE(encode_stored_record(*load_distribution_file_read(dir_ / "d.edb", nullptr, &run)) ==
              encoding);
}

TEST(ContainerImage, TheFirstWriterFailureStopsTheParallelStream) {
  RecordMaker mk(4);
  const model::DistributionFile f = mk.file(400);
  PartSizes sizes(8, 2);
  const ParallelRunner run = on_threads();
  ImageStreamOptions options;
  options.parallel = &run;
  for (size_t fail_at : {0, 1, 3}) {
    size_t calls = 0;
    Status st = stream_data_file_image(f, [&](std::string_view) -> Status {
      if (calls++ == fail_at) return Error("disk full");
      return ok_status();
    }, options);
    ASSERT_FALSE(st.ok());
    EXPECT_EQ(st.error().full_text(), "disk full");
    EXPECT_EQ(calls, fail_at + 1);
  }
}

}  // namespace
}  // namespace quor::store
