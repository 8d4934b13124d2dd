#include "quor/store/binary_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

#include "quor/util/json_reader.h"
#include "quor/util/panic.h"

namespace quor::store {

namespace {

constexpr size_t kReserveCap = 1048576;  // bytes reserved ahead for a list or map

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

// ---------------------------------------------------------------- sizes

uint64_t sz(const std::string& s) { return 8 + s.size(); }
uint64_t sz(const std::vector<std::string>& v) {
  uint64_t n = 8;
  for (const auto& s : v) n += sz(s);
  return n;
}
uint64_t sz(const DimensionMap& m) {
  uint64_t n = 8;
  for (const auto& [k, v] : m) n += sz(k) + sz(v);
  return n;
}
uint64_t sz_u64s(const std::vector<uint64_t>& v) { return 8 + 8 * v.size(); }
uint64_t sz_rows(const std::vector<std::vector<uint64_t>>& rows) {
  uint64_t n = 8;
  for (const auto& r : rows) n += sz_u64s(r);
  return n;
}

uint64_t sz(const VariableType& t) {
  if (const auto* c = std::get_if<ContinuousType>(&t)) return c->range ? 25 : 9;
  const auto& k = std::get<CategoricalType>(t);
  return 4 + sz(k.categories) + 1;
}
uint64_t sz(const Schema& s) {
  uint64_t n = 24;
  for (const auto& v : s.variables) n += sz(v.name) + sz(v.var_type);
  for (const auto& d : s.dimensions) {
    n += sz(d.name) + sz(d.source_column) + 1 + (d.granularity ? sz(*d.granularity) : 0);
  }
  for (const auto& [a, b] : s.joints) n += sz(a) + sz(b);
  return n;
}
uint64_t sz(const DistributionRepr& r) {
  if (const auto* h = std::get_if<HistogramRepr>(&r)) return 4 + 16 + sz_u64s(h->bin_counts) + 8;
  const auto& c = std::get<CategoricalRepr>(r);
  return 4 + sz(c.categories) + sz_u64s(c.counts) + 16;
}
uint64_t sz(const DistributionObject& d) {
  return 8 + sz(d.variable) + sz(d.dimension_key) + sz(d.repr) + 48;
}
uint64_t sz(const JointRepr& r) {
  switch (r.index()) {
    case 0: return 4 + 40 + sz_rows(std::get<0>(r).counts) + 8;
    case 1: {
      const auto& t = std::get<1>(r);
      return 4 + sz(t.x_categories) + sz(t.y_categories) + sz_rows(t.counts) + 8;
    }
    default: {
      const auto& c = std::get<2>(r);
      uint64_t n = 4 + sz(c.condition_categories) + 8 + 8;
      for (const auto& h : c.histograms) n += sz(h);
      return n;
    }
  }
}
uint64_t sz(const JointDistributionObject& j) {
  return 8 + sz(j.variables.first) + sz(j.variables.second) + sz(j.dimension_key) + sz(j.repr) +
         24;
}

// ---------------------------------------------------------------- encoder

class Writer {
 public:
  explicit Writer(char* p) : p_(p) {}
  char* pos() const { return p_; }

  template <class T>
  void fixed(T v) {
    static_assert(std::is_trivially_copyable_v<T>);
    v = to_little(v);
    std::memcpy(p_, &v, sizeof(T));
    p_ += sizeof(T);
  }
  void u64(uint64_t v) { fixed(v); }
  void u32(uint32_t v) { fixed(v); }
  void f64(double v) { fixed(std::bit_cast<uint64_t>(v)); }
  void byte(uint8_t v) { *p_++ = static_cast<char>(v); }
  void text(const std::string& s) {
    u64(s.size());
    std::memcpy(p_, s.data(), s.size());
    p_ += s.size();
  }
  void texts(const std::vector<std::string>& v) {
    u64(v.size());
    for (const auto& s : v) text(s);
  }
  void u64s(const std::vector<uint64_t>& v) {
    u64(v.size());
    if constexpr (std::endian::native == std::endian::little) {
      if (v.empty()) return;  // data() may be null
      std::memcpy(p_, v.data(), v.size() * 8);
      p_ += v.size() * 8;
    } else {
      for (uint64_t x : v) u64(x);
    }
  }
  void rows(const std::vector<std::vector<uint64_t>>& r) {
    u64(r.size());
    for (const auto& row : r) u64s(row);
  }
  void map(const DimensionMap& m) {
    u64(m.size());
    for (const auto& [k, v] : m) {
      text(k);
      text(v);
    }
  }

