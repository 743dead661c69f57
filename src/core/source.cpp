// The file source: system errors, FdSource and open_file.
#include "source.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace vorn {
namespace {

// strerror_r comes in two shapes: the XSI one returns a status and fills the
// buffer, the GNU one returns the text.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
  return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

// The source of an open descriptor it now owns, read as its file's kind asks.
std::unique_ptr<Source> adopted(int fd, Waiting& waiting) {
  struct stat st;
  FdSource::Shape shape = FdSource::Shape::other;
  if (::fstat(fd, &st) == 0) {
    if (S_ISREG(st.st_mode)) shape = FdSource::Shape::regular;
    if (S_ISBLK(st.st_mode)) shape = FdSource::Shape::device;
  }
  return std::make_unique<FdSource>(fd, shape, waiting);
}

}  // namespace

std::string errno_text(int code) {
  char buf[256] = {};
  const char* text = strerror_text(strerror_r(code, buf, sizeof buf), buf);
  return text ? std::string(text) : "Unknown error " + std::to_string(code);
}

std::string IoError::message() const {
  if (is_eof()) return "failed to fill whole buffer";
  return errno_text(code) + " (os error " + std::to_string(code) + ")";
}

std::int64_t Source::read_scattered(std::span<const std::span<std::uint8_t>> parts) {
  std::int64_t total = 0;
  for (std::span<std::uint8_t> part : parts) {
    while (!part.empty()) {
      const std::int64_t n = read(part.data(), part.size());
      if (n < 0) return total ? total : n;
      if (n == 0) return total;
      total += n;
      part = part.subspan(std::size_t(n));
    }
  }
  return total;
}

std::int64_t Source::read_at(std::span<const std::span<std::uint8_t>>, std::uint64_t) const {
  return -ENOTSUP;
}

std::int64_t Source::read_at_uninterrupted(std::span<const std::span<std::uint8_t>> parts,
                                           std::uint64_t offset) const noexcept {
  Result<std::int64_t> got = retry_interrupted(
      [&]() -> Result<std::int64_t> {
        const std::int64_t n = read_at(parts, offset);
        if (n < 0) return IoError::system(int(-n));
        return n;
      },
      [] { return true; });
  return got.ok() ? got.value() : -std::int64_t(got.error().code);
}

Waiting& plain_waiting() noexcept {
  static Waiting waiting;
  return waiting;
}

FdSource::~FdSource() { ::close(fd_); }

std::int64_t FdSource::read(std::uint8_t* dst, std::size_t len) {
  // Linux moves at most 0x7ffff000 bytes per read; ask for no more.
  len = std::min<std::size_t>(len, 0x7ffff000);
  const bool may_block = shape_ != Shape::regular;
  if (may_block) waiting_.enter();
  // Files and devices are read at an offset kept here, so that a seek is
  // free: stepping over a block costs no system call of its own.
  const ssize_t n = shape_ == Shape::other ? ::read(fd_, dst, len)
                                           : ::pread(fd_, dst, len, off_t(offset_));
  const int err = errno;
  if (may_block) waiting_.leave();
  if (n < 0) return -err;
  if (shape_ != Shape::other) offset_ += std::uint64_t(n);
  return n;
}

namespace {
// The system's vector for `parts`: nullopt where there are more than it
// takes at once or they add up to more than one read moves (0x7ffff000).
std::optional<std::span<iovec>> vector_of(std::span<const std::span<std::uint8_t>> parts,
                                          std::array<iovec, 1024>& iov) noexcept {
  if (parts.size() > iov.size()) return std::nullopt;
  std::size_t bytes = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    iov[i] = {parts[i].data(), parts[i].size()};
    bytes += parts[i].size();
    if (bytes > 0x7ffff000) return std::nullopt;
  }
  return std::span(iov).first(parts.size());
}
}  // namespace

