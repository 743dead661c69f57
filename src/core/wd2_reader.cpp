// WD2Reader: the layout probe and decoding of "WD2" records.
#include "wd2_reader.hpp"

#include <optional>
#include <vector>

#include "panic.hpp"

namespace vorn {
namespace {

// Headers read by the probe are taken as carrying a channel word: its candidate.
constexpr std::int32_t kAsWithWord = 2;

// Whether the header `h2` continues `h1` as a file with channel words does:
// the next event counter, the same samples, period and channel word.
bool continues(const std::uint8_t* h1, const std::uint8_t* h2) noexcept {
  const WD2Header first = decode_header<WD2>(h1, kAsWithWord);
  const WD2Header second = decode_header<WD2>(h2, kAsWithWord);
  return second.channels == first.channels && second.sampling_period == first.sampling_period &&
         second.samples == first.samples &&
         second.event_counter == std::uint32_t(first.event_counter + 1);
}

// The block the channel-word reading gives the first record, nullopt where no
// file could hold it: that refutes the reading.
std::optional<std::uint64_t> implied_block(const std::uint8_t* h1) noexcept {
  const WD2Header first = decode_header<WD2>(h1, kAsWithWord);
  return WD2::block_bytes(first, first.channels);
}

// The channel count of a file that ends inside the second header: one record
// with a channel word, or a second one still being written.
std::int32_t alone(const std::uint8_t* h1) noexcept {
  const std::int32_t n = decode_header<WD2>(h1, kAsWithWord).channels;
  return n >= 2 ? n : 1;
}

constexpr std::size_t kWordHeader = WD2::kDesc.word_header_size;

// The channel count the records imply, read from offset 0.
Result<std::int32_t> probe(BufReader& in) {
  std::array<std::uint8_t, kWordHeader> h1, h2;
  if (Status st = in.read_exact(h1); !st.ok()) {
    if (st.error().is_eof()) return 1;  // too short to hold a channel word
    return st.error();
  }
  const std::optional<std::uint64_t> block = implied_block(h1.data());
  if (!block) return 1;
  if (Status st = in.skip(*block); !st.ok()) {
    if (st.error().is_eof()) return 1;  // more than the file has left
    return st.error();
  }
  if (Status st = in.read_exact(h2); !st.ok()) {
    if (st.error().is_eof()) return alone(h1.data());
    return st.error();
  }
  return continues(h1.data(), h2.data()) ? decode_header<WD2>(h1.data(), kAsWithWord).channels : 1;
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
  if (Status st = hold(in, held, kWordHeader); !st.ok()) return ended(st, 1);
  const std::optional<std::uint64_t> block = implied_block(held.data());
  if (!block) return 1;
  if (*block > limit && in.seek_to(0).ok()) {
    rewound = true;
    return WD2::probe_channels(in);
  }
  if (Status st = hold(in, held, *block); !st.ok()) return ended(st, 1);
  if (Status st = hold(in, held, kWordHeader); !st.ok()) return ended(st, alone(held.data()));
  const std::uint8_t* h1 = held.data();
  return continues(h1, h1 + kWordHeader + *block) ? decode_header<WD2>(h1, kAsWithWord).channels
                                                  : 1;
}

}  // namespace

Result<std::int32_t> WD2::probe_channels(BufReader& in) {
  Result<std::int32_t> probed = probe(in);
  if (!probed.ok()) return probed.error();
  if (Status st = in.rewind(); !st.ok()) return st.error();
  return probed;
}

Result<std::int32_t> WD2::peek_channels(BufReader& in, std::size_t limit) {
  std::vector<std::uint8_t> held;
  bool rewound = false;
  Result<std::int32_t> probed = peek(in, held, limit, rewound);
  if (probed.ok() && !rewound) in.unread(held);
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
