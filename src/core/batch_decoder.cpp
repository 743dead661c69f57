// BatchDecoder: the walk over records that fills columns, for both layouts.
#include "batch_decoder.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <optional>

#include "record.hpp"
#include "record_rules.hpp"
#include "sample_buffer.hpp"

namespace vorn {
namespace {

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
// A scan of a file that can seek steps over blocks from this size on: a
// refill of the next header costs less than reading such a block through
// (a seek is free, the reader reads by pread at an offset).
constexpr std::uint64_t kSeekBlock = 4096;

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

// One walk over the records from the reader's position: a batch of decode()
// (kWithSamples) or of scan(). Records that lie whole in the buffer are taken
// where they lie; a run of long records of one size is read in place; any
// other record goes through the general step, which also meets the limits,
// unreadable records and the end.
template <class Rules, bool kWithSamples>
class Walk {
 public:
  Walk(BufReader& in, const Rules& rules, BatchMemory* out, Limits limits)
      : in_(in), rules_(rules), out_(out), limits_(limits), header_(rules.header_size()),
        cols_(out, kSampleWidth) {}

  BatchResult run() {
    if (!reserve_first()) return fail(IoError::system(ENOMEM));
    if (out_) cols_.offsets[0] = kWithSamples ? 0 : std::int64_t(in_.position());
    while (res_.events < limits_.max_events) {
      take_buffered();
      if (res_.events == limits_.max_events) break;
      if constexpr (kWithSamples) {
        if (const std::optional<Next> next = take_run()) {
          if (*next == Next::stop) return res_;
          continue;
        }
      }
      if (take_one() == Next::stop) return res_;
    }
    res_.stop = Stop::limit;
    return res_;
  }

 private:
  static constexpr std::size_t kSampleWidth = std::is_same_v<Rules, WD1Rules> ? 2 : 4;
  enum class Next : bool { go_on, stop };

  BatchResult fail(IoError e) {
    res_.stop = Stop::error;
    res_.error = e;
    return res_;
  }
  Next stop_with(IoError e) {
    fail(e);
    return Next::stop;
  }
  Next stop_at(Stop why) {
    res_.stop = why;
    return Next::stop;
  }

  // Whether a record would take the batch past max_bytes; the first record
  // always fits, so the bytes taken may already exceed it.
  bool over_budget(std::uint64_t record) const noexcept {
    return bytes_ >= limits_.max_bytes || record > limits_.max_bytes - bytes_;
  }

  // First guesses: records from the file's length, at most kFirstRecords of
  // them (a record may be far longer than its header, and every column's
  // first touch costs a huge page), and samples from the file's length (only
  // mapped, not touched); a small guess where that cannot be had. Regions
  // grow by doubling past them.
  bool reserve_first() {
    constexpr std::uint64_t kSmall = 4096;
    constexpr std::uint64_t kFirstRecords = 1 << 16;
    const std::optional<std::uint64_t> left = in_.length_hint();
    seekable_ = left.has_value();
    std::uint64_t guess = std::min(left ? *left / header_ + 1 : kSmall, kFirstRecords);
    if (limits_.max_bytes != UINT64_MAX) guess = std::min(guess, limits_.max_bytes / header_ + 1);
    guess = std::max<std::uint64_t>(std::min(guess, limits_.max_events), 1);
    if (!cols_.make_room(guess) && !cols_.make_room(std::min(guess, kSmall))) return false;
    if (!kWithSamples) return true;
    const std::uint64_t want = std::min(left ? *left : kSmall * 256, limits_.max_bytes);
    return cols_.make_sample_room(want) || cols_.make_sample_room(std::min(want, kSmall * 256));
  }

  // Counts a record in, once its header is stored and its block in place.
  void take(std::uint64_t record, std::uint64_t block, std::uint64_t end_position) {
    last_block_ = block;
    bytes_ += record;
    res_.samples += block / kSampleWidth;
    ++res_.events;
    if (out_) {
      cols_.offsets[res_.events] = kWithSamples ? std::int64_t(res_.samples) : std::int64_t(end_position);
    }
  }

