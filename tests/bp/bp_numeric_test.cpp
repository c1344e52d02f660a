// The numeric helpers of the BP calculation against independent computations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "bp/bp_numeric.h"
#include "bp_test_support.h"

namespace {

using bptest::NormalEquationsFit;

TEST(PolyFit, MatchesTheNormalEquations) {
  // Four envelope points as the KR method fits them, and a longer noisy series.
  const double x4[] = {131.0, 129.0, 127.0, 125.0};
  const double y4[] = {8123.0, 9050.0, 8710.0, 7302.0};
  double xs[15], ys[15];
  for (int i = 0; i < 15; ++i) {
    xs[i] = 60.0 + 2.5 * i;
    ys[i] = 500.0 + 40.0 * i - 3.0 * i * i + 0.2 * i * i * i + ((i * 7919) % 13 - 6) * 11.0;
  }
  struct Case {
    const double* x;
    const double* y;
    int n, k;
  } cases[] = {{x4, y4, 4, 3}, {xs, ys, 15, 3}, {xs, ys, 15, 5}, {xs, ys, 15, 1}};
  for (const Case& cs : cases) {
    double got[20], want[20], sq, ab, mx;
    ASSERT_TRUE(nel::bp::PolyFit(cs.x, cs.y, cs.n, cs.k, got, &sq, &ab, &mx));
    NormalEquationsFit(cs.x, cs.y, cs.n, cs.k, want);
    double wantSq = 0, wantAb = 0, wantMx = 0, mean = 0;
    for (int i = 0; i < cs.n; ++i) mean += cs.x[i];
    mean /= cs.n;
    for (int j = 0; j < cs.k; ++j)
      EXPECT_NEAR(got[j], want[j], 1e-9 * (1 + std::fabs(want[j]))) << "n " << cs.n << " k " << cs.k << " c" << j;
    for (int i = 0; i < cs.n; ++i) {
      double f = 0;
      for (int j = cs.k - 1; j >= 0; --j) f = f * (cs.x[i] - mean) + want[j];
      const double r = std::fabs(cs.y[i] - f);
      wantSq += r * r;
      wantAb += r;
      wantMx = std::max(wantMx, r);
    }
    EXPECT_NEAR(sq, wantSq, 1e-6 * (1 + wantSq));
    EXPECT_NEAR(ab, wantAb, 1e-6 * (1 + wantAb));
    EXPECT_NEAR(mx, wantMx, 1e-6 * (1 + wantMx));
  }
}

TEST(PolyFit, AsManyCoefficientsAsPointsInterpolates) {
  const double x[] = {1.0, 2.0, 4.0};
  const double y[] = {3.0, -1.0, 7.0};
  double c[3], sq, mx;
  ASSERT_TRUE(nel::bp::PolyFit(x, y, 3, 3, c, &sq, nullptr, &mx));
  EXPECT_LT(mx, 1e-9);
  EXPECT_LT(sq, 1e-18);
}

TEST(PolyFit, RejectsArgumentsOutOfRange) {
  const double x[25] = {}, y[25] = {};
  double c[21] = {};
  EXPECT_FALSE(nel::bp::PolyFit(x, y, 3, 4, c, nullptr, nullptr, nullptr));    // more coefficients than points
  EXPECT_FALSE(nel::bp::PolyFit(x, y, 25, 21, c, nullptr, nullptr, nullptr));  // more than 20
  EXPECT_FALSE(nel::bp::PolyFit(x, y, 3, 0, c, nullptr, nullptr, nullptr));
  EXPECT_FALSE(nel::bp::PolyFit(nullptr, y, 3, 2, c, nullptr, nullptr, nullptr));
  // All abscissae equal: only the mean can be fitted; the rest stays 0.
  const double yy[] = {1.0, 2.0, 6.0};
  ASSERT_TRUE(nel::bp::PolyFit(x, yy, 3, 3, c, nullptr, nullptr, nullptr));
  EXPECT_DOUBLE_EQ(c[0], 3.0);
  EXPECT_EQ(c[1], 0.0);
  EXPECT_EQ(c[2], 0.0);
}

TEST(QuadInterpolate, ReproducesAQuadraticAndItsNodes) {
  auto f = [](float x) { return 3.0f * x * x - 2.0f * x + 5.0f; };
  const float x0 = 10.0f, x1 = 9.0f, x2 = 7.0f;
  EXPECT_FLOAT_EQ(nel::bp::QuadInterpolate(x0, f(x0), x1, f(x1), x2, f(x2), 8.0f), f(8.0f));
  EXPECT_FLOAT_EQ(nel::bp::QuadInterpolate(x0, f(x0), x1, f(x1), x2, f(x2), 9.5f), f(9.5f));
  EXPECT_EQ(nel::bp::QuadInterpolate(x0, 1.0f, x1, 2.0f, x2, 4.0f, x0), 1.0f);
  EXPECT_EQ(nel::bp::QuadInterpolate(x0, 1.0f, x1, 2.0f, x2, 4.0f, x1), 2.0f);
}

TEST(TruncTo, TruncatesTowardZeroAndSaturates) {
  EXPECT_EQ(nel::bp::TruncTo<int16_t>(119.9), 119);
  EXPECT_EQ(nel::bp::TruncTo<int16_t>(-1.7), -1);
  EXPECT_EQ(nel::bp::TruncTo<int16_t>(1e10), 32767);
  EXPECT_EQ(nel::bp::TruncTo<int16_t>(-1e10), -32768);
  EXPECT_EQ(nel::bp::TruncTo<int32_t>(std::numeric_limits<double>::quiet_NaN()), 0);
  EXPECT_EQ(nel::bp::TruncTo<int32_t>(-std::numeric_limits<double>::infinity()), INT32_MIN);
}

}  // namespace

// The scan compares in single precision: near a flat top many steps give the
// same float, and the lowest of them wins. For a vertex at 91.502 mmHg on a top
// of 30000 the float values tie from 91.53 down to 91.48 (MAP 91); comparing
// the double value with the float best would stop at 91.53 (MAP 92).
TEST(ParabolaPeakScan, EqualSinglePrecisionValuesGoToTheLowerPressure) {
  const double vertex = 91.502, top = 30000.0, c2 = -1.0, mean = 90.0;
  const double a = vertex - mean;
  const double c[3] = {top + c2 * a * a, -2.0 * c2 * a, c2};
  const nel::bp::PeakScan p = nel::bp::ParabolaPeakScan(c, mean, 100.0, 80.0, 29000.0f, 100000);
  EXPECT_FLOAT_EQ(p.value, 30000.0f);
  EXPECT_NEAR(p.pressure, 91.48f, 0.002f);
  EXPECT_EQ(nel::bp::TruncTo<int16_t>(p.pressure + 0.5), 91);
  // Nothing reaches the start value: the pressure stays 0.
  EXPECT_EQ(nel::bp::ParabolaPeakScan(c, mean, 100.0, 80.0, 30001.0f, 100000).pressure, 0.0f);
}
