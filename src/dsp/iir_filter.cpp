#include "dsp/iir_filter.h"

#include <algorithm>

namespace nel::dsp {

FirstOrderIir::FirstOrderIir(double b0, double b1, double a0, double a1) {
  const double scale = (a0 == 0.0) ? 1.0 : a0;
  b0_ = b0 / scale;
  b1_ = b1 / scale;
  a1_ = a1 / scale;
}

void FirstOrderIir::Process(std::span<const double> in, std::span<double> out) {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = Step(in[i]);
}

}  // namespace nel::dsp
