// FeatureKernel: the feature definitions over WD1 and WD2 samples, compiled
// once for the target's baseline vector unit and once for AVX2.
#include "features.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <vector>

#include "panic.hpp"

#if defined(__x86_64__)
#define VORN_X86 1
#include <immintrin.h>
#endif

namespace vorn {
namespace {

constexpr std::array<std::string_view, kFeatureCount> kNames = {
    "baseline", "baseline_rms", "amplitude",     "peak_index", "integral",
    "cfd_time", "rise_time",    "trapezoid_max", "saturated"};
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using F = Feature;
__extension__ typedef __int128 i128;

}  // namespace

std::string_view feature_name(Feature f) noexcept { return kNames[std::size_t(f)]; }

std::optional<Feature> feature_by_name(std::string_view name) noexcept {
  for (int i = 0; i < kFeatureCount; ++i)
    if (kNames[std::size_t(i)] == name) return Feature(i);
  return std::nullopt;
}

std::string validate(const FeatureSpec& s) {
  if (s.polarity != 1 && s.polarity != -1) return "polarity: must be positive or negative";
  if (s.baseline.start < 0 || s.baseline.stop <= s.baseline.start)
    return "baseline: the window must be non-empty and start at 0 or later";
  if (s.integral && s.integral_around_peak)
    return "integral: give integral or integral_around_peak, not both";
  if (s.integral && (s.integral->start < 0 || s.integral->stop <= s.integral->start))
    return "integral: the window must be non-empty and start at 0 or later";
  if (const auto& w = s.integral_around_peak; w && (w->pre < 0 || w->post < 0 || w->pre + w->post < 1))
    return "integral_around_peak: pre and post must be >= 0 and not both 0";
  if (!(s.cfd_fraction > 0 && s.cfd_fraction < 1)) return "cfd_fraction: must lie in (0, 1)";
  if (s.trapezoid && (s.trapezoid->rise < 1 || s.trapezoid->flat < 1))
    return "trapezoid: rise and flat must be >= 1";
  if (s.trapezoid && (s.trapezoid->rise > INT32_MAX || s.trapezoid->flat > INT32_MAX))
    return "trapezoid: rise and flat must be < 2**31";
  if (s.decay && !s.trapezoid) return "decay: needs trapezoid";
  if (s.decay && !(*s.decay > 0)) return "decay: must be > 0";
  if (s.select.has(F::trapezoid_max) && !s.trapezoid) return "select: trapezoid_max needs trapezoid";
  return {};
}

FeatureSet selected_features(const FeatureSpec& spec, bool wd1) {
  FeatureSet out;
  for (int i = 0; i < kFeatureCount; ++i) {
    const auto f = Feature(i);
    const bool defined = (f != F::trapezoid_max || spec.trapezoid) && (f != F::saturated || wd1);
    if (defined && (spec.select.empty() || spec.select.has(f))) out.add(f);
  }
  return out;
}

bool isa_supported(Isa isa) noexcept {
  if (isa == Isa::baseline) return true;
#if VORN_X86
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#else
  return false;
#endif
}

Isa detected_isa() noexcept {
  if (const char* v = std::getenv("VORN_ISA"); v && std::string_view(v) == "baseline") return Isa::baseline;
  return isa_supported(Isa::avx2) ? Isa::avx2 : Isa::baseline;
}

namespace {

// The body is inlined into one entry point per instruction set, so plain
// loops are vectorised for each and vector types are as wide as it allows.
#define VORN_INLINE inline __attribute__((always_inline))

using Plan = FeatureKernel::Plan;

// The crossing of f*A walking back from the peak (see the definition of
// cfd_time); `y` gives the pulse at an index.
template <class Y>
VORN_INLINE double crossing(Y y, std::int64_t b1, std::int64_t peak, double amp, double f) {
  if (!(amp > 0)) return kNaN;
  const double level = f * amp;
  for (std::int64_t i = peak; i > b1; --i) {
    const double lo = y(i - 1);
    if (lo < level && level <= y(i)) return double(i - 1) + (level - lo) / (y(i) - lo);
  }
  return kNaN;
}

struct Peak {
  double amplitude = kNaN;
  std::int64_t index = -1;
};

template <class Y>
VORN_INLINE void write_peak_features(const Plan& p, FeatureSet sel, Y y, std::int64_t b1, Peak pk,
                                     const FeatureColumns& out, std::size_t row) {
  if (sel.has(F::amplitude)) out.amplitude[row] = float(pk.amplitude);
  if (sel.has(F::peak_index)) out.peak_index[row] = std::int32_t(pk.index);
  if (sel.has(F::cfd_time))
    out.cfd_time[row] = pk.index < 0 ? float(kNaN)
                                     : float(crossing(y, b1, pk.index, pk.amplitude, p.spec.cfd_fraction));
  if (sel.has(F::rise_time))
    out.rise_time[row] = pk.index < 0 ? float(kNaN)
                                      : float(crossing(y, b1, pk.index, pk.amplitude, 0.9) -
                                              crossing(y, b1, pk.index, pk.amplitude, 0.1));
}

// The integration window of a record of `n` samples, or nothing where the
// record does not cover it.
VORN_INLINE std::optional<Window> integral_window(const Plan& p, std::int64_t n, Peak pk) {
  const FeatureSpec& s = p.spec;
  const std::int64_t b1 = s.baseline.stop;
  if (s.integral) {
    if (n < s.integral->stop || n < b1) return std::nullopt;
    return s.integral;
  }
  if (s.integral_around_peak) {
    if (pk.index < 0) return std::nullopt;
    return Window{std::max<std::int64_t>(0, pk.index - s.integral_around_peak->pre),
                  pk.index + std::min(n - pk.index, s.integral_around_peak->post)};
  }
  if (n <= b1) return std::nullopt;
  return Window{b1, n};
}

// ---- WD1: exact integer sums, converted to double once per output.

struct MinMax {
  std::uint16_t lo = 0xffff;
  std::uint16_t hi = 0;
};

VORN_INLINE MinMax minmax_u16(const std::uint16_t* x, std::size_t n) {
  std::uint16_t lo = 0xffff, hi = 0;
  for (std::size_t i = 0; i < n; ++i) {
    lo = std::min(lo, x[i]);
    hi = std::max(hi, x[i]);
  }
  return {lo, hi};
}

// Sum and sum of squares; 32-bit lanes for blocks short enough not to wrap.
VORN_INLINE std::uint64_t sum_u16(const std::uint16_t* x, std::size_t n) {
  std::uint64_t total = 0;
  for (std::size_t at = 0; at < n; at += 65536) {
    const std::size_t len = std::min<std::size_t>(65536, n - at);
    std::uint32_t s = 0;
    for (std::size_t i = 0; i < len; ++i) s += x[at + i];
    total += s;
  }
  return total;
}

VORN_INLINE std::uint64_t sum_sq_u16(const std::uint16_t* x, std::size_t n) {
  std::uint64_t s = 0;
  for (std::size_t i = 0; i < n; ++i) s += std::uint64_t(std::uint32_t(x[i]) * x[i]);
  return s;
}

// The first i with x[i] == v, which exists.
VORN_INLINE std::size_t first_equal(const std::uint16_t* x, std::size_t n, std::uint16_t v) {
  constexpr std::size_t kBlock = 64;
  std::size_t at = 0;
  for (; at + kBlock <= n; at += kBlock) {
    int any = 0;
    for (std::size_t k = 0; k < kBlock; ++k) any |= x[at + k] == v;
    if (any) break;
  }
  while (x[at] != v) ++at;
  return at;
}

// The trapezoid as running sums. With the tap sum d[i] = x[i] - x[i-r] -
// x[i-r-f] + x[i-2r-f], D1[i] = D1[i-1] + d[i] is the difference of the two
// windows' sums of x, and D2[i] = D2[i-1] + D1[i-1] that of the windows' sums
// of prefix sums of x, so that T[i] = s (D1[i] + pole (D2[i] - b r (r+f))) / r.
// TapSums holds, after output i-1, s D1[i-1] and s D2[i].
template <class I>
struct TapSums {
  I d1 = 0, d2 = 0;
  double best = -kInf;  // of s D1 + pole s D2 over the outputs so far
};

// sum of p[j] * (m - 1 - j) over j < m.
template <class I>
VORN_INLINE I ramp_sum(const std::uint16_t* p, std::int64_t m) {
  I acc = 0, total = 0;
  for (std::int64_t j = 0; j < m; ++j) total += acc, acc += p[j];
  return total;
}

// The sums after the first output, i = 2r+f-1, taken from the windows.
template <class I>
VORN_INLINE TapSums<I> trapezoid_start(const std::uint16_t* x, std::int64_t r, std::int64_t f, int s, double pole) {
  const std::int64_t span = 2 * r + f;
  const I d1 = I(sum_u16(x + span - r, std::size_t(r))) - I(sum_u16(x, std::size_t(r)));
  const I d2 = I(r) * I(sum_u16(x, std::size_t(span - r))) + ramp_sum<I>(x + span - r, r) - ramp_sum<I>(x, r);
  return {s * d1, s * (d2 + d1), double(s * d1) + pole * double(s * d2)};
}

// Outputs i in [from, to), from >= 2r+f.
template <class I>
VORN_INLINE void trapezoid_steps(TapSums<I>& t, const std::uint16_t* x, std::int64_t from, std::int64_t to,
                                 std::int64_t r, std::int64_t f, int s, double pole) {
  const std::int64_t span = 2 * r + f;
  // Four maxima, so that no max waits for the one before.
  double best[4] = {t.best, -kInf, -kInf, -kInf};
  auto step = [&](std::int64_t j, double& m) {
    const I before = t.d2;
    t.d1 += s * (std::int32_t(x[j]) - x[j - r] - x[j - r - f] + std::int32_t(x[j - span]));
    t.d2 += t.d1;
    m = std::max(m, double(t.d1) + pole * double(before));
  };
  std::int64_t i = from;
  for (; i + 4 <= to; i += 4)
    for (int k = 0; k < 4; ++k) step(i + k, best[k]);
  for (; i < to; ++i) step(i, best[0]);
  t.best = std::max({best[0], best[1], best[2], best[3]});
}

#if VORN_X86
// Inclusive prefix sums of the eight lanes.
__attribute__((target("avx2"))) inline __m256i prefix8(__m256i v) {
  v = _mm256_add_epi32(v, _mm256_slli_si256(v, 4));
  v = _mm256_add_epi32(v, _mm256_slli_si256(v, 8));
  const __m256i low = _mm256_shuffle_epi32(_mm256_permute2x128_si256(v, v, 0x08), 0xff);
  return _mm256_add_epi32(v, low);
}

__attribute__((target("avx2"))) inline __m256i load8(const std::uint16_t* p) {
  return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// trapezoid_steps over [0, n) for sums that fit in int32, eight outputs at a
// time: the lanes add up in prefix sums, and only the carries are chained.
// Partial sums inside a vector may wrap; each output is a true D1 or D2.
__attribute__((target("avx2,fma"))) double trapezoid_peak_avx2(const std::uint16_t* x, std::int64_t n, std::int64_t r,
                                                               std::int64_t f, int s, double pole) {
  const std::int64_t span = 2 * r + f;
  const TapSums<std::int64_t> start = trapezoid_start<std::int64_t>(x, r, f, s, pole);
  TapSums<std::int32_t> t{std::int32_t(start.d1), std::int32_t(start.d2), start.best};
  std::int64_t i = span;
  const __m256i sign = _mm256_set1_epi32(s), last = _mm256_set1_epi32(7);
  const __m256d pv = _mm256_set1_pd(pole);
  __m256i c1 = _mm256_set1_epi32(std::int32_t(t.d1)), c2 = _mm256_set1_epi32(std::int32_t(t.d2));
  __m256d m0 = _mm256_set1_pd(-kInf), m1 = m0;
  __m256i mi = _mm256_set1_epi32(INT32_MIN);
  for (; i + 8 <= n; i += 8) {
    const __m256i d = _mm256_sub_epi32(_mm256_sub_epi32(load8(x + i), load8(x + i - r)),
                                       _mm256_sub_epi32(load8(x + i - r - f), load8(x + i - span)));
    const __m256i d1 = _mm256_add_epi32(prefix8(_mm256_sign_epi32(d, sign)), c1);
    c1 = _mm256_permutevar8x32_epi32(d1, last);
    if (pole == 0) {
      mi = _mm256_max_epi32(mi, d1);
      continue;
    }
    const __m256i through = _mm256_add_epi32(prefix8(d1), c2);  // d2 after each output
    const __m256i d2 = _mm256_sub_epi32(through, d1);
    c2 = _mm256_permutevar8x32_epi32(through, last);
    m0 = _mm256_max_pd(m0, _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_castsi256_si128(d2)), pv,
                                           _mm256_cvtepi32_pd(_mm256_castsi256_si128(d1))));
    m1 = _mm256_max_pd(m1, _mm256_fmadd_pd(_mm256_cvtepi32_pd(_mm256_extracti128_si256(d2, 1)), pv,
                                           _mm256_cvtepi32_pd(_mm256_extracti128_si256(d1, 1))));
  }
  alignas(32) double md[8];
  alignas(32) std::int32_t mx[8];
  _mm256_store_pd(md, m0);
  _mm256_store_pd(md + 4, m1);
  _mm256_store_si256(reinterpret_cast<__m256i*>(mx), mi);
  for (int l = 0; l < 8; ++l) t.best = std::max({t.best, md[l], double(mx[l])});
  t.d1 = _mm256_cvtsi256_si32(c1);
  t.d2 = pole != 0 ? _mm256_cvtsi256_si32(c2) : 0;  // not carried without decay, where it counts for nothing
  trapezoid_steps(t, x, i, n, r, f, s, pole);
  return t.best;
}
#endif

template <Isa kIsa>
VORN_INLINE double trapezoid_wd1(const Plan& p, const std::uint16_t* x, std::int64_t n, double b) {
  const std::int64_t r = p.spec.trapezoid->rise, f = p.spec.trapezoid->flat;
  if (n < 2 * r + f || std::isnan(b)) return kNaN;
  const int s = p.spec.polarity;
  // D2 lies in [0, 65535 r (r + f)], D1 within 65535 r of 0.
  const double bound = 65535.0 * double(r) * double(r + f);
  double peak;
#if VORN_X86
  if (kIsa == Isa::avx2 && bound < 0x1p31) {
    peak = trapezoid_peak_avx2(x, n, r, f, s, p.pole);
  } else
#endif
  if (bound < 0x1p62) {
    TapSums<std::int64_t> t = trapezoid_start<std::int64_t>(x, r, f, s, p.pole);
    trapezoid_steps(t, x, 2 * r + f, n, r, f, s, p.pole);
    peak = t.best;
  } else {
    TapSums<i128> t = trapezoid_start<i128>(x, r, f, s, p.pole);
    trapezoid_steps(t, x, 2 * r + f, n, r, f, s, p.pole);
    peak = t.best;
  }
  return (peak - s * p.pole * b * double(r) * double(r + f)) / double(r);
}

template <Isa kIsa>
VORN_INLINE void wd1_body(const Plan& p, std::span<const std::uint16_t> samples, const FeatureColumns& out,
                          std::size_t row) {
  const FeatureSet need = p.need, sel = p.wd1;
  const std::uint16_t* x = samples.data();
  const auto n = std::int64_t(samples.size());
  const std::int64_t b0 = p.spec.baseline.start, b1 = p.spec.baseline.stop;
  const int s = p.spec.polarity;
  // Every feature but saturated is taken from the pulse y, after the baseline.
  const bool covered = n >= b1 && need.bits() != FeatureSet{F::saturated}.bits();
  const std::int64_t m = b1 - b0;
  const std::uint64_t sb = covered ? sum_u16(x + b0, std::size_t(m)) : 0;
  const double b = covered ? double(sb) / double(m) : kNaN;
  if (sel.has(F::baseline)) out.baseline[row] = float(b);
  if (sel.has(F::baseline_rms)) {
    double rms = kNaN;
    if (covered) {
      const auto num = i128(m) * i128(sum_sq_u16(x + b0, std::size_t(m))) - i128(sb) * i128(sb);
      rms = std::sqrt(double(num)) / double(m);
    }
    out.baseline_rms[row] = float(rms);
  }
  MinMax tail;  // of [b1, n)
  Peak pk;
  if ((need.has(F::amplitude) || sel.has(F::saturated)) && n > b1) tail = minmax_u16(x + b1, std::size_t(n - b1));
  if (need.has(F::amplitude) && n > b1) {
    const std::uint16_t v = s > 0 ? tail.hi : tail.lo;
    pk.amplitude = s * (double(v) - b);
    pk.index = b1 + std::int64_t(first_equal(x + b1, std::size_t(n - b1), v));
  }
  auto y = [&](std::int64_t i) { return s * (double(x[i]) - b); };
  write_peak_features(p, sel, y, b1, pk, out, row);
  if (sel.has(F::integral)) {
    double v = kNaN;
    if (auto w = integral_window(p, n, pk)) {
      const std::int64_t len = w->stop - w->start;
      const std::uint64_t sx = sum_u16(x + w->start, std::size_t(len));
      v = s * double(i128(sx) * m - i128(len) * i128(sb)) / double(m);
    }
    out.integral[row] = v;
  }
  if (sel.has(F::trapezoid_max)) out.trapezoid_max[row] = float(trapezoid_wd1<kIsa>(p, x, n, b));
  if (sel.has(F::saturated)) {
    const MinMax head = minmax_u16(x, std::size_t(std::min(n, b1)));
    const int lo = std::min(head.lo, tail.lo), hi = std::max(head.hi, tail.hi);
    out.saturated[row] = n > 0 && (lo <= p.spec.saturation_lo || hi >= p.spec.saturation_hi);
  }
}

// ---- WD2: float64 sums in several accumulators, off the per-sample chain.

template <class G>
VORN_INLINE double sum4(std::int64_t from, std::int64_t to, G g) {
  double a[4] = {0, 0, 0, 0};
  std::int64_t i = from;
  for (; i + 4 <= to; i += 4)
    for (int l = 0; l < 4; ++l) a[l] += g(i + l);
  for (; i < to; ++i) a[0] += g(i);
  return (a[0] + a[1]) + (a[2] + a[3]);
}

// Running sums of D1 and D2 (see TapSums), from x zero before 0, in blocks of four, whose carries
// are the only additions chained from block to block.
VORN_INLINE double trapezoid_peak_finite(const float* x, std::int64_t n, std::int64_t r, std::int64_t f, int s,
                                         double sp) {
  const std::int64_t span = 2 * r + f;
  auto at = [&](std::int64_t k) { return k >= 0 ? double(x[k]) : 0.0; };
  auto tap = [&](std::int64_t j) {
    return j >= span ? (double(x[j]) - double(x[j - r])) - (double(x[j - r - f]) - double(x[j - span]))
                     : (at(j) - at(j - r)) - (at(j - r - f) - at(j - span));
  };
  double c1 = 0, c2 = 0, best = -kInf;
  std::int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const double l0 = tap(i), l1 = l0 + tap(i + 1), l2 = l1 + tap(i + 2), l3 = l2 + tap(i + 3);
    const double e[4] = {
        s * (c1 + l0) + sp * c2,
        s * (c1 + l1) + sp * (c2 + (c1 + l0)),
        s * (c1 + l2) + sp * (c2 + (2 * c1 + (l0 + l1))),
        s * (c1 + l3) + sp * (c2 + (3 * c1 + (l0 + l1 + l2))),
    };
    for (int k = 0; k < 4; ++k)
      if (i + k >= span - 1) best = std::max(best, e[k]);
    c2 += 4 * c1 + ((l0 + l1) + (l2 + l3));
    c1 += l3;
  }
  for (; i < n; ++i) {
    const double before = c2;
    c1 += tap(i);
    c2 += c1;
    if (i >= span - 1) best = std::max(best, s * c1 + sp * before);
  }
  return best;
}

