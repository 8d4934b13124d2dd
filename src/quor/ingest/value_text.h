// Text forms of input values shared by inference, preparation, the
// per-record step and the raw-log payload.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "quor/util/json_value.h"

namespace quor::ingest {

// Parses a floating-point literal: an optional sign, then inf, infinity or
// nan in any letter case, or digits with an optional fraction ("12", "12.",
// "12.5", ".5") and an optional exponent. Nothing else is accepted, no white
// space either. Magnitudes beyond the double range give an infinity.
std::optional<double> parse_float_text(std::string_view text);

// The JSON number text: integers in plain decimal, other numbers as the
// shortest text that reads back to the same double, always with a decimal
// point or an exponent (non-finite values give "null").
std::string json_number_text(const util::JsonNumber& n);
void append_json_number(std::string& out, const util::JsonNumber& n);
void append_json_float(std::string& out, double v);

// Appends a JSON string literal (quotes included); only the quotation mark,
// the backslash and control characters are escaped (the same text as the
// shared JSON writer, found eight bytes at a time).
void append_json_string(std::string& out, std::string_view text);
// Appends the compact JSON text of a value (objects in member order).
void append_json_value(std::string& out, const util::JsonValue& v);

// The text a value stands for in a text column or a dimension: booleans as
// true/false, numbers as their JSON number text, texts as themselves, arrays
// and objects as compact JSON. Null gives "null".
std::string value_as_text(const util::JsonValue& v);

// At least 10 bytes after trimming, digits at 1-4, "-" or "/" at 5, digits at
// 6-7, "-" or "/" at 8, digits at 9-10; anything may follow.
bool is_date_like(std::string_view text);

}  // namespace quor::ingest
