// The JSON value parser: one value into a JsonValue over the shared cursor.
#include "quor/util/json.h"

#include <tuple>
#include <utility>

#include "quor/util/json_reader.h"

namespace quor::util {

namespace {

bool parse_value(JsonReader& r, JsonValue& out) {
  using Start = JsonReader::ValueStart;
  Start kind = Start::Null;
  std::string_view text;
  JsonNumber number;
  if (!r.read_value_start(kind, text, number)) return false;
  switch (kind) {
    case Start::Null: out.v.emplace<0>(); return true;
    case Start::True: out.v.emplace<1>(true); return true;
    case Start::False: out.v.emplace<1>(false); return true;
    case Start::String: out.v.emplace<3>(text); return true;
    case Start::Number: out.v.emplace<2>(number); return true;
    case Start::Array: {
      JsonArray& arr = out.v.emplace<4>();
      return r.read_array([&] {
        arr.emplace_back();
        return parse_value(r, arr.back());
      });
    }
    case Start::Object: {
      JsonObject& obj = out.v.emplace<5>();
      return r.read_object([&](std::string_view k) {
        // The member's slot is made first and the value parsed into it; a
        // repeated name parses into (and so replaces) the earlier value.
        auto it = obj.lower_bound(k);
        if (it == obj.end() || it->first != k) {
          it = obj.emplace_hint(it, std::piecewise_construct, std::forward_as_tuple(k),
                                std::forward_as_tuple());
        } else {
          it->second = JsonValue();
        }
        return r.map_colon() && parse_value(r, it->second);
      });
    }
  }
  return false;
}

}  // namespace

// GCC 12 reports a false "may be used uninitialized" inside the variant move
// of a JsonValue into its Result.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
Result<JsonValue> parse_json_value(std::string_view text) {
  JsonReader r(text);
  JsonValue v;
  if (!parse_value(r, v)) return r.take_error();
  if (r.peek_nonws() >= 0) {
    r.fail_peek("trailing characters");
    return r.take_error();
  }
  return v;
}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace quor::util
