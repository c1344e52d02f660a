#include "bp/bp_numeric.h"

namespace nel::bp {

float QuadInterpolate(float x0, float y0, float x1, float y1, float x2, float y2, float x) {
  return y0 * (x - x1) * (x - x2) / ((x0 - x1) * (x0 - x2)) + y1 * (x - x0) * (x - x2) / ((x1 - x0) * (x1 - x2)) +
         y2 * (x - x0) * (x - x1) / ((x2 - x0) * (x2 - x1));
}

PeakScan ParabolaPeakScan(const double* c, double mean, double from, double to, float startValue, int maxSteps) {
  PeakScan best{startValue, 0.0f};
  double q = from;
  for (int s = 0; q >= to && s < maxSteps; ++s, q -= 0.01) {
    const double d = q - mean;
    const float f = static_cast<float>(c[0] + c[1] * d + c[2] * d * d);
    if (f >= best.value) best = {f, static_cast<float>(q)};
  }
  return best;
}

namespace {

constexpr int kMaxCoefficients = 20;

// Value of the polynomial with power coefficients c[0..deg] at t (Horner).
double Evaluate(const double* c, int deg, double t) {
  double v = 0.0;
  for (int d = deg; d >= 0; --d) v = v * t + c[d];
  return v;
}

}  // namespace

bool PolyFit(const double* x, const double* y, int n, int k, double* coef, double* sumSquares, double* sumAbs,
             double* maxAbs) {
  if (x == nullptr || y == nullptr || coef == nullptr || n < 1 || k < 1 || k > kMaxCoefficients || k > n) {
    return false;
  }
  double mean = 0.0;
  for (int i = 0; i < n; ++i) mean += x[i];
  mean /= n;

  // Orthogonal polynomials in t = x - mean, kept as power coefficients:
  // q[j+1](t) = (t - alpha[j]) q[j](t) - beta[j] q[j-1](t), with
  // alpha[j] = sum t q[j]^2 / sum q[j]^2 and beta[j] = sum q[j]^2 / sum q[j-1]^2.
  // The fit is sum over j of (sum y q[j] / sum q[j]^2) q[j].
  double qPrev[kMaxCoefficients + 1] = {};
  double q[kMaxCoefficients + 1] = {};
  double qNext[kMaxCoefficients + 1];
  q[0] = 1.0;
  double normPrev = 1.0;
  for (int j = 0; j < k; ++j) coef[j] = 0.0;
  for (int j = 0; j < k; ++j) {
    double norm = 0.0, sy = 0.0, st = 0.0;
    for (int i = 0; i < n; ++i) {
      const double t = x[i] - mean;
      const double v = Evaluate(q, j, t);
      norm += v * v;
      sy += y[i] * v;
      st += t * v * v;
    }
    // Fewer distinct abscissae than coefficients: the higher terms stay 0.
    if (norm == 0.0) break;
    const double b = sy / norm;
    for (int d = 0; d <= j; ++d) coef[d] += b * q[d];
    const double alpha = st / norm;
    const double beta = j == 0 ? 0.0 : norm / normPrev;
    for (int d = 0; d <= j + 1; ++d) {
      const double shifted = d > 0 ? q[d - 1] : 0.0;
      const double own = d <= j ? q[d] : 0.0;
      const double older = d < j ? qPrev[d] : 0.0;
      qNext[d] = shifted - alpha * own - beta * older;
    }
    for (int d = 0; d <= j + 1; ++d) {
      qPrev[d] = d <= j ? q[d] : 0.0;
      q[d] = qNext[d];
    }
    normPrev = norm;
  }

  double sq = 0.0, ab = 0.0, mx = 0.0;
  for (int i = 0; i < n; ++i) {
    const double r = std::fabs(y[i] - Evaluate(coef, k - 1, x[i] - mean));
    sq += r * r;
    ab += r;
    if (r > mx) mx = r;
  }
  if (sumSquares != nullptr) *sumSquares = sq;
  if (sumAbs != nullptr) *sumAbs = ab;
  if (maxAbs != nullptr) *maxAbs = mx;
  return true;
}

}  // namespace nel::bp
