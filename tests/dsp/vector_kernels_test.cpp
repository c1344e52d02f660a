// The vector kernels against their plain loops, for every instruction set
// Highway compiled them for that this processor runs: the FIR filter's dot
// product and the running median's counts, at lengths around the vector and
// partial-sum widths, operands at odd offsets.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "dsp/count_below.h"
#include "dsp/fir_filter.h"

namespace {

using nel::dsp::DotProduct;
using nel::dsp::DotProductPlain;

constexpr std::size_t kLengths[] = {0, 1, 2, 3, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 100, 201, 501};
struct Offsets {
  std::size_t a, b;
};
constexpr Offsets kOffsets[] = {{0, 0}, {1, 0}, {0, 3}, {5, 7}};

// n values after `offset` leading ones, ending at the end of the vector, so a
// read past the operand leaves the allocation (caught by the sanitizer build).
std::vector<double> Operand(std::size_t offset, std::size_t n, uint32_t seed, bool integers) {
  std::vector<double> v(offset + n, std::numeric_limits<double>::quiet_NaN());
  uint32_t r = seed;
  for (std::size_t i = offset; i < offset + n; ++i) {
    r = r * 1664525u + 1013904223u;
    const double u = static_cast<double>(r >> 8) / 16777216.0;  // [0, 1)
    v[i] = integers ? std::floor(17.0 * u) - 8.0 : 200.0 * u - 100.0;
  }
  return v;
}

// Runs f once for each target this processor supports, the dispatched kernel
// switched to it; names the target for failure messages.
template <class F>
void ForEachTarget(F&& f) {
  for (const int64_t target : hwy::SupportedAndGeneratedTargets()) {
    hwy::SetSupportedTargetsForTest(target);
    const std::string name = nel::dsp::DotProductTarget();
    ASSERT_EQ(name, hwy::TargetName(target));
    ASSERT_EQ(name, nel::dsp::CountBelowTarget());
    f(name);
  }
  hwy::SetSupportedTargetsForTest(0);
}

TEST(FirDotProduct, EqualsThePlainLoopExactlyWhenEverySumIsExact) {
  ForEachTarget([](const std::string& target) {
    for (const std::size_t n : kLengths)
      for (const Offsets& o : kOffsets) {
        const auto a = Operand(o.a, n, 1u + static_cast<uint32_t>(n), true);
        const auto b = Operand(o.b, n, 7u + static_cast<uint32_t>(n), true);
        EXPECT_EQ(DotProduct(a.data() + o.a, b.data() + o.b, n), DotProductPlain(a.data() + o.a, b.data() + o.b, n))
            << target << ", n " << n << ", offsets " << o.a << " " << o.b;
      }
  });
}

TEST(FirDotProduct, AgreesWithThePlainLoopToRoundingAndAcrossFusedMultiplyAddTargets) {
  std::vector<double> fma_results;  // of the first target with fused multiply-add, per case
  bool have_fma_results = false;
  ForEachTarget([&](const std::string& target) {
    const bool fma = target == "AVX2" || target.rfind("AVX3", 0) == 0;
    std::size_t c = 0;
    for (const std::size_t n : kLengths)
      for (const Offsets& o : kOffsets) {
        const auto a = Operand(o.a, n, 3u + static_cast<uint32_t>(n), false);
        const auto b = Operand(o.b, n, 11u + static_cast<uint32_t>(n), false);
        const double* pa = a.data() + o.a;
        const double* pb = b.data() + o.b;
        double magnitude = 0.0;
        for (std::size_t k = 0; k < n; ++k) magnitude += std::fabs(pa[k] * pb[k]);
        const double fast = DotProduct(pa, pb, n);
        const double bound = static_cast<double>(n + 1) * std::numeric_limits<double>::epsilon() * magnitude;
        EXPECT_LE(std::fabs(fast - DotProductPlain(pa, pb, n)), bound) << target << ", n " << n;
        if (fma && have_fma_results)
          EXPECT_EQ(fast, fma_results[c]) << target << ", n " << n << ", offsets " << o.a << " " << o.b;
        else if (fma)
          fma_results.push_back(fast);
        ++c;
      }
    have_fma_results = have_fma_results || fma;
  });
}

TEST(FirFilter, StepEqualsStepPlainAndProcessOverTheWrappingDelayLine) {
  for (const std::size_t taps_count : {1u, 6u, 37u, 201u}) {
    const auto taps = Operand(0, taps_count, 5u, true);
    const auto input = Operand(0, 3 * taps_count + 10, 9u, true);
    nel::dsp::FirFilter fast(taps), plain(taps), block(taps);
    std::vector<double> blocked(input);
    block.Process(blocked);
    for (std::size_t i = 0; i < input.size(); ++i) {
      const double y = fast.Step(input[i]);
      ASSERT_EQ(y, plain.StepPlain(input[i])) << taps_count << " taps, sample " << i;
      ASSERT_EQ(y, blocked[i]) << taps_count << " taps, sample " << i;
    }
  }
}

TEST(CountBelow, EqualsThePlainLoop) {
  constexpr int16_t kMin = std::numeric_limits<int16_t>::min(), kMax = std::numeric_limits<int16_t>::max();
  constexpr int16_t kProbes[][2] = {{0, 0}, {-3, 4}, {4, -3}, {kMin, kMax}, {kMax, kMin}, {-21, 21}, {7, 7}};
  ForEachTarget([&](const std::string& target) {
    for (const std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 199u, 200u, 201u})
      for (const std::size_t offset : {0u, 1u, 3u}) {
        // Values in -20..20 (many equal ones), the extremes at both ends.
        std::vector<int16_t> v(offset + n);
        uint32_t r = 17u + static_cast<uint32_t>(n);
        for (std::size_t i = offset; i < v.size(); ++i) {
          r = r * 1664525u + 1013904223u;
          v[i] = static_cast<int16_t>(static_cast<int32_t>(r >> 16) % 41 - 20);
        }
        if (n > 0) v[offset] = kMin;
        if (n > 1) v.back() = kMax;
        for (const auto& p : kProbes) {
          const auto fast = nel::dsp::CountBelow(v.data() + offset, n, p[0], p[1]);
          const auto plain = nel::dsp::CountBelowPlain(v.data() + offset, n, p[0], p[1]);
          EXPECT_EQ(fast.a, plain.a) << target << ", n " << n << ", offset " << offset << ", below " << p[0];
          EXPECT_EQ(fast.b, plain.b) << target << ", n " << n << ", offset " << offset << ", below " << p[1];
        }
      }
  });
}

}  // namespace
