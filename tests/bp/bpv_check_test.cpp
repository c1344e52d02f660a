// The BP measurement sequencer with a real TnelHardCtl whose unit, at the
// other end of a pseudo-terminal, records the pump and valve commands; the
// cuff signal is synthetic (AD values and pressures fed sample by sample).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

#include <nel/bp/bpv_check.h>
#include <nel/bp/pulse_recogn.h>
#include <nel/cuff/bpm_inflate.h>
#include "../common/heap_hook.h"
#include "../common/unit_link.h"
#include "platform/gbk.h"

namespace {

using nel::test::PneumaticCommand;
using nel::test::Pump;
using nel::test::UnitLink;
using nel::test::Valve;
using Commands = std::vector<PneumaticCommand>;

constexpr int32_t kBaseAD = 1000000;
const Commands kDeflate{Pump(0, 0), Valve(0, true)};

// Feeds decimated samples (10 equal frames each) and keeps their count.
class Feeder {
 public:
  explicit Feeder(TnelBPVCheck& s) : s_(s) {}
  tagTYPE_BPV_MEASTATUS Step(int32_t ad, float pressure) {
    tagTYPE_BPV_MEASTATUS st = BPVSTA_MEASURING;
    for (int k = 0; k < 10; ++k) st = s_.ProcPulseWave(ad, pressure);
    ++decimated;
    return st;
  }
  // The controller's empty-cuff wait: 101 decimated samples at 0 mmHg.
  void EmptyCuff() {
    for (int k = 0; k < 101; ++k) Step(kBaseAD, 0.0f);
  }
  int decimated = 0;

 private:
  TnelBPVCheck& s_;
};

class SequencerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.opened); }
  Commands Sent() { return link_.Sent(); }
  std::string TempPath(const char* name) { return ::testing::TempDir() + "/" + name + std::to_string(::getpid()); }
  UnitLink link_;
};

