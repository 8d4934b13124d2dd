#include "quor/store/binary_codec.h"

#define XXH_STATIC_LINKING_ONLY  // XXH3_state_t as a complete type
#include <xxhash.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "quor/store/record_fields.h"
#include "quor/util/json_reader.h"
#include "quor/util/panic.h"

namespace quor::store {

namespace {

// The encoder's reused buffer: large enough that the sink sees few pieces,
// small enough to stay in cache while the compressor reads it.
constexpr size_t kEncodeBuffer = 128 * 1024;
// The decoder's window over a stream.
constexpr size_t kDecodeWindow = 256 * 1024;
// A text or count list of a stream longer than this is checked against the
// exact length of the stream before storage is taken for it; a shorter one
// is read as it comes (at worst this much is taken for a record that then
// turns out cut short).
constexpr uint64_t kUncheckedLength = 16 * 1024 * 1024;

template <class T>
T to_little(T v) {
  if constexpr (std::endian::native == std::endian::big) {
    T out;
    auto* s = reinterpret_cast<unsigned char*>(&v);
    auto* d = reinterpret_cast<unsigned char*>(&out);
    for (size_t i = 0; i < sizeof(T); ++i) d[i] = s[sizeof(T) - 1 - i];
    return out;
  } else {
    return v;
  }
}

// ---------------------------------------------------------------- type kinds

template <class T>
struct is_vector : std::false_type {};
template <class T>
struct is_vector<std::vector<T>> : std::true_type {};
template <class T>
struct is_optional : std::false_type {};
template <class T>
struct is_optional<std::optional<T>> : std::true_type {};
template <class T>
struct is_pair : std::false_type {};
template <class A, class B>
struct is_pair<std::pair<A, B>> : std::true_type {};
template <class T>
struct is_text_map : std::false_type {};
template <class V>
struct is_text_map<std::map<std::string, V>> : std::true_type {};
template <class V>
struct is_text_map<std::unordered_map<std::string, V>> : std::true_type {};

// The stored enums derive from std::variant; the alternative's position is
// its index on disk.
template <class T>
concept StoredVariant = requires { typename T::variant; } &&
                        std::is_base_of_v<typename T::variant, T>;

template <class T>
constexpr size_t alternatives() {
  return std::variant_size_v<typename T::variant>;
}

// The fewest bytes an encoded T takes, so that a count can be weighed
// against the bytes left before anything is reserved for it.
template <class T>
uint64_t min_encoded_size() {
  if constexpr (std::is_same_v<T, bool>) {
    return 1;
  } else if constexpr (std::is_arithmetic_v<T>) {
    return sizeof(T);
  } else if constexpr (std::is_same_v<T, std::string> || is_vector<T>::value ||
                       is_text_map<T>::value) {
    return 8;
  } else if constexpr (is_optional<T>::value) {
    return 1;
  } else if constexpr (is_pair<T>::value) {
    return min_encoded_size<typename T::first_type>() + min_encoded_size<typename T::second_type>();
  } else if constexpr (StoredVariant<T>) {
    return 4;
  } else {
    static const uint64_t n = [] {
      uint64_t sum = 0;
      T probe{};
      RecordFields<T>::each(probe, [&sum](auto& f, std::string_view) {
        sum += min_encoded_size<std::remove_cvref_t<decltype(f)>>();
        return true;
      });
      return sum;
    }();
    return n;
  }
}

// ---------------------------------------------------------------- sizes

template <class T>
uint64_t encoded_size(const T& v) {
  if constexpr (std::is_same_v<T, bool>) {
    return 1;
  } else if constexpr (std::is_arithmetic_v<T>) {
    return sizeof(T);
  } else if constexpr (std::is_same_v<T, std::string>) {
    return 8 + v.size();
  } else if constexpr (std::is_same_v<T, std::vector<uint64_t>>) {
    return 8 + 8 * v.size();
  } else if constexpr (is_vector<T>::value) {
    uint64_t n = 8;
    for (const auto& e : v) n += encoded_size(e);
    return n;
  } else if constexpr (is_optional<T>::value) {
    return 1 + (v ? encoded_size(*v) : 0);
  } else if constexpr (is_pair<T>::value) {
    return encoded_size(v.first) + encoded_size(v.second);
  } else if constexpr (is_text_map<T>::value) {
    uint64_t n = 8;
    for (const auto& [k, e] : v) n += encoded_size(k) + encoded_size(e);
    return n;
  } else if constexpr (StoredVariant<T>) {
    return 4 + std::visit([](const auto& alt) { return encoded_size(alt); },
                          static_cast<const typename T::variant&>(v));
  } else {
    uint64_t n = 0;
    RecordFields<T>::each(v, [&n](const auto& f, std::string_view) {
      n += encoded_size(f);
      return true;
    });
    return n;
  }
}

// ---------------------------------------------------------------- encoder

// Writes into [base, end): either the whole output at its exact size, or a
// reused buffer handed to `sink` whenever it fills.
class Writer {
 public:
  Writer(char* base, size_t cap, const EncodedChunkSink* sink)
      : base_(base), p_(base), end_(base + cap), sink_(sink) {}

