// BufReader over a real file and over a scripted source.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <span>

#include "buf_reader.hpp"
#include "scripted_source.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::pattern;
using test::reader_on;
using test::script_of;

Bytes take(BufReader& in, std::size_t n) {
  Bytes out(n);
  EXPECT_TRUE(in.read_exact(out).ok());
  return out;
}
Bytes slice(const Bytes& b, std::size_t from, std::size_t n) {
  return Bytes(b.begin() + std::ptrdiff_t(from), b.begin() + std::ptrdiff_t(from + n));
}

TEST(FdSourceTest, ReopenedReadsTheFileItWasOpenedOnWhateverItsPathNowNames) {
  const Bytes first = pattern(64);
  test::TempFile file(first);
  Result<std::unique_ptr<Source>> opened = open_file(file.path());
  ASSERT_TRUE(opened.ok());
  std::remove(file.path());
  test::TempFile other(Bytes(64, 0));
  ASSERT_EQ(std::rename(other.path(), file.path()), 0);
  const std::unique_ptr<Source> own = opened.value()->reopened();
  ASSERT_NE(own, nullptr);
  Bytes got(16);
  const std::array<std::span<std::uint8_t>, 1> part{std::span(got)};
  EXPECT_EQ(own->read_at(part, 8), 16);
  EXPECT_EQ(got, slice(first, 8, 16));
  // Reading one leaves the other's offset alone.
  EXPECT_EQ(opened.value()->read(got.data(), 4), 4);
  EXPECT_EQ(slice(got, 0, 4), slice(first, 0, 4));

  Result<std::unique_ptr<Source>> device = open_file("/dev/null");
  ASSERT_TRUE(device.ok());
  EXPECT_EQ(device.value()->reopened(), nullptr);
}

TEST(BufReaderFileTest, IntegersAreLittleEndian) {
  test::TempFile file({0x01, 0, 0, 0, 0, 0x01, 0, 0, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                          0xff, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81});
  BufReader in = file.open();
  EXPECT_EQ(in.read_u32().value(), 1u);
  EXPECT_EQ(in.read_u32().value(), 256u);
  EXPECT_EQ(in.read_i32().value(), -1);
  EXPECT_EQ(in.read_u32().value(), 4294967295u);
  EXPECT_EQ(in.read_u64().value(), 0x8102030405060708u);
  Result<std::uint32_t> end = in.read_u32();
  ASSERT_FALSE(end.ok());
  EXPECT_TRUE(end.error().is_eof());
  EXPECT_EQ(end.error().message(), "failed to fill whole buffer");
}

// A request of kBufferSize or more on an empty buffer goes straight to the
// caller's memory; anything smaller is served from a full refill.
struct BypassCase {
  std::size_t len;
  bool bypasses;
};
class BufReaderBypassTest : public ::testing::TestWithParam<BypassCase> {};

TEST_P(BufReaderBypassTest, OneSystemReadDecidedByTheBufferEdge) {
  const auto [len, bypasses] = GetParam();
  const Bytes file = pattern(20000);
  auto s = script_of(file);
  BufReader in = reader_on(s);
  Bytes out(len);
  Result<std::size_t> got = in.read(out);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got.value(), len);
  EXPECT_EQ(out, slice(file, 0, len));
  EXPECT_EQ(s->requests, std::vector<std::size_t>{bypasses ? len : BufReader::kBufferSize});
  EXPECT_EQ(s->targets[0] == out.data(), bypasses);
  // A bypass leaves nothing buffered, so the next byte costs a system read.
  EXPECT_EQ(take(in, 1), slice(file, len, 1));
  EXPECT_EQ(s->reads, bypasses ? 2 : 1);
  EXPECT_EQ(in.position(), len + 1);
}
INSTANTIATE_TEST_SUITE_P(Edge, BufReaderBypassTest,
                         ::testing::Values(BypassCase{8191, false}, BypassCase{8192, true},
                                           BypassCase{8193, true}),
                         [](const auto& info) { return "len" + std::to_string(info.param.len); });

