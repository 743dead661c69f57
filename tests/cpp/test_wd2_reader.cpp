// WD2Reader: the layout probe and the record stream, over scripted sources
// and real files.
#include <gtest/gtest.h>

#include "panic.hpp"
#include "scripted_source.hpp"
#include "wd2_reader.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::cat;
using test::drain;
using test::expect_event;
using test::outcome;
using test::put_f32;
using test::put_u32;
using test::put_u64;
using test::Shape;

struct Rec {
  std::uint32_t counter = 1;
  std::uint64_t timestamp = 0;
  std::uint32_t samples = 3;
  std::uint64_t period = 8;
  std::optional<std::int32_t> word;   // absent: the form without channel word
  std::optional<std::size_t> floats;  // the block's length; samples × the word (or 1) if absent
};
float sample(std::uint32_t counter, std::size_t i) { return float(counter) * 100.0f + float(i); }

// A record whose block holds floats sample(counter, i).
Bytes wd2(const Rec& r) {
  Bytes b;
  put_u32(b, r.counter);
  put_u64(b, r.timestamp);
  put_u32(b, r.samples);
  put_u64(b, r.period);
  if (r.word) put_u32(b, std::uint32_t(*r.word));
  const std::size_t n = r.floats.value_or(r.samples * std::size_t(std::max(r.word.value_or(1), 0)));
  for (std::size_t i = 0; i < n; ++i) put_f32(b, sample(r.counter, i));
  return b;
}
Bytes wd2(std::initializer_list<Rec> recs) {
  Bytes b;
  for (const Rec& r : recs) b = cat(std::move(b), wd2(r));
  return b;
}
Bytes head(const Bytes& b, std::size_t n) { return Bytes(b.begin(), b.begin() + std::ptrdiff_t(n)); }
Bytes tail(const Bytes& b, std::size_t n) { return Bytes(b.begin() + std::ptrdiff_t(n), b.end()); }

void expect_record(const WD2Event& ev, std::uint32_t counter, std::uint32_t samples,
                   std::int32_t block_channels) {
  EXPECT_EQ(ev.event_counter, counter);
  EXPECT_EQ(ev.samples, samples);
  const std::size_t n = std::size_t(samples) * std::size_t(block_channels);
  ASSERT_EQ(ev.data.size(), n);
  EXPECT_EQ(ev.data.capacity(), n);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(ev.data.data()[i], sample(counter, i));
}

WD2Reader open_ok(const std::shared_ptr<test::Script>& s) {
  Result<WD2Reader> r = WD2Reader::open(test::reader_on(s));
  EXPECT_TRUE(r.ok()) << r.error().message();
  return std::move(r).value();
}
void expect_open_fails(const std::shared_ptr<test::Script>& s, int code) {
  Result<WD2Reader> r = WD2Reader::open(test::reader_on(s));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, IoError::Kind::system);
  EXPECT_EQ(r.error().code, code);
  EXPECT_TRUE(s->closed);
}

// Four records of one form; the third has no samples.
Bytes form_file(std::int32_t channels) {
  std::optional<std::int32_t> word;
  if (channels >= 2) word = channels;
  return wd2({{.counter = 1, .word = word},
              {.counter = 2, .timestamp = 5, .word = word},
              {.counter = 3, .samples = 0, .word = word},
              {.counter = 4, .samples = 2, .word = word}});
}
void expect_form_records(const std::vector<WD2Event>& events, std::int32_t channels) {
  ASSERT_EQ(events.size(), 4u);
  const std::uint32_t samples[] = {3, 3, 0, 2};
  for (std::uint32_t i = 0; i < 4; ++i) {
    expect_record(events[i], i + 1, samples[i], channels);
    EXPECT_EQ(events[i].channels, channels);
    EXPECT_EQ(events[i].sampling_period, 8u);
  }
  EXPECT_EQ(events[1].timestamp, 5u);
}

class WD2FormTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD2FormTest, ProbesTheChannelCountAndReadsFromTheStart) {
  auto s = test::script_of(form_file(GetParam()));
  WD2Reader reader = open_ok(s);
  EXPECT_EQ(reader.probed_channels(), GetParam());
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  expect_form_records(events, GetParam());
  EXPECT_EQ(outcome(reader.next()), "end");
}
INSTANTIATE_TEST_SUITE_P(Channels, WD2FormTest, ::testing::Values(1, 2, 8));