  void put(const VariableType& t) {
    if (const auto* c = std::get_if<ContinuousType>(&t)) {
      u32(0);
      u32(c->bins);
      if (c->range) {
        byte(1);
        f64(c->range->first);
        f64(c->range->second);
      } else {
        byte(0);
      }
      return;
    }
    const auto& k = std::get<CategoricalType>(t);
    u32(1);
    texts(k.categories);
    byte(k.allow_unknown ? 1 : 0);
  }
  void put(const Schema& s) {
    u64(s.variables.size());
    for (const auto& v : s.variables) {
      text(v.name);
      put(v.var_type);
    }
    u64(s.dimensions.size());
    for (const auto& d : s.dimensions) {
      text(d.name);
      text(d.source_column);
      if (d.granularity) {
        byte(1);
        text(*d.granularity);
      } else {
        byte(0);
      }
    }
    u64(s.joints.size());
    for (const auto& [a, b] : s.joints) {
      text(a);
      text(b);
    }
  }
  void put(const MetaFile& m) {
    put(m.schema);
    u64(m.next_distribution_id);
    u64(m.next_joint_id);
    u64(m.next_raw_record_id);
    u32(m.format_version);
    byte(m.raw_log_enabled ? 1 : 0);
    u64(m.high_water_mark);
  }
  void put(const DistributionRepr& r) {
    if (const auto* h = std::get_if<HistogramRepr>(&r)) {
      u32(0);
      f64(h->min);
      f64(h->max);
      u64s(h->bin_counts);
      u64(h->total_count);
      return;
    }
    const auto& c = std::get<CategoricalRepr>(r);
    u32(1);
    texts(c.categories);
    u64s(c.counts);
    u64(c.unknown_count);
    u64(c.total_count);
  }
  void put(const DistributionObject& d) {
    u64(d.id);
    text(d.variable);
    map(d.dimension_key);
    put(d.repr);
    u64(d.sample_count);
    f64(d.entropy);
    u64(d.last_updated);
    u64(d.version);
    u64(d.raw_record_range.first);
    u64(d.raw_record_range.second);
  }
  void put(const JointRepr& r) {
    switch (r.index()) {
      case 0: {
        const auto& g = std::get<0>(r);
        u32(0);
        f64(g.x_min);
        f64(g.x_max);
        u32(g.x_bins);
        f64(g.y_min);
        f64(g.y_max);
        u32(g.y_bins);
        rows(g.counts);
        u64(g.total_count);
        return;
      }
      case 1: {
        const auto& t = std::get<1>(r);
        u32(1);
        texts(t.x_categories);
        texts(t.y_categories);
        rows(t.counts);
        u64(t.total_count);
        return;
      }
      default: {
        const auto& c = std::get<2>(r);
        u32(2);
        texts(c.condition_categories);
        u64(c.histograms.size());
        for (const auto& h : c.histograms) put(h);
        u64(c.total_count);
        return;
      }
    }
  }
  void put(const JointDistributionObject& j) {
    u64(j.id);
    text(j.variables.first);
    text(j.variables.second);
    map(j.dimension_key);
    put(j.repr);
    u64(j.sample_count);
    u64(j.last_updated);
    u64(j.version);
  }
  void put(const DistributionFile& f) {
    u64(f.distributions.size());
    for (const auto& d : f.distributions) put(d);
    u64(f.joints.size());
    for (const auto& j : f.joints) put(j);
  }
  void put(const DistIndex& idx) {
    u64(idx.by_key.size());
    for (const auto& [k, id] : idx.by_key) {
      text(k);
      u64(id);
    }
  }
  void put(const SnapshotStore& s) {
    u64(s.entries.size());
    for (const auto& [k, list] : s.entries) {
      text(k);
      u64(list.size());
      for (const auto& e : list) {
        u64(e.version);
        u64(e.timestamp);
        put(e.distribution);
      }
    }
  }

