// The JSON value model shared by the JSON reader, the JSON writer, the raw
// log and ingestion.
//
// Numbers keep the three kinds a JSON reader distinguishes: a non-negative
// integer that fits u64, a negative integer that fits i64, and everything
// else as a double (fractions, exponents, integers beyond both ranges).
// Objects keep their members in ascending byte-wise order of the names; a
// repeated name replaces the earlier value.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace quor::util {

struct JsonNumber {
  enum class Kind { PosInt, NegInt, Float };
  Kind kind = Kind::PosInt;
  uint64_t u = 0;    // when PosInt
  int64_t i = 0;     // when NegInt
  double f = 0.0;    // when Float

  static JsonNumber pos_int(uint64_t v) { return {Kind::PosInt, v, 0, 0.0}; }
  static JsonNumber neg_int(int64_t v) { return {Kind::NegInt, 0, v, 0.0}; }
  static JsonNumber from_double(double v) { return {Kind::Float, 0, 0, v}; }
  // Integers that fit i64 are made NegInt only when negative.
  static JsonNumber from_int(int64_t v) {
    return v < 0 ? neg_int(v) : pos_int(static_cast<uint64_t>(v));
  }

  bool is_integer() const { return kind != Kind::Float; }
  // The value as the nearest double.
  double as_double() const {
    switch (kind) {
      case Kind::PosInt: return static_cast<double>(u);
      case Kind::NegInt: return static_cast<double>(i);
      case Kind::Float: break;
    }
    return f;
  }
  bool operator==(const JsonNumber& o) const {
    if (kind != o.kind) return false;
    switch (kind) {
      case Kind::PosInt: return u == o.u;
      case Kind::NegInt: return i == o.i;
      case Kind::Float: break;
    }
    return f == o.f;
  }
};

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
using JsonObject = std::map<std::string, JsonValue, std::less<>>;

struct JsonValue {
  // Index: 0 null, 1 bool, 2 number, 3 string, 4 array, 5 object.
  std::variant<std::monostate, bool, JsonNumber, std::string, JsonArray, JsonObject> v;

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : v(b) {}
  JsonValue(JsonNumber n) : v(n) {}
  JsonValue(std::string s) : v(std::move(s)) {}
  JsonValue(const char* s) : v(std::string(s)) {}
  JsonValue(JsonArray a) : v(std::move(a)) {}
  JsonValue(JsonObject o) : v(std::move(o)) {}

  bool is_null() const { return v.index() == 0; }
  bool is_bool() const { return v.index() == 1; }
  bool is_number() const { return v.index() == 2; }
  bool is_string() const { return v.index() == 3; }
  bool is_array() const { return v.index() == 4; }
  bool is_object() const { return v.index() == 5; }

  const bool* as_bool() const { return std::get_if<bool>(&v); }
  const JsonNumber* as_number() const { return std::get_if<JsonNumber>(&v); }
  const std::string* as_string() const { return std::get_if<std::string>(&v); }
  const JsonArray* as_array() const { return std::get_if<JsonArray>(&v); }
  const JsonObject* as_object() const { return std::get_if<JsonObject>(&v); }
  JsonObject* as_object() { return std::get_if<JsonObject>(&v); }

  bool operator==(const JsonValue& o) const { return v == o.v; }
};

}  // namespace quor::util
