#include "quor/ingest/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace quor::ingest {

std::string os_error_text(int errnum) {
  char buf[256];
  const char* text = strerror_r(errnum, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(errnum) + ")";
}

bool read_file_bytes(const std::string& path, FileBytes& out, FileReadError& err) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = {ReadStage::Open, Error(os_error_text(errno))};
    return false;
  }
  struct stat st {};
  size_t capacity = 1 << 16;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0)
    capacity = static_cast<size_t>(st.st_size) + 1;
  std::unique_ptr<char[]> data(new char[capacity]);
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      size_t bigger = capacity * 2;
      std::unique_ptr<char[]> grown(new char[bigger]);
      std::memcpy(grown.get(), data.get(), size);
      data = std::move(grown);
      capacity = bigger;
    }
    ssize_t n = ::read(fd, data.get() + size, capacity - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      err = {ReadStage::Read, Error(os_error_text(e))};
      return false;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  out.data = std::move(data);
  out.size = size;
  return true;
}

}  // namespace quor::ingest
