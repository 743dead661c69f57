// BatchDecoder: a file's records of one layout, opened and probed, read a
// batch at a time by the walk (decode, scan) or the pick.
#include "batch_decoder.hpp"

#include <algorithm>
#include <memory>
#include <utility>

#include "picker.hpp"
#include "record.hpp"
#include "thresholds.hpp"
#include "walk.hpp"

namespace vorn {

Result<BatchDecoder> BatchDecoder::open(std::unique_ptr<Source> source, const LayoutDesc& layout,
                                        std::size_t buffer_size) {
  BufReader in(std::move(source), std::max(buffer_size, layout.max_header()));
  // A probe reads a few headers: no need to fill the whole buffer for them.
  in.limit_refill(kHeaderRefill);
  Result<std::int32_t> channels =
      Layouts::visit(layout, [&]<class L>() { return L::peek_channels(in); });
  in.limit_refill(buffer_size);
  if (!channels.ok()) return channels.error();
  return BatchDecoder(std::move(in), layout, channels.value());
}

BatchDecoder BatchDecoder::open_known(std::unique_ptr<Source> source, const LayoutDesc& layout,
                                      std::int32_t channels, std::size_t buffer_size) {
  return BatchDecoder(BufReader(std::move(source), std::max(buffer_size, layout.max_header())),
                      layout, channels);
}

Status BatchDecoder::seek(std::uint64_t position) { return move_to(in_, position); }

BatchResult BatchDecoder::decode(BatchMemory& out, Limits limits) {
  return walk<true>(in_, *layout_, probed_, &out, limits);
}

BatchResult BatchDecoder::scan(BatchMemory* out, Limits limits) {
  return walk<false>(in_, *layout_, probed_, out, limits);
}

BatchResult BatchDecoder::pick(BatchMemory& out, std::span<const Extent> extents) {
  return pick_records(in_, *layout_, probed_, out, extents);
}

}  // namespace vorn