 private:
  char* p_;
};

template <class R>
std::string encode(const R& record) {
  const uint64_t n = stored_record_size(record);
  std::string out;
  out.resize(static_cast<size_t>(n));
  Writer w(out.data());
  w.put(record);
  QUOR_ASSERT(static_cast<uint64_t>(w.pos() - out.data()) == n,
              "encoded size must match the computed size");
  return out;
}

// ---------------------------------------------------------------- decoder

class Reader {
 public:
  explicit Reader(std::string_view in) : p_(in.data()), end_(in.data() + in.size()) {}

  bool failed() const { return err_.has_value(); }
  Error take_error() { return std::move(*err_); }

  bool fail(std::string message) {
    err_.emplace(std::move(message));
    return false;
  }
  bool eof() { return fail("io error: unexpected end of file"); }
  size_t left() const { return static_cast<size_t>(end_ - p_); }

  template <class T>
  bool fixed(T& out) {
    if (left() < sizeof(T)) return eof();
    std::memcpy(&out, p_, sizeof(T));
    out = to_little(out);
    p_ += sizeof(T);
    return true;
  }
  bool u64(uint64_t& v) { return fixed(v); }
  bool u32(uint32_t& v) { return fixed(v); }
  bool f64(double& v) {
    uint64_t bits;
    if (!fixed(bits)) return false;
    v = std::bit_cast<double>(bits);
    return true;
  }
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
    if (!u32(idx)) return false;
    if (idx >= count) {
      return fail("invalid value: integer `" + std::to_string(idx) +
                  "`, expected variant index 0 <= i < " + std::to_string(count));
    }
    return true;
  }
  bool text(std::string& out) {
    uint64_t len;
    if (!u64(len)) return false;
    if (len > left()) return fail("io error: ");
    std::string_view bytes(p_, static_cast<size_t>(len));
    size_t up_to, bad_len;
    if (!util::validate_utf8(bytes, up_to, bad_len)) {
      if (bad_len == 0) {
        return fail("string is not valid utf8: incomplete utf-8 byte sequence from index " +
                    std::to_string(up_to));
      }
      return fail("string is not valid utf8: invalid utf-8 sequence of " +
                  std::to_string(bad_len) + " bytes from index " + std::to_string(up_to));
    }
    out.assign(bytes);
    p_ += len;
    return true;
  }

  // Elements reserved ahead for a list of `count`: never more than fit in
  // 1 MiB, and never more than the bytes left could hold (every element of
  // every list takes at least 8 bytes).
  template <class T>
  size_t reserve_for(uint64_t count) const {
    uint64_t n = std::min<uint64_t>(count, kReserveCap / sizeof(T));
    return static_cast<size_t>(std::min<uint64_t>(n, left() / 8));
  }