TEST(BufReaderTest, ThreeBufferedBytesThenOneRefillCompleteAnInteger) {
  auto s = script_of(pattern(9000));
  BufReader in = reader_on(s);
  take(in, BufReader::kBufferSize - 3);
  // Bytes 8189..8192 of the pattern: 157 158 159 160 (each modulo 251).
  EXPECT_EQ(in.read_i32().value(), std::int32_t(0xa09f9e9d));
  EXPECT_EQ(s->reads, 2);
  EXPECT_EQ(s->requests.back(), BufReader::kBufferSize);
}

TEST(BufReaderTest, LongExactReadCopiesBufferedThenBypassesThenRefills) {
  const Bytes file = pattern(20000);
  auto s = script_of(file);
  s->read_plan[2] = 5000;  // the bypass read comes up short
  BufReader in = reader_on(s);
  take(in, BufReader::kBufferSize - 100);
  Bytes out(10000);
  ASSERT_TRUE(in.read_exact(out).ok());
  EXPECT_EQ(out, slice(file, BufReader::kBufferSize - 100, 10000));
  EXPECT_EQ(s->requests, (std::vector<std::size_t>{8192, 9900, 8192}));
  EXPECT_EQ(s->targets[1], out.data() + 100);
  EXPECT_EQ(in.position(), 18092u);
  EXPECT_EQ(take(in, 1), slice(file, 18092, 1));
  EXPECT_EQ(s->reads, 3);  // the refill holds the rest
}

TEST(BufReaderTest, InterruptedReadIsRetriedByReadExactButReturnedByRead) {
  auto s = script_of(pattern(100));
  s->read_plan[1] = -EINTR;
  s->read_plan[2] = -EINTR;
  BufReader in = reader_on(s);
  Bytes one(1);
  Result<std::size_t> r = in.read(one);
  ASSERT_FALSE(r.ok());
  EXPECT_FALSE(r.error().is_eof());
  EXPECT_EQ(r.error().code, EINTR);
  EXPECT_EQ(in.read_u32().value(), 0x03020100u);
  EXPECT_EQ(s->reads, 3);
  EXPECT_EQ(in.position(), 4u);
}

// Whatever its number, a failed system read is never mistaken for the end
// of the file.
class BufReaderSystemErrorTest : public ::testing::TestWithParam<int> {};

TEST_P(BufReaderSystemErrorTest, IsReturnedWithItsNumber) {
  const int err = GetParam();
  auto s = script_of(pattern(20000));
  BufReader in = reader_on(s);
  take(in, 10);
  s->fail_next_read(err);
  Bytes big(10000);  // buffered bytes first, then the failing read
  Status st = in.read_exact(big);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind, IoError::Kind::system);
  EXPECT_EQ(st.error().code, err);
  EXPECT_EQ(st.error().message(), errno_text(err) + " (os error " + std::to_string(err) + ")");
  // The failed call took nothing from the file; reading goes on from there.
  EXPECT_EQ(in.position(), BufReader::kBufferSize);
  EXPECT_EQ(in.read_u32().value(), 0xa3a2a1a0u);  // bytes 8192..8195 modulo 251
}
INSTANTIATE_TEST_SUITE_P(Errno, BufReaderSystemErrorTest, ::testing::Values(EIO, EISDIR, EAGAIN),
                         [](const auto& info) { return test::errno_name(info.param); });

TEST(BufReaderTest, EmptyExactReadMakesNoSystemCall) {
  auto s = script_of({});
  BufReader in = reader_on(s);
  EXPECT_TRUE(in.read_exact({}).ok());
  EXPECT_EQ(s->reads, 0);
  EXPECT_TRUE(in.read_u32().error().is_eof());
  EXPECT_TRUE(in.read_exact({}).ok());
  EXPECT_EQ(s->reads, 1);
}