// The definition taken literally, for a record holding NaN or infinities
// (a sample on the flat top of every trapezoid counts only with decay): w in a
// running sum, T's windows slid with counts of their non-finite terms, so
// each window sum is what adding up its terms would give.
double trapezoid_literal(const Plan& p, const float* x, std::int64_t n, double b) {
  const std::int64_t r = p.spec.trapezoid->rise, f = p.spec.trapezoid->flat;
  const int s = p.spec.polarity;
  std::vector<double> w(static_cast<std::size_t>(n));
  double c = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double y = s * (double(x[i]) - b);
    w[std::size_t(i)] = p.pole != 0 ? y + p.pole * c : y;
    c += y;
  }
  struct Sliding {
    double finite = 0;
    std::int64_t pos = 0, neg = 0, nan = 0;
    void add(double v, int sign) {
      if (std::isnan(v)) nan += sign;
      else if (v == kInf) pos += sign;
      else if (v == -kInf) neg += sign;
      else finite += sign * v;
    }
    double value() const {
      if (nan || (pos && neg)) return kNaN;
      return pos ? kInf : neg ? -kInf : finite;
    }
  } late, early;
  double best = -kInf;
  for (std::int64_t i = 0; i < n; ++i) {
    late.add(w[std::size_t(i)], 1);
    if (i >= r) late.add(w[std::size_t(i - r)], -1);
    if (const std::int64_t j = i - r - f; j >= 0) {
      early.add(w[std::size_t(j)], 1);
      if (j >= r) early.add(w[std::size_t(j - r)], -1);
    }
    if (i >= 2 * r + f - 1) {
      const double t = (late.value() - early.value()) / double(r);
      if (std::isnan(t)) return kNaN;
      best = std::max(best, t);
    }
  }
  return best;
}

