// BatchDecoder: the walk over records that fills columns, for both layouts.
#include "batch_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "record.hpp"
#include "sample_buffer.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vorn {
namespace {

// The layout rules, as the record readers apply them: the header's size,
// its fields into the columns, and the size of the block after it.
struct WD1Rules {
  static constexpr std::size_t kColumnWidth[kMaxColumns] = {4, 4, 4, 4, 4, 4};
  std::size_t header_size() const noexcept { return WD1Reader::kHeaderSize; }
  // The block's bytes; nullopt for a record that cannot be read.
  std::optional<std::uint64_t> block_bytes(const std::uint8_t* h) const noexcept {
    const std::int64_t n = wd1_sample_count(load_le<std::int32_t>(h));
    if (n < 0) return std::nullopt;
    return std::uint64_t(n) * 2;
  }
  void store(std::uint8_t* const* col, std::uint64_t i, const std::uint8_t* h) const noexcept {
    for (int k = 0; k < 6; ++k) {
      const std::int32_t v = load_le<std::int32_t>(h + 4 * k);
      std::memcpy(col[k] + 4 * i, &v, 4);
    }
  }
};

struct WD2Rules {
  static constexpr std::size_t kColumnWidth[kMaxColumns] = {4, 8, 4, 8, 4, 0};
  std::int32_t probed;
  bool has_word() const noexcept { return probed >= 2; }
  std::size_t header_size() const noexcept {
    return WD2Reader::kHeaderSize + (has_word() ? WD2Reader::kChannelWordSize : 0);
  }
  std::optional<std::uint64_t> block_bytes(const std::uint8_t* h) const noexcept {
    const std::uint64_t block = wd2_block_bytes(load_le<std::uint32_t>(h + 12), probed);
    if (block > kMaxObjectBytes) return std::nullopt;
    return block;
  }
  void store(std::uint8_t* const* col, std::uint64_t i, const std::uint8_t* h) const noexcept {
    const WD2Header f = decode_wd2_header(h);
    const std::int32_t channels = has_word() ? load_le<std::int32_t>(h + 24) : probed;
    std::memcpy(col[0] + 4 * i, &f.event_counter, 4);
    std::memcpy(col[1] + 8 * i, &f.timestamp, 8);
    std::memcpy(col[2] + 4 * i, &f.samples, 4);
    std::memcpy(col[3] + 8 * i, &f.sampling_period, 8);
    std::memcpy(col[4] + 4 * i, &channels, 4);
  }
};

// Samples arrive little-endian; on a big-endian host they are turned here.
void samples_to_host(std::uint8_t* p, std::uint64_t bytes, std::size_t width) noexcept {
  if constexpr (std::endian::native == std::endian::big) {
    for (std::uint64_t i = 0; i + width <= bytes; i += width) std::reverse(p + i, p + i + width);
  } else {
    (void)p, (void)bytes, (void)width;
  }
}

// Blocks from this size on are read straight into their column: one copy out
// of the page cache instead of two, for one more system read per record.
constexpr std::uint64_t kDirectBlock = std::uint64_t(64) << 10;
// Runs of records whose blocks are this long or longer are read with one
// scattered read, every byte straight into its place, up to kScatterRecords
// records at a time.
constexpr std::uint64_t kScatterBlock = 1024;
constexpr std::size_t kScatterRecords = 512;
// After such a block, a refill asks for little more than the next header.
constexpr std::size_t kHeaderRefill = 512;

// Reads a block of `bytes` into `r` from byte `at` on: in one read where the
// file's length vouches for it, else growing the region as bytes arrive.
// `direct`: the bytes beyond the buffered ones go straight into `r`.
Status read_block(BufReader& in, Region& r, std::size_t at, std::uint64_t bytes, bool direct) {
  if (bytes > SIZE_MAX - at) return IoError::system(ENOMEM);
  std::uint64_t step = bytes;
  if (in.can_supply(bytes) != Supply::enough) step = std::min<std::uint64_t>(bytes, 1 << 20);
  std::uint64_t done = 0;
  while (done < bytes) {
    const std::uint64_t upto = std::min(bytes, done + step);
    if (!r.reserve(at + std::size_t(upto))) return IoError::system(ENOMEM);
    const std::span<std::uint8_t> part{r.data() + at + done, std::size_t(upto - done)};
    if (Status st = direct ? in.read_exact_direct(part) : in.read_exact(part); !st.ok()) {
      return st;
    }
    done = upto;
    step = done;
  }
  return success();
}

// How many elements a column's region has room for.
std::uint64_t room(const Region& r, std::size_t width) noexcept { return r.capacity() / width; }

// The memory of a walk: header columns, offsets and samples, grown as
// records arrive.
template <class Rules>
class Columns {
 public:
  Columns(BatchMemory* out, std::size_t sample_width) : out_(out), sample_width_(sample_width) {}

