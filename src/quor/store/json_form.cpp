#include "quor/store/json_form.h"

#include <array>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "quor/store/engine_error.h"
#include "quor/store/internal/record_fields.h"
#include "quor/util/json.h"
#include "quor/util/json_reader.h"

namespace quor::store {
namespace json_detail {

using util::JsonNumber;
using util::JsonReader;

bool is_digit(int c) { return c >= '0' && c <= '9'; }

std::string describe_number(const JsonNumber& n) {
  std::string out;
  switch (n.kind) {
    case JsonNumber::Kind::PosInt: return "integer `" + std::to_string(n.u) + "`";
    case JsonNumber::Kind::NegInt: return "integer `" + std::to_string(n.i) + "`";
    case JsonNumber::Kind::Float:
      out = "floating point `";
      util::write_json_double(out, n.f);
      out += '`';
      return out;
  }
  return out;
}

// Consumes the value that stands where `expected` was wanted and fails with
// "invalid type: {found}, expected {expected}".
bool fail_invalid_type(JsonReader& r, std::string_view expected) {
  using Start = JsonReader::ValueStart;
  Start kind = Start::Null;
  std::string_view text;
  JsonNumber number;
  if (!r.read_value_start(kind, text, number)) return false;
  std::string found;
  switch (kind) {
    case Start::Null: found = "null"; break;
    case Start::True: found = "boolean `true`"; break;
    case Start::False: found = "boolean `false`"; break;
    case Start::String: found = "string " + debug_quoted(text); break;
    case Start::Number: found = describe_number(number); break;
    case Start::Array: found = "sequence"; break;
    case Start::Object: found = "map"; break;
  }
  std::string msg = "invalid type: ";
  msg += found;
  msg += ", expected ";
  msg += expected;
  return r.fail_here(msg);
}

// ---- forward declarations of every reader ----

bool read(JsonReader& r, uint64_t& out);
bool read(JsonReader& r, uint32_t& out);
bool read(JsonReader& r, double& out);
bool read(JsonReader& r, bool& out);
bool read(JsonReader& r, std::string& out);
bool read(JsonReader& r, model::VariableType& out);
bool read(JsonReader& r, model::DistributionRepr& out);
bool read(JsonReader& r, model::JointRepr& out);
template <class T>
bool read(JsonReader& r, std::optional<T>& out);
template <class A, class B>
bool read(JsonReader& r, std::pair<A, B>& out);
template <class T>
bool read(JsonReader& r, std::vector<T>& out);
bool read(JsonReader& r, model::DimensionMap& out);
template <class V>
bool read(JsonReader& r, std::unordered_map<std::string, V>& out);
bool read(JsonReader& r, util::TextIdMap& out);

// Records and the fields of enum variants.
#define QUOR_JSON_RECORDS(X)                                                                  \
  X(model::MetaFile) X(model::Schema) X(model::VariableDefinition) X(model::ContinuousType) X(model::CategoricalType)            \
  X(model::DimensionDefinition) X(model::DistributionFile) X(model::DistributionObject) X(model::HistogramRepr)           \
  X(model::CategoricalRepr) X(model::JointDistributionObject) X(model::HistogramGridRepr) X(model::ContingencyTableRepr) \
  X(model::ConditionalHistogramsRepr) X(model::DistIndex) X(model::SnapshotStore) X(model::SnapshotEntry)
#define QUOR_DECLARE_READ(T) bool read(JsonReader& r, T& out);
QUOR_JSON_RECORDS(QUOR_DECLARE_READ)
#undef QUOR_DECLARE_READ

// ---- scalars ----

bool read_unsigned(JsonReader& r, uint64_t& out, uint64_t max, std::string_view what) {
  int c = r.peek_nonws();
  if (c != '-' && !is_digit(c)) return fail_invalid_type(r, what);
  JsonNumber n;
  if (!r.read_number(n)) return false;
  switch (n.kind) {
    case JsonNumber::Kind::PosInt:
      if (n.u > max) {
        return r.fail_here("invalid value: " + describe_number(n) + ", expected " + std::string(what));
      }
      out = n.u;
      return true;
    case JsonNumber::Kind::NegInt:
      return r.fail_here("invalid value: " + describe_number(n) + ", expected " + std::string(what));
    case JsonNumber::Kind::Float:
      break;
  }
  return r.fail_here("invalid type: " + describe_number(n) + ", expected " + std::string(what));
}

bool read(JsonReader& r, uint64_t& out) { return read_unsigned(r, out, UINT64_MAX, "u64"); }

bool read(JsonReader& r, uint32_t& out) {
  uint64_t v;
  if (!read_unsigned(r, v, UINT32_MAX, "u32")) return false;
  out = static_cast<uint32_t>(v);
  return true;
}

bool read(JsonReader& r, double& out) {
  int c = r.peek_nonws();
  if (c != '-' && !is_digit(c)) return fail_invalid_type(r, "f64");
  JsonNumber n;
  if (!r.read_number(n)) return false;
  out = n.as_double();
  return true;
}

bool read(JsonReader& r, bool& out) {
  int c = r.peek_nonws();
  if (c == 't') {
    r.bump();
    if (!r.read_ident("rue")) return false;
    out = true;
    return true;
  }
  if (c == 'f') {
    r.bump();
    if (!r.read_ident("alse")) return false;
    out = false;
    return true;
  }
  return fail_invalid_type(r, "a boolean");
}

bool read(JsonReader& r, std::string& out) {
  if (r.peek_nonws() != '"') return fail_invalid_type(r, "a string");
  r.bump();
  std::string_view s;
  if (!r.read_string(s)) return false;
  out.assign(s);
  return true;
}

// ---- containers ----

template <class T>
bool read(JsonReader& r, std::optional<T>& out) {
  if (r.peek_nonws() == 'n') {
    r.bump();
    if (!r.read_ident("ull")) return false;
    out.reset();
    return true;
  }
  out.emplace();
  return read(r, *out);
}

template <class A, class B>
bool read(JsonReader& r, std::pair<A, B>& out) {
  if (r.peek_nonws() != '[') return fail_invalid_type(r, "a tuple of size 2");
  if (!r.enter()) return false;
  r.bump();
  bool first = true;
  int k = r.seq_next(first);
  if (k < 0) return false;
  if (k == 0) return r.fail_here("invalid length 0, expected a tuple of size 2");
  if (!read(r, out.first)) return false;
  k = r.seq_next(first);
  if (k < 0) return false;
  if (k == 0) return r.fail_here("invalid length 1, expected a tuple of size 2");
  if (!read(r, out.second)) return false;
  if (!r.seq_end()) return false;
  r.leave();
  return true;
}

template <class T>
bool read(JsonReader& r, std::vector<T>& out) {
  if (r.peek_nonws() != '[') return fail_invalid_type(r, "a sequence");
  out.clear();
  return r.read_array([&] {
    out.emplace_back();
    return read(r, out.back());
  });
}

template <class Map>
bool read_map(JsonReader& r, Map& out) {
  if (r.peek_nonws() != '{') return fail_invalid_type(r, "a map");
  out.clear();
  return r.read_object([&](std::string_view key) {
    std::string name(key);
    if (!r.map_colon()) return false;
    typename Map::mapped_type value{};
    if (!read(r, value)) return false;
    out.insert_or_assign(std::move(name), std::move(value));
    return true;
  });
}

bool read(JsonReader& r, model::DimensionMap& out) { return read_map(r, out); }
template <class V>
bool read(JsonReader& r, std::unordered_map<std::string, V>& out) {
  return read_map(r, out);
}
bool read(JsonReader& r, util::TextIdMap& out) { return read_map(r, out); }

// ---- records ----

// Every record reads through its one field list (record_fields.h): the keys
// in declaration order, the fields that may be absent from the object form
// (`absent_ok`, a bit per field; the value in a default-constructed T is
// then kept) and the first field from which an array may end early
// (`array_min`).

// The position of `key` among T's fields, or the field count when absent.
template <class T>
size_t field_index(T& out, std::string_view key) {
  size_t i = 0;
  RecordFields<T>::each(out, [&](auto&, std::string_view k) {
    if (k == key) return false;
    ++i;
    return true;
  });
  return i;
}

template <class T>
std::string_view field_key(T& out, size_t idx) {
  size_t i = 0;
  std::string_view key;
  RecordFields<T>::each(out, [&](auto&, std::string_view k) {
    if (i++ != idx) return true;
    key = k;
    return false;
  });
  return key;
}

// Reads field `idx` of `out`.
template <class T>
bool read_field(JsonReader& r, T& out, size_t idx) {
  size_t i = 0;
  bool ok = true;
  RecordFields<T>::each(out, [&](auto& f, std::string_view) {
    if (i++ != idx) return true;
    ok = read(r, f);
    return false;
  });
  return ok;
}

template <class T>
std::string record_length_text() {
  const size_t n = record_field_count<T>();
  return std::string(RecordFields<T>::name) + " with " + std::to_string(n) +
         (n == 1 ? " element" : " elements");
}

template <class T>
bool read_record(JsonReader& r, T& out) {
  using R = RecordFields<T>;
  const size_t n = record_field_count<T>();
  int c = r.peek_nonws();
  if (c == '{') {
    uint32_t seen = 0;
    const bool read_all = r.read_object([&](std::string_view key) {
      const size_t idx = field_index(out, key);
      if (idx == n) return r.map_colon() && r.skip_value();
      if (seen & (1u << idx)) {
        return r.fail_here("duplicate field `" + std::string(field_key(out, idx)) + "`");
      }
      seen |= 1u << idx;
      return r.map_colon() && read_field(r, out, idx);
    });
    if (!read_all) return false;
    for (size_t i = 0; i < n; ++i) {
      uint32_t bit = 1u << i;
      if (!(seen & bit) && !(R::absent_ok & bit)) {
        return r.fail_here("missing field `" + std::string(field_key(out, i)) + "`");
      }
    }
    return true;
  }
  if (c == '[') {
    if (!r.enter()) return false;
    r.bump();
    bool first = true;
    for (size_t i = 0; i < n; ++i) {
      int k = r.seq_next(first);
      if (k < 0) return false;
      if (k == 0) {
        if (i >= R::array_min) break;  // the remaining fields take their defaults
        return r.fail_here("invalid length " + std::to_string(i) + ", expected " + record_length_text<T>());
      }
      if (!read_field(r, out, i)) return false;
    }
    if (!r.seq_end()) return false;
    r.leave();
    return true;
  }
  return fail_invalid_type(r, R::name);
}

#define QUOR_DEFINE_READ(T) \
  bool read(JsonReader& r, T& out) { return read_record(r, out); }
QUOR_JSON_RECORDS(QUOR_DEFINE_READ)
#undef QUOR_DEFINE_READ
#undef QUOR_JSON_RECORDS

// ---- enums ----

std::string variant_list(std::initializer_list<std::string_view> names) {
  std::string out;
  if (names.size() == 2) {
    out = "`" + std::string(*names.begin()) + "` or `" + std::string(*(names.begin() + 1)) + "`";
    return out;
  }
  out = "one of ";
  bool first = true;
  for (auto n : names) {
    if (!first) out += ", ";
    first = false;
    out += '`';
    out += n;
    out += '`';
  }
  return out;
}

// `alt(idx)` reads the fields of alternative idx into the enum.
template <class ReadAlt>
bool read_enum(JsonReader& r, std::initializer_list<std::string_view> names, ReadAlt&& alt) {
  auto find = [&](std::string_view name) -> int {
    int i = 0;
    for (auto n : names) {
      if (n == name) return i;
      ++i;
    }
    return -1;
  };
  auto unknown = [&](std::string_view name) {
    return r.fail_here("unknown variant `" + std::string(name) + "`, expected " +
                       variant_list(names));
  };
  int c = r.peek_nonws();
  if (c == '{') {
    if (!r.enter()) return false;
    r.bump();
    if (r.peek_nonws() != '"') return fail_invalid_type(r, "variant identifier");
    r.bump();
    std::string_view name;
    if (!r.read_string(name)) return false;
    int idx = find(name);
    if (idx < 0) return unknown(name);
    if (!r.map_colon()) return false;
    if (!alt(idx)) return false;
    int e = r.peek_nonws();
    if (e == '}') {
      r.bump();
      r.leave();
      return true;
    }
    if (e >= 0) return r.fail_here("expected value");
    return r.fail_here("EOF while parsing an object");
  }
  if (c == '"') {
    r.bump();
    std::string_view name;
    if (!r.read_string(name)) return false;
    if (find(name) < 0) return unknown(name);
    return r.fail_here("invalid type: unit variant, expected struct variant");
  }
  if (c < 0) return r.fail_peek("EOF while parsing a value");
  return r.fail_peek("expected value");
}

template <class Alt, class V>
bool read_alt(JsonReader& r, V& out) {
  Alt a{};
  if (!read(r, a)) return false;
  out = std::move(a);
  return true;
}

bool read(JsonReader& r, model::VariableType& out) {
  return read_enum(r, {"Continuous", "Categorical"}, [&](int idx) {
    return idx == 0 ? read_alt<model::ContinuousType>(r, out) : read_alt<model::CategoricalType>(r, out);
  });
}

bool read(JsonReader& r, model::DistributionRepr& out) {
  return read_enum(r, {"Histogram", "Categorical"}, [&](int idx) {
    return idx == 0 ? read_alt<model::HistogramRepr>(r, out) : read_alt<model::CategoricalRepr>(r, out);
  });
}

bool read(JsonReader& r, model::JointRepr& out) {
  return read_enum(r, {"HistogramGrid", "ContingencyTable", "ConditionalHistograms"},
                   [&](int idx) {
                     if (idx == 0) return read_alt<model::HistogramGridRepr>(r, out);
                     if (idx == 1) return read_alt<model::ContingencyTableRepr>(r, out);
                     return read_alt<model::ConditionalHistogramsRepr>(r, out);
                   });
}

template <class T>
Result<T> from_slice(std::string_view bytes) {
  JsonReader r(bytes);
  T out{};
  if (!read(r, out)) return r.take_error();
  if (r.peek_nonws() >= 0) {
    r.fail_peek("trailing characters");
    return r.take_error();
  }
  return out;
}

// ---- schema writer ----

void write_texts(std::string& out, const std::vector<std::string>& v) {
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ',';
    util::write_json_string(out, v[i]);
  }
  out += ']';
}

}  // namespace json_detail

