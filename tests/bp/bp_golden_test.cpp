// Recorded inflations replayed through the recogniser and the calculation:
// every window, the envelope maximum, every pulse of the final list and the
// BP values are kept in tests/bp/golden/<name>.txt. The inputs are the
// samples the recogniser stored in a measurement on the virtual unit
// (bp_closed_loop_test.cpp writes them); one record adds a movement artefact.
// Remake with NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_tests --gtest_filter='Golden*'
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nel/bp/proc_bp_data.h>
#include <nel/bp/pulse_recogn.h>
#include "../common/golden.h"

namespace {

struct Record {
  const char* name;
  const char* input;    // tests/bp/golden/<input>_samples.txt
  double sbp, dbp, hr;  // the subject's set values
  bool toe = false;
  int artefactAt = -1;  // first sample of an added movement artefact
};

struct Sample {
  int32_t smooth;
  float pressure;
};

std::vector<Sample> Load(const std::string& input) {
  std::ifstream in(nel::golden::PathOf("bp/golden/" + input + "_samples.txt"));
  std::vector<Sample> v;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] == '#') continue;
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
  ASSERT_GT(in.size(), 1000u) << rec.input;
  if (rec.artefactAt >= 0)  // a movement: 60 samples rising to 8700 counts above the signal and back
    for (int k = 0; k < 60; ++k) in[rec.artefactAt + k].smooth += 300 * std::min(k, 59 - k);

  TnelPulseRecogn r;
  r.Initialize(BPVMODE_INFLATE, rec.toe, 280);
  size_t end = 0;
  while (end < in.size() && r.PulseRecogn(0, in[end].smooth, in[end].pressure, true) != PRS_COMPLETE) ++end;
  if (rec.artefactAt < 0) {
    EXPECT_EQ(end, in.size() - 1) << "the recording ends where its measurement ended";
  }
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

  // The coefficient methods on the same list (they rewrite their copy of it).
  for (auto method : {BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
    std::vector<tagBPV_PULSE_FEATURE_POINT> list(r.FeaturePoint, r.FeaturePoint + r.FeatureCount);
    TnelProcBPData c(method, DATAPROCESS_STANDARD, rec.toe, 0.0f);
    const bool cok = c.ProcGetBPData_First(r.FeatureCount, list.data(), r.FiltedData, BPVMODE_INFLATE);
    out += Fmt("coeff %d %d %d %d %d %d %d %d %.4f\n", method, cok, c.SBP, c.MAP, c.DBP, c.SBPPos, c.MAPPos, c.DBPPos,
               static_cast<double>(c.MapSBPRatio));
    EXPECT_TRUE(cok) << method;
    EXPECT_NEAR(c.SBP, rec.sbp - 4, 10) << method;
    EXPECT_NEAR(c.DBP, rec.dbp + 2, 10) << method;
  }
  TnelProcBPData calc(BPVCAL_KR, DATAPROCESS_STANDARD, rec.toe, 0.0f);
  const bool ok = calc.ProcGetBPData_First(r.FeatureCount, r.FeaturePoint, r.FiltedData, BPVMODE_INFLATE);
  out += Fmt("bp %d %d %d %d %d %d %d %d\n", ok, calc.SBP, calc.MAP, calc.DBP, rec.toe ? 0 : rate, calc.SBPPos,
             calc.MAPPos, calc.DBPPos);
  out += Fmt("envelope %d %d %d %.3f %.3f\n", calc.MaxAmplitude, calc.SBPIndex, calc.DBPIndex,
             static_cast<double>(calc.SBPPressure), static_cast<double>(calc.DBPPressure));

  // The values against the subject: the method reads the systolic pressure a
  // few mmHg low (see bp_closed_loop_test.cpp); the limb pulse list holds one
  // pulse per beat.
  ASSERT_TRUE(ok);
  EXPECT_NEAR(calc.SBP, rec.sbp - 4, 10);
  EXPECT_NEAR(calc.DBP, rec.dbp + 2, 10);
  EXPECT_GT(calc.MAP, calc.DBP);
  EXPECT_LT(calc.MAP, calc.SBP);
  if (!rec.toe) {
    EXPECT_NEAR(rate, rec.hr, 0.1 * rec.hr);
  }
  nel::golden::Check(std::string("bp/golden/") + rec.name + ".txt", out,
                     std::string("Replay of tests/bp/golden/") + rec.input + "_samples.txt" +
                         (rec.artefactAt >= 0 ? Fmt(" with a movement artefact at sample %d", rec.artefactAt) : "") +
                         "\nthrough TnelPulseRecogn (inflation, 280 mmHg) and TnelProcBPData (KR, standard).\n"
                         "end: completing sample, its pressure; window: index, pressure, amplitude, status\n"
                         "(V valid, S small, L low pressure, A artefact); maximum: window, cut-off pressure;\n"
                         "pulse: index, peak, foot, amplitude, pressure; bp: ok, SBP, MAP, DBP, rate (median\n"
                         "peak interval, limb cuffs), positions of SBP, MAP, DBP in the reversed list; coeff: the\n"
                         "method (3 fixed coefficients, 4 MAP coefficients) on the same list: method, ok, SBP, MAP,\n"
                         "DBP, positions, shape ratio; envelope: the KR envelope's maximum, the indices and\n"
                         "pressures of its systolic and diastolic crossings.\n"
                         "Remake: NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_tests --gtest_filter='Golden*'",
                     {0.006, 0.0});
}

const Record kRecords[] = {
    {"rbra_120_80", "rbra_120_80", 120, 80, 70},
    {"rbra_120_80_movement", "rbra_120_80", 120, 80, 70, false, 1910},
    {"lank_165_95", "lank_165_95", 165, 95, 58},
    {"rbra_110_75_small_artery", "rbra_110_75_small_artery", 110, 75, 80},
    {"rbra_135_85_ectopics", "rbra_135_85_ectopics", 135, 85, 75},
    {"rtoe_100_70", "rtoe_100_70", 100, 70, 72, true},
};
INSTANTIATE_TEST_SUITE_P(Golden, Golden, ::testing::ValuesIn(kRecords),
                         [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
