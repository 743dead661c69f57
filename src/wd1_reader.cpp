// WD1Reader: decoding of "WD1" records.
#include "wd1_reader.hpp"

#include "panic.hpp"

namespace vorn {

Step<WD1Event> WD1Reader::next() {
  if (finished_) return EndOfInput{};
  const std::uint64_t start = input_.position();
  auto fail = [&](const IoError& e) -> Step<WD1Event> {
    if (e.is_eof()) {
      restore_record_start(input_, start);
      return EndOfInput{};
    }
    finished_ = true;
    return e;
  };

  std::array<std::uint8_t, kHeaderSize> h;
  if (Status st = input_.read_exact(h); !st.ok()) return fail(st.error());
  WD1Event ev{load_le<std::int32_t>(&h[0]),  load_le<std::int32_t>(&h[4]),
              load_le<std::int32_t>(&h[8]),  load_le<std::int32_t>(&h[12]),
              load_le<std::int32_t>(&h[16]), load_le<std::int32_t>(&h[20]),
              {}};
  // Taken in 64 bits so that it cannot overflow; the division truncates.
  const std::int64_t n = (std::int64_t(ev.event_size) - 24) / 2;
  if (n < 0) panic("capacity overflow");
  Result<SampleBuffer<std::uint16_t>> block = read_samples<std::uint16_t>(input_, std::uint64_t(n));
  if (!block.ok()) return fail(block.error());
  ev.data = std::move(block).value();
  return ev;
}

}  // namespace vorn
