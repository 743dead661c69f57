// WD1Reader: the "WD1" record layout, a 24-byte header of six signed 32-bit
// values followed by 16-bit samples.
#pragma once

#include <cstdint>

#include "buf_reader.hpp"
#include "record.hpp"
#include "sample_buffer.hpp"

namespace vorn {

struct WD1Event {
  std::int32_t event_size;  // the record's size in bytes, header included
  std::int32_t board_id;
  std::int32_t pattern;
  std::int32_t board_channel;
  std::int32_t event_counter;
  std::int32_t timestamp;
  SampleBuffer<std::uint16_t> data;  // (event_size - 24) / 2 samples, truncated
};

// Samples in a record of `event_size` bytes: (event_size - 24) / 2, taken
// in 64 bits so that it cannot overflow, truncated toward zero. Negative for
// an event_size of 22 or less: such a record cannot be read.
inline std::int64_t wd1_sample_count(std::int32_t event_size) noexcept {
  return (std::int64_t(event_size) - 24) / 2;
}

class WD1Reader {
 public:
  static constexpr std::size_t kHeaderSize = 24;

  // Takes a reader standing at the start of the file; reads nothing.
  explicit WD1Reader(BufReader input) noexcept : input_(std::move(input)) {}

  // One record, end of input, or an input error. An event_size of 23 still
  // occupies 24 bytes, and one of 25 leaves its last byte to the next record.
  // An event_size of 22 or less panics with "capacity overflow", its header
  // consumed. An input error other than end of file is reported once; every
  // later step is end of input. Running out of memory for the samples, or a
  // signal handler that stops a wait, is reported and leaves the reader on
  // the record's first byte, so that the next step tries it again.
  Step<WD1Event> next();

 private:
  BufReader input_;
  bool finished_ = false;
};

}  // namespace vorn