  char* pos() const { return p_; }

  void flush() {
    if (p_ > base_ && sink_ != nullptr) (*sink_)(std::string_view(base_, p_ - base_));
    p_ = base_;
  }

  template <class T>
  void fixed(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    if (static_cast<size_t>(end_ - p_) < sizeof(T)) flush();
    v = to_little(v);
    std::memcpy(p_, &v, sizeof(T));
    p_ += sizeof(T);
  }
  void raw(const char* data, size_t n) {
    if (n <= static_cast<size_t>(end_ - p_)) {
      if (n != 0) std::memcpy(p_, data, n);  // data may be null when n == 0
      p_ += n;
      return;
    }
    flush();
    const size_t cap = static_cast<size_t>(end_ - base_);
    if (n >= cap / 2) {
      // Too long to be worth a copy: handed over from the record itself.
      (*sink_)(std::string_view(data, n));
      return;
    }
    std::memcpy(p_, data, n);
    p_ += n;
  }

  template <class T>
  void put(const T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      fixed(static_cast<uint8_t>(v ? 1 : 0));
    } else if constexpr (std::is_same_v<T, double>) {
      fixed(std::bit_cast<uint64_t>(v));
    } else if constexpr (std::is_arithmetic_v<T>) {
      fixed(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
      fixed(static_cast<uint64_t>(v.size()));
      raw(v.data(), v.size());
    } else if constexpr (std::is_same_v<T, std::vector<uint64_t>>) {
      fixed(static_cast<uint64_t>(v.size()));
      if constexpr (std::endian::native == std::endian::little) {
        raw(reinterpret_cast<const char*>(v.data()), v.size() * 8);
      } else {
        for (uint64_t x : v) fixed(x);
      }
    } else if constexpr (is_vector<T>::value) {
      fixed(static_cast<uint64_t>(v.size()));
      for (const auto& e : v) put(e);
    } else if constexpr (is_optional<T>::value) {
      fixed(static_cast<uint8_t>(v ? 1 : 0));
      if (v) put(*v);
    } else if constexpr (is_pair<T>::value) {
      put(v.first);
      put(v.second);
    } else if constexpr (is_text_map<T>::value) {
      fixed(static_cast<uint64_t>(v.size()));
      for (const auto& [k, e] : v) {
        put(k);
        put(e);
      }
    } else if constexpr (StoredVariant<T>) {
      fixed(static_cast<uint32_t>(v.index()));
      std::visit([this](const auto& alt) { put(alt); }, static_cast<const typename T::variant&>(v));
    } else {
      RecordFields<T>::each(v, [this](const auto& f, std::string_view) {
        put(f);
        return true;
      });
    }
  }