TEST_F(SequencerTest, PulseRateOutsideTwentyFiveTo250IsSixtyAndNothingRunsBeforeAStart) {
  TnelBPVCheck s(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  for (auto [set, want] : {std::pair{25, 25}, {250, 250}, {24, 60}, {251, 60}}) {
    s.SetPulseRate(static_cast<int16_t>(set));
    EXPECT_EQ(s.GetPulseRate(), want) << set;
  }
  EXPECT_EQ(s.ProcPulseWave(kBaseAD, 500.0f), BPVSTA_MEASURING);  // not started
  int16_t sbp = 7;
  s.getBPValue(&sbp, nullptr, nullptr);
  EXPECT_EQ(sbp, -1);
  EXPECT_TRUE(Sent().empty());
}

TEST_F(SequencerTest, NineSilentCallsThenOverPressureOnTheTenth) {
  TnelBPVCheck s(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  s.MaxPressure = 200;
  s.Initialize();
  s.StartBPMeasureProcess();
  EXPECT_EQ(Sent(), kDeflate);  // the cuff is emptied first
  for (int k = 0; k < 9; ++k) EXPECT_EQ(s.ProcPulseWave(kBaseAD, 250.0f), BPVSTA_MEASURING) << k;
  EXPECT_EQ(s.GetInflater()->AvgCount, 0);
  EXPECT_EQ(s.ProcPulseWave(kBaseAD, 200.0f), BPVSTA_OVERPRESSURE);
  EXPECT_EQ(s.GetInflater()->AvgCount, 0);  // nothing ran behind the test
  for (int k = 0; k < 9; ++k) s.ProcPulseWave(kBaseAD, 250.0f);
  EXPECT_EQ(s.ProcPulseWave(kBaseAD, 199.9f), BPVSTA_MEASURING);
  EXPECT_EQ(s.GetInflater()->AvgCount, 1);
  EXPECT_TRUE(Sent().empty());  // over-pressure alone does not deflate
}

TEST_F(SequencerTest, PressureReachesTheRecogniser99SamplesLate) {
  TnelBPVCheck s(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  s.StartBPMeasureProcess();
  Feeder f(s);
  for (int k = 0; k < 99; ++k) {
    f.Step(kBaseAD, 1.0f + k);
    ASSERT_EQ(s.GetDelayedPressure(), 0.0f) << k;
  }
  f.Step(kBaseAD, 200.0f);
  EXPECT_EQ(s.GetDelayedPressure(), 1.0f);
  f.Step(kBaseAD, 0.0f);
  EXPECT_EQ(s.GetDelayedPressure(), 2.0f);
}

// A synthetic limb cuff. Once the controller has started, the pressure stays
// at 10 mmHg for 300 decimated samples (the filters settle; the recogniser is
// not fed below 14 mmHg), then at `hold` mmHg while `pulses` pulses of the AD
// signal arrive one per pulse window from window 1 on; then it rises to 140
// mmHg so that three small windows end the recognition.
struct Scenario {
  int pulses = 3;
  float hold = 100.0f;
};

// Runs one attempt until a status other than 0 and returns it.
tagTYPE_BPV_MEASTATUS RunAttempt(TnelBPVCheck& s, Feeder& f, const Scenario& sc) {
  f.EmptyCuff();
  for (int k = 0; k < 300; ++k) f.Step(kBaseAD, 10.0f);
  TnelPulseRecogn& r = *s.GetRecogn();
  tagTYPE_BPV_MEASTATUS st = BPVSTA_MEASURING;
  while (r.FiltedCount == 0 && st == BPVSTA_MEASURING) st = f.Step(kBaseAD, sc.hold);
  const int first = f.decimated - 1;  // decimated index of stored sample 0
  // The filters delay the signal by 100 decimated samples: a bump fed at
  // stored index k - 100 peaks at stored index k.
  auto ad = [&](int index) {
    const int stored = index - first + 100;
    for (int p = 0; p < sc.pulses; ++p) {
      const int d = stored - ((p + 1) * TnelPulseRecogn::kWinLen + 77);
      if (d > -15 && d < 15) return kBaseAD + static_cast<int32_t>(3000 * (1 + std::cos(M_PI * d / 15.0)));
    }
    return kBaseAD;
  };
  const int endPulses = (sc.pulses + 1) * TnelPulseRecogn::kWinLen;
  for (int guard = 0; st == BPVSTA_MEASURING && guard < 5000; ++guard) {
    const int stored = f.decimated - first;
    st = f.Step(ad(f.decimated), stored < endPulses - 99 ? sc.hold : 140.0f);
  }
  return st;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Gbk(const char* utf8) { return nel::platform::Utf8ToGbk(utf8); }

TEST_F(SequencerTest, FailureOnTheLastAttemptWithTwoAndWithThreePulses) {
  const std::string log = TempPath("fail");
  std::remove(log.c_str());
  for (int pulses : {2, 3}) {
    TnelBPVCheck s(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
    s.SetLogFile(log.c_str());
    s.Initialize();
    s.MaxAttempts = 1;
    s.StartBPMeasureProcess();
    Sent();
    Feeder f(s);
    Scenario sc;
    sc.pulses = pulses;
    EXPECT_EQ(RunAttempt(s, f, sc), BPVSTA_FAILED);
    EXPECT_EQ(s.GetRecogn()->FeatureCount, pulses);
    const Commands sent = Sent();
    ASSERT_GE(sent.size(), 2u);
    EXPECT_EQ(Commands(sent.end() - 2, sent.end()), kDeflate);  // deflated at the end of recognition
    int16_t sbp = 0;
    s.getBPValue(&sbp, nullptr, nullptr);
    EXPECT_EQ(sbp, -1);
  }
  // The log: two measurements appended to one file, in code page 936.
  const std::string start = "[RBra]" + Gbk("############ 一次血压值的测量开始############################\n") + "\n";
  const std::string text = ReadFile(log);
  std::string expected;
  for (int pulses : {2, 3}) {
    expected += start + "[RBra]" + Gbk("------血流阻断OK------") + "\n";
    expected += "[RBra]" + Gbk("  幅度：");
    for (int k = 0; k < pulses; ++k) expected += ",A";
    expected += "\n[RBra]" + Gbk("  压力：");
    for (int k = 0; k < pulses; ++k) expected += ",100.0";
    expected += "\n";
    if (pulses == 3) {
      expected += "[RBra]" + Gbk("******血压差值不对[第1次测量]*********") + "\n";
      expected += "[RBra]" + Gbk("收缩压值:-1, 舒张压值:-1, 平均压值:-1") + "\n";
    }
  }
  // Amplitudes depend on the filters; compare them as placeholders.
  std::string masked;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ',' && i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1])) &&
        text.compare(i + 1, 5, "100.0") != 0) {
      masked += ",A";
      while (i + 1 < text.size() && std::isdigit(static_cast<unsigned char>(text[i + 1]))) ++i;
    } else {
      masked += text[i];
    }
  }
  EXPECT_EQ(masked, expected);
  EXPECT_NE(text.find("\xB7\xF9\xB6\xC8\xA3\xBA"), std::string::npos);  // "幅度：" in GBK bytes
  std::remove(log.c_str());
}

