// The walk over records that fills columns, for every layout: the loop, the
// general step, and what it has taken so far; the runs it reads in place
// are EqualRun and HeaderCheck.
#include "walk.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>
#include <span>

#include "columns.hpp"
#include "equal_run.hpp"
#include "header_check.hpp"
#include "layouts.hpp"
#include "record.hpp"
#include "thresholds.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

// What a walk has taken so far: the records stored in its columns, their
// count, samples and file bytes, and the block of the last one (the guess
// for a run), under the batch's limits. Every way of taking records books
// them here.
template <class L, bool kWithSamples>
class Taken {
 public:
  using Header = typename L::Header;
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();

  Taken(BatchMemory* out, std::int32_t channels, Limits limits)
      : cols(out), limits(limits), channels_(channels), header_(L::kDesc.header_for(channels)) {}

  Header decode(const std::uint8_t* h) const noexcept { return decode_header<L>(h, channels_); }
  std::optional<std::uint64_t> block_of(const Header& values) const noexcept {
    return L::block_bytes(values, channels_);
  }

  bool at_limit() const noexcept { return res.events >= limits.max_events; }
  // Whether a record would take the batch past max_bytes; the first record
  // fits where the limits say so, so the bytes taken may already exceed it.
  bool over_budget(std::uint64_t record) const noexcept {
    return (res.events != 0 || !limits.first_fits) &&
           (bytes >= limits.max_bytes || record > limits.max_bytes - bytes);
  }
  // How many more records of `record` bytes each the limits let the batch take.
  std::uint64_t records_within_limits(std::uint64_t record) const noexcept {
    std::uint64_t k = limits.max_events - res.events;
    if (limits.max_bytes != UINT64_MAX) {
      k = std::min(k, (limits.max_bytes - std::min(bytes, limits.max_bytes)) / record);
    }
    return k;
  }
  // First guesses, from `left`, the bytes the file holds from the walk's
  // start where it has a length: records, at most kFirstRecords of them (a record
  // may be far longer than its header, and every column's first touch costs
  // a huge page), and samples (only mapped, not touched); a small guess
  // where there is no length. Regions grow by doubling past them.
  bool reserve_first(std::optional<std::uint64_t> left) {
    constexpr std::uint64_t kSmall = 4096;
    constexpr std::uint64_t kFirstRecords = 1 << 16;
    std::uint64_t guess = std::min(left ? *left / header_ + 1 : kSmall, kFirstRecords);
    if (limits.max_bytes != UINT64_MAX) guess = std::min(guess, limits.max_bytes / header_ + 1);
    guess = std::max<std::uint64_t>(std::min(guess, limits.max_events), 1);
    if (!cols.make_room(guess) && !cols.make_room(std::min(guess, kSmall))) return false;
    if (!kWithSamples) return true;
    const std::uint64_t want = std::min(left ? *left : kSmall * 256, limits.max_bytes);
    return cols.make_sample_room(want) || cols.make_sample_room(std::min(want, kSmall * 256));
  }

  // Room for `n` more records in the header columns, growing them by doubling.
  bool room_for_records(std::uint64_t n) {
    return res.events + n <= cols.events_room ||
           cols.make_room(std::max(2 * cols.events_room, res.events + n));
  }

  void store_header(const Header& values) {
    if (cols.storing()) cols.store(res.events, values);
  }
  // Counts a record in, once its header is stored and its block in place.
  void take(std::uint64_t record, std::uint64_t block, std::uint64_t end_position) {
    last_block = block;
    bytes += record;
    res.samples += block / kSampleWidth;
    ++res.events;
    if (cols.storing()) {
      cols.offsets[res.events] =
          kWithSamples ? std::int64_t(res.samples) : std::int64_t(end_position);
    }
  }
  // Counts in `n` records of `record` bytes each whose headers, blocks and
  // offsets are in place.
  void count_in(std::uint64_t n, std::uint64_t record, std::uint64_t block) noexcept {
    if (n == 0) return;
    last_block = block;
    bytes += n * record;
    res.samples += n * (block / kSampleWidth);
    res.events += n;
  }

  // Stores the record lying whole at `h`: its header's values and the block
  // right behind it; false, having taken nothing, when memory is short.
  bool store_whole(const std::uint8_t* h, const Header& values, std::uint64_t block) {
    if (!room_for_records(1)) return false;
    if (kWithSamples && block) {
      if (!cols.make_sample_room(res.samples * kSampleWidth + block)) return false;
      std::uint8_t* dst = cols.samples_at(res.samples);
      std::memcpy(dst, h + header_, std::size_t(block));
      samples_to_host(dst, block, kSampleWidth);
    }
    store_header(values);
    return true;
  }

