// BatchDecoder::pick: chosen records read by their extents, runs of adjacent
// ones with one scattered read each, nothing between them.
#include <array>
#include <cstring>
#include <mutex>
#include <tuple>
#include <vector>

#include "batch_decoder.hpp"
#include "record.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

// Records per scattered read: two parts each, within the 1024 of IOV_MAX.
constexpr std::size_t kPickRecords = 512;
// A pick of this many file bytes or more, in a file read at offsets, reads
// its runs on as many threads as there are CPUs to spare, each run by one
// thread; a run then also ends before kPartBytes, and no record may be
// longer.
constexpr std::uint64_t kPartsFrom = std::uint64_t(1) << 20;
constexpr std::uint64_t kPartBytes = std::uint64_t(64) << 20;
// The longest header of any layout, for the scratch of a run's headers.
constexpr std::size_t kMaxHeader = [] {
  std::size_t most = 0;
  for (const LayoutDesc* d : Layouts::kDescs) most = std::max(most, d->max_header());
  return most;
}();

// The parts left once `n` more bytes have filled the first ones, the first
// of those left cut to what it still lacks; empty parts are dropped.
std::span<std::span<std::uint8_t>> past(std::span<std::span<std::uint8_t>> parts, std::size_t n) {
  while (!parts.empty() && (n != 0 || parts[0].empty())) {
    const std::size_t k = std::min(n, parts[0].size());
    parts[0] = parts[0].subspan(k);
    n -= k;
    if (parts[0].empty()) parts = parts.subspan(1);
  }
  return parts;
}

// Whether extent i starts where extent i - 1 ends.
bool adjacent(std::span<const Extent> extents, std::size_t i) {
  return i && extents[i].position == extents[i - 1].position + extents[i - 1].bytes;
}

// The count of a run's records that lie whole in its first `bytes` bytes.
std::size_t whole_records(std::span<const Extent> run, std::uint64_t bytes) {
  std::size_t n = 0;
  for (; n < run.size() && run[n].bytes <= bytes; ++n) bytes -= run[n].bytes;
  return n;
}

// Fills the parts in order, however many reads that takes: the bytes
// filled, all of them unless the input ends first. Bytes left in the buffer
// by a forward seek on input that cannot seek go out first, part by part.
Result<std::uint64_t> read_parts(BufReader& in, std::span<std::span<std::uint8_t>> parts) {
  std::uint64_t filled = 0;
  if (!in.drained()) {
    for (std::span<std::uint8_t> part : parts) {
      if (Status st = in.read_exact(part); !st.ok()) {
        if (st.error().is_eof()) return filled;
        return st.error();
      }
      filled += part.size();
    }
    return filled;
  }
  for (parts = past(parts, 0); !parts.empty();) {
    Result<std::size_t> got = in.read_scattered(parts);
    if (!got.ok()) return got.error();
    if (got.value() == 0) return filled;
    filled += got.value();
    parts = past(parts, got.value());
  }
  return filled;
}

// A pick over records of layout L, whose headers decode by its description.
template <class L>
class Picker {
 public:
  Picker(BatchDecoder& decoder, BufReader& in, std::int32_t channels, BatchMemory& out)
      : decoder_(decoder), in_(in), channels_(channels), out_(out),
        header_(L::kDesc.header_for(channels)) {}

  BatchResult run(std::span<const Extent> extents) {
    if (!check(extents)) return res_;
    if (!reserve(extents)) return fail(IoError::system(ENOMEM));
    if (in_.source().reads_at() && bytes_ >= kPartsFrom && longest_ <= kPartBytes) {
      const CpuShare share(kMaxThreads);
      if (share.threads() >= 2) return run_in_parts(extents, share.threads());
    }
    for (std::size_t i = 0; i < extents.size();) {
      std::size_t k = 1;
      while (k < kPickRecords && i + k < extents.size() && adjacent(extents, i + k)) {
        ++k;
      }
      if (!read_run(extents.subspan(i, k), i)) return res_;
      i += k;
    }
    res_.stop = Stop::limit;
    return res_;
  }

 private:
  static constexpr std::size_t kFields = L::kDesc.fields.size();
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();
  using Heads = std::array<std::uint8_t, kPickRecords * kMaxHeader>;  // a run's headers

