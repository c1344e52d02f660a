// First-order IIR filter state: its own coefficients and a history that starts at zero.
//
// y[n] = b0 x[n] + b1 x[n-1] - a1 y[n-1], in double precision, with every
// coefficient divided by a0 first. Process gives exactly the results of Step
// applied sample by sample.
#pragma once

#include <span>

namespace nel::dsp {

class FirstOrderIir {
 public:
  // An a0 of 0 is taken as 1: see docs/decisions.md, "Filter states".
  FirstOrderIir(double b0, double b1, double a0, double a1);

  double Step(double x) {
    const double y = b0_ * x + b1_ * x1_ - a1_ * y1_;
    x1_ = x;
    y1_ = y;
    return y;
  }

  // out.size() must be at least in.size(); in and out may be the same array.
  void Process(std::span<const double> in, std::span<double> out);
  void Process(std::span<double> inout) { Process(inout, inout); }

  void Reset() { x1_ = y1_ = 0.0; }

  double B1() const { return b1_; }
  double A1() const { return a1_; }

 private:
  double b0_, b1_, a1_;
  double x1_ = 0.0;
  double y1_ = 0.0;
};

}  // namespace nel::dsp