VORN_INLINE double trapezoid_wd2(const Plan& p, const float* x, std::int64_t n, double b) {
  const std::int64_t r = p.spec.trapezoid->rise, f = p.spec.trapezoid->flat;
  if (n < 2 * r + f || std::isnan(b)) return kNaN;
  bool finite = std::isfinite(b);
  for (std::int64_t i = 0; i < n; ++i) finite &= std::isfinite(x[i]);
  if (!finite) return trapezoid_literal(p, x, n, b);
  const double sp = p.spec.polarity * p.pole;
  const double peak = trapezoid_peak_finite(x, n, r, f, p.spec.polarity, sp);
  return (peak - sp * b * double(r) * double(r + f)) / double(r);
}

VORN_INLINE void wd2_body(const Plan& p, std::span<const float> samples, const FeatureColumns& out,
                          std::size_t row) {
  const FeatureSet need = p.need, sel = p.wd2;
  const float* x = samples.data();
  const auto n = std::int64_t(samples.size());
  const std::int64_t b0 = p.spec.baseline.start, b1 = p.spec.baseline.stop;
  const int s = p.spec.polarity;
  const double m = double(b1 - b0);
  const double b = n >= b1 ? sum4(b0, b1, [&](std::int64_t i) { return double(x[i]); }) / m : kNaN;
  if (sel.has(F::baseline)) out.baseline[row] = float(b);
  if (sel.has(F::baseline_rms)) {
    double rms = kNaN;
    if (n >= b1) {
      const double ss = sum4(b0, b1, [&](std::int64_t i) {
        const double d = double(x[i]) - b;
        return d * d;
      });
      rms = std::sqrt(ss / m);
    }
    out.baseline_rms[row] = float(rms);
  }
  auto y = [&](std::int64_t i) { return s * (double(x[i]) - b); };
  Peak pk;
  if (need.has(F::amplitude) && n > b1) {
    pk = {y(b1), b1};
    for (std::int64_t i = b1; i < n; ++i) {
      const double v = y(i);
      if (v > pk.amplitude) pk = {v, i};
      if (std::isnan(v)) {
        pk = {};
        break;
      }
    }
  }
  write_peak_features(p, sel, y, b1, pk, out, row);
  if (sel.has(F::integral)) {
    const auto w = integral_window(p, n, pk);
    out.integral[row] = w ? sum4(w->start, w->stop, y) : kNaN;
  }
  if (sel.has(F::trapezoid_max)) out.trapezoid_max[row] = float(trapezoid_wd2(p, x, n, b));
}

