// The open, exclusively locked "lock.edb" of a read-write database, and the
// process-wide record of the directories this process holds read-write.
#pragma once

#include <string>
#include <utility>

namespace quor::store {

// Owns an open file descriptor holding an exclusive whole-file lock, and
// optionally this process's registration of the directory it guards.
// Destruction unlocks (ignoring failure), closes it and drops the
// registration; move-only.
class LockFile {
 public:
  LockFile() = default;
  explicit LockFile(int fd) : fd_(fd) {}
  LockFile(LockFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), held_key_(std::move(other.held_key_)) {
    other.held_key_.clear();
  }
  LockFile& operator=(LockFile&& other) noexcept {
    if (this != &other) {
      release();
      fd_ = std::exchange(other.fd_, -1);
      held_key_ = std::move(other.held_key_);
      other.held_key_.clear();
    }
    return *this;
  }
  LockFile(const LockFile&) = delete;
  LockFile& operator=(const LockFile&) = delete;
  ~LockFile() { release(); }

  int fd() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Unlocks and closes now, then drops the registration; later calls do
  // nothing.
  void release();

  // Makes this lock own the registration `key` (see register_held_directory):
  // it is dropped when the lock is released.
  void attach_held_directory(std::string key) { held_key_ = std::move(key); }

 private:
  int fd_ = -1;
  std::string held_key_;
};

// Records that this process holds the directory `key` (its canonical path)
// read-write. False, recording nothing, when it is already held.
bool register_held_directory(const std::string& key);
// Forgets the registration of `key`.
void unregister_held_directory(const std::string& key);

}  // namespace quor::store