  // Room for `events` records in every column and events + 1 offsets. Even
  // when some region cannot grow, others may have moved: the pointers and
  // the room are taken afresh either way.
  bool make_room(std::uint64_t events) {
    if (!out_) return true;
    bool grown = out_->offsets.reserve(std::size_t(events + 1) * 8);
    for (int k = 0; k < kMaxColumns; ++k) {
      const std::size_t w = Rules::kColumnWidth[k];
      grown = grown && (!w || out_->columns[std::size_t(k)].reserve(std::size_t(events) * w));
    }
    for (int k = 0; k < kMaxColumns; ++k) col[k] = out_->columns[std::size_t(k)].data();
    offsets = reinterpret_cast<std::int64_t*>(out_->offsets.data());
    const std::uint64_t offsets_room = room(out_->offsets, 8);
    events_room = offsets_room ? offsets_room - 1 : 0;
    for (int k = 0; k < kMaxColumns; ++k) {
      if (const std::size_t w = Rules::kColumnWidth[k]) {
        events_room = std::min(events_room, room(out_->columns[std::size_t(k)], w));
      }
    }
    return grown;
  }
  // Room for `bytes` of samples in all.
  bool make_sample_room(std::uint64_t bytes) {
    if (bytes <= samples_room) return true;
    if (!out_->samples.reserve(std::size_t(std::max(bytes, 2 * samples_room)))) return false;
    samples_room = out_->samples.capacity();
    return true;
  }
  std::uint8_t* samples_at(std::uint64_t count) const noexcept {
    return out_->samples.data() + count * sample_width_;
  }

  std::uint8_t* col[kMaxColumns] = {};
  std::int64_t* offsets = nullptr;
  std::uint64_t events_room = 0;   // records the columns have room for
  std::uint64_t samples_room = 0;  // bytes the samples column has room for

