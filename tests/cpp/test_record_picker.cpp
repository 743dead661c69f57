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
using test::put_u64;

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

BatchDecoder open_on(const std::shared_ptr<test::Script>& s, const LayoutDesc& layout) {
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
    BatchDecoder d = open_on(s, WD1::kDesc);
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


struct File {
  Bytes bytes;
  std::vector<Extent> records;
};
File wd1_file(std::initializer_list<std::uint32_t> sample_counts) {
  File f;
  std::uint32_t i = 0;
  for (std::uint32_t n : sample_counts) {
    f.records.push_back({f.bytes.size(), 24 + 2 * std::uint64_t(n)});
    f.bytes = test::cat(std::move(f.bytes), wd1(i++, n));
  }
  return f;
}

class BatchDecoderPickTest : public ::testing::Test {
 protected:
  // Picks `chosen` records of `f` and checks them against their bytes.
  BatchResult pick_and_check(const File& f, std::vector<std::size_t> chosen) {
    script_ = test::script_of(f.bytes);
    BatchDecoder d = open_on(script_, WD1::kDesc);
    std::vector<Extent> extents;
    for (std::size_t i : chosen) extents.push_back(f.records[i]);
    BatchResult r = d.pick(memory_, extents);
    EXPECT_EQ(r.stop, Stop::limit);
    EXPECT_EQ(r.events, chosen.size());
    const auto* offsets = reinterpret_cast<const std::int64_t*>(memory_.offsets.data());
    for (std::size_t e = 0; e < r.events; ++e) {
      const std::uint32_t i = std::uint32_t(chosen[e]);
      EXPECT_EQ(column_i32(memory_, 4, e), std::int32_t(i));
      EXPECT_EQ(column_i32(memory_, 3, e), std::int32_t(i % 3));
      const std::uint64_t n = (f.records[i].bytes - 24) / 2;
      EXPECT_EQ(std::uint64_t(offsets[e + 1] - offsets[e]), n);
      const std::uint8_t* s = memory_.samples.data() + 2 * offsets[e];
      for (std::uint64_t k = 0; k < n; ++k) {
        EXPECT_EQ(std::uint16_t(s[2 * k] | s[2 * k + 1] << 8), std::uint16_t(i * 1000 + k));
      }
    }
    return r;
  }
  std::size_t bytes_requested() const {
    return std::accumulate(script_->requests.begin(), script_->requests.end(), std::size_t(0));
  }

  std::shared_ptr<test::Script> script_;
  BatchMemory memory_;
};

TEST_F(BatchDecoderPickTest, ReadsTheChosenRecordsAndNoByteBetweenThem) {
  const File f = wd1_file({5, 0, 700, 3, 3, 9000, 1, 2, 40});
  pick_and_check(f, {1, 2, 3, 5, 8});
  // The probe of the layout reads nothing for WD1: every byte asked for is a chosen one.
  EXPECT_EQ(bytes_requested(), f.records[1].bytes + f.records[2].bytes + f.records[3].bytes +
                                   f.records[5].bytes + f.records[8].bytes);
}

TEST_F(BatchDecoderPickTest, NothingChosenReadsNothing) {
  pick_and_check(wd1_file({5, 6}), {});
  EXPECT_EQ(bytes_requested(), 0u);
}

TEST_F(BatchDecoderPickTest, RunsLongerThanOneScatteredReadContinueInTheNext) {
  std::vector<std::size_t> all(1300);
  std::iota(all.begin(), all.end(), 0);
  File f;
  for (std::uint32_t i = 0; i < 1300; ++i) {
    f.records.push_back({f.bytes.size(), 24 + 2 * std::uint64_t(i % 4)});
    f.bytes = test::cat(std::move(f.bytes), wd1(i, i % 4));
  }
  pick_and_check(f, all);
}

TEST_F(BatchDecoderPickTest, ShortReadsAreContinued) {
  const File f = wd1_file({100, 3, 50});
  script_ = test::script_of(f.bytes);
  script_->chunk = 7;
  BatchDecoder d = open_on(script_, WD1::kDesc);
  BatchResult r = d.pick(memory_, f.records);
  EXPECT_EQ(r.stop, Stop::limit);
  EXPECT_EQ(r.events, 3u);
  EXPECT_EQ(r.samples, 153u);
}

// An index of another file: each way it can disagree with this one.
TEST_F(BatchDecoderPickTest, ExtentsThatDoNotFitTheFileAreAMismatch) {
  const File f = wd1_file({5, 6, 7});
  struct Case {
    const char* what;
    std::vector<Extent> extents;
    std::uint64_t at;
    std::uint64_t events;
  };
  const std::vector<Case> cases = {
      {"a length the header does not give", {f.records[0], {f.records[1].position, 30}}, f.records[1].position, 1},
      {"a record starting elsewhere", {{f.records[1].position + 2, f.records[1].bytes}}, f.records[1].position + 2, 0},
      {"out of order", {f.records[1], f.records[0]}, f.records[0].position, 0},
      {"overlapping", {{0, 40}, {30, 24}}, 30, 0},
      {"shorter than a header", {{0, 20}}, 0, 0},
      {"past the end", {f.records[2], {f.bytes.size(), 24}}, f.bytes.size(), 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BatchMemory m;
    auto s = test::script_of(f.bytes);
    BatchDecoder d = open_on(s, WD1::kDesc);
    BatchResult r = d.pick(m, c.extents);
    EXPECT_EQ(r.stop, Stop::mismatch);
    EXPECT_EQ(r.corrupt_at, c.at);
    EXPECT_EQ(r.events, c.events);
  }
}

TEST_F(BatchDecoderPickTest, AFileThatShrankIsAMismatchAndAnInputErrorAnError) {
  const File f = wd1_file({5, 6, 7});
  auto s = test::script_of(f.bytes);
  s->reported_size = f.bytes.size();
  s->bytes.resize(f.records[2].position + 10);  // cut inside the last record
  BatchDecoder d = open_on(s, WD1::kDesc);
  BatchResult r = d.pick(memory_, f.records);
  EXPECT_EQ(r.stop, Stop::mismatch);
  // The run of three is read as one; the record the file now cuts differs.
  EXPECT_EQ(r.corrupt_at, f.records[2].position);
  EXPECT_EQ(r.events, 2u);

  auto broken = test::script_of(f.bytes);
  broken->fail_next_read(EIO);
  BatchDecoder e = open_on(broken, WD1::kDesc);
  BatchMemory m;
  r = e.pick(m, std::vector<Extent>{f.records[1]});
  EXPECT_EQ(r.stop, Stop::error);
  EXPECT_EQ(r.error.code, EIO);
}

TEST_F(BatchDecoderPickTest, WD2RecordsWithAChannelWordKeepItAsTheirChannels) {
  Bytes b;
  std::vector<Extent> records;
  for (std::uint32_t i = 0; i < 4; ++i) {
    records.push_back({b.size(), 28 + 2 * 3 * 4});
    put_u32(b, 50 + i);
    put_u64(b, 9 * i);
    put_u32(b, 3);
    put_u64(b, 200);
    put_u32(b, 2);
    for (std::uint32_t k = 0; k < 6; ++k) test::put_f32(b, float(i * 10 + k));
  }
  auto s = test::script_of(b);
  BatchDecoder d = open_on(s, WD2::kDesc);
  ASSERT_EQ(d.channels(), 2);
  BatchResult r = d.pick(memory_, std::vector<Extent>{records[1], records[3]});
  ASSERT_EQ(r.stop, Stop::limit);
  ASSERT_EQ(r.samples, 12u);
  EXPECT_EQ(column_i32(memory_, 0, 1), 53);
  EXPECT_EQ(column_i32(memory_, 4, 0), 2);
  float last;
  std::memcpy(&last, memory_.samples.data() + 4 * 11, 4);
  EXPECT_EQ(last, 35.0f);
}

// A pipe or a decompressed stream: runs in order are read forward, one
// behind the decoder's position is refused.
TEST_F(BatchDecoderPickTest, InputThatCannotSeekIsReadForward) {
  const File f = wd1_file({5, 0, 700, 3, 3, 9000, 1});
  script_ = test::shaped(f.bytes, test::Shape::pipe);
  script_->chunk = 7;
  BatchDecoder d = open_on(script_, WD1::kDesc);
  BatchResult r = d.pick(memory_, std::vector<Extent>{f.records[1], f.records[2], f.records[5]});
  EXPECT_EQ(r.stop, Stop::limit);
  EXPECT_EQ(r.samples, 9700u);
  BatchMemory m;
  r = d.pick(m, std::vector<Extent>{f.records[0]});
  EXPECT_EQ(r.stop, Stop::error);
  EXPECT_EQ(r.error.code, ESPIPE);
}

}  // namespace
}  // namespace vorn
