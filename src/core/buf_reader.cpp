// BufReader: buffering, exact reads, seeks and skips over a source.
#include "buf_reader.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "panic.hpp"

namespace vorn {

BufReader::BufReader(std::unique_ptr<Source> source, std::size_t buffer_size)
    : source_(std::move(source)),
      capacity_(buffer_size),
      buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(buffer_size)) {}

Result<std::size_t> BufReader::pull(std::uint8_t* dst, std::size_t len) {
  if (replay_pos_ != replay_.size()) {
    const std::size_t k = std::min(replay_.size() - replay_pos_, len);
    if (k != 0) std::memcpy(dst, replay_.data() + replay_pos_, k);
    replay_pos_ += k;
    offset_ += k;
    if (replay_pos_ == replay_.size()) {
      std::vector<std::uint8_t>().swap(replay_);
      replay_pos_ = 0;
    }
    return k;
  }
  const std::int64_t n = source_->read(dst, len);
  if (n < 0) return IoError::system(int(-n));
  offset_ += std::uint64_t(n);
  return std::size_t(n);
}

Result<std::size_t> BufReader::pull_retrying(std::uint8_t* dst, std::size_t len) {
  return retrying([&] { return pull(dst, len); });
}

Result<std::size_t> BufReader::read(std::span<std::uint8_t> out) {
  if (pos_ == filled_) {
    // Given-back bytes, and requests as long as the buffer, go straight
    // into `out`; the buffer stays empty until every given-back byte is out.
    if (replay_pos_ != replay_.size() || out.size() >= capacity_) {
      pos_ = filled_ = 0;
      return pull(out.data(), out.size());
    }
    Result<std::size_t> got = pull(buffer_.get(), refill_);
    if (!got.ok()) return got.error();
    pos_ = 0;
    filled_ = got.value();
  }
  std::size_t k = std::min(filled_ - pos_, out.size());
  if (k != 0) std::memcpy(out.data(), buffer_.get() + pos_, k);
  pos_ += k;
  return k;
}

Status BufReader::read_exact_slow(std::span<std::uint8_t> out) {
  while (!out.empty()) {
    Result<std::size_t> r = retrying([&] { return read(out); });
    if (!r.ok()) return r.error();
    if (r.value() == 0) return IoError::eof();
    out = out.subspan(r.value());
  }
  return success();
}

Result<std::size_t> BufReader::read_scattered(std::span<const std::span<std::uint8_t>> parts) {
  if (!drained()) panic("scattered read with bytes buffered");
  return retrying([&]() -> Result<std::size_t> {
    const std::int64_t n = source_->read_scattered(parts);
    if (n < 0) return IoError::system(int(-n));
    offset_ += std::uint64_t(n);
    return std::size_t(n);
  });
}

Status BufReader::read_exact_direct(std::span<std::uint8_t> out) {
  const std::size_t k = std::min(filled_ - pos_, out.size());
  if (k != 0) std::memcpy(out.data(), buffer_.get() + pos_, k);
  pos_ += k;
  out = out.subspan(k);
  while (!out.empty()) {
    Result<std::size_t> got = pull_retrying(out.data(), out.size());
    if (!got.ok()) return got.error();
    if (got.value() == 0) return IoError::eof();
    out = out.subspan(got.value());
  }
  return success();
}

Status BufReader::fill(std::size_t n, std::size_t limit) {
  if (filled_ - pos_ >= n) return success();
  if (pos_ != 0) {
    std::memmove(buffer_.get(), buffer_.get() + pos_, filled_ - pos_);
    filled_ -= pos_;
    pos_ = 0;
  }
  while (filled_ < n) {
    const std::size_t room = std::min(capacity_ - filled_, std::max(n - filled_, limit));
    Result<std::size_t> got = pull_retrying(buffer_.get() + filled_, room);
    if (!got.ok()) return got.error();
    if (got.value() == 0) return IoError::eof();
    filled_ += got.value();
  }
  return success();
}

Status BufReader::seek_to(std::uint64_t offset) {
  if (int err = source_->seek(offset); err != 0) return IoError::system(err);
  offset_ = offset;
  pos_ = filled_ = 0;
  std::vector<std::uint8_t>().swap(replay_);
  replay_pos_ = 0;
  return success();
}

void BufReader::unread(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return;
  // Everything not yet handed out follows the given-back bytes, in order.
  std::vector<std::uint8_t> replay;
  replay.reserve(bytes.size() + (filled_ - pos_) + (replay_.size() - replay_pos_));
  replay.insert(replay.end(), bytes.begin(), bytes.end());
  replay.insert(replay.end(), buffer_.get() + pos_, buffer_.get() + filled_);
  replay.insert(replay.end(), replay_.begin() + std::ptrdiff_t(replay_pos_), replay_.end());
  offset_ -= bytes.size() + (filled_ - pos_);
  pos_ = filled_ = 0;
  replay_ = std::move(replay);
  replay_pos_ = 0;
}

std::optional<std::uint64_t> BufReader::length_hint() {
  known_size_ = source_->size();
  if (!known_size_) return std::nullopt;
  const std::uint64_t at = position();
  return *known_size_ > at ? *known_size_ - at : 0;
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
  if (can_supply(n) == Supply::enough) return seek_to(position() + n);
  // The length does not vouch for the bytes (none known, or one that may lag
  // behind the content): seek to the last of them and read it.
  const Status st = seek_to(position() + (n - 1));
  if (st.ok()) {
    std::uint8_t last;
    return read_exact({&last, 1});
  }
  // A device refuses a seek past its end: the bytes are not there.
  if (st.error().code != ESPIPE) return IoError::eof();
  // Input that cannot seek: read the bytes, and keep them until they are all
  // there, in memory that only the read fills.
  const std::uint64_t start = position();
  struct Free {
    void operator()(std::uint8_t* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<std::uint8_t, Free> kept;
  const Status read = read_growing(n, [&](std::size_t bytes) -> std::uint8_t* {
    auto* grown = static_cast<std::uint8_t*>(std::realloc(kept.get(), bytes));
    if (!grown) return nullptr;
    (void)kept.release();  // realloc has taken it
    kept.reset(grown);
    return grown;
  });
  if (!read.ok()) unread({kept.get(), std::size_t(position() - start)});
  return read;
}

}  // namespace vorn
