// The façade without a unit: lists, hardware information, starting and
// cancelling modes, and the records' initial states.
#include <gtest/gtest.h>

#include <array>
#include <functional>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <nel/bp/bpv_check.h>
#include <nel/control/hard_base.h>
#include <nel/cuff/pressure_fixed.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/qx_protocol.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>
#include "link/hardware_info_file.h"

namespace {

// The pumping modes need an open link: these façades get an in-process
// device that drops what is written.
void OpenInProcess(TnelHardBase& hb) {
  ASSERT_TRUE(hb.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(nullptr, nullptr));
}

namespace fs = std::filesystem;

std::string ReadText(const fs::path& p) {
  std::ifstream in(p);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(Facade, NewFacadeMeasuresBrachialAndAnkleCuffsAndReportsNothingYet) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  EXPECT_EQ(hb.GetDetectCategory(), DETECT_BRA_ANK);
  EXPECT_EQ(hb.Layout().waveCount, 6);
  EXPECT_EQ(hb.Layout().cuffCount, 4);

  tagHMID_DATA st;
  std::memset(&st, 0x5A, sizeof st);
  ASSERT_TRUE(hb.GetStatus(&st));
  EXPECT_FALSE(hb.GetStatus(nullptr));
  EXPECT_EQ(st.PulseRate, 0);
  for (const auto& r : st.BPResult) {
    EXPECT_EQ(r.SBP, -1);
    EXPECT_EQ(r.DBP, -1);
    EXPECT_EQ(r.MAP, -1);
    EXPECT_EQ(int{r.Status}, 0);
  }
  EXPECT_FALSE(st.BPMeasureEnd || st.SignalCheckEnd || st.FixPressureEnd || st.WaveRecordEnd || st.CVRRCheckEnd ||
               st.ExerciseEnd);
  EXPECT_EQ(st.ExerciseStage, 0);

  // No port: no pass, nothing to deliver.
  EXPECT_FALSE(hb.CheckData());
  float waves[8 * 27], pressures[6 * 27];
  EXPECT_EQ(hb.GetData(waves, pressures, &st), 0);
  int raw[8 * 27];
  EXPECT_EQ(hb.GetData(raw), 0);
  EXPECT_EQ(hb.CVRRCheck_GetConclusion(), 0u);
  EXPECT_STREQ(hb.GetParamFilePath() + std::strlen(hb.GetParamFilePath()) - 11, "HardInf.ini");
}

TEST(Facade, CategoriesRebuildTheListsAndValueSevenKeepsThem) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  hb.SetDetectCategory(DETECT_PULSE);
  ASSERT_EQ(hb.Layout().waveCount, 6);
  EXPECT_EQ(hb.Layout().waves[0], WAVE_RBRA);
  EXPECT_EQ(hb.Layout().cuffCount, 6);
  EXPECT_EQ(hb.Layout().cuffWavePos[0], 0);

  // Pulse positions take the pulse kinds' base and datum; a changed value is
  // restored by the next SetDetectCategory, also by a value outside 0..6.
  int base[8], datum[8];
  hb.GetADBaseValue(base, datum);
  EXPECT_EQ(base[0], 400000);
  EXPECT_EQ(datum[0], 3500);
  hb.SetADBaseValue(1, 2, 0);
  hb.SetADBaseValue(1, 2, 6);   // outside the wave list: ignored
  hb.SetADBaseValue(1, 2, -1);  // ignored
  hb.GetADBaseValue(base, nullptr);
  EXPECT_EQ(base[0], 1);
  hb.SetDetectCategory(static_cast<tagTYPE_DETECTCATEGORY>(7));
  EXPECT_EQ(hb.Layout().waveCount, 6);
  EXPECT_EQ(hb.Layout().waves[0], WAVE_RBRA);
  hb.GetADBaseValue(base, datum);
  EXPECT_EQ(base[0], 400000);
  EXPECT_EQ(datum[0], 3500);

  hb.SetDetectCategory(DETECT_ECG_PCG);
  EXPECT_EQ(hb.Layout().waveCount, 2);
  EXPECT_EQ(hb.Layout().cuffCount, 0);
  hb.GetADBaseValue(base, datum);
  EXPECT_EQ(base[0], 2130);
  EXPECT_EQ(datum[0], 665);
}

