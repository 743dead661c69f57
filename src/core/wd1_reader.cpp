// WD1Reader: decoding of "WD1" records.
#include "wd1_reader.hpp"

#include "panic.hpp"

namespace vorn {

Step<WD1Event> WD1Reader::next() {
  if (finished_) return EndOfInput{};
  const std::uint64_t start = input_.position();
  std::array<std::uint8_t, kHeaderSize> h;
  SampleBuffer<std::uint16_t> data;
  auto fail = [&](const IoError& e) -> Step<WD1Event> {
    if (e.is_eof()) {
      restore_record_start(input_, start);
      return EndOfInput{};
    }
    if (retry_later(e)) {
      give_back_record(input_, start, h, data.bytes(0, data.capacity()));
      return e;
    }
    finished_ = true;
    return e;
  };

  if (Status st = input_.read_exact(h); !st.ok()) return fail(st.error());
  const std::int32_t event_size = load_le<std::int32_t>(&h[0]);
  const std::int64_t n = wd1_sample_count(event_size);
  if (n < 0) panic("capacity overflow");
  if (Status st = read_samples(input_, std::uint64_t(n), data); !st.ok()) return fail(st.error());
  return WD1Event{event_size,
                  load_le<std::int32_t>(&h[4]),
                  load_le<std::int32_t>(&h[8]),
                  load_le<std::int32_t>(&h[12]),
                  load_le<std::int32_t>(&h[16]),
                  load_le<std::int32_t>(&h[20]),
                  std::move(data)};
}

}  // namespace vorn
