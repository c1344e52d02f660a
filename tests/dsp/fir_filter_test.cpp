#include "dsp/fir_filter.h"
#include "dsp/filter_design.h"
#include "dsp/iir_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using nel::dsp::FirFilter;
using nel::dsp::FirstOrderIir;

std::vector<double> TestSignal(std::size_t n) {
  std::vector<double> x(n);
  for (std::size_t i = 0; i < n; ++i)
    x[i] = 100.0 * std::sin(0.01 * static_cast<double>(i)) + 7.0 * std::cos(1.3 * static_cast<double>(i)) +
           static_cast<double>((i * 7919) % 13);
  return x;
}

// Same summation order as the direct convolution: bit-identical results,
// across the wrap of the delay line and whatever the block sizes.
TEST(FirFilter, StepAndBlockFormsMatchDirectConvolution) {
  const auto taps = nel::dsp::LowpassTaps(31, 0.1);
  const auto x = TestSignal(200);
  std::vector<double> expect(x.size());
  for (std::size_t n = 0; n < x.size(); ++n)
    for (std::size_t k = 0; k < taps.size() && k <= n; ++k) expect[n] += taps[k] * x[n - k];
  FirFilter one(taps);
  for (std::size_t n = 0; n < x.size(); ++n) ASSERT_EQ(one.Step(x[n]), expect[n]) << n;
  for (std::size_t block : {1u, 7u, 27u, 200u}) {
    FirFilter f(taps);
    std::vector<double> out(x.size());
    for (std::size_t i = 0; i < x.size(); i += block) {
      const std::size_t n = std::min(block, x.size() - i);
      f.Process(std::span(x).subspan(i, n), std::span(out).subspan(i, n));
    }
    EXPECT_EQ(out, expect) << "block " << block;
  }
  std::vector<double> inPlace = x;
  FirFilter(taps).Process(inPlace);
  EXPECT_EQ(inPlace, expect);
}

TEST(FirFilter, OwnsItsTapsAndCopiesCarryTheirOwnHistory) {
  std::vector<double> taps{1.0, 1.0, 1.0};
  FirFilter f(taps);
  taps.assign(3, 100.0);  // the caller's array may be discarded after construction
  EXPECT_EQ(f.Step(2.0), 2.0);
  FirFilter copy = f;  // a copy carries its own delay line on
  EXPECT_EQ(f.Step(3.0), 5.0);
  EXPECT_EQ(copy.Step(10.0), 12.0);
  FirFilter empty;
  EXPECT_EQ(empty.Step(5.0), 0.0);
}

TEST(FirstOrderIir, FollowsTheDifferenceEquationAndNormalisesByA0) {
  FirstOrderIir f(0.5, 0.25, 2.0, -0.5);  // y = 0.25x + 0.125x1 + 0.25y1
  EXPECT_EQ(f.Step(4.0), 1.0);
  EXPECT_EQ(f.Step(0.0), 0.5 + 0.25);
  EXPECT_EQ(f.Step(8.0), 2.0 + 0.0 + 0.1875);
  f.Reset();
  EXPECT_EQ(f.Step(4.0), 1.0);
  FirstOrderIir zero_a0(1.0, 0.0, 0.0, 0.0);  // taken as a0 = 1
  EXPECT_EQ(zero_a0.Step(3.0), 3.0);
}

}  // namespace
