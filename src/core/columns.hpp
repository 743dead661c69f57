// Columns<L>: the columns of a batch of layout L as the walk and the pick
// fill them, and the parts of a scattered read that brings records into
// them, headers into scratch and blocks into their places.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <span>

#include "batch_memory.hpp"
#include "buf_reader.hpp"
#include "record.hpp"
#include "thresholds.hpp"

namespace vorn {

// How many elements a column's region has room for.
inline std::uint64_t room(const Region& r, std::size_t width) noexcept { return r.capacity() / width; }

// The memory of a walk over records of layout L: header columns, offsets
// and samples, grown as records arrive. Every region grows through here, so
// that the pointers and the room seen by the walk are always the regions'.
template <class L>
class Columns {
 public:
  static constexpr std::size_t kFields = L::kDesc.fields.size();
  static constexpr std::size_t kSampleWidth = L::kDesc.sample_width();

  explicit Columns(BatchMemory* out) : out_(out) {}

  // Whether records are stored: a scan may only count them.
  bool storing() const noexcept { return out_ != nullptr; }

  // Room for `events` records in every column and events + 1 offsets. Even
  // when some region cannot grow, others may have moved: the pointers and
  // the room are taken afresh either way.
  bool make_room(std::uint64_t events) {
    if (!out_) return true;
    bool grown = out_->offsets.reserve(std::size_t(events + 1) * 8);
    for (std::size_t k = 0; k < kFields; ++k) {
      grown = grown && out_->columns[k].reserve(std::size_t(events) * width(k));
    }
    for (std::size_t k = 0; k < kFields; ++k) col_[k] = out_->columns[k].data();
    offsets = reinterpret_cast<std::int64_t*>(out_->offsets.data());
    const std::uint64_t offsets_room = room(out_->offsets, 8);
    events_room = offsets_room ? offsets_room - 1 : 0;
    for (std::size_t k = 0; k < kFields; ++k) {
      events_room = std::min(events_room, room(out_->columns[k], width(k)));
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

  // Reads a block of `bytes` into the samples column from byte `at` on,
  // growing it as they arrive. `direct`: the bytes beyond the buffered ones
  // go straight into the column. On failure the bytes read lie at `at`.
  Status read_block(BufReader& in, std::size_t at, std::uint64_t bytes, bool direct) {
    if (bytes > SIZE_MAX - at) return IoError::system(ENOMEM);
    return in.read_growing(
        bytes,
        [&](std::size_t upto) -> std::uint8_t* {
          if (!out_->samples.reserve(at + upto)) return nullptr;
          samples_room = out_->samples.capacity();
          return out_->samples.data() + at;
        },
        direct);
  }

  std::uint8_t* samples_at(std::uint64_t count) const noexcept {
    return out_->samples.data() + count * kSampleWidth;
  }
  // The samples column's memory from byte `at` on.
  std::span<const std::uint8_t> samples_from(std::size_t at) const noexcept {
    if (!out_ || out_->samples.capacity() <= at) return {};
    return {out_->samples.data() + at, out_->samples.capacity() - at};
  }

  // Writes the values of a header as record `i` of the header columns.
  void store(std::uint64_t i, const typename L::Header& values) const noexcept {
    for_each_field<L>(values, [&](auto k, const auto& value) {
      std::memcpy(col_[k] + sizeof value * i, &value, sizeof value);
    });
  }

  // Where each header column starts.
  std::array<std::uint8_t*, kFields> columns() const noexcept {
    std::array<std::uint8_t*, kFields> out;
    std::copy(std::begin(col_), std::end(col_), out.begin());
    return out;
  }

  std::int64_t* offsets = nullptr;
  std::uint64_t events_room = 0;   // records the columns have room for
  std::uint64_t samples_room = 0;  // bytes the samples column has room for

 private:
  static constexpr std::size_t width(std::size_t k) noexcept { return type_width(L::kDesc.fields[k].type); }

  BatchMemory* out_;
  std::uint8_t* col_[kFields] = {};
};

// The parts of one scattered read, two a record.
using Parts = std::array<std::span<std::uint8_t>, 2 * kScatterRecords>;
// Scratch for the headers of a scattered read's records.
template <class L>
using Heads = std::array<std::uint8_t, kScatterRecords * L::kDesc.max_header()>;

// Lays out a scattered read of `count` records (kScatterRecords at most) in
// `parts`: record j's header into `heads` at j * header, its block into
// block(j). Returns the parts used.
template <class BlockOf>
std::span<std::span<std::uint8_t>> scatter(Parts& parts, std::size_t count, std::uint8_t* heads,
                                           std::size_t header, const BlockOf& block) noexcept {
  for (std::size_t j = 0; j < count; ++j) {
    parts[2 * j] = {heads + j * header, header};
    parts[2 * j + 1] = block(j);
  }
  return std::span(parts).first(2 * count);
}

}  // namespace vorn
