// Records reduced to rows of pulse features: from a batch's samples column,
// or from stages the records are decoded into a few hundred KiB at a time
// and reduced while they are in the cache, their samples never kept.
#pragma once

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "batch.hpp"
#include "batch_memory.hpp"
#include "features.hpp"
#include "layout.hpp"
#include "threads.hpp"

namespace vorn {

// The rows of features an event of a file of `channels` channels has: one
// per channel of a WD2 file (float samples), one for WD1.
inline std::uint64_t rows_per_event(const LayoutDesc& layout, std::int32_t channels) noexcept {
  return layout.sample_type == NumType::u16 ? 1 : std::uint64_t(std::max(channels, 1));
}

// The features of a batch of records of one file: the kernel, which of its
// features the columns hold, and how many rows an event has (a WD2 file's
// channel count, one row per channel; 1 for WD1).
class Reduction {
 public:
  Reduction(const FeatureSpec& spec, const LayoutDesc& layout, std::int32_t channels);

  FeatureSet features() const noexcept { return set_; }
  std::uint64_t per_event() const noexcept { return per_event_; }
  const LayoutDesc& layout() const noexcept { return *layout_; }
  // The bytes of each record's header in this file.
  std::size_t header_size() const noexcept { return header_; }

  // Room in `m.features` for the rows of `events` events.
  bool make_room(BatchMemory& m, std::uint64_t events) const noexcept;
  // The columns of `m.features`, row 0 of each at `first_event`'s first row.
  FeatureColumns columns(const BatchMemory& m, std::uint64_t first_event = 0) const noexcept;

  // Reduces events [from, to) whose samples lie in `samples` (host order),
  // event i's from element offsets[i] to offsets[i + 1], into the rows of
  // events [from, to) of `out`. An event of a WD2 file whose samples are no
  // whole number for each channel has every feature NaN (peak_index -1).
  void reduce(const std::uint8_t* samples, const std::int64_t* offsets, std::uint64_t from,
              std::uint64_t to, const FeatureColumns& out) const noexcept;
  // The same for events [0, events) on up to kMaxThreads threads.
  void reduce_all(const std::uint8_t* samples, const std::int64_t* offsets, std::uint64_t events,
                  const FeatureColumns& out) const;

 private:
  FeatureKernel kernel_;
  const LayoutDesc* layout_;
  std::size_t header_;
  FeatureSet set_;
  std::uint64_t per_event_;
  bool wd1_;
};

// Fills a stage with the next records, as BatchDecoder::decode() (or pick())
// fills a batch, under `limits`.
using StageFill = std::function<BatchResult(BatchMemory& stage, Limits limits)>;

// Memory for the stages of reduce_walk(), kept between batches of any reader,
// since fresh memory is faulted in page by page: at most kKept stages of no
// more than kKeptBytes each. Lock-free, so that a fork while another thread
// holds one leaves nothing locked.
class ReductionStages {
 public:
  // The file bytes of records a stage is filled with at a time: small
  // enough to stay in a core's cache between its read and its reduction.
  static constexpr std::uint64_t kBytes = std::uint64_t(256) << 10;
  static constexpr std::size_t kKept = 2 * kMaxThreads;
  static constexpr std::size_t kKeptBytes = std::size_t(8) << 20;

  // A kept stage, else new memory; null where memory is short.
  static std::unique_ptr<BatchMemory> take() noexcept;
  static void give(std::unique_ptr<BatchMemory> m) noexcept;
  // Frees the kept stages; returns the bytes they held.
  static std::size_t release() noexcept;

 private:
  static std::array<std::atomic<BatchMemory*>, kKept> kept_;
};

// One batch of records, whose header columns go into `out`'s columns and
// whose features into `out.features`, under `limits` as a batch of decode()
// (its samples never counted in the result, which holds none): `fill`
// brings them stage by stage on this thread, the reading one, while other
// threads (as many as the CPUs spare) reduce the stages already filled. The
// batch ends as the fill that ended it says (end, corrupt, error...), with
// every record before that reduced.
// `records_hint`: at most how many records the input holds from here on,
// where its length says (the first memory of the batch is sized by it).
BatchResult reduce_walk(const StageFill& fill, const Reduction& reduction, BatchMemory& out,
                        Limits limits, std::uint64_t records_hint = UINT64_MAX);

}  // namespace vorn
