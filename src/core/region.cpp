// Region: mmap, mremap and madvise behind a column's memory.
#include "region.hpp"

#include <sys/mman.h>
#include <unistd.h>

namespace vorn {
namespace {

constexpr std::size_t kHugeAdviceFrom = std::size_t(4) << 20;

std::size_t page_size() noexcept {
  static const std::size_t size = std::size_t(::sysconf(_SC_PAGESIZE));
  return size;
}

std::size_t round_to_pages(std::size_t bytes) noexcept {
  const std::size_t page = page_size();
  return (bytes + page - 1) / page * page;
}

void advise(void* base, std::size_t bytes) noexcept {
#ifdef MADV_HUGEPAGE
  // As NumPy does for large arrays: first touches then cost a fraction.
  if (bytes >= kHugeAdviceFrom) (void)::madvise(base, bytes, MADV_HUGEPAGE);
#else
  (void)base;
  (void)bytes;
#endif
}

}  // namespace

bool Region::reserve(std::size_t bytes) noexcept {
  if (bytes <= mapped_) return true;
  if (bytes > SIZE_MAX - page_size()) return false;
  const std::size_t want = round_to_pages(bytes);
  void* p;
  if (!base_) {
    // No reservation is charged for untouched pages, so that an upper bound
    // can be mapped where the exact size is not known yet.
    p = ::mmap(nullptr, want, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE,
               -1, 0);
  } else {
    p = ::mremap(base_, mapped_, want, MREMAP_MAYMOVE);
  }
  if (p == MAP_FAILED) return false;
  base_ = p;
  mapped_ = want;
  advise(base_, mapped_);
  return true;
}

void Region::trim(std::size_t bytes) noexcept {
  const std::size_t keep = round_to_pages(bytes);
  if (!base_ || keep >= mapped_) return;
  if (keep == 0) {
    release(std::exchange(base_, nullptr), std::exchange(mapped_, 0));
    return;
  }
  (void)::munmap(static_cast<std::uint8_t*>(base_) + keep, mapped_ - keep);
  mapped_ = keep;
}

std::uint8_t* Region::data() const noexcept {
  // An empty column still needs an address, aligned for any element type.
  alignas(16) static std::uint8_t empty[16];
  return base_ ? static_cast<std::uint8_t*>(base_) : empty;
}

void Region::release(void* base, std::size_t mapped) noexcept {
  if (base) (void)::munmap(base, mapped);
}

}  // namespace vorn
