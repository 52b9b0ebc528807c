// Column buffers for results of any size.
//
// A column lives in its own anonymous mapping with transparent huge pages, which is what
// makes filling tens of millions of rows cost no more than touching the memory (plain
// heap blocks cost 3x more in page faults). Growth remaps instead of copying, so even a
// multi-gigabyte column is never copied; address space reserved but never written costs
// nothing. A finished buffer is handed to NumPy without a copy (release()).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tiltgram {

// An anonymous mapping, unmapped by its destructor.
class MappedBuffer {
 public:
  MappedBuffer() noexcept = default;
  // Maps at least `bytes` (rounded up to the page size). Throws std::bad_alloc.
  explicit MappedBuffer(std::size_t bytes);
  MappedBuffer(MappedBuffer&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)), mapped_(std::exchange(o.mapped_, 0)) {}
  MappedBuffer& operator=(MappedBuffer&& o) noexcept {
    if (this != &o) {
      reset();
      data_ = std::exchange(o.data_, nullptr);
      mapped_ = std::exchange(o.mapped_, 0);
    }
    return *this;
  }
  MappedBuffer(const MappedBuffer&) = delete;
  MappedBuffer& operator=(const MappedBuffer&) = delete;
  ~MappedBuffer() { reset(); }

  void* data() const noexcept { return data_; }
  std::size_t mapped_bytes() const noexcept { return mapped_; }
  // Grows (or shrinks) the mapping to at least `bytes`, keeping its contents; may move.
  // Throws std::bad_alloc.
  void resize(std::size_t bytes);
  void reset() noexcept;
  // Backs the first `bytes` with memory now rather than at first write, where the system
  // can (best effort: nothing happens where it cannot).
  void populate(std::size_t bytes) noexcept { populate(0, bytes); }
  // The same for the bytes [from, to) (whole pages around them).
  void populate(std::size_t from, std::size_t to) noexcept;

 private:
  void* data_ = nullptr;
  std::size_t mapped_ = 0;
};

// A growable array of trivially copyable T over a MappedBuffer.
template <class T>
class Column {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  Column() noexcept = default;
  Column(Column&&) noexcept = default;
  Column& operator=(Column&&) noexcept = default;

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  std::size_t capacity() const noexcept { return buf_.mapped_bytes() / sizeof(T); }
  T* data() noexcept { return static_cast<T*>(buf_.data()); }
  const T* data() const noexcept { return static_cast<const T*>(buf_.data()); }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }

  // Room for `n` elements in all (address space only: pages are touched when written).
  void reserve(std::size_t n) {
    if (n > capacity()) grow_to(n);
  }
  // The same where the room is only a help (the column grows as it fills otherwise):
  // false, nothing changed, when the system refuses the address space.
  bool try_reserve(std::size_t n) noexcept {
    if (n <= capacity()) return true;
    if (n > SIZE_MAX / sizeof(T)) return false;
    try {
      buf_.resize(n * sizeof(T));
    } catch (const std::bad_alloc&) {
      return false;
    }
    return true;
  }
  // Backs the first `n` reserved elements with memory now (best effort).
  void populate(std::size_t n) noexcept { populate(0, n); }
  // The same for elements [from, to).
  void populate(std::size_t from, std::size_t to) noexcept {
    if (to > capacity()) to = capacity();
    if (from < to) buf_.populate(from * sizeof(T), to * sizeof(T));
  }
  // Makes room for `n` more elements and returns where they go; commit(n) adds them.
  T* append_space(std::size_t n) {
    if (size_ + n > capacity()) grow_to(size_ + n);
    return data() + size_;
  }
  void commit(std::size_t n) noexcept { size_ += n; }
  void push_back(T v) {
    *append_space(1) = v;
    ++size_;
  }
  void append(const T* src, std::size_t n) {
    std::memcpy(append_space(n), src, n * sizeof(T));
    size_ += n;
  }
  void fill_append(T v, std::size_t n) {
    T* p = append_space(n);
    for (std::size_t i = 0; i < n; ++i) p[i] = v;
    size_ += n;
  }
  // Keeps the first n elements.
  void truncate(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }
  // Returns the address space beyond size() (in place, no copy).
  void shrink_to_fit() {
    if (buf_.data() != nullptr) buf_.resize(size_ == 0 ? 1 : size_ * sizeof(T));
  }
  // Hands the mapping over (the element count is size()); the column becomes empty.
  MappedBuffer release() noexcept {
    size_ = 0;
    return std::move(buf_);
  }

 private:
  // Doubles, or grows to exactly `n` when the system refuses the doubled address space.
  void grow_to(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    std::size_t want = capacity() > SIZE_MAX / sizeof(T) / 2 ? n : capacity() * 2;
    if (want < n) want = n;
    if (want < 1024) want = 1024;
    if (want > n) {
      try {
        buf_.resize(want * sizeof(T));
        return;
      } catch (const std::bad_alloc&) {
      }
    }
    buf_.resize(n * sizeof(T));
  }

  MappedBuffer buf_;
  std::size_t size_ = 0;
};

}  // namespace tiltgram
