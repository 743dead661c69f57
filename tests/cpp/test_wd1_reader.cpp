// WD1Reader over scripted sources and real files.
#include <gtest/gtest.h>

#include "panic.hpp"
#include "scripted_source.hpp"
#include "wd1_reader.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::cat;
using test::drain;
using test::expect_event;
using test::outcome;
using test::put_u32;
using test::Shape;

Bytes wd1_header(std::int32_t event_size, std::int32_t counter = 4) {
  Bytes b;
  for (std::int32_t v : {event_size, 1, 2, 3, counter, 5}) put_u32(b, std::uint32_t(v));
  return b;
}
// A well-formed record: event_size 24 + 2n, samples counter*1000 + i.
Bytes wd1_record(std::int32_t counter, std::size_t n) {
  Bytes b = wd1_header(std::int32_t(24 + 2 * n), counter);
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = std::uint16_t(counter * 1000 + int(i));
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
  }
  return b;
}
void expect_record(const WD1Event& ev, std::int32_t counter, std::size_t n) {
  EXPECT_EQ(ev.event_counter, counter);
  EXPECT_EQ(ev.event_size, std::int32_t(24 + 2 * n));
  ASSERT_EQ(ev.data.size(), n);
  EXPECT_EQ(ev.data.capacity(), n);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(ev.data.data()[i], counter * 1000 + int(i));
}
WD1Reader reader_of(const std::shared_ptr<test::Script>& s) {
  return WD1Reader(test::reader_on(s));
}

// The bytes a record occupies follow from (event_size - 24) / 2 alone.
struct SizeCase {
  std::int32_t event_size;
  std::size_t samples;
};
class WD1SizeTest : public ::testing::TestWithParam<SizeCase> {};

TEST_P(WD1SizeTest, RecordOccupiesHeaderPlusWholeSamples) {
  const auto [event_size, samples] = GetParam();
  const Bytes block = test::pattern(2 * samples);
  auto s = test::script_of(cat(cat(wd1_header(event_size), block), wd1_record(9, 1)));
  WD1Reader reader = reader_of(s);
  WD1Event ev = expect_event(reader.next());
  EXPECT_EQ(ev.event_size, event_size);
  EXPECT_EQ(ev.data.size(), samples);
  EXPECT_EQ(ev.data.capacity(), samples);
  if (samples == 0) EXPECT_EQ(ev.data.data(), nullptr);  // owns no storage
  expect_record(expect_event(reader.next()), 9, 1);
  EXPECT_EQ(outcome(reader.next()), "end");
}
INSTANTIATE_TEST_SUITE_P(Sizes, WD1SizeTest,
                         ::testing::Values(SizeCase{23, 0}, SizeCase{24, 0}, SizeCase{25, 0},
                                           SizeCase{26, 1}, SizeCase{27, 1}, SizeCase{30, 3}),
                         [](const auto& info) { return std::to_string(info.param.event_size); });

TEST(WD1ReaderTest, SamplesAreLittleEndianAndFieldsPassThrough) {
  Bytes file;
  for (std::int32_t v : {26, -1, INT32_MIN, INT32_MAX, -1, 0}) put_u32(file, std::uint32_t(v));
  file.insert(file.end(), {0x34, 0x12});
  WD1Reader reader = reader_of(test::script_of(file));
  WD1Event ev = expect_event(reader.next());
  EXPECT_EQ(ev.board_id, -1);
  EXPECT_EQ(ev.pattern, INT32_MIN);
  EXPECT_EQ(ev.board_channel, INT32_MAX);
  EXPECT_EQ(ev.event_counter, -1);
  EXPECT_EQ(ev.timestamp, 0);
  ASSERT_EQ(ev.data.size(), 1u);
  EXPECT_EQ(ev.data.data()[0], 0x1234);
}

// A sample count below zero is an internal failure; the header is gone and
// the next step reads the record after it.
class WD1NegativeCountTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD1NegativeCountTest, PanicsWithHeaderConsumedAndReaderUsable) {
  WD1Reader reader = reader_of(test::script_of(cat(wd1_header(GetParam()), wd1_record(7, 2))));
  try {
    (void)reader.next();
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "capacity overflow");
  }
  expect_record(expect_event(reader.next()), 7, 2);
  EXPECT_EQ(outcome(reader.next()), "end");
}
INSTANTIATE_TEST_SUITE_P(Sizes, WD1NegativeCountTest,
                         ::testing::Values(INT32_MIN, -24, -1, 0, 1, 22),
                         [](const auto& info) {
                           const std::string n = std::to_string(info.param);
                           return n[0] == '-' ? "minus" + n.substr(1) : n;
                         });

// Three records, 28 + 24 + 30 bytes; the middle one is an odd event_size
// whose spare byte opens the third.
Bytes three_records() {
  Bytes odd = wd1_header(25, 2);
  return cat(cat(wd1_record(1, 2), odd), wd1_record(3, 3));
}
constexpr std::size_t kBoundaries[] = {28, 52, 82};

class WD1TruncationTest : public ::testing::TestWithParam<Shape> {};

