// BufReader: an 8192-byte buffer in front of a file, with exact little-endian
// reads; IoError and Result<T>, the way fallible reads report.
#pragma once

#include <array>
#include <cerrno>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace vorn {

struct IoError {
  // interrupted: a signal arrived while waiting and the reader's owner chose
  // to stop (a Python signal handler raised); the input itself is fine.
  enum class Kind : std::uint8_t { eof, system, interrupted };
  Kind kind;
  int code;  // errno for Kind::system, EINTR for Kind::interrupted, 0 for Kind::eof

  static IoError eof() noexcept { return {Kind::eof, 0}; }
  static IoError system(int code) noexcept { return {Kind::system, code}; }
  static IoError interrupted() noexcept { return {Kind::interrupted, EINTR}; }
  bool is_eof() const noexcept { return kind == Kind::eof; }
  // "failed to fill whole buffer" | "<system text> (os error N)"
  std::string message() const;
};

// The system's text for an error number, without the number.
std::string errno_text(int code);

template <class T>
class [[nodiscard]] Result {
 public:
  Result(T value) : v_(std::move(value)) {}
  Result(IoError error) : v_(error) {}
  bool ok() const noexcept { return v_.index() == 0; }
  T& value() & { return std::get<0>(v_); }
  T&& value() && { return std::get<0>(std::move(v_)); }
  const IoError& error() const { return std::get<1>(v_); }

 private:
  std::variant<T, IoError> v_;
};
using Status = Result<std::monostate>;
inline Status success() noexcept { return std::monostate{}; }

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

// What the owner of a reader does around system calls that may block, and
// after a signal interrupts one. The Python binding releases the interpreter
// lock while blocked and runs the interpreter's signal handlers on EINTR.
class Waiting {
 public:
  virtual ~Waiting() = default;
  virtual void enter() noexcept {}  // a call that may block is about to be made
  virtual void leave() noexcept {}  // it has returned
  // A call was interrupted by a signal: true to make it again, false to stop.
  virtual bool resume() noexcept { return true; }
};

// Waits without doing anything and always resumes.
Waiting& plain_waiting() noexcept;

// The system calls behind a BufReader. Tests put a scripted source here to
// give short reads, EINTR, EIO and failed seeks, and to count calls.
class Source {
 public:
  virtual ~Source() = default;
  // One system read: the count delivered (0 at end of file) or -errno.
  virtual std::int64_t read(std::uint8_t* dst, std::size_t len) = 0;
  // Sets the file offset, counted from the start: 0 or an errno.
  virtual int seek(std::uint64_t offset) = 0;
  // The file's current length where it has one (a regular file); nullopt for
  // pipes, devices and anything else whose length cannot be known ahead.
  virtual std::optional<std::uint64_t> size() = 0;
  // A read was interrupted by a signal: true to read again, false to stop.
  virtual bool resume_after_interrupt() { return true; }
  // The open file descriptor behind the source, for callers that fstat it;
  // -1 where there is none.
  virtual int fd() const noexcept { return -1; }
  // Reads into `parts` in order, as one system read where the source can
  // (preadv): the count delivered, fewer only where the input ends or a read
  // comes up short, or -errno. Here: one read() per part.
  virtual std::int64_t read_scattered(std::span<const std::span<std::uint8_t>> parts);
};

// An open file descriptor, owned: closed on destruction, the result ignored.
// Regular files and block devices are read with pread at an offset kept
// here; anything else (pipes, FIFOs, terminals) with read and lseek. Reads
// of anything but a regular file happen inside the owner's Waiting, since
// they may block.
class FdSource final : public Source {
 public:
  enum class Shape : std::uint8_t { regular, device, other };
  FdSource(int fd, Shape shape, Waiting& waiting) noexcept
      : fd_(fd), shape_(shape), waiting_(waiting) {}
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;
  ~FdSource() override;
  std::int64_t read(std::uint8_t* dst, std::size_t len) override;
  int seek(std::uint64_t offset) override;
  // st_size for a regular file, the length found by seeking to the end for a
  // block device, nothing for pipes and the like. A regular file's st_size
  // may be smaller than what it holds (/proc, sysfs, some network file
  // systems): callers take it as a promise, never as a limit.
  std::optional<std::uint64_t> size() override;
  bool resume_after_interrupt() override { return waiting_.resume(); }
  int fd() const noexcept override { return fd_; }
  std::int64_t read_scattered(std::span<const std::span<std::uint8_t>> parts) override;

 private:
  int fd_;
  Shape shape_;
  Waiting& waiting_;
  std::uint64_t offset_ = 0;  // where the next pread of a file or device starts
};

// Opens `path` read-only and close-on-exec: the open file, or the errno of
// the failure. The open may block (a FIFO without a writer), so it happens
// inside `waiting`; on EINTR it is made again unless `waiting` says to stop,
// which gives Kind::interrupted.
Result<std::unique_ptr<Source>> open_file(const char* path, Waiting& waiting = plain_waiting());

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
  // seek, else by reading through the buffer. Fails with Kind::eof when the
  // input holds fewer. Where the length does not vouch for the bytes, the
  // seek goes to the last of them and reads it; a device that refuses that
  // seek does not have them. The skipped bytes are never read from input
  // that can seek.
  Status skip(std::uint64_t n);

 private:
  Status read_exact_slow(std::span<std::uint8_t> out);
  // Given-back bytes first, else one read of the source: the count (0 at
  // the end of the input) or its error, EINTR included; pull_retrying asks
  // the source whether to go on after EINTR.
  Result<std::size_t> pull(std::uint8_t* dst, std::size_t len);
  Result<std::size_t> pull_retrying(std::uint8_t* dst, std::size_t len);

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

}  // namespace vorn