class FacadeHardInf : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("nel_hardinf_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir);
    path = (dir / "HardInf.ini").string();
  }
  void TearDown() override { fs::remove_all(dir); }
  fs::path dir;
  std::string path;
};

// The file's own rules (sections, defaults, one value for every pulse kind)
// are held by the HardwareInfoFile tests; here the façade's path and unit
// number reach them.
TEST_F(FacadeHardInf, PathAndUnitNumberReachTheFile) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  hb.SetParamFilePath(path.c_str());
  EXPECT_EQ(path, hb.GetParamFilePath());
  tagHARDWAREINF info = nel::link::BuiltInHardwareInfo();
  info.ComPort = 7;
  info.ADDatum[1] = 321;
  hb.PutGetHardwareInf(&info, false, 3);
  EXPECT_NE(ReadText(path).find("[BED4]"), std::string::npos);

  tagHARDWAREINF back{};
  hb.PutGetHardwareInf(&back, true, 3);
  EXPECT_EQ(back.ComPort, 7);
  EXPECT_EQ(back.ADDatum[1], 321);
  // An empty path gives the built-in values.
  hb.SetParamFilePath(nullptr);
  hb.PutGetHardwareInf(&back, true, 3);
  EXPECT_EQ(back.ComPort, 4);
  hb.PutGetHardwareInf(nullptr, true, 0);  // ignored
}

TEST(Facade, BPMeasureSelectionIsIndexedByChannel) {
  TnelHardBase hb(0, DATAPROCESS_RAW);
  OpenInProcess(hb);
  EXPECT_FALSE(hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 200, nullptr, 70));
  hb.SetDetectCategory(DETECT_BRA_TOE);
  bool sel[6] = {false, false, false, false, true, true};  // the toe channels
  ASSERT_TRUE(hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 200, sel, 70));
  EXPECT_TRUE(hb.SequenceFlag());
  EXPECT_EQ(hb.GetBPVCheck(2)->GetChannel(), BP_RTOE);
  EXPECT_EQ(hb.GetBPVCheck(3)->GetChannel(), BP_LTOE);
  // Data process mode 2 inflates to 300 mmHg whatever the host asked.
  EXPECT_EQ(hb.GetBPVCheck(2)->MaxPressure, 300);
  EXPECT_EQ(hb.GetBPVCheck(2)->MaxAttempts, 3);
  tagHMID_DATA st{};
  hb.GetStatus(&st);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(st.BPResult[k].SBP, -1);
  hb.BPMeasure_Cancel();
}

// Toe cuffs share the ankle lines: no selection may drive one line with two
// controllers at once; a hold regulates one cuff per line.
TEST(Facade, OneControllerPerPneumaticLine) {
  struct Case {
    tagTYPE_BPMEASUREMODE mode;
    std::array<int, 2> channels;
    bool accepted;
  };
  const Case cases[] = {
      {BPMEASURE_SIMULTANEOUS, {BP_RANK, BP_RTOE}, false},
      {BPMEASURE_RIGHT_THEN_LEFT, {BP_RANK, BP_RTOE}, false},  // both on the right
      {BPMEASURE_SEQUENTIAL, {BP_RANK, BP_RTOE}, true},        // one after the other
      {BPMEASURE_SIMULTANEOUS, {BP_RANK, BP_LTOE}, true},      // lines 2 and 3
      {BPMEASURE_RIGHT_THEN_LEFT, {BP_LANK, BP_LTOE}, false},
  };
  for (const Case& c : cases) {
    TnelHardBase hb(0, DATAPROCESS_STANDARD);
    OpenInProcess(hb);
    hb.SetDetectCategory(DETECT_ALL);
    bool sel[6] = {};
    for (int ch : c.channels) sel[ch] = true;
    EXPECT_EQ(hb.BPMeasure_Start(c.mode, 200, sel, 70), c.accepted) << c.mode << " " << c.channels[1];
    // A refused start changes nothing.
    EXPECT_EQ(hb.SequenceFlag(), c.accepted);
  }
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  OpenInProcess(hb);
  hb.SetDetectCategory(DETECT_ALL);
  hb.FixPressure_Start(60);
  ASSERT_NE(hb.GetPressureFixed(), nullptr);
  const TnelPressureFixed& hold = *hb.GetPressureFixed();
  ASSERT_EQ(hold.ChlCount, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(hold.Chl[i], i);
}

TEST(Facade, PulsePeakOfAPositionOutsideTheCuffsIsEmpty) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  tagNEL_PULSEPEAK peak;
  peak.Count = 5;
  peak.SBPPos = 3;
  hb.GetNELPulsePeak(&peak, 6);
  EXPECT_EQ(peak.Count, 0);
  EXPECT_EQ(peak.SBPPos, 0);
  hb.GetNELPulsePeak(&peak, -1);
  EXPECT_EQ(peak.Count, 0);
  hb.GetNELPulsePeak(nullptr, 0);  // ignored
  hb.GetNELPulsePeak(&peak, 0);    // no measurement yet
  EXPECT_EQ(peak.Count, 0);
}

