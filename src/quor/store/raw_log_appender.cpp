#include "quor/store/raw_log_appender.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "quor/store/file_io.h"

namespace quor::store {

RawLogAppender::~RawLogAppender() {
  if (fd_ >= 0) ::close(fd_);
}

Status RawLogAppender::append(const std::vector<std::string>& blocks, size_t nblocks,
                              const std::vector<uint32_t>& line_length, size_t& failed_line) {
  failed_line = 0;
  if (fd_ < 0) {
    const std::string path = path_.string();
    auto fd = open_regular_file(path_, O_RDWR | O_APPEND | O_CREAT);
    if (!fd.ok()) return std::move(fd).error().add_context("open raw segment " + path);
    fd_ = fd->release();
  }
  static char kNewline = '\n';
  std::vector<iovec> iov;
  iov.reserve(nblocks + 1);
  size_t lead = 0;
  if (!checked_end_) {
    checked_end_ = true;
    struct stat st {};
    char last = '\n';
    if (::fstat(fd_, &st) == 0 && st.st_size > 0 && ::pread(fd_, &last, 1, st.st_size - 1) == 1 &&
        last != '\n') {
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
    const ssize_t n = ::writev(fd_, iov.data() + first, count);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int e = n < 0 ? errno : EIO;
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
      return Error(util::os_error_text(e)).add_context(only_newline ? "append newline" : "append raw line");
    }
    done += static_cast<size_t>(n);
    size_t left = static_cast<size_t>(n);
    while (left > 0 && left >= iov[first].iov_len) left -= iov[first++].iov_len;
    if (left > 0) {
      iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + left;
      iov[first].iov_len -= left;
    }
  }
  return ok_status();
}

}  // namespace quor::store