 private:
  BatchMemory* out_;
  std::size_t sample_width_;
};

template <class Rules, bool kWithSamples>
BatchResult walk_records(BufReader& in, const Rules& rules, BatchMemory* out, Limits limits) {
  const std::size_t header = rules.header_size();
  constexpr std::size_t kSampleWidth = std::is_same_v<Rules, WD1Rules> ? 2 : 4;
  BatchResult res;
  std::uint64_t bytes = 0;  // file bytes of the records taken
  Columns<Rules> cols(out, kSampleWidth);
  auto fail = [&](IoError e) {
    res.stop = Stop::error;
    res.error = e;
    return res;
  };
  auto out_of_memory = [&] { return fail(IoError::system(ENOMEM)); };
  // Whether a record would take the batch past max_bytes; the first record
  // always fits, so the bytes taken may already exceed it.
  auto over_budget = [&](std::uint64_t record) {
    return bytes >= limits.max_bytes || record > limits.max_bytes - bytes;
  };

  // First guesses: records from the file's length, at most kFirstRecords of
  // them (a record may be far longer than its header, and every column's
  // first touch costs a huge page), and samples from the file's length (only
  // mapped, not touched); a small guess where that cannot be had. Regions
  // grow by doubling past them.
  constexpr std::uint64_t kSmall = 4096;
  constexpr std::uint64_t kFirstRecords = 1 << 16;
  const std::optional<std::uint64_t> left = in.length_hint();
  const bool seekable = left.has_value();  // runs read in place need a way back
  std::uint64_t guess = std::min(left ? *left / header + 1 : kSmall, kFirstRecords);
  if (limits.max_bytes != UINT64_MAX) guess = std::min(guess, limits.max_bytes / header + 1);
  guess = std::max<std::uint64_t>(std::min(guess, limits.max_events), 1);
  if (!cols.make_room(guess) && !cols.make_room(std::min(guess, kSmall))) return out_of_memory();
  if (kWithSamples) {
    const std::uint64_t want = std::min(left ? *left : kSmall * 256, limits.max_bytes);
    if (!cols.make_sample_room(want) && !cols.make_sample_room(std::min(want, kSmall * 256))) {
      return out_of_memory();
    }
  }
  if (out) cols.offsets[0] = kWithSamples ? 0 : std::int64_t(in.position());
  // After a long block, refill only what a header needs; a scan starts so,
  // as its records may be long.
  std::size_t fill_limit = kWithSamples ? SIZE_MAX : kHeaderRefill;

  // Counts a record in, once its header is stored and its block in place.
  std::uint64_t last_block = 0;  // of the last record taken: the guess for the next
  auto take = [&](std::uint64_t record, std::uint64_t block, std::uint64_t end_position) {
    last_block = block;
    bytes += record;
    res.samples += block / kSampleWidth;
    ++res.events;
    if (out) {
      cols.offsets[res.events] = kWithSamples ? std::int64_t(res.samples) : std::int64_t(end_position);
    }
  };

  while (res.events < limits.max_events) {
    // Every record that lies whole in the buffer, decoded where it lies. Any
    // other case (a record past the buffer, a limit, a record that cannot be
    // read) is left to the general step below.
    {
      const std::span<const std::uint8_t> buf = in.buffered();
      const std::uint64_t base = in.position();
      std::size_t used = 0;
      while (res.events < limits.max_events && buf.size() - used >= header) {
        const std::uint8_t* h = buf.data() + used;
        const std::optional<std::uint64_t> block = rules.block_bytes(h);
        if (!block) break;
        const std::uint64_t record = header + *block;
        if (record > buf.size() - used) break;
        if (res.events != 0 && over_budget(record)) break;
        if (res.events == cols.events_room && !cols.make_room(2 * cols.events_room)) break;
        if (out) rules.store(cols.col, res.events, h);
        if (kWithSamples && *block) {
          if (!cols.make_sample_room(res.samples * kSampleWidth + *block)) break;
          std::uint8_t* dst = cols.samples_at(res.samples);
          std::memcpy(dst, h + header, std::size_t(*block));
          samples_to_host(dst, *block, kSampleWidth);
        }
        used += std::size_t(record);
        take(record, *block, base + used);
      }
      in.consume(used);
      fill_limit = used ? SIZE_MAX : fill_limit;
    }
    if (res.events == limits.max_events) break;

    if constexpr (kWithSamples) {
      // A run of records the size of the last one, read in place. A header
      // that disagrees ends the run, and the reader goes back to its record.
      if (last_block >= kScatterBlock && seekable && in.drained()) {
        const std::uint64_t record = header + last_block;
        std::uint64_t k = std::min<std::uint64_t>(kScatterRecords, limits.max_events - res.events);
        if (limits.max_bytes != UINT64_MAX) k = std::min(k, (limits.max_bytes - std::min(bytes, limits.max_bytes)) / record);
        const bool room = k >= 2 &&
                          (res.events + k <= cols.events_room ||
                           cols.make_room(std::max(2 * cols.events_room, res.events + k))) &&
                          cols.make_sample_room(res.samples * kSampleWidth + k * last_block);
        if (room) {
          std::array<std::uint8_t, kScatterRecords * 28> heads;
          std::array<std::span<std::uint8_t>, 2 * kScatterRecords> parts;
          for (std::uint64_t i = 0; i < k; ++i) {
            parts[2 * i] = {heads.data() + i * header, header};
            parts[2 * i + 1] = {cols.samples_at(res.samples + i * last_block / kSampleWidth),
                                std::size_t(last_block)};
          }
          const std::uint64_t start = in.position();
          Result<std::size_t> got = in.read_scattered(std::span(parts).first(std::size_t(2 * k)));
          if (!got.ok()) {
            if (Status st = in.seek_to(start); !st.ok()) return fail(st.error());
            return fail(got.error());
          }
          const std::uint64_t block = last_block;
          std::uint64_t i = 0;
          for (; i < got.value() / record; ++i) {
            const std::uint8_t* h = heads.data() + i * header;
            if (rules.block_bytes(h) != block) break;
            rules.store(cols.col, res.events, h);
            samples_to_host(cols.samples_at(res.samples), block, kSampleWidth);
            take(record, block, start + (i + 1) * record);
          }
          if (i * record != got.value()) {
            if (Status st = in.seek_to(start + i * record); !st.ok()) return fail(st.error());
          }
          if (i == 0) last_block = 0;  // the general step takes the next record
          continue;
        }
      }
    }

    // One record by the general step.
    const std::uint64_t start = in.position();
    if (in.buffered().size() < header) {
      if (Status st = in.fill(header, fill_limit); !st.ok()) {
        if (st.error().is_eof()) break;
        return fail(st.error());
      }
    }
    const std::uint8_t* h = in.buffered().data();
    const std::optional<std::uint64_t> block = rules.block_bytes(h);
    if (!block) {
      res.stop = Stop::corrupt;
      res.corrupt_at = start;
      return res;
    }
    const std::uint64_t record = header + *block;
    if (res.events != 0 && over_budget(record)) {
      res.stop = Stop::limit;
      return res;
    }
    if (res.events == cols.events_room && !cols.make_room(std::max<std::uint64_t>(2 * cols.events_room, 1))) {
      return out_of_memory();
    }
    if (out) rules.store(cols.col, res.events, h);
    if (record <= in.buffered().size()) {
      // Whole in the buffer after all: only memory was short above.
      if (kWithSamples && *block) {
        if (!cols.make_sample_room(res.samples * kSampleWidth + *block)) return out_of_memory();
        std::uint8_t* dst = cols.samples_at(res.samples);
        std::memcpy(dst, h + header, std::size_t(*block));
        samples_to_host(dst, *block, kSampleWidth);
      }
      in.consume(std::size_t(record));
      take(record, *block, start + record);
      continue;
    }
    // The block runs past the buffer: read it into its column, or step over it.
    std::array<std::uint8_t, 32> head;
    std::memcpy(head.data(), h, header);
    in.consume(header);
    const std::size_t at = std::size_t(res.samples * kSampleWidth);
    Status st = success();
    if constexpr (kWithSamples) {
      // Long blocks, and blocks that may start a run read in place (which
      // needs an empty buffer), skip the buffer.
      const bool direct = *block >= kDirectBlock || (*block >= kScatterBlock && seekable);
      st = read_block(in, out->samples, at, *block, direct);
    } else {
      st = in.skip(*block);
    }
    if (!st.ok()) {
      // The record is left whole for a later call, on every kind of failure.
      std::span<const std::uint8_t> got;
      if (kWithSamples && out->samples.capacity() > at) {
        got = {out->samples.data() + at, out->samples.capacity() - at};
      }
      give_back_record(in, start, std::span(head).first(header), got);
      if (st.error().is_eof()) break;
      return fail(st.error());
    }
    if constexpr (kWithSamples) {
      samples_to_host(out->samples.data() + at, *block, kSampleWidth);
      cols.samples_room = out->samples.capacity();
    }
    fill_limit = *block < kDirectBlock ? SIZE_MAX : kHeaderRefill;
    take(record, *block, start + record);
  }
  res.stop = res.events == limits.max_events ? Stop::limit : Stop::end;
  return res;
}

}  // namespace

