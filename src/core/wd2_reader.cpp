// WD2Reader: the layout probe and decoding of "WD2" records.
#include "wd2_reader.hpp"

#include <optional>
#include <vector>

#include "panic.hpp"

namespace vorn {
namespace {

// Whether the header `h2` continues `h1` as a file with channel words does:
// the next event counter, the same samples, period and channel word.
bool continues(const std::uint8_t* h1, const std::uint8_t* h2) noexcept {
  const WD2Header first = decode_wd2_header(h1);
  const WD2Header second = decode_wd2_header(h2);
  return load_le<std::int32_t>(h2 + 24) == load_le<std::int32_t>(h1 + 24) &&
         second.sampling_period == first.sampling_period && second.samples == first.samples &&
         second.event_counter == std::uint32_t(first.event_counter + 1);
}

// The block the channel-word reading gives the first record, nullopt where no
// file could hold it.
std::optional<std::uint64_t> implied_block(const std::uint8_t* h1) noexcept {
  const std::uint64_t block = wd2_block_bytes(load_le<std::uint32_t>(h1 + 12), load_le<std::int32_t>(h1 + 24));
  if (block > kMaxObjectBytes) return std::nullopt;
  return block;
}

// The channel count a file ending inside the second header implies.
std::int32_t alone(const std::uint8_t* h1) noexcept {
  const std::int32_t n = load_le<std::int32_t>(h1 + 24);
  return n >= 2 ? n : 1;
}

// The channel count the records imply, read from offset 0.
Result<std::int32_t> probe(BufReader& in) {
  std::array<std::uint8_t, 28> h1, h2;
  if (Status st = in.read_exact(h1); !st.ok()) {
    if (st.error().is_eof()) return 1;  // too short to hold a channel word
    return st.error();
  }
  // A block no file could hold, or more than this one has left, refutes the
  // channel-word reading.
  const std::optional<std::uint64_t> block = implied_block(h1.data());
  if (!block) return 1;
  if (Status st = in.skip(*block); !st.ok()) {
    if (st.error().is_eof()) return 1;
    return st.error();
  }
  if (Status st = in.read_exact(h2); !st.ok()) {
    // One record with a channel word, or a second one still being written.
    if (st.error().is_eof()) return alone(h1.data());
    return st.error();
  }
  const std::int32_t n = load_le<std::int32_t>(&h1[24]);
  return continues(h1.data(), h2.data()) ? n : 1;
}

// Appends the next `n` bytes of `in` to `held`, or as many as there are
// before the input ends (Kind::eof).
Status hold(BufReader& in, std::vector<std::uint8_t>& held, std::uint64_t n) {
  while (n != 0) {
    if (in.buffered().empty()) {
      if (Status st = in.fill(1, std::size_t(std::min<std::uint64_t>(n, SIZE_MAX))); !st.ok()) {
        return st;
      }
    }
    const std::span<const std::uint8_t> b = in.buffered();
    const std::size_t k = std::size_t(std::min<std::uint64_t>(n, b.size()));
    held.insert(held.end(), b.begin(), b.begin() + std::ptrdiff_t(k));
    in.consume(k);
    n -= k;
  }
  return success();
}

// probe() without seeking: every byte read lands in `held`. `rewound`: the
// block was too long to hold and the probe went the seeking way.
Result<std::int32_t> peek(BufReader& in, std::vector<std::uint8_t>& held, std::size_t limit,
                          bool& rewound) {
  auto ended = [](const Status& st, std::int32_t probed) -> Result<std::int32_t> {
    if (st.error().is_eof()) return probed;
    return st.error();
  };
  if (Status st = hold(in, held, 28); !st.ok()) return ended(st, 1);
  const std::optional<std::uint64_t> block = implied_block(held.data());
  if (!block) return 1;
  if (*block > limit && in.seek_to(0).ok()) {
    rewound = true;
    return probe_wd2_channels(in);
  }
  if (Status st = hold(in, held, *block); !st.ok()) return ended(st, 1);
  if (Status st = hold(in, held, 28); !st.ok()) return ended(st, alone(held.data()));
  const std::int32_t n = load_le<std::int32_t>(held.data() + 24);
  return continues(held.data(), held.data() + 28 + *block) ? n : 1;
}

}  // namespace

Result<std::int32_t> probe_wd2_channels(BufReader& in) {
  Result<std::int32_t> probed = probe(in);
  if (!probed.ok()) return probed.error();
  if (Status st = in.rewind(); !st.ok()) return st.error();
  return probed;
}

Result<std::int32_t> peek_wd2_channels(BufReader& in, std::size_t hold) {
  std::vector<std::uint8_t> held;
  bool rewound = false;
  Result<std::int32_t> probed = peek(in, held, hold, rewound);
  if (probed.ok() && !rewound) in.unread(held);
  return probed;
}

Result<WD2Reader> WD2Reader::open(BufReader input) {
  Result<std::int32_t> probed = probe_wd2_channels(input);
  if (!probed.ok()) return probed.error();
  return WD2Reader(std::move(input), probed.value());
}

Step<WD2Event> WD2Reader::next() {
  const std::uint64_t start = input_.position();
  std::array<std::uint8_t, kHeaderSize + kChannelWordSize> h;
  const bool has_word = probed_channels_ >= 2;
  const auto header = std::span(h).first(has_word ? h.size() : kHeaderSize);
  SampleBuffer<float> data;
  auto fail = [&](const IoError& e) -> Step<WD2Event> {
    if (e.is_eof()) {
      restore_record_start(input_, start);
      return EndOfInput{};
    }
    if (retry_later(e)) give_back_record(input_, start, header, data.bytes(0, data.capacity()));
    return e;
  };

  if (Status st = input_.read_exact(header); !st.ok()) return fail(st.error());
  const WD2Header fields = decode_wd2_header(h.data());
  const std::int32_t channels = has_word ? load_le<std::int32_t>(&h[24]) : probed_channels_;

  const std::uint64_t block = wd2_block_bytes(fields.samples, probed_channels_);
  if (block > kMaxObjectBytes) panic("capacity overflow");
  if (Status st = read_samples(input_, block / 4, data); !st.ok()) return fail(st.error());
  return WD2Event{fields.event_counter, fields.timestamp, fields.samples,
                  fields.sampling_period, channels, std::move(data)};
}

}  // namespace vorn