Result<model::MetaFile> json_from_slice_meta_file(std::string_view bytes) {
  return json_detail::from_slice<model::MetaFile>(bytes);
}
Result<model::DistributionFile> json_from_slice_distribution_file(std::string_view bytes) {
  return json_detail::from_slice<model::DistributionFile>(bytes);
}
Result<model::DistIndex> json_from_slice_dist_index(std::string_view bytes) {
  return json_detail::from_slice<model::DistIndex>(bytes);
}
Result<model::SnapshotStore> json_from_slice_snapshot_store(std::string_view bytes) {
  return json_detail::from_slice<model::SnapshotStore>(bytes);
}

void write_schema_json(const model::Schema& schema, std::string& out) {
  using util::write_json_double;
  using util::write_json_string;
  out += "{\"variables\":[";
  for (size_t i = 0; i < schema.variables.size(); ++i) {
    const auto& v = schema.variables[i];
    if (i) out += ',';
    out += "{\"name\":";
    write_json_string(out, v.name);
    out += ",\"var_type\":";
    if (const auto* c = std::get_if<model::ContinuousType>(&v.var_type)) {
      out += "{\"Continuous\":{\"bins\":";
      out += std::to_string(c->bins);
      out += ",\"range\":";
      if (c->range) {
        out += '[';
        write_json_double(out, c->range->first);
        out += ',';
        write_json_double(out, c->range->second);
        out += ']';
      } else {
        out += "null";
      }
      out += "}}";
    } else {
      const auto& k = std::get<model::CategoricalType>(v.var_type);
      out += "{\"Categorical\":{\"categories\":";
      json_detail::write_texts(out, k.categories);
      out += ",\"allow_unknown\":";
      out += k.allow_unknown ? "true" : "false";
      out += "}}";
    }
    out += '}';
  }
  out += "],\"dimensions\":[";
  for (size_t i = 0; i < schema.dimensions.size(); ++i) {
    const auto& d = schema.dimensions[i];
    if (i) out += ',';
    out += "{\"name\":";
    write_json_string(out, d.name);
    out += ",\"source_column\":";
    write_json_string(out, d.source_column);
    out += ",\"granularity\":";
    if (d.granularity) {
      write_json_string(out, *d.granularity);
    } else {
      out += "null";
    }
    out += '}';
  }
  out += "],\"joints\":[";
  for (size_t i = 0; i < schema.joints.size(); ++i) {
    if (i) out += ',';
    out += '[';
    write_json_string(out, schema.joints[i].first);
    out += ',';
    write_json_string(out, schema.joints[i].second);
    out += ']';
  }
  out += "]}";
}

std::string schema_to_json(const model::Schema& schema) {
  std::string out;
  write_schema_json(schema, out);
  return out;
}

}  // namespace quor::store
