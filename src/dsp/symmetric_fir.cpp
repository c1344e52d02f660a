#include "dsp/symmetric_fir.h"

#include <algorithm>
#include <cstring>

// Runtime dispatch: this file is compiled once per instruction set by Highway.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "dsp/symmetric_fir.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

// The loops over filters and output vectors have constant trip counts; they
// must be unrolled so that the accumulators and taps stay in registers.
#ifndef NEL_UNROLL
#define NEL_UNROLL _Pragma("GCC unroll 16")
#endif

HWY_BEFORE_NAMESPACE();
namespace nel::dsp {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// V consecutive output vectors starting at output n0, for F filters.
// x[j] is the input at output index j - (N - 1): output n reads x[n .. n + N - 1].
template <std::size_t F, std::size_t V>
HWY_INLINE void Outputs(const double* HWY_RESTRICT x, std::size_t n0, std::size_t taps_count, std::size_t pairs,
                        bool centre, const double* HWY_RESTRICT taps, std::size_t half, double* const* out) {
  const hn::ScalableTag<double> d;
  const std::size_t lanes = hn::Lanes(d);
  using Vec = hn::Vec<decltype(d)>;
  Vec acc[F][V];
  NEL_UNROLL for (std::size_t f = 0; f < F; ++f) NEL_UNROLL for (std::size_t v = 0; v < V; ++v) acc[f][v] = hn::Zero(d);
  const double* newest = x + n0 + taps_count - 1;  // x[n0 - k] for k = 0 sits at newest[0]
  const double* oldest = x + n0;
  for (std::size_t k = 0; k < pairs; ++k) {
    Vec h[F];
    NEL_UNROLL for (std::size_t f = 0; f < F; ++f) h[f] = hn::Set(d, taps[f * half + k]);
    NEL_UNROLL for (std::size_t v = 0; v < V; ++v) {
      const Vec s = hn::Add(hn::LoadU(d, newest - k + v * lanes), hn::LoadU(d, oldest + k + v * lanes));
      NEL_UNROLL for (std::size_t f = 0; f < F; ++f) acc[f][v] = hn::MulAdd(h[f], s, acc[f][v]);
    }
  }
  if (centre) {
    Vec h[F];
    NEL_UNROLL for (std::size_t f = 0; f < F; ++f) h[f] = hn::Set(d, taps[f * half + pairs]);
    NEL_UNROLL for (std::size_t v = 0; v < V; ++v) {
      const Vec s = hn::LoadU(d, oldest + pairs + v * lanes);
      NEL_UNROLL for (std::size_t f = 0; f < F; ++f) acc[f][v] = hn::MulAdd(h[f], s, acc[f][v]);
    }
  }
  NEL_UNROLL for (std::size_t f = 0; f < F; ++f) NEL_UNROLL for (std::size_t v = 0; v < V; ++v)
      hn::StoreU(acc[f][v], d, out[f] + n0 + v * lanes);
}

// Computes outputs 0 .. count-1 (and possibly up to 4 vectors beyond, which
// the caller's slack absorbs).
template <std::size_t F>
void Block(const double* x, std::size_t count, std::size_t taps_count, const double* taps, std::size_t half,
           double* const* out) {
  const hn::ScalableTag<double> d;
  const std::size_t lanes = hn::Lanes(d);
  const std::size_t pairs = taps_count / 2;
  const bool centre = (taps_count % 2) != 0;
  std::size_t n0 = 0;
  while (n0 < count) {
    const std::size_t left = count - n0;
    if (left > 3 * lanes) {
      Outputs<F, 4>(x, n0, taps_count, pairs, centre, taps, half, out);
      n0 += 4 * lanes;
    } else {
      Outputs<F, 1>(x, n0, taps_count, pairs, centre, taps, half, out);
      n0 += lanes;
    }
  }
}

void Block1(const double* x, std::size_t count, std::size_t n, const double* taps, std::size_t half,
            double* const* out) {
  Block<1>(x, count, n, taps, half, out);
}
void Block2(const double* x, std::size_t count, std::size_t n, const double* taps, std::size_t half,
            double* const* out) {
  Block<2>(x, count, n, taps, half, out);
}
void Block3(const double* x, std::size_t count, std::size_t n, const double* taps, std::size_t half,
            double* const* out) {
  Block<3>(x, count, n, taps, half, out);
}
const char* TargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace nel::dsp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nel::dsp {

HWY_EXPORT(Block1);
HWY_EXPORT(Block2);
HWY_EXPORT(Block3);
HWY_EXPORT(TargetName);

namespace {
// Outputs may run up to four vectors past the block: room for the widest
// vectors Highway uses on any processor (2048-bit, 32 doubles).
constexpr std::size_t kSlack = 4 * 32;
}  // namespace

SymmetricFirGroup::SymmetricFirGroup(std::initializer_list<std::span<const double>> taps) {
  if (taps.size() == 0 || taps.size() > kMaxFilters) return;
  const std::size_t n = taps.begin()->size();
  if (n == 0) return;
  for (const auto& t : taps)
    if (t.size() != n) return;
  filters_ = taps.size();
  tapsCount_ = n;
  half_ = (n + 1) / 2;
  halfTaps_.resize(filters_ * half_);
  std::size_t f = 0;
  for (const auto& t : taps)
    std::copy_n(t.begin(), half_, halfTaps_.begin() + static_cast<std::ptrdiff_t>(f++ * half_));
  history_.assign((n - 1) + kMaxBlock + kSlack, 0.0);
  for (std::size_t i = 0; i < filters_; ++i) out_[i].assign(kMaxBlock + kSlack, 0.0);
}

void SymmetricFirGroup::Process(const double* in, std::size_t count) {
  if (filters_ == 0 || in == nullptr) return;
  count = std::min(count, kMaxBlock);
  if (count == 0) return;
  const std::size_t keep = tapsCount_ - 1;
  if (fill_ + count > kMaxBlock) {
    // Slide the last N-1 samples to the front; the slack beyond stays finite.
    std::memmove(history_.data(), history_.data() + fill_, keep * sizeof(double));
    fill_ = 0;
  }
  std::memcpy(history_.data() + keep + fill_, in, count * sizeof(double));
  double* outs[kMaxFilters] = {out_[0].data(), out_[1].data(), out_[2].data()};
  const double* x = history_.data() + fill_;
  switch (filters_) {
    case 1: HWY_DYNAMIC_DISPATCH(Block1)(x, count, tapsCount_, halfTaps_.data(), half_, outs); break;
    case 2: HWY_DYNAMIC_DISPATCH(Block2)(x, count, tapsCount_, halfTaps_.data(), half_, outs); break;
    default: HWY_DYNAMIC_DISPATCH(Block3)(x, count, tapsCount_, halfTaps_.data(), half_, outs); break;
  }
  fill_ += count;
}

void SymmetricFirGroup::Reset() {
  std::fill(history_.begin(), history_.end(), 0.0);
  fill_ = 0;
}

const char* SymmetricFirGroup::KernelTarget() { return HWY_DYNAMIC_DISPATCH(TargetName)(); }

}  // namespace nel::dsp
#endif  // HWY_ONCE
