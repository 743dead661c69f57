// BufReader: an 8192-byte buffer in front of a file, with exact little-endian
// reads; IoError and Result<T>, the way fallible reads report.
#pragma once

#include <array>
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

namespace vorn {

struct IoError {
  enum class Kind : std::uint8_t { eof, system };
  Kind kind;
  int code;  // errno for Kind::system, 0 for Kind::eof

  static IoError eof() noexcept { return {Kind::eof, 0}; }
  static IoError system(int code) noexcept { return {Kind::system, code}; }
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
};

// An open file descriptor, owned: closed on destruction, the result ignored.
class FdSource final : public Source {
 public:
  explicit FdSource(int fd) noexcept : fd_(fd) {}
  FdSource(const FdSource&) = delete;
  FdSource& operator=(const FdSource&) = delete;
  ~FdSource() override;
  std::int64_t read(std::uint8_t* dst, std::size_t len) override;
  int seek(std::uint64_t offset) override;
  std::optional<std::uint64_t> size() override;

 private:
  int fd_;
  enum class Shape : std::uint8_t { untested, regular, other } shape_ = Shape::untested;
};

// Opens `path` read-only and close-on-exec, repeating on EINTR: the open
// file, or the errno of the failure.
Result<std::unique_ptr<Source>> open_file(const char* path);

// Whether the file can still supply a number of bytes from the current
// position; `unknown` for input whose length cannot be known ahead.
enum class Supply : std::uint8_t { enough, short_of, unknown };

class BufReader {
 public:
  static constexpr std::size_t kBufferSize = 8192;

  // Takes a source standing at offset 0; reads nothing. Throws bad_alloc if
  // the buffer cannot be had.
  explicit BufReader(std::unique_ptr<Source> source);

  // At most one system read. A request of kBufferSize or more that meets an
  // empty buffer goes straight into `out`; otherwise buffered bytes are
  // handed out first and the buffer is refilled only once empty. EINTR is
  // returned, not retried.
  Result<std::size_t> read(std::span<std::uint8_t> out);

  // Fills `out` completely or fails. The file ending first is Kind::eof;
  // EINTR is retried; bytes handed out before a failure stay consumed.
  Status read_exact(std::span<std::uint8_t> out) {
    if (filled_ - pos_ >= out.size()) {
      if (!out.empty()) std::memcpy(out.data(), buffer_.get() + pos_, out.size());
      pos_ += out.size();
      return success();
    }
    return read_exact_slow(out);
  }

  Result<std::uint32_t> read_u32() { return read_le<std::uint32_t>(); }
  Result<std::int32_t> read_i32() { return read_le<std::int32_t>(); }
  Result<std::uint64_t> read_u64() { return read_le<std::uint64_t>(); }

  // Seeks to offset 0 and discards the buffer; on failure nothing changes.
  Status rewind() { return seek_to(0); }

  // The file offset of the next byte this reader hands out.
  std::uint64_t position() const noexcept { return offset_ - (filled_ - pos_); }

  // Seeks to `offset` and discards the buffer; on failure nothing changes.
  Status seek_to(std::uint64_t offset);

  // Whether `n` more bytes can be read from position(). Asks the system for
  // the file's length only when what it last learned does not suffice, since
  // a file being written may have grown.
  Supply can_supply(std::uint64_t n);

  // Consumes `n` bytes without keeping them: by a seek where the input can
  // seek, else by reading through the buffer. Fails with Kind::eof when the
  // input holds fewer.
  Status skip(std::uint64_t n);

 private:
  Status read_exact_slow(std::span<std::uint8_t> out);

  template <class T>
  Result<T> read_le() {
    std::array<std::uint8_t, sizeof(T)> b;
    if (Status st = read_exact(b); !st.ok()) return st.error();
    return load_le<T>(b.data());
  }

  std::unique_ptr<Source> source_;
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t filled_ = 0;
  std::uint64_t offset_ = 0;  // the source's file offset, as this reader moved it
  std::optional<std::uint64_t> known_size_;
};

}  // namespace vorn
