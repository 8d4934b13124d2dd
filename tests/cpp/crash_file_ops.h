// File operations for tests that stop, as a killed process would, after a
// chosen number of steps, and that record what they did.
#pragma once

#include <cstdint>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "quor/store/file_io.h"

namespace quor::store::testing {

// Passes every operation to the POSIX ones and counts it as one step. From
// step `stop_after` + 1 on nothing more happens: the process "died" there.
// The first write not carried out still writes the first half of its bytes,
// as a kill in the middle of a write would; a close after the stop releases
// the descriptor (the kernel does that for a killed process) without it
// counting. Every operation after the stop fails.
class CrashingFileOps final : public FileOps {
 public:
  explicit CrashingFileOps(uint64_t stop_after = std::numeric_limits<uint64_t>::max())
      : stop_after_(stop_after) {}

  // The steps carried out, as "create|write|sync|close|rename|sync dir|remove
  // NAME" with the file or directory name.
  const std::vector<std::string>& steps() const { return steps_; }
  bool stopped() const { return stopped_; }

  Result<UniqueFd> create_new(const std::filesystem::path& path,
                              std::optional<mode_t> mode) override {
    if (!step("create " + name_of(path))) return stop_error();
    return posix_file_ops().create_new(path, mode);
  }
  Status write(int fd, std::string_view bytes) override {
    if (!step("write " + std::to_string(bytes.size()) + " bytes")) {
      if (!torn_) {
        torn_ = true;
        (void)posix_file_ops().write(fd, bytes.substr(0, bytes.size() / 2));
      }
      return stop_error();
    }
    return posix_file_ops().write(fd, bytes);
  }
  Status sync(int fd) override {
    if (!step("sync")) return stop_error();
    return posix_file_ops().sync(fd);
  }
  Status close(UniqueFd& fd) override {
    if (!step("close")) {
      fd.reset();
      return stop_error();
    }
    return posix_file_ops().close(fd);
  }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (!step("rename " + name_of(to))) return stop_error();
    return posix_file_ops().rename(from, to);
  }
  Status sync_directory(const std::filesystem::path& dir) override {
    if (!step("sync dir " + dir.string())) return stop_error();
    synced_dirs_.push_back(dir);
    return posix_file_ops().sync_directory(dir);
  }
  Status remove(const std::filesystem::path& path) override {
    if (!step("remove " + name_of(path))) return stop_error();
    return posix_file_ops().remove(path);
  }

  const std::vector<std::filesystem::path>& synced_dirs() const { return synced_dirs_; }

 private:
  bool step(std::string what) {
    if (stopped_ || steps_.size() >= stop_after_) {
      stopped_ = true;
      return false;
    }
    steps_.push_back(std::move(what));
    return true;
  }
  static std::string name_of(const std::filesystem::path& p) { return p.filename().string(); }
  static Error stop_error() { return Error("simulated crash"); }

  uint64_t stop_after_;
  bool stopped_ = false;
  bool torn_ = false;
  std::vector<std::string> steps_;
  std::vector<std::filesystem::path> synced_dirs_;
};

}  // namespace quor::store::testing

namespace quor::store::testing {

// Passes every operation to the POSIX ones, except that step number `fail_at`
// (counted from 1) fails with `err` without doing anything; the steps after it
// run normally. Records the steps as CrashingFileOps does.
class FailingFileOps final : public FileOps {
 public:
  FailingFileOps(uint64_t fail_at, int err) : fail_at_(fail_at), err_(err) {}

  const std::vector<std::string>& steps() const { return steps_; }

  Result<UniqueFd> create_new(const std::filesystem::path& path,
                              std::optional<mode_t> mode) override {
    if (!step("create " + path.filename().string())) return util::os_error(err_);
    return posix_file_ops().create_new(path, mode);
  }
  Status write(int fd, std::string_view bytes) override {
    if (!step("write")) return util::os_error(err_);
    return posix_file_ops().write(fd, bytes);
  }
  Status sync(int fd) override {
    if (!step("sync")) return util::os_error(err_);
    return posix_file_ops().sync(fd);
  }
  Status close(UniqueFd& fd) override {
    if (!step("close")) {
      fd.reset();
      return util::os_error(err_);
    }
    return posix_file_ops().close(fd);
  }
  Status rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    if (!step("rename " + to.filename().string())) return util::os_error(err_);
    return posix_file_ops().rename(from, to);
  }
  Status sync_directory(const std::filesystem::path& dir) override {
    if (!step("sync dir")) return util::os_error(err_);
    return posix_file_ops().sync_directory(dir);
  }
  Status remove(const std::filesystem::path& path) override {
    if (!step("remove " + path.filename().string())) return util::os_error(err_);
    return posix_file_ops().remove(path);
  }

 private:
  bool step(std::string what) {
    steps_.push_back(std::move(what));
    return steps_.size() != fail_at_;
  }

  uint64_t fail_at_;
  int err_;
  std::vector<std::string> steps_;
};

}  // namespace quor::store::testing
