// EqualRun: a run of records of one size, read in place, where the size of
// the record before it puts them: with one system read through the reader,
// or in parts at their offsets on several threads. Every header is checked
// as it arrives, so that a run taken is what the general step would take
// record by record.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <span>
#include <tuple>

#include "batch_memory.hpp"
#include "buf_reader.hpp"
#include "columns.hpp"
#include "record.hpp"
#include "thresholds.hpp"
#include "threads.hpp"

namespace vorn {

// Records of layout L for a batch of decode() (kWithSamples) or of scan().
template <class L, bool kWithSamples>
class EqualRun {
 public:
  // How one system read brings a chunk of a run: the records whole into a
  // stage, or whole into the samples column from the first block's place on
  // (each block then moved down over the headers before it), or headers
  // into a stage and blocks straight into their places.
  enum class Chunk : std::uint8_t { staged, compact, scattered };

  // The way that suits blocks of `block` bytes.
  static constexpr Chunk chunk_for(std::uint64_t block) noexcept {
    if (!kWithSamples || block < kScatterBlock) return Chunk::staged;
    return block < kCompactBlock ? Chunk::compact : Chunk::scattered;
  }

  // `count` records with blocks of `block` bytes, the first at file offset
  // `start`, which become record `first` of the batch on, their samples
  // from element `first_sample` on.
  struct Place {
    std::uint64_t start, block, first, first_sample, count;
  };

  // Into `cols`, whose regions have room for the whole run already (and, for
  // Chunk::compact, for its last record's header beyond its last block).
  EqualRun(const Columns<L>& cols, std::int32_t channels, Place at) noexcept
      : cols_(cols), channels_(channels), header_(L::kDesc.header_for(channels)),
        record_(header_ + at.block), at_(at) {}

  std::uint64_t record() const noexcept { return record_; }

  // Reads the run, `how`, with one scattered read of `in` (which must be
  // drained; kScatterRecords records at most) and stores the records before
  // the first that gives another size: their count. The reader stands
  // where the read ended.
  Result<std::uint64_t> read_through(BufReader& in, Chunk how) const {
    Heads<L> heads;
    Parts parts;
    Result<std::size_t> got = in.read_scattered(parts_of(0, at_.count, how, heads.data(), parts));
    if (!got.ok()) return got.error();
    return store_chunk(0, got.value() / record_, how, heads.data());
  }

  // Reads the run at its offsets in `in` on `threads` threads, which take
  // its parts in turn (see kChunkBytes), and stores it: the count of records
  // before the first that is short or gives another size. Records past it
  // may have been stored too.
  std::uint64_t read_in_parts(const Source& in, unsigned threads) const {
    const std::uint64_t most = chunk_for(at_.block) == Chunk::staged
                                   ? Stages::kBytes / record_
                                   : std::min<std::uint64_t>(kChunkBytes / record_, kScatterRecords);
    Claims parts(0, at_.count, std::min(most, at_.count / (2 * threads)));
    std::atomic<std::uint64_t> wrong{at_.count};  // the first record found short or of another size
    on_threads(threads, [&]() noexcept { read_parts(in, parts, wrong); });
    return wrong.load();
  }

 private:
  using Header = typename L::Header;
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();

  std::uint8_t* block_at(std::uint64_t i) const noexcept {
    return cols_.samples_at(at_.first_sample + i * (at_.block / kSampleWidth));
  }

  // The parts of one read of records i to i + c - 1 (c at most
  // kScatterRecords, and `stage` large enough), brought as `how` says.
  std::span<std::span<std::uint8_t>> parts_of(std::uint64_t i, std::uint64_t c, Chunk how,
                                               std::uint8_t* stage, Parts& parts) const noexcept {
    if (how == Chunk::staged) {
      parts[0] = {stage, std::size_t(c * record_)};
      return std::span(parts).first(1);
    }
    std::uint8_t* const blocks = block_at(i);
    if (how == Chunk::compact) {
      parts[0] = {blocks, std::size_t(c * record_)};
      return std::span(parts).first(1);
    }
    return scatter(parts, std::size_t(c), stage, header_, [&](std::size_t j) {
      return std::span(blocks + j * at_.block, std::size_t(at_.block));
    });
  }

