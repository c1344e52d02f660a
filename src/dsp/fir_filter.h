// FIR filter state: its own copy of the taps and a delay line that starts at zero.
//
// Step filters one sample: y[n] = sum over k of taps[k] * x[n - k], in double
// precision, with the vector dot product DotProduct. StepPlain gives the same
// sum one tap at a time from k = 0 upwards (DotProductPlain), the reference the
// vector sum is checked against; the two agree to rounding. Process filters a
// block and gives exactly the results of calling Step on each sample in turn,
// so block boundaries change nothing. Only construction (and copying) allocates.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace nel::dsp {

// Products summed by DotProduct: partial sum j (j < kDotSums) takes the
// products k = j, j + 32, j + 64, ... in that order, each with a fused
// multiply-add, and the partials are added in a fixed pairwise tree (j + 16
// into j, then j + 8 into j, and so on). The order does not depend on the
// vector width, so every processor with fused multiply-add gets the same bits;
// the kernel is chosen at run time (Google Highway).
inline constexpr std::size_t kDotSums = 32;

// Sum of a[k] * b[k] for k < n, as described above. No alignment needed.
double DotProduct(const double* a, const double* b, std::size_t n);
// The same sum one product at a time, from k = 0 upwards.
double DotProductPlain(const double* a, const double* b, std::size_t n);
// Three sums over one operand: out[f] = DotProduct(a[f], b, n), the same bits,
// with b read once for the three.
void DotProducts3(const double* const (&a)[3], const double* b, std::size_t n, double (&out)[3]);
// Instruction set DotProduct runs with on this processor.
const char* DotProductTarget();

// The last `length` inputs of a filter, newest first, stored twice so the
// window is always contiguous.
class DelayLine {
 public:
  DelayLine() = default;
  explicit DelayLine(std::size_t length);

  // Stores x as the newest input; returns the newest-first window
  // (window[k] = x[n - k], length values), or null for a line of length 0.
  const double* Push(double x);
  // Back to all zero.
  void Reset();

 private:
  std::size_t length_ = 0;
  // Positions j and j + length_ hold the same input.
  std::vector<double> line_;
  std::size_t pos_ = 0;
};

class FirFilter {
 public:
  // A filter without taps: every output is 0.
  FirFilter() = default;
  explicit FirFilter(std::span<const double> taps);

  std::size_t TapCount() const { return taps_.size(); }
  std::span<const double> Taps() const { return taps_; }

  // One sample in, one sample out.
  double Step(double x) { return DotProduct(taps_.data(), Push(x), taps_.size()); }
  // The same, summed one tap at a time (see above).
  double StepPlain(double x) { return DotProductPlain(taps_.data(), Push(x), taps_.size()); }

  // Filters in.size() samples into out (out.size() must be at least in.size();
  // in and out may be the same array). Same results as Step, sample by sample.
  void Process(std::span<const double> in, std::span<double> out);
  // In-place block form.
  void Process(std::span<double> inout) { Process(inout, inout); }

  // Clears the delay line (taps kept).
  void Reset() { line_.Reset(); }

 private:
  const double* Push(double x) { return line_.Push(x); }

  std::vector<double> taps_;
  DelayLine line_;
};

// Three filters with the same number of taps over one input, one delay line
// between them: Step gives, bit for bit, what three FirFilter objects' Step
// would give for the same input, with the input window read once. Trios built
// from one table share it (one copy of the taps in the cache for many).
class FirFilterTrio {
 public:
  // The three filters' taps, each filter's first tap on a 64-byte boundary
  // (whole vector loads never straddle a cache line).
  class TapTable {
   public:
    std::size_t Length() const { return length_; }
    const double* Taps(std::size_t filter) const { return storage_.data() + first_ + filter * stride_; }

   private:
    friend class FirFilterTrio;
    std::size_t length_ = 0;
    std::size_t stride_ = 0;  // doubles from one filter's taps to the next's, a multiple of 8
    std::size_t first_ = 0;   // where filter 0's taps start in storage_
    std::vector<double> storage_;
  };
  using Table = std::shared_ptr<const TapTable>;

  // Throws std::invalid_argument when the tap counts differ.
  static Table Join(std::span<const double> taps0, std::span<const double> taps1, std::span<const double> taps2);

  // A null table gives a trio without taps.
  explicit FirFilterTrio(Table table);
  FirFilterTrio(std::span<const double> taps0, std::span<const double> taps1, std::span<const double> taps2)
      : FirFilterTrio(Join(taps0, taps1, taps2)) {}

  std::size_t TapCount() const { return length_; }

  // One sample in; y[f] is filter f's output (all 0 without taps).
  void Step(double x, double (&y)[3]);

  // Clears the delay line (taps kept).
  void Reset() { line_.Reset(); }

 private:
  Table taps_;
  std::size_t length_ = 0;
  DelayLine line_;
};

}  // namespace nel::dsp
