// The walk over records that fills a batch's columns: decode() and scan().
#pragma once

#include <cstdint>

#include "batch.hpp"
#include "batch_memory.hpp"
#include "buf_reader.hpp"
#include "layout.hpp"

namespace vorn {

// One batch of the records of `layout` (one of Layouts::kDescs, in a file
// of `channels` channels) from in's position on, as BatchDecoder::decode
// (kWithSamples) and BatchDecoder::scan promise; `out` may be null for a
// scan that only counts.
template <bool kWithSamples>
BatchResult walk(BufReader& in, const LayoutDesc& layout, std::int32_t channels, BatchMemory* out,
                 Limits limits);

extern template BatchResult walk<true>(BufReader&, const LayoutDesc&, std::int32_t, BatchMemory*,
                                       Limits);
extern template BatchResult walk<false>(BufReader&, const LayoutDesc&, std::int32_t, BatchMemory*,
                                        Limits);

}  // namespace vorn
