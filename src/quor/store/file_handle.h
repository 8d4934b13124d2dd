// Owners of the operating-system resources the store touches: an open file
// descriptor and a read-only memory mapping. Each releases its resource when
// it goes out of scope, on every path, so an early return or an exception
// thrown by an allocation in between can never leak one. Both are move-only.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <string_view>
#include <utility>

namespace quor::store {

// An open file descriptor, closed on destruction (a close failure is ignored
// there; call close() to see it).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(std::exchange(other.fd_, -1));
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release() { return std::exchange(fd_, -1); }
  // Closes the current descriptor (if any) and takes `fd`.
  void reset(int fd = -1) {
    if (fd_ >= 0) (void)::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports the result: 0, or -1 with errno set.
  int close() { return fd_ < 0 ? 0 : ::close(std::exchange(fd_, -1)); }

 private:
  int fd_ = -1;
};

// A read-only mapping of `size` bytes, unmapped on destruction.
class FileMapping {
 public:
  FileMapping() = default;
  FileMapping(void* addr, size_t size) : addr_(addr), size_(size) {}
  FileMapping(FileMapping&& other) noexcept
      : addr_(std::exchange(other.addr_, nullptr)), size_(std::exchange(other.size_, 0)) {}
  FileMapping& operator=(FileMapping&& other) noexcept {
    if (this != &other) {
      reset();
      addr_ = std::exchange(other.addr_, nullptr);
      size_ = std::exchange(other.size_, 0);
    }
    return *this;
  }
  FileMapping(const FileMapping&) = delete;
  FileMapping& operator=(const FileMapping&) = delete;
  ~FileMapping() { reset(); }

  std::string_view bytes() const {
    return addr_ == nullptr ? std::string_view() : std::string_view(static_cast<const char*>(addr_), size_);
  }
  void reset() {
    if (addr_ != nullptr) (void)::munmap(addr_, size_);
    addr_ = nullptr;
    size_ = 0;
  }

 private:
  void* addr_ = nullptr;
  size_t size_ = 0;
};

}  // namespace quor::store