  // Takes every record that lies whole in `buf`, the file's bytes from
  // `base` on, decoded where it lies: as many as fit the memory there is by
  // the quick loop, then one by the careful step, which grows the memory,
  // and so on. Returns the bytes taken.
  std::size_t take_whole(std::span<const std::uint8_t> buf, std::uint64_t base) {
    std::size_t used = 0;
    while (true) {
      used = take_in_room(buf, base, used);
      if (at_limit() || buf.size() - used < header_) break;
      const std::uint8_t* h = buf.data() + used;
      const Header values = decode(h);
      const std::optional<std::uint64_t> block = block_of(values);
      if (!block) break;
      const std::uint64_t record = header_ + *block;
      if (record > buf.size() - used || over_budget(record)) break;
      if (!store_whole(h, values, *block)) break;
      used += std::size_t(record);
      take(record, *block, base + used);
    }
    return used;
  }

  Columns<L> cols;
  const Limits limits;
  BatchResult res;
  std::uint64_t bytes = 0;       // file bytes of the records taken
  std::uint64_t last_block = 0;  // of the last record taken: the guess for the next

 private:
  // The records whole in `buf` from byte `used` on that need no memory
  // grown, stored and counted; returns the new `used`. The counts are
  // held in locals meanwhile: stores into the columns go through byte
  // pointers, which could alias any member, so the compiler would otherwise
  // reload and store every counter around each of them.
  std::size_t take_in_room(std::span<const std::uint8_t> buf, std::uint64_t base, std::size_t used) {
    const std::size_t header = header_;
    const bool store = cols.storing();
    const std::uint64_t event_limit =
        store ? std::min(limits.max_events, cols.events_room) : limits.max_events;
    const std::uint64_t max_bytes = limits.max_bytes;
    const bool first_fits = limits.first_fits;
    const std::uint64_t sample_room = kWithSamples ? cols.samples_room : 0;
    std::uint8_t* const samples_base = kWithSamples ? cols.samples_at(0) : nullptr;
    std::array<std::uint8_t*, Columns<L>::kFields> col = cols.columns();
    std::int64_t* const offsets = cols.offsets;
    std::uint64_t events = res.events, samples = res.samples, taken = bytes;
    std::uint64_t last = last_block;
    while (events < event_limit && buf.size() - used >= header) {
      const std::uint8_t* h = buf.data() + used;
      const Header values = decode(h);
      const std::optional<std::uint64_t> block = block_of(values);
      if (!block) break;
      const std::uint64_t record = header + *block;
      if (record > buf.size() - used) break;
      if ((events != 0 || !first_fits) && (taken >= max_bytes || record > max_bytes - taken)) break;
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
      taken += record;
      samples += *block / kSampleWidth;
      ++events;
      last = *block;
      if (store) offsets[events] = kWithSamples ? std::int64_t(samples) : std::int64_t(base + used);
    }
    res.events = events;
    res.samples = samples;
    bytes = taken;
    last_block = last;
    return used;
  }

