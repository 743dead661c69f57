// WD1Reader: decoding of "WD1" records.
#include "wd1_reader.hpp"

#include "panic.hpp"

namespace vorn {

Step<WD1Event> WD1Reader::next() {
  if (finished_) return EndOfInput{};
  const std::uint64_t start = input_.position();
  std::array<std::uint8_t, WD1::kDesc.header_size> h;
  SampleBuffer<sample_t<WD1>> data;
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
  const WD1Header header = decode_header<WD1>(h.data(), 0);
  const std::optional<std::uint64_t> block = WD1::block_bytes(header, 0);
  if (!block) panic("capacity overflow");
  if (Status st = read_samples(input_, *block / WD1::kDesc.sample_width(), data); !st.ok()) {
    return fail(st.error());
  }
  return WD1Event{header, std::move(data)};
}

}  // namespace vorn
