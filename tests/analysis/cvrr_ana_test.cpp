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
  EXPECT_EQ(a.DataLen, 30000);
  EXPECT_EQ(a.SampleRate, 1000);
  EXPECT_EQ(a.RCap, 120);
  ASSERT_EQ(a.RCount, 30);
  EXPECT_EQ(a.RRCount, 29);
  EXPECT_FLOAT_EQ(a.MeanRR, 1000.0f);
  EXPECT_FLOAT_EQ(a.CVRR, 0.0f);
  EXPECT_FLOAT_EQ(a.MeanDev, 0.0f);
  EXPECT_EQ(a.RRRange, 0);
  EXPECT_FLOAT_EQ(a.MinMaxRatio, 1.0f);
  EXPECT_EQ(a.Over50Count, 0);
  EXPECT_EQ(a.Conclusion, kConclusionClean);
  EXPECT_EQ(a.MeanRate, 60);
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

TEST(CvrrAna, OutlierIntervalIsDroppedBeyondTenIntervals) {
  // Thirteen intervals of 1000 ms and one of 1700 ms (62 % above the mean).
  std::vector<int32_t> beats = Every(500, 8000, 1000);
  for (int32_t t = 8500 + 700; t < 16000; t += 1000) beats.push_back(t);
  const auto ecg = Record(16000, beats);
  TnelCVRRAna a(ecg.data(), 16000, 1000);
  ASSERT_EQ(a.RCount, 15);
  EXPECT_EQ(a.RRCount, 13);
  for (int32_t j = 0; j < a.RRCount; ++j) EXPECT_EQ(a.RR[j], 1000);
  EXPECT_FLOAT_EQ(a.MeanRR, 1000.0f);
  EXPECT_FLOAT_EQ(a.CVRR, 0.0f);

  // With ten intervals the long one stays.
  std::vector<int32_t> few = Every(500, 6000, 1000);
  for (int32_t t = 5500 + 1700; t < 12000; t += 1000) few.push_back(t);
  const auto ecg2 = Record(12000, few);
  TnelCVRRAna b(ecg2.data(), 12000, 1000);
  ASSERT_EQ(b.RCount, 11);
  EXPECT_EQ(b.RRCount, 10);
  EXPECT_EQ(b.RRRange, 700);
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
  TnelCVRRAna b(a);
  EXPECT_NE(b.Marks, a.Marks);
  EXPECT_NE(b.RPos, a.RPos);
  EXPECT_EQ(b.RCount, a.RCount);
  EXPECT_EQ(b.RPos[2], a.RPos[2]);
  EXPECT_FLOAT_EQ(b.MeanRR, a.MeanRR);
  b.Marks[a.RPos[0]] = 0;
  EXPECT_EQ(a.Marks[a.RPos[0]], 1);

  const auto flat = Display(std::vector<int16_t>(3000, 2130));
  TnelCVRRAna c(flat.data(), 3000, 1000);
  c = a;
  EXPECT_EQ(c.DataLen, a.DataLen);
  EXPECT_EQ(c.RR[0], a.RR[0]);
  EXPECT_NE(c.RR, a.RR);
  c = *&c;  // self-assignment keeps the arrays
  EXPECT_EQ(c.RR[0], a.RR[0]);
}

}  // namespace
}  // namespace nel
