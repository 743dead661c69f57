// What a batch of records is asked (its limits, the extents of a pick) and
// what it answers: how many records it took and why it ended.
#pragma once

#include <cstdint>

#include "result.hpp"

namespace vorn {

struct Limits {
  std::uint64_t max_events = UINT64_MAX;
  std::uint64_t max_bytes = UINT64_MAX;  // file bytes of the records
  // Whether the first record fits whatever max_bytes says; false for a part
  // of a batch, which then holds no record beyond the batch's max_bytes.
  bool first_fits = true;
};

// Why a batch ended. `end`: no complete record is left for now; the decoder
// stands on the first byte of the incomplete one, so a later call reads it
// whole once the rest has arrived. `mismatch`: pick() found a record other
// than where or what it was told (the file changed since it was indexed).
enum class Stop : std::uint8_t { limit, end, corrupt, error, mismatch };

// Where a record lies in the file, as an index of it says.
struct Extent {
  std::uint64_t position;  // its first byte
  std::uint64_t bytes;     // header and block
};

struct BatchResult {
  std::uint64_t events = 0;   // records in the batch
  std::uint64_t samples = 0;  // elements in the samples column
  Stop stop = Stop::end;
  IoError error{IoError::Kind::eof, 0};  // Stop::error; Kind::interrupted when a signal handler raised
  std::uint64_t corrupt_at = 0;          // Stop::corrupt, Stop::mismatch: the byte offset of the record

  // Ends the batch on an input error or want of memory.
  BatchResult& fail(IoError e) noexcept {
    stop = Stop::error;
    error = e;
    return *this;
  }
  // Ends the batch before the record at byte `at` (Stop::corrupt, Stop::mismatch).
  BatchResult& fail_at(Stop why, std::uint64_t at) noexcept {
    stop = why;
    corrupt_at = at;
    return *this;
  }
};

}  // namespace vorn
