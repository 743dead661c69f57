// reduce_walk against decode(): the same batches, header columns and
// features as decoding whole batches and reducing their samples, whatever
// the limits, the record sizes and where the records end.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "batch_decoder.hpp"
#include "reduce.hpp"
#include "scripted_source.hpp"

namespace vorn {
namespace {

using test::Bytes;

Bytes wd1_record(std::uint32_t counter, std::size_t n, std::mt19937& rng) {
  Bytes b;
  for (std::uint32_t v : {std::uint32_t(24 + 2 * n), 1u, 2u, 3u, counter, 5u}) test::put_u32(b, v);
  std::uniform_int_distribution<int> sample(0, 65535);
  for (std::size_t i = 0; i < n; ++i) {
    const auto v = std::uint16_t(sample(rng));
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
  }
  return b;
}

// A batch as bytes: its events, header columns and features, and how it ended.
struct Seen {
  std::uint64_t events;
  Stop stop;
  std::uint64_t corrupt_at;
  Bytes columns, features;
  bool operator==(const Seen&) const = default;
};

Seen seen(const BatchMemory& m, const BatchResult& r, const Reduction& red) {
  Seen s{r.events, r.stop, r.corrupt_at, {}, {}};
  const LayoutDesc& layout = red.layout();
  for (std::size_t k = 0; k < layout.fields.size(); ++k) {
    const std::uint8_t* p = m.columns[k].data();
    s.columns.insert(s.columns.end(), p, p + r.events * type_width(layout.fields[k].type));
  }
  for (int f = 0; f < kFeatureCount; ++f) {
    if (!red.features().has(Feature(f))) continue;
    const std::uint8_t* p = m.features[std::size_t(f)].data();
    s.features.insert(s.features.end(), p, p + r.events * feature_width(Feature(f)));
  }
  return s;
}

BatchDecoder open_on(const Bytes& file) {
  Result<BatchDecoder> d =
      BatchDecoder::open(std::make_unique<test::ScriptedSource>(test::script_of(file)), WD1::kDesc);
  EXPECT_TRUE(d.ok());
  return std::move(d).value();
}

TEST(ReduceWalkTest, GivesTheBatchesOfDecodeWithTheirSamplesReduced) {
  FeatureSpec spec;
  spec.polarity = -1;
  spec.trapezoid = Trapezoid{8, 4};
  spec.decay = 50.0;
  std::mt19937 rng(7);
  for (int trial = 0; trial < 24; ++trial) {
    SCOPED_TRACE("trial " + std::to_string(trial));
    // Sizes from none to records past a stage's bytes; sometimes a corrupt
    // record, sometimes a record cut short at the end.
    const std::size_t sizes[] = {0, 7, 100, 1024, 40000, 140000};
    auto size = [&] { return sizes[rng() % 20 == 0 ? 5 : rng() % 5]; };
    Bytes file;
    const int records = std::uniform_int_distribution<int>(1, 120)(rng);
    const std::size_t fixed = size();
    for (int i = 0; i < records; ++i) {
      file = test::cat(file, wd1_record(std::uint32_t(i), trial % 2 ? size() : fixed, rng));
    }
    if (trial % 5 == 1) file = test::cat(file, Bytes(24, 0));  // event_size 0
    if (trial % 5 == 2) file.resize(file.size() - 3);
    const Limits limits{std::uniform_int_distribution<std::uint64_t>(1, 400)(rng),
                        trial % 3 == 0 ? UINT64_MAX
                                       : std::uniform_int_distribution<std::uint64_t>(1, 1 << 21)(rng)};
    BatchDecoder plain = open_on(file);
    BatchDecoder reduced = open_on(file);
    const Reduction red(spec, WD1::kDesc, 0);
    for (int batch = 0;; ++batch) {
      BatchMemory a;
      const BatchResult ra = plain.decode(a, limits);
      ASSERT_TRUE(red.make_room(a, ra.events));
      red.reduce(a.samples.data(), reinterpret_cast<const std::int64_t*>(a.offsets.data()), 0,
                 ra.events, red.columns(a));
      BatchMemory b;
      const StageFill fill = [&](BatchMemory& stage, Limits part) { return reduced.decode(stage, part); };
      const BatchResult rb = reduce_walk(fill, red, b, limits);
      ASSERT_EQ(seen(a, ra, red), seen(b, rb, red)) << "batch " << batch;
      ASSERT_EQ(plain.position(), reduced.position());
      if (ra.stop != Stop::limit || ra.events == 0) break;
    }
  }
}

}  // namespace
}  // namespace vorn
