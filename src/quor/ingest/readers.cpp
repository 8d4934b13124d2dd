#include "quor/ingest/readers.h"

#include "quor/util/ascii.h"
#include "quor/util/utf8.h"

namespace quor::ingest {

std::string input_extension(std::string_view path) {
  // The last component, as a path library sees it: trailing separators and
  // "." components do not count; ".." has no file name.
  for (;;) {
    while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
    if (path.size() >= 2 && path.substr(path.size() - 2) == "/.") {
      path.remove_suffix(1);
      continue;
    }
    break;
  }
  size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == "." || name == "..") return {};
  size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return {};
  std::string ext(name.substr(dot + 1));
  if (!util::is_valid_utf8(ext)) return {};
  util::ascii_lower_in_place(ext);
  return ext;
}

Result<InputFormat> input_format_for(std::string_view path) {
  const std::string ext = input_extension(path);
  if (ext == "csv") return InputFormat::Csv;
  if (ext == "json" || ext == "jsonl") return InputFormat::JsonLines;
  if (ext == "parquet") return Error("parquet ingestion requires enabling the 'parquet' feature");
  return Error("unsupported ingestion format '" + ext + "'; expected csv/json/parquet");
}

}  // namespace quor::ingest
