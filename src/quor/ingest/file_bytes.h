// Whole-file reads for the input readers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "quor/store/file_handle.h"
#include "quor/util/error.h"

namespace quor::ingest {

// Where a whole-file read failed.
enum class ReadStage { Open, Read };

struct FileReadError {
  ReadStage stage;
  Error error;  // the operating system's text, no context
};

// The bytes of a file: a private read-only mapping of a regular file, or a
// heap copy (a file that cannot be mapped, and bytes handed in by tests).
class FileBytes {
 public:
  FileBytes() = default;
  FileBytes(FileBytes&& o) noexcept { *this = std::move(o); }
  FileBytes& operator=(FileBytes&& o) noexcept;
  ~FileBytes();

  static FileBytes copy_of(std::string_view bytes);

  // Lets the system take back the memory of the bytes wholly before
  // `offset`, which the caller has read for the last time: a mapping's
  // pages there are dropped (read from the file again should anyone touch
  // them) once they add up to a few megabytes, or `offset` is the end; a
  // heap copy keeps its bytes.
  void forget_before(size_t offset);

  const char* data() const { return data_; }
  size_t size() const { return size_; }
  std::string_view view() const { return {data_, size_}; }

 private:
  friend bool read_file_bytes(const std::string& path, FileBytes& out, FileReadError& err);
  void release();
  const char* data_ = nullptr;
  size_t size_ = 0;
  store::FileMapping map_;  // when the bytes are a mapping
  size_t forgotten_ = 0;    // bytes at the start whose pages were dropped
  std::unique_ptr<char[]> heap_;
};

// Reads the whole regular file at `path` (the caller's text, unchanged). On
// failure returns false and fills `err`: something other than a regular
// file (a FIFO, a device) fails at once at ReadStage::Open with "not a
// regular file"; a directory, or a file larger than memory, at
// ReadStage::Read.
bool read_file_bytes(const std::string& path, FileBytes& out, FileReadError& err);

}  // namespace quor::ingest