// Starts a measurement and brings the controller to its inflation: the pump
// starts after the empty-cuff wait, the sequencer rests 50 samples (the cuff
// is below 14 mmHg), and one sample at 20 mmHg ends a limb cuff's
// pre-inflation and reaches the recogniser, as every later one does.
void StartAndInflate(TnelBPVCheck& s, Feeder& f, UnitLink& link) {
  s.Initialize();
  s.StartBPMeasureProcess();
  f.EmptyCuff();
  ASSERT_TRUE(s.GetInflater()->Started);
  for (int k = 0; k < TnelBPVCheck::kLowPressureRest; ++k) f.Step(kBaseAD, 0.0f);
  ASSERT_EQ(s.GetRecogn()->FiltedCount, 0);
  f.Step(kBaseAD, 20.0f);
  // A toe cuff's recogniser takes samples only while a step is held.
  ASSERT_EQ(s.GetRecogn()->FiltedCount, s.GetChannel() == BP_RTOE ? 0 : 1);
  link.Sent();
}

TEST_F(SequencerTest, NewAttemptRestsALimbCuff400SamplesAToeCuffNoneAndTheThirdAttemptIsTheLast) {
  for (tagTYPE_NEL_BPDATA channel : {BP_RBRA, BP_RTOE}) {
    TnelBPVCheck s(DATAPROCESS_STANDARD, channel, &link_.ctl);
    Feeder f(s);
    StartAndInflate(s, f, link_);
    Sent();
    s.GetRecogn()->Finished = true;  // the recogniser reports the end with no pulses
    EXPECT_EQ(f.Step(kBaseAD, 20.0f), BPVSTA_REMEASURE);
    EXPECT_EQ(s.GetAttempts(), 1);
    // Deflated at the end of recognition and again as the new attempt starts.
    const int line = channel == BP_RTOE ? 2 : 0;
    EXPECT_EQ(Sent(), (Commands{Pump(line, 0), Valve(line, true), Pump(line, 0), Valve(line, true)}));
    const int rest = channel == BP_RTOE ? 0 : 400;
    const int32_t count = s.GetInflater()->AvgCount;
    for (int k = 0; k < rest; ++k) f.Step(kBaseAD, 20.0f);
    EXPECT_EQ(s.GetInflater()->AvgCount, count) << channel;
    f.Step(kBaseAD, 20.0f);
    EXPECT_EQ(s.GetInflater()->AvgCount, (count + 1) % 100) << channel;
    if (channel != BP_RTOE) continue;
    // Two more attempts without pulses: the third is the last.
    for (int attempt = 2; attempt <= 3; ++attempt) {
      f.EmptyCuff();
      for (int k = 0; k < TnelBPVCheck::kLowPressureRest; ++k) f.Step(kBaseAD, 0.0f);
      s.GetRecogn()->Finished = true;
      EXPECT_EQ(f.Step(kBaseAD, 20.0f), attempt < 3 ? BPVSTA_REMEASURE : BPVSTA_FAILED) << attempt;
    }
  }
}

