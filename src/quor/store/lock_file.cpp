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

void LockFile::release() {
  if (fd_ >= 0) {
    (void)::flock(fd_, LOCK_UN);
    (void)::close(fd_);
    fd_ = -1;
  }
  if (!held_key_.empty()) {
    unregister_held_directory(held_key_);
    held_key_.clear();
  }
}

}  // namespace quor::store
