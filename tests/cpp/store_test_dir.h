// A fresh temporary directory per test (a TempDir), removed afterwards.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>

#include "temp_dir.h"

namespace quor::store::testing {

// True when another open file description can take the lock on the file at
// `lock_path` right now.
inline bool lock_is_free(const std::filesystem::path& lock_path) {
  int fd = ::open(lock_path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = std::make_unique<test_util::TempDir>();
    dir_ = temp_->path();
  }
  void TearDown() override { temp_.reset(); }

  static std::string slurp(const std::filesystem::path& p) { return test_util::read_file(p); }
  static void spit(const std::filesystem::path& p, const std::string& bytes) {
    test_util::write_file(p, bytes);
  }

  std::unique_ptr<test_util::TempDir> temp_;
  std::filesystem::path dir_;
};

}  // namespace quor::store::testing
