// The memory of batches: a region per column, where it goes once a batch is
// dropped (kept by a decoder's pool, or spare for any decoder), and the
// scratch that reads of long runs keep between runs.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

#include "batch.hpp"
#include "features.hpp"
#include "layouts.hpp"
#include "region.hpp"
#include "threads.hpp"

namespace vorn {

inline constexpr std::size_t kMaxColumns = Layouts::kMaxFields;

// The memory of one batch, a region per column. A batch's regions may be
// larger than what it uses, so that a pool can hand them out again.
struct BatchMemory {
  std::array<Region, kMaxColumns> columns;  // header fields, in the layout's key order
  Region samples;                           // of the layout's sample type
  Region offsets;                           // int64: sample offsets, or record positions for a scan
  // Pulse features, a region per Feature (see reduce.hpp), of a batch read with them.
  std::array<Region, kFeatureCount> features;

  // Gives back the pages beyond what batch `r` of `layout` used, and beyond
  // `rows` of the features `kept`, so that a batch that is kept holds no
  // more than its columns.
  void trim_to(const BatchResult& r, const LayoutDesc& layout, FeatureSet kept = {},
               std::uint64_t rows = 0) noexcept;
  // Bytes mapped in all its regions.
  std::size_t bytes() const noexcept;
};

// Where the memory of a batch goes once nothing uses it: kept for a later
// batch, or freed. Needs no interpreter and may be called from any thread.
class MemoryHome {
 public:
  virtual ~MemoryHome() = default;
  virtual void give(std::unique_ptr<BatchMemory> m) noexcept = 0;
};

// Memory of dropped batches of any decoder, kept for the next batch of any
// other, as an allocator keeps freed blocks: its pages are then touched
// already, where fresh memory would be faulted in and zeroed page by page.
// It keeps the memory of the last kKept batches given, at most `cap` bytes
// in all; a batch larger than that is freed at once. A taker gets the
// largest kept memory within the size it asks for, so that an iterator's
// small batches leave a whole read's memory to the next read. Memory kept
// for `idle` without being taken is freed at the next call of any kind
// (there is no thread of its own), and release() frees it all. Safe from
// any thread.
class SpareMemory final : public MemoryHome {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::size_t kKept = 4;

  SpareMemory(std::size_t cap, Clock::duration idle) noexcept : cap_(cap), idle_(idle) {}
  SpareMemory(const SpareMemory&) = delete;
  SpareMemory& operator=(const SpareMemory&) = delete;

  // The largest kept memory of at most `at_most` bytes (of those, the one
  // given last), else new empty memory.
  std::unique_ptr<BatchMemory> take(std::size_t at_most = SIZE_MAX);
  void give(std::unique_ptr<BatchMemory> m) noexcept override;
  // Frees all it keeps; returns the bytes it held.
  std::size_t release() noexcept;
  // The bytes it holds now.
  std::size_t bytes() noexcept;

 private:
  struct Kept {
    std::unique_ptr<BatchMemory> memory;
    std::size_t bytes = 0;
    Clock::time_point since;
  };
  // What a call takes out, freed as the call returns, after the lock is let
  // go (declared before the lock guard): unmapping takes time.
  struct Freed {
    std::array<std::unique_ptr<BatchMemory>, kKept> memory;
    std::size_t count = 0;
    void push(std::unique_ptr<BatchMemory> m) noexcept { memory[count++] = std::move(m); }
  };
  // Drops what has been kept for idle_ or longer.
  void expire(Clock::time_point now, Freed& freed) noexcept;
  void drop_oldest(Freed& freed) noexcept;
  void drop(std::size_t i) noexcept;  // kept_[i] out, the later ones moved up

  std::array<Kept, kKept> kept_;  // the first count_, oldest first
  std::size_t count_ = 0;
  std::size_t held_ = 0;
  const std::size_t cap_;
  const Clock::duration idle_;
};

// Memory of dropped batches, kept for the next batches of one decoder: at
// most two, each trimmed back to what a batch under the pool's limits uses.
// Where it is given spare memory, its first batches take memory from there,
// and what it keeps goes back there when the pool goes. Safe to use from any
// thread; it needs no interpreter.
class BatchPool final : public MemoryHome {
 public:
  // For batches of records of `layout` whose headers are `header_size`
  // bytes, under `limits`: max_events records, or as many as max_bytes
  // holds at that header size, whichever is fewer, and max_bytes of samples.
  BatchPool(const LayoutDesc& layout, std::size_t header_size, Limits limits,
            std::shared_ptr<SpareMemory> spare = nullptr) noexcept;
  // The same for the batches of `decoder` (a BatchDecoder), to which the
  // pool does not refer.
  template <class Decoder>
    requires requires(const Decoder& d) { d.description(), d.header_size(); }
  BatchPool(const Decoder& decoder, Limits limits, std::shared_ptr<SpareMemory> spare = nullptr) noexcept
      : BatchPool(decoder.description(), decoder.header_size(), limits, std::move(spare)) {}
  BatchPool(const BatchPool&) = delete;
  BatchPool& operator=(const BatchPool&) = delete;
  ~BatchPool() override;

  // Memory kept from an earlier batch, else spare memory, else new memory.
  std::unique_ptr<BatchMemory> take();
  // Keeps `m`, trimmed, unless two are kept already (then it is released).
  void give(std::unique_ptr<BatchMemory> m) noexcept override;

 private:
  std::array<std::unique_ptr<BatchMemory>, 2> kept_;
  const LayoutDesc& layout_;
  std::uint64_t keep_events_;
  std::uint64_t keep_sample_bytes_;
  std::size_t spare_limit_;  // the most spare memory it takes: two batches' worth
  std::shared_ptr<SpareMemory> spare_;
};

// Stages for the parts of runs of records with short blocks, one a thread
// while it reads: up to kMaxThreads are kept once used, since fresh memory
// is faulted in page by page on every run; release_stages() frees them.
// Lock-free, so that a fork while another thread holds one leaves nothing
// locked.
class Stages {
 public:
  // Small enough to stay in the reading thread's cache while it decodes.
  static constexpr std::size_t kBytes = std::size_t(256) << 10;
  using Stage = std::unique_ptr<Region>;

  // A kept stage, else a new one; null where memory is short.
  static Stage take() noexcept;
  static void give(Stage stage) noexcept;
  // Frees the kept stages; returns their size in bytes.
  static std::size_t release() noexcept;

 private:
  static std::array<std::atomic<Region*>, kMaxThreads> kept_;
};

// Frees the scratch memory that reads of long runs keep between runs (a
// few hundred KiB); returns its size in bytes. Safe from any thread.
std::size_t release_stages() noexcept;

}  // namespace vorn