using Wd1Fn = void (*)(const Plan&, std::span<const std::uint16_t>, const FeatureColumns&, std::size_t);
using Wd2Fn = void (*)(const Plan&, std::span<const float>, const FeatureColumns&, std::size_t);

void wd1_baseline(const Plan& p, std::span<const std::uint16_t> x, const FeatureColumns& out, std::size_t row) {
  wd1_body<Isa::baseline>(p, x, out, row);
}
void wd2_baseline(const Plan& p, std::span<const float> x, const FeatureColumns& out, std::size_t row) {
  wd2_body(p, x, out, row);
}
#if VORN_X86
__attribute__((target("avx2"))) void wd1_avx2(const Plan& p, std::span<const std::uint16_t> x,
                                              const FeatureColumns& out, std::size_t row) {
  wd1_body<Isa::avx2>(p, x, out, row);
}
__attribute__((target("avx2"))) void wd2_avx2(const Plan& p, std::span<const float> x, const FeatureColumns& out,
                                              std::size_t row) {
  wd2_body(p, x, out, row);
}
#else
constexpr Wd1Fn wd1_avx2 = wd1_baseline;
constexpr Wd2Fn wd2_avx2 = wd2_baseline;
#endif

}  // namespace

FeatureKernel::FeatureKernel(const FeatureSpec& spec, Isa isa) : isa_(isa) {
  if (std::string error = validate(spec); !error.empty()) panic("invalid features: " + error);
  if (!isa_supported(isa)) panic("instruction set not supported by this CPU");
  plan_.spec = spec;
  plan_.wd1 = selected_features(spec, true);
  plan_.wd2 = selected_features(spec, false);
  FeatureSet need = plan_.wd1;
  if (need.has(F::cfd_time) || need.has(F::rise_time) || need.has(F::peak_index) ||
      (need.has(F::integral) && spec.integral_around_peak))
    need.add(F::amplitude);
  plan_.need = need;
  if (spec.decay) plan_.pole = -std::expm1(-1.0 / *spec.decay);
}

void FeatureKernel::wd1(std::span<const std::uint16_t> x, const FeatureColumns& out, std::size_t row) const {
  (isa_ == Isa::avx2 ? wd1_avx2 : wd1_baseline)(plan_, x, out, row);
}

void FeatureKernel::wd2(std::span<const float> x, const FeatureColumns& out, std::size_t row) const {
  (isa_ == Isa::avx2 ? wd2_avx2 : wd2_baseline)(plan_, x, out, row);
}

}  // namespace vorn