  // Stores the header at `h` and copies its block from right behind it;
  // false, having taken nothing, when memory is short.
  bool store(const std::uint8_t* h, std::uint64_t block) {
    if (res_.events == cols_.events_room && !cols_.make_room(std::max<std::uint64_t>(2 * cols_.events_room, 1))) {
      return false;
    }
    if (kWithSamples && block) {
      if (!cols_.make_sample_room(res_.samples * kSampleWidth + block)) return false;
      std::uint8_t* dst = cols_.samples_at(res_.samples);
      std::memcpy(dst, h + header_, std::size_t(block));
      samples_to_host(dst, block, kSampleWidth);
    }
    if (out_) rules_.store(cols_.col, res_.events, h);
    return true;
  }

  // Every record that lies whole in the buffer, decoded where it lies.
  void take_buffered() {
    const std::span<const std::uint8_t> buf = in_.buffered();
    const std::uint64_t base = in_.position();
    std::size_t used = 0;
    while (res_.events < limits_.max_events && buf.size() - used >= header_) {
      const std::uint8_t* h = buf.data() + used;
      const std::optional<std::uint64_t> block = rules_.block_bytes(h);
      if (!block) break;
      const std::uint64_t record = header_ + *block;
      if (record > buf.size() - used) break;
      if (res_.events != 0 && over_budget(record)) break;
      if (!store(h, *block)) break;
      used += std::size_t(record);
      take(record, *block, base + used);
    }
    in_.consume(used);
    if (used) fill_limit_ = SIZE_MAX;
  }

  // A run of records the size of the last one, read in place: headers into
  // a scratch area, blocks straight into the samples column, by one
  // scattered read. A header that disagrees ends the run, and the reader
  // goes back to its record. nullopt where no run can be read now.
  std::optional<Next> take_run() {
    if (last_block_ < kScatterBlock || !seekable_ || !in_.drained()) return std::nullopt;
    const std::uint64_t block = last_block_;
    const std::uint64_t record = header_ + block;
    std::uint64_t k = std::min<std::uint64_t>(kScatterRecords, limits_.max_events - res_.events);
    if (limits_.max_bytes != UINT64_MAX) {
      k = std::min(k, (limits_.max_bytes - std::min(bytes_, limits_.max_bytes)) / record);
    }
    const bool room = k >= 2 &&
                      (res_.events + k <= cols_.events_room ||
                       cols_.make_room(std::max(2 * cols_.events_room, res_.events + k))) &&
                      cols_.make_sample_room(res_.samples * kSampleWidth + k * block);
    if (!room) return std::nullopt;
    std::array<std::uint8_t, kScatterRecords * 28> heads;
    std::array<std::span<std::uint8_t>, 2 * kScatterRecords> parts;
    for (std::uint64_t i = 0; i < k; ++i) {
      parts[2 * i] = {heads.data() + i * header_, header_};
      parts[2 * i + 1] = {cols_.samples_at(res_.samples + i * block / kSampleWidth), std::size_t(block)};
    }
    const std::uint64_t start = in_.position();
    Result<std::size_t> got = in_.read_scattered(std::span(parts).first(std::size_t(2 * k)));
    if (!got.ok()) {
      if (Status st = in_.seek_to(start); !st.ok()) return stop_with(st.error());
      return stop_with(got.error());
    }
    std::uint64_t i = 0;
    for (; i < got.value() / record; ++i) {
      const std::uint8_t* h = heads.data() + i * header_;
      if (rules_.block_bytes(h) != block) break;
      rules_.store(cols_.col, res_.events, h);
      samples_to_host(cols_.samples_at(res_.samples), block, kSampleWidth);
      take(record, block, start + (i + 1) * record);
    }
    if (i * record != got.value()) {
      if (Status st = in_.seek_to(start + i * record); !st.ok()) return stop_with(st.error());
    }
    if (i == 0) last_block_ = 0;  // the general step takes the next record
    return Next::go_on;
  }

