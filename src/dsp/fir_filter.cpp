#include "dsp/fir_filter.h"

#include <algorithm>

// Runtime dispatch: this file is compiled once per instruction set by Highway.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "dsp/fir_filter.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace nel::dsp {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// Vectors of at most kDotSums lanes; kVectors of them hold the partial sums.
using DotTag = hn::CappedTag<double, kDotSums>;
constexpr std::size_t kLanes = hn::MaxLanes(DotTag());
constexpr std::size_t kVectors = kDotSums / kLanes;
static_assert(kVectors * kLanes == kDotSums);

// The first `count` (< kLanes) values at p, the other lanes zero; nothing past
// p + count is read.
HWY_INLINE hn::Vec<DotTag> LoadDotTail(const DotTag d, const double* HWY_RESTRICT p, std::size_t count) {
#if HWY_TARGET == HWY_AVX3 || HWY_TARGET == HWY_AVX3_DL || HWY_TARGET == HWY_AVX2
  return hn::MaskedLoad(hn::FirstN(d, count), d, p);  // masked-off lanes are not read
#else
  HWY_ALIGN double lanes[kLanes] = {};
  std::copy_n(p, count, lanes);
  return hn::Load(d, lanes);
#endif
}

// The pairwise tree over the partial sums.
HWY_INLINE double AddDotSums(const DotTag d, hn::Vec<DotTag> (&acc)[kVectors]) {
  std::size_t live = kVectors;
  while (live > 1) {  // whole vectors: j + live / 2 into j
    live /= 2;
    for (std::size_t v = 0; v < live; ++v) acc[v] = hn::Add(acc[v], acc[v + live]);
  }
  HWY_ALIGN double p[kLanes];
  hn::Store(acc[0], d, p);
  for (std::size_t half = kLanes / 2; half > 0; half /= 2)
    for (std::size_t j = 0; j < half; ++j) p[j] += p[j + half];
  return p[0];
}

double FirDot(const double* HWY_RESTRICT a, const double* HWY_RESTRICT b, std::size_t n) {
  const DotTag d;
  using Vec = hn::Vec<DotTag>;
  Vec acc[kVectors];
  for (Vec& v : acc) v = hn::Zero(d);
  std::size_t k = 0;
  for (; k + kDotSums <= n; k += kDotSums) {
    for (std::size_t v = 0; v < kVectors; ++v) {
      const std::size_t at = k + v * kLanes;
      acc[v] = hn::MulAdd(hn::LoadU(d, a + at), hn::LoadU(d, b + at), acc[v]);
    }
  }
  // The rest (fewer than kDotSums products): whole vectors, then one
  // with the lanes past n zero, so each partial keeps its own products.
  std::size_t v = 0;
  for (; k + kLanes <= n; ++v, k += kLanes) acc[v] = hn::MulAdd(hn::LoadU(d, a + k), hn::LoadU(d, b + k), acc[v]);
  if (k < n) acc[v] = hn::MulAdd(LoadDotTail(d, a + k, n - k), LoadDotTail(d, b + k, n - k), acc[v]);
  return AddDotSums(d, acc);
}

const char* DotTarget() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace nel::dsp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nel::dsp {

HWY_EXPORT(FirDot);
HWY_EXPORT(DotTarget);

double DotProduct(const double* a, const double* b, std::size_t n) { return HWY_DYNAMIC_DISPATCH(FirDot)(a, b, n); }

double DotProductPlain(const double* a, const double* b, std::size_t n) {
  double y = 0.0;
  for (std::size_t k = 0; k < n; ++k) y += a[k] * b[k];
  return y;
}

const char* DotProductTarget() { return HWY_DYNAMIC_DISPATCH(DotTarget)(); }

FirFilter::FirFilter(std::span<const double> taps) : taps_(taps.begin(), taps.end()), line_(2 * taps.size(), 0.0) {}

const double* FirFilter::Push(double x) {
  const std::size_t count = taps_.size();
  if (count == 0) return nullptr;
  pos_ = (pos_ == 0 ? count : pos_) - 1;
  line_[pos_] = x;
  line_[pos_ + count] = x;
  return line_.data() + pos_;
}

void FirFilter::Process(std::span<const double> in, std::span<double> out) {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = Step(in[i]);
}

void FirFilter::Reset() {
  std::fill(line_.begin(), line_.end(), 0.0);
  pos_ = 0;
}

}  // namespace nel::dsp
#endif  // HWY_ONCE
