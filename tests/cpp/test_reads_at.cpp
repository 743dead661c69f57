// Reads at offsets over a scripted source: the paths that run on threads
// (reads in parts, a scan's headers, picks) through EINTR, short reads and
// input errors, against the same reads made one by one through the buffer.
#include <gtest/gtest.h>

#include <functional>

#include "batch_decoder.hpp"
#include "scripted_source.hpp"
#include "threads.hpp"

namespace vorn {
namespace {

using test::Bytes;
using test::Script;

enum class Path { parts, headers, pick };

struct Case {
  const char* name;
  Path path;
  std::uint32_t records;
  std::uint32_t samples;  // of each record: its block is twice as many bytes
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

Bytes wd1_file(const Case& c) {
  Bytes b;
  for (std::uint32_t i = 0; i < c.records; ++i) {
    for (std::uint32_t v : {24 + 2 * c.samples, 7u, 0u, i % 3, i, 10 * i}) test::put_u32(b, v);
    const Bytes block = test::pattern(2 * c.samples + i % 5);
    b.insert(b.end(), block.begin() + i % 5, block.end());
  }
  return b;
}

// A record as a batch gives it: its header's values, then its sample bytes
// (a scan: its position).
struct Rec {
  std::vector<std::uint64_t> fields;
  Bytes tail;
  bool operator==(const Rec&) const = default;
};

struct Outcome {
  std::vector<Rec> records;
  Stop stop = Stop::limit;
  int error = 0;
  bool operator==(const Outcome&) const = default;
};

void PrintTo(const Outcome& o, std::ostream* os) {
  *os << o.records.size() << " records, stop " << int(o.stop) << ", errno " << o.error;
}

void collect(const BatchDecoder& d, const BatchMemory& m, const BatchResult& r, bool scan,
             Outcome& out) {
  const auto* offsets = reinterpret_cast<const std::int64_t*>(m.offsets.data());
  for (std::uint64_t i = 0; i < r.events; ++i) {
    Rec rec;
    for (int k = 0; k < d.columns(); ++k) {
      std::uint64_t v = 0;
      std::memcpy(&v, m.columns[std::size_t(k)].data() + i * d.column_width(k), d.column_width(k));
      rec.fields.push_back(v);
    }
    if (scan) {
      test::put_u64(rec.tail, std::uint64_t(offsets[i]));
    } else {
      const std::size_t w = d.sample_width();
      rec.tail.assign(m.samples.data() + std::size_t(offsets[i]) * w,
                      m.samples.data() + std::size_t(offsets[i + 1]) * w);
    }
    out.records.push_back(std::move(rec));
  }
  out.stop = r.stop;
  out.error = r.stop == Stop::error ? r.error.code : 0;
}

// Decodes or scans the file to its end, or picks its records i % 3 != 1.
Outcome read_all(const std::shared_ptr<Script>& s, const Case& c) {
  Result<BatchDecoder> opened =
      BatchDecoder::open(std::make_unique<test::ScriptedSource>(s), WD1::kDesc);
  EXPECT_TRUE(opened.ok());
  BatchDecoder& d = opened.value();
  Outcome out;
  BatchMemory m;
  if (c.path == Path::pick) {
    const std::uint64_t record = 24 + 2 * std::uint64_t(c.samples);
    std::vector<Extent> extents;
    for (std::uint64_t i = 0; i < c.records; ++i) {
      if (i % 3 != 1) extents.push_back({i * record, record});
    }
    collect(d, m, d.pick(m, extents), false, out);
    return out;
  }
  for (;;) {
    const bool scan = c.path == Path::headers;
    const BatchResult r = scan ? d.scan(&m, {}) : d.decode(m, {});
    collect(d, m, r, scan, out);
    if (r.stop != Stop::limit) return out;
  }
}

class ReadsAtTest : public ::testing::TestWithParam<Case> {};

// Regression: an EINTR at an offset ended a pick in that error, and ended a
// run in parts or of headers early; no work on a thread may ask the reader's
// owner whether to go on (resume_after_interrupt), since that unwinds.
TEST_P(ReadsAtTest, FaultsAtOffsetsGiveWhatReadsThroughTheBufferGive) {
  if (usable_cpus() < 2) GTEST_SKIP() << "reads at offsets run on threads only with two CPUs";
  const Case& c = GetParam();
  const Bytes file = wd1_file(c);
  const Outcome model = read_all(test::script_of(file), c);
  ASSERT_EQ(model.records.size(), c.path == Path::pick ? c.records - c.records / 3 : c.records);
  const auto script = [&](const std::function<void(Script&)>& fault) {
    auto s = test::script_of(file);
    s->reads_at = true;
    s->resume = false;
    fault(*s);
    return s;
  };
  const auto clean = script([](Script&) {});
  EXPECT_EQ(read_all(clean, c), model);
  EXPECT_GT(clean->at_reads, 0);
  for (int k : {1, 2, 7, 100}) {
    SCOPED_TRACE("EINTR at read_at " + std::to_string(k));
    const auto s = script([&](Script& t) { t.at_plan[k] = -EINTR; });
    EXPECT_EQ(read_all(s, c), model);
    EXPECT_EQ(s->reads, clean->reads) << "a run of reads at offsets ended early";
    EXPECT_EQ(s->interrupts, 0);
  }
  for (std::size_t chunk : {std::size_t(7), std::size_t(4999)}) {
    SCOPED_TRACE("read_at delivers at most " + std::to_string(chunk));
    EXPECT_EQ(read_all(script([&](Script& t) { t.at_chunk = chunk; }), c), model);
  }
  SCOPED_TRACE("EIO at read_at 3");
  Outcome failed = read_all(script([](Script& t) { t.at_plan[3] = -EIO; }), c);
  if (c.path != Path::pick) {
    // Runs at offsets end there; the general step reads on through the buffer.
    EXPECT_EQ(failed, model);
  } else {
    EXPECT_EQ(failed.stop, Stop::error);
    EXPECT_EQ(failed.error, EIO);
    ASSERT_LT(failed.records.size(), model.records.size());
    EXPECT_TRUE(std::equal(failed.records.begin(), failed.records.end(), model.records.begin()));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Paths, ReadsAtTest,
    ::testing::Values(Case{"parts_staged", Path::parts, 60000, 8},
                      Case{"parts_compact", Path::parts, 1000, 1024},
                      Case{"parts_scattered", Path::parts, 300, 4096},
                      Case{"headers", Path::headers, 2200, 2048},
                      Case{"pick", Path::pick, 60000, 8},
                      Case{"pick_long", Path::pick, 300, 4096}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorn
