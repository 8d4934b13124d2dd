#include "quor/store/lock_file.h"

#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <mutex>
#include <set>
#include <string_view>

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

bool file_locked_by_this_process(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  std::FILE* table = std::fopen("/proc/locks", "re");
  if (table == nullptr) return false;
  // Lines read "N: FLOCK  ADVISORY  WRITE PID MAJ:MIN:INODE START END" (major
  // and minor in hex); a waiter's line has "->" after the number and holds
  // nothing.
  const long self = static_cast<long>(::getpid());
  bool found = false;
  char line[256];
  while (!found && std::fgets(line, sizeof line, table) != nullptr) {
    char kind[16];
    char mode[16];
    char access[16];
    long pid = 0;
    unsigned major_no = 0;
    unsigned minor_no = 0;
    uintmax_t inode = 0;
    if (std::sscanf(line, "%*d: %15s %15s %15s %ld %x:%x:%" SCNuMAX, kind, mode, access, &pid,
                    &major_no, &minor_no, &inode) != 7) {
      continue;  // a waiter ("->") or a line of another shape
    }
    found = std::string_view(kind) == "FLOCK" && pid == self && inode == st.st_ino &&
            major_no == major(st.st_dev) && minor_no == minor(st.st_dev);
  }
  std::fclose(table);
  return found;
}

bool register_held_directory(const std::string& key) {
  std::lock_guard<std::mutex> guard(registry_mutex());
  if (registry().count(key) != 0) return false;
  if (file_locked_by_this_process(key + "/lock.edb")) return false;
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
