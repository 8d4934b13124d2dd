// The JSON-lines reader: one JSON value per line; objects become records,
// every other value is dropped.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quor/ingest/input_record.h"
#include "quor/util/error.h"

namespace quor::ingest {

// Parses the bytes of a JSON-lines file. Lines end at LF (a CR directly
// before it is dropped); the last line needs no terminator. A line that is
// not UTF-8 fails with "read json line", a line that is not exactly one JSON
// value (a blank line included) with "parse json line"; the first failing
// line in file order is reported.
Result<std::vector<InputRecord>> parse_json_lines_bytes(std::string_view bytes);

// Reads and parses the file; an open failure gets "open json file {path}".
Result<std::vector<InputRecord>> read_json_lines(const std::string& path);

}  // namespace quor::ingest
