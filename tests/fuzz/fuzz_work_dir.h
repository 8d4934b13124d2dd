// A private directory for a fuzz target's files, in memory-backed storage
// where there is one (a flush syncs every file it writes), removed at exit.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>

namespace quor::fuzz {

inline const std::filesystem::path& work_dir() {
  // Never destroyed, so that the exit handler can still use it.
  static const std::filesystem::path* dir = [] {
    const char* base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    std::string tmpl = std::string(base) + "/quor_fuzz_XXXXXX";
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    auto* made = new std::filesystem::path(tmpl);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(work_dir(), ec);
    });
    return made;
  }();
  return *dir;
}

inline void write_bytes(const std::filesystem::path& path, std::string_view bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

}  // namespace quor::fuzz
