// Filter designs against reference taps written by tools/make_filter_reference.py
// (scipy.signal.firwin, an independent implementation).
#include "dsp/filter_design.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

using nel::dsp::BandstopTaps;
using nel::dsp::DesignBandstop;
using nel::dsp::DesignHighpass;
using nel::dsp::DesignLowpass;
using nel::dsp::HighpassTaps;
using nel::dsp::LowpassTaps;

constexpr double kTapTolerance = 1e-12;

struct Reference {
  std::string kind;
  int taps = 0;
  double f1 = 0.0, f2 = 0.0;
  std::vector<double> values;
};

std::string DataPath(const char* name) { return std::string(NEL_SOURCE_DIR) + "/tests/dsp/data/" + name; }

std::map<std::string, Reference> LoadReferences() {
  std::map<std::string, Reference> refs;
  std::ifstream in(DataPath("filter_reference.txt"));
  std::string line;
  Reference* current = nullptr;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    if (line.rfind("design ", 0) == 0) {
      std::string word, name;
      Reference r;
      fields >> word >> name >> r.kind >> r.taps >> r.f1 >> r.f2;
      current = &(refs[name] = r);
    } else if (current != nullptr) {
      current->values.push_back(std::stod(line));
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
  double f1, f2;
};

// Every fixed design of the library, with its cut-offs computed as the code computes them.
std::vector<Case> LibraryDesigns() {
  const double wide = 15.0f * 0.01f;  // single-precision product, widened
  const double wide_raw = 9.0f * 0.01f;
  const double base = 0.0001f;  // single-precision constant, widened
  return {
      {"ecg_bandstop", BandstopTaps(501, 0.045, 0.055), 0.045, 0.055},
      {"ecg_lowpass", LowpassTaps(501, 0.035), 0.035, 0.0},
      {"pcg_lowpass", LowpassTaps(501, 0.12), 0.12, 0.0},
      {"pcg_highpass", HighpassTaps(501, 0.04), 0.04, 0.0},
      {"pulse_wide", LowpassTaps(2001, 0.022), 0.022, 0.0},
      {"pulse_base", LowpassTaps(2001, 0.0003), 0.0003, 0.0},
      {"pulse_narrow", LowpassTaps(2001, 0.005), 0.005, 0.0},
      {"bp_wide", LowpassTaps(201, wide), wide, 0.0},
      {"bp_wide_raw", LowpassTaps(201, wide_raw), wide_raw, 0.0},
      {"bp_narrow", LowpassTaps(201, 0.05), 0.05, 0.0},
      {"bp_base", LowpassTaps(201, base), base, 0.0},
  };
}

TEST(FilterDesign, EveryLibraryDesignMatchesTheReferenceTapByTap) {
  const auto refs = LoadReferences();
  ASSERT_EQ(refs.size(), 11u) << "reference file missing or incomplete";
  double worst = 0.0;
  for (const Case& c : LibraryDesigns()) {
    SCOPED_TRACE(c.name);
    const auto it = refs.find(c.name);
    ASSERT_NE(it, refs.end());
    const Reference& r = it->second;
    // The cut-offs (including the single-precision ones) are the reference's, bit for bit.
    EXPECT_EQ(c.f1, r.f1);
    EXPECT_EQ(c.f2, r.f2);
    ASSERT_EQ(c.taps.size(), static_cast<std::size_t>(r.taps));
    ASSERT_EQ(r.values.size(), static_cast<std::size_t>(r.taps));
    const double diff = MaxDifference(c.taps, r.values);
    EXPECT_LT(diff, kTapTolerance);
    worst = std::max(worst, diff);
  }
  std::printf("fixed designs: max |tap - reference| = %.3g\n", worst);
}

TEST(FilterDesign, PulseSmoothingLowpassMatchesTheReferenceForEveryLength) {
  std::ifstream in(DataPath("pulse_smoothing_taps.bin"), std::ios::binary);
  ASSERT_TRUE(in.good());
  double worst = 0.0;
  std::vector<double> taps;
  std::vector<double> ref;
  for (int n = 11; n <= 800; ++n) {
    const float cutoff = 5.0f / static_cast<float>(n);
    taps.assign(static_cast<std::size_t>(n), 0.0);
    ASSERT_TRUE(DesignLowpass(cutoff, taps)) << n;
    ref.resize(static_cast<std::size_t>(n));
    in.read(reinterpret_cast<char*>(ref.data()), static_cast<std::streamsize>(n * sizeof(double)));
    ASSERT_TRUE(in.good()) << "reference ends before " << n << " taps";
    const double diff = MaxDifference(taps, ref);
    ASSERT_LT(diff, kTapTolerance) << n << " taps";
    worst = std::max(worst, diff);
  }
  EXPECT_EQ(in.peek(), std::char_traits<char>::eof()) << "reference holds more designs than tested";
  std::printf("pulse smoothing N=11..800: max |tap - reference| = %.3g\n", worst);
}

TEST(FilterDesign, PassBandGainIsOneAndTapsAreSymmetric) {
  for (const Case& c : LibraryDesigns()) {
    SCOPED_TRACE(c.name);
    const std::size_t n = c.taps.size();
    double dc = 0.0, nyquist = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      dc += c.taps[i];
      nyquist += (i % 2 == 0 ? 1.0 : -1.0) * c.taps[i];
      EXPECT_EQ(c.taps[i], c.taps[n - 1 - i]) << i;
    }
    if (std::string(c.name) == "pcg_highpass") {
      EXPECT_NEAR(std::fabs(nyquist), 1.0, 1e-14);
      EXPECT_NEAR(dc, 0.0, 1e-3);
    } else {
      EXPECT_NEAR(dc, 1.0, 1e-14);
    }
  }
}

TEST(FilterDesign, OutOfRangeArgumentsLeaveTheArrayAlone) {
  std::vector<double> taps(11, 7.0);
  const std::vector<double> untouched = taps;
  EXPECT_FALSE(DesignLowpass(0.0, taps));
  EXPECT_FALSE(DesignLowpass(0.5, taps));
  EXPECT_FALSE(DesignLowpass(-0.1, taps));
  EXPECT_FALSE(DesignLowpass(std::nan(""), taps));
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

}  // namespace
