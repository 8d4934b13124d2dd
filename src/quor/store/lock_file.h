// The open, exclusively locked "lock.edb" of a read-write database, and the
// process-wide record of the directories this process holds read-write.
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>

#include "quor/util/error.h"

namespace quor::store {

// Owns an open file descriptor holding an exclusive whole-file lock, and
// optionally this process's registration of the directory it guards.
// Destruction releases it (see release()); move-only.
//
// The lock belongs to the process that took it. flock() locks live on the
// open file description, which a forked child shares with its parent: an
// unlock in the child would free the parent's lock too. So the lock records
// its owner's process id, and a copy inherited through fork() only closes
// its own descriptor (the parent's keeps the description, and the lock,
// alive) and refuses to write (check_writer). The descriptor is
// close-on-exec, so a program started by exec() never inherits it.
class LockFile {
 public:
  LockFile() = default;
  // Takes ownership of `fd`, locked by the calling process.
  explicit LockFile(int fd);
  LockFile(LockFile&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)),
        owner_(std::exchange(other.owner_, 0)),
        held_key_(std::move(other.held_key_)) {
    other.held_key_.clear();
  }
  LockFile& operator=(LockFile&& other) noexcept {
    if (this != &other) {
      release();
      fd_ = std::exchange(other.fd_, -1);
      owner_ = std::exchange(other.owner_, 0);
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
  // The process that took the lock (0 when none is held).
  pid_t owner_pid() const { return owner_; }
  // True when this object was inherited by a forked child from the process
  // that took the lock.
  bool is_forked_copy() const;
  // Ok in the owning process; in a forked copy the error "database was
  // opened read-write by process {pid}; a forked copy cannot write it".
  Status check_writer() const;

  // In the owning process: unlocks and closes now. In a forked copy: closes
  // the descriptor only, leaving the owner's lock in place. Either way it
  // then drops the registration (this process's own memory); later calls do
  // nothing.
  void release();

  // Makes this lock own the registration `key` (see register_held_directory):
  // it is dropped when the lock is released.
  void attach_held_directory(std::string key) { held_key_ = std::move(key); }

 private:
  int fd_ = -1;
  pid_t owner_ = 0;
  std::string held_key_;
};

// Records that this process holds the directory `key` (its canonical path)
// read-write. False, recording nothing, when this process already holds it:
// recorded here, or its "lock.edb" locked by this process through another
// copy of this code loaded in the same process (the test module beside the
// installed one, each with its own record), which a blocking lock would wait
// for forever.
bool register_held_directory(const std::string& key);
// True when the kernel's lock table shows an flock lock on the file at
// `path` held by this process. False when it cannot tell.
bool file_locked_by_this_process(const std::string& path);
bool register_held_directory(const std::string& key);
// Forgets the registration of `key`.
void unregister_held_directory(const std::string& key);

// Owns a registration made by register_held_directory until it is handed
// on with release(): dropped on destruction, so that a failure or an
// exception between registering and locking never leaves the directory
// refused for the rest of the process.
class HeldDirectoryRegistration {
 public:
  explicit HeldDirectoryRegistration(std::string key) : key_(std::move(key)) {}
  ~HeldDirectoryRegistration() {
    if (!key_.empty()) unregister_held_directory(key_);
  }
  HeldDirectoryRegistration(const HeldDirectoryRegistration&) = delete;
  HeldDirectoryRegistration& operator=(const HeldDirectoryRegistration&) = delete;
  // Gives up ownership; returns the key.
  std::string release() { return std::exchange(key_, std::string()); }

 private:
  std::string key_;
};

}  // namespace quor::store
