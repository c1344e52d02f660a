// TnelDataAna: pressure indices, velocities and per-wave results from marks.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <nel/analysis/wave_record_file.h>
#include "../common/golden.h"
#include "data_ana_access.h"

using nel::analysis::DataAnaTestAccess;
using nel_test::Record;

namespace {

// Kinds of a "ECG PCG RBra ..." list.
std::vector<tagTYPE_NEL_WAVEDATA> Kinds(const char* names) {
  std::vector<tagTYPE_NEL_WAVEDATA> k;
  std::istringstream in(names);
  for (std::string w; in >> w;) k.push_back(static_cast<tagTYPE_NEL_WAVEDATA>(nel::analysis::WaveKindFromName(w)));
  return k;
}

// Marks `beats` beats of 800 records from 100 (onsets) and, per "Kind foot[/notch]"
// of `feet`, a valley 3 records before the foot (records after the onset), a
// peak 120 after it and a notch (300 unless given; 0 none) after it.
void MarkBeats(Record& r, int beats, const char* feet) {
  for (int b = 0; b <= beats; ++b) {
    const int32_t q = 100 + 800 * b;
    r.mark(q, WAVE_ECG) = MARK_ECG_ONSET;
    std::istringstream in(feet);
    for (std::string w; b < beats && in >> w;) {
      int32_t foot = 0, notch = 300;
      in >> foot;
      if (in.peek() == '/') in.ignore() >> notch;
      const auto kind = static_cast<tagTYPE_NEL_WAVEDATA>(nel::analysis::WaveKindFromName(w));
      r.mark(q + foot - 3, kind) = MARK_PULSE_VALLEY;
      r.mark(q + foot, kind) = MARK_PULSE_FOOT;
      r.mark(q + foot + 120, kind) = MARK_PULSE_PEAK;
      if (notch > 0) r.mark(q + foot + notch, kind) = MARK_PULSE_NOTCH;
    }
  }
}

const char* const kAll = "ECG PCG RBra LBra RAnk LAnk";
const char* const kToes = "ECG PCG RBra LBra RToe LToe";
const char* const kRight = "ECG PCG RBra RAnk";
const char* const kFourFeet = "RBra 50 LBra 55 RAnk 150 LAnk 160";
const char* const kToeFeet = "RBra 50 LBra 50 RToe 170 LToe 180";
const char* const kOneArmFeet = "RBra 50 RAnk 150 LAnk 160";
const char* const kBP = "120/80 118/78 130/80 125/75";
const char* const kOneArmBP = "120/80 -1/-1 130/80 125/75";
const char* const kRightBP = "120/80 -1/-1 130/80 -1/-1";

// RBra a triangle from 60 at each foot to 100 at its peak and back to 60 at the next foot.
void Triangle(Record& r) {
  for (int32_t i = 150; i < r.n(); ++i) {
    const int32_t t = (i - 150) % 800;
    r.set(i, WAVE_RBRA, t < 120 ? 60.0f + 40.0f * t / 120 : 100.0f - 40.0f * (t - 120) / 680);
  }
}
// Two beats with very short and two with very long (still valid) ankle delays.
void MoveAnkleFeet(Record& r) {
  const int32_t moved[4][2] = {{0, 60}, {1, 70}, {2, 280}, {3, 290}};
  for (auto [b, delay] : moved) {
    r.mark(100 + 800 * b + 150, WAVE_RANK) = 0;
    r.mark(100 + 800 * b + 50 + delay, WAVE_RANK) = MARK_PULSE_FOOT;
  }
}
// Beat 2 lacks its ankle valley; a working PT mark on the arm.
void DropAValley(Record& r) {
  r.mark(100 + 800 * 2 + 147, WAVE_RANK) = 0;
  r.mark(100 + 800 * 2 + 10, WAVE_RBRA) = MARK_PULSE_PT;
}

// Per case a record of marked beats and limb pressures (SBP/DBP; 0 and
// negative values not measured), the results as one line of a golden record.
TEST(Results, OfMarkedBeatsAndLimbPressures) {
  std::vector<int32_t> many(45, 400);  // trimmed 300 and 600; the 500s lie beyond the 40th interval
  many[0] = 300;
  many[1] = 600;
  for (int b = 40; b < 45; ++b) many[b] = 500;
  const std::vector<int32_t> s2a = {410, 415, 420, 425, 430, 410, 415, 420}, s2b = {270, 280, 290, 280, 280, 280, 280};
  const struct {
    const char* name;
    const char* kinds;
    bool ankle;
    const char* limbs;  // RBra LBra, RAnk or RToe, LAnk or LToe
    int beats;
    const char* feet;
    std::vector<int32_t> s2 = {};  // onset to S2 per beat
    float factor = 0.0f;
    int32_t height = 170;
    void (*edit)(Record&) = nullptr;
  } cases[] = {
      // Indices from the measured pressures only.
      {"right_arm_reference", kAll, true, "125/80 -1/-1 100/70 -1/-1", 6, kFourFeet},
      {"no_arm", kAll, true, "-1/-1 -1/-1 100/70 110/70", 6, kFourFeet},
      {"arms_sbp_0", kAll, true, "0/80 0/78 132/80 108/70", 6, kFourFeet},
      {"right_arm_sbp_0", kAll, true, "0/80 120/78 132/80 108/70", 6, kFourFeet},
      {"right_ankle_negative", kAll, true, "120/80 120/78 -5/80 108/70", 6, kFourFeet},
      {"left_arm_dbp_0", kAll, true, "120/80 118/0 132/80 108/70", 6, kFourFeet},
      {"toe_no_arm", kToes, false, "-3/80 0/80 96/60 84/60", 6, kToeFeet},
      {"toe_right_0", kToes, false, "120/80 110/80 0/60 84/60", 6, "RToe 170"},
      {"toe", kToes, false, "120/80 110/80 96/60 84/60", 6, kToeFeet},
      // Velocity, upstroke, ejection time, pre-ejection period and mean pressure.
      {"triangle", kAll, true, kBP, 8, kFourFeet, s2a, 0, 170, Triangle},
      {"et_nearer_285", kAll, true, kBP, 7, "RBra 50/280 LBra 50/262 RAnk 150 LAnk 160", s2b},
      {"et_one_arm_600", kAll, true, kBP, 8, "RBra 50/600 LBra 50/0 RAnk 150 LAnk 160"},
      {"pep_first_40", kAll, true, kBP, 45, kFourFeet, many},
      {"pep_negative", kAll, true, kBP, 8, kFourFeet, std::vector<int32_t>(8, 250)},
      // Any record order (RBra, then LAnk at position 0), one arm.
      {"order_rbra_first", "RBra ECG PCG RAnk LAnk", true, kOneArmBP, 8, kOneArmFeet},
      {"order_lank_first", "LAnk ECG RAnk PCG RBra", true, kOneArmBP, 8, kOneArmFeet},
      // Left ankle 16 ms after the arm: above 6000 cm/s.
      {"factor_0.5", "ECG RBra RAnk LAnk", true, kOneArmBP, 8, "RBra 50 RAnk 150 LAnk 66", {}, 0.5f},
      // Delays of 10 and 300 ms are not counted; the factor keeps 11 ms below 6000 cm/s.
      {"delay_10", kRight, true, kRightBP, 8, "RBra 50 RAnk 60", {}, -0.99f},
      {"delay_11", kRight, true, kRightBP, 8, "RBra 50 RAnk 61", {}, -0.99f},
      {"delay_299", kRight, true, kRightBP, 8, "RBra 50 RAnk 349", {}, -0.99f},
      {"delay_300", kRight, true, kRightBP, 8, "RBra 50 RAnk 350", {}, -0.99f},
      {"trim_two_each_side", kRight, true, kRightBP, 10, "RBra 50 RAnk 150", {}, 0, 170, MoveAnkleFeet},
      {"incomplete_beat", kRight, true, kRightBP, 6, "RBra 50 RAnk 150", {}, 0, 170, DropAValley},
      {"path_negative", kRight, true, kRightBP, 4, "RBra 50 RAnk 150", {}, 0, -200},
  };
  std::ostringstream out;
  for (const auto& c : cases) {
    Record r(Kinds(c.kinds), c.beats * 800 + 300);
    MarkBeats(r, c.beats, c.feet);
    for (int b = 0; b < static_cast<int>(c.s2.size()); ++b) r.mark(100 + 800 * b + c.s2[b], WAVE_PCG) = MARK_PCG_S2;
    if (c.edit) c.edit(r);
    tagLIMBRESULT l[4];
    std::istringstream in(c.limbs);
    for (auto& x : l) {
      int sbp = 0, dbp = 0;
      char slash;
      in >> sbp >> slash >> dbp;
      x = {static_cast<int16_t>(sbp), static_cast<int16_t>(dbp), static_cast<int16_t>(dbp + 10)};
    }
    TnelDataAna a = r.Make();
    a.SetBPData(c.ankle, l);
    a.PWVFactor = c.factor;
    ASSERT_TRUE(DataAnaTestAccess::Results(a, c.ankle, c.height)) << c.name;
    int kept = 0, working = 0;  // marks 1 to 5, marks 6 and 7 left in the record
    for (const auto& x : r.rec)
      for (uint8_t m : x.Mark) (m > 5 ? working : kept) += m > 0;
    char line[400];
    std::snprintf(line, sizeof line,
                  "%s ABI %.5f %.5f BAI %.5f %.5f TBI %.5f %.5f BTI %.5f %.5f PWV %.2f %.2f ET %d PEP %d AIx %d "
                  "MAP%% %d %d %d %d UT %d %d %d %d marks %d working %d\n",
                  c.name, a.RightABI, a.LeftABI, a.RightBAI, a.LeftBAI, a.RightTBI, a.LeftTBI, a.RightBTI, a.LeftBTI,
                  a.RightPWV, a.LeftPWV, a.ET, a.PEP, a.AIx, a.MapPercent[0], a.MapPercent[1], a.MapPercent[2],
                  a.MapPercent[3], a.UpstrokeTime[0], a.UpstrokeTime[1], a.UpstrokeTime[2], a.UpstrokeTime[3], kept,
                  working);
    out << line;
  }
  nel::golden::Check("analysis/golden/results_marked_beats.txt", out.str(),
                     "TnelDataAna results (GetAnaResult at 170 cm unless given) of records that hold only marks:\n"
                     "the cases of data_ana_results_test.cpp, beats of 800 records from 100, per wave a valley,\n"
                     "foot, peak (+120) and notch (+300 unless given); waves flat at 0 but for the 'triangle' case.\n"
                     "Per case: ABI, BAI, TBI, BTI, PWV (right, left), ET, PEP, AIx, MapPercent and UpstrokeTime\n"
                     "per limb slot, marks 1 to 5 and working marks (6, 7) left in the record.\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 nel_analysis_tests --gtest_filter='Results.*'",
                     {1e-4, 1e-5});
}

TEST(Results, AIxIsLimitedToFifty) {
  Record r(Kinds(kAll), 100);
  TnelDataAna a = r.Make();
  for (auto [in, out] : {std::pair<int16_t, int16_t>{73, 50}, {-12, -12}, {-51, -50}, {-9999, -50}}) {
    a.AIx = in;
    DataAnaTestAccess::Results(a, true, 170);
    EXPECT_EQ(a.AIx, out) << in;
  }
}

}  // namespace