  // A list: the count, then each element through `elem`.
  template <class T, class F>
  bool list(std::vector<T>& out, F&& elem) {
    uint64_t n;
    if (!u64(n)) return false;
    out.clear();
    out.reserve(reserve_for<T>(n));
    for (uint64_t i = 0; i < n; ++i) {
      out.emplace_back();
      if (!elem(out.back())) return false;
    }
    return true;
  }
  bool texts(std::vector<std::string>& out) {
    return list(out, [this](std::string& s) { return text(s); });
  }
  bool u64s(std::vector<uint64_t>& out) {
    uint64_t n;
    if (!u64(n)) return false;
    const uint64_t avail = left() / 8;
    if (n > avail) {
      // The values present are read, then the end of the input is met: the
      // same failure the element-by-element read reaches.
      return eof();
    }
    out.resize(static_cast<size_t>(n));
    if (n == 0) return true;  // data() may be null
    std::memcpy(out.data(), p_, static_cast<size_t>(n) * 8);
    if constexpr (std::endian::native == std::endian::big) {
      for (auto& x : out) x = to_little(x);
    }
    p_ += n * 8;
    return true;
  }
  bool rows(std::vector<std::vector<uint64_t>>& out) {
    return list(out, [this](std::vector<uint64_t>& r) { return u64s(r); });
  }
  bool map(DimensionMap& out) {
    uint64_t n;
    if (!u64(n)) return false;
    out.clear();
    for (uint64_t i = 0; i < n; ++i) {
      std::string k, v;
      if (!text(k) || !text(v)) return false;
      out.insert_or_assign(std::move(k), std::move(v));
    }
    return true;
  }

  bool get(VariableType& t) {
    uint32_t idx;
    if (!variant(idx, 2)) return false;
    if (idx == 0) {
      ContinuousType c;
      bool has_range;
      if (!u32(c.bins) || !tag(has_range)) return false;
      if (has_range) {
        Range r;
        if (!f64(r.first) || !f64(r.second)) return false;
        c.range = r;
      }
      t = std::move(c);
      return true;
    }
    CategoricalType k;
    if (!texts(k.categories) || !boolean(k.allow_unknown)) return false;
    t = std::move(k);
    return true;
  }
  bool get(Schema& s) {
    if (!list(s.variables, [this](VariableDefinition& v) { return text(v.name) && get(v.var_type); }))
      return false;
    if (!list(s.dimensions, [this](DimensionDefinition& d) {
          bool has;
          if (!text(d.name) || !text(d.source_column) || !tag(has)) return false;
          if (has) {
            d.granularity.emplace();
            return text(*d.granularity);
          }
          return true;
        }))
      return false;
    return list(s.joints, [this](std::pair<std::string, std::string>& p) {
      return text(p.first) && text(p.second);
    });
  }
  bool get(MetaFile& m) {
    return get(m.schema) && u64(m.next_distribution_id) && u64(m.next_joint_id) &&
           u64(m.next_raw_record_id) && u32(m.format_version) && boolean(m.raw_log_enabled) &&
           u64(m.high_water_mark);
  }
  bool get(DistributionRepr& r) {
    uint32_t idx;
    if (!variant(idx, 2)) return false;
    if (idx == 0) {
      HistogramRepr h;
      if (!f64(h.min) || !f64(h.max) || !u64s(h.bin_counts) || !u64(h.total_count)) return false;
      r = std::move(h);
      return true;
    }
    CategoricalRepr c;
    if (!texts(c.categories) || !u64s(c.counts) || !u64(c.unknown_count) || !u64(c.total_count))
      return false;
    r = std::move(c);
    return true;
  }
  bool get(DistributionObject& d) {
    return u64(d.id) && text(d.variable) && map(d.dimension_key) && get(d.repr) &&
           u64(d.sample_count) && f64(d.entropy) && u64(d.last_updated) && u64(d.version) &&
           u64(d.raw_record_range.first) && u64(d.raw_record_range.second);
  }
  bool get(JointRepr& r) {
    uint32_t idx;
    if (!variant(idx, 3)) return false;
    if (idx == 0) {
      HistogramGridRepr g;
      if (!f64(g.x_min) || !f64(g.x_max) || !u32(g.x_bins) || !f64(g.y_min) || !f64(g.y_max) ||
          !u32(g.y_bins) || !rows(g.counts) || !u64(g.total_count))
        return false;
      r = std::move(g);
      return true;
    }
    if (idx == 1) {
      ContingencyTableRepr t;
      if (!texts(t.x_categories) || !texts(t.y_categories) || !rows(t.counts) ||
          !u64(t.total_count))
        return false;
      r = std::move(t);
      return true;
    }
    ConditionalHistogramsRepr c;
    if (!texts(c.condition_categories) ||
        !list(c.histograms, [this](DistributionRepr& h) { return get(h); }) ||
        !u64(c.total_count))
      return false;
    r = std::move(c);
    return true;
  }
  bool get(JointDistributionObject& j) {
    return u64(j.id) && text(j.variables.first) && text(j.variables.second) &&
           map(j.dimension_key) && get(j.repr) && u64(j.sample_count) && u64(j.last_updated) &&
           u64(j.version);
  }
  bool get(DistributionFile& f) {
    return list(f.distributions, [this](DistributionObject& d) { return get(d); }) &&
           list(f.joints, [this](JointDistributionObject& j) { return get(j); });
  }
  bool get(DistIndex& idx) {
    uint64_t n;
    if (!u64(n)) return false;
    idx.by_key.clear();
    idx.by_key.reserve(reserve_for<std::pair<std::string, uint64_t>>(n));
    for (uint64_t i = 0; i < n; ++i) {
      std::string k;
      uint64_t id;
      if (!text(k) || !u64(id)) return false;
      idx.by_key.insert_or_assign(std::move(k), id);
    }
    return true;
  }
  bool get(SnapshotStore& s) {
    uint64_t n;
    if (!u64(n)) return false;
    s.entries.clear();
    for (uint64_t i = 0; i < n; ++i) {
      std::string k;
      std::vector<SnapshotEntry> list_;
      if (!text(k)) return false;
      if (!list(list_, [this](SnapshotEntry& e) {
            return u64(e.version) && u64(e.timestamp) && get(e.distribution);
          }))
        return false;
      s.entries.insert_or_assign(std::move(k), std::move(list_));
    }
    return true;
  }