// Every complete record, then end of input, every time; where the input can
// seek, the rest of the file arriving later yields the remaining records.
TEST_P(WD1TruncationTest, EveryCutYieldsCompleteRecordsThenEnd) {
  const Bytes file = three_records();
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    auto s = test::shaped(Bytes(file.begin(), file.begin() + std::ptrdiff_t(cut)), GetParam());
    WD1Reader reader = reader_of(s);
    auto [events, end] = drain(reader);
    EXPECT_EQ(end, "end");
    const auto complete = std::size_t(std::count_if(std::begin(kBoundaries), std::end(kBoundaries),
                                                    [&](std::size_t b) { return b <= cut; }));
    ASSERT_EQ(events.size(), complete);
    EXPECT_EQ(outcome(reader.next()), "end");
    EXPECT_EQ(outcome(reader.next()), "end");
    if (GetParam() == Shape::pipe && cut != 0 &&
        std::find(std::begin(kBoundaries), std::end(kBoundaries), cut) == std::end(kBoundaries)) {
      EXPECT_EQ(s->offset, cut);  // the partial record's bytes stay consumed
      continue;
    }
    s->append(Bytes(file.begin() + std::ptrdiff_t(cut), file.end()));
    auto [rest, end2] = drain(reader);
    EXPECT_EQ(end2, "end");
    ASSERT_EQ(events.size() + rest.size(), 3u);
    events.insert(events.end(), std::make_move_iterator(rest.begin()),
                  std::make_move_iterator(rest.end()));
    expect_record(events[0], 1, 2);
    EXPECT_EQ(events[1].event_size, 25);
    expect_record(events[2], 3, 3);
  }
}
INSTANTIATE_TEST_SUITE_P(Shapes, WD1TruncationTest,
                         ::testing::Values(Shape::regular, Shape::trickle, Shape::unsized,
                                           Shape::pipe),
                         [](const auto& info) { return test::shape_name(info.param); });

TEST(WD1ReaderTest, WithoutSeekingAppendedBytesStartANewRecord) {
  const Bytes partial = wd1_record(2, 5);
  auto s = test::shaped(cat(wd1_record(1, 1), Bytes(partial.begin(), partial.begin() + 30)),
                           Shape::pipe);
  WD1Reader reader = reader_of(s);
  expect_record(expect_event(reader.next()), 1, 1);
  EXPECT_EQ(outcome(reader.next()), "end");
  EXPECT_EQ(s->offset, s->bytes.size());
  s->append(wd1_record(3, 2));
  expect_record(expect_event(reader.next()), 3, 2);
}

// A file still being written, cut between records, inside a header and
// inside a sample block; the empty file is the first case.
class WD1GrowthTest : public ::testing::TestWithParam<std::size_t> {};

TEST_P(WD1GrowthTest, RealFileYieldsWholeRecordAfterItArrives) {
  const Bytes file = cat(cat(wd1_record(1, 2), wd1_record(2, 4)), wd1_record(3, 5000));
  const std::size_t cut = GetParam();
  const std::size_t complete = cut >= 60 ? 2 : cut >= 28 ? 1 : 0;
  test::TempFile tmp(Bytes(file.begin(), file.begin() + std::ptrdiff_t(cut)));
  WD1Reader reader(tmp.open());
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  EXPECT_EQ(events.size(), complete);
  EXPECT_EQ(outcome(reader.next()), "end");
  tmp.append(Bytes(file.begin() + std::ptrdiff_t(cut), file.end()));
  auto [rest, end2] = drain(reader);
  EXPECT_EQ(end2, "end");
  ASSERT_EQ(rest.size(), 3 - complete);
  if (complete == 0) expect_record(rest[0], 1, 2);
  if (complete <= 1) expect_record(rest[1 - complete], 2, 4);
  expect_record(rest.back(), 3, 5000);
}
INSTANTIATE_TEST_SUITE_P(Cuts, WD1GrowthTest, ::testing::Values(0, 10, 28, 38, 54, 70, 2000));

// A system error is reported once; afterwards the reader does not touch the
// file again. EINTR at the same place is invisible.
struct FaultCase {
  int call;  // 1: the header's refill; 2: the bypass read of the long block
  int err;
};
class WD1FaultTest : public ::testing::TestWithParam<FaultCase> {};

TEST_P(WD1FaultTest, InjectedFault) {
  const auto [call, err] = GetParam();
  auto s = test::script_of(cat(wd1_record(1, 10000), wd1_record(2, 1)));
  s->read_plan[call] = -err;
  WD1Reader reader = reader_of(s);
  if (err == EINTR) {
    expect_record(expect_event(reader.next()), 1, 10000);
    expect_record(expect_event(reader.next()), 2, 1);
    return;
  }
  test::expect_error(reader.next(), err);
  const int reads = s->reads;
  EXPECT_EQ(outcome(reader.next()), "end");
  EXPECT_EQ(outcome(reader.next()), "end");
  EXPECT_EQ(s->reads, reads);
}
INSTANTIATE_TEST_SUITE_P(Faults, WD1FaultTest,
                         ::testing::Values(FaultCase{1, EIO}, FaultCase{2, EIO},
                                           FaultCase{2, ENOSPC}, FaultCase{1, EINTR},
                                           FaultCase{2, EINTR}),
                         [](const auto& info) {
                           return test::errno_name(info.param.err) + "_at_read" +
                                  std::to_string(info.param.call);
                         });

