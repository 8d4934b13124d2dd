// What the two flush-files suites share: the stamp that shows whether a
// flush rewrote a file, and the renames among a crashing file layer's steps.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "store_directory_fixture.h"
#include "store_test_dir.h"

namespace quor::store::testing {

using FlushFilesTest = TempDirTest;

// A file's inode and modification time: equal stamps mean the file was not
// replaced or written.
struct Stamp {
  ino_t inode;
  int64_t mtime_ns;
  bool operator==(const Stamp&) const = default;
};
inline Stamp stamp_of(const std::filesystem::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
  return {st.st_ino, static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}
inline std::vector<Stamp> stamps_of(const std::filesystem::path& dir) {
  std::vector<Stamp> out;
  for (const char* name : kDataFiles) out.push_back(stamp_of(dir / name));
  return out;
}

// The files a flush renamed into place, in order.
inline std::vector<std::string> renames_in(const std::vector<std::string>& steps) {
  std::vector<std::string> out;
  for (const auto& s : steps)
    if (s.rfind("rename ", 0) == 0) out.push_back(s.substr(7));
  return out;
}

}  // namespace quor::store::testing
