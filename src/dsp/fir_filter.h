// FIR filter state: its own copy of the taps and a delay line that starts at zero.
//
// Step filters one sample: y[n] = sum over k of taps[k] * x[n - k], summed in
// double precision from k = 0 upwards. Process filters a block and gives
// exactly the results of calling Step on each sample in turn, so block
// boundaries change nothing. Only construction (and copying) allocates.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

namespace nel::dsp {

class FirFilter {
 public:
  // A filter without taps: every output is 0.
  FirFilter() = default;
  explicit FirFilter(std::span<const double> taps);

  std::size_t TapCount() const { return taps_.size(); }
  std::span<const double> Taps() const { return taps_; }

  // One sample in, one sample out.
  double Step(double x);

  // Filters in.size() samples into out (out.size() must be at least in.size();
  // in and out may be the same array). Same results as Step, sample by sample.
  void Process(std::span<const double> in, std::span<double> out);
  // In-place block form.
  void Process(std::span<double> inout) { Process(inout, inout); }

  // Clears the delay line (taps kept).
  void Reset();

 private:
  std::vector<double> taps_;
  // The last TapCount() inputs, stored twice (positions j and j + TapCount())
  // so the newest-first window starting at pos_ is always contiguous.
  std::vector<double> line_;
  std::size_t pos_ = 0;
};

}  // namespace nel::dsp
