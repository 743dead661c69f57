// Picker: chosen records read by their extents, runs of adjacent ones with
// one scattered read each, nothing between them; on several threads where
// the pick is long and the file is read at offsets.
#include "picker.hpp"

#include <array>
#include <cstring>
#include <mutex>
#include <tuple>
#include <vector>

#include "columns.hpp"
#include "layouts.hpp"
#include "record.hpp"
#include "thresholds.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

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
  Picker(BufReader& in, std::int32_t channels, BatchMemory& out)
      : in_(in), channels_(channels), header_(L::kDesc.header_for(channels)),
        cols_(&out) {}

  BatchResult run(std::span<const Extent> extents) {
    if (!check(extents)) return res_;
    if (!reserve(extents)) return res_.fail(IoError::system(ENOMEM));
    if (in_.source().reads_at() && bytes_ >= kPartsFrom && longest_ <= kPartBytes) {
      const CpuShare share(kMaxThreads);
      if (share.threads() >= 2) return run_in_parts(extents, share.threads());
    }
    for (std::size_t i = 0; i < extents.size();) {
      std::size_t k = 1;
      while (k < kScatterRecords && i + k < extents.size() && adjacent(extents, i + k)) {
        ++k;
      }
      if (!read_run(extents.subspan(i, k), i)) return res_;
      i += k;
    }
    res_.stop = Stop::limit;
    return res_;
  }

 private:
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();

  bool mismatch(const Extent& at) {
    res_.fail_at(Stop::mismatch, at.position);
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
    if (n > SIZE_MAX / 8 - 1 || !cols_.make_room(n) || !cols_.make_sample_room(block_bytes)) {
      return false;
    }
    std::int64_t* const offsets = cols_.offsets;
    offsets[0] = 0;
    for (std::size_t i = 0; i < n; ++i) {
      offsets[i + 1] = offsets[i] + std::int64_t((extents[i].bytes - header_) / kSampleWidth);
    }
    return true;
  }

  // Where record `i` of the pick has its block.
  std::uint8_t* block_at(std::size_t i) const noexcept {
    return cols_.samples_at(std::uint64_t(cols_.offsets[i]));
  }

  // The places of a run's records, extents `first` on: headers into
  // `heads`, blocks into the samples column.
  std::span<std::span<std::uint8_t>> parts_of(std::span<const Extent> run, std::size_t first,
                                               Heads<L>& heads, Parts& parts) const noexcept {
    return scatter(parts, run.size(), heads.data(), header_, [&](std::size_t i) {
      return std::span(block_at(first + i), std::size_t(run[i].bytes - header_));
    });
  }

  // Decodes the headers, read into `heads`, of the run's records that lie
  // whole in the `filled` bytes read, and keeps those before the first that
  // disagrees with its extent: their count. Where the file has become
  // shorter, the first record it cuts differs.
  std::size_t keep(std::span<const Extent> run, std::size_t first, const Heads<L>& heads,
                   std::uint64_t filled) const noexcept {
    const std::size_t whole = whole_records(run, filled);
    for (std::size_t i = 0; i < whole; ++i) {
      const typename L::Header values = decode_header<L>(heads.data() + i * header_, channels_);
      const std::uint64_t block = run[i].bytes - header_;
      if (L::block_bytes(values, channels_) != block) return i;
      cols_.store(first + i, values);
      samples_to_host(block_at(first + i), block, kSampleWidth);
    }
    return whole;
  }

  // One run of adjacent records, extents `first` on, read through the
  // reader, then each header checked against its extent.
  bool read_run(std::span<const Extent> run, std::size_t first) {
    Heads<L> heads;
    Parts parts;
    const std::span<std::span<std::uint8_t>> places = parts_of(run, first, heads, parts);
    // On input that cannot seek, runs must come in order: the seek reads forward.
    if (Status st = move_to(in_, run[0].position); !st.ok()) {
      res_.fail(st.error());
      return false;
    }
    Result<std::uint64_t> filled = read_parts(in_, places);
    if (!filled.ok()) {
      res_.fail(filled.error());
      return false;
    }
    const std::size_t kept = keep(run, first, heads, filled.value());
    res_.events = first + kept;
    res_.samples = std::uint64_t(cols_.offsets[res_.events]);
    return kept == run.size() || mismatch(run[kept]);
  }

  // How a pick in parts ended early: at extent `index`, a record other than
  // it says (or a file that ends first), or an input error.
  struct Failure {
    std::size_t index;
    bool mismatch;
    IoError error;
  };

  // The runs read on `threads` threads, which take them in turn. What is
  // taken is what the one-by-one reading takes: the records before the
  // first failure, which ends the batch as it would.
  BatchResult run_in_parts(std::span<const Extent> extents, unsigned threads) {
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // first extent, count
    std::uint64_t run_bytes = 0;
    for (std::size_t i = 0; i < extents.size(); ++i) {
      if (adjacent(extents, i) && runs.back().second < kScatterRecords &&
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
      Heads<L> heads;
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
    res_.samples = std::uint64_t(cols_.offsets[failed.index]);
    if (failed.index == extents.size()) {
      res_.stop = Stop::limit;
    } else if (failed.mismatch) {
      mismatch(extents[failed.index]);
    } else {
      res_.fail(failed.error);
    }
    return res_;
  }

  // One run of adjacent records, extents `first` on, by reads at its
  // offset; the failure that stops it, if any.
  std::optional<Failure> read_run_at(std::span<const Extent> run, std::size_t first,
                                     Heads<L>& heads) const noexcept {
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

  BufReader& in_;
  const std::int32_t channels_;
  const std::size_t header_;
  Columns<L> cols_;
  std::uint64_t bytes_ = 0;    // file bytes of all the extents
  std::uint64_t longest_ = 0;  // of the longest extent
  BatchResult res_;
};

}  // namespace

BatchResult pick_records(BufReader& in, const LayoutDesc& layout, std::int32_t channels,
                         BatchMemory& out, std::span<const Extent> extents) {
  return Layouts::visit(layout, [&]<class L>() { return Picker<L>(in, channels, out).run(extents); });
}

}  // namespace vorn
