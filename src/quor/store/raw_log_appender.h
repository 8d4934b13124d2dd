// The raw-log lines of one ingest, appended through one descriptor: the
// segment is opened at the first append and closed with the appender, and
// each batch's lines go out in one write. Ingestion builds the lines; the
// store owns the file, the descriptor and the writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "quor/store/file_handle.h"
#include "quor/util/error.h"

namespace quor::store {

class RawLogAppender {
 public:
  explicit RawLogAppender(std::filesystem::path segment) : path_(std::move(segment)) {}
  RawLogAppender(const RawLogAppender&) = delete;
  RawLogAppender& operator=(const RawLogAppender&) = delete;

  // Appends the first `nblocks` of `blocks` (whole lines back to back; the
  // lengths of the lines, in order, are the non-zero entries of
  // `line_length`). A last line that an earlier failure left without its
  // line feed is completed first. On failure `failed_line` is the number of
  // the line that was not wholly written; the failure carries the context
  // "open raw segment {path}", "append raw line" or, when only a line feed
  // was missing, "append newline".
  Status append(const std::vector<std::string>& blocks, size_t nblocks,
                const std::vector<uint32_t>& line_length, size_t& failed_line);

 private:
  std::filesystem::path path_;
  UniqueFd fd_;
  bool checked_end_ = false;
};

}  // namespace quor::store