 private:
  char* base_;
  char* p_;
  char* end_;
  const EncodedChunkSink* sink_;
};

template <class R>
std::string encode(const R& record) {
  const uint64_t n = encoded_size(record);
  std::string out;
  out.resize(static_cast<size_t>(n));
  Writer w(out.data(), out.size(), nullptr);
  w.put(record);
  QUOR_ASSERT(static_cast<uint64_t>(w.pos() - out.data()) == n,
              "encoded size must match the computed size");
  return out;
}

// One buffer per thread, shared by every record type and reused by every
// flush on it.
char* thread_encode_buffer() {
  thread_local std::unique_ptr<char[]> buffer(new char[kEncodeBuffer]);
  return buffer.get();
}

template <class R>
void encode_to(const R& record, const EncodedChunkSink& sink) {
  Writer w(thread_encode_buffer(), kEncodeBuffer, &sink);
  w.put(record);
  w.flush();
}

// ---------------------------------------------------------------- decoder

// A cursor over the bytes to decode: the whole input, or a window over a
// RecordSource refilled as the decoder needs bytes. Every read checks the
// window first, so decoding from memory takes the same path as before.
class Reader {
 public:
  explicit Reader(std::string_view in) : p_(in.data()), end_(in.data() + in.size()) {}
  Reader(RecordSource& src, char* window, size_t cap)
      : p_(window), end_(window), src_(&src), win_(window), cap_(cap), hint_(src.size_hint()) {}

  bool failed() const { return err_.has_value(); }
  Error take_error() { return std::move(*err_); }

  bool fail(std::string message) {
    err_.emplace(std::move(message));
    return false;
  }
  bool eof() { return fail("io error: unexpected end of file"); }
  size_t buffered() const { return static_cast<size_t>(end_ - p_); }

