// CVRR analysis of ECG records through the shared beat analyser: statistics
// and marks of synthetic records against a golden record, bad input, copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <vector>

#include <nel/analysis/cvrr_ana.h>
#include "../common/golden.h"
#include "../dsp/ecg_test_signals.h"
#include "dsp/ecg_analyser.h"
#include "link/hardware_info_file.h"
#include "platform/paths.h"

namespace nel {
namespace {

using dsp::kConclusionClean;
using dsp::SharedEcgAnalyser;

// Display units as the façade hands them over: (count - base) / datum, with
// the base and datum the analysis itself reads from beside the executable.
std::vector<float> Display(const std::vector<int16_t>& counts) {
  tagHARDWAREINF info{};
  link::ReadHardwareInfo(platform::JoinPath(platform::ExecutableFolder(), link::kHardwareInfoFileName), 0, &info);
  std::vector<float> out(counts.size());
  for (size_t i = 0; i < counts.size(); ++i)
    out[i] = static_cast<float>(counts[i] - info.ADBase[WAVE_ECG]) / static_cast<float>(info.ADDatum[WAVE_ECG]);
  return out;
}

// Beats at the given sample indices; each with a T wave 300 samples later so
// that a short record has enough peaks to learn its threshold in one pass.
std::vector<float> Record(int32_t length, const std::vector<int32_t>& beats) {
  std::vector<testing::Complex> cx;
  for (int32_t t : beats) {
    cx.push_back({t, 800, 20});
    cx.push_back({t + 300, 150, 60});
  }
  return Display(testing::Ecg(length, cx));
}

// Intervals (ms at 1000 samples/s): `n` of `rr`, then `tail`.
std::vector<int32_t> Rr(int n, int32_t rr, std::vector<int32_t> tail = {}) {
  tail.insert(tail.begin(), n, rr);
  return tail;
}

// Per case a line of the statistics, the number of R and onset marks, the
// intervals and the offset of each R mark from its complex.
TEST(CvrrAna, StatisticsAndMarksOfSyntheticRecords) {
  const struct {
    const char* name;
    int32_t length, analysed, rate;  // record (0: last beat + 1500), samples handed over (0: all), stated rate
    std::vector<int32_t> rr;         // intervals between complexes from sample 500
  } cases[] = {
      {"regular_60", 30000, 0, 1000, Rr(29, 1000)},
      {"four_intervals", 5600, 0, 1000, {1000, 1000, 1000, 1200}},  // deviations of exactly 50 ms do not count
      // Beyond ten intervals those more than 40 % shorter or 60 % longer than the mean are dropped.
      {"long_62pc_dropped", 0, 0, 1000, Rr(13, 1000, {1700})},
      {"long_57pc_short_35pc_kept", 0, 0, 1000, Rr(12, 1000, {1600, 660})},
      {"short_42pc_dropped", 0, 0, 1000, Rr(13, 1000, {580})},
      {"ten_intervals_all_kept", 0, 0, 1000, Rr(9, 1000, {1800})},
      {"flat", 20000, 0, 1000, {}},
      {"two_beats_handed_over", 12000, 2000, 1000, Rr(7, 1000)},
      // The detector runs at 1000 samples/s whatever the stated rate: at
      // 10000 samples/s, 3 s allow 12 peaks and 1000 samples are 100 ms.
      {"stated_10000", 30000, 0, 10000, Rr(29, 1000)},
      {"stated_0_marks_only", 12000, 0, 0, Rr(11, 1000)},
  };
  std::ostringstream out;
  for (const auto& c : cases) {
    std::vector<int32_t> beats = {500};
    for (int32_t rr : c.rr) beats.push_back(beats.back() + rr);
    if (c.rr.empty()) beats.clear();
    const int32_t length = c.length > 0 ? c.length : beats.back() + 1500;
    const auto ecg = Record(length, beats);
    TnelCVRRAna a(ecg.data(), c.analysed > 0 ? c.analysed : length, c.rate);
    ASSERT_EQ(a.GetECGRResult(), a.Marks);
    std::vector<int32_t> r;
    int onsets = 0;
    for (int32_t i = 0; i < a.DataLen; ++i) {
      if (a.Marks[i] == 1) r.push_back(i);
      onsets += a.Marks[i] == 2;
    }
    // RPos lists the R marks, as many as the cap allows, once there are three.
    if (a.RCount > 0) {
      EXPECT_EQ(std::vector<int32_t>(a.RPos, a.RPos + a.RCount),
                std::vector<int32_t>(r.begin(), r.begin() + std::min<size_t>(r.size(), a.RCap)))
          << c.name;
    }
    char line[400];
    std::snprintf(line, sizeof line,
                  "%s cap %d R %d RR %d mean %.4f HR %.2f CVRR %.6f dev %.4f over50 %d %.6f range %d "
                  "minmax %.6f conclusion %u marks %zu %d |",
                  c.name, a.RCap, a.RCount, a.RRCount, a.MeanRR, a.HeartRate, a.CVRR, a.MeanDev, a.Over50Count,
                  a.Over50Ratio, a.RRRange, a.MinMaxRatio, a.Conclusion, r.size(), onsets);
    out << line;
    for (int32_t j = 0; j < a.RRCount; ++j) out << ' ' << a.RR[j];
    out << " |";
    for (int32_t i : r) {
      int32_t off = i - beats.front();
      for (int32_t b : beats) off = std::abs(i - b) < std::abs(off) ? i - b : off;
      out << ' ' << off;
    }
    out << '\n';
    if (c.analysed == 0 && c.rate == 1000) {
      EXPECT_EQ(SharedEcgAnalyser().SampleCount(), 2 * length) << c.name;  // two passes over the record
    }
  }
  golden::Check("analysis/golden/cvrr_synthetic.txt", out.str(),
                "TnelCVRRAna over synthetic ECG records (cases in cvrr_ana_test.cpp: triangular complexes of 800\n"
                "counts, 20 samples half width, a T wave 300 samples later; the first complex at 500).\n"
                "Per case: RCap, RCount, RRCount, MeanRR, HeartRate, CVRR, MeanDev, Over50Count and ratio,\n"
                "RRRange, MinMaxRatio, Conclusion, R and onset marks; the intervals kept; each R mark's offset\n"
                "from the nearest complex. HeartRate and Conclusion are the beat detector's (dsp room).\n"
                "Remake: NEL_UPDATE_GOLDEN=1 nel_analysis_tests --gtest_filter='CvrrAna.*'");
}

TEST(CvrrAna, CopiesOwnTheirArrays) {
  const auto ecg = Record(12000, {500, 1500, 2500, 3500, 4500, 5500, 6500});
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
