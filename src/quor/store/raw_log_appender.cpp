#include "quor/store/raw_log_appender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "quor/store/file_io.h"
#include "quor/store/raw_log.h"

namespace quor::store {

Status RawLogAppender::append(const std::vector<std::string>& blocks, size_t nblocks,
                              const std::vector<uint32_t>& line_length, size_t& failed_line) {
  failed_line = 0;
  FileOps& ops = file_ops();
  if (!fd_.is_open()) {
    auto fd = open_regular_file(path_, O_RDWR | O_APPEND | O_CREAT);
    if (!fd.ok()) return std::move(fd).error().add_context("open raw segment " + path_.string());
    fd_ = std::move(fd).value();
  }
  static char kNewline = '\n';
  std::vector<iovec> iov;
  iov.reserve(nblocks + 1);
  size_t lead = 0;
  if (!checked_end_) {
    checked_end_ = true;
    if (segment_ends_inside_line(fd_.get())) {
      iov.push_back({&kNewline, 1});
      lead = 1;
    }
  }
  size_t total = lead;
  for (size_t c = 0; c < nblocks; ++c) {
    if (blocks[c].empty()) continue;
    iov.push_back({const_cast<char*>(blocks[c].data()), blocks[c].size()});
    total += blocks[c].size();
  }
  size_t done = 0;   // bytes written, the completing line feed included
  size_t first = 0;  // first iovec not wholly written
  while (done < total) {
    const int count = static_cast<int>(std::min<size_t>(iov.size() - first, IOV_MAX));
    const auto put = ops.writev(fd_.get(), iov.data() + first, count);
    if (!put.ok() || *put == 0) {
      // The line the failure cut, from the bytes that did reach the file.
      const size_t line_bytes = done < lead ? 0 : done - lead;
      size_t end = 0, j = 0;
      for (uint32_t len : line_length) {
        if (len == 0) continue;
        end += len;
        if (end > line_bytes) break;
        ++j;
      }
      failed_line = j;
      const bool only_newline = done >= lead && line_bytes + 1 == end;
      Error e = put.ok() ? util::os_error(EIO) : put.error();
      return std::move(e).add_context(only_newline ? "append newline" : "append raw line");
    }
    done += *put;
    size_t left = *put;
    while (left > 0 && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (left > 0) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return ok_status();
}

}  // namespace quor::store
