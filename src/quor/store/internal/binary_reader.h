// Internal to the store: the decoder's cursor, shared by the record decoder
// and the index digest that reads an index entry by entry.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quor/store/binary_codec.h"
#include "quor/store/internal/binary_layout.h"
#include "quor/store/decoded_distribution.h"
#include "quor/store/internal/record_fields.h"
#include "quor/util/error.h"
#include "quor/util/json_reader.h"
#include "quor/util/utf8.h"

namespace quor::store::internal {

// The decoder's window over a stream.
inline constexpr size_t kDecodeWindow = 256 * 1024;
// A text or count list of a stream longer than this is checked against the
// exact length of the stream before storage is taken for it; a shorter one
// is read as it comes (at worst this much is taken for a record that then
// turns out cut short).
inline constexpr uint64_t kUncheckedLength = 16 * 1024 * 1024;

// A cursor over the bytes to decode: the whole input, or a window over a
// RecordSource refilled as the decoder needs bytes. Every read checks the
// window first, so decoding from memory and from a stream take one path.
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
    uint8_t b = 0;
    if (!fixed(b)) return false;
    if (b > 1) return fail("invalid u8 while decoding bool, expected 0 or 1, found " + std::to_string(b));
    v = b == 1;
    return true;
  }
  bool tag(bool& present) {
    uint8_t b = 0;
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
    uint64_t len = 0;
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
    uint64_t n = 0;
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

  // A DistributionObject into `d`, reusing its storage: the same bytes read
  // and the same failures, in the same order, as get() of the record.
  bool decoded(DecodedDistribution& d) {
    uint64_t n = 0;
    if (!u64(d.id) || !text(d.variable) || !u64(n)) return false;
    d.key.reserve(reserve_for<std::pair<std::string, std::string>>(n));
    size_t used = 0;
    bool ordered = true;
    for (uint64_t i = 0; i < n; ++i, ++used) {
      if (used == d.key.size()) d.key.emplace_back();
      if (!text(d.key[used].first) || !text(d.key[used].second)) {
        d.key.resize(used);
        return false;
      }
      if (used > 0 && !(d.key[used - 1].first < d.key[used].first)) ordered = false;
    }
    d.key.resize(used);
    d.reordered = !ordered;
    if (!ordered) order_key(d.key);
    uint32_t idx = 0;
    if (!variant(idx, alternatives<model::DistributionRepr>())) return false;
    d.histogram = idx == 0;
    if (d.histogram) {
      d.unknown_count = 0;
      if (!get(d.min) || !get(d.max) || !u64s(d.counts) || !u64(d.total_count)) return false;
    } else {
      if (!u64(n)) return false;
      d.categories.reserve(reserve_for<std::string>(n));
      used = 0;
      for (uint64_t i = 0; i < n; ++i, ++used) {
        if (used == d.categories.size()) d.categories.emplace_back();
        if (!text(d.categories[used])) return false;
      }
      d.categories.resize(used);
      if (!u64s(d.counts) || !u64(d.unknown_count) || !u64(d.total_count)) return false;
    }
    return u64(d.sample_count) && get(d.entropy) && u64(d.last_updated) && u64(d.version) &&
           u64(d.raw_record_range.first) && u64(d.raw_record_range.second);
  }

  template <class T>
  bool get(T& v) {
    if constexpr (std::is_same_v<T, bool>) {
      return boolean(v);
    } else if constexpr (std::is_same_v<T, double>) {
      uint64_t bits = 0;
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
      uint64_t n = 0;
      if (!u64(n)) return false;
      v.clear();
      v.reserve(reserve_for<E>(n));
      for (uint64_t i = 0; i < n; ++i) {
        v.emplace_back();
        if (!get(v.back())) return false;
      }
      return true;
    } else if constexpr (is_optional<T>::value) {
      bool present = false;
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
      uint64_t n = 0;
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
      uint64_t n = 0;
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
      uint32_t idx = 0;
      if (!variant(idx, alternatives<T>())) return false;
      return get_alternative<T>(v, idx, std::make_index_sequence<alternatives<T>()>());
    } else {
      return RecordFields<T>::each(v, [&](auto& f, std::string_view) { return get(f); });
    }
  }

 private:
  // A key read out of order, or with a name twice, as the stored ordered
  // map holds it: by name, the later of two equal names winning.
  [[gnu::noinline]] static void order_key(std::vector<std::pair<std::string, std::string>>& key) {
    std::stable_sort(key.begin(), key.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    size_t out = 0;
    for (size_t i = 0; i < key.size(); ++i) {
      if (out > 0 && key[out - 1].first == key[i].first) {
        key[out - 1].second = std::move(key[i].second);
      } else {
        if (out != i) key[out] = std::move(key[i]);
        ++out;
      }
    }
    key.resize(out);
  }
  template <class T, size_t... I>
  bool get_alternative(T& v, uint32_t idx, std::index_sequence<I...>) {
    bool ok = false;
    (void)((idx == I ? (ok = get_alt<T, I>(v), true) : false) || ...);
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

}  // namespace quor::store::internal
