#include "allocation_faults.h"

#include <cstdlib>
#include <new>

namespace quor::test_util {
namespace {

struct Armed {
  bool on = false;
  bool fired = false;
  uint64_t count = 0;
  uint64_t fail_at = 0;
};
thread_local Armed t_armed;

void* allocate(std::size_t n) {
  Armed& a = t_armed;
  if (a.on && ++a.count == a.fail_at) {
    a.fired = true;
    throw std::bad_alloc();
  }
  for (;;) {
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    std::new_handler h = std::get_new_handler();
    if (h == nullptr) throw std::bad_alloc();
    h();
  }
}

void* allocate_aligned(std::size_t n, std::align_val_t al) {
  Armed& a = t_armed;
  if (a.on && ++a.count == a.fail_at) {
    a.fired = true;
    throw std::bad_alloc();
  }
  const std::size_t align = static_cast<std::size_t>(al);
  const std::size_t size = (n + align - 1) / align * align;
  if (void* p = std::aligned_alloc(align, size == 0 ? align : size)) return p;
  throw std::bad_alloc();
}

}  // namespace

void arm_allocation_failure(uint64_t fail_at) { t_armed = Armed{true, false, 0, fail_at}; }

uint64_t disarm_allocation_failure() {
  t_armed.on = false;
  return t_armed.count;
}

bool allocation_failure_fired() { return t_armed.fired; }

}  // namespace quor::test_util

void* operator new(std::size_t n) { return quor::test_util::allocate(n); }
void* operator new[](std::size_t n) { return quor::test_util::allocate(n); }
void* operator new(std::size_t n, std::align_val_t al) { return quor::test_util::allocate_aligned(n, al); }
void* operator new[](std::size_t n, std::align_val_t al) {
  return quor::test_util::allocate_aligned(n, al);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return quor::test_util::allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return quor::test_util::allocate(n);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