  BatchResult& fail(IoError e) {
    res_.stop = Stop::error;
    res_.error = e;
    return res_;
  }
  bool mismatch(const Extent& at) {
    res_.stop = Stop::mismatch;
    res_.corrupt_at = at.position;
    return false;
  }

  // The extents in order, each long enough for a header, and, where the
  // file has a length, none past its end.
  bool check(std::span<const Extent> extents) {
    std::optional<std::uint64_t> length = in_.length_hint();
    if (length) *length += in_.position();
    std::uint64_t end = 0;
    for (const Extent& e : extents) {
      if (e.position < end || e.bytes < header_ || e.bytes > UINT64_MAX - e.position) {
        return mismatch(e);
      }
      end = e.position + e.bytes;
      if (length && end > *length) return mismatch(e);
    }
    return true;
  }

  // Every column at its final size: the records' count and their blocks;
  // the offsets all known beforehand, so each block goes straight to its place.
  bool reserve(std::span<const Extent> extents) {
    const std::size_t n = extents.size();
    std::uint64_t block_bytes = 0;
    for (const Extent& e : extents) {
      if (e.bytes - header_ > SIZE_MAX - block_bytes) return false;
      block_bytes += e.bytes - header_;
      longest_ = std::max(longest_, e.bytes);
    }
    bytes_ = block_bytes + n * header_;
    if (n > SIZE_MAX / 8 - 1 || !out_.offsets.reserve((n + 1) * 8)) return false;
    for (std::size_t k = 0; k < kFields; ++k) {
      const std::size_t w = type_width(L::kDesc.fields[k].type);
      if (n && !out_.columns[k].reserve(n * w)) return false;
      col_[k] = out_.columns[k].data();
    }
    if (block_bytes && !out_.samples.reserve(std::size_t(block_bytes))) return false;
    offsets_ = reinterpret_cast<std::int64_t*>(out_.offsets.data());
    offsets_[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
      offsets_[i + 1] = offsets_[i] + std::int64_t((extents[i].bytes - header_) / kSampleWidth);
    }
    return true;
  }

  using Parts = std::array<std::span<std::uint8_t>, 2 * kPickRecords>;

  // The places of a run's records, extents `first` on: headers into
  // `heads`, blocks into the samples column.
  std::span<std::span<std::uint8_t>> parts_of(std::span<const Extent> run, std::size_t first,
                                               Heads& heads, Parts& parts) const noexcept {
    for (std::size_t i = 0; i < run.size(); ++i) {
      parts[2 * i] = {heads.data() + i * header_, header_};
      parts[2 * i + 1] = {out_.samples.data() + std::size_t(offsets_[first + i]) * kSampleWidth,
                          std::size_t(run[i].bytes - header_)};
    }
    return std::span(parts).first(2 * run.size());
  }

  // Decodes the headers, read into `heads`, of the run's records that lie
  // whole in the `filled` bytes read, and keeps those before the first that
  // disagrees with its extent: their count. Where the file has become
  // shorter, the first record it cuts differs.
  std::size_t keep(std::span<const Extent> run, std::size_t first, const Heads& heads,
                   std::uint64_t filled) const noexcept {
    const std::size_t whole = whole_records(run, filled);
    for (std::size_t i = 0; i < whole; ++i) {
      const typename L::Header values = decode_header<L>(heads.data() + i * header_, channels_);
      const std::uint64_t block = run[i].bytes - header_;
      if (L::block_bytes(values, channels_) != block) return i;
      store(first + i, values);
      samples_to_host(out_.samples.data() + std::size_t(offsets_[first + i]) * kSampleWidth, block,
                      kSampleWidth);
    }
    return whole;
  }

  // One run of adjacent records, extents `first` on, read through the
  // reader, then each header checked against its extent.
  bool read_run(std::span<const Extent> run, std::size_t first) {
    Heads heads;
    Parts parts;
    const std::span<std::span<std::uint8_t>> places = parts_of(run, first, heads, parts);
    // On input that cannot seek, runs must come in order: the seek reads forward.
    if (Status st = decoder_.seek(run[0].position); !st.ok()) {
      fail(st.error());
      return false;
    }
    Result<std::uint64_t> filled = read_parts(in_, places);
    if (!filled.ok()) {
      fail(filled.error());
      return false;
    }
    const std::size_t kept = keep(run, first, heads, filled.value());
    res_.events = first + kept;
    res_.samples = std::uint64_t(offsets_[res_.events]);
    return kept == run.size() || mismatch(run[kept]);
  }