// The probe's decision, from the first header, its channel-word candidate N
// and the header found N's block later.
struct ProbeCase {
  const char* name;
  Bytes file;
  std::int32_t probed;
};
void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.name; }
class WD2ProbeTest : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(WD2ProbeTest, DecidesChannelCount) {
  auto s = test::script_of(GetParam().file);
  WD2Reader reader = open_ok(s);
  EXPECT_EQ(reader.probed_channels(), GetParam().probed);
  EXPECT_FALSE(s->closed);
}

const Rec kTwo{.counter = 7, .word = 2};
Rec two(std::uint32_t counter) {
  Rec r = kTwo;
  r.counter = counter;
  return r;
}
Rec with(Rec r, auto change) {
  change(r);
  return r;
}
const ProbeCase kProbeCases[] = {
    {"Consecutive", wd2({two(7), two(8)}), 2},
    {"CounterWraps", wd2({two(4294967295u), two(0)}), 2},
    {"CounterGap", wd2({two(7), two(9)}), 1},
    {"CounterBackwards", wd2({two(8), two(7)}), 1},
    {"SamplesDiffer", wd2({two(7), with(two(8), [](Rec& r) { r.samples = 4; })}), 1},
    {"PeriodDiffersAbove32Bits",
     wd2({two(7), with(two(8), [](Rec& r) { r.period += std::uint64_t(1) << 40; })}), 1},
    {"WordDiffers", wd2({two(7), with(two(8), [](Rec& r) { r.word = 3; })}), 1},
    {"TimestampsEqual",
     wd2({with(two(7), [](Rec& r) { r.timestamp = 9; }),
          with(two(8), [](Rec& r) { r.timestamp = 9; })}), 2},
    {"TimestampsDecrease",
     wd2({with(two(7), [](Rec& r) { r.timestamp = 9; }), two(8)}), 2},
    {"EightChannels",
     wd2({with(two(7), [](Rec& r) { r.word = 8; }), with(two(8), [](Rec& r) { r.word = 8; })}), 8},
    {"NoSamples",
     wd2({with(two(7), [](Rec& r) { r.samples = 0; }), with(two(8), [](Rec& r) { r.samples = 0; })}),
     2},
    {"Empty", {}, 1},
    {"ShorterThanAHeaderAndWord", head(wd2(two(7)), 27), 1},
    {"BlockBeyondTheFile", head(wd2(with(two(7), [](Rec& r) { r.samples = 1000; })), 100), 1},
    {"BlockOfGigabytes", wd2(with(two(7), [](Rec& r) { r.samples = 1u << 30; r.floats = 10; })), 1},
    {"BlockAboveTheLargestObject",
     wd2({with(two(7), [](Rec& r) { r.word = -1; r.floats = 3; }),
          with(two(8), [](Rec& r) { r.word = -1; r.floats = 3; })}),
     1},
    {"OneRecordWithWord", wd2(two(7)), 2},
    {"EndsInsideSecondHeader", head(wd2({two(7), two(8)}), 52 + 27), 2},
    {"OneRecordWithWordOne", wd2(with(two(7), [](Rec& r) { r.word = 1; })), 1},
    {"OneRecordWithWordZero", wd2(with(two(7), [](Rec& r) { r.word = 0; })), 1},
    {"WordOnePasses",
     wd2({with(two(7), [](Rec& r) { r.word = 1; }), with(two(8), [](Rec& r) { r.word = 1; })}), 1},
    {"WordZeroPasses",
     wd2({with(two(7), [](Rec& r) { r.word = 0; }), with(two(8), [](Rec& r) { r.word = 0; })}), 0},
    {"NegativeWordWithoutSamplesPasses",
     wd2({with(two(7), [](Rec& r) { r.samples = 0; r.word = -3; }),
          with(two(8), [](Rec& r) { r.samples = 0; r.word = -3; })}),
     -3},
};
INSTANTIATE_TEST_SUITE_P(Table, WD2ProbeTest, ::testing::ValuesIn(kProbeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// On input that cannot seek the probe gives back what it read: the same
// decision, and then every byte of the file from offset 0.
struct PeekCase {
  ProbeCase probe;
  Shape shape;
};
void PrintTo(const PeekCase& c, std::ostream* os) { *os << c.probe.name << "_" << test::shape_name(c.shape); }
class WD2PeekTest : public ::testing::TestWithParam<PeekCase> {};

TEST_P(WD2PeekTest, DecidesAsTheProbeAndGivesEveryByteBack) {
  const auto& [c, shape] = GetParam();
  auto s = test::shaped(c.file, shape);
  if (shape == Shape::pipe) s->chunk = 5;  // a file object's short, uneven reads
  BufReader in(std::make_unique<test::ScriptedSource>(s), 64);
  Result<std::int32_t> probed = WD2::peek_channels(in);
  ASSERT_TRUE(probed.ok()) << probed.error().message();
  EXPECT_EQ(probed.value(), c.probed);
  EXPECT_EQ(in.position(), 0u);
  Bytes rest(c.file.size());
  ASSERT_TRUE(in.read_exact(rest).ok());
  EXPECT_EQ(rest, c.file);
  std::uint8_t more;
  EXPECT_TRUE(in.read_exact({&more, 1}).error().is_eof());
}
std::vector<PeekCase> peek_cases() {
  std::vector<PeekCase> out;
  for (const ProbeCase& c : kProbeCases) {
    for (Shape shape : {Shape::pipe, Shape::regular}) out.push_back({c, shape});
  }
  return out;
}
INSTANTIATE_TEST_SUITE_P(Table, WD2PeekTest, ::testing::ValuesIn(peek_cases()),
                         [](const auto& info) {
                           return std::string(info.param.probe.name) + "_" +
                                  test::shape_name(info.param.shape);
                         });

// A block longer than the probe may hold is stepped over by a seek where the
// input can seek, and held where it cannot.
TEST(WD2PeekTest, LongBlockIsSteppedOverWhereTheInputSeeks) {
  const Bytes file = wd2({{.counter = 1, .samples = 5000, .word = 2}, {.counter = 2, .samples = 5000, .word = 2}});
  for (Shape shape : {Shape::unsized, Shape::pipe}) {
    SCOPED_TRACE(test::shape_name(shape));
    auto s = test::shaped(file, shape);
    BufReader in(std::make_unique<test::ScriptedSource>(s), 1024);
    Result<std::int32_t> probed = WD2::peek_channels(in, 4096);
    ASSERT_TRUE(probed.ok());
    EXPECT_EQ(probed.value(), 2);
    Bytes all(file.size());
    ASSERT_TRUE(in.read_exact(all).ok());
    EXPECT_EQ(all, file);
    // Back to 0, then the probe's skip and rewind; a pipe refuses the first.
    EXPECT_EQ(s->seeks, shape == Shape::pipe ? 1 : 3);
  }
}

// Without channel words the word at offset 24 is the first sample; whatever
// its value, the file opens with one channel and reads whole.
class WD2FirstSampleTest : public ::testing::TestWithParam<float> {};

TEST_P(WD2FirstSampleTest, SingleChannelFileOpens) {
  Bytes file = form_file(1);
  std::memcpy(&file[24], &GetParam(), 4);
  auto s = test::script_of(file);
  WD2Reader reader = open_ok(s);
  EXPECT_EQ(reader.probed_channels(), 1);
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(std::bit_cast<std::uint32_t>(events[0].data.data()[0]),
            std::bit_cast<std::uint32_t>(GetParam()));
  expect_record(events[3], 4, 2, 1);
}
INSTANTIATE_TEST_SUITE_P(Values, WD2FirstSampleTest,
                         ::testing::Values(+0.0f, 1.0f, -1.0f, -0.0f, 3.0e38f, -3.0e38f),
                         [](const auto& info) {
                           return "bits" + std::to_string(std::bit_cast<std::uint32_t>(info.param));
                         });

TEST(WD2ReaderTest, NegativeProbedCountPanicsInNextWithHeaderConsumed) {
  // Read without words, the second step's samples field is the high half of
  // the second record's timestamp.
  auto s = test::script_of(
      wd2({with(two(7), [](Rec& r) { r.samples = 0; r.word = -3; }),
           with(two(8), [](Rec& r) { r.samples = 0; r.word = -3; r.timestamp = 1ull << 32; })}));
  WD2Reader reader = open_ok(s);
  ASSERT_EQ(reader.probed_channels(), -3);
  EXPECT_EQ(expect_event(reader.next()).channels, -3);
  try {
    (void)reader.next();
    ADD_FAILURE() << "no panic";
  } catch (const Panic& p) {
    EXPECT_STREQ(p.what(), "capacity overflow");
  }
  EXPECT_EQ(outcome(reader.next()), "end");  // 8 bytes were left after that header
}

TEST(WD2ReaderTest, LaterChannelWordIsReportedButDoesNotSizeTheBlock) {
  auto s = test::script_of(wd2({two(1), two(2),
                                   with(two(3), [](Rec& r) { r.word = 3; r.floats = 6; }),
                                   two(4)}));
  WD2Reader reader = open_ok(s);
  ASSERT_EQ(reader.probed_channels(), 2);
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[2].channels, 3);
  expect_record(events[2], 3, 3, 2);
  expect_record(events[3], 4, 3, 2);
  EXPECT_EQ(events[3].channels, 2);
}

// The file is cut after the probe has seen all of it, at every offset:
// complete records, then end of input every time, then the rest once it
// arrives.
struct CutCase {
  std::int32_t channels;
  Shape shape;
};
class WD2TruncationTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(WD2TruncationTest, EveryCutYieldsCompleteRecordsThenEndThenTheRest) {
  const auto [channels, shape] = GetParam();
  const Bytes file = form_file(channels);
  const std::size_t header = channels >= 2 ? 28 : 24;
  std::vector<std::size_t> ends;
  for (std::uint32_t samples : {3, 3, 0, 2}) {
    ends.push_back((ends.empty() ? 0 : ends.back()) + header + 4 * samples * std::size_t(channels));
  }
  ASSERT_EQ(ends.back(), file.size());
  for (std::size_t cut = 0; cut <= file.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    auto s = test::shaped(file, shape);
    WD2Reader reader = open_ok(s);
    s->bytes.resize(cut);
    auto [events, end] = drain(reader);
    EXPECT_EQ(end, "end");
    EXPECT_EQ(events.size(), std::size_t(std::count_if(ends.begin(), ends.end(),
                                                       [&](std::size_t e) { return e <= cut; })));
    EXPECT_EQ(outcome(reader.next()), "end");
    s->append(tail(file, cut));
    auto [rest, end2] = drain(reader);
    EXPECT_EQ(end2, "end");
    events.insert(events.end(), std::make_move_iterator(rest.begin()),
                  std::make_move_iterator(rest.end()));
    expect_form_records(events, channels);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Forms, WD2TruncationTest,
    ::testing::Values(CutCase{1, Shape::regular}, CutCase{2, Shape::regular},
                      CutCase{2, Shape::trickle}, CutCase{1, Shape::unsized},
                      CutCase{8, Shape::unsized}),
    [](const auto& info) {
      return std::to_string(info.param.channels) + "ch_" + test::shape_name(info.param.shape);
    });

// A real file still being written: opened with part of it, read to its end,
// then the rest appended.
class WD2GrowthTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(WD2GrowthTest, RealFileYieldsWholeRecordsAfterTheyArrive) {
  const std::int32_t channels = GetParam().channels;
  const Bytes file = form_file(channels);
  for (std::size_t cut : {0, 10, 30, 52, 60, 80, 104, 115}) {
    if (channels >= 2 && cut < 52) continue;  // the probe needs the first record
    SCOPED_TRACE("cut at " + std::to_string(cut));
    test::TempFile tmp(head(file, cut));
    Result<WD2Reader> opened = WD2Reader::open(tmp.open());
    ASSERT_TRUE(opened.ok());
    WD2Reader reader = std::move(opened).value();
    EXPECT_EQ(reader.probed_channels(), channels);
    auto [events, end] = drain(reader);
    EXPECT_EQ(end, "end");
    EXPECT_EQ(outcome(reader.next()), "end");
    tmp.append(tail(file, cut));
    auto [rest, end2] = drain(reader);
    EXPECT_EQ(end2, "end");
    events.insert(events.end(), std::make_move_iterator(rest.begin()),
                  std::make_move_iterator(rest.end()));
    expect_form_records(events, channels);
  }
}
INSTANTIATE_TEST_SUITE_P(Forms, WD2GrowthTest,
                         ::testing::Values(CutCase{1, Shape::regular}, CutCase{2, Shape::regular}),
                         [](const auto& info) { return std::to_string(info.param.channels) + "ch"; });

// The first record's block is longer than the buffer, so the second header
// takes a read of its own.
struct ProbeFaultCase {
  int call;
  int err;
  Shape shape;
};
class WD2ProbeFaultTest : public ::testing::TestWithParam<ProbeFaultCase> {};

TEST_P(WD2ProbeFaultTest, SystemErrorFailsOpenAndClosesTheFile) {
  const auto [call, err, shape] = GetParam();
  Rec big = two(1);
  big.samples = 3000;
  Rec next = big;
  next.counter = 2;
  auto s = test::shaped(wd2({big, next}), shape);
  s->read_plan[call] = -err;
  if (err == EINTR) {
    EXPECT_EQ(open_ok(s).probed_channels(), 2);
  } else {
    expect_open_fails(s, err);
  }
}
INSTANTIATE_TEST_SUITE_P(Faults, WD2ProbeFaultTest,
                         ::testing::Values(ProbeFaultCase{1, EIO, Shape::regular},
                                           ProbeFaultCase{2, EIO, Shape::regular},
                                           ProbeFaultCase{2, EIO, Shape::unsized},
                                           ProbeFaultCase{1, EINTR, Shape::regular},
                                           ProbeFaultCase{2, EINTR, Shape::regular}),
                         [](const auto& info) {
                           return test::errno_name(info.param.err) + "_at_read" +
                                  std::to_string(info.param.call) + "_" +
                                  test::shape_name(info.param.shape);
                         });

TEST(WD2ReaderTest, FailedRewindFailsOpen) {
  auto s = test::script_of(form_file(2));
  s->seek_plan[1] = EIO;
  expect_open_fails(s, EIO);
}

TEST(WD2ReaderTest, InputThatCannotSeekFailsOpen) {
  expect_open_fails(test::shaped(form_file(2), Shape::pipe), ESPIPE);
}

TEST(WD2ReaderTest, DirectoryFailsOpen) {
  std::string dir = test::temp_root() + "/vorn-test-XXXXXX";
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
  auto file = open_file(dir.c_str());
  ASSERT_TRUE(file.ok());
  Result<WD2Reader> r = WD2Reader::open(BufReader(std::move(file).value()));
  rmdir(dir.c_str());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().code, EISDIR);
}

// An input error from next is not remembered: the reader stays usable and
// the next step reads again.
TEST(WD2ReaderTest, ErrorInHeaderLeavesTheRecordToTheNextStep) {
  auto s = test::script_of(form_file(2));
  WD2Reader reader = open_ok(s);
  s->fail_next_read(EIO);
  test::expect_error(reader.next(), EIO);
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  expect_form_records(events, 2);
}

TEST(WD2ReaderTest, ErrorInBlockIsReportedAndReadingGoesOn) {
  Rec big = two(1);
  big.samples = 3000;
  Rec next = big;
  next.counter = 2;
  auto s = test::script_of(wd2({big, next}));
  WD2Reader reader = open_ok(s);
  s->read_plan[s->reads + 2] = -EIO;  // the refill for the header, then the block
  test::expect_error(reader.next(), EIO);
  const int reads = s->reads;
  EXPECT_NE(outcome(reader.next()), "error 5");
  EXPECT_GT(s->reads, reads);
}

class WD2BitsTest : public ::testing::TestWithParam<std::int32_t> {};

TEST_P(WD2BitsTest, SamplesArriveBitForBit) {
  const std::uint32_t bits[] = {0x7fc00001, 0x7f800001, 0xffc12345, 0xff800000,
                                0x80000000, 0x00000001, 0x807fffff, 0x7f7fffff};
  const std::int32_t channels = GetParam();
  Bytes file;
  for (std::uint32_t counter : {1u, 2u}) {
    Rec r = two(counter);
    r.samples = 8 / std::uint32_t(channels);
    if (channels == 1) r.word.reset();
    Bytes rec = wd2(r);
    for (std::size_t i = 0; i < 8; ++i) std::memcpy(&rec[rec.size() - 32 + 4 * i], &bits[i], 4);
    file = cat(std::move(file), rec);
  }
  auto s = test::script_of(file);
  WD2Reader reader = open_ok(s);
  ASSERT_EQ(reader.probed_channels(), channels);
  for (int i = 0; i < 2; ++i) {
    WD2Event ev = expect_event(reader.next());
    ASSERT_EQ(ev.data.size(), 8u);
    EXPECT_EQ(std::memcmp(ev.data.data(), bits, sizeof bits), 0);
  }
}
INSTANTIATE_TEST_SUITE_P(Channels, WD2BitsTest, ::testing::Values(1, 2));

// A header asking for 4294967295 × 2 floats in a small file: end of input,
// and nothing of that size reserved first.
class WD2HugeBlockTest : public ::testing::TestWithParam<Shape> {};

TEST_P(WD2HugeBlockTest, EndsWithoutBigReservation) {
  Bytes file = wd2({two(1), two(2), {.counter = 3, .samples = 0xffffffffu, .word = 2, .floats = 0}});
  file.resize(file.size() + 1000, 0x11);
  auto s = test::shaped(file, GetParam());
  WD2Reader reader = open_ok(s);
  const std::uint64_t peak = test::peak_virtual_bytes();
  auto [events, end] = drain(reader);
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(end, "end");
  EXPECT_EQ(outcome(reader.next()), "end");
  EXPECT_LT(test::peak_virtual_bytes() - peak, test::kBigReservation);
  EXPECT_LE(s->largest_request(), std::size_t(1) << 20);
}
INSTANTIATE_TEST_SUITE_P(Shapes, WD2HugeBlockTest,
                         ::testing::Values(Shape::regular, Shape::unsized),
                         [](const auto& info) { return test::shape_name(info.param); });

class WD2InterruptTest : public ::testing::TestWithParam<CutCase> {};

TEST_P(WD2InterruptTest, InterruptedStepLeavesTheRecordWhole) {
  const std::int32_t channels = GetParam().channels;
  std::optional<std::int32_t> word;
  if (channels >= 2) word = channels;
  const Bytes file = wd2({{.counter = 1, .samples = 1100, .word = word},
                          {.counter = 2, .samples = 1100, .word = word},
                          {.counter = 3, .samples = 0, .word = word}});
  test::interrupt_each_read(file, GetParam().shape, open_ok, [&](const std::vector<WD2Event>& events) {
    ASSERT_EQ(events.size(), 3u);
    expect_record(events[0], 1, 1100, channels);
    expect_record(events[1], 2, 1100, channels);
    expect_record(events[2], 3, 0, channels);
  });
}
INSTANTIATE_TEST_SUITE_P(Forms, WD2InterruptTest,
                         ::testing::Values(CutCase{1, Shape::regular}, CutCase{2, Shape::trickle},
                                           CutCase{2, Shape::unsized}),
                         [](const auto& info) {
                           return std::to_string(info.param.channels) + "ch_" +
                                  test::shape_name(info.param.shape);
                         });

// Regression: a 2-channel file whose reported size lags behind its content
// was probed as single-channel and gave a bogus event.
class WD2LaggingSizeTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(WD2LaggingSizeTest, ProbeAndRecordsSeeTheContent) {
  auto s = test::script_of(wd2({{.counter = 1, .samples = 2000, .word = 2},
                                {.counter = 2, .samples = 2000, .word = 2}}));
  s->reported_size = GetParam();
  WD2Reader reader = open_ok(s);
  EXPECT_EQ(reader.probed_channels(), 2);
  auto [events, end] = drain(reader);
  EXPECT_EQ(end, "end");
  ASSERT_EQ(events.size(), 2u);
  expect_record(events[0], 1, 2000, 2);
  expect_record(events[1], 2, 2000, 2);
}
INSTANTIATE_TEST_SUITE_P(Reported, WD2LaggingSizeTest, ::testing::Values(0u, 4096u));

// Regression: on a device that refuses seeks past its end, the probe read
// the whole device to skip a block the first header implied.
TEST(WD2ReaderTest, ProbeOnADeviceNeverReadsTheSkippedBlock) {
  Bytes file = wd2({{.counter = 1, .samples = 1 << 30, .word = 1000, .floats = 4}});
  file.resize(64 << 20);
  auto s = test::script_of(file);
  s->size_known = false;
  s->refuses_past_end = true;
  WD2Reader reader = open_ok(s);
  EXPECT_EQ(reader.probed_channels(), 1);
  EXPECT_LE(s->reads, 2);
}

}  // namespace
}  // namespace vorn
