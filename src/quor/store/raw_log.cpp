#include "quor/store/raw_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>
#include <system_error>

#include "quor/store/file_io.h"
#include "quor/util/json.h"

namespace quor::store {

namespace {

constexpr std::string_view kSegmentName = "log_000001.raw";
// Checks, piece by piece, that one line of the segment (its line feed
// left out) is a whole record line, {"payload":V,"record_id":N}, and reads N.
// V is followed through its strings, escapes and brackets only: the first
// comma outside them ends it. No proper prefix of a whole line passes, so a
// line cut anywhere (and perhaps ended later by a line feed) is never taken
// for one, whatever its payload holds.
class RecordLineCheck {
 public:
  // False once the line can no longer pass (the rest need not be fed).
  bool feed(std::string_view piece) {
    for (char c : piece) {
      if (!step(c)) return false;
    }
    return true;
  }
  // The line's record id, when the line fed was whole.
  std::optional<uint64_t> id() const {
    if (state_ != State::Closed) return std::nullopt;
    return id_;
  }

 private:
  enum class State { Head, Value, IdMember, Digits, Closed, Failed };
  static constexpr std::string_view kHead = kRawLineStart;
  static constexpr std::string_view kId = kRawLineIdMember.substr(1);  // after the comma

  bool step(char c) {
    switch (state_) {
      case State::Head:
        if (c != kHead[at_]) return fail();
        if (++at_ == kHead.size()) state_ = State::Value;
        return true;
      case State::Value: return value_step(c);
      case State::IdMember:
        if (c != kId[at_]) return fail();
        if (++at_ == kId.size()) state_ = State::Digits;
        return true;
      case State::Digits:
        if (c >= '0' && c <= '9') {
          const uint64_t d = static_cast<uint64_t>(c - '0');
          if (id_ > (UINT64_MAX - d) / 10) return fail();
          id_ = id_ * 10 + d;
          ++digits_;
          return true;
        }
        if (c != '}' || digits_ == 0) return fail();
        state_ = State::Closed;
        return true;
      case State::Closed:
      case State::Failed: return fail();
    }
    return fail();
  }

  bool value_step(char c) {
    if (in_string_) {
      if (escaped_) {
        escaped_ = false;
      } else if (c == '\\') {
        escaped_ = true;
      } else if (c == '"') {
        in_string_ = false;
      }
    } else if (c == '"') {
      in_string_ = true;
    } else if (c == '{' || c == '[') {
      ++depth_;
    } else if (c == '}' || c == ']') {
      if (depth_ == 0) return fail();
      --depth_;
    } else if (c == ',' && depth_ == 0) {
      if (value_bytes_ == 0) return fail();
      state_ = State::IdMember;
      at_ = 0;
      return true;
    }
    ++value_bytes_;
    return true;
  }

  bool fail() {
    state_ = State::Failed;
    return false;
  }

  State state_ = State::Head;
  size_t at_ = 0;
  bool in_string_ = false;
  bool escaped_ = false;
  uint64_t depth_ = 0;
  uint64_t value_bytes_ = 0;
  uint64_t id_ = 0;
  int digits_ = 0;
};

// How far back from its end the segment is searched for its last whole
// line. Lines are records, far shorter; a tail without one this long (a
// file of zeros, say) is refused instead of being scanned for minutes.
constexpr off_t kTailScanLimit = off_t{256} << 20;

// Reads a regular file backwards and forwards through one cached block.
class BlockReader {
 public:
  BlockReader(int fd, off_t size) : fd_(fd), size_(size) {}

  // The block holding byte `pos`, from `block_start()` on.
  Result<std::string_view> block_at(off_t pos) {
    const off_t start = pos / kBlock * kBlock;
    if (start != start_) {
      const size_t want = static_cast<size_t>(std::min<off_t>(kBlock, size_ - start));
      size_t have = 0;
      while (have < want) {
        QUOR_ASSIGN_OR_RETURN(size_t n, file_ops().pread(fd_, buf_.data() + have, want - have,
                                                         start + static_cast<off_t>(have)));
        if (n == 0) return util::os_error(EIO);  // shrank while read
        have += n;
      }
      start_ = start;
      len_ = have;
    }
    return std::string_view(buf_.data(), len_);
  }
  off_t block_start() const { return start_; }

