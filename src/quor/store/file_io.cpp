#include "quor/store/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace quor::store {

std::string os_error_text(int err) {
  return std::string(std::strerror(err)) + " (os error " + std::to_string(err) + ")";
}

Error os_error(int err) { return Error(os_error_text(err)); }

bool path_has_metadata(const std::filesystem::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

Result<std::string> read_whole_file(const std::filesystem::path& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return os_error(errno);
  std::string out;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  char buf[1 << 16];
  for (;;) {
    size_t room = out.capacity() - out.size();
    if (room == 0) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        int err = errno;
        ::close(fd);
        return os_error(err);
      }
      if (n == 0) break;
      out.append(buf, static_cast<size_t>(n));
      continue;
    }
    size_t old = out.size();
    out.resize(old + room);
    ssize_t n = ::read(fd, out.data() + old, room);
    if (n < 0) {
      out.resize(old);
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      return os_error(err);
    }
    out.resize(old + static_cast<size_t>(n));
    if (n == 0) break;
  }
  ::close(fd);
  return out;
}

namespace {

Status write_all(int fd, std::string_view bytes) {
  const char* p = bytes.data();
  size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return ok_status();
}

std::atomic<uint64_t> temp_counter{0};

}  // namespace

Status replace_file(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path dir = path.parent_path();
  std::string temp_name = "." + path.filename().string() + ".tmp-" + std::to_string(::getpid()) +
                          "-" + std::to_string(temp_counter.fetch_add(1));
  std::filesystem::path temp = dir.empty() ? std::filesystem::path(temp_name) : dir / temp_name;
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return os_error(errno);
  Status st = write_all(fd, bytes);
  if (st.ok() && ::fsync(fd) != 0) st = os_error(errno);
  if (::close(fd) != 0 && st.ok()) st = os_error(errno);
  if (st.ok() && ::rename(temp.c_str(), path.c_str()) != 0) st = os_error(errno);
  if (!st.ok()) {
    ::unlink(temp.c_str());
    return st;
  }
  // Make the rename itself durable; a failure here leaves the new content
  // in place, so it is not reported.
  int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    (void)::fsync(dfd);
    ::close(dfd);
  }
  return ok_status();
}

}  // namespace quor::store
