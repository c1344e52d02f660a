#include "dsp/count_below.h"

// Runtime dispatch: this file is compiled once per instruction set by Highway.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "dsp/count_below.cpp"
#include <hwy/foreach_target.h>  // IWYU pragma: keep
#include <hwy/highway.h>

HWY_BEFORE_NAMESPACE();
namespace nel::dsp {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

CountsBelow CountBelowKernel(const int16_t* HWY_RESTRICT values, std::size_t n, int16_t a, int16_t b) {
  const hn::ScalableTag<int16_t> d;
  const std::size_t lanes = hn::Lanes(d);
  const auto va = hn::Set(d, a);
  const auto vb = hn::Set(d, b);
  std::size_t below_a = 0, below_b = 0, i = 0;
  for (; i + lanes <= n; i += lanes) {
    const auto v = hn::LoadU(d, values + i);
    below_a += hn::CountTrue(d, hn::Lt(v, va));
    below_b += hn::CountTrue(d, hn::Lt(v, vb));
  }
  for (; i < n; ++i) {
    below_a += values[i] < a ? 1 : 0;
    below_b += values[i] < b ? 1 : 0;
  }
  return {static_cast<int32_t>(below_a), static_cast<int32_t>(below_b)};
}

const char* CountBelowTargetName() { return hwy::TargetName(HWY_TARGET); }

}  // namespace HWY_NAMESPACE
}  // namespace nel::dsp
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace nel::dsp {

HWY_EXPORT(CountBelowKernel);
HWY_EXPORT(CountBelowTargetName);

CountsBelow CountBelow(const int16_t* values, std::size_t n, int16_t a, int16_t b) {
  return HWY_DYNAMIC_DISPATCH(CountBelowKernel)(values, n, a, b);
}

CountsBelow CountBelowPlain(const int16_t* values, std::size_t n, int16_t a, int16_t b) {
  CountsBelow c{0, 0};
  for (std::size_t i = 0; i < n; ++i) {
    c.a += values[i] < a ? 1 : 0;
    c.b += values[i] < b ? 1 : 0;
  }
  return c;
}

const char* CountBelowTarget() { return HWY_DYNAMIC_DISPATCH(CountBelowTargetName)(); }

}  // namespace nel::dsp
#endif  // HWY_ONCE
