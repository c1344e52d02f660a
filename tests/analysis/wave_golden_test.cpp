// Wave records of the virtual unit, taken as a host takes them (hold at 60 mmHg,
// released with the cuffs inflated, 15 s record) with the unit in this
// process, and analysed: every mark of every beat and every result against
// golden records, the results also against the subject's set values.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nel/analysis/data_ana.h>
#include "../common/golden.h"
#include "sim/stepped_rig.h"
#include "sim/virtual_unit.h"

namespace {

struct Subject {
  const char* name;
  double heartRate, pwv, height;
  double sbp[4], dbp[4];  // RBra LBra RAnk LAnk
  bool filter;            // the analysis's own low-pass
  uint64_t seed;
};

// The unit and the façade in this thread: the same record on every run.
std::vector<tagSAVE_WAVEDATA> TakeRecord(const nel::sim::SubjectConfig& cfg, nlohmann::json& truth) {
  nel::sim::InProcessFacade f(cfg);
  EXPECT_TRUE(f.opened);
  f.hb.FixPressure_Start(60);
  EXPECT_TRUE(f.Run(60, [&] { return f.Status().FixPressureEnd; }));
  f.hb.FixPressure_Cancel(false);
  EXPECT_TRUE(f.hb.WaveRecord_Start());
  EXPECT_TRUE(f.Run(20, [&] { return f.Status().WaveRecordEnd; }));
  int count = 0;
  const tagSAVE_WAVEDATA* rec = f.hb.WaveRecord_DataAssign(&count);
  truth = f.unit.GroundTruth();
  f.hb.CancelAllProcess();
  return {rec, rec + count};
}

// One line per beat (QRS onset to the next): the onset, then per record
// position its marks as value@offset from the onset; marks before the first
// onset on a line "pre".
std::string Marks(const std::vector<tagSAVE_WAVEDATA>& rec) {
  std::vector<int> onsets;
  for (int i = 0; i < static_cast<int>(rec.size()); ++i)
    if (rec[i].Mark[0] == MARK_ECG_ONSET) onsets.push_back(i);
  onsets.insert(onsets.begin(), 0);
  onsets.push_back(static_cast<int>(rec.size()));
  std::ostringstream out;
  for (size_t b = 0; b + 1 < onsets.size(); ++b) {
    out << (b == 0 ? "pre" : "beat") << ' ' << (b == 0 ? 0 : onsets[b]);
    for (int pos = 0; pos < 6; ++pos) {
      out << " |";
      for (int i = onsets[b]; i < onsets[b + 1]; ++i)
        if (rec[i].Mark[pos] != 0) out << ' ' << int{rec[i].Mark[pos]} << '@' << i - onsets[b];
    }
    out << '\n';
  }
  return out.str();
}

class WaveGolden : public ::testing::TestWithParam<Subject> {};

TEST_P(WaveGolden, MarksAndResultsOfAVirtualUnitRecord) {
  const Subject& s = GetParam();
  nel::sim::SubjectConfig cfg = nel::sim::QuietSubject();
  cfg.seed = s.seed;
  cfg.heart_rate_bpm = s.heartRate;
  cfg.height_cm = s.height;
  cfg.pwv_cm_s = s.pwv;
  tagLIMBRESULT limbs[4];
  for (int k = 0; k < 4; ++k) {
    cfg.site[k].sbp = s.sbp[k];
    cfg.site[k].dbp = s.dbp[k];
    limbs[k] = {static_cast<int16_t>(s.sbp[k]), static_cast<int16_t>(s.dbp[k]),
                static_cast<int16_t>((s.sbp[k] + 2 * s.dbp[k]) / 3)};
  }
  nlohmann::json truth;
  std::vector<tagSAVE_WAVEDATA> rec = TakeRecord(cfg, truth);
  ASSERT_EQ(rec.size(), 15000u);

  const tagTYPE_NEL_WAVEDATA kinds[6] = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};
  TnelDataAna a(6, kinds, rec.data(), static_cast<int32_t>(rec.size()), 1000);
  a.SetBPData(true, limbs);
  ASSERT_TRUE(a.Analysis(true, static_cast<int32_t>(s.height), 0.0f, s.filter));

  // Against the subject: indices from its pressures, its rate, its velocity
  // (the analysis shortens the delay by 10 %).
  EXPECT_FLOAT_EQ(a.RightABI, static_cast<float>(s.sbp[2] / std::max(s.sbp[0], s.sbp[1])));
  EXPECT_NEAR(a.HeartRate, s.heartRate, 5);
  EXPECT_NEAR(a.RightPWV, truth["bapwv_cm_s"]["right"].get<double>() / 0.9, 0.15 * s.pwv / 0.9);
  EXPECT_NEAR(a.LeftPWV, truth["bapwv_cm_s"]["left"].get<double>() / 0.9, 0.15 * s.pwv / 0.9);
  EXPECT_GT(a.PEP, 0);
  EXPECT_GT(a.ET, 200);
  EXPECT_LT(a.ET, 400);

