// BatchDecoder over scripted sources: batches cut short by a signal give the
// records of one uninterrupted walk; the memory a batch keeps.
#include <gtest/gtest.h>

#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "batch_decoder.hpp"
#include "scripted_source.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::cat;
using test::put_u32;
using test::put_u64;
using test::Shape;

Bytes wd1_record(std::int32_t counter, std::size_t n) {
  Bytes b;
  for (std::int32_t v : {std::int32_t(24 + 2 * n), 1, 2, 3, counter, 5}) put_u32(b, std::uint32_t(v));
  const Bytes block = test::pattern(2 * n);
  return cat(b, block);
}

// One record as a batch holds it: its header values, then its position
// (scan) or its sample bytes (decode).
struct Rec {
  std::vector<std::uint64_t> fields;
  std::uint64_t position = 0;
  Bytes samples;
  bool operator==(const Rec&) const = default;
};

void PrintTo(const Rec& r, std::ostream* os) {
  *os << "{counter " << (r.fields.size() > 4 ? r.fields[4] : 0) << ", at " << r.position << ", "
      << r.samples.size() << " sample bytes}";
}

enum class Mode { decode, scan };

// Appends the records of one batch to `out`.
void collect(const BatchDecoder& d, const BatchMemory& m, const BatchResult& r, Mode mode,
             std::vector<Rec>& out) {
  const auto* offsets = reinterpret_cast<const std::int64_t*>(m.offsets.data());
  for (std::uint64_t i = 0; i < r.events; ++i) {
    Rec rec;
    for (int k = 0; k < d.columns(); ++k) {
      std::uint64_t v = 0;
      std::memcpy(&v, m.columns[std::size_t(k)].data() + i * d.column_width(k), d.column_width(k));
      rec.fields.push_back(v);
    }
    if (mode == Mode::scan) {
      rec.position = std::uint64_t(offsets[i]);
    } else {
      const std::size_t w = d.sample_width();
      rec.samples.assign(m.samples.data() + std::size_t(offsets[i]) * w,
                         m.samples.data() + std::size_t(offsets[i + 1]) * w);
    }
    out.push_back(std::move(rec));
  }
}

BatchDecoder open_on(const std::shared_ptr<test::Script>& s) {
  // A small buffer, so that long blocks run past it.
  Result<BatchDecoder> d = BatchDecoder::open(std::make_unique<test::ScriptedSource>(s), WD1::kDesc, 4096);
  EXPECT_TRUE(d.ok());
  return std::move(d).value();
}

// Walks `s` to its end in batches: the records, and how many batches stopped
// for a signal.
std::pair<std::vector<Rec>, int> walk(BatchDecoder& d, Mode mode) {
  std::vector<Rec> out;
  int interrupted = 0;
  for (;;) {
    BatchMemory m;
    const BatchResult r = mode == Mode::scan ? d.scan(&m, {}) : d.decode(m, {});
    collect(d, m, r, mode, out);
    if (r.stop == Stop::error) {
      EXPECT_EQ(r.error.kind, IoError::Kind::interrupted);
      if (++interrupted > 1) break;
      continue;
    }
    if (r.stop != Stop::limit) break;
  }
  return {out, interrupted};
}

struct InterruptCase {
  Shape shape;
  Mode mode;
};
class BatchInterruptTest : public ::testing::TestWithParam<InterruptCase> {};

// Regression: a scan of a pipe interrupted inside a block that runs past the
// buffer gave back the header alone, so the bytes of the block read so far
// were lost and the walk went on from inside the record.
TEST_P(BatchInterruptTest, InterruptedBatchLeavesTheRecordWhole) {
  const auto [shape, mode] = GetParam();
  const Bytes file = cat(cat(wd1_record(1, 3), wd1_record(2, 9000)), wd1_record(3, 0));
  BatchDecoder whole = open_on(test::script_of(file));
  const auto [expected, none] = walk(whole, mode);
  ASSERT_EQ(expected.size(), 3u);
  for (int k = 1;; ++k) {
    SCOPED_TRACE("interrupt at read " + std::to_string(k));
    auto s = test::shaped(file, shape);
    s->resume = false;
    BatchDecoder d = open_on(s);
    s->read_plan[s->reads + k] = -EINTR;
    const auto [records, interrupted] = walk(d, mode);
    EXPECT_LE(interrupted, 1);
    EXPECT_EQ(records, expected);
    if (interrupted == 0) return;
  }
}
INSTANTIATE_TEST_SUITE_P(Shapes, BatchInterruptTest,
                         ::testing::Values(InterruptCase{Shape::regular, Mode::decode},
                                           InterruptCase{Shape::regular, Mode::scan},
                                           InterruptCase{Shape::trickle, Mode::decode},
                                           InterruptCase{Shape::pipe, Mode::decode},
                                           InterruptCase{Shape::pipe, Mode::scan}),
                         [](const auto& info) {
                           return std::string(test::shape_name(info.param.shape)) +
                                  (info.param.mode == Mode::scan ? "_scan" : "_decode");
                         });

