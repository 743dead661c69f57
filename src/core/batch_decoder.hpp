// BatchDecoder: records of any layout decoded many at a time into columns
// (one array per header field, every record's samples one after another, and
// their offsets), straight into the memory that becomes each column.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "batch.hpp"
#include "batch_memory.hpp"
#include "buf_reader.hpp"
#include "layouts.hpp"

namespace vorn {


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

  BufReader in_;
  const LayoutDesc* layout_;
  std::int32_t probed_;
};

}  // namespace vorn
