// The open, exclusively locked "lock.edb" of a read-write database.
#pragma once

#include <utility>

namespace quor::store {

// Owns an open file descriptor holding an exclusive whole-file lock.
// Destruction unlocks (ignoring failure) and closes it; move-only.
class LockFile {
 public:
  LockFile() = default;
  explicit LockFile(int fd) : fd_(fd) {}
  LockFile(LockFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LockFile& operator=(LockFile&& other) noexcept {
    if (this != &other) {
      release();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() { release(); }

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Unlocks and closes now; later calls do nothing.
  void release();

 private:
  int fd_ = -1;
};

}  // namespace quor::store
