// BatchDecoder: the walk over records that fills columns, for every layout.
#include "batch_decoder.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>
#include <utility>

#include "columns.hpp"
#include "equal_run.hpp"
#include "header_check.hpp"
#include "record.hpp"
#include "sample_buffer.hpp"
#include "thresholds.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

// One walk over the records of layout L from the reader's position: a batch
// of decode() (kWithSamples) or of scan(). Records that lie whole in the
// buffer are taken where they lie; a run of long records of one size is
// read in place; any other record goes through the general step, which also
// meets the limits, unreadable records and the end. Templated on the layout,
// so that the compiler sees its offsets and widths as constants.
template <class L, bool kWithSamples>
class Walk {
 public:
  Walk(BufReader& in, std::int32_t channels, BatchMemory* out, Limits limits)
      : in_(in), channels_(channels), out_(out), limits_(limits),
        header_(L::kDesc.header_for(channels)), cols_(out) {}

  BatchResult run() {
    if (!reserve_first()) return res_.fail(IoError::system(ENOMEM));
    if (out_) cols_.offsets[0] = kWithSamples ? 0 : std::int64_t(in_.position());
    while (res_.events < limits_.max_events) {
      take_buffered();
      if (res_.events == limits_.max_events) break;
      std::optional<Next> next = take_parts();
      if (!next) next = kWithSamples ? take_run() : scan_run();
      if (next) {
        if (*next == Next::stop) return res_;
        continue;
      }
      if (take_one() == Next::stop) return res_;
    }
    res_.stop = Stop::limit;
    return res_;
  }

 private:
  using Header = typename L::Header;
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();
  enum class Next : bool { go_on, stop };

  using Run = EqualRun<L, kWithSamples>;
  using Chunk = typename Run::Chunk;

  Header decode(const std::uint8_t* h) const noexcept { return decode_header<L>(h, channels_); }
  std::optional<std::uint64_t> block_of(const Header& values) const noexcept {
    return L::block_bytes(values, channels_);
  }

  Next stop_with(IoError e) {
    res_.fail(e);
    return Next::stop;
  }
  Next stop_at(Stop why) {
    res_.stop = why;
    return Next::stop;
  }
  // The end of the input ends the batch quietly; anything else is its error.
  Next stop_on(const IoError& e) { return e.is_eof() ? stop_at(Stop::end) : stop_with(e); }

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
    // Where a run may be read at offsets, the first header is read alone:
    // the rest of the batch may not go through the buffer at all.
    if (kWithSamples && seekable_ && in_.source().reads_at()) fill_limit_ = kHeaderRefill;
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

  // Room for `n` more records in the header columns, growing them by doubling.
  bool room_for_records(std::uint64_t n) {
    return res_.events + n <= cols_.events_room ||
           cols_.make_room(std::max(2 * cols_.events_room, res_.events + n));
  }

  // How many more records of `record` bytes each the limits let the batch take.
  std::uint64_t records_within_limits(std::uint64_t record) const noexcept {
    std::uint64_t k = limits_.max_events - res_.events;
    if (limits_.max_bytes != UINT64_MAX) {
      k = std::min(k, (limits_.max_bytes - std::min(bytes_, limits_.max_bytes)) / record);
    }
    return k;
  }
  void store_header(const Header& values) {
    if (out_) cols_.store(res_.events, values);
  }

  // Stores the record lying whole at `h`: its header's values and the block
  // right behind it; false, having taken nothing, when memory is short.
  bool store_whole(const std::uint8_t* h, const Header& values, std::uint64_t block) {
    if (!room_for_records(1)) return false;
    if (kWithSamples && block) {
      if (!cols_.make_sample_room(res_.samples * kSampleWidth + block)) return false;
      std::uint8_t* dst = cols_.samples_at(res_.samples);
      std::memcpy(dst, h + header_, std::size_t(block));
      samples_to_host(dst, block, kSampleWidth);
    }
    store_header(values);
    return true;
  }

  // Every record that lies whole in the buffer, decoded where it lies: as
  // many as fit the memory there is by the quick loop, then one by the
  // careful step, which grows the memory, and so on.
  void take_buffered() {
    const std::span<const std::uint8_t> buf = in_.buffered();
    const std::uint64_t base = in_.position();
    std::size_t used = 0;
    while (true) {
      used = take_in_room(buf, base, used);
      if (res_.events >= limits_.max_events || buf.size() - used < header_) break;
      const std::uint8_t* h = buf.data() + used;
      const Header values = decode(h);
      const std::optional<std::uint64_t> block = block_of(values);
      if (!block) break;
      const std::uint64_t record = header_ + *block;
      if (record > buf.size() - used) break;
      if (res_.events != 0 && over_budget(record)) break;
      if (!store_whole(h, values, *block)) break;
      used += std::size_t(record);
      take(record, *block, base + used);
    }
    in_.consume(used);
    if (used) fill_limit_ = SIZE_MAX;
  }

