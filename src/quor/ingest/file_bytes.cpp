#include "quor/ingest/file_bytes.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "quor/util/os_error.h"

namespace quor::ingest {

FileBytes& FileBytes::operator=(FileBytes&& o) noexcept {
  if (this != &o) {
    release();
    data_ = o.data_;
    size_ = o.size_;
    mapped_ = o.mapped_;
    forgotten_ = o.forgotten_;
    heap_ = std::move(o.heap_);
    o.data_ = nullptr;
    o.size_ = 0;
    o.mapped_ = false;
    o.forgotten_ = 0;
  }
  return *this;
}

FileBytes::~FileBytes() { release(); }

void FileBytes::release() {
  if (mapped_ && data_ != nullptr) ::munmap(const_cast<char*>(data_), size_);
  heap_.reset();
  data_ = nullptr;
  size_ = 0;
  mapped_ = false;
  forgotten_ = 0;
}

void FileBytes::forget_before(size_t offset) {
  if (!mapped_ || data_ == nullptr) return;
  const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  const size_t whole = std::min(offset, size_) / page * page;
  if (whole > forgotten_) {
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
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    err = {ReadStage::Open, Error(util::os_error_text(errno))};
    return false;
  }
  struct stat st {};
  size_t capacity = 1 << 16;
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    // A regular file is mapped: its pages come from the page cache instead
    // of being copied into fresh memory.
    void* p = ::mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE | MAP_POPULATE,
                     fd, 0);
    if (p != MAP_FAILED) {
      ::close(fd);
      out.release();
      out.data_ = static_cast<const char*>(p);
      out.size_ = static_cast<size_t>(st.st_size);
      out.mapped_ = true;
      return true;
    }
    capacity = static_cast<size_t>(st.st_size) + 1;
  }
  std::unique_ptr<char[]> data(new char[capacity]);
  size_t size = 0;
  for (;;) {
    if (size == capacity) {
      size_t bigger = capacity * 2;
      std::unique_ptr<char[]> grown(new char[bigger]);
      std::memcpy(grown.get(), data.get(), size);
      data = std::move(grown);
      capacity = bigger;
    }
    ssize_t n = ::read(fd, data.get() + size, capacity - size);
    if (n < 0) {
      if (errno == EINTR) continue;
      int e = errno;
      ::close(fd);
      err = {ReadStage::Read, Error(util::os_error_text(e))};
      return false;
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  ::close(fd);
  out.release();
  out.heap_ = std::move(data);
  out.data_ = out.heap_.get();
  out.size_ = size;
  return true;
}

}  // namespace quor::ingest