TEST(Facade, WaveRecordStartsClearedAfterItsSettling) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  int count = -1;
  tagSAVE_WAVEDATA* rec = hb.WaveRecord_DataAssign(&count);
  ASSERT_NE(rec, nullptr);
  rec[14999].Wave[5] = 7.0f;
  ASSERT_TRUE(hb.WaveRecord_Start());
  EXPECT_EQ(hb.WaveRecord_DataAssign(&count), rec);
  EXPECT_EQ(count, 0);
  const float cleared = rec[14999].Wave[5];  // packed field: read by value
  EXPECT_EQ(cleared, 0.0f);
  EXPECT_EQ(hb.SettlingCount(), 2000);
}

TEST(Facade, CVRRLengthIsLimitedAndAShortRecordingGivesNoResult) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  int32_t len = -1;
  EXPECT_EQ(hb.CVRRCheck_AssignECGWaveData(&len), nullptr);
  hb.CVRRCheck_Start(10000);
  EXPECT_EQ(hb.GetDetectCategory(), DETECT_ECG_PCG);
  EXPECT_NE(hb.CVRRCheck_AssignECGWaveData(&len), nullptr);
  EXPECT_EQ(len, 30000);
  EXPECT_EQ(hb.SettlingCount(), 1000);
  hb.CVRRCheck_Start(400000);
  hb.CVRRCheck_AssignECGWaveData(&len);
  EXPECT_EQ(len, 300000);

  tagCVRR_ANA_RESULT res;
  std::memset(&res, 0x7F, sizeof res);
  EXPECT_FALSE(hb.CVRRCheck_GetResult(&res));
  EXPECT_EQ(res.DataLen, 0);
  EXPECT_EQ(res.RR[1199], 0);
  EXPECT_FALSE(hb.CVRRCheck_GetResult(nullptr));
  hb.CVRRCheck_Cancel();
  EXPECT_EQ(hb.CVRRCheck_AssignECGWaveData(&len), nullptr);
  EXPECT_EQ(len, 300000);  // the lengths keep their values
}

TEST(Facade, ExerciseStartsItsFirstCheckAtOnceAndLimitsTheCheckCount) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  OpenInProcess(hb);
  tagExerciseStressConfig cfg{};
  cfg.Reserved0[0] = 0xAB;
  cfg.CheckCount = 15;
  cfg.TimingMode = 1;
  cfg.PauseSeconds = 30;
  cfg.BPMeasureMode = BPMEASURE_SIMULTANEOUS;
  cfg.MaxPressure = 220;
  hb.ExerciseStress_Start(cfg);
  EXPECT_EQ(hb.GetDetectCategory(), DETECT_BRA_ANK2);
  EXPECT_TRUE(hb.SequenceFlag());
  EXPECT_EQ(hb.GetBPVCheck(0)->MaxPressure, 220);
  EXPECT_EQ(hb.GetBPVCheck(3)->GetChannel(), BP_LANK);
  EXPECT_EQ(hb.ExerciseStress_GetCurrChkNo(), 0);
  EXPECT_EQ(hb.ExerciseStress_GetNextProcElapseSeconds(), -1);
  tagExerciseStressRec rec{};
  ASSERT_TRUE(hb.ExerciseStress_GetResult(&rec));
  EXPECT_FALSE(hb.ExerciseStress_GetResult(nullptr));
  EXPECT_EQ(rec.Config.CheckCount, 10);
  EXPECT_EQ(rec.Config.Reserved0[0], 0xAB);
  EXPECT_EQ(int{rec.Config.PauseSeconds}, 30);
  const int time = rec.Check[0].Time;  // packed field: read by value
  EXPECT_GE(time, 0);
  EXPECT_LE(time, 235960);
  EXPECT_LT(time % 100, 61);
  hb.ExerciseStress_Cancel();
}

