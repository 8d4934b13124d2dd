// Choice of the input reader by the file name's extension.
#pragma once

#include <string>
#include <string_view>

#include "quor/util/error.h"

namespace quor::ingest {

enum class InputFormat { Csv, JsonLines };

// The extension of the path's last component (text after its last "."; none
// when it has no dot or only a leading one, or when it is not UTF-8),
// lower-cased in ASCII.
std::string input_extension(std::string_view path);

// The reader for `path`: "csv" -> CSV, "json" or "jsonl" -> JSON lines.
// "parquet" fails with "parquet ingestion requires enabling the 'parquet'
// feature", anything else with "unsupported ingestion format '{}'; expected
// csv/json/parquet". Nothing is opened.
Result<InputFormat> input_format_for(std::string_view path);

}  // namespace quor::ingest