  // Takes records i to i + whole - 1, brought by one read as parts_of laid
  // them out: stores each one's header, block and offset, up to the first
  // that gives another size; returns how many it stored. Touches only those
  // records' places, so parts run side by side.
  std::uint64_t store_chunk(std::uint64_t i, std::uint64_t whole, Chunk how,
                            const std::uint8_t* stage) const noexcept {
    const std::uint8_t* const base = how == Chunk::compact ? block_at(i) : stage;
    for (std::uint64_t j = 0; j < whole; ++j) {
      // A compact record's header lies at j * record until its own block is
      // moved: the blocks before it end at j * block, no later.
      const std::uint8_t* h = how == Chunk::scattered ? stage + j * header_ : base + j * record_;
      const Header values = decode_header<L>(h, channels_);
      if (L::block_bytes(values, channels_) != at_.block) return j;
      const std::uint64_t at = at_.first + i + j;
      if (cols_.storing()) cols_.store(at, values);
      if constexpr (kWithSamples) {
        std::uint8_t* dst = block_at(i + j);
        if (how != Chunk::scattered) std::memmove(dst, h + header_, std::size_t(at_.block));
        samples_to_host(dst, at_.block, kSampleWidth);
        cols_.offsets[at + 1] =
            std::int64_t(at_.first_sample + (i + j + 1) * (at_.block / kSampleWidth));
      } else if (cols_.storing()) {
        cols_.offsets[at + 1] = std::int64_t(at_.start + (i + j + 1) * record_);
      }
    }
    return whole;
  }

  // One thread's share: reads the parts it claims until none is left or a
  // record before the next is marked in `wrong`; marks the first record of
  // its own that is short or gives another size, and stops.
  void read_parts(const Source& in, Claims& parts,
                  std::atomic<std::uint64_t>& wrong) const noexcept {
    const Chunk how = chunk_for(at_.block);
    Heads<L> heads;
    Stages::Stage staged = how == Chunk::staged ? Stages::take() : nullptr;
    std::uint8_t* const stage =
        how != Chunk::staged ? heads.data() : staged ? staged->data() : nullptr;
    for (auto [a, b] = parts.next(); a < b; std::tie(a, b) = parts.next()) {
      if (!stage) {
        found_wrong(wrong, a);
        break;
      }
      if (a >= wrong.load(std::memory_order_relaxed) || !read_part(in, a, b, stage, wrong)) break;
    }
    if (staged) Stages::give(std::move(staged));
  }

  // Reads records a to b - 1 (at most kScatterRecords) at their offsets;
  // false, having marked it in `wrong`, at the first that is short or gives
  // another size.
  bool read_part(const Source& in, std::uint64_t a, std::uint64_t b, std::uint8_t* stage,
                 std::atomic<std::uint64_t>& wrong) const noexcept {
    Parts parts;
    for (std::uint64_t i = a; i < b;) {
      std::uint64_t c = b - i;
      Chunk chunk = chunk_for(at_.block);
      if (chunk == Chunk::compact) {
        // Read whole, records end past their last block by their headers:
        // never past the part's blocks (the next part's, which another
        // thread may write, or the column's end). The read is cut to fit,
        // and the last few records are read scattered.
        const std::uint64_t fit = c * at_.block / record_;
        if (fit >= kCompactLeast) {
          c = fit;
        } else {
          chunk = Chunk::scattered;
        }
      }
      const std::int64_t got = in.read_at_uninterrupted(parts_of(i, c, chunk, stage, parts),
                                                        at_.start + i * record_);
      const std::uint64_t whole = got > 0 ? std::min(std::uint64_t(got) / record_, c) : 0;
      const std::uint64_t n = store_chunk(i, whole, chunk, stage);
      if (n < c) {
        found_wrong(wrong, i + n);
        return false;
      }
      i += c;
    }
    return true;
  }

  const Columns<L>& cols_;
  const std::int32_t channels_;
  const std::size_t header_;
  const std::uint64_t record_;
  const Place at_;
};

}  // namespace vorn
