// CVRR analysis of ECG records through the shared beat analyser.
#include <gtest/gtest.h>

#include <vector>

#include <nel/analysis/cvrr_ana.h>
#include "../dsp/ecg_test_signals.h"
#include "dsp/ecg_analyser.h"
#include "link/hardware_info_file.h"
#include "platform/paths.h"

namespace nel {
namespace {

using dsp::kConclusionClean;
using dsp::SharedEcgAnalyser;
using link::kHardwareInfoFileName;
using link::ReadHardwareInfo;

using testing::Complex;

// Display units as the façade hands them over: (count - base) / datum, with
// the base and datum the analysis itself reads from beside the executable.
std::vector<float> Display(const std::vector<int16_t>& counts) {
  tagHARDWAREINF info{};
  ReadHardwareInfo(platform::JoinPath(platform::ExecutableFolder(), kHardwareInfoFileName), 0, &info);
  std::vector<float> out(counts.size());
  for (size_t i = 0; i < counts.size(); ++i)
    out[i] = static_cast<float>(counts[i] - info.ADBase[WAVE_ECG]) / static_cast<float>(info.ADDatum[WAVE_ECG]);
  return out;
}

// Beats at the given sample indices; each with a T wave 300 samples later so
// that a short record has enough peaks to learn its threshold in one pass.
std::vector<float> Record(int32_t length, const std::vector<int32_t>& beats) {
  std::vector<Complex> cx;
  for (int32_t t : beats) {
    cx.push_back({t, 800, 20});
    cx.push_back({t + 300, 150, 60});
  }
  return Display(testing::Ecg(length, cx));
}

std::vector<int32_t> Every(int32_t first, int32_t end, int32_t rr) {
  std::vector<int32_t> v;
  for (int32_t t = first; t < end; t += rr) v.push_back(t);
  return v;
}

TEST(CvrrAna, RegularSixtyPerMinute) {
  const auto ecg = Record(30000, Every(500, 30000, 1000));
  TnelCVRRAna a(ecg.data(), 30000, 1000);
  EXPECT_EQ(a.RCap, 120);
  ASSERT_EQ(a.RCount, 30);
  EXPECT_EQ(a.RRCount, 29);
  EXPECT_EQ(a.MeanRR + a.CVRR + a.MeanDev + a.RRRange + a.MinMaxRatio + a.Over50Count, 1001.0f);
  EXPECT_EQ(a.Conclusion, kConclusionClean);
  EXPECT_FLOAT_EQ(a.HeartRate, 60.0f);

  // Marks: an R peak near every complex, its QRS onset just before it.
  const uint8_t* marks = a.GetECGRResult();
  ASSERT_EQ(marks, a.Marks);
  int32_t r = 0, onsets = 0;
  for (int32_t i = 0; i < a.DataLen; ++i) {
    if (marks[i] == 1) {
      EXPECT_LE(std::abs((i + 1000) % 1000 - 500), 30) << i;
      EXPECT_EQ(a.RPos[r], i);
      ++r;
    }
    if (marks[i] == 2) ++onsets;
  }
  EXPECT_EQ(r, 30);
  EXPECT_EQ(onsets, 30);
  for (int32_t j = 0; j < a.RRCount; ++j) EXPECT_EQ(a.RR[j], 1000);

  // The analysis ran the shared analyser over the record twice.
  EXPECT_EQ(SharedEcgAnalyser().SampleCount(), 60000);
}

TEST(CvrrAna, FourIntervalsStatistics) {
  // 1000, 1000, 1000, 1200 ms: no outlier removal below 11 intervals.
  const auto ecg = Record(5600, {500, 1500, 2500, 3500, 4700});
  TnelCVRRAna a(ecg.data(), 5600, 1000);
  ASSERT_EQ(a.RCount, 5);
  ASSERT_EQ(a.RRCount, 4);
  EXPECT_EQ(a.RR[0], 1000);
  EXPECT_EQ(a.RR[3], 1200);
  EXPECT_FLOAT_EQ(a.MeanRR, 1050.0f);
  EXPECT_FLOAT_EQ(a.MeanDev, 75.0f);
  EXPECT_NEAR(a.CVRR, 7.142857f, 1e-5);
  EXPECT_EQ(a.Over50Count, 1) << "deviations of exactly 50 ms do not count";
  EXPECT_FLOAT_EQ(a.Over50Ratio, 0.25f);
  EXPECT_EQ(a.RRRange, 200);
  EXPECT_FLOAT_EQ(a.MinMaxRatio, 1000.0f / 1200.0f);
}

// Beyond ten intervals those more than 40 % shorter or 60 % longer than the
// mean are dropped; with ten they all stay.
TEST(CvrrAna, OutliersAreDroppedBeyondTenIntervals) {
  const struct {
    std::vector<int32_t> rr;  // ms
    int32_t kept, range;
  } cases[] = {
      {{1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1700}, 13, 0},   // +62 %
      {{1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1600, 660}, 14, 940},  // +57 %, -35 %
      {{1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 580}, 13, 0},    // -42 %
      {{1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1000, 1700}, 10, 700},
  };
  for (const auto& c : cases) {
    std::vector<int32_t> beats = {500};
    for (int32_t rr : c.rr) beats.push_back(beats.back() + rr);
    const int32_t n = beats.back() + 1500;
    const auto ecg = Record(n, beats);
    TnelCVRRAna a(ecg.data(), n, 1000);
    ASSERT_EQ(a.RCount, static_cast<int32_t>(beats.size())) << c.rr.back();
    EXPECT_EQ(a.RRCount, c.kept) << c.rr.back();
    EXPECT_EQ(a.RRRange, c.range) << c.rr.back();
  }
}

TEST(CvrrAna, FewerThanThreePeaksGiveNoStatistics) {
  const auto flat = Display(std::vector<int16_t>(20000, 2130));
  TnelCVRRAna a(flat.data(), 20000, 1000);
  EXPECT_EQ(a.RCount, 0);
  EXPECT_EQ(a.RRCount, 0);
  EXPECT_FLOAT_EQ(a.MeanRR, 0.0f);
  EXPECT_FLOAT_EQ(a.CVRR, 0.0f);
  EXPECT_EQ(a.Conclusion, kConclusionClean);
  for (int32_t i = 0; i < a.DataLen; ++i) ASSERT_EQ(a.Marks[i], 0);

  // Two beats: marked, but no statistics.
  const auto two = Record(12000, {500, 1500, 2500, 3500, 4500, 5500, 6500, 7500});
  TnelCVRRAna b(two.data(), 2000, 1000);  // only the first two beats are in the record
  EXPECT_EQ(b.RCount, 0);
  EXPECT_EQ(b.RRCount, 0);
  EXPECT_FLOAT_EQ(b.MeanRR, 0.0f);
}

TEST(CvrrAna, PeaksBeyondFourPerSecondAreNotUsed) {
  // The detector runs at 1000 samples/s whatever the stated rate: at a stated
  // 10000 samples/s, 3 s of data allows 12 peaks and 1000 samples are 100 ms.
  const auto ecg = Record(30000, Every(500, 30000, 1000));
  TnelCVRRAna a(ecg.data(), 30000, 10000);
  EXPECT_EQ(a.RCap, 12);
  ASSERT_EQ(a.RCount, 12);
  EXPECT_EQ(a.RRCount, 11);
  EXPECT_EQ(a.RR[0], 100);
  EXPECT_FLOAT_EQ(a.MeanRR, 100.0f);
}

TEST(CvrrAna, BadArgumentsGiveAnEmptyResult) {
  TnelCVRRAna none(nullptr, 5000, 1000);
  EXPECT_EQ(none.DataLen, 0);
  EXPECT_EQ(none.RCount, 0);
  EXPECT_EQ(none.GetECGRResult(), nullptr);
  EXPECT_EQ(none.Conclusion, kConclusionClean);

  const auto ecg = Record(12000, Every(500, 12000, 1000));
  TnelCVRRAna empty(ecg.data(), -4, 1000);
  EXPECT_EQ(empty.DataLen, 0);
  TnelCVRRAna noRate(ecg.data(), 12000, 0);
  EXPECT_EQ(noRate.RCap, 0);
  EXPECT_EQ(noRate.RCount, 0);
  int32_t marked = 0;
  for (int32_t i = 0; i < noRate.DataLen; ++i) marked += noRate.Marks[i] == 1;
  EXPECT_GT(marked, 0) << "marks are still made";

  // Non-finite and huge display values become samples without crashing.
  std::vector<float> wild(8000, 1e30f);
  wild[10] = std::numeric_limits<float>::quiet_NaN();
  wild[11] = -std::numeric_limits<float>::infinity();
  TnelCVRRAna w(wild.data(), 8000, 1000);
  EXPECT_EQ(w.RCount, 0);
}

TEST(CvrrAna, CopiesOwnTheirArrays) {
  const auto ecg = Record(12000, Every(500, 12000, 1000));
  TnelCVRRAna a(ecg.data(), 12000, 1000);
  ASSERT_GE(a.RCount, 3);
  const auto flat = Display(std::vector<int16_t>(3000, 2130));
  TnelCVRRAna b(a), c(flat.data(), 3000, 1000);
  c = a;
  for (TnelCVRRAna* x : {&b, &c}) {
    EXPECT_NE(x->Marks, a.Marks);
    EXPECT_EQ(x->DataLen, a.DataLen);
    EXPECT_EQ(std::vector<int32_t>(x->RPos, x->RPos + x->RCap), std::vector<int32_t>(a.RPos, a.RPos + a.RCap));
    EXPECT_EQ(std::vector<int32_t>(x->RR, x->RR + x->RCap), std::vector<int32_t>(a.RR, a.RR + a.RCap));
    EXPECT_EQ(std::vector<uint8_t>(x->Marks, x->Marks + x->DataLen),
              std::vector<uint8_t>(a.Marks, a.Marks + a.DataLen));
    EXPECT_FLOAT_EQ(x->MeanRR, a.MeanRR);
  }
}

}  // namespace
}  // namespace nel
