// Whole-file reads for the input readers.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "quor/util/error.h"

namespace quor::ingest {

// The bytes of a file, owned, not zero-initialised beyond `size`.
struct FileBytes {
  std::unique_ptr<char[]> data;
  size_t size = 0;
  std::string_view view() const { return {data.get(), size}; }
};

// Where a whole-file read failed.
enum class ReadStage { Open, Read };

struct FileReadError {
  ReadStage stage;
  Error error;  // the operating system's text, no context
};

// Reads the whole file at `path` (the caller's text, unchanged). On failure
// returns false and fills `err`.
bool read_file_bytes(const std::string& path, FileBytes& out, FileReadError& err);

// The operating system's text for an errno value: "{text} (os error {n})".
std::string os_error_text(int errnum);

}  // namespace quor::ingest