 private:
  const char* p_;
  const char* end_;
  std::optional<Error> err_;
};

}  // namespace

uint64_t stored_record_size(const MetaFile& r) { return sz(r.schema) + 37; }
uint64_t stored_record_size(const DistributionFile& r) {
  uint64_t n = 16;
  for (const auto& d : r.distributions) n += sz(d);
  for (const auto& j : r.joints) n += sz(j);
  return n;
}
uint64_t stored_record_size(const DistIndex& r) {
  uint64_t n = 8;
  for (const auto& [k, id] : r.by_key) n += sz(k) + 8;
  return n;
}
uint64_t stored_record_size(const SnapshotStore& r) {
  uint64_t n = 8;
  for (const auto& [k, list] : r.entries) {
    n += sz(k) + 8;
    for (const auto& e : list) n += 16 + sz(e.distribution);
  }
  return n;
}

std::string encode_stored_record(const MetaFile& r) { return encode(r); }
std::string encode_stored_record(const DistributionFile& r) { return encode(r); }
std::string encode_stored_record(const DistIndex& r) { return encode(r); }
std::string encode_stored_record(const SnapshotStore& r) { return encode(r); }

template <class T>
Result<T> decode_stored_record(std::string_view bytes) {
  Reader rd(bytes);
  T out;
  if (!rd.get(out)) return rd.take_error();
  return out;
}

template Result<MetaFile> decode_stored_record<MetaFile>(std::string_view);
template Result<DistributionFile> decode_stored_record<DistributionFile>(std::string_view);
template Result<DistIndex> decode_stored_record<DistIndex>(std::string_view);
template Result<SnapshotStore> decode_stored_record<SnapshotStore>(std::string_view);

}  // namespace quor::store

namespace quor::store {

void encode_stored_record_to(const MetaFile& r, const EncodedChunkSink& sink) {
  sink(encode_stored_record(r));
}
void encode_stored_record_to(const DistributionFile& r, const EncodedChunkSink& sink) {
  sink(encode_stored_record(r));
}
void encode_stored_record_to(const DistIndex& r, const EncodedChunkSink& sink) {
  sink(encode_stored_record(r));
}
void encode_stored_record_to(const SnapshotStore& r, const EncodedChunkSink& sink) {
  sink(encode_stored_record(r));
}

}  // namespace quor::store
