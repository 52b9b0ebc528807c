#include "package/columns/column.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace tiltgram {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;

std::size_t round_up(std::size_t n, std::size_t to) {
  if (n > SIZE_MAX - to) throw std::bad_alloc();
  return (n + to - 1) / to * to;
}

// Large mappings are rounded to whole huge pages so that the kernel can back all of them
// with 2 MiB pages.
std::size_t mapping_size(std::size_t bytes) {
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return bytes >= kHugePage ? round_up(bytes, kHugePage) : round_up(bytes == 0 ? 1 : bytes, page);
}

void advise(void* p, std::size_t n) {
  if (n >= kHugePage) ::madvise(p, n, MADV_HUGEPAGE);
}

// Maps n bytes (a multiple of the page size); a mapping of a huge page or more starts on a
// huge-page boundary (one huge page more is mapped, and the excess trimmed).
char* map_aligned(std::size_t n) {
  const std::size_t slack = n >= kHugePage ? kHugePage : 0;
  void* raw = ::mmap(nullptr, n + slack, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  auto* p = static_cast<char*>(raw);
  if (slack != 0) {
    const auto addr = reinterpret_cast<std::uintptr_t>(raw);
    const std::size_t lead = (kHugePage - addr % kHugePage) % kHugePage;
    if (lead != 0) ::munmap(p, lead);
    if (slack - lead != 0) ::munmap(p + lead + n, slack - lead);
    p += lead;
  }
  advise(p, n);
  return p;
}
}  // namespace

MappedBuffer::MappedBuffer(std::size_t bytes) {
  const std::size_t n = mapping_size(bytes);
  data_ = map_aligned(n);
  mapped_ = n;
}

void MappedBuffer::resize(std::size_t bytes) {
  if (data_ == nullptr) {
    *this = MappedBuffer(bytes);
    return;
  }
  const std::size_t n = mapping_size(bytes);
  if (n == mapped_) return;
  if (n < mapped_ || n < kHugePage) {
    // Shrinking stays in place; small mappings may move anywhere.
    void* p = ::mremap(data_, mapped_, n, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw std::bad_alloc();
    data_ = p;
    mapped_ = n;
    return;
  }
  // Growing a large mapping: the pages move (page tables only, no copy) into the start
  // of a new huge-page-aligned mapping, so the column keeps its huge pages. That needs
  // the old and the new mapping at once; where the address space cannot hold both (a
  // limit set with RLIMIT_AS), the mapping grows in place or moves as a whole instead.
  char* target = nullptr;
  try {
    target = map_aligned(n);
  } catch (const std::bad_alloc&) {
    void* p = ::mremap(data_, mapped_, n, MREMAP_MAYMOVE);
    if (p == MAP_FAILED) throw;
    advise(p, n);
    data_ = p;
    mapped_ = n;
    return;
  }
  void* p = ::mremap(data_, mapped_, mapped_, MREMAP_MAYMOVE | MREMAP_FIXED, target);
  if (p == MAP_FAILED) {
    ::munmap(target, n);
    throw std::bad_alloc();
  }
  advise(target, n);
  data_ = target;
  mapped_ = n;
}

void MappedBuffer::populate(std::size_t from, std::size_t to) noexcept {
#ifdef MADV_POPULATE_WRITE
  static const std::size_t page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  if (data_ == nullptr || from >= to) return;
  const std::size_t start = from / page * page;
  std::size_t end = round_up(to, page);
  if (end > mapped_) end = mapped_;
  if (start < end) ::madvise(static_cast<char*>(data_) + start, end - start, MADV_POPULATE_WRITE);
#else
  (void)from;
  (void)to;
#endif
}

void MappedBuffer::reset() noexcept {
  if (data_ != nullptr) ::munmap(data_, mapped_);
  data_ = nullptr;
  mapped_ = 0;
}

}  // namespace tiltgram
