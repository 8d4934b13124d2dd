// A growable array of plain values for tables that reach hundreds of
// megabytes: the per-key and per-block state of an ingest, the entries and
// slots of a large index.
//
// A std::vector grows by allocating a buffer twice the size and copying into
// it, so at the moment it grows it holds both buffers: for an array of
// 100 MB, a step of 300 MB in the process's footprint, at whatever moment
// the size crosses a power of two. A PageArray past a megabyte lives in
// pages of its own and grows by moving those pages (mremap): nothing is
// copied, the old and new storage never coexist, and capacity that was
// never written costs no memory. Smaller arrays use the allocator as usual.
//
// Only for trivially copyable values (they are moved as bytes). Growing or
// allocating fails with std::bad_alloc, like std::vector. Pointers and
// references into the array are invalidated by anything that grows it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <utility>

namespace quor::util {

namespace page_storage {

// Storage of at least `new_bytes` (more than `old_bytes`) holding the first
// `used_bytes` of `old`, which is storage of `old_bytes` from this function
// or nullptr with 0. Storage made from nothing reads as zero bytes. Returns
// the storage and sets `new_bytes` to its real size. Throws std::bad_alloc.
void* regrow(void* old, size_t old_bytes, size_t used_bytes, size_t& new_bytes);
// Gives back storage from regrow (nullptr with 0 is fine).
void release(void* p, size_t bytes) noexcept;
// Gives the whole pages among the first `front` bytes of storage `p` of
// `bytes` from regrow back to the system; they read as zero afterwards.
// Nothing for storage from the allocator.
void release_front(void* p, size_t bytes, size_t front) noexcept;

// A fault seam for tests: while set, every regrow on the calling thread
// first calls `hook`, which may throw std::bad_alloc to fail that growth
// (nothing is then changed). Other threads are not affected. nullptr
// unsets it.
using GrowHook = void (*)();
void set_grow_hook(GrowHook hook) noexcept;

}  // namespace page_storage

template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>,
                "PageArray moves its values as bytes");

 public:
  PageArray() = default;
  ~PageArray() { page_storage::release(data_, bytes_); }
  PageArray(PageArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        bytes_(std::exchange(other.bytes_, 0)) {}
  PageArray& operator=(PageArray&& other) noexcept {
    if (this != &other) {
      page_storage::release(data_, bytes_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      bytes_ = std::exchange(other.bytes_, 0);
    }
    return *this;
  }
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;

  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  size_t capacity() const { return capacity_; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T& back() { return data_[size_ - 1]; }

  void reserve(size_t n) {
    if (n > capacity_) regrow(n);
  }
  void push_back(const T& value) {
    if (size_ == capacity_) {
      const T copy = value;  // `value` may live in the storage that moves
      regrow(next_capacity(size_ + 1));
      data_[size_++] = copy;
      return;
    }
    data_[size_++] = value;
  }
  void pop_back() { --size_; }
  // Appends `n` values from `values` (which must not point into this array).
  void append(const T* values, size_t n) {
    if (size_ + n > capacity_) regrow(next_capacity(size_ + n));
    if (n != 0) std::memcpy(static_cast<void*>(data_ + size_), values, n * sizeof(T));
    size_ += n;
  }
  // New values past the old size are copies of `fill`.
  void resize(size_t n, const T& fill = T{}) {
    if (n > capacity_) regrow(next_capacity(n));
    for (size_t i = size_; i < n; ++i) data_[i] = fill;
    size_ = n;
  }
  void clear() { size_ = 0; }
  // The first `n` values are not read again: the pages that hold only
  // them go back to the system (reading them afterwards gives zeros), so
  // that an array consumed front to back shrinks as it goes. The size
  // stays.
  void release_front(size_t n) {
    page_storage::release_front(data_, bytes_, std::min(n, size_) * sizeof(T));
  }
  // Forgets every value and holds `n` zero-valued ones (all bytes zero),
  // in storage of its own: fresh pages are zero already, so only the values
  // written later cost memory.
  void assign_zeroed(size_t n) {
    page_storage::release(data_, bytes_);
    data_ = nullptr;
    size_ = capacity_ = bytes_ = 0;
    if (n != 0) {
      regrow(n);
      size_ = n;
    }
  }

 private:
  size_t next_capacity(size_t need) const {
    return std::max({need, capacity_ * 2, size_t(16)});
  }
  void regrow(size_t n) {
    size_t bytes = n * sizeof(T);
    data_ = static_cast<T*>(page_storage::regrow(data_, bytes_, size_ * sizeof(T), bytes));
    bytes_ = bytes;
    capacity_ = bytes / sizeof(T);
  }

  T* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t bytes_ = 0;  // the storage's real size, which says how it was made
};

}  // namespace quor::util