  // The records whole in `buf` from byte `used` on that need no memory
  // grown, stored and counted; returns the new `used`. The walk's state is
  // held in locals meanwhile: stores into the columns go through byte
  // pointers, which could alias any member, so the compiler would otherwise
  // reload and store every counter around each of them.
  std::size_t take_in_room(std::span<const std::uint8_t> buf, std::uint64_t base, std::size_t used) {
    const std::size_t header = header_;
    const bool store = out_ != nullptr;
    const std::uint64_t event_limit =
        store ? std::min(limits_.max_events, cols_.events_room) : limits_.max_events;
    const std::uint64_t max_bytes = limits_.max_bytes;
    const std::uint64_t sample_room = kWithSamples ? cols_.samples_room : 0;
    std::uint8_t* const samples_base = kWithSamples ? cols_.samples_at(0) : nullptr;
    std::array<std::uint8_t*, Columns<L>::kFields> col = cols_.columns();
    std::int64_t* const offsets = cols_.offsets;
    std::uint64_t events = res_.events, samples = res_.samples, bytes = bytes_;
    std::uint64_t last_block = last_block_;
    while (events < event_limit && buf.size() - used >= header) {
      const std::uint8_t* h = buf.data() + used;
      const Header values = decode(h);
      const std::optional<std::uint64_t> block = block_of(values);
      if (!block) break;
      const std::uint64_t record = header + *block;
      if (record > buf.size() - used) break;
      if (events != 0 && (bytes >= max_bytes || record > max_bytes - bytes)) break;
      if constexpr (kWithSamples) {
        const std::uint64_t at = samples * kSampleWidth;
        if (*block > sample_room - std::min(at, sample_room)) break;
        if (*block) {
          std::memcpy(samples_base + at, h + header, std::size_t(*block));
          samples_to_host(samples_base + at, *block, kSampleWidth);
        }
      }
      if (store) {
        for_each_field<L>(values, [&](auto k, const auto& value) {
          std::memcpy(col[k] + sizeof value * events, &value, sizeof value);
        });
      }
      used += std::size_t(record);
      bytes += record;
      samples += *block / kSampleWidth;
      ++events;
      last_block = *block;
      if (store) offsets[events] = kWithSamples ? std::int64_t(samples) : std::int64_t(base + used);
    }
    res_.events = events;
    res_.samples = samples;
    bytes_ = bytes;
    last_block_ = last_block;
    return used;
  }

  // Counts in `n` records of `record` bytes each whose headers, blocks and
  // offsets are in place.
  void count_in(std::uint64_t n, std::uint64_t record, std::uint64_t block) noexcept {
    if (n == 0) return;
    last_block_ = block;
    bytes_ += n * record;
    res_.samples += n * (block / kSampleWidth);
    res_.events += n;
  }

  // A run of records the size of the last one, read by one system read as
  // chunk_for says (from 1 KB blocks on). A header that disagrees ends the
  // run, and the reader goes back to its record. nullopt where no run can be
  // read now.
  std::optional<Next> take_run() {
    if (last_block_ < kScatterBlock || !seekable_ || !in_.drained()) return std::nullopt;
    const std::uint64_t block = last_block_;
    const std::uint64_t record = header_ + block;
    const std::uint64_t k = std::min<std::uint64_t>(kScatterRecords, records_within_limits(record));
    Chunk how = Run::chunk_for(block);
    // Read whole, the records end past their last block by their headers:
    // only into room the column has, which is not grown for that (grown
    // memory is fresh, and a batch's kept memory ends where its blocks do).
    if (how == Chunk::compact && res_.samples * kSampleWidth + k * record > cols_.samples_room) {
      how = Chunk::scattered;
    }
    const bool room = k >= 2 && room_for_records(k) &&
                      cols_.make_sample_room(res_.samples * kSampleWidth +
                                             k * (how == Chunk::compact ? record : block));
    if (!room) return std::nullopt;
    const std::uint64_t start = in_.position();
    const Run run(cols_, channels_, {start, block, res_.events, res_.samples, k});
    Result<std::uint64_t> got = run.read_through(in_, how);
    if (!got.ok()) {
      if (Status st = in_.seek_to(start); !st.ok()) return stop_with(st.error());
      return stop_with(got.error());
    }
    const std::uint64_t n = got.value();
    count_in(n, record, block);
    if (in_.position() != start + n * record) {
      if (Status st = in_.seek_to(start + n * record); !st.ok()) return stop_with(st.error());
    }
    if (n == 0) {  // the general step takes the next record
      last_block_ = 0;
      next_run_at_ = res_.events + kRunPrefix;
    }
    return Next::go_on;
  }