  template <class T>
  [[gnu::always_inline]] bool fixed(T& out) {
    if (buffered() < sizeof(T)) [[unlikely]] {
      if (!refill(sizeof(T))) return eof();
    }
    std::memcpy(&out, p_, sizeof(T));
    out = to_little(out);
    p_ += sizeof(T);
    return true;
  }
  bool u64(uint64_t& v) { return fixed(v); }
  bool boolean(bool& v) {
    uint8_t b;
    if (!fixed(b)) return false;
    if (b > 1) return fail("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
    v = b == 1;
    return true;
  }
  bool tag(bool& present) {
    uint8_t b;
    if (!fixed(b)) return false;
    if (b > 1) return fail("tag for enum is not valid, found " + std::to_string(b));
    present = b == 1;
    return true;
  }
  bool variant(uint32_t& idx, uint32_t count) {
    if (!fixed(idx)) return false;
    if (idx >= count) {
      return fail("invalid value: integer `" + std::to_string(idx) +
                  "`, expected variant index 0 <= i < " + std::to_string(count));
    }
    return true;
  }
  bool check_utf8(std::string_view bytes) {
    if (bytes.size() <= 32) {
      // Most texts are short ASCII names: one pass of ORs settles them.
      unsigned char any = 0;
      for (char c : bytes) any |= static_cast<unsigned char>(c);
      if (any < 0x80) return true;
    }
    size_t up_to, bad_len;
    if (util::validate_utf8(bytes, up_to, bad_len)) return true;
    if (bad_len == 0) {
      return fail("string is not valid utf8: incomplete utf-8 byte sequence from index " +
                  std::to_string(up_to));
    }
    return fail("string is not valid utf8: invalid utf-8 sequence of " + std::to_string(bad_len) +
                " bytes from index " + std::to_string(up_to));
  }
  bool text(std::string& out) {
    uint64_t len;
    if (!u64(len)) return false;
    if (len <= buffered()) {
      std::string_view bytes(p_, static_cast<size_t>(len));
      if (!check_utf8(bytes)) return false;
      out.assign(bytes);
      p_ += len;
      return true;
    }
    // A text running past the window (streams only; a text longer than the
    // whole input never takes storage).
    if (!stream_holds(len)) return fail("io error: ");
    out.resize(static_cast<size_t>(len));
    if (!copy_out(out.data(), len)) return fail("io error: ");
    return check_utf8(out);
  }
  bool u64s(std::vector<uint64_t>& out) {
    uint64_t n;
    if (!u64(n)) return false;
    if (n <= buffered() / 8) {
      out.resize(static_cast<size_t>(n));
      if (n == 0) return true;  // data() may be null
      std::memcpy(out.data(), p_, static_cast<size_t>(n) * 8);
      p_ += n * 8;
    } else {
      // The values present are read, then the end of the input is met: the
      // same failure the element-by-element read reaches.
      if (n > UINT64_MAX / 8 || !stream_holds(n * 8)) return eof();
      out.resize(static_cast<size_t>(n));
      if (!copy_out(reinterpret_cast<char*>(out.data()), n * 8)) return eof();
    }
    if constexpr (std::endian::native == std::endian::big) {
      for (auto& x : out) x = to_little(x);
    }
    return true;
  }

  // Elements reserved ahead for a list of `count`: exactly `count` when the
  // bytes left can hold that many encoded elements, otherwise as many as
  // they can hold, so a damaged count reserves no more than a small
  // multiple of the input's size.
  template <class T>
  size_t reserve_for(uint64_t count) const {
    return static_cast<size_t>(std::min<uint64_t>(count, bytes_left_bound() / min_encoded_size<T>()));
  }

  template <class T>
  bool get(T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      return boolean(v);
    } else if constexpr (std::is_same_v<T, double>) {
      uint64_t bits;
      if (!fixed(bits)) return false;
      v = std::bit_cast<double>(bits);
      return true;
    } else if constexpr (std::is_arithmetic_v<T>) {
      return fixed(v);
    } else if constexpr (std::is_same_v<T, std::string>) {
      return text(v);
    } else if constexpr (std::is_same_v<T, std::vector<uint64_t>>) {
      return u64s(v);
    } else if constexpr (is_vector<T>::value) {
      using E = typename T::value_type;
      uint64_t n;
      if (!u64(n)) return false;
      v.clear();
      v.reserve(reserve_for<E>(n));
      for (uint64_t i = 0; i < n; ++i) {
        v.emplace_back();
        if (!get(v.back())) return false;
      }
      return true;
    } else if constexpr (is_optional<T>::value) {
      bool present;
      if (!tag(present)) return false;
      if (!present) {
        v.reset();
        return true;
      }
      v.emplace();
      return get(*v);
    } else if constexpr (is_pair<T>::value) {
      return get(v.first) && get(v.second);
    } else if constexpr (std::is_same_v<T, model::DimensionMap>) {
      uint64_t n;
      if (!u64(n)) return false;
      v.clear();
      for (uint64_t i = 0; i < n; ++i) {
        std::string k, e;
        if (!text(k) || !text(e)) return false;
        // Keys come in order: the end is the right hint.
        v.insert_or_assign(v.end(), std::move(k), std::move(e));
      }
      return true;
    } else if constexpr (is_text_map<T>::value) {
      using E = typename T::mapped_type;
      uint64_t n;
      if (!u64(n)) return false;
      v.clear();
      v.reserve(reserve_for<std::pair<std::string, E>>(n));
      for (uint64_t i = 0; i < n; ++i) {
        std::string k;
        E e{};
        if (!text(k) || !get(e)) return false;
        v.insert_or_assign(std::move(k), std::move(e));
      }
      return true;
    } else if constexpr (StoredVariant<T>) {
      uint32_t idx;
      if (!variant(idx, alternatives<T>())) return false;
      return get_alternative<T>(v, idx, std::make_index_sequence<alternatives<T>()>());
    } else {
      return RecordFields<T>::each(v, [this](auto& f, std::string_view) { return get(f); });
    }
  }

