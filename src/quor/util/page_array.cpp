#include "quor/util/page_array.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <new>

namespace quor::util::page_storage {

namespace {

// Below this an array stays with the allocator: its copies are cheap, and a
// mapping of its own per small table would waste most of a page.
constexpr size_t kPagedBytes = size_t(1) << 20;
// Arrays from this size on ask for large pages (see want_large_pages).
constexpr size_t kLargePageBytes = size_t(4) << 20;

size_t page_size() {
  static const size_t size = [] {
    const long n = sysconf(_SC_PAGESIZE);
    return n > 0 ? static_cast<size_t>(n) : size_t(4096);
  }();
  return size;
}

// Large pages where the system offers them on request: the arrays here are
// probed at random (hash slots) or written once front to back (rows), and
// with 4 KB pages both pay a page fault per 4 KB and a TLB miss per probe
// (the 10^7-id ingest of bench_scale: 25.1 s before, 19.5 s after, in
// back-to-back runs at load average 3).
void want_large_pages(void* p, size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kLargePageBytes) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: failure is fine
#else
  (void)p;
  (void)bytes;
#endif
}

void* map_pages(size_t bytes) {
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  want_large_pages(p, bytes);
  return p;
}

bool is_paged(size_t bytes) { return bytes >= kPagedBytes; }

thread_local GrowHook t_grow_hook = nullptr;

}  // namespace

void set_grow_hook(GrowHook hook) noexcept { t_grow_hook = hook; }

void* regrow(void* old, size_t old_bytes, size_t used_bytes, size_t& new_bytes) {
  if (t_grow_hook != nullptr) t_grow_hook();
  if (!is_paged(new_bytes)) {
    // calloc for a fresh array, so that assign_zeroed's zeros hold here too.
    void* p = old == nullptr ? std::calloc(new_bytes, 1) : std::realloc(old, new_bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  const size_t page = page_size();
  new_bytes = (new_bytes + page - 1) / page * page;
  if (old != nullptr && is_paged(old_bytes)) {
#if defined(__linux__)
    // The kernel moves the page table entries: no byte is copied and the
    // old range is gone once the new one exists.
    void* p = mremap(old, old_bytes, new_bytes, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    want_large_pages(p, new_bytes);
    return p;
#else
    void* p = map_pages(new_bytes);
    std::memcpy(p, old, used_bytes);
    munmap(old, old_bytes);
    return p;
#endif
  }
  // Fresh pages read as zero, as assign_zeroed needs.
  void* p = map_pages(new_bytes);
  if (old != nullptr) {
    std::memcpy(p, old, used_bytes);
    std::free(old);
  }
  return p;
}

void release_front(void* p, size_t bytes, size_t front) noexcept {
  if (p == nullptr || !is_paged(bytes)) return;
  // Whole large pages where the array asked for them, so that none is
  // split.
  const size_t unit = bytes >= kLargePageBytes ? size_t(2) << 20 : page_size();
  const auto begin = reinterpret_cast<uintptr_t>(p);
  const uintptr_t from = (begin + unit - 1) / unit * unit;
  const uintptr_t to = (begin + front) / unit * unit;
  if (to > from) madvise(reinterpret_cast<void*>(from), to - from, MADV_DONTNEED);  // advice only
}

void release(void* p, size_t bytes) noexcept {
  if (p == nullptr) return;
  if (is_paged(bytes)) {
    munmap(p, bytes);
  } else {
    std::free(p);
  }
}

}  // namespace quor::util::page_storage
