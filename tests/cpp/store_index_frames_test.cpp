// The index file written on a pool: a frame per part of its entries, which
// holds together the bytes of the index streamed on one thread, reads back
// as the same index, and gives the same digests.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/container.h"
#include "quor/store/encoding_digest.h"
#include "store_container_frames.h"
#include "store_part_runners.h"

namespace quor::store {
namespace {

using namespace quor::store::testing;

using Entries = std::vector<std::pair<std::string, uint64_t>>;

Entries entries_of_size(size_t n) {
  Entries out;
  for (size_t i = 0; i < n; ++i)
    out.emplace_back("metric_" + std::to_string(i % 5) + "|day:" + std::string(i % 13, 'x') +
                         std::to_string(i),
                     1000 + i * 7);
  return out;
}

// The index as a table hands it to a flush: visited whole, and by ranges
// when `ranges`.
DistIndexSource source_of(const Entries& entries, bool ranges) {
  DistIndexSource s;
  s.entries = entries.size();
  s.visit = [&entries](const DistIndexSource::EntryFn& fn) {
    for (const auto& [k, id] : entries) fn(k, id);
  };
  if (ranges) {
    s.visit_range = [&entries](size_t first, size_t last, const DistIndexSource::EntryFn& fn) {
      for (size_t i = first; i < last; ++i) fn(entries[i].first, entries[i].second);
    };
  }
  return s;
}

std::string streamed(const DistIndexSource& s, const ImageStreamOptions& options) {
  std::string out;
  Status st = stream_data_file_image(s, [&](std::string_view piece) {
    out.append(piece);
    return ok_status();
  }, options);
  EXPECT_TRUE(st.ok());
  return out;
}

std::string encoding_of(const DistIndexSource& s) {
  std::string out;
  encode_stored_record_to(s, [&](std::string_view piece) { out.append(piece); });
  return out;
}

// Wherever the part and round borders fall (a part of one entry, parts
// that end exactly at the last entry, one part for everything, an empty
// index): a level-3 frame per part of the parts' bytes, in part order; the
// frames' content is the one-thread encoding, bit for bit; the digest taken
// on the way is the one-thread digest; the file reads back as the index.
TEST(IndexFrames, TheIndexOnAPoolIsAFramePerPartOfItsBytes) {
  const ParallelRunner runners[] = {in_order(), on_threads()};
  const std::pair<size_t, size_t> borders[] = {{1, 1}, {3, 2}, {8, 3}, {64, 1}, {0, 0}};
  for (size_t n : {0, 1, 7, 8, 9, 50}) {
    const Entries entries = entries_of_size(n);
    const DistIndexSource source = source_of(entries, true);
    const std::string encoding = encoding_of(source);
    const EncodingDigest digest = encoding_digest(source);
    for (const auto& [group, rounds] : borders) {
      PartSizes sizes(group, rounds);
      const size_t per_part = group == 0 ? 32768 : group;
      std::string want = header(3), content;
      for (size_t p = 0; p < dist_index_part_count(source, per_part); ++p) {
        std::string part;
        encode_dist_index_part(source, per_part, p, part);
        want += level3_frame_with_checksum(part);
        content += part;
      }
      ASSERT_TRUE(content == encoding);
      for (size_t r = 0; r < 2; ++r) {
        SCOPED_TRACE(std::to_string(n) + " entries, parts of " + std::to_string(group) +
                     ", rounds of " + std::to_string(rounds) + (r == 0 ? ", in order" : ", on threads"));
        EncodingHasher hasher;
        ImageStreamOptions options;
        options.hasher = &hasher;
        options.parallel = &runners[r];
        const std::string image = streamed(source, options);
        EXPECT_TRUE(image == want);
        EXPECT_TRUE(decompressed_stream(std::string_view(image).substr(8)) == encoding);
        EXPECT_EQ(hasher.digest(), digest);
        options = ImageStreamOptions{};
        options.encoded_size = digest.size;
        options.parallel = &runners[r];
        EXPECT_TRUE(streamed(source, options) == want);

        auto read = parse_data_file<model::DistIndex>(image, "dist_index.edb");
        ASSERT_TRUE(read.ok()) << read.error().full_text();
        EXPECT_EQ(read->by_key.size(), n);
        for (const auto& [k, id] : entries) EXPECT_EQ(read->by_key.at(k), id);
        std::optional<EncodingDigest> read_digest;
        ASSERT_TRUE(parse_data_file<model::DistIndex>(image, "dist_index.edb", &read_digest).ok());
        EXPECT_EQ(read_digest, digest);
      }
    }
  }
}

// An index that can only be visited whole (a text index, whose order is
// its map's) is one frame on a pool as on one thread.
TEST(IndexFrames, AnIndexVisitedWholeIsOneFrameOnAPool) {
  PartSizes sizes(3, 2);
  const Entries entries = entries_of_size(20);
  const DistIndexSource source = source_of(entries, false);
  const ParallelRunner run = on_threads();
  ImageStreamOptions options;
  options.parallel = &run;
  const std::string image = streamed(source, options);
  EXPECT_TRUE(image == streamed(source, ImageStreamOptions{}));
  EXPECT_EQ(frames_of(std::string_view(image).substr(8)).size(), 1u);
}

}  // namespace
}  // namespace quor::store
