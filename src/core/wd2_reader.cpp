// WD2Reader: the layout probe and decoding of "WD2" records.
#include "wd2_reader.hpp"

#include "panic.hpp"

namespace vorn {
namespace {

// Headers read by the probe are taken as carrying a channel word: its candidate.
constexpr std::int32_t kAsWithWord = 2;

// The channel count the records imply, read from offset 0.
Result<std::int32_t> probe(BufReader& in) {
  std::array<std::uint8_t, WD2::kDesc.word_header_size> h;
  if (Status st = in.read_exact(h); !st.ok()) {
    if (st.error().is_eof()) return 1;  // too short to hold a channel word
    return st.error();
  }
  const WD2Header first = decode_header<WD2>(h.data(), kAsWithWord);
  const std::int32_t n = first.channels;

  // A block no file could hold, or more than this one has left, refutes the
  // channel-word reading.
  const std::uint64_t block = wd2_block_bytes(first.samples, n);
  if (block > kMaxObjectBytes) return 1;
  if (Status st = in.skip(block); !st.ok()) {
    if (st.error().is_eof()) return 1;
    return st.error();
  }

  if (Status st = in.read_exact(h); !st.ok()) {
    // One record with a channel word, or a second one still being written.
    if (st.error().is_eof()) return n >= 2 ? n : 1;
    return st.error();
  }
  const WD2Header second = decode_header<WD2>(h.data(), kAsWithWord);
  const bool continues = second.channels == n && second.sampling_period == first.sampling_period &&
                         second.samples == first.samples &&
                         second.event_counter == std::uint32_t(first.event_counter + 1);
  return continues ? n : 1;
}

}  // namespace

Result<std::int32_t> WD2::probe_channels(BufReader& in) {
  Result<std::int32_t> probed = probe(in);
  if (!probed.ok()) return probed.error();
  if (Status st = in.rewind(); !st.ok()) return st.error();
  return probed;
}

Result<WD2Reader> WD2Reader::open(BufReader input) {
  Result<std::int32_t> probed = WD2::probe_channels(input);
  if (!probed.ok()) return probed.error();
  return WD2Reader(std::move(input), probed.value());
}

Step<WD2Event> WD2Reader::next() {
  const std::uint64_t start = input_.position();
  std::array<std::uint8_t, WD2::kDesc.max_header()> h;
  const auto header = std::span(h).first(WD2::kDesc.header_for(probed_channels_));
  SampleBuffer<sample_t<WD2>> data;
  auto fail = [&](const IoError& e) -> Step<WD2Event> {
    if (e.is_eof()) {
      restore_record_start(input_, start);
      return EndOfInput{};
    }
    if (retry_later(e)) give_back_record(input_, start, header, data.bytes(0, data.capacity()));
    return e;
  };

  if (Status st = input_.read_exact(header); !st.ok()) return fail(st.error());
  const WD2Header fields = decode_header<WD2>(h.data(), probed_channels_);
  const std::optional<std::uint64_t> block = WD2::block_bytes(fields, probed_channels_);
  if (!block) panic("capacity overflow");
  if (Status st = read_samples(input_, *block / WD2::kDesc.sample_width(), data); !st.ok()) {
    return fail(st.error());
  }
  return WD2Event{fields, std::move(data)};
}

}  // namespace vorn