 private:
  template <class T, size_t... I>
  bool get_alternative(T& v, uint32_t idx, std::index_sequence<I...>) {
    bool ok = false;
    ((idx == I ? (ok = get_alt<T, I>(v), true) : false) || ...);
    return ok;
  }
  // Decodes in place: every field of the alternative is overwritten.
  template <class T, size_t I>
  bool get_alt(T& v) {
    auto& base = static_cast<typename T::variant&>(v);
    if (base.index() != I) base.template emplace<I>();
    return get(std::get<I>(base));
  }

  // Makes at least `n` (at most a window's worth) bytes available at p_.
  [[gnu::noinline]] bool refill(size_t n) {
    if (src_ == nullptr) return false;
    size_t have = buffered();
    if (have != 0 && p_ != win_) std::memmove(win_, p_, have);
    p_ = win_;
    end_ = win_ + have;
    while (have < n) {
      const size_t got = src_->pull(win_ + have, cap_ - have);
      if (got == 0) return false;
      have += got;
      pulled_ += got;
      end_ = win_ + have;
    }
    return true;
  }
  // Copies the next `n` bytes out, the window first, then straight from the
  // source for long runs.
  bool copy_out(char* dst, uint64_t n) {
    while (n > 0) {
      size_t have = buffered();
      if (have == 0) {
        if (src_ == nullptr) return false;
        if (n >= cap_) {
          const size_t got = src_->pull(dst, static_cast<size_t>(std::min<uint64_t>(n, SIZE_MAX)));
          if (got == 0) return false;
          pulled_ += got;
          dst += got;
          n -= got;
          continue;
        }
        if (!refill(1)) return false;
        have = buffered();
      }
      const size_t k = static_cast<size_t>(std::min<uint64_t>(have, n));
      std::memcpy(dst, p_, k);
      p_ += k;
      dst += k;
      n -= k;
    }
    return true;
  }
  // Bytes of the input from its start that the cursor has passed.
  uint64_t consumed() const { return pulled_ - buffered(); }
  // Whether `n` more bytes may be there: the whole input knows; a stream
  // is asked for its exact length only for a long run.
  bool stream_holds(uint64_t n) {
    if (src_ == nullptr) return n <= buffered();
    if (n <= kUncheckedLength) return true;
    const uint64_t total = src_->exact_size();
    return total >= consumed() && total - consumed() >= n;
  }
  uint64_t bytes_left_bound() const {
    if (src_ == nullptr) return buffered();
    const uint64_t c = consumed();
    return std::max<uint64_t>(buffered(), hint_ > c ? hint_ - c : 0);
  }