  // One record by the general step.
  Next take_one() {
    const std::uint64_t start = in_.position();
    if (in_.buffered().size() < header_) {
      if (Status st = in_.fill(header_, fill_limit_); !st.ok()) {
        return st.error().is_eof() ? stop_at(Stop::end) : stop_with(st.error());
      }
    }
    const std::uint8_t* h = in_.buffered().data();
    const std::optional<std::uint64_t> block = rules_.block_bytes(h);
    if (!block) {
      res_.corrupt_at = start;
      return stop_at(Stop::corrupt);
    }
    const std::uint64_t record = header_ + *block;
    if (res_.events != 0 && over_budget(record)) return stop_at(Stop::limit);
    if (record <= in_.buffered().size()) {
      // Whole in the buffer after all: only memory was short before.
      if (!store(h, *block)) return stop_with(IoError::system(ENOMEM));
      in_.consume(std::size_t(record));
      take(record, *block, start + record);
      return Next::go_on;
    }
    if (!store(h, 0)) return stop_with(IoError::system(ENOMEM));
    // The block runs past the buffer: read it into its column, or step over it.
    std::array<std::uint8_t, 32> head;
    std::memcpy(head.data(), h, header_);
    in_.consume(header_);
    const std::size_t at = std::size_t(res_.samples * kSampleWidth);
    Status st = success();
    if constexpr (kWithSamples) {
      // Long blocks, and blocks that may start a run read in place (which
      // needs an empty buffer), skip the buffer.
      const bool direct = *block >= kDirectBlock || (*block >= kScatterBlock && seekable_);
      st = read_block(in_, out_->samples, at, *block, direct);
    } else {
      st = in_.skip(*block);
    }
    if (!st.ok()) {
      // The record is left whole for a later call, on every kind of failure.
      std::span<const std::uint8_t> got;
      if (kWithSamples && out_->samples.capacity() > at) {
        got = {out_->samples.data() + at, out_->samples.capacity() - at};
      }
      give_back_record(in_, start, std::span(head).first(header_), got);
      return st.error().is_eof() ? stop_at(Stop::end) : stop_with(st.error());
    }
    if constexpr (kWithSamples) {
      samples_to_host(out_->samples.data() + at, *block, kSampleWidth);
      cols_.samples_room = out_->samples.capacity();
    }
    const std::uint64_t long_block = kWithSamples || !seekable_ ? kDirectBlock : kSeekBlock;
    fill_limit_ = *block < long_block ? SIZE_MAX : kHeaderRefill;
    take(record, *block, start + record);
    return Next::go_on;
  }

  BufReader& in_;
  const Rules& rules_;
  BatchMemory* out_;
  const Limits limits_;
  const std::size_t header_;
  Columns<Rules> cols_;
  BatchResult res_;
  std::uint64_t bytes_ = 0;       // file bytes of the records taken
  std::uint64_t last_block_ = 0;  // of the last record taken: the guess for the next
  bool seekable_ = false;         // runs read in place need a way back
  // After a long block, refill only what a header needs; a scan starts so,
  // as its records may be long.
  std::size_t fill_limit_ = kWithSamples ? SIZE_MAX : kHeaderRefill;
};

}  // namespace

Result<BatchDecoder> BatchDecoder::open(std::unique_ptr<Source> source, Layout layout,
                                        std::size_t buffer_size) {
  BufReader in(std::move(source), std::max<std::size_t>(buffer_size, 32));
  std::int32_t probed = 0;
  if (layout == Layout::wd2) {
    // The probe reads two headers: no need to fill the whole buffer for them.
    in.limit_refill(kHeaderRefill);
    Result<std::int32_t> channels = peek_wd2_channels(in);
    in.limit_refill(buffer_size);
    if (!channels.ok()) return channels.error();
    probed = channels.value();
  }
  return BatchDecoder(std::move(in), layout, probed);
}

Status BatchDecoder::seek(std::uint64_t position) {
  const std::uint64_t at = in_.position();
  if (position == at) return success();
  Status st = in_.seek_to(position);
  if (st.ok() || st.error().code != ESPIPE || position < at) return st;
  st = in_.skip(position - at);
  return st.ok() || st.error().is_eof() ? success() : st;
}

std::size_t BatchDecoder::column_width(int i) const noexcept {
  return layout_ == Layout::wd1 ? WD1Rules::kColumnWidth[i] : WD2Rules::kColumnWidth[i];
}

template <bool kWithSamples>
BatchResult BatchDecoder::walk(BatchMemory* out, Limits limits) {
  if (layout_ == Layout::wd1) {
    const WD1Rules rules;
    return Walk<WD1Rules, kWithSamples>(in_, rules, out, limits).run();
  }
  const WD2Rules rules{probed_};
  return Walk<WD2Rules, kWithSamples>(in_, rules, out, limits).run();
}

BatchResult BatchDecoder::decode(BatchMemory& out, Limits limits) { return walk<true>(&out, limits); }

BatchResult BatchDecoder::scan(BatchMemory* out, Limits limits) { return walk<false>(out, limits); }

}  // namespace vorn
