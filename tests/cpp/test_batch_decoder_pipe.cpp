// BatchDecoder over input that cannot seek: the WD2 probe gives back what it
// read, and a seek forward reads forward.
#include <gtest/gtest.h>

#include "batch_decoder.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"
#include "scripted_source.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::put_u32;
using test::put_u64;

// `count` WD1 records of `samples` samples, event_counter 0, 1, ...
Bytes wd1_run(std::uint32_t count, std::uint32_t samples) {
  Bytes b;
  for (std::uint32_t i = 0; i < count; ++i) {
    put_u32(b, 24 + 2 * samples);
    for (std::uint32_t k : {0u, 0u, 0u, i, 0u}) put_u32(b, k);
    for (std::uint32_t k = 0; k < samples; ++k) b.push_back(std::uint8_t(i)), b.push_back(std::uint8_t(k));
  }
  return b;
}

// `count` two-channel WD2 records of `samples` samples per channel.
Bytes wd2_run(std::uint32_t count, std::uint32_t samples) {
  Bytes b;
  for (std::uint32_t i = 0; i < count; ++i) {
    put_u32(b, i);
    put_u64(b, 0);
    put_u32(b, samples);
    put_u64(b, 8);
    put_u32(b, 2);
    for (std::uint32_t k = 0; k < 2 * samples; ++k) put_u32(b, i * 1000 + k);
  }
  return b;
}

BatchDecoder open_ok(const std::shared_ptr<test::Script>& s, const LayoutDesc& layout) {
  Result<BatchDecoder> d = BatchDecoder::open(std::make_unique<test::ScriptedSource>(s), layout, 64);
  EXPECT_TRUE(d.ok());
  return std::move(d).value();
}

std::vector<std::uint32_t> counters(BatchDecoder& d, int column) {
  BatchMemory m;
  const BatchResult r = d.decode(m, Limits{});
  EXPECT_EQ(r.stop, Stop::end);
  std::vector<std::uint32_t> out(r.events);
  for (std::uint64_t i = 0; i < r.events; ++i) {
    std::memcpy(&out[i], m.columns[std::size_t(column)].data() + 4 * i, 4);
  }
  return out;
}

TEST(BatchDecoderPipeTest, WD2OnAPipeReadsEveryRecordWithItsChannelWord) {
  auto s = test::shaped(wd2_run(4, 300), test::Shape::pipe);
  s->chunk = 7;
  BatchDecoder d = open_ok(s, WD2::kDesc);
  EXPECT_EQ(d.channels(), 2);
  EXPECT_EQ(counters(d, 0), (std::vector<std::uint32_t>{0, 1, 2, 3}));
}

TEST(BatchDecoderPipeTest, SeekForwardReadsForwardAndBackwardFails) {
  const Bytes file = wd1_run(6, 5);  // 34 bytes each
  auto s = test::shaped(file, test::Shape::pipe);
  BatchDecoder d = open_ok(s, WD1::kDesc);
  ASSERT_TRUE(d.seek(2 * 34).ok());
  EXPECT_EQ(d.position(), 68u);
  BatchMemory m;
  ASSERT_EQ(d.decode(m, Limits{.max_events = 1}).events, 1u);
  EXPECT_EQ(d.seek(0).error().code, ESPIPE);
  EXPECT_TRUE(d.seek(d.position()).ok());
  EXPECT_EQ(counters(d, 4), (std::vector<std::uint32_t>{3, 4, 5}));
  // Past the end: the decoder stands at the end and finds nothing there.
  EXPECT_TRUE(d.seek(1000).ok());
  EXPECT_EQ(d.position(), file.size());
  EXPECT_TRUE(counters(d, 4).empty());
}

// Regression: a scan that read through part of a cut-short block on a pipe
// gave back the header alone, so the next read took it for the header of
// the bytes that follow. Every byte read is given back: the record is whole
// for the next call.
TEST(BatchDecoderPipeTest, ScanCutInsideABlockLeavesTheRecordWhole) {
  const Bytes file = wd1_run(2, 20000);
  auto s = test::shaped(Bytes(file.begin(), file.end() - 3000), test::Shape::pipe);
  BatchDecoder d = open_ok(s, WD1::kDesc);
  const BatchResult r = d.scan(nullptr, Limits{});
  EXPECT_EQ(r.stop, Stop::end);
  EXPECT_EQ(r.events, 1u);
  EXPECT_EQ(d.position(), file.size() / 2);
  const BatchResult again = d.scan(nullptr, Limits{});
  EXPECT_EQ(again.events, 0u);
  EXPECT_EQ(d.position(), file.size() / 2);
}

}  // namespace
}  // namespace vorn
