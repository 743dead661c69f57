// Pulse features of one record's samples: the parameters (FeatureSpec), their
// validation, and FeatureKernel, which reduces a record, or one channel of a
// WD2 record, to a row of feature columns in one pass over cached samples.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vorn {

enum class Feature : std::uint8_t {
  baseline,
  baseline_rms,
  amplitude,
  peak_index,
  integral,
  cfd_time,
  rise_time,
  trapezoid_max,
  saturated,  // WD1 only
};
inline constexpr int kFeatureCount = 9;
std::string_view feature_name(Feature f) noexcept;
// Bytes of one value: float32, but integral float64, peak_index int32 and
// saturated one byte (0 or 1).
constexpr std::size_t feature_width(Feature f) noexcept {
  return f == Feature::integral ? 8 : f == Feature::saturated ? 1 : 4;
}
std::optional<Feature> feature_by_name(std::string_view name) noexcept;

// A set of features, bit `1 << int(Feature)`.
class FeatureSet {
 public:
  constexpr FeatureSet() = default;
  constexpr FeatureSet(std::initializer_list<Feature> fs) {
    for (Feature f : fs) bits_ |= bit(f);
  }
  constexpr bool has(Feature f) const noexcept { return bits_ & bit(f); }
  constexpr FeatureSet& add(Feature f) noexcept { bits_ |= bit(f); return *this; }
  constexpr bool empty() const noexcept { return bits_ == 0; }
  constexpr std::uint32_t bits() const noexcept { return bits_; }
  constexpr bool operator==(const FeatureSet&) const = default;

 private:
  static constexpr std::uint32_t bit(Feature f) noexcept { return 1u << int(f); }
  std::uint32_t bits_ = 0;
};

struct Window {
  std::int64_t start;
  std::int64_t stop;
  bool operator==(const Window&) const = default;
};
struct AroundPeak {
  std::int64_t pre;
  std::int64_t post;
  bool operator==(const AroundPeak&) const = default;
};
struct Trapezoid {
  std::int64_t rise;
  std::int64_t flat;
  bool operator==(const Trapezoid&) const = default;
};

// The parameters, as the definitions name them. `select` empty means every
// feature the parameters define (trapezoid_max only with `trapezoid`).
struct FeatureSpec {
  int polarity = +1;                               // +1 positive, -1 negative pulses
  Window baseline{0, 32};                          // [b0, b1)
  std::optional<Window> integral;                  // absolute [start, stop)
  std::optional<AroundPeak> integral_around_peak;  // [peak - pre, peak + post)
  double cfd_fraction = 0.5;
  std::optional<Trapezoid> trapezoid;
  std::optional<double> decay;  // tau in samples; needs `trapezoid`
  std::int64_t saturation_lo = 0;
  std::int64_t saturation_hi = 65535;
  FeatureSet select;
  bool operator==(const FeatureSpec&) const = default;
};

// Empty when `spec` is valid, else a message that begins with the name of
// the offending parameter ("baseline: ...", "select: ...").
std::string validate(const FeatureSpec& spec);

// The features a valid spec yields: `select`, or every one it defines;
// saturated only for WD1.
FeatureSet selected_features(const FeatureSpec& spec, bool wd1);

// Where a record's features go: one column per feature, null where the
// feature is not selected. A record writes element `row` of each.
struct FeatureColumns {
  float* baseline = nullptr;
  float* baseline_rms = nullptr;
  float* amplitude = nullptr;
  std::int32_t* peak_index = nullptr;
  double* integral = nullptr;
  float* cfd_time = nullptr;
  float* rise_time = nullptr;
  float* trapezoid_max = nullptr;
  std::uint8_t* saturated = nullptr;  // 0 or 1
};

// The vector instructions the kernel uses: `baseline` is the target's own
// (SSE2 on x86-64, NEON on aarch64); `avx2` is chosen at run time.
enum class Isa : std::uint8_t { baseline, avx2 };
// The widest set this CPU runs, unless VORN_ISA=baseline in the environment.
Isa detected_isa() noexcept;
bool isa_supported(Isa isa) noexcept;

// Computes the selected features of records by their definitions (the pulse
// y = s (x - baseline); amplitude and peak over [b1, n); cfd and rise time by
// walking back from the peak; trapezoid with the pole-zero correction). Every
// record, of any length, gives a row; a feature it does not cover is NaN
// (peak_index -1), and every feature but saturated needs the baseline window
// too. In WD2 samples a NaN makes NaN every feature whose window holds it
// (infinities propagate as float64 arithmetic does). WD1 sums are exact
// integers, taken to float64 once per output; only the stored value is float32.
// Holds no per-record state: one kernel serves many threads.
class FeatureKernel {
 public:
  // `spec` must be valid; `isa` must be supported. The columns written are
  // those of selected_features(spec, wd1) for each layout.
  explicit FeatureKernel(const FeatureSpec& spec, Isa isa = detected_isa());

  void wd1(std::span<const std::uint16_t> x, const FeatureColumns& out, std::size_t row) const;
  // One channel of a WD2 record; a C-channel file has C rows per event.
  void wd2(std::span<const float> x, const FeatureColumns& out, std::size_t row) const;

  FeatureSet wd1_features() const noexcept { return plan_.wd1; }
  FeatureSet wd2_features() const noexcept { return plan_.wd2; }

  // What the kernel derives from a spec once.
  struct Plan {
    FeatureSpec spec;
    FeatureSet wd1, wd2;  // selected
    FeatureSet need;      // selected, plus what they are computed from
    double pole = 0;      // 1 - exp(-1/tau); 0 without decay
  };

 private:
  Plan plan_;
  Isa isa_;
};

}  // namespace vorn
