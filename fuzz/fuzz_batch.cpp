// libFuzzer harness over the batch decoder: the input is read by the record
// reader of its layout and by BatchDecoder (decode and scan, in batches of
// limits and buffer sizes taken from the input, through a file with short
// reads, read at offsets or not, or a stream that cannot seek), and both
// must give the same records byte for byte, end at the same record and meet
// an unreadable record exactly where the record reader panics; pick() of
// some of each batch's records, by the scan's positions, gives them too.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "batch_decoder.hpp"
#include "layouts.hpp"
#include "panic.hpp"

namespace {

using namespace vorn;

#define CHECK(cond)                                                                    \
  do {                                                                                 \
    if (!(cond)) {                                                                     \
      std::fprintf(stderr, "invariant failed at line %d: %s\n", __LINE__, #cond);      \
      std::abort();                                                                    \
    }                                                                                  \
  } while (0)

// A file in memory, at most `most` bytes a read; where `at_offsets`, read
// at offsets too, as a regular file is, each third such read interrupted
// (EINTR) before it is made again.
class MemorySource final : public Source {
 public:
  MemorySource(const std::uint8_t* data, std::size_t size, std::size_t most,
               bool at_offsets = false)
      : data_(data), size_(size), most_(most), at_offsets_(at_offsets) {}
  std::int64_t read(std::uint8_t* dst, std::size_t len) override {
    const std::size_t n = pos_ >= size_ ? 0 : std::min({len, size_ - std::size_t(pos_), most_});
    if (n) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return std::int64_t(n);
  }
  int seek(std::uint64_t offset) override {
    pos_ = offset;
    return 0;
  }
  std::optional<std::uint64_t> size() override { return size_; }
  std::int64_t read_at(std::span<const std::span<std::uint8_t>> parts,
                       std::uint64_t offset) const override {
    if (!at_offsets_) return Source::read_at(parts, offset);
    if (interrupts_.fetch_add(1) % 3 == 0) return -EINTR;
    std::size_t total = 0;
    for (std::span<std::uint8_t> part : parts) {
      const std::uint64_t at = offset + total;
      const std::size_t n =
          at >= size_ ? 0 : std::min({part.size(), size_ - std::size_t(at), most_ - total});
      if (n) std::memcpy(part.data(), data_ + at, n);
      total += n;
      if (n < part.size()) break;
    }
    return std::int64_t(total);
  }
  bool reads_at() const noexcept override { return at_offsets_; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t most_;
  bool at_offsets_;
  mutable std::atomic<unsigned> interrupts_{0};
  std::uint64_t pos_ = 0;
};

// Input as a Python file object delivers it: no length, no seeking, and
// reads of uneven sizes (what a buffer held, a pipe's capacity, a codec's
// block), never more than 1 MiB.
class StreamSource final : public Source {
 public:
  StreamSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::int64_t read(std::uint8_t* dst, std::size_t len) override {
    static constexpr std::size_t kSizes[] = {1, 7, 8192, 13, 65536, 3, 1 << 20, 24};
    const std::size_t most = kSizes[calls_++ % std::size(kSizes)];
    const std::size_t n = std::min({len, size_ - pos_, most});
    if (n) std::memcpy(dst, data_ + pos_, n);
    pos_ += n;
    return std::int64_t(n);
  }
  int seek(std::uint64_t) override { return ESPIPE; }
  std::optional<std::uint64_t> size() override { return std::nullopt; }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
  std::size_t calls_ = 0;
};

// One record as both readers see it: header words and sample bytes.
struct Record {
  std::vector<std::uint64_t> fields;
  std::vector<std::uint8_t> samples;
  bool operator==(const Record&) const = default;
};

// The record reader's records, and whether it stopped at an unreadable one.
std::pair<std::vector<Record>, bool> by_records(const std::uint8_t* data, std::size_t size,
                                               const LayoutDesc& layout) {
  return Layouts::visit(layout, [&]<class L>() {
    std::vector<Record> out;
    Result<typename L::Reader> opened =
        L::Reader::open(BufReader(std::make_unique<MemorySource>(data, size, SIZE_MAX)));
    CHECK(opened.ok());
    typename L::Reader& r = opened.value();
    try {
      for (auto s = r.next(); auto* e = std::get_if<0>(&s); s = r.next()) {
        Record rec;
        for_each_field<L>(static_cast<const typename L::Header&>(*e), [&](auto, auto v) {
          rec.fields.push_back(std::uint64_t(std::make_unsigned_t<decltype(v)>(v)));
        });
        const auto* p = reinterpret_cast<const std::uint8_t*>(e->data.data());
        rec.samples.assign(p, p + e->data.size() * sizeof(*e->data.data()));
        out.push_back(std::move(rec));
      }
    } catch (const Panic&) {
      return std::pair(out, true);
    }
    return std::pair(out, false);
  });
}

std::uint64_t field(const Region& r, std::size_t width, std::uint64_t i) {
  std::uint64_t v = 0;
  std::memcpy(&v, r.data() + i * width, width);
  return v;
}

// pick() of the records i % 3 != 1 of a batch (runs of two, and gaps), by
// the scan's positions, on a decoder of its own: `batch` as decode() gave it.
void check_pick(const std::uint8_t* data, std::size_t size, const LayoutDesc& layout,
                std::size_t most, bool at_offsets, std::size_t buffer,
                const std::int64_t* positions, const Record* batch, std::uint64_t events) {
  Result<BatchDecoder> opened = BatchDecoder::open(
      std::make_unique<MemorySource>(data, size, most, at_offsets), layout, buffer);
  CHECK(opened.ok());
  BatchDecoder p = std::move(opened).value();
  std::vector<Extent> extents;
  std::vector<std::uint64_t> chosen;
  for (std::uint64_t i = 0; i < events; ++i) {
    if (i % 3 == 1) continue;
    extents.push_back({std::uint64_t(positions[i]), std::uint64_t(positions[i + 1] - positions[i])});
    chosen.push_back(i);
  }
  BatchMemory m;
  const BatchResult r = p.pick(m, extents);
  CHECK(r.stop == Stop::limit && r.events == chosen.size());
  const auto* offsets = reinterpret_cast<const std::int64_t*>(m.offsets.data());
  const std::size_t w = p.sample_width();
  for (std::size_t e = 0; e < chosen.size(); ++e) {
    const Record& want = batch[chosen[e]];
    for (int k = 0; k < p.columns(); ++k) {
      CHECK(field(m.columns[std::size_t(k)], p.column_width(k), e) == want.fields[std::size_t(k)]);
    }
    CHECK(std::vector<std::uint8_t>(m.samples.data() + std::size_t(offsets[e]) * w,
                                    m.samples.data() + std::size_t(offsets[e + 1]) * w) ==
          want.samples);
  }
}

// The batch decoder's records, batch by batch, and whether it stopped at an
// unreadable one; scan's positions and headers are checked on the way.
std::pair<std::vector<Record>, bool> by_batches(const std::uint8_t* data, std::size_t size,
                                               const LayoutDesc& layout, Limits limits, std::size_t most,
                                               bool at_offsets, std::size_t buffer, bool stream) {
  auto source = [&]() -> std::unique_ptr<Source> {
    if (stream) return std::make_unique<StreamSource>(data, size);
    return std::make_unique<MemorySource>(data, size, most, at_offsets);
  };
  Result<BatchDecoder> opened = BatchDecoder::open(source(), layout, buffer);
  CHECK(opened.ok());
  BatchDecoder d = std::move(opened).value();
  Result<BatchDecoder> scanned = BatchDecoder::open(source(), layout, buffer);
  CHECK(scanned.ok());
  BatchDecoder s = std::move(scanned).value();
  std::vector<Record> out;
  for (;;) {
    BatchMemory m, sm;
    const BatchResult r = d.decode(m, limits);
    const BatchResult sr = s.scan(&sm, limits);
    CHECK(r.stop != Stop::error && sr.stop == r.stop && sr.events == r.events);
    const auto* offsets = reinterpret_cast<const std::int64_t*>(m.offsets.data());
    const auto* positions = reinterpret_cast<const std::int64_t*>(sm.offsets.data());
    CHECK(offsets[0] == 0 && std::uint64_t(offsets[r.events]) == r.samples);
    // A scan that read through part of a record on a stream gives those
    // bytes back, as decoding does: both stand on the same record.
    CHECK(std::uint64_t(positions[r.events]) == d.position());
    CHECK(s.position() == d.position());
    // Limits hold, the first record always fitting.
    CHECK(r.events <= limits.max_events);
    CHECK(r.events <= 1 || std::uint64_t(positions[r.events] - positions[0]) <= limits.max_bytes);
    for (std::uint64_t i = 0; i < r.events; ++i) {
      Record rec;
      for (int k = 0; k < d.columns(); ++k) {
        const std::uint64_t v = field(m.columns[std::size_t(k)], d.column_width(k), i);
        CHECK(v == field(sm.columns[std::size_t(k)], d.column_width(k), i));
        rec.fields.push_back(v);
      }
      const std::size_t w = d.sample_width();
      rec.samples.assign(m.samples.data() + std::size_t(offsets[i]) * w,
                         m.samples.data() + std::size_t(offsets[i + 1]) * w);
      out.push_back(std::move(rec));
    }
    check_pick(data, size, layout, most, at_offsets, buffer, positions,
               out.data() + (out.size() - r.events), r.events);
    if (r.stop == Stop::corrupt) return {out, true};
    if (r.stop == Stop::end) return {out, false};
    CHECK(r.events != 0);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const LayoutDesc& layout = data[0] & 1 ? WD2::kDesc : WD1::kDesc;
  Limits limits;
  limits.max_events = data[1] % 8 == 0 ? UINT64_MAX : data[1] % 8;
  limits.max_bytes = data[2] == 0 ? UINT64_MAX : std::uint64_t(data[2]) << (data[1] & 8 ? 4 : 0);
  const std::size_t most = data[0] & 2 ? 7 : SIZE_MAX;
  const bool stream = data[1] & 16;
  const bool at_offsets = data[1] & 32;
  // A small buffer makes records run past it, down the paths of long blocks.
  const std::size_t buffer = data[0] & 4 ? 32 << (data[0] >> 4) : BatchDecoder::kBufferSize;
  data += 3;
  size -= 3;
  const auto expected = by_records(data, size, layout);
  CHECK(by_batches(data, size, layout, limits, most, at_offsets, buffer, stream) == expected);
  return 0;
}
