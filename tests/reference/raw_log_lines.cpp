#include "reference/raw_log_lines.h"

#include <fcntl.h>

#include <charconv>
#include <string>
#include <string_view>

#include "quor/store/file_io.h"
#include "quor/util/json.h"

namespace quor::reference {

namespace {

void append_line(std::string& out, uint64_t record_id, const util::JsonValue& payload) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, record_id);
  store::append_raw_line(out, std::string_view(buf, static_cast<size_t>(r.ptr - buf)),
                         [&](std::string& o) { util::write_json(o, payload); });
}

// Appends `text` (complete lines) to the segment in one write, after a line
// feed when the segment ends inside a line.
Status append_text(const store::RawLog& log, const std::string& text) {
  auto fd = store::open_regular_file(log.segment_path, O_RDWR | O_APPEND | O_CREAT);
  if (!fd.ok()) return std::move(fd).error().add_context("open raw segment " + log.segment_path.string());
  std::string_view bytes = text;
  std::string completed;
  if (store::segment_ends_inside_line(fd->get())) {
    completed.reserve(text.size() + 1);
    completed += '\n';
    completed += text;
    bytes = completed;
  }
  return store::write_all(store::file_ops(), fd->get(), bytes).context("append raw line");
}

}  // namespace

Status append_raw_record(const store::RawLog& log, uint64_t record_id, const util::JsonValue& payload) {
  std::string line;
  append_line(line, record_id, payload);
  return append_text(log, line);
}

Status append_raw_records(const store::RawLog& log, uint64_t first_id,
                          std::span<const util::JsonValue> payloads) {
  if (payloads.empty()) return ok_status();
  std::string text;
  for (size_t i = 0; i < payloads.size(); ++i) append_line(text, first_id + i, payloads[i]);
  return append_text(log, text);
}

}  // namespace quor::reference