  // A long run of records the size of the last one, in a file read at
  // offsets, read in parts side by side (see kPartsFrom): each part checks
  // every header as it goes, and the batch takes the records before
  // the first that is short or gives another size, which are what the
  // general step would take one by one. The reader goes on from there.
  // nullopt where no such run is read now.
  std::optional<Next> take_parts() {
    const std::uint64_t block = last_block_;
    const std::uint64_t record = header_ + block;
    const std::uint64_t least = std::max<std::uint64_t>(kPartsFrom / record, 2);
    // The size of the last record taken is the guess: none yet, no guess.
    if (res_.events == 0 || res_.events < next_run_at_ || !seekable_ ||
        (!kWithSamples && block >= kSeekBlock) || !in_.source().reads_at() ||
        records_within_limits(record) < least) {
      return std::nullopt;
    }
    // Only records whose every byte the file's length vouches for.
    const std::optional<std::uint64_t> left = in_.length_hint();
    const std::uint64_t k = std::min(records_within_limits(record), left ? *left / record : 0);
    if (k < least) return std::nullopt;
    const CpuShare share(kMaxThreads);
    if (share.threads() < 2) return std::nullopt;
    const std::uint64_t sample_bytes = res_.samples * kSampleWidth + k * block;
    if (!room_for_records(k) || (kWithSamples && !cols_.make_sample_room(sample_bytes))) {
      next_run_at_ = res_.events + kRunPrefix;
      return std::nullopt;
    }
    const std::uint64_t start = in_.position();
    const Run run(cols_, channels_, {start, block, res_.events, res_.samples, k});
    const std::uint64_t n = run.read_in_parts(in_.source(), share.threads());
    count_in(n, record, block);
    if (n < k) next_run_at_ = res_.events + kRunPrefix;
    if (n == 0) return std::nullopt;
    if (Status st = in_.seek_to(start + n * record); !st.ok()) return stop_with(st.error());
    return Next::go_on;
  }

  // A scan's run of records the size of the last one, in a file read at
  // offsets: their headers are read where that size puts them, and each
  // must give the size again, so that what is taken is what the general
  // step would take header by header. The reader goes on from the first
  // that does not agree. nullopt where no run is read now.
  std::optional<Next> scan_run() {
    if (last_block_ < kSeekBlock || !seekable_ || res_.events < next_run_at_ || !in_.drained() ||
        !in_.source().reads_at()) {
      return std::nullopt;
    }
    const std::uint64_t record = header_ + last_block_;
    std::uint64_t k = records_within_limits(record);
    if (k < kParallelRun) return std::nullopt;
    // Only records whose every byte the file's length vouches for, as a step
    // over a block would take them.
    const std::optional<std::uint64_t> left = in_.length_hint();
    k = std::min(k, left ? *left / record : 0);
    if (k < kParallelRun || !room_for_records(k)) return std::nullopt;
    const std::uint64_t start = in_.position();
    const HeaderCheck<L> check(cols_, channels_, {start, last_block_, res_.events, k});
    const std::uint64_t n = check.run(in_.source());
    for (std::uint64_t i = 0; i < n; ++i) take(record, last_block_, start + (i + 1) * record);
    if (n < k) next_run_at_ = res_.events + kRunPrefix;
    if (n == 0) return std::nullopt;
    if (Status st = in_.seek_to(start + n * record); !st.ok()) return stop_with(st.error());
    return Next::go_on;
  }

  // One record by the general step: its header from the buffer, refilled as
  // needed; a record that cannot be read, or would break the byte limit,
  // ends the batch before it.
  Next take_one() {
    const std::uint64_t start = in_.position();
    if (in_.buffered().size() < header_) {
      // No more than the batch may still take: what lies beyond is the next
      // batch's, which may read it in parts instead of through the buffer.
      const std::uint64_t budget = limits_.max_bytes - std::min(bytes_, limits_.max_bytes);
      const std::size_t limit =
          std::min<std::uint64_t>(fill_limit_, std::max<std::uint64_t>(budget, kHeaderRefill));
      if (Status st = in_.fill(header_, limit); !st.ok()) return stop_on(st.error());
    }
    const std::uint8_t* h = in_.buffered().data();
    const Header values = decode(h);
    const std::optional<std::uint64_t> block = block_of(values);
    if (!block) {
      res_.fail_at(Stop::corrupt, start);
      return Next::stop;
    }
    const std::uint64_t record = header_ + *block;
    if (res_.events != 0 && over_budget(record)) return stop_at(Stop::limit);
    if (record > in_.buffered().size()) return take_long(start, values, *block);
    // Whole in the buffer after all: only memory was short before.
    if (!store_whole(h, values, *block)) return stop_with(IoError::system(ENOMEM));
    in_.consume(std::size_t(record));
    take(record, *block, start + record);
    return Next::go_on;
  }

