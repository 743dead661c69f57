// BatchDecoder: records of any layout decoded many at a time into columns
// (one array per header field, every record's samples one after another, and
// their offsets), straight into the memory that becomes each column; and the
// pool that keeps that memory for the next batches.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>

#include "buf_reader.hpp"
#include "layouts.hpp"
#include "region.hpp"

namespace vorn {

inline constexpr std::size_t kMaxColumns = Layouts::kMaxFields;

struct Limits {
  std::uint64_t max_events = UINT64_MAX;
  std::uint64_t max_bytes = UINT64_MAX;  // file bytes of the records; the first always fits
};

// Why a batch ended. `end`: no complete record is left for now; the decoder
// stands on the first byte of the incomplete one, so a later call reads it
// whole once the rest has arrived. `mismatch`: pick() found a record other
// than where or what it was told (the file changed since it was indexed).
enum class Stop : std::uint8_t { limit, end, corrupt, error, mismatch };

// Where a record lies in the file, as an index of it says.
struct Extent {
  std::uint64_t position;  // its first byte
  std::uint64_t bytes;     // header and block
};

struct BatchResult {
  std::uint64_t events = 0;   // records in the batch
  std::uint64_t samples = 0;  // elements in the samples column
  Stop stop = Stop::end;
  IoError error{IoError::Kind::eof, 0};  // Stop::error; Kind::interrupted when a signal handler raised
  std::uint64_t corrupt_at = 0;          // Stop::corrupt, Stop::mismatch: the byte offset of the record
};

// The memory of one batch, a region per column. A batch's regions may be
// larger than what it uses, so that a pool can hand them out again.
struct BatchMemory {
  std::array<Region, kMaxColumns> columns;  // header fields, in the layout's key order
  Region samples;                           // of the layout's sample type
  Region offsets;                           // int64: sample offsets, or record positions for a scan

  // Gives back the pages beyond what batch `r` of `layout` used, so that a
  // batch that is kept holds no more than its columns.
  void trim_to(const BatchResult& r, const LayoutDesc& layout) noexcept;
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

class BatchDecoder {
 public:
  // 1 MiB of buffer: headers are decoded where they lie in it.
  static constexpr std::size_t kBufferSize = std::size_t(1) << 20;

  // Takes an open source standing at offset 0; finds the file's channel
  // count where the layout has a channel word (the WD2 probe) and rewinds,
  // or where the source cannot seek, gives back the bytes the probe read.
  // `layout` is one of Layouts::kDescs. Tests make the buffer small.
  static Result<BatchDecoder> open(std::unique_ptr<Source> source, const LayoutDesc& layout,
                                   std::size_t buffer_size = kBufferSize);
  // The same without the probe, for a source whose channel count an earlier
  // probe of the same file found; reads nothing.
  static BatchDecoder open_known(std::unique_ptr<Source> source, const LayoutDesc& layout,
                                 std::int32_t channels, std::size_t buffer_size = kBufferSize);

  const LayoutDesc& description() const noexcept { return *layout_; }
  // The channel count the probe found; 0 for a layout without channel word.
  std::int32_t channels() const noexcept { return probed_; }
  // Header columns of the layout, and each one's element size in bytes.
  int columns() const noexcept { return int(layout_->fields.size()); }
  std::size_t column_width(int i) const noexcept { return type_width(layout_->fields[std::size_t(i)].type); }
  std::size_t sample_width() const noexcept { return layout_->sample_width(); }
  // The header of this file's records, with its channel word where it has one.
  std::size_t header_size() const noexcept { return layout_->header_for(probed_); }

  // The byte offset of the next record.
  std::uint64_t position() const noexcept { return in_.position(); }
  // Moves to `position`: by a seek, or on input that cannot seek, by reading
  // forward to it (an input that ends first leaves the decoder at its end).
  Status seek(std::uint64_t position);
  // The descriptor of the file being read (-1 for a source without one).
  int fd() const noexcept { return in_.source().fd(); }
  // The file's length now; nullopt for input without one (pipes).
  std::optional<std::uint64_t> file_length() { return in_.length(); }

  // Decodes the records from position() on into `out` until a limit, the end
  // of the complete records, a record that cannot be read (corrupt: an
  // event_size of 22 or less, a block no object can hold) or an input error.
  // Regions grow as records arrive, never beyond what was read. A record
  // cut short by the end or a failure is left whole for a later call.
  BatchResult decode(BatchMemory& out, Limits limits);

  // The same walk over headers only: `out` (when given) receives the header
  // columns and in `offsets` each record's position, then the end of the
  // last one. Blocks are stepped over, by a seek where they are large.
  BatchResult scan(BatchMemory* out, Limits limits);

  // Reads the records at `extents` (ascending, none overlapping) into `out`
  // as decode() would, and no byte between them: each run of adjacent
  // records with one scattered read, headers into scratch and blocks into
  // the samples column. Memory is reserved once, for what the extents say.
  // Stop::limit once all are read; Stop::mismatch, reading nothing more, at
  // the first extent that is out of order, shorter than a header, past the
  // file's end, or whose header gives another length; Stop::error on an
  // input error or want of memory. Input that cannot seek is read forward
  // from position() (an extent before it is an ESPIPE error). Leaves
  // position() anywhere.
  BatchResult pick(BatchMemory& out, std::span<const Extent> extents);

 private:
  BatchDecoder(BufReader in, const LayoutDesc& layout, std::int32_t probed) noexcept
      : in_(std::move(in)), layout_(&layout), probed_(probed) {}

  template <bool kWithSamples>
  BatchResult walk(BatchMemory* out, Limits limits);

  BufReader in_;
  const LayoutDesc* layout_;
  std::int32_t probed_;
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

  std::mutex mutex_;
  std::array<Kept, kKept> kept_;  // the first count_, oldest first
  std::size_t count_ = 0;
  std::size_t held_ = 0;
  const std::size_t cap_;
  const Clock::duration idle_;
};

// Frees the scratch memory that reads of long runs keep between runs (a
// few hundred KiB); returns its size in bytes. Safe from any thread.
std::size_t release_stages() noexcept;

// Memory of dropped batches, kept for the next batches of one decoder: at
// most two, each trimmed back to what a batch under the pool's limits uses.
// Where it is given spare memory, its first batches take memory from there,
// and what it keeps goes back there when the pool goes. Safe to use from any
// thread; it needs no interpreter.
class BatchPool final : public MemoryHome {
 public:
  // For batches of `decoder` under `limits`: max_events records, or as many
  // as max_bytes holds at the file's header size, whichever is fewer, and
  // max_bytes of samples. The pool does not refer to the decoder.
  BatchPool(const BatchDecoder& decoder, Limits limits,
            std::shared_ptr<SpareMemory> spare = nullptr) noexcept;
  BatchPool(const BatchPool&) = delete;
  BatchPool& operator=(const BatchPool&) = delete;
  ~BatchPool() override;

  // Memory kept from an earlier batch, else spare memory, else new memory.
  std::unique_ptr<BatchMemory> take();
  // Keeps `m`, trimmed, unless two are kept already (then it is released).
  void give(std::unique_ptr<BatchMemory> m) noexcept override;

 private:
  std::mutex mutex_;
  std::array<std::unique_ptr<BatchMemory>, 2> kept_;
  const LayoutDesc& layout_;
  std::uint64_t keep_events_;
  std::uint64_t keep_sample_bytes_;
  std::size_t spare_limit_;  // the most spare memory it takes: two batches' worth
  std::shared_ptr<SpareMemory> spare_;
};

}  // namespace vorn
