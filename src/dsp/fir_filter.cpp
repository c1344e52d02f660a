#include "dsp/fir_filter.h"

#include <algorithm>

namespace nel::dsp {

FirFilter::FirFilter(std::span<const double> taps) : taps_(taps.begin(), taps.end()), line_(2 * taps.size(), 0.0) {}

double FirFilter::Step(double x) {
  const std::size_t count = taps_.size();
  if (count == 0) return 0.0;
  pos_ = (pos_ == 0 ? count : pos_) - 1;
  line_[pos_] = x;
  line_[pos_ + count] = x;
  const double* window = line_.data() + pos_;  // window[k] = x[n - k]
  double y = 0.0;
  for (std::size_t k = 0; k < count; ++k) y += taps_[k] * window[k];
  return y;
}

void FirFilter::Process(std::span<const double> in, std::span<double> out) {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = Step(in[i]);
}

void FirFilter::Reset() {
  std::fill(line_.begin(), line_.end(), 0.0);
  pos_ = 0;
}

}  // namespace nel::dsp
