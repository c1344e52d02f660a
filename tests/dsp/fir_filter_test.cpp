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

TEST(FirFilter, MatchesDirectConvolutionAcrossTheWrapOfTheDelayLine) {
  const auto taps = nel::dsp::LowpassTaps(31, 0.1);
  const auto x = TestSignal(200);
  FirFilter f(taps);
  for (std::size_t n = 0; n < x.size(); ++n) {
    double expect = 0.0;
    for (std::size_t k = 0; k < taps.size() && k <= n; ++k) expect += taps[k] * x[n - k];
    ASSERT_EQ(f.Step(x[n]), expect) << n;  // same summation order: bit-identical
  }
}

TEST(FirFilter, BlockFormGivesTheOneSampleResultsWhateverTheBlockSizes) {
  const auto taps = nel::dsp::LowpassTaps(201, 0.05);
  const auto x = TestSignal(1000);
  FirFilter one(taps);
  std::vector<double> expect(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) expect[i] = one.Step(x[i]);

  for (std::size_t block : {1u, 7u, 27u, 1000u}) {
    FirFilter f(taps);
    std::vector<double> out(x.size());
    for (std::size_t i = 0; i < x.size(); i += block) {
      const std::size_t n = std::min(block, x.size() - i);
      f.Process(std::span(x).subspan(i, n), std::span(out).subspan(i, n));
    }
    EXPECT_EQ(out, expect) << "block " << block;
    std::vector<double> in_place = x;  // in-place form
    FirFilter g(taps);
    g.Process(in_place);
    EXPECT_EQ(in_place, expect);
  }
}

TEST(FirFilter, OwnsItsTapsAndStateResetsToZero) {
  std::vector<double> taps{1.0, 1.0, 1.0};
  FirFilter f(taps);
  taps.assign(3, 100.0);  // the caller's array may be discarded after construction
  EXPECT_EQ(f.Step(2.0), 2.0);
  FirFilter copy = f;  // a copy carries its own delay line on
  EXPECT_EQ(f.Step(3.0), 5.0);
  EXPECT_EQ(copy.Step(10.0), 12.0);
  f.Reset();
  EXPECT_EQ(f.Step(1.0), 1.0);
  FirFilter empty;
  EXPECT_EQ(empty.Step(5.0), 0.0);
}

TEST(FirstOrderIir, EcgHighpassSettlesNearTheStatedFractionOfAConstant) {
  FirstOrderIir hp(0.996666666666667, -0.996672216054523, 1.0, -0.996672216054523);
  double y = 0.0;
  for (int i = 0; i < 20000; ++i) y = hp.Step(1000.0);
  // Steady state b0+b1 over 1+a1 = -5.549e-6 / 3.3278e-3 = -0.0016676
  EXPECT_NEAR(y / 1000.0, (0.996666666666667 - 0.996672216054523) / (1.0 - 0.996672216054523), 1e-9);
  EXPECT_NEAR(y / 1000.0, -0.00167, 1e-5);
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

TEST(FirstOrderIir, BlockFormGivesTheOneSampleResults) {
  const auto x = TestSignal(300);
  FirstOrderIir one(0.996666666666667, -0.996672216054523, 1.0, -0.996672216054523);
  FirstOrderIir blk = one;
  std::vector<double> expect(x.size()), out(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) expect[i] = one.Step(x[i]);
  for (std::size_t i = 0; i < x.size(); i += 7) {
    const std::size_t n = std::min<std::size_t>(7, x.size() - i);
    blk.Process(std::span(x).subspan(i, n), std::span(out).subspan(i, n));
  }
  EXPECT_EQ(out, expect);
}

}  // namespace
