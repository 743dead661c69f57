// SampleBuffer: the owned, exactly sized sample vector of one record, and
// read_samples, which fills one straight from the file.
#pragma once

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "buf_reader.hpp"

namespace vorn {

// The largest size of a single object; larger sample blocks cannot exist.
inline constexpr std::uint64_t kMaxObjectBytes = std::uint64_t(INT64_MAX);

// Memory from malloc, never zero-filled, released with free by whoever owns
// it last (the buffer itself, or the array owner it is handed to).
template <class T>
class SampleBuffer {
 public:
  SampleBuffer() = default;
  SampleBuffer(SampleBuffer&& o) noexcept
      : ptr_(std::exchange(o.ptr_, nullptr)),
        len_(std::exchange(o.len_, 0)),
        cap_(std::exchange(o.cap_, 0)) {}
  SampleBuffer& operator=(SampleBuffer&& o) noexcept {
    std::swap(ptr_, o.ptr_);
    std::swap(len_, o.len_);
    std::swap(cap_, o.cap_);
    return *this;
  }
  ~SampleBuffer() { drop(ptr_, len_, cap_); }

  // `cap` elements of uninitialised storage, len 0; false when out of memory.
  bool reserve_exact(std::size_t cap) {
    if (cap <= cap_) return true;
    void* p = std::realloc(ptr_, cap * sizeof(T));
    if (!p) return false;
    ptr_ = static_cast<T*>(p);
    cap_ = cap;
    return true;
  }
  void set_size(std::size_t len) noexcept { len_ = len; }

  T* data() noexcept { return ptr_; }
  const T* data() const noexcept { return ptr_; }
  std::size_t size() const noexcept { return len_; }
  std::size_t capacity() const noexcept { return cap_; }
  std::span<std::uint8_t> bytes(std::size_t from, std::size_t to) noexcept {
    return {reinterpret_cast<std::uint8_t*>(ptr_) + from * sizeof(T), (to - from) * sizeof(T)};
  }

  struct RawParts {
    T* ptr;  // never null: an empty buffer gives an aligned address that is never read
    std::size_t len;
    std::size_t cap;
  };
  // Gives up ownership; release the parts with drop().
  RawParts into_raw() && noexcept {
    T* p = ptr_ ? ptr_ : reinterpret_cast<T*>(alignof(T));
    RawParts parts{p, len_, cap_};
    ptr_ = nullptr;
    len_ = cap_ = 0;
    return parts;
  }
  static void drop(T* ptr, std::size_t /*len*/, std::size_t cap) noexcept {
    if (cap != 0) std::free(ptr);
  }

 private:
  T* ptr_ = nullptr;
  std::size_t len_ = 0;
  std::size_t cap_ = 0;
};

// Reads `count` little-endian elements into `out`, an empty buffer that it
// sizes exactly, each byte written once, by the read into its final memory.
// Never reserves more than the file can supply: where the file's length does
// not vouch for the block (a short or unsized file, a length that lags behind
// the content), the buffer grows as bytes arrive, so memory follows the
// bytes actually read. Out of memory is the system error ENOMEM. On failure
// `out` holds the bytes read so far, at its start, for a caller that must
// give them back. The caller guarantees count * sizeof(T) <= kMaxObjectBytes.
template <class T>
Status read_samples(BufReader& in, std::uint64_t count, SampleBuffer<T>& out) {
  static_assert(sizeof(T) == 2 || sizeof(T) == 4);
  if (count == 0) return success();
  const Status st = in.read_growing(count * sizeof(T), [&](std::size_t bytes) {
    return out.reserve_exact(bytes / sizeof(T)) ? reinterpret_cast<std::uint8_t*>(out.data()) : nullptr;
  });
  if (!st.ok()) return st;
  const std::size_t done = std::size_t(count);
  out.set_size(done);
  if constexpr (std::endian::native == std::endian::big) {
    using U = std::conditional_t<sizeof(T) == 2, std::uint16_t, std::uint32_t>;
    for (std::size_t i = 0; i < done; ++i) {
      U u;
      std::memcpy(&u, out.data() + i, sizeof u);
      u = load_le<U>(reinterpret_cast<const std::uint8_t*>(&u));
      std::memcpy(out.data() + i, &u, sizeof u);
    }
  }
  return success();
}

}  // namespace vorn