// `n` single-channel WD2 records without samples: 24 bytes each.
Bytes wd2_headers(std::uint32_t n) {
  Bytes b;
  for (std::uint32_t i = 1; i <= n; ++i) {
    put_u32(b, i);
    put_u64(b, 0);
    put_u32(b, 0);
    put_u64(b, 8);
  }
  return b;
}

std::size_t pages(std::size_t bytes) {
  const auto page = std::size_t(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

// Regression: pooled memory was trimmed for 28-byte WD2 headers, fewer
// records than a batch of 24-byte single-channel records holds, so that
// every batch had to grow its columns again.
TEST(BatchPoolTest, KeepsWhatABatchOfSingleChannelWD2Uses) {
  Result<BatchDecoder> opened =
      BatchDecoder::open(std::make_unique<test::ScriptedSource>(test::script_of(wd2_headers(1100))), WD2::kDesc);
  ASSERT_TRUE(opened.ok());
  BatchDecoder& d = opened.value();
  ASSERT_EQ(d.header_size(), 24u);
  const Limits limits{.max_bytes = 1100 * 24};
  BatchPool pool(d, limits);
  std::unique_ptr<BatchMemory> m = pool.take();
  ASSERT_EQ(d.decode(*m, limits).events, 1100u);
  pool.give(std::move(m));
  m = pool.take();
  for (int k = 0; k < d.columns(); ++k) EXPECT_GE(m->columns[std::size_t(k)].capacity(), 1100 * d.column_width(k));
  EXPECT_GE(m->offsets.capacity(), 1101u * 8);
}

TEST(BatchMemoryTest, TrimKeepsWhatTheBatchUsedInEachColumn) {
  auto s = test::script_of(cat(cat(wd1_record(1, 3000), wd1_record(2, 3)), wd1_record(3, 0)));
  s->reported_size = 1 << 20;  // sizes the first guesses far beyond the records
  BatchDecoder d = open_on(s);
  BatchMemory m;
  const BatchResult r = d.decode(m, {});
  ASSERT_EQ(r.events, 3u);
  m.trim_to(r, d.description());
  for (int k = 0; k < d.columns(); ++k) EXPECT_EQ(m.columns[std::size_t(k)].capacity(), pages(3 * 4));
  EXPECT_EQ(m.samples.capacity(), pages(3003 * 2));
  EXPECT_EQ(m.offsets.capacity(), pages(4 * 8));
}


// Memory of `pages_each` pages in each of its offsets and samples.
std::unique_ptr<BatchMemory> memory_of_pages(std::size_t pages_each) {
  auto m = std::make_unique<BatchMemory>();
  const std::size_t bytes = pages(1) * pages_each;
  EXPECT_TRUE(m->samples.reserve(bytes) && m->offsets.reserve(bytes));
  return m;
}

// A fork while another thread gave memory back left the child a lock held by
// a thread it does not have, and its next give waited on it forever.
TEST(SpareMemoryTest, AChildForkedWhileMemoryIsGivenBackCanGiveItToo) {
  SpareMemory spare(std::size_t(1) << 30, std::chrono::hours(1));
  std::atomic<bool> stop{false};
  std::thread giver([&] {
    while (!stop) spare.give(spare.take());
  });
  spare.give(memory_of_pages(1));
  for (int i = 0; i < 100; ++i) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      spare.give(memory_of_pages(1));
      _exit(0);
    }
    int status = 0;
    pid_t done = 0;
    for (int ms = 0; ms < 5000 && done == 0; ++ms) {
      done = waitpid(child, &status, WNOHANG);
      if (done == 0) usleep(1000);
    }
    if (done == 0) {
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
    }
    ASSERT_EQ(done, child) << "fork " << i << ": the child waited on the lock";
  }
  stop = true;
  giver.join();
}

