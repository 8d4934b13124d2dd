// Internal to ingestion: where the per-record step writes the raw-log lines
// of one share of a batch.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

namespace quor::ingest::internal {

// Copies `t` to `d` and returns the end of the copy: a text of up to 16
// bytes in two overlapping words (or halves of one), without a call. The
// pieces of a raw-log line are mostly that short.
[[gnu::always_inline]] inline char* put_text(char* d, std::string_view t) {
  const char* s = t.data();
  const size_t n = t.size();
  if (n > 16) {
    std::memcpy(d, s, n);
  } else if (n >= 8) {
    uint64_t x, y;
    std::memcpy(&x, s, 8);
    std::memcpy(&y, s + n - 8, 8);
    std::memcpy(d, &x, 8);
    std::memcpy(d + n - 8, &y, 8);
  } else if (n >= 4) {
    uint32_t x, y;
    std::memcpy(&x, s, 4);
    std::memcpy(&y, s + n - 4, 4);
    std::memcpy(d, &x, 4);
    std::memcpy(d + n - 4, &y, 4);
  } else if (n != 0) {
    d[0] = s[0];
    d[n / 2] = s[n / 2];
    d[n - 1] = s[n - 1];
  }
  return d + n;
}

// The raw-log lines of one share, written into a worker's own buffer and
// copied into the share's block once at its end: the buffer is never
// zeroed (a std::string would zero what each line adds to its size), so a
// line costs neither a resize nor a call per piece.
//
// Buys, with put_text, on the flights CSV (3 M rows, monthly buckets;
// bench_ingest --case=step under callgrind, 300 000 rows, one thread):
// 1 733 -> 1 601 instructions a row for the step, against a std::string
// resized for each line and pieces copied by memcpy calls (with the CSV rows
// loaded without clearing the row view and found by their segment hint).
class LineBlock {
 public:
  void start() { used_ = 0; }
  // Room for `bound` more bytes at the end of the lines.
  char* room(size_t bound) {
    if (bound > size_ - used_) grow(used_ + bound);
    return bytes_.get() + used_;
  }
  // The bytes written at room() up to `end` belong to the lines.
  void advance_to(const char* end) { used_ = static_cast<size_t>(end - bytes_.get()); }
  size_t used() const { return used_; }
  void append(std::string_view text) { advance_to(put_text(room(text.size()), text)); }
  void copy_to(std::string& out) const { out.assign(bytes_.get(), used_); }

 private:
  void grow(size_t need) {
    const size_t n = std::max(need, 2 * size_);
    std::unique_ptr<char[]> bigger(new char[n]);
    if (used_ != 0) std::memcpy(bigger.get(), bytes_.get(), used_);
    bytes_ = std::move(bigger);
    size_ = n;
  }
  std::unique_ptr<char[]> bytes_;
  size_t size_ = 0, used_ = 0;
};

}  // namespace quor::ingest::internal