  // A record whose block runs past the buffer: its header is taken out of
  // the buffer, then its block is read or stepped over. On every kind of
  // failure the record is left whole for a later call.
  Next take_long(std::uint64_t start, const Header& values, std::uint64_t block) {
    if (!room_for_records(1)) return stop_with(IoError::system(ENOMEM));
    std::array<std::uint8_t, L::kDesc.max_header()> head;
    std::memcpy(head.data(), in_.buffered().data(), header_);
    in_.consume(header_);
    const std::size_t at = std::size_t(res_.samples * kSampleWidth);
    if (const Status st = read_block(at, block); !st.ok()) {
      give_back_record(in_, start, std::span(head).first(header_), cols_.samples_from(at));
      return stop_on(st.error());
    }
    store_header(values);
    if (kWithSamples || !seekable_) {
      fill_limit_ = block < kDirectBlock ? SIZE_MAX : kHeaderRefill;
    } else {
      // A scan that stepped over a block this long meets the next header
      // alone: reading more would copy bytes of a block it steps over.
      fill_limit_ = block < kSeekBlock ? SIZE_MAX : header_;
    }
    take(header_ + block, block, start + header_ + block);
    return Next::go_on;
  }

  // The block after a header just taken: into the samples column at byte
  // `at`, or stepped over by a scan. Long blocks, and blocks that may start
  // a run read in place (which needs an empty buffer), skip the buffer.
  Status read_block(std::size_t at, std::uint64_t block) {
    if constexpr (kWithSamples) {
      const bool direct = block >= kDirectBlock || (block >= kScatterBlock && seekable_);
      const Status st = cols_.read_block(in_, at, block, direct);
      if (st.ok()) samples_to_host(cols_.samples_at(res_.samples), block, kSampleWidth);
      return st;
    } else {
      (void)at;
      return in_.skip(block);
    }
  }

  BufReader& in_;
  const std::int32_t channels_;
  BatchMemory* out_;
  const Limits limits_;
  const std::size_t header_;
  Columns<L> cols_;
  BatchResult res_;
  std::uint64_t bytes_ = 0;       // file bytes of the records taken
  std::uint64_t last_block_ = 0;  // of the last record taken: the guess for the next
  std::uint64_t next_run_at_ = 0;  // scan_run tries no run before this many records
  bool seekable_ = false;         // runs read in place need a way back
  // After a long block, refill only what a header needs; a scan starts so,
  // as its records may be long.
  std::size_t fill_limit_ = kWithSamples ? SIZE_MAX : kHeaderRefill;
};

}  // namespace

Result<BatchDecoder> BatchDecoder::open(std::unique_ptr<Source> source, const LayoutDesc& layout,
                                        std::size_t buffer_size) {
  BufReader in(std::move(source), std::max(buffer_size, layout.max_header()));
  // A probe reads a few headers: no need to fill the whole buffer for them.
  in.limit_refill(kHeaderRefill);
  Result<std::int32_t> channels =
      Layouts::visit(layout, [&]<class L>() { return L::peek_channels(in); });
  in.limit_refill(buffer_size);
  if (!channels.ok()) return channels.error();
  return BatchDecoder(std::move(in), layout, channels.value());
}

BatchDecoder BatchDecoder::open_known(std::unique_ptr<Source> source, const LayoutDesc& layout,
                                      std::int32_t channels, std::size_t buffer_size) {
  return BatchDecoder(BufReader(std::move(source), std::max(buffer_size, layout.max_header())),
                      layout, channels);
}

Status BatchDecoder::seek(std::uint64_t position) {
  const std::uint64_t at = in_.position();
  if (position == at) return success();
  Status st = in_.seek_to(position);
  if (st.ok() || st.error().code != ESPIPE || position < at) return st;
  st = in_.skip(position - at);
  return st.ok() || st.error().is_eof() ? success() : st;
}

template <bool kWithSamples>
BatchResult BatchDecoder::walk(BatchMemory* out, Limits limits) {
  return Layouts::visit(*layout_, [&]<class L>() {
    return Walk<L, kWithSamples>(in_, probed_, out, limits).run();
  });
}

BatchResult BatchDecoder::decode(BatchMemory& out, Limits limits) { return walk<true>(&out, limits); }

BatchResult BatchDecoder::scan(BatchMemory* out, Limits limits) { return walk<false>(out, limits); }

}  // namespace vorn
