// BufReader and the file source beneath it.
#include "buf_reader.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace vorn {
namespace {

// strerror_r comes in two shapes: the XSI one returns a status and fills the
// buffer, the GNU one returns the text.
[[maybe_unused]] const char* strerror_text(int rc, const char* buf) {
  return rc == 0 ? buf : nullptr;
}
[[maybe_unused]] const char* strerror_text(const char* text, const char*) { return text; }

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

FdSource::~FdSource() { ::close(fd_); }

std::int64_t FdSource::read(std::uint8_t* dst, std::size_t len) {
  // Linux moves at most 0x7ffff000 bytes per read; ask for no more.
  ssize_t n = ::read(fd_, dst, std::min<std::size_t>(len, 0x7ffff000));
  return n < 0 ? -errno : n;
}

int FdSource::seek(std::uint64_t offset) {
  if (offset > std::uint64_t(INT64_MAX)) return EINVAL;
  return ::lseek(fd_, off_t(offset), SEEK_SET) < 0 ? errno : 0;
}

std::optional<std::uint64_t> FdSource::size() {
  if (shape_ == Shape::other) return std::nullopt;
  struct stat st;
  if (::fstat(fd_, &st) != 0) return std::nullopt;
  shape_ = S_ISREG(st.st_mode) ? Shape::regular : Shape::other;
  if (shape_ == Shape::other) return std::nullopt;
  return std::uint64_t(st.st_size);
}

Result<std::unique_ptr<Source>> open_file(const char* path) {
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return IoError::system(errno);
  return std::unique_ptr<Source>(std::make_unique<FdSource>(fd));
}

BufReader::BufReader(std::unique_ptr<Source> source)
    : source_(std::move(source)),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBufferSize)) {}

Result<std::size_t> BufReader::read(std::span<std::uint8_t> out) {
  if (pos_ == filled_ && out.size() >= kBufferSize) {
    pos_ = filled_ = 0;
    std::int64_t n = source_->read(out.data(), out.size());
    if (n < 0) return IoError::system(int(-n));
    offset_ += std::uint64_t(n);
    return std::size_t(n);
  }
  if (pos_ == filled_) {
    std::int64_t n = source_->read(buffer_.get(), kBufferSize);
    if (n < 0) return IoError::system(int(-n));
    offset_ += std::uint64_t(n);
    pos_ = 0;
    filled_ = std::size_t(n);
  }
  std::size_t k = std::min(filled_ - pos_, out.size());
  if (k != 0) std::memcpy(out.data(), buffer_.get() + pos_, k);
  pos_ += k;
  return k;
}

Status BufReader::read_exact_slow(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    Result<std::size_t> r = read(out);
    if (!r.ok()) {
      if (r.error().code == EINTR) continue;
      return r.error();
    }
    if (r.value() == 0) return IoError::eof();
    out = out.subspan(r.value());
  }
  return success();
}

Status BufReader::seek_to(std::uint64_t offset) {
  if (int err = source_->seek(offset); err != 0) return IoError::system(err);
  offset_ = offset;
  pos_ = filled_ = 0;
  return success();
}

Supply BufReader::can_supply(std::uint64_t n) {
  const std::uint64_t buffered = filled_ - pos_;
  if (n <= buffered) return Supply::enough;
  const std::uint64_t wanted = n - buffered;  // beyond the buffer, from offset_ on
  auto fits = [&] { return *known_size_ >= offset_ && *known_size_ - offset_ >= wanted; };
  if (known_size_ && fits()) return Supply::enough;
  known_size_ = source_->size();
  if (!known_size_) return Supply::unknown;
  return fits() ? Supply::enough : Supply::short_of;
}

Status BufReader::skip(std::uint64_t n) {
  const std::uint64_t buffered = filled_ - pos_;
  if (n <= buffered) {
    pos_ += std::size_t(n);
    return success();
  }
  switch (can_supply(n)) {
    case Supply::enough:
      return seek_to(position() + n);
    case Supply::short_of:
      return IoError::eof();
    case Supply::unknown:
      // Input that can seek but has no known length (a block device): seek
      // to the last byte to skip and read it, which tells whether it is there.
      if (seek_to(position() + (n - 1)).ok()) {
        std::uint8_t last;
        return read_exact({&last, 1});
      }
      break;
  }
  // Input that cannot seek: read through the buffer.
  std::array<std::uint8_t, kBufferSize> sink;
  while (n != 0) {
    auto chunk = std::span(sink).first(std::size_t(std::min<std::uint64_t>(n, sink.size())));
    if (Status st = read_exact(chunk); !st.ok()) return st;
    n -= chunk.size();
  }
  return success();
}

}  // namespace vorn
