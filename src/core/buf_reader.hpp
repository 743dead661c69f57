// BufReader: an 8192-byte buffer in front of a source, with exact
// little-endian reads.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "result.hpp"
#include "source.hpp"

namespace vorn {

// Assembles an integer from bytes least significant first, on any host.
template <class T>
T load_le(const std::uint8_t* p) noexcept {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    U r = 0;
    for (std::size_t i = 0; i < sizeof v; ++i) r = U(r << 8) | U((v >> (8 * i)) & 0xff);
    v = r;
  }
  return static_cast<T>(v);
}

// Whether the file can still supply a number of bytes from the current
// position; `unknown` for input whose length cannot be known ahead.
enum class Supply : std::uint8_t { enough, short_of, unknown };

class BufReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Takes a source standing at offset 0; reads nothing. `buffer_size` is
  // also the bypass threshold of read(). Throws bad_alloc if the buffer
  // cannot be had.
  explicit BufReader(std::unique_ptr<Source> source, std::size_t buffer_size = kBufferSize);

  // At most one system read. A request of the buffer's size or more that meets an
  // empty buffer goes straight into `out`; otherwise buffered bytes are
  // handed out first and the buffer is refilled only once empty. EINTR is
  // returned, not retried.
  Result<std::size_t> read(std::span<std::uint8_t> out);

  // Fills `out` completely or fails. The file ending first is Kind::eof;
  // EINTR is retried unless the source says to stop (Kind::interrupted);
  // bytes handed out before a failure stay consumed.
  Status read_exact(std::span<std::uint8_t> out) {
    if (filled_ - pos_ >= out.size()) {
      if (!out.empty()) std::memcpy(out.data(), buffer_.get() + pos_, out.size());
      pos_ += out.size();
      return success();
    }
    return read_exact_slow(out);
  }

  // read_exact, except that every byte beyond the buffered ones goes from
  // the source straight into `out`, however few are missing: for blocks
  // large enough that a copy through the buffer costs more than a read.
  Status read_exact_direct(std::span<std::uint8_t> out);

  Result<std::uint32_t> read_u32() { return read_le<std::uint32_t>(); }
  Result<std::int32_t> read_i32() { return read_le<std::int32_t>(); }
  Result<std::uint64_t> read_u64() { return read_le<std::uint64_t>(); }

  // Seeks to offset 0 and discards the buffer; on failure nothing changes.
  Status rewind() { return seek_to(0); }

  // The bytes buffered and not yet handed out, for a caller that decodes in
  // place; consume() hands them out.
  std::span<const std::uint8_t> buffered() const noexcept {
    return {buffer_.get() + pos_, filled_ - pos_};
  }
  void consume(std::size_t n) noexcept { pos_ += n; }
  // Whether nothing is buffered or given back: the next byte comes from the source.
  bool drained() const noexcept { return pos_ == filled_ && replay_pos_ == replay_.size(); }
  // The most a refill of read() asks for (at most the buffer's size): a
  // reader about to look at a few bytes only need not fill a large buffer.
  void limit_refill(std::size_t bytes) noexcept { refill_ = std::min(bytes, capacity_); }

  // When drained(), reads straight into `parts`, in order, with one
  // system read where the source can: the count delivered, 0 at the end of
  // the input. EINTR is retried unless the source says to stop.
  Result<std::size_t> read_scattered(std::span<const std::span<std::uint8_t>> parts);

  // Tops the buffer up until at least `n` bytes are buffered (n <= the
  // buffer's size), moving what is left to its front; each system read asks
  // for at most max(n, `limit`) bytes. Nothing is consumed: on failure, the
  // file ending first (Kind::eof) included, every byte stays buffered.
  Status fill(std::size_t n, std::size_t limit = SIZE_MAX);

  // Reads `bytes` into memory that `room(n)` makes hold at least n bytes and
  // returns the start of (nullptr when it cannot: the system error ENOMEM).
  // Where the file's length vouches for the bytes they are read at once, else
  // 1 MiB first and then twice what arrived so far, so that memory follows
  // the bytes that actually arrive. `direct`: as read_exact_direct. On
  // failure the bytes read so far lie at the start of the memory.
  template <class Room>
  Status read_growing(std::uint64_t bytes, Room&& room, bool direct = false);

  const Source& source() const noexcept { return *source_; }

  // The file offset of the next byte this reader hands out.
  std::uint64_t position() const noexcept { return offset_ - (filled_ - pos_); }

  // Seeks to `offset` and discards the buffer; on failure nothing changes.
  Status seek_to(std::uint64_t offset);

  // Hands `bytes` out again before anything else, so that position() moves
  // back by their length: how input that cannot seek gives back the bytes of
  // a record it must not lose. Throws bad_alloc if they cannot be held.
  void unread(std::span<const std::uint8_t> bytes);

  // The bytes the file's length says are left after position(); nullopt
  // where there is no length. A length may lag behind the content: a hint
  // for sizing, never a limit.
  std::optional<std::uint64_t> length_hint();

  // Whether `n` more bytes can be read from position(). Asks the system for
  // the file's length only when what it last learned does not suffice, since
  // a file being written may have grown.
  Supply can_supply(std::uint64_t n);

  // Consumes `n` bytes without keeping them: by a seek where the input can
  // seek, else by reading them. Fails with Kind::eof when the input holds
  // fewer. Where the length does not vouch for the bytes, the seek goes to
  // the last of them and reads it; a device that refuses that seek does not
  // have them. The skipped bytes are never read from input that can seek;
  // input that cannot gets back every byte read when the skip fails, so that
  // a caller can leave its record whole (memory follows the bytes read).
  Status skip(std::uint64_t n);

 private:
  Status read_exact_slow(std::span<std::uint8_t> out);
  // Given-back bytes first, else one read of the source: the count (0 at
  // the end of the input) or its error, EINTR included; pull_retrying asks
  // the source whether to go on after EINTR.
  Result<std::size_t> pull(std::uint8_t* dst, std::size_t len);
  Result<std::size_t> pull_retrying(std::uint8_t* dst, std::size_t len);
  // `attempt` again after EINTR, unless the source says to stop.
  template <class Attempt>
  auto retrying(Attempt&& attempt) {
    return retry_interrupted(attempt, [&] { return source_->resume_after_interrupt(); });
  }

  template <class T>
  Result<T> read_le() {
    std::array<std::uint8_t, sizeof(T)> b;
    if (Status st = read_exact(b); !st.ok()) return st.error();
    return load_le<T>(b.data());
  }

  std::unique_ptr<Source> source_;
  std::size_t capacity_;
  std::size_t refill_ = capacity_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  // The source's file offset as this reader moved it, less the bytes of
  // replay_ not yet handed out.
  std::uint64_t offset_ = 0;
  std::optional<std::uint64_t> known_size_;
  std::vector<std::uint8_t> replay_;  // bytes given back by unread(), from replay_pos_ on
  std::size_t replay_pos_ = 0;
};

template <class Room>
Status BufReader::read_growing(std::uint64_t bytes, Room&& room, bool direct) {
  if (bytes > SIZE_MAX) return IoError::system(ENOMEM);
  std::uint64_t step = bytes;
  if (can_supply(bytes) != Supply::enough) step = std::min<std::uint64_t>(bytes, 1 << 20);
  std::uint64_t done = 0;
  while (done < bytes) {
    const std::uint64_t upto = std::min(bytes, done + step);
    std::uint8_t* base = room(std::size_t(upto));
    if (!base) return IoError::system(ENOMEM);
    const std::span<std::uint8_t> part{base + done, std::size_t(upto - done)};
    if (Status st = direct ? read_exact_direct(part) : read_exact(part); !st.ok()) return st;
    done = upto;
    step = done;
  }
  return success();
}

}  // namespace vorn
