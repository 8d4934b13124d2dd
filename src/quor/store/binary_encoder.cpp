#include "quor/store/binary_codec.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>

#include "quor/store/internal/binary_layout.h"
#include "quor/store/internal/record_fields.h"
#include "quor/util/panic.h"

namespace quor::store {

namespace {

using internal::encoded_size;
using internal::is_optional;
using internal::is_pair;
using internal::is_text_map;
using internal::is_vector;
using internal::StoredVariant;
using internal::to_little;

// The encoder's reused buffer: large enough that the sink sees few pieces,
// small enough to stay in cache while the compressor reads it.
constexpr size_t kEncodeBuffer = 128 * 1024;

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
    } else if constexpr (std::is_same_v<T, std::string> || std::is_same_v<T, std::string_view>) {
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
      std::visit([&](const auto& alt) { put(alt); }, static_cast<const typename T::variant&>(v));
    } else {
      RecordFields<T>::each(v, [&](const auto& f, std::string_view) {
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

// The entries of one part: the list, the first entry, the end, and whether
// the list's count leads the part.
template <class List>
struct PartRange {
  const List* list;
  size_t begin, end;
  bool count_first;
};

template <class Fn>
auto with_part(const model::DistributionFile& r, const DistributionFileParts& parts, size_t part,
               Fn&& fn) {
  if (part < parts.dist_parts) {
    const size_t b = std::min(r.distributions.size(), part * parts.group);
    const size_t e = std::min(r.distributions.size(), b + parts.group);
    return fn(PartRange<std::vector<model::DistributionObject>>{&r.distributions, b, e, part == 0});
  }
  const size_t jp = part - parts.dist_parts;
  const size_t b = std::min(r.joints.size(), jp * parts.group);
  const size_t e = std::min(r.joints.size(), b + parts.group);
  return fn(PartRange<std::vector<model::JointDistributionObject>>{&r.joints, b, e, jp == 0});
}

}  // namespace

DistributionFileParts distribution_file_parts(const model::DistributionFile& r, size_t group) {
  DistributionFileParts parts;
  parts.group = std::max<size_t>(group, 1);
  auto count = [&](size_t n) { return std::max<size_t>(1, (n + parts.group - 1) / parts.group); };
  parts.dist_parts = count(r.distributions.size());
  parts.joint_parts = count(r.joints.size());
  return parts;
}

uint64_t distribution_file_part_size(const model::DistributionFile& r,
                                     const DistributionFileParts& parts, size_t part) {
  return with_part(r, parts, part, [](const auto& range) {
    uint64_t n = range.count_first ? 8 : 0;
    for (size_t i = range.begin; i < range.end; ++i) n += encoded_size((*range.list)[i]);
    return n;
  });
}

void encode_distribution_file_part(const model::DistributionFile& r,
                                   const DistributionFileParts& parts, size_t part, uint64_t size,
                                   std::string& out) {
  out.resize(static_cast<size_t>(size));
  Writer w(out.data(), out.size(), nullptr);
  with_part(r, parts, part, [&w](const auto& range) {
    if (range.count_first) w.fixed(static_cast<uint64_t>(range.list->size()));
    for (size_t i = range.begin; i < range.end; ++i) w.put((*range.list)[i]);
    return 0;
  });
  QUOR_ASSERT(static_cast<uint64_t>(w.pos() - out.data()) == size,
              "encoded part size must match the computed size");
}

namespace {

size_t source_joint_count(const DistributionFileSource& r) { return r.joints ? r.joints->size() : 0; }

// The encoded size of a category list, kept for the list last asked about
// (the distributions of one variable share theirs).
class CategoriesSize {
 public:
  uint64_t operator()(const std::vector<std::string>& list) {
    if (&list != last_) {
      last_ = &list;
      size_ = 8;
      for (const std::string& c : list) size_ += 8 + c.size();
    }
    return size_;
  }

 private:
  const std::vector<std::string>* last_ = nullptr;
  uint64_t size_ = 0;
};

// The encoded size of the DistributionObject `v` stands for: its fields in
// the record's order (id, variable, dimension key, repr with its u32 index,
// sample count, entropy, last updated, version, raw record range).
uint64_t view_size(const DistributionView& v, CategoriesSize& categories) {
  uint64_t n = 8 + (8 + v.variable.size()) + 8;
  for (const auto& [name, value] : v.key) n += 16 + name.size() + value.size();
  n += 4;
  if (v.histogram) n += 8 + 8 + (8 + 8 * v.counts.size()) + 8;
  else n += categories(*v.categories) + (8 + 8 * v.counts.size()) + 8 + 8;
  return n + 8 + 8 + 8 + 8 + 16;
}

void put_counts(Writer& w, std::span<const uint64_t> counts) {
  w.fixed(static_cast<uint64_t>(counts.size()));
  if constexpr (std::endian::native == std::endian::little) {
    w.raw(reinterpret_cast<const char*>(counts.data()), counts.size() * 8);
  } else {
    for (uint64_t x : counts) w.fixed(x);
  }
}

void put_view(Writer& w, const DistributionView& v) {
  w.put(v.id);
  w.put(v.variable);
  w.fixed(static_cast<uint64_t>(v.key.size()));
  for (const auto& [name, value] : v.key) {
    w.put(name);
    w.put(value);
  }
  if (v.histogram) {
    w.fixed(uint32_t{0});
    w.put(v.min);
    w.put(v.max);
    put_counts(w, v.counts);
  } else {
    w.fixed(uint32_t{1});
    w.put(*v.categories);
    put_counts(w, v.counts);
    w.put(v.unknown_count);
  }
  w.put(v.total_count);
  w.put(v.sample_count);
  w.put(v.entropy);
  w.put(v.last_updated);
  w.put(v.version);
  w.put(v.raw_record_range);
}

// Calls fn(view) for the distributions [begin, end) of `r`, one reused view.
template <class Fn>
void each_view(const DistributionFileSource& r, size_t begin, size_t end, Fn&& fn) {
  thread_local DistributionView view;
  for (size_t p = begin; p < end; ++p) {
    r.view(p, view);
    fn(view);
  }
}

}  // namespace

uint64_t stored_record_size(const DistributionFileSource& r) {
  uint64_t n = 16;
  CategoriesSize categories;
  each_view(r, 0, r.distributions, [&](const DistributionView& v) { n += view_size(v, categories); });
  if (r.joints != nullptr)
    for (const auto& j : *r.joints) n += encoded_size(j);
  return n;
}

void encode_stored_record_to(const DistributionFileSource& r, const EncodedChunkSink& sink) {
  Writer w(thread_encode_buffer(), kEncodeBuffer, &sink);
  w.fixed(static_cast<uint64_t>(r.distributions));
  each_view(r, 0, r.distributions, [&](const DistributionView& v) { put_view(w, v); });
  w.fixed(static_cast<uint64_t>(source_joint_count(r)));
  if (r.joints != nullptr)
    for (const auto& j : *r.joints) w.put(j);
  w.flush();
}

DistributionFileParts distribution_file_parts(const DistributionFileSource& r, size_t group) {
  DistributionFileParts parts;
  parts.group = std::max<size_t>(group, 1);
  auto count = [&](size_t n) { return std::max<size_t>(1, (n + parts.group - 1) / parts.group); };
  parts.dist_parts = count(r.distributions);
  parts.joint_parts = count(source_joint_count(r));
  return parts;
}

namespace {

// Runs dists(begin, end, count_first, list size) for a part of
// distributions, joints(span, count_first, list size) for a part of joints.
template <class Dists, class Joints>
void with_source_part(const DistributionFileSource& r, const DistributionFileParts& parts, size_t part,
                      Dists&& dists, Joints&& joints) {
  if (part < parts.dist_parts) {
    const size_t b = std::min(r.distributions, part * parts.group);
    const size_t e = std::min(r.distributions, b + parts.group);
    dists(b, e, part == 0, r.distributions);
    return;
  }
  const size_t jp = part - parts.dist_parts;
  const size_t n = source_joint_count(r);
  const size_t b = std::min(n, jp * parts.group);
  const size_t e = std::min(n, b + parts.group);
  std::span<const model::JointDistributionObject> list;
  if (b < e) list = std::span<const model::JointDistributionObject>(r.joints->data() + b, e - b);
  joints(list, jp == 0, n);
}

}  // namespace

uint64_t distribution_file_part_size(const DistributionFileSource& r, const DistributionFileParts& parts,
                                     size_t part) {
  uint64_t n = 0;
  with_source_part(
      r, parts, part,
      [&](size_t b, size_t e, bool count_first, size_t) {
        n = count_first ? 8 : 0;
        CategoriesSize categories;
        each_view(r, b, e, [&](const DistributionView& v) { n += view_size(v, categories); });
      },
      [&](std::span<const model::JointDistributionObject> list, bool count_first, size_t) {
        n = count_first ? 8 : 0;
        for (const auto& j : list) n += encoded_size(j);
      });
  return n;
}

void encode_distribution_file_part(const DistributionFileSource& r, const DistributionFileParts& parts,
                                   size_t part, uint64_t size, std::string& out) {
  out.resize(static_cast<size_t>(size));
  Writer w(out.data(), out.size(), nullptr);
  with_source_part(
      r, parts, part,
      [&](size_t b, size_t e, bool count_first, size_t list_size) {
        if (count_first) w.fixed(static_cast<uint64_t>(list_size));
        each_view(r, b, e, [&](const DistributionView& v) { put_view(w, v); });
      },
      [&](std::span<const model::JointDistributionObject> list, bool count_first, size_t list_size) {
        if (count_first) w.fixed(static_cast<uint64_t>(list_size));
        for (const auto& j : list) w.put(j);
      });
  QUOR_ASSERT(static_cast<uint64_t>(w.pos() - out.data()) == size,
              "encoded part size must match the computed size");
}

uint64_t stored_record_size(const DistIndexSource& r) {
  uint64_t n = 8;
  r.visit([&n](std::string_view key, uint64_t) { n += 16 + key.size(); });
  return n;
}

void encode_stored_record_to(const DistIndexSource& r, const EncodedChunkSink& sink) {
  Writer w(thread_encode_buffer(), kEncodeBuffer, &sink);
  w.fixed(static_cast<uint64_t>(r.entries));
  r.visit([&w](std::string_view key, uint64_t id) {
    w.put(key);
    w.fixed(id);
  });
  w.flush();
}

size_t dist_index_part_count(const DistIndexSource& r, size_t group) {
  return r.entries == 0 ? 1 : (r.entries + group - 1) / group;
}

void encode_dist_index_part(const DistIndexSource& r, size_t group, size_t part, std::string& out) {
  out.clear();
  auto put_u64 = [&out](uint64_t v) {
    v = to_little(v);
    out.append(reinterpret_cast<const char*>(&v), 8);
  };
  if (part == 0) put_u64(static_cast<uint64_t>(r.entries));
  const size_t first = part * group;
  const size_t last = std::min(r.entries, first + group);
  if (first >= last) return;
  r.visit_range(first, last, [&](std::string_view key, uint64_t id) {
    put_u64(static_cast<uint64_t>(key.size()));
    out.append(key);
    put_u64(id);
  });
}

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

}  // namespace quor::store
