// The "WD2" record layout, a 24-byte header, a 32-bit channel word in files
// of two or more channels, then 32-bit float samples: its description, the
// layout probe and WD2Reader.
#pragma once

#include <cstdint>
#include <optional>
#include <tuple>

#include "buf_reader.hpp"
#include "layout.hpp"
#include "record.hpp"
#include "sample_buffer.hpp"

namespace vorn {

struct WD2Header {
  std::uint32_t event_counter;
  std::uint64_t timestamp;
  std::uint32_t samples;  // per channel
  std::uint64_t sampling_period;
  std::int32_t channels;  // the record's channel word, or the file's channel count where there is none
};

struct WD2Event : WD2Header {
  SampleBuffer<float> data;  // samples * the file's channel count floats, in file order
};

class WD2Reader;

// The layout type of "WD2" (layout.hpp says what each member is).
struct WD2 {
  static constexpr FieldDesc kFields[] = {
      {"event_counter", 0, NumType::u32}, {"timestamp", 4, NumType::u64},
      {"samples", 12, NumType::u32},      {"sampling_period", 16, NumType::u64},
      {"channels", 24, NumType::i32, true},
  };
  static constexpr const char* kConstant[] = {"samples", "sampling_period", "channels"};
  static constexpr LayoutDesc kDesc{
      "WD2", kFields, NumType::f32, 24, 28,
      LayoutRoles{.counter = "event_counter", .block_field = "samples",
                  .block_rule = BlockRule::sample_count, .plausible_from = 1,
                  .constant = kConstant, .refusal = "a sample block no object can hold"}};
  using Header = WD2Header;
  static constexpr auto kMembers =
      std::tuple{&WD2Header::event_counter, &WD2Header::timestamp, &WD2Header::samples,
                 &WD2Header::sampling_period, &WD2Header::channels};
  using Reader = WD2Reader;

  // The block is sized by the file's channel count, never by a record's word.
  static std::optional<std::uint64_t> block_bytes(const WD2Header& h, std::int32_t channels) noexcept;
  // The channel count the records of a file imply, by the layout probe (see
  // WD2Reader::open), read from offset 0; the input is rewound afterwards.
  static Result<std::int32_t> probe_channels(BufReader& in);
  // The same probe for input that may not seek: the bytes it reads are given
  // back to `in` (unread), so that `in` reads on from offset 0. It holds the
  // first record the channel word implies and the header after it; where that
  // record is longer than `limit` bytes and `in` can seek back to offset 0, it
  // probes and rewinds as probe_channels does instead. After a failure the
  // bytes read stay consumed.
  static Result<std::int32_t> peek_channels(BufReader& in, std::size_t limit = std::size_t(1) << 20);
};

// Bytes of a sample block, modulo 2^64: `samples` widened without sign and
// `channels` with sign, as the file's writers compute it.
inline std::uint64_t wd2_block_bytes(std::uint32_t samples, std::int32_t channels) noexcept {
  return std::uint64_t(samples) * std::uint64_t(std::int64_t(channels)) * WD2::kDesc.sample_width();
}

inline std::optional<std::uint64_t> WD2::block_bytes(const WD2Header& h, std::int32_t channels) noexcept {
  const std::uint64_t block = wd2_block_bytes(h.samples, channels);
  if (block > kMaxObjectBytes) return std::nullopt;
  return block;
}

class WD2Reader {
 public:
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

}  // namespace vorn