Result<BatchDecoder> BatchDecoder::open(std::unique_ptr<Source> source, Layout layout,
                                        std::size_t buffer_size) {
  BufReader in(std::move(source), std::max<std::size_t>(buffer_size, 32));
  std::int32_t probed = 0;
  if (layout == Layout::wd2) {
    // The probe reads two headers: no need to fill the whole buffer for them.
    in.limit_refill(kHeaderRefill);
    Result<std::int32_t> channels = probe_wd2_channels(in);
    in.limit_refill(buffer_size);
    if (!channels.ok()) return channels.error();
    probed = channels.value();
  }
  return BatchDecoder(std::move(in), layout, probed);
}

std::size_t BatchDecoder::column_width(int i) const noexcept {
  return layout_ == Layout::wd1 ? WD1Rules::kColumnWidth[i] : WD2Rules::kColumnWidth[i];
}

template <bool kWithSamples>
BatchResult BatchDecoder::walk(BatchMemory* out, Limits limits) {
  if (layout_ == Layout::wd1) return walk_records<WD1Rules, kWithSamples>(in_, WD1Rules{}, out, limits);
  return walk_records<WD2Rules, kWithSamples>(in_, WD2Rules{probed_}, out, limits);
}

BatchResult BatchDecoder::decode(BatchMemory& out, Limits limits) { return walk<true>(&out, limits); }

BatchResult BatchDecoder::scan(BatchMemory* out, Limits limits) { return walk<false>(out, limits); }

}  // namespace vorn