TEST_F(SequencerTest, QuickResultAndDeflationModeEndWithoutRetry) {
  TnelBPVCheck quick(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  Feeder fq(quick);
  StartAndInflate(quick, fq, link_);
  quick.QuickResult = true;
  quick.GetRecogn()->Finished = true;
  EXPECT_EQ(fq.Step(kBaseAD, 20.0f), BPVSTA_OK);
  EXPECT_EQ(quick.GetAttempts(), 0);
  EXPECT_EQ(quick.ProcPulseWave(kBaseAD, 400.0f), BPVSTA_OK);  // latched

  // Deflation mode: the end arms a restart, reported on the next sample;
  // recognition then starts again and no result ever comes.
  TnelBPVCheck dm(DATAPROCESS_STANDARD, BP_LBRA, &link_.ctl);
  Feeder fd(dm);
  dm.MeasureMode = BPVMODE_DEFLATE;
  StartAndInflate(dm, fd, link_);
  dm.GetRecogn()->Finished = true;
  EXPECT_EQ(fd.Step(kBaseAD, 20.0f), BPVSTA_MEASURING);
  EXPECT_EQ(fd.Step(kBaseAD, 20.0f), BPVSTA_RESTART);
  EXPECT_FALSE(dm.GetRecogn()->Finished);
  EXPECT_EQ(dm.GetRecogn()->FiltedCount, 0);
  for (int k = 0; k < 200; ++k) ASSERT_EQ(fd.Step(kBaseAD, 20.0f), BPVSTA_MEASURING);
  EXPECT_GT(dm.GetRecogn()->FiltedCount, 0);
}

TEST_F(SequencerTest, RecogniserLimitsDeflateAndEndTheMeasurement) {
  // Over-pressure seen by the recogniser (its limit is taken at the attempt's
  // start): deflated at once.
  TnelBPVCheck over(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  Feeder fo(over);
  over.MaxPressure = 150;
  StartAndInflate(over, fo, link_);
  over.MaxPressure = 300;
  Sent();
  tagTYPE_BPV_MEASTATUS st = BPVSTA_MEASURING;
  int steps = 0;
  while (st == BPVSTA_MEASURING && steps < 500) st = fo.Step(kBaseAD, 160.0f), ++steps;
  EXPECT_EQ(st, BPVSTA_OVERPRESSURE);
  EXPECT_EQ(steps, 100);  // the delayed pressure reaches 160 on the 100th sample
  EXPECT_EQ(Sent(), kDeflate);

  // No sample buffer.
  TnelBPVCheck nobuf(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  Feeder fn(nobuf);
  StartAndInflate(nobuf, fn, link_);
  Sent();
  tagBPV_FILTED_DATA* saved = nobuf.GetRecogn()->FiltedData;
  nobuf.GetRecogn()->FiltedData = nullptr;
  EXPECT_EQ(fn.Step(kBaseAD, 20.0f), BPVSTA_FAILED);
  EXPECT_EQ(Sent(), kDeflate);
  int32_t n = -1;
  EXPECT_EQ(nobuf.assignBPFilteData(&n), nullptr);
  EXPECT_EQ(n, 0);
  nobuf.GetRecogn()->FiltedData = saved;

  // The data limit of 17500 samples.
  TnelBPVCheck full(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  Feeder ff(full);
  StartAndInflate(full, ff, link_);
  Sent();
  st = BPVSTA_MEASURING;
  for (int k = 0; k < 20000 && st == BPVSTA_MEASURING; ++k) st = ff.Step(kBaseAD, 60.0f);
  EXPECT_EQ(st, BPVSTA_OVERTIME);
  EXPECT_EQ(full.GetRecogn()->FiltedCount, TnelPulseRecogn::kMaxFilted);
  const Commands sent = Sent();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(Commands(sent.end() - 2, sent.end()), kDeflate);
}

TEST_F(SequencerTest, PartsThatCannotBeCreatedMakeTheMeasurementFail) {
  // Design decision: construction succeeds; once started the sequencer
  // deflates and reports BPVSTA_FAILED.
  nel::test::heap::fail_size = sizeof(TnelPulseRecogn);
  TnelBPVCheck s(DATAPROCESS_STANDARD, BP_RBRA, &link_.ctl);
  nel::test::heap::fail_size = 0;
  EXPECT_EQ(s.GetRecogn(), nullptr);
  ASSERT_NE(s.GetInflater(), nullptr);
  EXPECT_EQ(s.ProcPulseWave(kBaseAD, 20.0f), BPVSTA_MEASURING);  // not started
  s.Initialize();
  s.StartBPMeasureProcess();
  Sent();
  EXPECT_EQ(s.ProcPulseWave(kBaseAD, 20.0f), BPVSTA_FAILED);
  EXPECT_EQ(Sent(), kDeflate);
  int16_t count = -1;
  EXPECT_EQ(s.assignPulseFeaturePnt(&count), nullptr);
  EXPECT_EQ(count, 0);
  tagBPV_PULSE_FEATURE_POINT copy[TnelPulseRecogn::kMaxPulses];
  s.getPulseFeaturePnt(copy, &count);
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(s.ProcGetFinalBPValue(BPVMODE_INFLATE));

  nel::test::heap::fail_size = sizeof(TnelBPMInflate);
  TnelBPVCheck t(DATAPROCESS_STANDARD, BP_RTOE, &link_.ctl);
  nel::test::heap::fail_size = 0;
  EXPECT_EQ(t.GetInflater(), nullptr);
  t.Initialize();
  t.SetBPChlNo(BP_LTOE);
  t.StartBPMeasureProcess();
  EXPECT_EQ(t.ProcPulseWave(kBaseAD, 20.0f), BPVSTA_FAILED);
  EXPECT_EQ(Sent(), (Commands{Pump(3, 0), Valve(3, true)}));
}

// A whole synthetic limb measurement: the pressure rises 4 mmHg/s from the
// controller's start, the AD signal carries pulses at 75 beats per minute
// whose amplitude follows a Gaussian envelope around `map` mmHg.
struct Inflation {
  double map = 95.0;
  double width = 30.0;
  double amp = 4000.0;
};

tagTYPE_BPV_MEASTATUS RunInflation(Feeder& f, const Inflation& c) {
  f.EmptyCuff();
  tagTYPE_BPV_MEASTATUS st = BPVSTA_MEASURING;
  for (int k = 0; k < 30000 && st == BPVSTA_MEASURING; ++k) {
    const double p = 5.0 + 0.04 * k;
    const int t = k % 80;
    const double shape = t < 15 ? 0.5 * (1 - std::cos(M_PI * t / 15.0)) : std::exp(-(t - 15) / 25.0);
    const double a = c.amp * std::exp(-std::pow((p - c.map) / c.width, 2.0));
    st = f.Step(kBaseAD + static_cast<int32_t>(a * shape), static_cast<float>(p));
  }
  return st;
}

TEST_F(SequencerTest, SyntheticInflationEndsWithAResultAndItsLogLine) {
  const std::string log = TempPath("ok");
  std::remove(log.c_str());
  TnelBPVCheck s(DATAPROCESS_STANDARD, BP_LANK, &link_.ctl);
  s.SetLogFile(log.c_str());
  s.Initialize();
  s.StartBPMeasureProcess();
  Feeder f(s);
  const Inflation c;
  ASSERT_EQ(RunInflation(f, c), BPVSTA_OK);
  EXPECT_EQ(s.ProcPulseWave(0, 999.0f), BPVSTA_OK);  // latched
  int16_t sbp, dbp, map;
  s.getBPValue(&sbp, &dbp, &map);
  EXPECT_NEAR(map, c.map, 6.0);
  // The Gaussian envelope falls to the KR ratios (0.5442 systolic, 0.6102
  // diastolic for this MAP band) at MAP + 23.4 and MAP - 21.2 mmHg.
  EXPECT_NEAR(sbp, c.map + 23.4, 8.0);
  EXPECT_NEAR(dbp, c.map - 21.2, 8.0);
  // The host's copies: positions index the reversed list (pressure falling).
  int16_t sp, dp, mp, count = 0;
  s.getBPDataPosition(&sp, &dp, &mp);
  std::vector<tagBPV_PULSE_FEATURE_POINT> pulses(TnelPulseRecogn::kMaxPulses);
  s.getPulseFeaturePnt(pulses.data(), &count);
  ASSERT_GE(count, 10);
  ASSERT_LT(sp, dp);
  EXPECT_NEAR(pulses[sp].Pressure, sbp, 4.0);
  EXPECT_NEAR(pulses[dp].Pressure, dbp, 4.0);
  EXPECT_NEAR(pulses[mp].Pressure, map, 4.0);

  s.SetLogFile(nullptr);
  const std::string text = ReadFile(log);
  char line[128];
  std::snprintf(line, sizeof line, Gbk("[LAnk]  收缩压值:%d, 舒张压值:%d, 平均压值:%d\n").c_str(), sbp, dbp, map);
  ASSERT_GE(text.size(), std::strlen(line));
  EXPECT_EQ(text.substr(text.size() - std::strlen(line)), line);
  std::remove(log.c_str());
}

// Blocks fed through Accumulate and then ProcPulseWave from the first sample
// it leaves, at block sizes that cut the decimation anywhere, give the same
// statuses and the same measurement as the frames fed one by one.
TEST_F(SequencerTest, BlocksThroughAccumulateMeasureLikeFrameByFrame) {
  const Inflation c;
  std::vector<int32_t> ad;
  std::vector<float> pressure;
  for (int k = 0; k < 101; ++k)
    for (int j = 0; j < 10; ++j) ad.push_back(kBaseAD + j), pressure.push_back(0.0f);
  for (int k = 0; k < 30000; ++k) {
    const double p = 5.0 + 0.04 * k;
    const int t = k % 80;
    const double shape = t < 15 ? 0.5 * (1 - std::cos(M_PI * t / 15.0)) : std::exp(-(t - 15) / 25.0);
    const double a = c.amp * std::exp(-std::pow((p - c.map) / c.width, 2.0));
    for (int j = 0; j < 10; ++j) {  // frames of one decimated sample differ
      ad.push_back(kBaseAD + static_cast<int32_t>(a * shape) + 37 * ((k * 10 + j) % 13));
      pressure.push_back(static_cast<float>(p + 0.01 * j));
    }
  }
  const int n = static_cast<int>(ad.size());
  auto start = [](TnelBPVCheck& s) {
    s.Initialize();
    s.StartBPMeasureProcess();
  };

  TnelBPVCheck one(DATAPROCESS_STANDARD, BP_LANK, &link_.ctl);
  one.ProcPulseWave(kBaseAD, 0.0f);  // before a start: nothing happens
  start(one);
  std::vector<tagTYPE_BPV_MEASTATUS> statuses;
  for (int i = 0; i < n && (statuses.empty() || statuses.back() == BPVSTA_MEASURING); ++i)
    statuses.push_back(one.ProcPulseWave(ad[i], pressure[i]));
  ASSERT_EQ(statuses.back(), BPVSTA_OK);

  TnelBPVCheck blocks(DATAPROCESS_STANDARD, BP_LANK, &link_.ctl);
  EXPECT_EQ(blocks.Accumulate(ad.data(), 1, 25), 25);  // before a start: all of them
  EXPECT_EQ(blocks.Accumulate(nullptr, 1, 25), 0);
  start(blocks);
  constexpr int kSizes[] = {1, 3, 7, 27, 64, 9, 10, 11};
  std::size_t fed = 0;
  for (int b = 0; fed < statuses.size(); ++b) {
    const int end = std::min<int>(static_cast<int>(fed) + kSizes[b % 8], static_cast<int>(statuses.size()));
    for (int i = static_cast<int>(fed); i < end;) {
      const int skipped = blocks.Accumulate(&ad[i], 1, end - i);
      for (int j = i; j < i + skipped; ++j) ASSERT_EQ(statuses[j], BPVSTA_MEASURING) << "frame " << j;
      i += skipped;
      if (i == end) break;
      ASSERT_EQ(blocks.ProcPulseWave(ad[i], pressure[i]), statuses[i]) << "frame " << i;
      ++i;
    }
    fed = end;
  }
  int16_t v1[3], v2[3];
  one.getBPValue(&v1[0], &v1[1], &v1[2]);
  blocks.getBPValue(&v2[0], &v2[1], &v2[2]);
  EXPECT_EQ(std::vector<int16_t>(v1, v1 + 3), std::vector<int16_t>(v2, v2 + 3));
  EXPECT_EQ(blocks.Accumulate(ad.data(), 1, 5), 0);  // finished
}

TEST_F(SequencerTest, LongPulseListsAreLoggedWhole) {
  const std::string log = TempPath("long");
  std::remove(log.c_str());
  TnelBPVCheck s(DATAPROCESS_STANDARD, BP_RTOE, &link_.ctl);
  Feeder f(s);
  StartAndInflate(s, f, link_);
  s.SetLogFile(log.c_str());
  // A recorded toe attempt of 175 windows whose pulses carry the widest numbers.
  TnelPulseRecogn& r = *s.GetRecogn();
  r.WinCount = TnelPulseRecogn::kMaxWindows;
  r.FiltedCount = TnelPulseRecogn::kMaxFilted;
  for (int w = 0; w < r.WinCount; ++w) {
    const int foot = w * 100;  // the toe list is built from the windows alone
    r.Windows[w] = {2000000000, 0, TnelPulseRecogn::WIN_VALID, 2000000000, foot + 10, foot};
    r.FiltedData[foot].Pressure = -3.0e38f + 1.0e36f * static_cast<float>(w);
  }
  r.Finished = true;
  f.Step(kBaseAD, 20.0f);
  s.SetLogFile(nullptr);
  const std::string text = ReadFile(log);
  const size_t amps = text.find(Gbk("  幅度："));
  const size_t pressures = text.find(Gbk("  压力："));
  ASSERT_NE(amps, std::string::npos);
  ASSERT_NE(pressures, std::string::npos);
  const std::string ampLine = text.substr(amps, text.find('\n', amps) - amps);
  const std::string pressureLine = text.substr(pressures, text.find('\n', pressures) - pressures);
  EXPECT_EQ(std::count(ampLine.begin(), ampLine.end(), ','), 175);
  EXPECT_EQ(std::count(pressureLine.begin(), pressureLine.end(), ','), 175);
  EXPECT_GT(pressureLine.size(), 6000u);
  char last[64];
  std::snprintf(last, sizeof last, ",%0.1f", static_cast<double>(r.FiltedData[174 * 100].Pressure));
  EXPECT_EQ(pressureLine.substr(pressureLine.size() - std::strlen(last)), last);
  std::remove(log.c_str());
}

}  // namespace
