// The JSON value parser: one value into a JsonValue over the shared cursor.
#include "quor/util/json.h"

#include <tuple>
#include <utility>

#include "quor/util/ascii.h"
#include "quor/util/json_reader.h"

namespace quor::util {

namespace {

bool parse_value(JsonReader& r, JsonValue& out) {
  int c = r.peek_nonws();
  switch (c) {
    case -1:
      return r.fail_peek("EOF while parsing a value");
    case 'n':
      r.bump();
      if (!r.read_ident("ull")) return false;
      out.v.emplace<0>();
      return true;
    case 't':
      r.bump();
      if (!r.read_ident("rue")) return false;
      out.v.emplace<1>(true);
      return true;
    case 'f':
      r.bump();
      if (!r.read_ident("alse")) return false;
      out.v.emplace<1>(false);
      return true;
    case '"': {
      r.bump();
      std::string_view s;
      if (!r.read_string(s)) return false;
      out.v.emplace<3>(s);
      return true;
    }
    case '[': {
      JsonArray& arr = out.v.emplace<4>();
      return r.read_array([&] {
        arr.emplace_back();
        return parse_value(r, arr.back());
      });
    }
    case '{': {
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
    default:
      if (c == '-' || is_ascii_digit(c)) {
        JsonNumber n;
        if (!r.read_number(n)) return false;
        out.v.emplace<2>(n);
        return true;
      }
      return r.fail_peek("expected value");
  }
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
