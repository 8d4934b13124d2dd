#include "quor/sql/query_result.h"

#include <algorithm>
#include <string_view>

#include "quor/util/utf8.h"

namespace quor::sql {

namespace {

// Widths above this are beyond the table layout; such columns are written
// without fill.
constexpr size_t kMaxFillWidth = 65535;

void append_filled(std::string& out, std::string_view cell, size_t width) {
  out += cell;
  if (width > kMaxFillWidth) return;
  size_t chars = util::utf8_char_count(cell);
  if (width > chars) out.append(width - chars, ' ');
}

}  // namespace

std::string format_query_result(const QueryResult& result) {
  const auto& header = result.header;
  if (header.empty()) return {};
  std::vector<size_t> widths(header.size());
  for (size_t i = 0; i < header.size(); ++i) widths[i] = header[i].size();
  for (const auto& row : result.rows)
    for (size_t i = 0; i < row.size() && i < header.size(); ++i)
      widths[i] = std::max(widths[i], row[i].size());

  std::string out;
  auto write_line = [&](const auto& cells) {
    for (size_t i = 0; i < cells.size() && i < header.size(); ++i) {
      if (i > 0) out += "  ";
      append_filled(out, cells[i], widths[i]);
    }
    out += '\n';
  };
  write_line(header);
  for (size_t i = 0; i < header.size(); ++i) {
    if (i > 0) out += "  ";
    for (size_t k = 0; k < widths[i]; ++k) out += "\xE2\x94\x80";  // U+2500
  }
  out += '\n';
  for (const auto& row : result.rows) write_line(row);
  return out;
}

namespace {

void append_csv_field(std::string& out, std::string_view cell) {
  if (cell.find_first_of(",\"\n") == std::string_view::npos) {
    out += cell;
    return;
  }
  out += '"';
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

void append_json_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default: out += c;
    }
  }
}

}  // namespace

std::string csv_quote_field(const std::string& cell) {
  std::string out;
  append_csv_field(out, cell);
  return out;
}

std::string query_result_to_csv(const QueryResult& result) {
  std::string out;
  auto write_line = [&](const auto& cells) {
    for (size_t i = 0; i < cells.size(); ++i) {
      if (i > 0) out += ',';
      append_csv_field(out, cells[i]);
    }
    out += '\n';
  };
  write_line(result.header);
  for (const auto& row : result.rows) write_line(row);
  return out;
}

std::string json_escape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  append_json_escaped(out, text);
  return out;
}

std::string query_result_to_json(const QueryResult& result) {
  static const std::string kEmpty;
  std::string out = "[\n";
  for (size_t r = 0; r < result.rows.size(); ++r) {
    const auto& row = result.rows[r];
    out += "  {";
    for (size_t i = 0; i < row.size(); ++i) {
      if (i > 0) out += ", ";
      const std::string& key = i < result.header.size() ? result.header[i] : kEmpty;
      out += '"';
      append_json_escaped(out, key);
      out += "\": \"";
      append_json_escaped(out, row[i]);
      out += '"';
    }
    out += '}';
    if (r + 1 < result.rows.size()) out += ',';
    out += '\n';
  }
  out += ']';
  return out;
}

}  // namespace quor::sql