// A block far larger than the buffer, and for input of unknown length larger
// than the first step by which its memory grows.
class WD1LongBlockTest : public ::testing::TestWithParam<Shape> {};

TEST_P(WD1LongBlockTest, ArrivesIntactAndExactlySized) {
  const std::size_t n = 700001;
  Bytes file = wd1_header(std::int32_t(24 + 2 * n), 1);
  for (std::size_t i = 0; i < n; ++i) {
    file.push_back(std::uint8_t(i * 7));
    file.push_back(std::uint8_t(i >> 8));
  }
  auto s = test::shaped(cat(file, wd1_record(2, 1)), GetParam());
  WD1Reader reader = reader_of(s);
  WD1Event ev = expect_event(reader.next());
  ASSERT_EQ(ev.data.size(), n);
  EXPECT_EQ(ev.data.capacity(), n);
  EXPECT_EQ(std::memcmp(ev.data.data(), file.data() + 24, 2 * n), 0);
  expect_record(expect_event(reader.next()), 2, 1);
}
INSTANTIATE_TEST_SUITE_P(Shapes, WD1LongBlockTest,
                         ::testing::Values(Shape::regular, Shape::trickle, Shape::unsized,
                                           Shape::pipe),
                         [](const auto& info) { return test::shape_name(info.param); });

// event_size 2147483647 asks for 2147483622 bytes; a small file cannot hold
// them, and nothing of that size may be reserved before finding out.
class WD1HugeBlockTest : public ::testing::TestWithParam<Shape> {};

TEST_P(WD1HugeBlockTest, EndsWithoutBigReservation) {
  auto s = test::shaped(cat(wd1_header(INT32_MAX), Bytes(1000, 7)), GetParam());
  WD1Reader reader = reader_of(s);
  const std::uint64_t peak = test::peak_virtual_bytes();
  EXPECT_EQ(outcome(reader.next()), "end");
  EXPECT_EQ(outcome(reader.next()), "end");
  EXPECT_LT(test::peak_virtual_bytes() - peak, test::kBigReservation);
  EXPECT_LE(s->largest_request(), std::size_t(1) << 20);
}
INSTANTIATE_TEST_SUITE_P(Shapes, WD1HugeBlockTest,
                         ::testing::Values(Shape::regular, Shape::unsized, Shape::pipe),
                         [](const auto& info) { return test::shape_name(info.param); });

TEST(WD1ReaderTest, DirectoryGivesIsADirectoryOnce) {
  std::string dir = test::temp_root() + "/vorn-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  auto file = open_file(dir.c_str());
  ASSERT_TRUE(file.ok());
  WD1Reader reader{BufReader(std::move(file).value())};
  test::expect_error(reader.next(), EISDIR);
  EXPECT_EQ(outcome(reader.next()), "end");
  rmdir(dir.c_str());
}

// Regression: a signal that stopped a wait lost the record read so far (and
// on a pipe every later record with it). The record must come back whole.
class WD1InterruptTest : public ::testing::TestWithParam<Shape> {};

TEST_P(WD1InterruptTest, InterruptedStepLeavesTheRecordWhole) {
  const Bytes file = cat(cat(wd1_record(1, 3), wd1_record(2, 9000)), wd1_record(3, 0));
  test::interrupt_each_read(file, GetParam(), reader_of, [](const std::vector<WD1Event>& events) {
    ASSERT_EQ(events.size(), 3u);
    expect_record(events[0], 1, 3);
    expect_record(events[1], 2, 9000);
    expect_record(events[2], 3, 0);
  });
}
INSTANTIATE_TEST_SUITE_P(Shapes, WD1InterruptTest,
                         ::testing::Values(Shape::regular, Shape::trickle, Shape::pipe),
                         [](const auto& info) { return test::shape_name(info.param); });

// Regression: a file whose reported size lags behind its content (/proc says
// 0, sysfs 4096) gave no events: the size was taken as a limit.
class WD1LaggingSizeTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(WD1LaggingSizeTest, ContentBeyondTheReportedSizeIsRead) {
  auto s = test::script_of(cat(cat(wd1_record(1, 6000), wd1_record(2, 6000)), wd1_record(3, 6000)));
  s->reported_size = GetParam();
  WD1Reader reader = reader_of(s);
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  ASSERT_EQ(events.size(), 3u);
  for (std::int32_t i = 0; i < 3; ++i) expect_record(events[std::size_t(i)], i + 1, 6000);
}
INSTANTIATE_TEST_SUITE_P(Reported, WD1LaggingSizeTest, ::testing::Values(0u, 4096u));

}  // namespace
}  // namespace vorn
