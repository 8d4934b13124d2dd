// The result of every statement: column titles and rows of text cells.
#pragma once

#include <string>
#include <vector>

#include "quor/sql/text_rows.h"

namespace quor::sql {

struct QueryResult {
  std::vector<std::string> header;
  TextRows rows;
  bool operator==(const QueryResult&) const = default;
};

// The aligned text table (the Python object's text form).
std::string format_query_result(const QueryResult& result);
// CSV text: "," separated, quoted where needed, "\n" line ends.
std::string query_result_to_csv(const QueryResult& result);
// JSON text: one object of title -> cell per row.
std::string query_result_to_json(const QueryResult& result);

}  // namespace quor::sql

namespace quor::sql {

// One cell as a CSV field: enclosed in quotation marks (inner marks doubled)
// when it holds a comma, a quotation mark or a line feed; otherwise unchanged.
std::string csv_quote_field(const std::string& cell);
// Backslash, quotation mark, line feed, carriage return and tab escaped with
// a backslash; nothing else.
std::string json_escape(const std::string& text);

}  // namespace quor::sql
