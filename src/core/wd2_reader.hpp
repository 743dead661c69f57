// WD2Reader: the "WD2" record layout, a 24-byte header, a 32-bit channel word
// in files of two or more channels, then 32-bit float samples.
#pragma once

#include <cstdint>

#include "buf_reader.hpp"
#include "record.hpp"
#include "sample_buffer.hpp"

namespace vorn {

struct WD2Event {
  std::uint32_t event_counter;
  std::uint64_t timestamp;
  std::uint32_t samples;  // per channel
  std::uint64_t sampling_period;
  std::int32_t channels;  // the record's channel word, or probed_channels where there is none
  SampleBuffer<float> data;  // samples * probed_channels floats, in file order
};

// The fixed part of a record's header, the 24 bytes every record starts with.
struct WD2Header {
  std::uint32_t event_counter;
  std::uint64_t timestamp;
  std::uint32_t samples;
  std::uint64_t sampling_period;
};
inline WD2Header decode_wd2_header(const std::uint8_t* h) noexcept {
  return {load_le<std::uint32_t>(h), load_le<std::uint64_t>(h + 4),
          load_le<std::uint32_t>(h + 12), load_le<std::uint64_t>(h + 16)};
}

// The channel count the records of a file imply, by the layout probe (see
// WD2Reader::open), read from offset 0; the input is rewound afterwards.
Result<std::int32_t> probe_wd2_channels(BufReader& in);

// The same probe for input that may not seek: the bytes it reads are given
// back to `in` (unread), so that `in` reads on from offset 0. It holds the
// first record the channel word implies and the header after it; where that
// record is longer than `hold` bytes and `in` can seek back to offset 0, it
// probes and rewinds as probe_wd2_channels does instead. After a failure the
// bytes read stay consumed.
Result<std::int32_t> peek_wd2_channels(BufReader& in, std::size_t hold = std::size_t(1) << 20);

class WD2Reader {
 public:
  static constexpr std::size_t kHeaderSize = 24;
  static constexpr std::size_t kChannelWordSize = 4;

  // Runs the layout probe from offset 0, then rewinds the same file. The
  // probe reads the first header and its channel-word candidate N, skips the
  // block that N implies and reads the header after it: the records carry a
  // channel word when that header continues the first (next event counter,
  // same samples, period and channel word). A file too short to tell, or an
  // N whose block the file cannot hold, is read without channel word; a file
  // that ends inside the second header keeps an N of 2 or more. System
  // errors and a failed rewind fail; `input` is destroyed then.
  static Result<WD2Reader> open(BufReader input);

  // One record, end of input, or an input error; nothing is remembered, so
  // every step reads from the current position. Running out of memory for
  // the samples, or a signal handler that stops a wait, is reported and
  // leaves the reader on the record's first byte; after any other input
  // error the bytes consumed stay consumed.
  Step<WD2Event> next();

  std::int32_t probed_channels() const noexcept { return probed_channels_; }

 private:
  WD2Reader(BufReader input, std::int32_t probed) noexcept
      : input_(std::move(input)), probed_channels_(probed) {}

  BufReader input_;
  std::int32_t probed_channels_;
};

// Bytes of a sample block, modulo 2^64: `samples` widened without sign and
// `channels` with sign, as the file's writers compute it.
inline std::uint64_t wd2_block_bytes(std::uint32_t samples, std::int32_t channels) noexcept {
  return std::uint64_t(samples) * std::uint64_t(std::int64_t(channels)) * 4u;
}

}  // namespace vorn
