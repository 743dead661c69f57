// The pick: chosen records read by their extents, runs of adjacent ones with
// one scattered read each, nothing between them.
#pragma once

#include <cstdint>
#include <span>

#include "batch.hpp"
#include "batch_memory.hpp"
#include "buf_reader.hpp"
#include "layout.hpp"

namespace vorn {

// The records of `layout` (one of Layouts::kDescs, in a file of `channels`
// channels) at `extents`, read from `in` into `out` as BatchDecoder::pick
// promises.
BatchResult pick_records(BufReader& in, const LayoutDesc& layout, std::int32_t channels,
                         BatchMemory& out, std::span<const Extent> extents);

}  // namespace vorn