// Host misuse without a unit: each call in its state gives its documented
// result and leaves a reason; the old symptom is in the comment.
TEST(Facade, MisuseIsRefusedWithAReason) {
  struct Case {
    const char* what;
    std::function<bool(TnelHardBase&)> call;  // true when the call was accepted
    bool accepted;
    nel::Result reason;
  };
  bool all[6] = {true, true, true, true, true, true};
  auto bp = [&all](int maxPressure) {
    return [&all, maxPressure](TnelHardBase& hb) {
      return hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, maxPressure, all, 70);
    };
  };
  auto exercise = [](int16_t timing, int32_t interval, int32_t pause, int16_t maxPressure) {
    return [=](TnelHardBase& hb) {
      tagExerciseStressConfig cfg = {};
      cfg.CheckCount = 2;
      cfg.TimingMode = timing;
      cfg.IntervalMinutes = interval;
      cfg.PauseSeconds = pause;
      cfg.BPMeasureMode = BPMEASURE_SIMULTANEOUS;
      cfg.MaxPressure = maxPressure;
      hb.ExerciseStress_Start(cfg);
      return hb.SequenceFlag();
    };
  };
  const Case cases[] = {
      // 70000 became 4464 as an int16 maximum; -5 was taken.
      {"maximum 70000", bp(70000), false, nel::Result::kInvalidArgument},
      {"maximum -5", bp(-5), false, nel::Result::kInvalidArgument},
      {"maximum 300", bp(300), true, nel::Result::kOk},
      // Mode 3 started no cuff: a measurement that never ended.
      {"mode 3",
       [&all](TnelHardBase& hb) { return hb.BPMeasure_Start(static_cast<tagTYPE_BPMEASUREMODE>(3), 200, all, 70); },
       false, nel::Result::kInvalidArgument},
      // After a CVRR check (no cuffs) a measurement "completed" at once with every value -1.
      {"measurement after a CVRR check",
       [&](TnelHardBase& hb) {
         hb.CVRRCheck_Start(30000);
         return bp(200)(hb);
       },
       false, nel::Result::kInvalidArgument},
      // A record started during a hold never recorded: the pass ends at the hold.
      {"record during a hold",
       [](TnelHardBase& hb) {
         hb.FixPressure_Start(60);
         return hb.WaveRecord_Start();
       },
       false, nel::Result::kRefused},
      {"hold at 5 mmHg",
       [](TnelHardBase& hb) {
         hb.FixPressure_Start(5);
         return hb.GetPressureFixed() != nullptr;
       },
       false, nel::Result::kInvalidArgument},
      // IntervalMinutes x 60000 overflowed.
      {"exercise every 100000 minutes", exercise(0, 100000, 0, 200), false, nel::Result::kInvalidArgument},
      {"exercise pausing -1 s", exercise(1, 0, -1, 200), false, nel::Result::kInvalidArgument},
      {"exercise to 400 mmHg", exercise(1, 0, 30, 400), false, nel::Result::kInvalidArgument},
      {"exercise every 5 minutes", exercise(0, 5, 0, 200), true, nel::Result::kOk},
  };
  for (const Case& c : cases) {
    TnelHardBase hb(0, DATAPROCESS_STANDARD);
    OpenInProcess(hb);
    nel::ClearLastError();
    EXPECT_EQ(c.call(hb), c.accepted) << c.what;
    EXPECT_EQ(nel::LastErrorCode(), c.reason) << c.what << ": " << nel::LastErrorText();
    if (!c.accepted) {
      EXPECT_STRNE(nel::LastErrorText(), "") << c.what;
    }
  }
  // Without an open port a measurement "started" and the host waited for a
  // result that could never come.
  TnelHardBase closed(0, DATAPROCESS_STANDARD);
  const std::function<bool(TnelHardBase&)> pumping[] = {bp(200),
                                                        [](TnelHardBase& hb) {
                                                          hb.FixPressure_Start(60);
                                                          return hb.GetPressureFixed() != nullptr;
                                                        },
                                                        exercise(0, 5, 0, 200)};
  for (const auto& call : pumping) {
    nel::ClearLastError();
    EXPECT_FALSE(call(closed));
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNotOpen) << nel::LastErrorText();
  }
}

}  // namespace