  const char* p_;
  const char* end_;
  RecordSource* src_ = nullptr;
  char* win_ = nullptr;
  size_t cap_ = 0;
  uint64_t pulled_ = 0;
  uint64_t hint_ = 0;
  std::optional<Error> err_;
};

}  // namespace

uint64_t stored_record_size(const model::MetaFile& r) { return encoded_size(r); }
uint64_t stored_record_size(const model::DistributionFile& r) { return encoded_size(r); }
uint64_t stored_record_size(const model::DistIndex& r) { return encoded_size(r); }
uint64_t stored_record_size(const model::SnapshotStore& r) { return encoded_size(r); }

std::string encode_stored_record(const model::MetaFile& r) { return encode(r); }
std::string encode_stored_record(const model::DistributionFile& r) { return encode(r); }
std::string encode_stored_record(const model::DistIndex& r) { return encode(r); }
std::string encode_stored_record(const model::SnapshotStore& r) { return encode(r); }

void encode_stored_record_to(const model::MetaFile& r, const EncodedChunkSink& sink) {
  encode_to(r, sink);
}
void encode_stored_record_to(const model::DistributionFile& r, const EncodedChunkSink& sink) {
  encode_to(r, sink);
}
void encode_stored_record_to(const model::DistIndex& r, const EncodedChunkSink& sink) {
  encode_to(r, sink);
}
void encode_stored_record_to(const model::SnapshotStore& r, const EncodedChunkSink& sink) {
  encode_to(r, sink);
}

struct EncodingHasher::State {
  XXH3_state_t xxh;
};

EncodingHasher::EncodingHasher() : state_(std::make_unique<State>()) {
  XXH3_128bits_reset(&state_->xxh);
}
EncodingHasher::~EncodingHasher() = default;

void EncodingHasher::update(std::string_view piece) {
  XXH3_128bits_update(&state_->xxh, piece.data(), piece.size());
  size_ += piece.size();
}

EncodingDigest EncodingHasher::digest() const {
  const XXH128_hash_t h = XXH3_128bits_digest(&state_->xxh);
  return EncodingDigest{h.low64, h.high64, size_};
}

namespace {
template <class R>
EncodingDigest digest_of(const R& record) {
  EncodingHasher hasher;
  encode_to(record, [&hasher](std::string_view piece) { hasher.update(piece); });
  return hasher.digest();
}
}  // namespace

EncodingDigest encoding_digest(const model::MetaFile& r) { return digest_of(r); }
EncodingDigest encoding_digest(const model::DistributionFile& r) { return digest_of(r); }
EncodingDigest encoding_digest(const model::DistIndex& r) { return digest_of(r); }
EncodingDigest encoding_digest(const model::SnapshotStore& r) { return digest_of(r); }

template <class T>
Result<T> decode_stored_record(std::string_view bytes) {
  Reader rd(bytes);
  T out;
  if (!rd.get(out)) return rd.take_error();
  return out;
}

template <class T>
Result<T> decode_stored_record_from(RecordSource& source) {
  std::unique_ptr<char[]> window(new char[kDecodeWindow]);
  Reader rd(source, window.get(), kDecodeWindow);
  T out;
  if (!rd.get(out)) return rd.take_error();
  return out;
}

namespace {
void add_entry(IndexEntriesDigest& d, std::string_view key, uint64_t id) {
  // The key's length keeps (key, id) pairs apart that share their bytes.
  XXH3_state_t st;
  XXH3_128bits_reset(&st);
  const uint64_t len = to_little(static_cast<uint64_t>(key.size()));
  const uint64_t le_id = to_little(id);
  XXH3_128bits_update(&st, &len, 8);
  XXH3_128bits_update(&st, key.data(), key.size());
  XXH3_128bits_update(&st, &le_id, 8);
  const XXH128_hash_t h = XXH3_128bits_digest(&st);
  d.count += 1;
  d.sum_low += h.low64;
  d.sum_high += h.high64;
}
}  // namespace

IndexEntriesDigest index_entries_digest(const model::DistIndex& index) {
  IndexEntriesDigest d;
  for (const auto& [key, id] : index.by_key) add_entry(d, key, id);
  return d;
}

Result<IndexEntriesDigest> index_entries_digest_from(RecordSource& source) {
  std::unique_ptr<char[]> window(new char[kDecodeWindow]);
  Reader rd(source, window.get(), kDecodeWindow);
  IndexEntriesDigest d;
  uint64_t n;
  if (!rd.u64(n)) return rd.take_error();
  std::string key;
  for (uint64_t i = 0; i < n; ++i) {
    uint64_t id;
    if (!rd.text(key) || !rd.u64(id)) return rd.take_error();
    add_entry(d, key, id);
  }
  return d;
}

template Result<model::MetaFile> decode_stored_record<model::MetaFile>(std::string_view);
template Result<model::DistributionFile> decode_stored_record<model::DistributionFile>(std::string_view);
template Result<model::DistIndex> decode_stored_record<model::DistIndex>(std::string_view);
template Result<model::SnapshotStore> decode_stored_record<model::SnapshotStore>(std::string_view);
template Result<model::MetaFile> decode_stored_record_from<model::MetaFile>(RecordSource&);
template Result<model::DistributionFile> decode_stored_record_from<model::DistributionFile>(RecordSource&);
template Result<model::DistIndex> decode_stored_record_from<model::DistIndex>(RecordSource&);
template Result<model::SnapshotStore> decode_stored_record_from<model::SnapshotStore>(RecordSource&);

}  // namespace quor::store
