// The vector kernels against their plain loops, for every instruction set
// Highway compiled them for that this processor runs: the FIR filter's dot
// product, at lengths around the vector and partial-sum widths, operands at
// odd offsets. And the beat analyser's running rank against a sort.
#include <gtest/gtest.h>
#include <hwy/targets.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/fir_filter.h"
#include "dsp/rank_window.h"

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

// Three sums over one operand have each single sum's bits, on every target.
TEST(FirDotProduct, ThreeOverOneOperandEqualEachAlone) {
  ForEachTarget([](const std::string& target) {
    for (const std::size_t n : kLengths)
      for (const Offsets& o : kOffsets) {
        const auto a0 = Operand(o.a, n, 2u + static_cast<uint32_t>(n), false);
        const auto a1 = Operand(0, n, 4u + static_cast<uint32_t>(n), false);
        const auto a2 = Operand(o.b, n, 6u + static_cast<uint32_t>(n), false);
        const auto b = Operand(o.b, n, 8u + static_cast<uint32_t>(n), false);
        const double* const a[3] = {a0.data() + o.a, a1.data(), a2.data() + o.b};
        double three[3];
        nel::dsp::DotProducts3(a, b.data() + o.b, n, three);
        for (std::size_t f = 0; f < 3; ++f)
          EXPECT_EQ(three[f], DotProduct(a[f], b.data() + o.b, n))
              << target << ", n " << n << ", offsets " << o.a << " " << o.b << ", sum " << f;
      }
  });
}

TEST(FirFilter, TrioEqualsThreeFiltersOverTheWrappingDelayLine) {
  for (const std::size_t taps_count : {1u, 6u, 37u, 201u}) {
    const auto t0 = Operand(0, taps_count, 21u, false);
    const auto t1 = Operand(0, taps_count, 22u, false);
    const auto t2 = Operand(0, taps_count, 23u, false);
    const auto input = Operand(0, 3 * taps_count + 10, 24u, false);
    const auto table = nel::dsp::FirFilterTrio::Join(t0, t1, t2);
    for (std::size_t f = 0; f < 3; ++f) EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table->Taps(f)) % 64, 0u) << f;
    nel::dsp::FirFilterTrio trio(table);
    nel::dsp::FirFilter single[3] = {nel::dsp::FirFilter(t0), nel::dsp::FirFilter(t1), nel::dsp::FirFilter(t2)};
    for (std::size_t i = 0; i < input.size(); ++i) {
      if (i == 2 * taps_count) {  // a reset clears the line of both forms
        trio.Reset();
        for (auto& f : single) f.Reset();
      }
      double y[3];
      trio.Step(input[i], y);
      for (std::size_t f = 0; f < 3; ++f)
        ASSERT_EQ(y[f], single[f].Step(input[i])) << taps_count << " taps, sample " << i;
    }
  }
  const std::vector<double> three(3, 1.0), two(2, 1.0);
  EXPECT_THROW(nel::dsp::FirFilterTrio(three, three, two), std::invalid_argument);
  nel::dsp::FirFilterTrio none({}, {}, {});
  double y[3] = {1.0, 1.0, 1.0};
  none.Step(5.0, y);
  EXPECT_EQ(y[0] + y[1] + y[2], 0.0);
}

// The window's k-th smallest after every replacement equals the sorted
// window's, over value streams that move the rank across empty stretches of
// the value range: small steps with many equal values, the int16 extremes, and
// jumps between far values (a bitmap word and a summary word apart).
TEST(RankWindow, EqualsTheSortedWindowsKthValue) {
  constexpr int16_t kMin = std::numeric_limits<int16_t>::min(), kMax = std::numeric_limits<int16_t>::max();
  struct Case {
    const char* name;
    int32_t length, k;
    int16_t fill;
    int16_t (*next)(uint32_t r, int32_t i);
  };
  const Case cases[] = {
      {"near values", 200, 100, 0,
       [](uint32_t r, int32_t) -> int16_t { return static_cast<int16_t>(static_cast<int32_t>(r % 41u) - 20); }},
      {"extremes", 200, 100, 0,
       [](uint32_t r, int32_t) -> int16_t {
         return r % 3u == 0 ? kMin : r % 3u == 1 ? kMax : static_cast<int16_t>(r % 5u);
       }},
      {"far jumps", 200, 100, kMin,
       [](uint32_t r, int32_t) -> int16_t { return static_cast<int16_t>(static_cast<int32_t>(r % 65536u) - 32768); }},
      {"drift", 200, 100, 0,
       [](uint32_t r, int32_t i) -> int16_t { return static_cast<int16_t>(i * 7 % 30000 + r % 3u); }},
      {"lowest rank", 9, 0, kMax,
       [](uint32_t r, int32_t) -> int16_t { return static_cast<int16_t>(static_cast<int32_t>(r % 9000u) - 4500); }},
      {"highest rank", 9, 8, kMin,
       [](uint32_t r, int32_t) -> int16_t { return static_cast<int16_t>(static_cast<int32_t>(r % 9000u) - 4500); }},
  };
  for (const Case& c : cases) {
    nel::dsp::RankWindow w;
    w.Reset(c.length, c.k, c.fill);
    std::vector<int16_t> ring(static_cast<std::size_t>(c.length), c.fill);
    uint32_t r = 99u;
    for (int32_t i = 0; i < 5000; ++i) {
      r = r * 1664525u + 1013904223u;
      int16_t& slot = ring[static_cast<std::size_t>(i % c.length)];
      const int16_t value = c.next(r >> 8, i);
      w.Replace(slot, value);
      slot = value;
      std::vector<int16_t> sorted(ring);
      std::nth_element(sorted.begin(), sorted.begin() + c.k, sorted.end());
      ASSERT_EQ(w.Value(), sorted[static_cast<std::size_t>(c.k)]) << c.name << ", step " << i;
    }
  }
}

}  // namespace
