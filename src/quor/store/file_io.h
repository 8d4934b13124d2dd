// Small POSIX file helpers of the store: whole-file reads, crash-safe
// whole-file replacement, metadata queries and operating-system error texts.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "quor/util/error.h"

namespace quor::store {

// The operating system's text for `err`, as "No such file or directory
// (os error 2)".
std::string os_error_text(int err);
// An Error whose root is os_error_text(err).
Error os_error(int err);

// True when the file system gives metadata for `path` (following links).
bool path_has_metadata(const std::filesystem::path& path);

// The whole content of the file at `path`.
Result<std::string> read_whole_file(const std::filesystem::path& path);

// Replaces the file at `path` with exactly `bytes`: they are written to a
// new temporary file in the same directory, flushed to stable storage and
// renamed over `path`, so a reader sees either the old or the new content,
// never a part. The temporary file is removed on failure.
Status replace_file(const std::filesystem::path& path, std::string_view bytes);

}  // namespace quor::store