  char results[512];
  std::snprintf(results, sizeof results,
                "results HR %d ABI %.6f %.6f BAI %.6f %.6f PWV %.3f %.3f PEP %d ET %d AIx %d "
                "MAP%% %d %d %d %d UT %d %d %d %d BeatLen %d\n",
                a.HeartRate, a.RightABI, a.LeftABI, a.RightBAI, a.LeftBAI, a.RightPWV, a.LeftPWV, a.PEP, a.ET, a.AIx,
                a.MapPercent[0], a.MapPercent[1], a.MapPercent[2], a.MapPercent[3], a.UpstrokeTime[0],
                a.UpstrokeTime[1], a.UpstrokeTime[2], a.UpstrokeTime[3], a.BeatLen);
  const std::string header =
      std::string("Virtual unit record '") + s.name +
      "': the unit in the test's process (sim::VirtualUnit, QuietSubject with the\n"
      "seed, rate, velocity, height and pressures of the case in wave_golden_test.cpp), hold at 60 mmHg,\n"
      "released with the cuffs inflated, 15 s wave record; TnelDataAna::Analysis(ankle, height, factor 0,\n"
      "filter as the case) with the subject's pressures.\n"
      "Lines: the results; per beat the QRS onset, then per record position (ECG PCG RBra LBra RAnk LAnk)\n"
      "its marks as value@records-after-the-onset (ECG 1 R 2 onset; PCG 1 S1 2 S2; pulse 1 peak 2 foot\n"
      "3 notch 4 P 5 T).\n"
      "Remake: NEL_UPDATE_GOLDEN=1 nel_analysis_tests --gtest_filter='*WaveGolden*'";
  nel::golden::Check(std::string("analysis/golden/wave_") + s.name + ".txt", results + Marks(rec), header,
                     {1e-3, 1e-4});
}

INSTANTIATE_TEST_SUITE_P(
    Subjects, WaveGolden,
    ::testing::Values(Subject{"hr66_pwv1500", 66, 1500, 176, {122, 118, 144, 100}, {78, 76, 80, 64}, false, 7},
                      Subject{
                          "hr82_pwv1100_filtered", 82, 1100, 162, {134, 138, 150, 141}, {84, 86, 82, 80}, true, 11}),
    [](const auto& p) { return std::string(p.param.name); });

// The EPHNOGRAM record ECGPCG0003 (ECG and PCG at 8000 samples/s, 30 s):
// means of eight samples, as two records of 15 s at the analysis's rate;
// the ECG at the unit's 665 counts/mV, the PCG scaled to 1500 counts at its
// largest. Skipped without the data.
TEST(WaveGolden, HeartSoundsOfARealRecording) {
  const std::string dir = std::string(NEL_SHARED_DATA_DIR) + "/ephnogram/ECGPCG0003";
  std::ifstream hea(dir + ".hea"), dat(dir + ".dat", std::ios::binary);
  if (!hea || !dat) GTEST_SKIP() << "no " << dir;
  std::string line;
  double gain[2] = {}, base[2] = {};
  std::getline(hea, line);
  for (int c = 0; c < 2 && std::getline(hea, line); ++c)
    ASSERT_EQ(std::sscanf(line.c_str(), "%*s %*d %lf(%lf)", &gain[c], &base[c]), 2) << line;
  std::vector<int16_t> raw(240000 * 2);
  dat.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size() * 2));
  ASSERT_EQ(dat.gcount(), static_cast<std::streamsize>(raw.size() * 2));
  std::vector<double> mv[2];
  double pcgMax = 0;
  for (size_t i = 0; i + 8 <= 240000; i += 8)
    for (int c = 0; c < 2; ++c) {
      double sum = 0;
      for (size_t k = i; k < i + 8; ++k) sum += (raw[2 * k + c] - base[c]) / gain[c];
      mv[c].push_back(sum / 8);
      if (c == 1) pcgMax = std::max(pcgMax, std::fabs(sum / 8));
    }
  std::ostringstream produced;
  const tagTYPE_NEL_WAVEDATA kinds[2] = {WAVE_ECG, WAVE_PCG};
  for (size_t start = 0; start + 15000 <= mv[0].size(); start += 15000) {
    std::vector<tagSAVE_WAVEDATA> rec(15000);
    std::memset(rec.data(), 0, rec.size() * sizeof rec[0]);
    for (size_t i = 0; i < rec.size(); ++i) {
      rec[i].Wave[0] = static_cast<float>(std::round(mv[0][start + i] * 665.0) / 665.0);
      rec[i].Wave[1] = static_cast<float>(std::round(mv[1][start + i] * 1500.0 / pcgMax) / 100.0);
    }
    TnelDataAna a(2, kinds, rec.data(), 15000, 1000);
    ASSERT_TRUE(a.Analysis(true, 170, 0.0f, false));
    EXPECT_NEAR(a.HeartRate, 60000.0 / a.BeatLen, 8);
    produced << "record " << start / 1000 << " s: HR " << a.HeartRate << " BeatLen " << a.BeatLen << '\n' << Marks(rec);
  }
  nel::golden::Check(
      "analysis/golden/ephnogram_ecgpcg0003.txt", produced.str(),
      "EPHNOGRAM ECGPCG0003 (shared data dir), 8000 samples/s to 1000 by means of eight, two records\n"
      "of 15 s (ECG, PCG), analysed by TnelDataAna; per record its heart rate and beat length, then per\n"
      "beat the QRS onset and the marks as value@records-after-the-onset (ECG 1 R 2 onset; PCG 1 S1 2 S2).\n"
      "Remake: NEL_UPDATE_GOLDEN=1 nel_analysis_tests --gtest_filter='*WaveGolden*'");
}

}  // namespace