TEST(SpareMemoryTest, HandsBackTheLastGivenWithinItsBounds) {
  const std::size_t page = pages(1);
  SpareMemory spare(10 * page, std::chrono::hours(1));
  EXPECT_EQ(spare.take()->bytes(), 0u);  // nothing kept: new memory

  // The last given comes back first, its pages as they were.
  auto a = memory_of_pages(1), b = memory_of_pages(2);
  a->samples.data()[0] = 7;
  BatchMemory* first = a.get();
  BatchMemory* second = b.get();
  spare.give(std::move(a));
  spare.give(std::move(b));
  EXPECT_EQ(spare.bytes(), 6 * page);
  EXPECT_EQ(spare.take().get(), second);
  std::unique_ptr<BatchMemory> again = spare.take();
  ASSERT_EQ(again.get(), first);
  EXPECT_EQ(again->samples.data()[0], 7);
  EXPECT_EQ(spare.bytes(), 0u);

  // At most kKept, oldest dropped first; the cap holds; too large is not kept.
  for (std::size_t i = 0; i <= SpareMemory::kKept; ++i) spare.give(memory_of_pages(1));
  EXPECT_EQ(spare.bytes(), SpareMemory::kKept * 2 * page);
  spare.give(memory_of_pages(4));  // 8 pages: the cap drops the oldest to make room
  EXPECT_EQ(spare.bytes(), 10 * page);
  spare.give(memory_of_pages(6));  // 12 pages: beyond the cap, freed at once
  EXPECT_EQ(spare.bytes(), 10 * page);

  // A taker gets the largest within what it asks for.
  EXPECT_EQ(spare.take(4 * page)->bytes(), 2 * page);
  EXPECT_EQ(spare.take()->bytes(), 8 * page);
  EXPECT_EQ(spare.take(page)->bytes(), 0u);  // none so small: new memory
  EXPECT_EQ(spare.release(), 0u);
  EXPECT_EQ(spare.bytes(), 0u);
  EXPECT_EQ(spare.release(), 0u);
}

TEST(SpareMemoryTest, APoolStartsFromSpareMemoryTrimmedAndLeavesItsOwnThere) {
  BatchDecoder d = open_on(test::script_of(wd1_record(1, 3)));
  auto spare = std::make_shared<SpareMemory>(std::size_t(1) << 30, std::chrono::hours(1));
  spare->give(memory_of_pages(1));
  spare->give(memory_of_pages(4096));  // a whole read's: left for a read
  BatchMemory* given = nullptr;
  {
    BatchPool pool(d, Limits{.max_events = 4, .max_bytes = pages(1)}, spare);
    std::unique_ptr<BatchMemory> m = pool.take();
    given = m.get();
    EXPECT_EQ(spare->bytes(), 8192 * pages(1));
    EXPECT_LE(m->bytes(), 4 * pages(1));  // trimmed to a batch under the pool's limits
    pool.give(std::move(m));
  }
  EXPECT_GT(spare->bytes(), 8192 * pages(1));
  EXPECT_EQ(spare->take(2 * pages(1)).get(), given);
}

TEST(SpareMemoryTest, APoolLeavesMemoryOfMoreThanTwoOfItsBatches) {
  // A batch under these limits holds 4 records (4 * (24 + 8) bytes of
  // columns and offsets) and a page of samples: four pages would be cut down.
  BatchDecoder d = open_on(test::script_of(wd1_record(1, 3)));
  auto spare = std::make_shared<SpareMemory>(std::size_t(1) << 30, std::chrono::hours(1));
  spare->give(memory_of_pages(2));
  BatchPool pool(d, Limits{.max_events = 4, .max_bytes = pages(1)}, spare);
  EXPECT_EQ(pool.take()->bytes(), 0u);
  EXPECT_EQ(spare->bytes(), 4 * pages(1));
}

TEST(BatchDecoderTest, ReleaseStagesFreesWhatReadsInPartsKeep) {
  // 2 MB of 24-byte records in a file: read in parts where two CPUs can be
  // had, each through a stage that is kept for the next read.
  Bytes file;
  for (std::int32_t i = 0; i < 90000; ++i) {
    const Bytes record = wd1_record(i, 0);
    file.insert(file.end(), record.begin(), record.end());
  }
  test::TempFile tmp(file);
  (void)release_stages();
  for (int pass = 0; pass < 2; ++pass) {
    Result<std::unique_ptr<Source>> f = open_file(tmp.path());
    ASSERT_TRUE(f.ok());
    Result<BatchDecoder> d = BatchDecoder::open(std::move(f).value(), WD1::kDesc);
    ASSERT_TRUE(d.ok());
    BatchMemory m;
    const BatchResult r = d.value().decode(m, Limits{});
    EXPECT_EQ(r.events, 90000u);
    const auto* counters = reinterpret_cast<const std::int32_t*>(m.columns[4].data());
    EXPECT_EQ(counters[45000], 45000);
  }
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) >= 2) {
    EXPECT_GT(release_stages(), 0u);
  }
  EXPECT_EQ(release_stages(), 0u);
}

TEST(SpareMemoryTest, FreesWhatWasNotReusedInTime) {
  SpareMemory spare(std::size_t(1) << 30, std::chrono::milliseconds(0));
  spare.give(memory_of_pages(1));
  EXPECT_EQ(spare.take()->bytes(), 0u);  // idle too long by the next call: freed, not handed out
  EXPECT_EQ(spare.bytes(), 0u);
}

}  // namespace
}  // namespace vorn
