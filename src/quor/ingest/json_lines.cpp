#include "quor/ingest/internal/json_lines.h"

#include <algorithm>
#include <cstring>
#include <optional>

#include <oneapi/tbb/parallel_for.h>

#include "quor/ingest/file_bytes.h"
#include "quor/util/utf8.h"
#include "quor/ingest/internal/worker_pool.h"
#include "quor/util/json.h"

namespace quor::ingest {

namespace {

struct LineResult {
  std::optional<InputRecord> record;
  std::optional<Error> error;
};

LineResult parse_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  LineResult r;
  if (!util::is_valid_utf8(line)) {
    r.error = Error("stream did not contain valid UTF-8").add_context("read json line");
    return r;
  }
  auto parsed = util::parse_json_value(line);
  if (!parsed.ok()) {
    r.error = std::move(parsed).error().add_context("parse json line");
    return r;
  }
  if (auto* obj = parsed->as_object()) r.record = std::move(*obj);
  return r;
}

}  // namespace

Result<std::vector<InputRecord>> parse_json_lines_bytes(std::string_view bytes) {
  std::vector<std::string_view> lines;
  size_t pos = 0;
  while (pos < bytes.size()) {
    const void* nl = std::memchr(bytes.data() + pos, '\n', bytes.size() - pos);
    size_t e = nl ? static_cast<size_t>(static_cast<const char*>(nl) - bytes.data()) : bytes.size();
    lines.push_back(bytes.substr(pos, e - pos));
    pos = e + 1;
  }
  std::vector<LineResult> results(lines.size());
  worker_arena().execute([&] {
    oneapi::tbb::parallel_for(size_t(0), lines.size(),
                              [&](size_t i) { results[i] = parse_line(lines[i]); });
  });
  std::vector<InputRecord> out;
  for (auto& r : results) {
    if (r.error) return std::move(*r.error);
    if (r.record) out.push_back(std::move(*r.record));
  }
  return out;
}

Result<std::vector<InputRecord>> read_json_lines(const std::string& path) {
  FileBytes bytes;
  FileReadError err{ReadStage::Open, Error("")};
  if (!read_file_bytes(path, bytes, err)) {
    if (err.stage == ReadStage::Open) return std::move(err.error).add_context("open json file " + path);
    return std::move(err.error).add_context("read json line");
  }
  return parse_json_lines_bytes(bytes.view());
}

}  // namespace quor::ingest
