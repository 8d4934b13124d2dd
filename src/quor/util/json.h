// JSON text: a one-pass reader into JsonValue and the compact writer.
//
// Reader failures carry the decoder's message followed by
// " at line L column C". The writer is compact (no white space), objects in
// byte-wise member order, only the quotation mark, the backslash and control
// characters escaped, integers in decimal, finite floats as the shortest text
// that reads back as the same double (always with a decimal point or an
// exponent), non-finite floats as null.
#pragma once

#include <string>
#include <string_view>

#include "quor/util/error.h"
#include "quor/util/json_value.h"

namespace quor::util {

// Parses exactly one JSON value (white space around it allowed, nothing else
// after it; nesting deeper than 128 levels fails).
Result<JsonValue> parse_json_value(std::string_view text);

// Appends the compact text of `value` to `out`.
void write_json(std::string& out, const JsonValue& value);
// Appends a JSON string literal (quotes included) with the writer's escapes.
void write_json_string(std::string& out, std::string_view text);
// Whether write_json_string writes `text` unchanged between two quotes: no
// control byte, quote or backslash in it.
bool json_text_is_plain(std::string_view text);
// Appends a finite double by the writer's float rule (null when not finite).
void write_json_double(std::string& out, double value);
// Appends a number: integers in plain decimal, floats by the float rule.
void write_json_number(std::string& out, const JsonNumber& n);

}  // namespace quor::util
