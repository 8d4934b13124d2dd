#include "quor/store/lock_file.h"

#include <sys/file.h>
#include <unistd.h>

#include <mutex>
#include <set>

namespace quor::store {

namespace {

std::mutex& registry_mutex() {
  static std::mutex m;
  return m;
}
std::set<std::string>& registry() {
  static std::set<std::string> held;
  return held;
}

}  // namespace

bool register_held_directory(const std::string& key) {
  std::lock_guard<std::mutex> guard(registry_mutex());
  return registry().insert(key).second;
}

void unregister_held_directory(const std::string& key) {
  std::lock_guard<std::mutex> guard(registry_mutex());
  registry().erase(key);
}

LockFile::LockFile(int fd) : fd_(fd), owner_(fd >= 0 ? ::getpid() : 0) {}

bool LockFile::is_forked_copy() const { return fd_ >= 0 && owner_ != ::getpid(); }

Status LockFile::check_writer() const {
  if (!is_forked_copy()) return ok_status();
  return Error("database was opened read-write by process " + std::to_string(owner_) +
               "; a forked copy cannot write it");
}

void LockFile::release() {
  if (fd_ >= 0) {
    // A forked copy shares the owner's open file description: unlocking it
    // would unlock the owner. Closing our descriptor alone leaves the lock.
    if (!is_forked_copy()) (void)::flock(fd_, LOCK_UN);
    (void)::close(fd_);
    fd_ = -1;
    owner_ = 0;
  }
  if (!held_key_.empty()) {
    unregister_held_directory(held_key_);
    held_key_.clear();
  }
}

}  // namespace quor::store
