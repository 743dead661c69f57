// The "WD1" record layout, a 24-byte header of six signed 32-bit values
// followed by 16-bit samples: its description and WD1Reader.
#pragma once

#include <cstdint>
#include <optional>
#include <tuple>

#include "buf_reader.hpp"
#include "layout.hpp"
#include "record.hpp"
#include "sample_buffer.hpp"

namespace vorn {

struct WD1Header {
  std::int32_t event_size;  // the record's size in bytes, header included
  std::int32_t board_id;
  std::int32_t pattern;
  std::int32_t board_channel;
  std::int32_t event_counter;
  std::int32_t timestamp;
};

struct WD1Event : WD1Header {
  SampleBuffer<std::uint16_t> data;  // (event_size - 24) / 2 samples, truncated
};

class WD1Reader;

// The layout type of "WD1" (layout.hpp says what each member is).
struct WD1 {
  static constexpr FieldDesc kFields[] = {
      {"event_size", 0, NumType::i32},     {"board_id", 4, NumType::i32},
      {"pattern", 8, NumType::i32},        {"board_channel", 12, NumType::i32},
      {"event_counter", 16, NumType::i32}, {"timestamp", 20, NumType::i32},
  };
  static constexpr LayoutDesc kDesc{
      "WD1", kFields, NumType::u16, 24, 24,
      LayoutRoles{.counter = "event_counter", .block_field = "event_size",
                  .block_rule = BlockRule::record_size, .plausible_from = 24, .constant = {},
                  .refusal = "an event_size of 22 or less"}};
  using Header = WD1Header;
  static constexpr auto kMembers =
      std::tuple{&WD1Header::event_size,    &WD1Header::board_id,      &WD1Header::pattern,
                 &WD1Header::board_channel, &WD1Header::event_counter, &WD1Header::timestamp};
  using Reader = WD1Reader;

  static std::optional<std::uint64_t> block_bytes(const WD1Header& h, std::int32_t channels) noexcept;
  static Result<std::int32_t> probe_channels(BufReader&) { return 0; }
  static Result<std::int32_t> peek_channels(BufReader&) { return 0; }
};

// Samples in a record of `event_size` bytes: (event_size - 24) / 2, taken
// in 64 bits so that it cannot overflow, truncated toward zero. Negative for
// an event_size of 22 or less: such a record cannot be read.
inline std::int64_t wd1_sample_count(std::int32_t event_size) noexcept {
  return (std::int64_t(event_size) - std::int64_t(WD1::kDesc.header_size)) /
         std::int64_t(WD1::kDesc.sample_width());
}

inline std::optional<std::uint64_t> WD1::block_bytes(const WD1Header& h, std::int32_t) noexcept {
  const std::int64_t n = wd1_sample_count(h.event_size);
  if (n < 0) return std::nullopt;
  return std::uint64_t(n) * kDesc.sample_width();
}

class WD1Reader {
 public:
  // Takes a reader standing at the start of the file; reads nothing.
  explicit WD1Reader(BufReader input) noexcept : input_(std::move(input)) {}
  // The same, as every layout's reader is opened; never fails.
  static Result<WD1Reader> open(BufReader input) { return WD1Reader(std::move(input)); }

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
