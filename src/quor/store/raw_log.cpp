#include "quor/store/raw_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <string>
#include <system_error>

#include "quor/store/file_io.h"
#include "quor/util/json.h"

namespace quor::store {

namespace {

constexpr std::string_view kSegmentName = "log_000001.raw";
constexpr std::string_view kIdMember = ",\"record_id\":";

void append_line(std::string& out, uint64_t record_id, const util::JsonValue& payload) {
  out += "{\"payload\":";
  util::write_json(out, payload);
  out += kIdMember;
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, record_id);
  out.append(buf, r.ptr);
  out += "}\n";
}

Status write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return util::os_error(errno);
    }
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return ok_status();
}

// True when the file is non-empty and its last byte is not a line feed.
bool ends_inside_line(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size == 0) return false;
  char last = '\n';
  if (::pread(fd, &last, 1, st.st_size - 1) != 1) return false;
  return last != '\n';
}

// Appends `text` (complete lines) to the segment in one write, after a line
// feed when the segment ends inside a line.
Status append_text(const RawLog& log, std::string& text) {
  int fd = ::open(log.segment_path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    return Status(util::os_error(errno)).context("open raw segment " + log.segment_path.string());
  }
  std::string_view bytes = text;
  std::string completed;
  if (ends_inside_line(fd)) {
    completed.reserve(text.size() + 1);
    completed += '\n';
    completed += text;
    bytes = completed;
  }
  Status st = write_all(fd, bytes).context("append raw line");
  ::close(fd);
  return st;
}

// The id at the end of `line` when it reads ...,"record_id":N}.
std::optional<uint64_t> id_at_end(std::string_view line) {
  if (line.empty() || line.back() != '}') return std::nullopt;
  line.remove_suffix(1);
  size_t digits = 0;
  while (digits < line.size() && line[line.size() - 1 - digits] >= '0' &&
         line[line.size() - 1 - digits] <= '9') {
    ++digits;
  }
  if (digits == 0 || digits > 20) return std::nullopt;
  std::string_view num = line.substr(line.size() - digits);
  line.remove_suffix(digits);
  if (line.size() < kIdMember.size() || line.substr(line.size() - kIdMember.size()) != kIdMember) {
    return std::nullopt;
  }
  uint64_t v = 0;
  auto r = std::from_chars(num.data(), num.data() + num.size(), v);
  if (r.ec != std::errc()) return std::nullopt;
  return v;
}

}  // namespace

Result<RawLog> open_raw_log(const std::filesystem::path& raw_dir) {
  std::error_code ec;
  std::filesystem::create_directories(raw_dir, ec);
  if (ec) return Result<RawLog>(util::os_error(ec.value())).context("create raw dir " + raw_dir.string());
  RawLog log{raw_dir / std::string(kSegmentName)};
  if (!path_has_metadata(log.segment_path)) {
    int fd = ::open(log.segment_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
      return Result<RawLog>(util::os_error(errno)).context("create " + log.segment_path.string());
    }
    ::close(fd);
  }
  return log;
}

Status append_raw_record(const RawLog& log, uint64_t record_id, const util::JsonValue& payload) {
  std::string line;
  append_line(line, record_id, payload);
  return append_text(log, line);
}

Status append_raw_records(const RawLog& log, uint64_t first_id,
                          std::span<const util::JsonValue> payloads) {
  if (payloads.empty()) return ok_status();
  std::string text;
  for (size_t i = 0; i < payloads.size(); ++i) append_line(text, first_id + i, payloads[i]);
  return append_text(log, text);
}

std::optional<uint64_t> last_raw_record_id(const RawLog& log) {
  int fd = ::open(log.segment_path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size == 0) {
    ::close(fd);
    return std::nullopt;
  }
  const off_t size = st.st_size;
  // The tail is enough for a line that is complete or lacks only its line
  // feed: its id stands at its very end.
  char tail[64];
  const off_t tail_len = std::min<off_t>(size, sizeof tail);
  if (::pread(fd, tail, static_cast<size_t>(tail_len), size - tail_len) != tail_len) {
    ::close(fd);
    return std::nullopt;
  }
  std::string_view t(tail, static_cast<size_t>(tail_len));
  bool has_lf = !t.empty() && t.back() == '\n';
  if (has_lf) t.remove_suffix(1);
  if (auto id = id_at_end(t)) {
    ::close(fd);
    return id;
  }
  if (has_lf) {
    ::close(fd);
    return std::nullopt;
  }
  // The last line was cut short: look at the complete line before it.
  off_t end = size;
  char buf[1 << 16];
  while (end > 0) {
    off_t start = std::max<off_t>(0, end - static_cast<off_t>(sizeof buf));
    ssize_t n = ::pread(fd, buf, static_cast<size_t>(end - start), start);
    if (n != end - start) break;
    for (off_t i = n - 1; i >= 0; --i) {
      if (buf[i] != '\n') continue;
      off_t lf = start + i;  // end of the previous complete line
      off_t from = std::max<off_t>(0, lf - static_cast<off_t>(sizeof tail));
      ssize_t m = ::pread(fd, tail, static_cast<size_t>(lf - from), from);
      ::close(fd);
      if (m != lf - from) return std::nullopt;
      return id_at_end(std::string_view(tail, static_cast<size_t>(m)));
    }
    end = start;
  }
  ::close(fd);
  return std::nullopt;
}

}  // namespace quor::store
