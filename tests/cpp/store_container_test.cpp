#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <fstream>
#include <new>

#include <string>

#include "quor/store/binary_codec.h"
#include "quor/store/encoding_digest.h"
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

std::string u64le(uint64_t v) {
  std::string out;
  for (int i = 0; i < 8; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
  return out;
}

std::string zstd_frame_with_checksum(std::string_view data) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 1);
  std::string out(ZSTD_compressBound(data.size()), '\0');
  size_t n = ZSTD_compress2(cctx, out.data(), out.size(), data.data(), data.size());
  ZSTD_freeCCtx(cctx);
  out.resize(n);
  return out;
}

// `frame` with the byte at `at` (negative: from the end) inverted.
std::string flipped(std::string frame, long at) {
  size_t i = at >= 0 ? static_cast<size_t>(at) : frame.size() - static_cast<size_t>(-at);
  frame[i] = static_cast<char>(~frame[i]);
  return frame;
}

// A skippable frame of `n` payload bytes.
std::string skippable_frame(uint32_t n) {
  std::string f = "\x50\x2a\x4d\x18";
  for (int i = 0; i < 4; ++i) f += static_cast<char>((n >> (8 * i)) & 0xFF);
  return f + std::string(n, '\x07');
}

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
      {"checksum mismatch", header(3) + flipped(zstd_frame_with_checksum(rec), -1), zd + "Restored data doesn't match checksum"},
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

// The image as one call compressing the whole encoding at level 3 makes it:
// what the whole-buffer writer stored. For a record longer than zstd's
// window (2 MiB at level 3) the streamed frame may pick other matches than
// the one-shot frame could reach; it still holds the same bytes.
template <class R>
std::string one_shot_image(const R& record) {
  const std::string enc = encode_stored_record(record);
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 3);
  std::string out(ZSTD_compressBound(enc.size()), '\0');
  size_t n = ZSTD_compress2(cctx, out.data(), out.size(), enc.data(), enc.size());
  ZSTD_freeCCtx(cctx);
  out.resize(n);
  return header(3) + out;
}

template <class R>
std::string streamed_image(const R& record, size_t* calls = nullptr) {
  std::string out;
  Status st = stream_data_file_image(record, [&](std::string_view piece) {
    out.append(piece);
    if (calls) ++*calls;
    return ok_status();
  });
  EXPECT_TRUE(st.ok());
  return out;
}

std::string decompressed(std::string_view frame) {
  std::string out(ZSTD_getFrameContentSize(frame.data(), frame.size()), '\0');
  EXPECT_EQ(ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size()), out.size());
  return out;
}

TEST(ContainerImage, StreamedImagesAreTheOneShotBytes) {
  for (uint64_t seed : {1, 2, 3, 5, 6}) {
    RecordMaker mk(seed);
    const DistributionFile f = mk.file(20 * seed);
    ASSERT_LT(stored_record_size(f), 2u << 20);
    const std::string img = streamed_image(f);
    EXPECT_TRUE(img == one_shot_image(f)) << seed;
    EXPECT_EQ(*data_file_image(f), img);
  }
  EXPECT_TRUE(streamed_image(full_meta()) == one_shot_image(full_meta()));
  EXPECT_TRUE(streamed_image(full_index()) == one_shot_image(full_index()));
  EXPECT_TRUE(streamed_image(full_snapshots()) == one_shot_image(full_snapshots()));
  EXPECT_TRUE(streamed_image(DistributionFile{}) == one_shot_image(DistributionFile{}));

  // A long record: one frame, declaring its content size, holding the
  // encoding; written as it comes, not at the end.
  RecordMaker mk(4);
  const DistributionFile f = mk.file(400);
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
  const DistributionFile f = mk.file(400);  // several encoder buffers
  const EncodingDigest want = encoding_digest(f);
  EXPECT_EQ(want, plain(encode_stored_record(f)));
  EXPECT_EQ(want.size, stored_record_size(f));

  EncodingHasher on_write;
  std::string img;
  ImageStreamOptions options;
  options.hasher = &on_write;
  ASSERT_TRUE(stream_data_file_image(f, [&](std::string_view piece) {
                img.append(piece);
                return ok_status();
              }, options).ok());
  EXPECT_EQ(on_write.digest(), want);
  // A declared size given by the caller makes the same bytes.
  options = ImageStreamOptions{};
  options.encoded_size = want.size;
  std::string img2;
  ASSERT_TRUE(stream_data_file_image(f, [&](std::string_view piece) {
                img2.append(piece);
                return ok_status();
              }, options).ok());
  EXPECT_TRUE(img2 == img);

  std::optional<EncodingDigest> on_read;
  auto back = parse_data_file<DistributionFile>(img, "d.edb", &on_read);
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
    back = parse_data_file<DistributionFile>(c.bytes, "d.edb", &on_read);
    ASSERT_TRUE(back.ok());
    EXPECT_TRUE(encode_stored_record(*back) == enc);
    EXPECT_EQ(on_read, c.digest);
  }
  on_read = want;
  EXPECT_FALSE(parse_data_file<DistributionFile>(header(3) + zstd_frame(enc.substr(0, 99)), "d.edb",
                                                 &on_read).ok());
  EXPECT_EQ(on_read, std::nullopt);
}

TEST(ContainerImage, TheFirstWriterFailureStopsTheStream) {
  RecordMaker mk(4);
  const DistributionFile f = mk.file(400);
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
    EXPECT_EQ(*f, DistributionFile{});
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
  DistributionFile f = mk.file(400);
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

// An allocation failure thrown out of the decoder (the Python layer turns it
// into MemoryError) releases the descriptor and the mapping. Run in a child
// whose address space is capped so that a 256 MiB text cannot be allocated.
TEST_F(ContainerTest, AnAllocationFailureInTheMappedLoaderLeaksNothing) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizer reserves address space of its own";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the sanitizer reserves address space of its own";
#endif
#endif
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

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // 0: bad_alloc and nothing kept; 1: no bad_alloc; 2: a leak.
    size_t pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const size_t fds = open_descriptors();
    struct rlimit lim;
    ::getrlimit(RLIMIT_AS, &lim);
    lim.rlim_cur = pages * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) + (128u << 20);
    ::setrlimit(RLIMIT_AS, &lim);
    int code = 1;
    try {
      (void)load_distribution_file_mapped(p);
    } catch (const std::bad_alloc&) {
      code = 0;
    }
    if (code == 0 && (open_descriptors() != fds || mapped_anywhere(p.string()))) code = 2;
    std::_Exit(code);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: the load did not fail; 2: it leaked";
}

// The loader as it stood before decoding streamed: every frame decompressed
// into one buffer, then decoded. The streaming loader must agree with it on
// every input, bit for bit and text for text.
Result<DistributionFile> plain_parse(std::string_view bytes, const std::string& ps) {
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
  auto r = decode_stored_record<DistributionFile>(out);
  if (!r.ok()) return Error("deserialize " + ps + ": " + r.error().full_text());
  return r;
}

std::string outcome_of(const Result<DistributionFile>& r) {
  return r.ok() ? "ok " + encode_stored_record(*r) : r.error().full_text();
}

TEST(ContainerDamage, RandomDamageFailsAsTheWholeStreamLoaderDid) {
  RecordMaker mk(7);
  const DistributionFile f = mk.file(120);
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
