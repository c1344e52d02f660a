// A group of one to three linear-phase FIR filters of one length that read the
// same input, filtered a block at a time.
//
// This is the fast path of the filter bank: a pulse wave runs three 2001-tap
// low-passes over the same raw samples, so the group keeps one input history
// for all of them and makes one pass over it per block. The taps must be
// symmetric (every windowed-sinc design of dsp/filter_design.h is), so each
// tap pair multiplies the sum of the two inputs it weighs:
//   y[n] = sum_{k < N/2} h[k] (x[n-k] + x[n-N+1+k]) + h[(N-1)/2] x[n-(N-1)/2]  (odd N)
// summed from k = 0 upwards for every output, so the results are the same
// whatever the block sizes. Vector lanes run across consecutive outputs; the
// kernel is chosen at run time for the processor (Google Highway), with a
// portable scalar-lane kernel for processors without SSSE3. Outputs equal a
// plain one-tap-at-a-time convolution to rounding (about 1e-16 relative).
//
// Construction allocates everything; Process allocates nothing.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <vector>

namespace nel::dsp {

class SymmetricFirGroup {
 public:
  static constexpr std::size_t kMaxFilters = 3;
  // Largest block Process accepts; longer input is split by the caller.
  static constexpr std::size_t kMaxBlock = 1024;

  // All tap arrays must have the same length (at least 1) and be symmetric;
  // only their first half and centre are used. No filters, or mismatched
  // lengths, give an empty group whose outputs stay 0.
  SymmetricFirGroup(std::initializer_list<std::span<const double>> taps);

  std::size_t FilterCount() const { return filters_; }
  std::size_t TapCount() const { return tapsCount_; }

  // Filters count samples (count <= kMaxBlock; more are ignored). Output(f)
  // then holds filter f's outputs for them, valid until the next Process.
  void Process(const double* in, std::size_t count);
  const double* Output(std::size_t f) const { return out_[f].data(); }

  // Clears the input history.
  void Reset();

  // Name of the instruction set the kernels run with on this processor.
  static const char* KernelTarget();

 private:
  std::size_t filters_ = 0;
  std::size_t tapsCount_ = 0;
  std::size_t half_ = 0;          // tap pairs plus the centre tap (odd N)
  std::vector<double> halfTaps_;  // filters_ rows of half_ taps
  std::vector<double> history_;   // (N-1) older samples, then the block, then slack
  std::size_t fill_ = 0;          // samples after the first N-1 of history_
  std::vector<double> out_[kMaxFilters];
};

}  // namespace nel::dsp