  const std::int32_t channels_;
  const std::size_t header_;
};

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
      : in_(in), channels_(channels), header_(L::kDesc.header_for(channels)),
        t_(out, channels, limits) {}

  BatchResult run() {
    if (!start()) return t_.res.fail(IoError::system(ENOMEM));
    while (!t_.at_limit()) {
      take_buffered();
      if (t_.at_limit()) break;
      std::optional<Next> next = take_parts();
      if (!next) next = kWithSamples ? take_run() : scan_run();
      if (next) {
        if (*next == Next::stop) return t_.res;
        continue;
      }
      if (take_one() == Next::stop) return t_.res;
    }
    t_.res.stop = Stop::limit;
    return t_.res;
  }

 private:
  using Header = typename L::Header;
  using Run = EqualRun<L, kWithSamples>;
  using Chunk = typename Run::Chunk;
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();
  enum class Next : bool { go_on, stop };

  Next stop_with(IoError e) {
    t_.res.fail(e);
    return Next::stop;
  }
  Next stop_at(Stop why) {
    t_.res.stop = why;
    return Next::stop;
  }
  // The end of the input ends the batch quietly; anything else is its error.
  Next stop_on(const IoError& e) { return e.is_eof() ? stop_at(Stop::end) : stop_with(e); }

  // Learns from the file's length whether the input can seek, and sizes
  // the first memory by it.
  bool start() {
    const std::optional<std::uint64_t> left = in_.length_hint();
    seekable_ = left.has_value();
    // Where a run may be read at offsets, the first header is read alone:
    // the rest of the batch may not go through the buffer at all.
    if (kWithSamples && seekable_ && in_.source().reads_at()) fill_limit_ = kHeaderRefill;
    if (!t_.reserve_first(left)) return false;
    if (t_.cols.storing()) t_.cols.offsets[0] = kWithSamples ? 0 : std::int64_t(in_.position());
    return true;
  }

  // Every record that lies whole in the buffer, taken where it lies.
  void take_buffered() {
    const std::size_t used = t_.take_whole(in_.buffered(), in_.position());
    in_.consume(used);
    if (used) fill_limit_ = SIZE_MAX;
  }

  // A run of records the size of the last one, read by one system read as
  // chunk_for says (from 1 KB blocks on). A header that disagrees ends the
  // run, and the reader goes back to its record. nullopt where no run can be
  // read now.
  std::optional<Next> take_run() {
    if (t_.last_block < kScatterBlock || !seekable_ || !in_.drained()) return std::nullopt;
    const std::uint64_t block = t_.last_block;
    const std::uint64_t record = header_ + block;
    const std::uint64_t k =
        std::min<std::uint64_t>(kScatterRecords, t_.records_within_limits(record));
    const std::uint64_t at = t_.res.samples * kSampleWidth;
    Chunk how = Run::chunk_for(block);
    // Read whole, the records end past their last block by their headers:
    // only into room the column has, which is not grown for that (grown
    // memory is fresh, and a batch's kept memory ends where its blocks do).
    if (how == Chunk::compact && at + k * record > t_.cols.samples_room) how = Chunk::scattered;
    const bool room = k >= 2 && t_.room_for_records(k) &&
                      t_.cols.make_sample_room(at + k * (how == Chunk::compact ? record : block));
    if (!room) return std::nullopt;
    const std::uint64_t start = in_.position();
    const Run run(t_.cols, channels_, {start, block, t_.res.events, t_.res.samples, k});
    Result<std::uint64_t> got = run.read_through(in_, how);
    if (!got.ok()) {
      if (Status st = in_.seek_to(start); !st.ok()) return stop_with(st.error());
      return stop_with(got.error());
    }
    const std::uint64_t n = got.value();
    t_.count_in(n, record, block);
    if (in_.position() != start + n * record) {
      if (Status st = in_.seek_to(start + n * record); !st.ok()) return stop_with(st.error());
    }
    if (n == 0) {  // the general step takes the next record
      t_.last_block = 0;
      next_run_at_ = t_.res.events + kRunPrefix;
    }
    return Next::go_on;
  }

  // A long run of records the size of the last one, in a file read at
  // offsets, read in parts side by side (see kPartsFrom): the batch takes
  // the records before the first that is short or gives another size, which
  // are what the general step would take one by one. The reader goes on from
  // there. nullopt where no such run is read now.
  std::optional<Next> take_parts() {
    const std::uint64_t block = t_.last_block;
    const std::uint64_t record = header_ + block;
    const std::uint64_t least = std::max<std::uint64_t>(kPartsFrom / record, 2);
    // The size of the last record taken is the guess: none yet, no guess.
    if (t_.res.events == 0 || t_.res.events < next_run_at_ || !seekable_ ||
        (!kWithSamples && block >= kSeekBlock) || !in_.source().reads_at() ||
        t_.records_within_limits(record) < least) {
      return std::nullopt;
    }
    // Only records whose every byte the file's length vouches for.
    const std::optional<std::uint64_t> left = in_.length_hint();
    const std::uint64_t k = std::min(t_.records_within_limits(record), left ? *left / record : 0);
    if (k < least) return std::nullopt;
    const CpuShare share(kMaxThreads);
    if (share.threads() < 2) return std::nullopt;
    const std::uint64_t sample_bytes = t_.res.samples * kSampleWidth + k * block;
    if (!t_.room_for_records(k) || (kWithSamples && !t_.cols.make_sample_room(sample_bytes))) {
      next_run_at_ = t_.res.events + kRunPrefix;
      return std::nullopt;
    }
    const std::uint64_t start = in_.position();
    const Run run(t_.cols, channels_, {start, block, t_.res.events, t_.res.samples, k});
    const std::uint64_t n = run.read_in_parts(in_.source(), share.threads());
    t_.count_in(n, record, block);
    if (n < k) next_run_at_ = t_.res.events + kRunPrefix;
    if (n == 0) return std::nullopt;
    if (Status st = in_.seek_to(start + n * record); !st.ok()) return stop_with(st.error());
    return Next::go_on;
  }

  // A scan's run of records the size of the last one, in a file read at
  // offsets: their headers are read where that size puts them (see
  // HeaderCheck). The reader goes on from the first that does not agree.
  // nullopt where no run is read now.
  std::optional<Next> scan_run() {
    const std::uint64_t block = t_.last_block;
    if (block < kSeekBlock || !seekable_ || t_.res.events < next_run_at_ || !in_.drained() ||
        !in_.source().reads_at()) {
      return std::nullopt;
    }
    const std::uint64_t record = header_ + block;
    std::uint64_t k = t_.records_within_limits(record);
    if (k < kParallelRun) return std::nullopt;
    // Only records whose every byte the file's length vouches for, as a step
    // over a block would take them.
    const std::optional<std::uint64_t> left = in_.length_hint();
    k = std::min(k, left ? *left / record : 0);
    if (k < kParallelRun || !t_.room_for_records(k)) return std::nullopt;
    const std::uint64_t start = in_.position();
    const HeaderCheck<L> check(t_.cols, channels_, {start, block, t_.res.events, k});
    const std::uint64_t n = check.run(in_.source());
    for (std::uint64_t i = 0; i < n; ++i) t_.take(record, block, start + (i + 1) * record);
    if (n < k) next_run_at_ = t_.res.events + kRunPrefix;
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
      const std::uint64_t budget = t_.limits.max_bytes - std::min(t_.bytes, t_.limits.max_bytes);
      const std::size_t limit =
          std::min<std::uint64_t>(fill_limit_, std::max<std::uint64_t>(budget, kHeaderRefill));
      if (Status st = in_.fill(header_, limit); !st.ok()) return stop_on(st.error());
    }
    const std::uint8_t* h = in_.buffered().data();
    const Header values = t_.decode(h);
    const std::optional<std::uint64_t> block = t_.block_of(values);
    if (!block) {
      t_.res.fail_at(Stop::corrupt, start);
      return Next::stop;
    }
    const std::uint64_t record = header_ + *block;
    if (t_.over_budget(record)) return stop_at(Stop::limit);
    if (record > in_.buffered().size()) return take_long(start, values, *block);
    // Whole in the buffer after all: only memory was short before.
    if (!t_.store_whole(h, values, *block)) return stop_with(IoError::system(ENOMEM));
    in_.consume(std::size_t(record));
    t_.take(record, *block, start + record);
    return Next::go_on;
  }

  // A record whose block runs past the buffer: its header is taken out of
  // the buffer, then its block is read or stepped over. On every kind of
  // failure the record is left whole for a later call.
  Next take_long(std::uint64_t start, const Header& values, std::uint64_t block) {
    if (!t_.room_for_records(1)) return stop_with(IoError::system(ENOMEM));
    std::array<std::uint8_t, L::kDesc.max_header()> head;
    std::memcpy(head.data(), in_.buffered().data(), header_);
    in_.consume(header_);
    const std::size_t at = std::size_t(t_.res.samples * kSampleWidth);
    if (const Status st = read_block(at, block); !st.ok()) {
      give_back_record(in_, start, std::span(head).first(header_), t_.cols.samples_from(at));
      return stop_on(st.error());
    }
    t_.store_header(values);
    if (kWithSamples || !seekable_) {
      fill_limit_ = block < kDirectBlock ? SIZE_MAX : kHeaderRefill;
    } else {
      // A scan that stepped over a block this long meets the next header
      // alone: reading more would copy bytes of a block it steps over.
      fill_limit_ = block < kSeekBlock ? SIZE_MAX : header_;
    }
    t_.take(header_ + block, block, start + header_ + block);
    return Next::go_on;
  }

  // The block after a header just taken: into the samples column at byte
  // `at`, or stepped over by a scan. Long blocks, and blocks that may start
  // a run read in place (which needs an empty buffer), skip the buffer.
  Status read_block(std::size_t at, std::uint64_t block) {
    if constexpr (kWithSamples) {
      const bool direct = block >= kDirectBlock || (block >= kScatterBlock && seekable_);
      const Status st = t_.cols.read_block(in_, at, block, direct);
      if (st.ok()) samples_to_host(t_.cols.samples_at(t_.res.samples), block, kSampleWidth);
      return st;
    } else {
      (void)at;
      return in_.skip(block);
    }
  }

  BufReader& in_;
  const std::int32_t channels_;
  const std::size_t header_;
  Taken<L, kWithSamples> t_;
  std::uint64_t next_run_at_ = 0;  // no run is tried before this many records
  bool seekable_ = false;          // runs read in place need a way back
  // After a long block, refill only what a header needs; a scan starts so,
  // as its records may be long.
  std::size_t fill_limit_ = kWithSamples ? SIZE_MAX : kHeaderRefill;
};

}  // namespace

template <bool kWithSamples>
BatchResult walk(BufReader& in, const LayoutDesc& layout, std::int32_t channels, BatchMemory* out,
                 Limits limits) {
  return Layouts::visit(layout, [&]<class L>() {
    return Walk<L, kWithSamples>(in, channels, out, limits).run();
  });
}

template BatchResult walk<true>(BufReader&, const LayoutDesc&, std::int32_t, BatchMemory*, Limits);
template BatchResult walk<false>(BufReader&, const LayoutDesc&, std::int32_t, BatchMemory*, Limits);

}  // namespace vorn
