// BatchDecoder's reads of part of a file, over scripted sources: a scan that
// steps over long blocks, and pick() of chosen records.
#include <gtest/gtest.h>

#include <numeric>

#include "batch_decoder.hpp"
#include "scripted_source.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::put_u32;

// WD1 record i: `samples` values i*1000 + k, board_channel i % 3, counter i.
Bytes wd1(std::uint32_t i, std::uint32_t samples) {
  Bytes b;
  for (std::uint32_t v : {24 + 2 * samples, 7u, 0u, i % 3, i, 10 * i}) put_u32(b, v);
  for (std::uint32_t k = 0; k < samples; ++k) {
    const std::uint16_t s = std::uint16_t(i * 1000 + k);
    b.push_back(std::uint8_t(s));
    b.push_back(std::uint8_t(s >> 8));
  }
  return b;
}

BatchDecoder open_on(const std::shared_ptr<test::Script>& s, Layout layout) {
  Result<BatchDecoder> d = BatchDecoder::open(std::make_unique<test::ScriptedSource>(s), layout);
  EXPECT_TRUE(d.ok());
  return std::move(d).value();
}

std::int32_t column_i32(const BatchMemory& m, int k, std::size_t i) {
  std::int32_t v;
  std::memcpy(&v, m.columns[std::size_t(k)].data() + 4 * i, 4);
  return v;
}

// A scan of long records reads their headers, not the blocks between them;
// a pipe, which cannot seek, is read through.
TEST(BatchDecoderScanTest, LongBlocksAreSteppedOverOnlyWhereTheInputSeeks) {
  Bytes b;
  for (std::uint32_t i = 0; i < 40; ++i) b = test::cat(std::move(b), wd1(i, 16384));
  for (bool seekable : {true, false}) {
    SCOPED_TRACE(seekable ? "file" : "pipe");
    auto s = test::script_of(b);
    s->seekable = s->size_known = seekable;
    BatchDecoder d = open_on(s, Layout::wd1);
    BatchMemory m;
    BatchResult r = d.scan(&m, Limits{});
    EXPECT_EQ(r.stop, Stop::end);
    EXPECT_EQ(r.events, 40u);
    EXPECT_EQ(column_i32(m, 4, 39), 39);
    const std::size_t asked =
        std::accumulate(s->requests.begin(), s->requests.end(), std::size_t(0));
    if (seekable) {
      EXPECT_LE(asked, 41u * 512);
    } else {
      EXPECT_GE(asked, b.size());
    }
  }
}

}  // namespace
}  // namespace vorn
