// A fresh directory under /tmp for one test, removed with everything in it.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace quor::test_util {

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quor_test_XXXXXX";
    path_ = ::mkdtemp(tmpl);
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path path() const { return path_; }

  // Writes `bytes` to the file `name` inside the directory; returns its path.
  std::string write(const std::string& name, std::string_view bytes) const {
    std::string p = (path_ / name).string();
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quor::test_util