 private:
  static constexpr off_t kBlock = 1 << 16;
  int fd_;
  off_t size_;
  std::string buf_ = std::string(kBlock, '\0');
  off_t start_ = -1;
  size_t len_ = 0;
};

// The start of the line that ends at `end` (exclusive): just after the line
// feed before it, or 0. Nothing when that lies before `floor`.
Result<std::optional<off_t>> line_start(BlockReader& r, off_t end, off_t floor) {
  off_t pos = end;
  while (pos > 0) {
    if (pos <= floor) return std::optional<off_t>();
    QUOR_ASSIGN_OR_RETURN(std::string_view block, r.block_at(pos - 1));
    const off_t from = std::max(floor, r.block_start());
    const size_t n = static_cast<size_t>(pos - from);
    const void* lf = ::memrchr(block.data() + (from - r.block_start()), '\n', n);
    if (lf != nullptr) {
      return std::optional<off_t>(r.block_start() +
                                  (static_cast<const char*>(lf) - block.data()) + 1);
    }
    pos = from;
  }
  return std::optional<off_t>(0);
}

// The record id of the line [start, end), when it is a whole record line.
Result<std::optional<uint64_t>> line_id(BlockReader& r, off_t start, off_t end) {
  RecordLineCheck check;
  for (off_t pos = start; pos < end;) {
    QUOR_ASSIGN_OR_RETURN(std::string_view block, r.block_at(pos));
    const size_t from = static_cast<size_t>(pos - r.block_start());
    const size_t n = static_cast<size_t>(std::min<off_t>(end - pos, static_cast<off_t>(block.size() - from)));
    if (!check.feed(block.substr(from, n))) return std::optional<uint64_t>();
    pos += static_cast<off_t>(n);
  }
  return check.id();
}

}  // namespace

bool segment_ends_inside_line(int fd) {
  FileOps& ops = file_ops();
  auto st = ops.fstat(fd);
  if (!st.ok() || st->st_size == 0) return false;
  char last = '\n';
  auto n = ops.pread(fd, &last, 1, st->st_size - 1);
  return n.ok() && *n == 1 && last != '\n';
}

Result<RawLog> open_raw_log(const std::filesystem::path& raw_dir) {
  FileOps& ops = file_ops();
  QUOR_RETURN_IF_ERROR(ops.create_directories(raw_dir).context("create raw dir " + raw_dir.string()));
  RawLog log{raw_dir / std::string(kSegmentName)};
  if (!path_has_metadata(log.segment_path)) {
    auto fd = ops.open(log.segment_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (!fd.ok()) return std::move(fd).error().add_context("create " + log.segment_path.string());
  }
  return log;
}

Result<std::optional<uint64_t>> last_raw_record_id(const RawLog& log) {
  const std::string context = "read raw segment " + log.segment_path.string();
  auto opened = open_regular_file(log.segment_path, O_RDONLY);
  if (!opened.ok()) {
    if (opened.error().root() == util::os_error_text(ENOENT)) return std::optional<uint64_t>();
    return std::move(opened).error().add_context(context);
  }
  const UniqueFd fd = std::move(opened).value();
  auto st = file_ops().fstat(fd.get());
  if (!st.ok()) return std::move(st).error().add_context(context);
  const off_t size = st->st_size;
  BlockReader reader(fd.get(), size);
  const off_t floor = size > kTailScanLimit ? size - kTailScanLimit : 0;
  // Lines from the last one back: a line feed ends each but perhaps the last.
  off_t end = size;
  if (end > 0) {
    auto last = reader.block_at(end - 1);
    if (!last.ok()) return std::move(last).error().add_context(context);
    if ((*last)[static_cast<size_t>(end - 1 - reader.block_start())] == '\n') --end;
  }
  while (end > 0) {
    auto start = line_start(reader, end, floor);
    if (!start.ok()) return std::move(start).error().add_context(context);
    if (!*start) {
      return Error("no whole record line in its last " + std::to_string(kTailScanLimit) + " bytes")
          .add_context(context);
    }
    auto id = line_id(reader, **start, end);
    if (!id.ok()) return std::move(id).error().add_context(context);
    if (*id) return id;
    end = **start - 1;  // the line feed before it; -1 at the file's start
  }
  return std::optional<uint64_t>();
}

}  // namespace quor::store