std::int64_t FdSource::read_scattered(std::span<const std::span<std::uint8_t>> parts) {
  std::array<iovec, 1024> iov;
  const std::optional<std::span<iovec>> v =
      shape_ == Shape::regular ? vector_of(parts, iov) : std::nullopt;
  if (!v) return Source::read_scattered(parts);
  const ssize_t n = ::preadv(fd_, v->data(), int(v->size()), off_t(offset_));
  if (n < 0) return -errno;
  offset_ += std::uint64_t(n);
  return n;
}

std::int64_t FdSource::read_at(std::span<const std::span<std::uint8_t>> parts,
                               std::uint64_t offset) const {
  if (shape_ != Shape::regular) return Source::read_at(parts, offset);
  if (offset > std::uint64_t(INT64_MAX)) return -EINVAL;
  if (parts.size() == 1) {  // a header: pread spares copying in a vector
    const std::size_t len = std::min<std::size_t>(parts[0].size(), 0x7ffff000);
    const ssize_t n = ::pread(fd_, parts[0].data(), len, off_t(offset));
    return n < 0 ? -errno : n;
  }
  std::array<iovec, 1024> iov;
  const std::optional<std::span<iovec>> v = vector_of(parts, iov);
  if (!v) return -EINVAL;
  const ssize_t n = ::preadv(fd_, v->data(), int(v->size()), off_t(offset));
  return n < 0 ? -errno : n;
}

std::unique_ptr<Source> FdSource::reopened() const noexcept {
  if (shape_ != Shape::regular) return nullptr;
  std::array<char, 32> path;
  std::snprintf(path.data(), path.size(), "/proc/self/fd/%d", fd_);
  // Not blocking while a lease is broken; reads after go the usual way.
  const int fd = ::open(path.data(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return nullptr;
  // The very file, and a regular one: /proc could be something else.
  struct stat mine, theirs;
  std::unique_ptr<Source> own;
  if (::fcntl(fd, F_SETFL, 0) == 0 && ::fstat(fd_, &mine) == 0 && ::fstat(fd, &theirs) == 0 &&
      S_ISREG(theirs.st_mode) && mine.st_dev == theirs.st_dev && mine.st_ino == theirs.st_ino) {
    own.reset(new (std::nothrow) FdSource(fd, Shape::regular, plain_waiting()));
  }
  if (!own) ::close(fd);
  return own;
}

int FdSource::seek(std::uint64_t offset) {
  if (offset > std::uint64_t(INT64_MAX)) return EINVAL;
  if (shape_ != Shape::other) {
    offset_ = offset;
    return 0;
  }
  return ::lseek(fd_, off_t(offset), SEEK_SET) < 0 ? errno : 0;
}

std::optional<std::uint64_t> FdSource::size() {
  switch (shape_) {
    case Shape::regular: {
      struct stat st;
      if (::fstat(fd_, &st) != 0) return std::nullopt;
      return std::uint64_t(st.st_size);
    }
    case Shape::device: {
      // A block device reports no size through fstat; its end does. Reads
      // go by pread, so the descriptor's own offset may move.
      const off_t end = ::lseek(fd_, 0, SEEK_END);
      if (end < 0) return std::nullopt;
      return std::uint64_t(end);
    }
    case Shape::other:
      break;
  }
  return std::nullopt;
}

Result<std::unique_ptr<Source>> open_file(const char* path, Waiting& waiting) {
  Result<int> opened = retry_interrupted(
      [&]() -> Result<int> {
        waiting.enter();
        const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
        const int err = errno;
        waiting.leave();
        if (fd < 0) return IoError::system(err);
        return fd;
      },
      [&] { return waiting.resume(); });
  if (!opened.ok()) return opened.error();
  return adopted(opened.value(), waiting);
}

Result<std::unique_ptr<Source>> duplicate_file(int fd, Waiting& waiting) {
  const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own < 0) return IoError::system(errno);
  return adopted(own, waiting);
}

}  // namespace vorn
