// Recorded inflations replayed through the recogniser and the calculation:
// every window, the envelope maximum, every pulse of the final list and the
// BP values are kept in tests/bp/golden/<name>.txt. The inputs are the
// samples the recogniser stored in a measurement on the virtual unit
// (bp_closed_loop_test.cpp writes them); some add a movement or a pressure sag.
// Remake with NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_tests --gtest_filter='Golden*'
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

#include <nel/bp/proc_bp_data.h>
#include <nel/bp/pulse_recogn.h>
#include "../common/golden.h"
#include "bp/bp_numeric.h"

namespace {

struct Record {
  const char* name;
  const char* input;    // tests/bp/golden/<input>_samples.txt
  double sbp, dbp, hr;  // the subject's set values
  bool toe = false;
  int artefactAt = -1;  // first sample of an added movement artefact
  int sagWindow = -1;   // a window whose cuff pressure sags 10 mmHg (a leak the pump makes up)
};

struct Sample {
  int32_t smooth;
  float pressure;
};

std::vector<Sample> Load(const std::string& input) {
  std::ifstream in(nel::golden::PathOf("bp/golden/" + input + "_samples.txt"));
  std::vector<Sample> v;
  for (std::string line; std::getline(in, line);) {
    std::istringstream ls(line);
    for (Sample s; ls >> s.smooth >> s.pressure;) v.push_back(s);
  }
  return v;
}

std::string Fmt(const char* f, auto... a) {
  char b[160];
  std::snprintf(b, sizeof b, f, a...);
  return b;
}

class Golden : public ::testing::TestWithParam<Record> {};

TEST_P(Golden, InflationReplay) {
  const Record& rec = GetParam();
  std::vector<Sample> in = Load(rec.input);
  if (rec.artefactAt >= 0)  // a movement: 60 samples rising to 8700 counts above the signal and back
    for (int k = 0; k < 60; ++k) in[rec.artefactAt + k].smooth += 300 * std::min(k, 59 - k);
  for (int k = 0; rec.sagWindow >= 0 && k < TnelPulseRecogn::kWinLen; ++k)
    in[rec.sagWindow * TnelPulseRecogn::kWinLen + k].pressure -= 10.0f;

  TnelPulseRecogn r;
  r.Initialize(BPVMODE_INFLATE, rec.toe, 280);
  size_t end = 0;
  while (end < in.size() && r.PulseRecogn(0, in[end].smooth, in[end].pressure, true) != PRS_COMPLETE) ++end;
  EXPECT_TRUE(rec.artefactAt >= 0 || end == in.size() - 1) << "the recording ends where its measurement ended";
  ASSERT_LT(end, in.size());
  std::string out = Fmt("end %d %.2f\n", static_cast<int>(end), static_cast<double>(in[end].pressure));
  for (int w = 0; w < r.WinCount; ++w)
    out += Fmt("window %d %.2f %d %c\n", w, static_cast<double>(r.WindowPressure(w)), r.Windows[w].Amp,
               "VSLA"[r.Windows[w].Status]);
  out += Fmt("maximum %d %d\n", r.MAPWin, r.CutoffPressure);

  r.FinalPulseRecogn();
  std::vector<int> gaps;
  for (int k = 0; k < r.FeatureCount; ++k) {
    const tagBPV_PULSE_FEATURE_POINT p = r.FeaturePoint[k];
    out += Fmt("pulse %d %d %d %d %.2f\n", k, p.PeakPos, p.FootPos, p.Amplitude, static_cast<double>(p.Pressure));
    if (k > 0) gaps.push_back(p.PeakPos - r.FeaturePoint[k - 1].PeakPos);
  }
  std::sort(gaps.begin(), gaps.end());
  const int rate = gaps.empty() ? 0 : (6000 + gaps[gaps.size() / 2] / 2) / gaps[gaps.size() / 2];

  // Every method on copies of the list with ratio offsets: as the offset grows the KR
  // crossings move towards MAP (SBP falls, DBP rises); at 0.45 they reach the maximum.
  for (auto method : {BPVCAL_KR, BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
    int lastSbp = 1000, lastDbp = 0;
    for (float offset : {-0.2f, 0.0f, 0.2f, 0.45f}) {
      std::vector<tagBPV_PULSE_FEATURE_POINT> list(r.FeaturePoint, r.FeaturePoint + r.FeatureCount);
      TnelProcBPData c(method, DATAPROCESS_STANDARD, rec.toe, offset);
      const bool cok = c.ProcGetBPData_First(r.FeatureCount, list.data(), r.FiltedData, BPVMODE_INFLATE);
      out += Fmt("method %d %.2f %d %d %d %d %d %d %d %.4f %d %d\n", method, static_cast<double>(offset), cok, c.SBP,
                 c.MAP, c.DBP, c.SBPPos, c.MAPPos, c.DBPPos, static_cast<double>(c.MapSBPRatio),
                 method == BPVCAL_KR ? c.SBPIndex : 0, method == BPVCAL_KR ? c.DBPIndex : 0);
      if (method == BPVCAL_KR) {
        EXPECT_LE(c.SBP, lastSbp) << offset;
        EXPECT_GE(c.DBP, lastDbp) << offset;
        lastSbp = c.SBP;
        lastDbp = c.DBP;
      } else if (offset == 0.0f) {
        EXPECT_TRUE(cok) << method;
        EXPECT_NEAR(c.SBP, rec.sbp - 4, 10) << method;
        EXPECT_NEAR(c.DBP, rec.dbp + 2, 10) << method;
      }
    }
  }
  TnelProcBPData calc(BPVCAL_KR, DATAPROCESS_STANDARD, rec.toe, 0.0f);
  const bool ok = calc.ProcGetBPData_First(r.FeatureCount, r.FeaturePoint, r.FiltedData, BPVMODE_INFLATE);
  out += Fmt("bp %d %d %d %d %d %d %d %d\n", ok, calc.SBP, calc.MAP, calc.DBP, rec.toe ? 0 : rate, calc.SBPPos,
             calc.MAPPos, calc.DBPPos);
  out += Fmt("envelope %d %d %d %.3f %.3f\n", calc.MaxAmplitude, calc.SBPIndex, calc.DBPIndex,
             static_cast<double>(calc.SBPPressure), static_cast<double>(calc.DBPPressure));

  // Against the subject: the method reads the systolic pressure a few mmHg low
  // (see bp_closed_loop_test.cpp); the limb pulse list holds one pulse per beat.
  ASSERT_TRUE(ok);
  EXPECT_NEAR(calc.SBP, rec.sbp - 4, 10);
  EXPECT_NEAR(calc.DBP, rec.dbp + 2, 10);
  EXPECT_GT(calc.MAP, calc.DBP);
  EXPECT_LT(calc.MAP, calc.SBP);
  if (!rec.toe) {
    EXPECT_NEAR(rate, rec.hr, 0.1 * rec.hr);
  }
  nel::golden::Check(
      std::string("bp/golden/") + rec.name + ".txt", out,
      std::string("Replay of tests/bp/golden/") + rec.input + "_samples.txt" +
          (rec.artefactAt >= 0 ? Fmt(" with a movement artefact at sample %d", rec.artefactAt) : "") +
          (rec.sagWindow >= 0 ? Fmt(" with the pressure of window %d 10 mmHg lower", rec.sagWindow) : "") +
          "\nthrough TnelPulseRecogn (inflation, 280 mmHg) and TnelProcBPData (KR, standard).\n"
          "end: completing sample, its pressure; window: index, pressure, amplitude, status\n"
          "(V valid, S small, L low pressure, A artefact); maximum: window, cut-off pressure;\n"
          "pulse: index, peak, foot, amplitude, pressure; bp: ok, SBP, MAP, DBP, rate (median\n"
          "peak interval, limb cuffs), positions of SBP, MAP, DBP in the reversed list; envelope: the\n"
          "KR envelope's maximum, the indices and pressures of its systolic and diastolic crossings;\n"
          "method: each method (0 KR, 3 fixed coefficients, 4 MAP coefficients) on the same list with\n"
          "a ratio offset: method, offset, ok, SBP, MAP, DBP, positions, shape ratio, envelope indices.\n"
          "Remake: NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_tests --gtest_filter='Golden*'",
      {0.006, 0.0});
}

const Record kRecords[] = {
    {"rbra_120_80", "rbra_120_80", 120, 80, 70},
    {"rbra_120_80_movement", "rbra_120_80", 120, 80, 70, false, 1910},
    {"rbra_120_80_movement_early", "rbra_120_80", 120, 80, 70, false, 1448},
    {"rbra_120_80_movement_valid", "rbra_120_80", 120, 80, 70, false, 1908},
    {"lank_165_95", "lank_165_95", 165, 95, 58},
    {"rbra_110_75_small_artery", "rbra_110_75_small_artery", 110, 75, 80},
    {"rbra_135_85_ectopics", "rbra_135_85_ectopics", 135, 85, 75},
    {"rtoe_100_70", "rtoe_100_70", 100, 70, 72, true},
    {"rtoe_100_70_sag", "rtoe_100_70", 100, 70, 72, true, -1, 6},
};
INSTANTIATE_TEST_SUITE_P(Golden, Golden, ::testing::ValuesIn(kRecords),
                         [](const auto& tp) { return std::string(tp.param.name); });

// Started again after an attempt of artefacts, a recogniser builds a new one's
// pulse list wherever the samples stop, every pulse inside the completed windows.
TEST(GoldenRestart, RestartedRecogniserMatchesANewOne) {
  constexpr int kWin = TnelPulseRecogn::kWinLen;
  for (bool toe : {false, true}) {
    const std::vector<Sample> in = Load(toe ? "rtoe_100_70" : "rbra_120_80");
    TnelPulseRecogn used;
    used.Initialize(BPVMODE_INFLATE, toe, 280);
    for (int i = 0; i < 30 * kWin; ++i) used.PulseRecogn(0, i % kWin == 0 ? 50000 : 0, 30.0f, true);
    for (size_t end = kWin / 5; end < in.size(); end += kWin / 5) {
      TnelPulseRecogn fresh;
      fresh.Initialize(BPVMODE_INFLATE, toe, 280);
      used.Initialize();
      for (size_t i = 0; i < end; ++i) {
        fresh.PulseRecogn(0, in[i].smooth, in[i].pressure, true);
        used.PulseRecogn(0, in[i].smooth, in[i].pressure, true);
      }
      fresh.FinalPulseRecogn();
      used.FinalPulseRecogn();
      ASSERT_EQ(used.FeatureCount, fresh.FeatureCount) << end;
      for (int k = 0; k < fresh.FeatureCount; ++k) {
        const int peak = used.FeaturePoint[k].PeakPos, freshPeak = fresh.FeaturePoint[k].PeakPos;
        EXPECT_EQ(peak, freshPeak) << end;
        EXPECT_LT(freshPeak, fresh.WinCount * kWin) << end;
      }
    }
  }
}

// The three methods on synthetic pulse lists (deflation order, top - step i mmHg):
// a hump of amplitudes max(100, 5000 - 60 (i - centre)^2), one pulse replaced
// by a spike (height 0: none). Kept in pulse_lists.txt.
struct List {
  int count, centre, spike, height, top = 180, step = 2;
};
const List kLists[] = {
    {20, 12, 19, 9000},  // the filtered maximum on the second-last pulse, next to the raw one (a spike on the last)
    {20, 3, 0, 0},       // raw maximum 3, filtered one 1 (the zero padding): the raw one is kept
    {20, 12, 4, 7000, 180, 5},  // the spike is filtered away: the hump's maximum wins; KR SBP just MAP + 3
    {20, 18, 0, 0},             // maximum on the second-last pulse
    {9, 4, 0, 0},               // too few pulses to be filtered
    {20, 10, 0, 0, 124},        // maximum at 104 mmHg, the lowest pressure of its MAP band
    {12, 0, 0, 5000},           // the maximum on the first pulse: no result
};

TEST(GoldenPulseLists, AllMethods) {
  std::string out;
  for (const List& l : kLists)
    for (auto method : {BPVCAL_KR, BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
      std::vector<tagBPV_PULSE_FEATURE_POINT> v;
      for (int i = 0; i < l.count; ++i)
        v.push_back(
            {static_cast<int16_t>(100 + 80 * i), static_cast<int16_t>(90 + 80 * i),
             i == l.spike && l.height > 0 ? l.height : std::max(100, 5000 - 60 * (i - l.centre) * (i - l.centre)),
             static_cast<float>(l.top - l.step * i)});
      TnelProcBPData d(method, DATAPROCESS_STANDARD, false, 0.0f);
      const bool ok = d.ProcGetBPData_First(static_cast<int16_t>(l.count), v.data(), nullptr, BPVMODE_DEFLATE);
      out += Fmt("list %d %d %d %d %d %d method %d: %d %d %d %d %d %d %d\n", l.count, l.centre, l.spike, l.height,
                 l.top, l.step, method, ok, d.SBP, d.MAP, d.DBP, d.SBPPos, d.MAPPos, d.DBPPos);
      EXPECT_TRUE(!ok || (d.SBP > d.MAP && d.MAP > d.DBP));
      if (method == BPVCAL_KR) continue;
      out += "amplitudes";
      for (const auto& p : v) out += Fmt(" %d", p.Amplitude);
      out += "\n";
    }
  nel::golden::Check("bp/golden/pulse_lists.txt", out,
                     "Synthetic pulse lists (GoldenPulseLists in bp_golden_test.cpp), methods 0 KR, 3 fixed\n"
                     "and 4 MAP coefficients; limb, deflation, no ratio offset, no samples. list: count, hump\n"
                     "centre, spike index and height, top pressure, step; method: ok, SBP, MAP, DBP, positions;\n"
                     "amplitudes: the caller's array afterwards (the coefficient methods filter it).\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_tests --gtest_filter='Golden*'");
}

// Limb windows of one sample `amp` among zeros at one pressure; kept in window_runs.txt.
struct WindowRun {
  const char* name;
  float pressure;
  std::vector<int> amps;
  bool deflate = false;
};
const WindowRun kRuns[] = {
    {"small", 60, {700, 599}},  // judged by amplitude, pressure 14 and 40 mmHg, 12000
    {"low", 13.9f, {5000}},
    {"at_14", 14, {5000}},
    {"artefact", 39.9f, {12001}},
    {"at_40", 40, {12001}},
    {"newest_spike", 60, {1000, 1000, 1000, 1000, 4000}},  // against the trimmed mean of five
    {"older_above_3_mean", 60, {1000, 1000, 1000, 1000, 3100, 1000}},
    {"older_below_0_15_mean", 60, {5000, 5000, 5000, 600, 5000}},
    {"maximum", 60, {1000, 1500, 3000, 1500, 1150}},  // two valid windows either side, the last above 0.38
    {"one_valid_before", 60, {1000, 3000, 1500, 1000, 900}},
    {"deflation_end", 60, {1000, 1500, 3000, 1500, 1250}, true},
    {"two_larger_after", 60, {1000, 1500, 3000, 1500, 1000, 3500, 3600}},  // the maximum reviewed
    {"still_rising", 60, {1000, 1500, 3000, 1500, 1000, 1200, 1800, 2400}},
    {"rising_again_marks_it", 60, {1000, 1500, 3000, 1500, 1200, 700, 900, 1100, 1300}},
    {"rising_again_to_2_3", 60, {1000, 1500, 3000, 1500, 1200, 700, 900, 1100, 2100}},
    {"two_low_windows", 60, {1000, 1500, 3000, 1500, 1200, 500, 500}},
    {"three_small_above_finish", 130, {1000, 100, 100, 100}},
};

TEST(GoldenWindowRuns, StateAfterTheLastWindow) {
  std::string out;
  for (const WindowRun& c : kRuns) {
    TnelPulseRecogn r;
    r.Initialize(c.deflate ? BPVMODE_DEFLATE : BPVMODE_INFLATE, false, 280);
    int st = PRS_NONE;
    for (int amp : c.amps)
      for (int k = 0; k < TnelPulseRecogn::kWinLen; ++k) st = r.PulseRecogn(0, k == 70 ? amp : 0, c.pressure, true);
    std::string statuses;
    for (int w = 0; w < r.WinCount; ++w) statuses += "VSLA"[r.Windows[w].Status];
    out += Fmt("%s %s %d %d %d %d %d\n", c.name, statuses.c_str(), r.MAPWin, r.EnvelopeEnded, st, r.CutoffPressure,
               r.SearchStart);
  }
  nel::golden::Check("bp/golden/window_runs.txt", out,
                     "Window runs (GoldenWindowRuns in bp_golden_test.cpp): name, statuses (V valid, S small,\n"
                     "L low pressure, A artefact), maximum window, envelope ended, last status returned (0 none,\n"
                     "1 complete, 5 pulse), cut-off pressure, search start.\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_tests --gtest_filter='Golden*'");
}

// KR on pulses 1 mmHg apart (the resampling then hits every pulse). Smoothed,
// the first list's envelope is 2400, 3428, 3555, 3444, 3555, ...: a maximum at
// index 2, which only a toe cuff accepts (fitted at 150, 148, 146 and 144 mmHg:
// MAP 147). The second's maximum lies on the second-last point, at 142.5 mmHg:
// a toe MAP rounded half up, nothing fitted.
TEST(KrEdges, MaximumNearTheEndsOfTheEnvelope) {
  auto map = [](bool toe, float top, const std::vector<int32_t>& amps) {
    std::vector<tagBPV_PULSE_FEATURE_POINT> v;
    for (size_t i = 0; i < amps.size(); ++i)
      v.push_back({static_cast<int16_t>(100 + 50 * i), static_cast<int16_t>(90 + 50 * i), amps[i],
                   top - static_cast<float>(i)});
    TnelProcBPData d(BPVCAL_KR, DATAPROCESS_STANDARD, toe, 0.0f);
    d.ProcGetBPData_First(static_cast<int16_t>(v.size()), v.data(), nullptr, BPVMODE_DEFLATE);
    return std::pair<int, int>(d.MAP, d.PulseNum);
  };
  const std::vector<int32_t> indexTwo = {0, 4000, 2000, 8000, 3000, 2500, 2000, 1500, 1000, 500, 400};
  EXPECT_EQ(map(false, 150.0f, indexTwo).first, -1);
  EXPECT_EQ(map(true, 150.0f, indexTwo).first, 147);
  const std::vector<int32_t> secondLast = {1000, 1500, 2000, 2500, 3000, 3500, 0, 1000, 0, 10000, 0};
  EXPECT_EQ(map(true, 150.5f, secondLast), std::make_pair(143, 10));
  EXPECT_EQ(map(false, 150.5f, secondLast).first, -1);
}

// The peak scan compares in single precision: near a flat top many steps give
// the same float and the lowest pressure of them wins. For a vertex at 91.502
// mmHg on a top of 30000 the values tie from 91.53 down to 91.48 (MAP 91).
TEST(KrEdges, EqualSinglePrecisionPeaksGoToTheLowerPressure) {
  const double a = 91.502 - 90.0, c[3] = {30000.0 - a * a, 2.0 * a, -1.0};
  const nel::bp::PeakScan p = nel::bp::ParabolaPeakScan(c, 90.0, 100.0, 80.0, 29000.0f, 100000);
  EXPECT_FLOAT_EQ(p.value, 30000.0f);
  EXPECT_NEAR(p.pressure, 91.48f, 0.002f);
}

// Bad input ends at once without a result: no list, a count outside 3..800, an
// unknown method (the caller's list untouched). Equal, infinite or NaN
// pressures end too, the envelope within its bound.
TEST(KrEdges, BadInputEndsWithoutAResult) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<std::vector<float>> lists = {{120, 120, 120, 120, 120, 120, 120, 120},
                                                 {inf, 130, 120, 110, 100, 90, 80, 70},
                                                 {1e30f, 130, 120, 110, 100, 90, 80, 70},
                                                 {130, 120, nan, 100, 90, 80, 70, 60}};
  for (int method : {int{BPVCAL_KR}, int{BPVCAL_SIMCOEFF}, int{BPVCAL_MAPCOEFF}, 7})
    for (bool toe : {false, true})
      for (const auto& pressures : lists) {
        std::vector<tagBPV_PULSE_FEATURE_POINT> v;
        for (size_t i = 0; i < pressures.size(); ++i)
          v.push_back(
              {0, static_cast<int16_t>(10 * i), static_cast<int32_t>(1000 + 300 * i - 40 * i * i), pressures[i]});
        const auto kept = v;
        TnelProcBPData d(static_cast<tagTYPE_BPV_CALMETHOD>(method), DATAPROCESS_STANDARD, toe, 0.0f);
        EXPECT_FALSE(d.ProcGetBPData_First(2, v.data(), nullptr, BPVMODE_DEFLATE));
        EXPECT_FALSE(d.ProcGetBPData_First(801, v.data(), nullptr, BPVMODE_DEFLATE));
        EXPECT_FALSE(d.ProcGetBPData_First(5, nullptr, nullptr, BPVMODE_DEFLATE));
        const bool ok = d.ProcGetBPData_First(static_cast<int16_t>(v.size()), v.data(), nullptr, BPVMODE_DEFLATE);
        EXPECT_TRUE(method != 7 || !ok);
        EXPECT_TRUE(method != 7 || std::memcmp(v.data(), kept.data(), v.size() * sizeof v[0]) == 0);
        EXPECT_LE(+d.PulseNum, 799);
      }
}

}  // namespace
