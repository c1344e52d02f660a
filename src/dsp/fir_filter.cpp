#include "dsp/fir_filter.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>

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

// Three sums over one operand b: each partial sum takes the same products in
// the same order as in FirDot, so each result has FirDot's bits. The partial
// sums are run in groups of at most four vectors, so twelve accumulators are
// live at once whatever the vector width.
void FirDot3(const double* HWY_RESTRICT a0, const double* HWY_RESTRICT a1, const double* HWY_RESTRICT a2,
             const double* HWY_RESTRICT b, std::size_t n, double* HWY_RESTRICT out) {
  const DotTag d;
  using Vec = hn::Vec<DotTag>;
  const double* const a[3] = {a0, a1, a2};
  Vec acc[3][kVectors];
  for (auto& sums : acc)
    for (Vec& v : sums) v = hn::Zero(d);
  constexpr std::size_t kGroup = kVectors < 4 ? kVectors : 4;
  const std::size_t whole = n - n % kDotSums;
  for (std::size_t first = 0; first < kVectors; first += kGroup) {
    for (std::size_t k = 0; k < whole; k += kDotSums) {
      for (std::size_t v = first; v < first + kGroup; ++v) {
        const std::size_t at = k + v * kLanes;
        const Vec x = hn::LoadU(d, b + at);
        for (std::size_t f = 0; f < 3; ++f) acc[f][v] = hn::MulAdd(hn::LoadU(d, a[f] + at), x, acc[f][v]);
      }
    }
  }
  std::size_t k = whole;
  std::size_t v = 0;
  for (; k + kLanes <= n; ++v, k += kLanes) {
    const Vec x = hn::LoadU(d, b + k);
    for (std::size_t f = 0; f < 3; ++f) acc[f][v] = hn::MulAdd(hn::LoadU(d, a[f] + k), x, acc[f][v]);
  }
  if (k < n) {
    const Vec x = LoadDotTail(d, b + k, n - k);
    for (std::size_t f = 0; f < 3; ++f) acc[f][v] = hn::MulAdd(LoadDotTail(d, a[f] + k, n - k), x, acc[f][v]);
  }
  for (std::size_t f = 0; f < 3; ++f) out[f] = AddDotSums(d, acc[f]);
}

const char* DotTarget() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace nel::dsp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nel::dsp {

HWY_EXPORT(FirDot);
HWY_EXPORT(FirDot3);
HWY_EXPORT(DotTarget);

double DotProduct(const double* a, const double* b, std::size_t n) { return HWY_DYNAMIC_DISPATCH(FirDot)(a, b, n); }

double DotProductPlain(const double* a, const double* b, std::size_t n) {
  double y = 0.0;
  for (std::size_t k = 0; k < n; ++k) y += a[k] * b[k];
  return y;
}

void DotProducts3(const double* const (&a)[3], const double* b, std::size_t n, double (&out)[3]) {
  HWY_DYNAMIC_DISPATCH(FirDot3)(a[0], a[1], a[2], b, n, out);
}

const char* DotProductTarget() { return HWY_DYNAMIC_DISPATCH(DotTarget)(); }

DelayLine::DelayLine(std::size_t length) : length_(length), line_(2 * length, 0.0) {}

const double* DelayLine::Push(double x) {
  if (length_ == 0) return nullptr;
  pos_ = (pos_ == 0 ? length_ : pos_) - 1;
  line_[pos_] = x;
  line_[pos_ + length_] = x;
  return line_.data() + pos_;
}

void DelayLine::Reset() {
  std::fill(line_.begin(), line_.end(), 0.0);
  pos_ = 0;
}

FirFilter::FirFilter(std::span<const double> taps) : taps_(taps.begin(), taps.end()), line_(taps.size()) {}

void FirFilter::Process(std::span<const double> in, std::span<double> out) {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = Step(in[i]);
}

FirFilterTrio::Table FirFilterTrio::Join(std::span<const double> taps0, std::span<const double> taps1,
                                         std::span<const double> taps2) {
  if (taps1.size() != taps0.size() || taps2.size() != taps0.size())
    throw std::invalid_argument("FirFilterTrio: the three filters need the same number of taps");
  constexpr std::size_t kLineDoubles = 64 / sizeof(double);
  auto table = std::make_shared<TapTable>();
  table->length_ = taps0.size();
  table->stride_ = (taps0.size() + kLineDoubles - 1) / kLineDoubles * kLineDoubles;
  table->storage_.assign(3 * table->stride_ + kLineDoubles - 1, 0.0);
  const auto address = reinterpret_cast<std::uintptr_t>(table->storage_.data());
  table->first_ = (64 - address % 64) % 64 / sizeof(double);  // the vector's storage is 8-byte aligned
  std::size_t f = 0;
  for (const auto taps : {taps0, taps1, taps2})
    std::copy(taps.begin(), taps.end(),
              table->storage_.begin() + static_cast<std::ptrdiff_t>(table->first_ + f++ * table->stride_));
  return table;
}

FirFilterTrio::FirFilterTrio(Table table)
    : taps_(std::move(table)), length_(taps_ ? taps_->Length() : 0), line_(length_) {}

void FirFilterTrio::Step(double x, double (&y)[3]) {
  const double* window = line_.Push(x);
  if (window == nullptr) {
    y[0] = y[1] = y[2] = 0.0;
    return;
  }
  const double* const taps[3] = {taps_->Taps(0), taps_->Taps(1), taps_->Taps(2)};
  DotProducts3(taps, window, length_, y);
}

}  // namespace nel::dsp
#endif  // HWY_ONCE
