// What one step of a record reader gives, shared by both layouts.
#pragma once

#include <algorithm>
#include <span>
#include <variant>
#include <vector>

#include "buf_reader.hpp"

namespace vorn {

// The file ended, between records or inside one; not an error.
struct EndOfInput {};

template <class Event>
using Step = std::variant<Event, EndOfInput, IoError>;

// Whether a step that failed must leave its record to a later step: it
// stopped for want of memory or because a signal handler asked it to, not
// because the input failed.
inline bool retry_later(const IoError& e) noexcept {
  return e.kind == IoError::Kind::interrupted ||
         (e.kind == IoError::Kind::system && e.code == ENOMEM);
}

// After a read that met the end of the file partway into a record, puts the
// file position back on the record's first byte (and drops the buffer), so
// that a file still being written yields the whole record once it is
// complete. Where the input cannot seek, the consumed bytes stay consumed.
inline void restore_record_start(BufReader& in, std::uint64_t start) {
  if (in.position() != start) (void)in.seek_to(start);
}

// After a step that must be tried again (retry_later), puts the reader back
// on the record's first byte: by a seek, or where the input cannot seek, by
// giving back the bytes consumed since `start`, which are the first bytes of
// `header` followed by the first of `block`. Bytes a skip read through are
// not at hand: then nothing is given back, and the reader stays where the
// input ended rather than before bytes that do not follow.
inline void give_back_record(BufReader& in, std::uint64_t start,
                             std::span<const std::uint8_t> header,
                             std::span<const std::uint8_t> block) {
  const std::uint64_t consumed = in.position() - start;
  if (consumed == 0 || in.seek_to(start).ok()) return;
  if (consumed - std::min<std::uint64_t>(consumed, header.size()) > block.size()) return;
  std::vector<std::uint8_t> bytes;
  const std::size_t from_header = std::size_t(std::min<std::uint64_t>(consumed, header.size()));
  bytes.reserve(std::size_t(consumed));
  bytes.insert(bytes.end(), header.begin(), header.begin() + std::ptrdiff_t(from_header));
  const std::size_t from_block = std::size_t(std::min<std::uint64_t>(consumed - from_header, block.size()));
  bytes.insert(bytes.end(), block.begin(), block.begin() + std::ptrdiff_t(from_block));
  in.unread(bytes);
}

}  // namespace vorn
