// What one step of a record reader gives, shared by both layouts.
#pragma once

#include <variant>

#include "buf_reader.hpp"

namespace vorn {

// The file ended, between records or inside one; not an error.
struct EndOfInput {};

template <class Event>
using Step = std::variant<Event, EndOfInput, IoError>;

// After a read that met the end of the file partway into a record, puts the
// file position back on the record's first byte (and drops the buffer), so
// that a file still being written yields the whole record once it is
// complete. Where the input cannot seek, the consumed bytes stay consumed.
inline void restore_record_start(BufReader& in, std::uint64_t start) {
  if (in.position() != start) (void)in.seek_to(start);
}

}  // namespace vorn