TEST(BufReaderTest, EndOfFileConsumesPartialBytesAndIsNotRemembered) {
  auto s = script_of({1, 2, 3, 4, 5, 6});
  BufReader in = reader_on(s);
  EXPECT_EQ(in.read_u32().value(), 0x04030201u);
  Result<std::uint32_t> end = in.read_u32();
  ASSERT_FALSE(end.ok());
  EXPECT_TRUE(end.error().is_eof());
  EXPECT_EQ(in.position(), 6u);  // 5 and 6 are gone
  s->append({7, 8, 9, 10});
  EXPECT_EQ(in.read_u32().value(), 0x0a090807u);
}

TEST(BufReaderTest, RewindDiscardsTheBuffer) {
  auto s = script_of(pattern(100));
  BufReader in = reader_on(s);
  take(in, 10);
  s->bytes[0] = 0xaa;  // the buffered copy of byte 0 is stale now
  ASSERT_TRUE(in.rewind().ok());
  EXPECT_EQ(in.position(), 0u);
  EXPECT_EQ(take(in, 2), (Bytes{0xaa, 1}));
  EXPECT_EQ(s->reads, 2);
}

TEST(BufReaderTest, FailedRewindKeepsTheBuffer) {
  auto s = script_of(pattern(100));
  s->seek_plan[1] = EIO;
  BufReader in = reader_on(s);
  take(in, 10);
  Status st = in.rewind();
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().code, EIO);
  EXPECT_EQ(take(in, 2), (Bytes{10, 11}));
  EXPECT_EQ(s->reads, 1);
}

struct SupplyCase {
  std::uint64_t n;
  Supply expected;
};
class BufReaderSupplyTest : public ::testing::TestWithParam<SupplyCase> {};

TEST_P(BufReaderSupplyTest, CountsBufferedAndUnreadBytes) {
  auto s = script_of(pattern(10000));
  BufReader in = reader_on(s);
  take(in, 10);  // 8182 buffered, 1808 unread
  EXPECT_EQ(in.can_supply(GetParam().n), GetParam().expected);
}
INSTANTIATE_TEST_SUITE_P(Edge, BufReaderSupplyTest,
                         ::testing::Values(SupplyCase{0, Supply::enough},
                                           SupplyCase{8182, Supply::enough},
                                           SupplyCase{9990, Supply::enough},
                                           SupplyCase{9991, Supply::short_of},
                                           SupplyCase{UINT64_MAX, Supply::short_of}),
                         [](const auto& info) { return "n" + std::to_string(info.param.n); });

TEST(BufReaderTest, CanSupplyAsksAgainOnceTheFileHasGrown) {
  auto s = script_of(pattern(10));
  BufReader in = reader_on(s);
  EXPECT_EQ(in.can_supply(20), Supply::short_of);
  s->append(pattern(10));
  EXPECT_EQ(in.can_supply(20), Supply::enough);
  s->size_known = false;
  EXPECT_EQ(in.can_supply(30), Supply::unknown);
}

TEST(BufReaderTest, SkipInsideTheBufferTouchesNothing) {
  auto s = script_of(pattern(100));
  BufReader in = reader_on(s);
  take(in, 1);
  ASSERT_TRUE(in.skip(50).ok());
  EXPECT_EQ(take(in, 1), Bytes{51});
  EXPECT_EQ(s->reads, 1);
  EXPECT_EQ(s->seeks, 0);
}

TEST(BufReaderTest, SkipSeeksWhereTheLengthIsKnown) {
  const Bytes file = pattern(100000);
  auto s = script_of(file);
  BufReader in = reader_on(s);
  take(in, 1);
  ASSERT_TRUE(in.skip(90000).ok());
  EXPECT_EQ(s->reads, 1);
  EXPECT_EQ(s->seeks, 1);
  EXPECT_EQ(in.position(), 90001u);
  EXPECT_EQ(take(in, 3), slice(file, 90001, 3));
}

TEST(BufReaderTest, SkipReadsThroughWhereTheLengthIsUnknown) {
  const Bytes file = pattern(100000);
  auto s = script_of(file);
  s->size_known = s->seekable = false;
  BufReader in = reader_on(s);
  take(in, 1);
  ASSERT_TRUE(in.skip(90000).ok());
  EXPECT_EQ(take(in, 3), slice(file, 90001, 3));
}

