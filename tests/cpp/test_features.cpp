// FeatureKernel against a float64 model of the feature definitions, on both
// instruction sets, and on synthetic pulses whose features are known.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "features.hpp"

namespace vorn {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using F = Feature;

std::vector<Isa> isas() {
  std::vector<Isa> out{Isa::baseline};
  if (isa_supported(Isa::avx2)) out.push_back(Isa::avx2);
  return out;
}

// One record's features by the definitions, literally, in float64.
struct Model {
  std::array<double, kFeatureCount> v;  // peak_index and saturated as numbers
  std::array<double, kFeatureCount> scale;  // magnitude of the terms summed
};

Model model(const FeatureSpec& p, const std::vector<double>& x) {
  const auto n = std::int64_t(x.size());
  const std::int64_t b0 = p.baseline.start, b1 = p.baseline.stop;
  const int s = p.polarity;
  Model m;
  m.v.fill(kNaN);
  m.scale.fill(0);
  double b = kNaN, mag = 0;
  for (double v : x) mag += std::isfinite(v) ? std::abs(v) : 0;
  if (n >= b1) {
    double sum = 0, sq = 0;
    for (auto i = b0; i < b1; ++i) sum += x[i];
    b = sum / double(b1 - b0);
    for (auto i = b0; i < b1; ++i) sq += (x[i] - b) * (x[i] - b);
    m.v[0] = b;
    m.v[1] = std::sqrt(sq / double(b1 - b0));
  }
  std::vector<double> y(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) y[i] = s * (x[i] - b);
  std::int64_t peak = -1;
  double amp = kNaN;
  for (auto i = b1; i < n; ++i) {
    if (std::isnan(y[i])) {
      peak = -1;
      break;
    }
    if (peak < 0 || y[i] > amp) amp = y[peak = i];
  }
  m.v[2] = peak < 0 ? kNaN : amp;
  m.v[3] = double(peak);
  std::int64_t w0 = b1, w1 = n;
  if (p.integral) w0 = p.integral->start, w1 = p.integral->stop;
  if (p.integral_around_peak)
    w0 = std::max<std::int64_t>(0, peak - p.integral_around_peak->pre),
    w1 = std::min(n, peak + p.integral_around_peak->post);
  if (p.integral_around_peak ? peak >= 0 : p.integral ? n >= w1 : n > b1) {
    double sum = 0;
    for (auto i = w0; i < w1; ++i) sum += y[i], m.scale[4] += std::abs(x[i]) + std::abs(b);
    m.v[4] = sum;
  }
  auto cross = [&](double f) {
    if (peak < 0 || !(amp > 0)) return kNaN;
    for (auto i = peak; i > b1; --i)
      if (y[i - 1] < f * amp && f * amp <= y[i]) return double(i - 1) + (f * amp - y[i - 1]) / (y[i] - y[i - 1]);
    return kNaN;
  };
  m.v[5] = cross(p.cfd_fraction);
  m.v[6] = cross(0.9) - cross(0.1);
  if (p.trapezoid && n >= 2 * p.trapezoid->rise + p.trapezoid->flat) {
    const std::int64_t r = p.trapezoid->rise, f = p.trapezoid->flat;
    const double k = p.decay ? 1 - std::exp(-1 / *p.decay) : 0;
    std::vector<double> w(x.size());
    double c = 0;
    for (std::size_t i = 0; i < x.size(); ++i) w[i] = p.decay ? y[i] + k * c : y[i], c += y[i];
    double best = -INFINITY;
    for (auto i = 2 * r + f - 1; i < n; ++i) {
      double late = 0, early = 0;
      for (auto j = i - r + 1; j <= i; ++j) late += w[j];
      for (auto j = i - 2 * r - f + 1; j <= i - r - f; ++j) early += w[j];
      const double t = (late - early) / double(r);
      best = std::isnan(t) || std::isnan(best) ? kNaN : std::max(best, t);
    }
    m.v[7] = best;
    m.scale[7] = (mag + double(n) * std::abs(b)) * (1 + k * double(n));
  }
  bool sat = false;
  for (double v : x) sat |= v <= double(p.saturation_lo) || v >= double(p.saturation_hi);
  m.v[8] = sat;
  m.scale[0] = m.scale[1] = m.scale[2] = mag;
  return m;
}

struct Rows {
  std::vector<float> f32[6];
  std::vector<std::int32_t> peak;
  std::vector<double> integral;
  std::vector<std::uint8_t> saturated;
  explicit Rows(std::size_t n) : peak(n, -7), integral(n, 7), saturated(n, 7) {
    for (auto& v : f32) v.assign(n, 7);
  }
  FeatureColumns columns() {
    return {f32[0].data(), f32[1].data(), f32[2].data(), peak.data(), integral.data(),
            f32[3].data(), f32[4].data(), f32[5].data(), saturated.data()};
  }
  double get(Feature f, std::size_t row) const {
    constexpr int slot[] = {0, 1, 2, -1, -1, 3, 4, 5, -1};
    if (f == F::peak_index) return peak[row];
    if (f == F::integral) return integral[row];
    if (f == F::saturated) return saturated[row];
    return f32[slot[int(f)]][row];
  }
};

FeatureSpec random_spec(std::mt19937& rng) {
  auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
  FeatureSpec p;
  p.polarity = pick(0, 1) ? 1 : -1;
  p.baseline.start = pick(0, 4);
  p.baseline.stop = p.baseline.start + pick(1, 9);
  if (int form = pick(0, 2); form == 1)
    p.integral = Window{pick(0, 12), 0}, p.integral->stop = p.integral->start + pick(1, 30);
  else if (form == 2)
    p.integral_around_peak = AroundPeak{pick(0, 5), pick(0, 5)}, p.integral_around_peak->post += !p.integral_around_peak->pre;
  p.cfd_fraction = std::uniform_real_distribution<double>(0.05, 0.95)(rng);
  if (pick(0, 3)) p.trapezoid = pick(0, 5) ? Trapezoid{pick(1, 7), pick(1, 7)} : Trapezoid{pick(150, 200), pick(1, 60)};
  if (p.trapezoid && pick(0, 1)) p.decay = std::uniform_real_distribution<double>(0.5, 200)(rng);
  p.saturation_lo = pick(0, 300);
  p.saturation_hi = pick(65000, 65535);
  if (pick(0, 2) == 0)
    for (int f = 0; f < kFeatureCount; ++f)
      if (pick(0, 1) && (f != int(F::trapezoid_max) || p.trapezoid)) p.select.add(Feature(f));
  return p;
}

// Record lengths around every edge the parameters set, and long ones.
std::int64_t random_length(std::mt19937& rng, const FeatureSpec& p) {
  const std::int64_t span = p.trapezoid ? 2 * p.trapezoid->rise + p.trapezoid->flat : 0;
  const std::int64_t b1 = p.baseline.stop;
  const std::int64_t edges[] = {0, b1 - 1, b1, b1 + 1, span - 1, span, span + 9, p.integral ? p.integral->stop : 1};
  const int pick = std::uniform_int_distribution<int>(0, 11)(rng);
  if (pick < 8) return std::max<std::int64_t>(0, edges[pick]);
  return std::uniform_int_distribution<std::int64_t>(0, pick == 11 ? 900 : 90)(rng);
}

// A pulse on a baseline with noise, or noise alone, near any level.
std::vector<double> random_samples(std::mt19937& rng, std::int64_t n, bool wd1) {
  std::uniform_real_distribution<double> u(0, 1);
  const double level = wd1 ? 65535 * u(rng) : 1e3 * (u(rng) - 0.5), noise = 40 * u(rng) * u(rng);
  const double height = (u(rng) - 0.5) * 8000, t0 = n * u(rng), tau = 1 + 100 * u(rng);
  std::vector<double> x(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    double v = level + noise * (u(rng) - 0.5) + (i >= t0 ? height * std::exp(-(i - t0) / tau) : 0);
    x[i] = wd1 ? std::clamp(std::round(v), 0.0, 65535.0) : double(float(v));
  }
  if (!wd1 && n > 0 && u(rng) < 0.15) {
    const double odd[] = {kNaN, INFINITY, -INFINITY};
    for (int k = int(3 * u(rng)); k >= 0; --k) x[std::size_t(n * u(rng))] = odd[int(3 * u(rng))];
  }
  return x;
}

TEST(FeatureKernelTest, AgreesWithTheDefinitionsOnRandomRecords) {
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 3000; ++trial) {
    FeatureSpec p = random_spec(rng);
    ASSERT_EQ(validate(p), "");
    const bool wd1 = trial % 2 == 0;
    const int channels = wd1 ? 1 : 1 + trial / 2 % 4;
    const std::int64_t n = random_length(rng, p);
    std::vector<std::vector<double>> chans;
    for (int c = 0; c < channels; ++c) chans.push_back(random_samples(rng, n, wd1));
    if (wd1 && n > 0 && trial % 4 == 0) {  // a saturation level the record just reaches
      const auto [lo, hi] = std::minmax_element(chans[0].begin(), chans[0].end());
      trial % 8 ? p.saturation_lo = std::int64_t(*lo) : p.saturation_hi = std::int64_t(*hi);
    }
    std::vector<std::uint16_t> x16;
    std::vector<float> x32;
    for (const auto& ch : chans)
      for (double v : ch) wd1 ? x16.push_back(std::uint16_t(v)) : x32.push_back(float(v));
    const FeatureSet sel = selected_features(p, wd1);
    for (Isa isa : isas()) {
      const FeatureKernel kernel(p, isa);
      Rows rows{std::size_t(channels)};
      for (int c = 0; c < channels; ++c)
        wd1 ? kernel.wd1({x16.data(), std::size_t(n)}, rows.columns(), 0)
            : kernel.wd2({x32.data() + c * n, std::size_t(n)}, rows.columns(), std::size_t(c));
      for (int c = 0; c < channels; ++c) {
        const Model m = model(p, chans[c]);
        for (int f = 0; f < kFeatureCount; ++f) {
          const double got = rows.get(Feature(f), std::size_t(c)), want = m.v[f];
          SCOPED_TRACE(testing::Message() << "trial " << trial << " isa " << int(isa) << " channel " << c << " n "
                                          << n << " " << feature_name(Feature(f)));
          if (!sel.has(Feature(f))) {
            EXPECT_EQ(got, f == int(F::peak_index) ? -7 : 7) << "an unselected column was written";
          } else if (std::isnan(want) || std::isinf(want) || f == int(F::peak_index) || f == int(F::saturated)) {
            EXPECT_TRUE(got == want || (std::isnan(got) && std::isnan(want))) << got << " != " << want;
          } else {
            const double rounding = f == int(F::integral) ? 1e-12 : 0x1p-23;
            EXPECT_NEAR(got, want, std::abs(want) * rounding + 1e-12 * m.scale[f]);
          }
        }
      }
    }
  }
}

