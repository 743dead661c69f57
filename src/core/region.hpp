// Region: anonymous memory that becomes a column, reserved for an upper bound
// and grown by remapping, so that its bytes are written once and never copied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace vorn {

class Region {
 public:
  Region() = default;
  Region(Region&& o) noexcept
      : base_(std::exchange(o.base_, nullptr)), mapped_(std::exchange(o.mapped_, 0)) {}
  Region& operator=(Region&& o) noexcept {
    std::swap(base_, o.base_);
    std::swap(mapped_, o.mapped_);
    return *this;
  }
  Region(const Region&) = delete;
  Region& operator=(const Region&) = delete;
  ~Region() { release(base_, mapped_); }

  // Makes room for at least `bytes`, keeping the contents: the first call
  // maps pages (only touched ones cost memory), later ones remap them, which
  // may move the region but never copies its bytes. False when out of memory.
  // Regions of 4 MiB and more are advised for transparent huge pages.
  bool reserve(std::size_t bytes) noexcept;

  // Gives back the pages beyond `bytes`.
  void trim(std::size_t bytes) noexcept;

  // Never null, even when nothing is mapped; aligned to a page.
  std::uint8_t* data() const noexcept;
  std::size_t capacity() const noexcept { return mapped_; }

  // Gives up the mapping, to be released with release().
  std::pair<void*, std::size_t> into_raw() && noexcept {
    return {std::exchange(base_, nullptr), std::exchange(mapped_, 0)};
  }
  static void release(void* base, std::size_t mapped) noexcept;

 private:
  void* base_ = nullptr;
  std::size_t mapped_ = 0;
};

}  // namespace vorn
