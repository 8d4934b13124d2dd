#include "quor/ingest/file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <utility>

#include "quor/store/file_handle.h"
#include "quor/store/file_io.h"
#include "quor/util/os_error.h"

namespace quor::ingest {

FileBytes& FileBytes::operator=(FileBytes&& o) noexcept {
  if (this != &o) {
    release();
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    map_ = std::move(o.map_);
    forgotten_ = std::exchange(o.forgotten_, 0);
    heap_ = std::move(o.heap_);
  }
  return *this;
}

FileBytes::~FileBytes() { release(); }

void FileBytes::release() {
  map_.reset();
  heap_.reset();
  data_ = nullptr;
  size_ = 0;
  forgotten_ = 0;
}

namespace {

// The pages are dropped this many bytes at a time, and at the end: each
// drop makes every processor that runs one of the process's threads flush
// its address cache. On the 3 M-row flights CSV (106 MB, batches of 10 000
// rows, 8 threads) that was 300 drops, 8.6 % of the calling thread's
// samples; in steps of 8 MB it is 14.
constexpr size_t kForgetStep = size_t(8) << 20;

}  // namespace

void FileBytes::forget_before(size_t offset) {
  if (map_.bytes().empty()) return;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t whole = std::min(offset, size_) / page * page;
  if (whole > forgotten_ && (whole - forgotten_ >= kForgetStep || offset >= size_)) {
    // The mapping starts on a page boundary; advice is only advice, so a
    // refusal changes nothing but the memory held.
    ::madvise(const_cast<char*>(data_) + forgotten_, whole - forgotten_, MADV_DONTNEED);
    forgotten_ = whole;
  }
}

FileBytes FileBytes::copy_of(std::string_view bytes) {
  FileBytes b;
  b.heap_.reset(new char[bytes.size() + 1]);
  std::memcpy(b.heap_.get(), bytes.data(), bytes.size());
  b.data_ = b.heap_.get();
  b.size_ = bytes.size();
  return b;
}

bool read_file_bytes(const std::string& path, FileBytes& out, FileReadError& err) {
  // Only a regular file has an end known before it is read: a FIFO would
  // wait for a writer and a device may never end, and the whole input is
  // held at once. Both are refused when opened.
  auto opened = store::open_regular_file(path, O_RDONLY);
  if (!opened.ok()) {
    // A directory opens; only its first read fails.
    const bool dir = opened.error().root() == util::os_error_text(EISDIR);
    err = {dir ? ReadStage::Read : ReadStage::Open, std::move(opened).error()};
    return false;
  }
  const store::UniqueFd fd = std::move(opened).value();
  store::FileOps& ops = store::file_ops();
  auto st = ops.fstat(fd.get());
  if (!st.ok()) {
    err = {ReadStage::Read, std::move(st).error()};
    return false;
  }
  const uint64_t size = static_cast<uint64_t>(st->st_size);
  if (size > store::whole_read_limit()) {
    err = {ReadStage::Read, store::too_large_to_read(size)};
    return false;
  }
  if (size > 0) {
    // The file is mapped: its pages come from the page cache instead of
    // being copied into fresh memory.
    auto mapping = ops.map(fd.get(), static_cast<size_t>(size), store::MapPages::ReadAhead);
    if (mapping.ok()) {
      out.release();
      out.map_ = std::move(mapping).value();
      out.data_ = out.map_.bytes().data();
      out.size_ = out.map_.bytes().size();
      return true;
    }
  }
  // Not mappable (or empty): read it, in steps should it grow meanwhile.
  std::unique_ptr<char[]> data;
  size_t capacity = static_cast<size_t>(size) + 1;
  size_t have = 0;
  for (;;) {
    if (!data || have == capacity) {
      const size_t bigger = data ? capacity * 2 : capacity;
      std::unique_ptr<char[]> grown(bigger > store::whole_read_limit() ? nullptr
                                                                       : new (std::nothrow) char[bigger]);
      if (!grown) {
        err = {ReadStage::Read, store::too_large_to_read(bigger)};
        return false;
      }
      if (have > 0) std::memcpy(grown.get(), data.get(), have);
      data = std::move(grown);
      capacity = bigger;
    }
    auto n = ops.read(fd.get(), data.get() + have, capacity - have);
    if (!n.ok()) {
      err = {ReadStage::Read, std::move(n).error()};
      return false;
    }
    if (*n == 0) break;
    have += *n;
  }
  out.release();
  out.heap_ = std::move(data);
  out.data_ = out.heap_.get();
  out.size_ = have;
  return true;
}

}  // namespace quor::ingest