class PulseTest : public testing::TestWithParam<std::tuple<Isa, int>> {
 protected:
  // A pulse of height `a` at t0 decaying with tau, on a baseline of 500 (WD2).
  static std::vector<float> pulse(int s, double a, std::int64_t t0, double tau, std::int64_t n) {
    std::vector<float> x(std::size_t(n), 500);
    for (auto i = t0; i < n; ++i) x[i] = float(500 + s * a * std::exp(-double(i - t0) / tau));
    return x;
  }
  void SetUp() override {
    if (!isa_supported(std::get<0>(GetParam()))) GTEST_SKIP() << "no AVX2";
  }
  std::array<double, kFeatureCount> features(const FeatureSpec& p, const std::vector<float>& x) {
    Rows rows(1);
    FeatureKernel(p, std::get<0>(GetParam())).wd2(x, rows.columns(), 0);
    std::array<double, kFeatureCount> out;
    for (int f = 0; f < kFeatureCount - 1; ++f) out[f] = rows.get(Feature(f), 0);
    return out;
  }
};

TEST_P(PulseTest, TrapezoidWithTheRightDecayRecoversTheAmplitude) {
  const int s = std::get<1>(GetParam());
  FeatureSpec p;
  p.polarity = s;
  p.trapezoid = Trapezoid{16, 8};
  for (std::int64_t t0 : {40, 300, 1024 - 16}) {
    p.decay = 200;
    EXPECT_NEAR(features(p, pulse(s, 1000, t0, 200, 1024))[int(F::trapezoid_max)], 1000, 1e-3) << t0;
    for (double wrong : {100.0, 400.0}) {
      p.decay = wrong;
      EXPECT_GT(std::abs(features(p, pulse(s, 1000, t0, 200, 1024))[int(F::trapezoid_max)] - 1000), 10) << wrong;
    }
  }
}

