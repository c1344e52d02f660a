// Filter designs against reference taps written by tools/make_filter_reference.py
// (scipy.signal.firwin, an independent implementation), and the first-order IIR.
#include "dsp/filter_design.h"

#include <gtest/gtest.h>
#include <nel/dsp/ecg_pulse_rate.h>

#include <cmath>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "dsp/fir_filter.h"
#include "dsp/iir_filter.h"

// The heart-rate tracker's own filters at 1000 samples/s, reached as a subclass reaches them.
struct TrackerTaps : TrwECGPulseRate {
  TrackerTaps() : TrwECGPulseRate(1000) {}
  static std::vector<double> Of(const Filter& f) { return {f.f->Taps().begin(), f.f->Taps().end()}; }
  std::vector<double> Notch() const { return Of(notchFilter_); }
  std::vector<double> Lowpass() const { return Of(lowpassFilter_); }
};

namespace {

using nel::dsp::DesignBandstop;
using nel::dsp::DesignHighpass;
using nel::dsp::DesignLowpass;
using nel::dsp::HighpassTaps;
using nel::dsp::LowpassTaps;

constexpr double kTapTolerance = 1e-12;

std::string DataPath(const char* name) { return std::string(NEL_SOURCE_DIR) + "/tests/dsp/data/" + name; }

// The taps of every design in the reference file, by name.
std::map<std::string, std::vector<double>> LoadReferences() {
  std::map<std::string, std::vector<double>> refs;
  std::ifstream in(DataPath("filter_reference.txt"));
  std::vector<double>* current = nullptr;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
    if (line.rfind("design ", 0) == 0) {
      current = &refs[line.substr(7, line.find(' ', 7) - 7)];
    } else if (current != nullptr) {
      current->push_back(std::stod(line));
    }
  }
  return refs;
}

double MaxDifference(const std::vector<double>& a, const std::vector<double>& b) {
  double worst = 0.0;
  for (std::size_t i = 0; i < a.size() && i < b.size(); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}

struct Case {
  const char* name;
  std::vector<double> taps;
};

// The heart-rate tracker's filters and every other fixed design of the library,
// with its cut-offs computed as the code computes them.
std::vector<Case> LibraryDesigns() {
  const double wide = 15.0f * 0.01f;  // single-precision product, widened
  const double wide_raw = 9.0f * 0.01f;
  const double base = 0.0001f;  // single-precision constant, widened
  return {
      {"ecg_bandstop", TrackerTaps().Notch()},     {"ecg_lowpass", TrackerTaps().Lowpass()},
      {"pcg_lowpass", LowpassTaps(501, 0.12)},     {"pcg_highpass", HighpassTaps(501, 0.04)},
      {"pulse_wide", LowpassTaps(2001, 0.022)},    {"pulse_base", LowpassTaps(2001, 0.0003)},
      {"pulse_narrow", LowpassTaps(2001, 0.005)},  {"bp_wide", LowpassTaps(201, wide)},
      {"bp_wide_raw", LowpassTaps(201, wide_raw)}, {"bp_narrow", LowpassTaps(201, 0.05)},
      {"bp_base", LowpassTaps(201, base)},
  };
}

TEST(FilterDesign, EveryLibraryDesignMatchesTheReferenceTapByTap) {
  const auto refs = LoadReferences();
  ASSERT_EQ(refs.size(), 11u) << "reference file missing or incomplete";
  for (const Case& c : LibraryDesigns()) {
    SCOPED_TRACE(c.name);
    const auto it = refs.find(c.name);
    ASSERT_NE(it, refs.end());
    ASSERT_EQ(c.taps.size(), it->second.size());
    EXPECT_LT(MaxDifference(c.taps, it->second), kTapTolerance);
  }
}

TEST(FilterDesign, PulseSmoothingLowpassMatchesTheReferenceForEveryLength) {
  std::ifstream in(DataPath("pulse_smoothing_taps.bin"), std::ios::binary);
  ASSERT_TRUE(in.good());
  std::vector<double> taps, ref;
  for (int n = 11; n <= 800; ++n) {
    const float cutoff = 5.0f / static_cast<float>(n);
    taps.assign(static_cast<std::size_t>(n), 0.0);
    ASSERT_TRUE(DesignLowpass(cutoff, taps)) << n;
    ref.resize(static_cast<std::size_t>(n));
    in.read(reinterpret_cast<char*>(ref.data()), static_cast<std::streamsize>(n * sizeof(double)));
    ASSERT_TRUE(in.good()) << "reference ends before " << n << " taps";
    ASSERT_LT(MaxDifference(taps, ref), kTapTolerance) << n << " taps";
  }
  EXPECT_EQ(in.peek(), std::char_traits<char>::eof()) << "reference holds more designs than tested";
}

TEST(FilterDesign, OutOfRangeArgumentsLeaveTheArrayAlone) {
  std::vector<double> taps(11, 7.0);
  const std::vector<double> untouched = taps;
  for (double f : {0.0, 0.5, -0.1, std::nan("")}) EXPECT_FALSE(DesignLowpass(f, taps)) << f;
  EXPECT_FALSE(DesignHighpass(0.5, taps));
  EXPECT_FALSE(DesignBandstop(0.2, 0.1, taps));
  EXPECT_FALSE(DesignBandstop(0.1, 0.1, taps));
  EXPECT_FALSE(DesignBandstop(0.1, 0.5, taps));
  EXPECT_EQ(taps, untouched);

  std::vector<double> even(10, 7.0);
  EXPECT_FALSE(DesignHighpass(0.1, even));  // no unit gain at half the rate possible
  EXPECT_EQ(even, std::vector<double>(10, 7.0));
  EXPECT_TRUE(DesignLowpass(0.1, even));  // even low-pass lengths are fine
  EXPECT_FALSE(DesignLowpass(0.1, std::span<double>{}));

  EXPECT_TRUE(LowpassTaps(0, 0.1).empty());
  EXPECT_TRUE(LowpassTaps(5, 0.7).empty());
  EXPECT_EQ(LowpassTaps(1, 0.1), std::vector<double>{1.0});
}

TEST(FirstOrderIir, FollowsTheDifferenceEquationAndNormalisesByA0) {
  nel::dsp::FirstOrderIir f(0.5, 0.25, 2.0, -0.5);  // y = 0.25x + 0.125x1 + 0.25y1
  EXPECT_EQ(f.Step(4.0), 1.0);
  EXPECT_EQ(f.Step(0.0), 0.5 + 0.25);
  EXPECT_EQ(f.Step(8.0), 2.0 + 0.0 + 0.1875);
  f.Reset();
  EXPECT_EQ(f.Step(4.0), 1.0);
  nel::dsp::FirstOrderIir zero_a0(1.0, 0.0, 0.0, 0.0);  // taken as a0 = 1
  EXPECT_EQ(zero_a0.Step(3.0), 3.0);
}

}  // namespace