  void store(std::uint64_t i, const typename L::Header& values) const noexcept {
    for_each_field<L>(values, [&](auto k, const auto& value) {
      std::memcpy(col_[k] + sizeof value * i, &value, sizeof value);
    });
  }

  // How a pick in parts ended early: at extent `index`, a record other than
  // it says (or a file that ends first), or an input error.
  struct Failure {
    std::size_t index;
    bool mismatch;
    IoError error;
  };

  // The runs read on `threads` threads, which take them in turn. What is taken is what the one-by-one reading takes: the records
  // before the first failure, which ends the batch as it would.
  BatchResult run_in_parts(std::span<const Extent> extents, unsigned threads) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // first extent, count
    std::uint64_t run_bytes = 0;
    for (std::size_t i = 0; i < extents.size(); ++i) {
      if (adjacent(extents, i) && runs.back().second < kPickRecords &&
          run_bytes + extents[i].bytes <= kPartBytes) {
        ++runs.back().second;
        run_bytes += extents[i].bytes;
      } else {
        runs.emplace_back(i, 1);
        run_bytes = extents[i].bytes;
      }
    }
    std::atomic<std::uint64_t> wrong{extents.size()};  // the first extent of a failure so far
    std::mutex failed_mutex;
    Failure failed{extents.size(), false, IoError::eof()};
    Claims claims(0, runs.size(), 1);
    on_threads(threads, [&]() noexcept {
      Heads heads;
      for (auto [a, b] = claims.next(); a < b; std::tie(a, b) = claims.next()) {
        const auto [first, count] = runs[a];
        if (first >= wrong.load(std::memory_order_relaxed)) return;
        const std::optional<Failure> f = read_run_at(extents.subspan(first, count), first, heads);
        if (f) {
          const std::lock_guard<std::mutex> lock(failed_mutex);
          if (f->index < failed.index) failed = *f;
          found_wrong(wrong, f->index);
          return;
        }
      }
    });
    res_.events = failed.index;
    res_.samples = std::uint64_t(offsets_[failed.index]);
    if (failed.index == extents.size()) {
      res_.stop = Stop::limit;
    } else if (failed.mismatch) {
      mismatch(extents[failed.index]);
    } else {
      fail(failed.error);
    }
    return res_;
  }

  // One run of adjacent records, extents `first` on, by reads at its
  // offset; the failure that stops it, if any.
  std::optional<Failure> read_run_at(std::span<const Extent> run, std::size_t first,
                                     Heads& heads) const noexcept {
    Parts parts;
    std::span<std::span<std::uint8_t>> left = past(parts_of(run, first, heads, parts), 0);
    std::uint64_t filled = 0;
    while (!left.empty()) {
      const std::int64_t got = in_.source().read_at_uninterrupted(left, run[0].position + filled);
      if (got < 0) return Failure{first, false, IoError::system(int(-got))};
      if (got == 0) break;
      filled += std::uint64_t(got);
      left = past(left, std::size_t(got));
    }
    const std::size_t kept = keep(run, first, heads, filled);
    if (kept < run.size()) return Failure{first + kept, true, IoError::eof()};
    return std::nullopt;
  }

  BatchDecoder& decoder_;
  BufReader& in_;
  const std::int32_t channels_;
  BatchMemory& out_;
  const std::size_t header_;
  std::uint8_t* col_[kMaxColumns] = {};
  std::int64_t* offsets_ = nullptr;
  std::uint64_t bytes_ = 0;    // file bytes of all the extents
  std::uint64_t longest_ = 0;  // of the longest extent
  BatchResult res_;
};

}  // namespace

BatchResult BatchDecoder::pick(BatchMemory& out, std::span<const Extent> extents) {
  return Layouts::visit(*layout_, [&]<class L>() {
    return Picker<L>(*this, in_, probed_, out).run(extents);
  });
}

}  // namespace vorn