TEST_P(PulseTest, InstantRiseCrossesAtTheFractionOfTheLastSample) {
  const int s = std::get<1>(GetParam());
  FeatureSpec p;
  p.polarity = s;
  for (double f : {0.2, 0.5, 0.8}) {
    p.cfd_fraction = f;
    const auto got = features(p, pulse(s, 800, 100, 50, 400));
    EXPECT_NEAR(got[int(F::amplitude)], 800, 1e-3);
    EXPECT_EQ(got[int(F::peak_index)], 100);
    EXPECT_NEAR(got[int(F::cfd_time)], 100 - 1 + f, 1e-5);  // float32 steps of 2**-16
  }
}

INSTANTIATE_TEST_SUITE_P(Both, PulseTest,
                         testing::Combine(testing::Values(Isa::baseline, Isa::avx2), testing::Values(1, -1)));

TEST(FeatureSpecTest, ValidationNamesTheParameter) {
  const std::pair<void (*)(FeatureSpec&), const char*> cases[] = {
      {[](FeatureSpec& p) { p.baseline = {5, 5}; }, "baseline"},
      {[](FeatureSpec& p) { p.baseline = {-1, 5}; }, "baseline"},
      {[](FeatureSpec& p) { p.integral = Window{9, 3}; }, "integral"},
      {[](FeatureSpec& p) { p.integral_around_peak = AroundPeak{0, 0}; }, "integral_around_peak"},
      {[](FeatureSpec& p) { p.integral = Window{0, 3}, p.integral_around_peak = AroundPeak{1, 1}; }, "integral"},
      {[](FeatureSpec& p) { p.cfd_fraction = 1; }, "cfd_fraction"},
      {[](FeatureSpec& p) { p.trapezoid = Trapezoid{0, 4}; }, "trapezoid"},
      {[](FeatureSpec& p) { p.trapezoid = Trapezoid{4, 0}; }, "trapezoid"},
      {[](FeatureSpec& p) { p.decay = 10; }, "decay"},
      {[](FeatureSpec& p) { p.trapezoid = Trapezoid{4, 4}, p.decay = 0; }, "decay"},
      {[](FeatureSpec& p) { p.select = {F::trapezoid_max}; }, "select"},
  };
  for (const auto& [change, name] : cases) {
    FeatureSpec p;
    change(p);
    EXPECT_EQ(validate(p).rfind(std::string(name) + ":", 0), 0u) << validate(p);
  }
  EXPECT_EQ(validate(FeatureSpec{}), "");
}

TEST(FeatureSpecTest, EnvironmentKeepsTheKernelOnTheBaselineInstructions) {
  ::setenv("VORN_ISA", "baseline", 1);
  EXPECT_EQ(detected_isa(), Isa::baseline);
  ::unsetenv("VORN_ISA");
  EXPECT_EQ(detected_isa(), isa_supported(Isa::avx2) ? Isa::avx2 : Isa::baseline);
}

}  // namespace
}  // namespace vorn
