// The feature kernel alone on one thread: GB/s of WD1 samples (1,024-sample
// records of negative pulses in memory) for the simple features and for the
// whole chain, on each instruction set this CPU runs. Pin it to one CPU:
//   taskset -c 0 build/bench/features_kernel [seconds per row]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "features.hpp"

using namespace vorn;

namespace {

constexpr std::size_t kSamples = 1024;
constexpr std::size_t kRecords = 2000;  // a batch, 4 MB of samples

std::vector<std::uint16_t> make_records() {
  std::mt19937 rng(7);
  std::normal_distribution<double> noise(0, 3);
  std::uniform_real_distribution<double> height(50, 3000), onset(100, 600);
  std::vector<std::uint16_t> x(kRecords * kSamples);
  for (std::size_t e = 0; e < kRecords; ++e) {
    const double a = height(rng), t0 = std::floor(onset(rng));
    for (std::size_t i = 0; i < kSamples; ++i) {
      const double pulse = i >= t0 ? a * std::exp(-(double(i) - t0) / 500) : 0;
      x[e * kSamples + i] = std::uint16_t(std::lround(std::clamp(8000 - pulse + noise(rng), 0.0, 65535.0)));
    }
  }
  return x;
}

double run(const FeatureKernel& k, const std::vector<std::uint16_t>& x, double seconds) {
  std::vector<float> f32[7];
  for (auto& v : f32) v.resize(kRecords);
  std::vector<std::int32_t> peak(kRecords);
  std::vector<double> integral(kRecords);
  std::vector<std::uint8_t> saturated(kRecords);
  const FeatureColumns out{f32[0].data(), f32[1].data(), f32[2].data(),      peak.data(),
                           integral.data(), f32[3].data(), f32[4].data(), f32[5].data(),
                           saturated.data()};
  using Clock = std::chrono::steady_clock;
  double best = 0;
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  while (Clock::now() < end) {
    const auto t = Clock::now();
    for (std::size_t e = 0; e < kRecords; ++e) k.wd1({x.data() + e * kSamples, kSamples}, out, e);
    const double dt = std::chrono::duration<double>(Clock::now() - t).count();
    best = std::max(best, double(x.size() * 2) / dt / 1e9);
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
  const auto x = make_records();
  FeatureSpec simple;
  simple.polarity = -1;
  simple.baseline = {0, 32};
  simple.select = {Feature::baseline, Feature::amplitude, Feature::peak_index, Feature::integral};
  FeatureSpec chain;
  chain.polarity = -1;
  chain.trapezoid = Trapezoid{32, 16};
  chain.decay = 500;
  std::printf("WD1, %zu records of %zu samples, one thread; best pass, GB/s of samples\n", kRecords, kSamples);
  for (Isa isa : {Isa::avx2, Isa::baseline}) {
    if (!isa_supported(isa)) continue;
    const char* name = isa == Isa::avx2 ? "avx2" : "baseline";
    std::printf("%-9s baseline+amplitude+peak+integral  %6.2f\n", name, run(FeatureKernel(simple, isa), x, seconds));
    std::printf("%-9s every feature, trapezoid + decay  %6.2f\n", name, run(FeatureKernel(chain, isa), x, seconds));
  }
}
