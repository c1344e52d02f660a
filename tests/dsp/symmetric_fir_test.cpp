// The block FIR group of the filter bank against the plain one-sample filter.
#include "dsp/symmetric_fir.h"

#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <cmath>
#include <string>
#include <vector>

#include "dsp/filter_design.h"
#include "dsp/fir_filter.h"

namespace {

using nel::dsp::FirFilter;
using nel::dsp::SymmetricFirGroup;

std::vector<double> Signal(std::size_t n, double scale) {
  std::vector<double> x(n);
  unsigned r = 12345;
  for (std::size_t i = 0; i < n; ++i) {
    r = r * 1103515245u + 12345u;
    x[i] = scale * (std::sin(0.003 * static_cast<double>(i)) + 0.2 * static_cast<double>(r >> 16) / 65536.0);
  }
  return x;
}

// Runs the group over x in blocks cycling through `blocks`; returns filter f's outputs.
std::vector<std::vector<double>> RunGroup(SymmetricFirGroup& g, const std::vector<double>& x,
                                          std::initializer_list<std::size_t> blocks) {
  std::vector<std::vector<double>> out(g.FilterCount());
  std::size_t i = 0;
  auto b = blocks.begin();
  while (i < x.size()) {
    const std::size_t n = std::min(*b, x.size() - i);
    g.Process(x.data() + i, n);
    for (std::size_t f = 0; f < g.FilterCount(); ++f) out[f].insert(out[f].end(), g.Output(f), g.Output(f) + n);
    i += n;
    if (++b == blocks.end()) b = blocks.begin();
  }
  return out;
}

double MaxRelative(const std::vector<double>& a, const std::vector<double>& b, double scale) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]) / scale);
  return worst;
}

// Single filters of odd and even lengths, in blocks of every size.
TEST(SymmetricFirGroup, MatchesThePlainFilter) {
  const auto x = Signal(3000, 1000.0);
  using nel::dsp::LowpassTaps;
  for (const auto& taps :
       {nel::dsp::HighpassTaps(501, 0.04), LowpassTaps(200, 0.05), LowpassTaps(1, 0.1), LowpassTaps(2, 0.1)}) {
    SymmetricFirGroup g{taps};
    FirFilter plain(taps);
    std::vector<double> expect(x.size());
    plain.Process(x, expect);
    EXPECT_LT(MaxRelative(RunGroup(g, x, {27, 1, 7, 1024, 300})[0], expect, 1000.0), 1e-12) << taps.size();
  }
}

// Every kernel compiled in (the best one of this processor, the older
// instruction sets, and the portable scalar-lane one used by processors without
// SIMD support) gives the same outputs to rounding.
TEST(SymmetricFirGroup, EveryKernelAgreesWithTheBestKernel) {
  const auto x = Signal(3000, 1000.0);
  const auto w = nel::dsp::LowpassTaps(2001, 0.022), b = nel::dsp::LowpassTaps(2001, 0.0003),
             n = nel::dsp::LowpassTaps(2001, 0.005);
  SymmetricFirGroup best{w, b, n};
  const std::string best_name = SymmetricFirGroup::KernelTarget();
  const auto fast = RunGroup(best, x, {27});

  std::vector<int64_t> targets = hwy::SupportedAndGeneratedTargets();
  targets.push_back(HWY_STATIC_TARGET);  // the baseline build
  std::vector<std::string> names;
  for (int64_t target : targets) {
    hwy::SetSupportedTargetsForTest(target);
    names.push_back(SymmetricFirGroup::KernelTarget());
    EXPECT_EQ(names.back(), hwy::TargetName(target));
    SymmetricFirGroup other{w, b, n};
    const auto out = RunGroup(other, x, {27, 5});
    for (std::size_t f = 0; f < 3; ++f) EXPECT_LT(MaxRelative(out[f], fast[f], 1000.0), 1e-12) << names.back();
  }
  hwy::SetSupportedTargetsForTest(0);
  EXPECT_EQ(SymmetricFirGroup::KernelTarget(), best_name);
  EXPECT_NE(names.back(), best_name);  // the baseline really is another kernel
}

}  // namespace