// A block device: it seeks, but has no length to compare with.
TEST(BufReaderTest, SkipSeeksToTheLastByteWhereTheInputSeeksWithoutLength) {
  const Bytes file = pattern(100000);
  auto s = script_of(file);
  s->size_known = false;
  BufReader in = reader_on(s);
  take(in, 1);
  const int reads_before = s->reads;
  ASSERT_TRUE(in.skip(90000).ok());
  EXPECT_EQ(s->seeks, 1);
  EXPECT_EQ(s->reads - reads_before, 1);
  EXPECT_EQ(take(in, 3), slice(file, 90001, 3));
}

class BufReaderShortSkipTest : public ::testing::TestWithParam<bool> {};

TEST_P(BufReaderShortSkipTest, EndsWithEndOfFile) {
  auto s = script_of(pattern(100));
  s->size_known = GetParam();
  BufReader in = reader_on(s);
  Status st = in.skip(101);
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_eof());
  EXPECT_LE(s->reads, 1);  // the last byte's read, never the skipped bytes
}
INSTANTIATE_TEST_SUITE_P(LengthKnown, BufReaderShortSkipTest, ::testing::Bool());

// Regression: a device refuses a seek past its end with EINVAL, and the skip
// read the whole device instead.
TEST(BufReaderTest, SkipPastTheEndOfADeviceReadsNothing) {
  auto s = script_of(pattern(1 << 20));
  s->size_known = false;
  s->refuses_past_end = true;
  BufReader in = reader_on(s);
  Status st = in.skip(std::uint64_t(1) << 40);
  ASSERT_FALSE(st.ok());
  EXPECT_TRUE(st.error().is_eof());
  EXPECT_EQ(s->reads, 0);
}

// Regression: a length that lags behind the content (/proc reports 0) made
// the skip end as if the bytes were not there.
TEST(BufReaderTest, SkipTrustsTheBytesOverALaggingLength) {
  const Bytes file = pattern(100000);
  auto s = script_of(file);
  s->reported_size = 0;
  BufReader in = reader_on(s);
  ASSERT_TRUE(in.skip(90000).ok());
  EXPECT_EQ(take(in, 3), slice(file, 90000, 3));
}

TEST(BufReaderTest, UnreadBytesComeBackBeforeTheBufferedOnes) {
  const Bytes file = pattern(20000);
  auto s = script_of(file);
  s->seekable = s->size_known = false;
  BufReader in = reader_on(s);
  const Bytes first = take(in, 10000);  // bypasses nothing: 8192 via the buffer, then a bypass read
  in.unread(std::span(first).subspan(9000));
  EXPECT_EQ(in.position(), 9000u);
  EXPECT_EQ(take(in, 11000), slice(file, 9000, 11000));
  EXPECT_EQ(in.position(), 20000u);
}

// Regression: bytes given back and then partly buffered by fill() came out
// after the rest of the given-back bytes.
TEST(BufReaderTest, GivenBackBytesKeepTheirOrderThroughFill) {
  const Bytes file = pattern(100);
  auto s = script_of(file);
  s->seekable = s->size_known = false;
  BufReader in = reader_on(s);
  const Bytes first = take(in, 40);
  in.unread(first);
  ASSERT_TRUE(in.fill(4, 4).ok());
  EXPECT_EQ(take(in, 60), slice(file, 0, 60));
  EXPECT_EQ(in.position(), 60u);
}

// A signal handler that asks to stop ends read_exact with Kind::interrupted
// instead of retrying the read.
TEST(BufReaderTest, InterruptEndsTheReadWhenTheSourceSaysStop) {
  auto s = script_of(pattern(100));
  s->read_plan[1] = -EINTR;
  s->resume = false;
  BufReader in = reader_on(s);
  std::array<std::uint8_t, 4> b;
  Status st = in.read_exact(b);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind, IoError::Kind::interrupted);
  EXPECT_EQ(s->interrupts, 1);
  EXPECT_TRUE(in.read_exact(b).ok());
  EXPECT_EQ(Bytes(b.begin(), b.end()), slice(pattern(100), 0, 4));
}

}  // namespace
}  // namespace vorn
