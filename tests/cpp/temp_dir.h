// Test helpers for files: a fresh directory under /tmp for one test, removed
// with everything in it, whole-file reads and writes, and a file's lines.
#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace quor::test_util {

// The whole content of the file at `path` ("" when it cannot be read).
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// The lines of the file at `path`, each without its line feed; a last line
// without one is kept too (none when the file cannot be read).
inline std::vector<std::string> lines_of(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Replaces the file at `path` with exactly `bytes`.
inline void write_file(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class TempDir {
 public:
  // Throws (failing the test that builds it) when no directory can be made.
  TempDir() {
    char tmpl[] = "/tmp/quor_test_XXXXXX";
    if (::mkdtemp(tmpl) == nullptr) {
      throw std::system_error(errno, std::generic_category(), "mkdtemp /tmp/quor_test_XXXXXX");
    }
    path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::filesystem::path path() const { return path_; }

  // Writes `bytes` to the file `name` inside the directory; returns its path.
  std::string write(const std::string& name, std::string_view bytes) const {
    std::string p = (path_ / name).string();
    write_file(p, bytes);
    return p;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace quor::test_util
