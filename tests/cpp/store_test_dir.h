// A fresh temporary directory per test (a TempDir), removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "temp_dir.h"

namespace quor::store::testing {

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
