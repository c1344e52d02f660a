// One cuff's measurement in a closed loop: the sequencer drives a real
// TnelHardCtl over a pseudo-terminal served by the virtual unit in this
// process, which runs in stepped time (it advances 20 frames and waits for the
// host to take them, so a command acts within 20 ms of virtual time whatever
// the load). The host hands every frame of the cuff to ProcPulseWave, as
// nelctl bp-cuff does; when frames stop coming it gives up, deflates the cuff
// and stops.
//
// With NEL_UPDATE_GOLDEN=1 each recorded inflation writes the samples its
// recogniser stored to tests/bp/golden/<name>_samples.txt, the input that
// bp_golden_test.cpp replays. The limb runs repeat exactly; a toe cuff's
// steps depend on when the pump commands arrive, the replay not.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <nel/bp/bpv_check.h>
#include <nel/bp/pulse_recogn.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/diagnostics.h>
#include "../common/golden.h"
#include "sim/stepped_rig.h"

namespace {

using nel::sim::FaultEvent;
using nel::sim::SiteSubject;
using nel::sim::SubjectConfig;
using Clock = std::chrono::steady_clock;

void Quiet(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char*, size_t, void*) {}

// What the host saw of one measurement.
struct Outcome {
  tagTYPE_BPV_MEASTATUS status = BPVSTA_MEASURING;  // the last status
  bool delivered = false;                           // every frame of the run arrived
  std::vector<float> fed;                           // pressure of every tenth frame
  double stopSeconds = 0;                           // wall time from giving up to a closed port
  bool deviceLost = false;
};

class ClosedLoop : public nel::sim::SteppedLink {
 public:
  ClosedLoop(const SubjectConfig& cfg, int port) : SteppedLink(cfg, nel::sim::SteppedOptions(port)) {
    waits.frame_wait_ms = 1000;  // the host's limit for a silent unit
  }

  // Runs the sequencer (started with `maxPressure`) for up to two minutes of
  // unit time until a terminal status, then deflates the cuff, stops sampling
  // and closes the port.
  Outcome Measure(TnelBPVCheck& seq, int16_t maxPressure) {
    seq.Initialize();
    seq.MaxPressure = maxPressure;
    seq.StartBPMeasureProcess();
    Outcome r;
    const tagTYPE_NEL_BPDATA ch = seq.GetChannel();
    long count = 0;
    r.delivered = Run(120000, [&](const tagSAM_DATA& f) {
      const float p = f.Pressure[ch];
      if (++count % 10 == 0) r.fed.push_back(p);
      r.status = seq.ProcPulseWave(f.Wave[static_cast<int>(ch) + WAVE_RBRA], p);
      return r.status == BPVSTA_MEASURING || r.status == BPVSTA_REMEASURE || r.status == BPVSTA_RESTART;
    });
    const auto stop = Clock::now();
    r.deviceLost = ctl.GetSamThread()->Protocol().DeviceLost();
    ctl.RapidDeflate(ch, true);
    ctl.StopADSample();
    ctl.CloseCom();
    r.stopSeconds = std::chrono::duration<double>(Clock::now() - stop).count();
    return r;
  }

  // Waits (wall time) until the unit's line is let down: pump off, valve open.
  bool LetDown(int line) {
    const auto end = Clock::now() + std::chrono::seconds(3);
    while (Clock::now() < end) {
      if (server.WithUnit(
              [&](nel::sim::VirtualUnit& u) { return u.Line(line).ValveOpen() && u.Line(line).Level() == 0; }))
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }
};

class ClosedLoopTest : public ::testing::Test {
 protected:
  void SetUp() override { nel::platform::SetDiagnosticSink(&Quiet, nullptr); }
  void TearDown() override { nel::platform::SetDiagnosticSink(nullptr, nullptr); }
};

// --- recorded inflations --------------------------------------------------------

struct Inflation {
  const char* name;
  int site;
  tagTYPE_NEL_BPDATA channel;
  double sbp, dbp, hr;
  uint64_t seed;
  int port;
  void (*tweak)(SubjectConfig&) = nullptr;
};

const Inflation kInflations[] = {
    {"rbra_120_80", nel::sim::kRBra, BP_RBRA, 120, 80, 70, 11, 61},
    {"lank_165_95", nel::sim::kLAnk, BP_LANK, 165, 95, 58, 12, 62},
    {"rbra_110_75_small_artery", nel::sim::kRBra, BP_RBRA, 110, 75, 80, 17, 63,
     [](SubjectConfig& c) { c.cuff[0].artery.a_max_cm2 = 0.08; }},
    {"rbra_135_85_ectopics", nel::sim::kRBra, BP_RBRA, 135, 85, 75, 18, 67,
     [](SubjectConfig& c) {
       c.rhythm.push_back({nel::sim::RhythmEvent::kCouplet, 20});
       c.rhythm.push_back({nel::sim::RhythmEvent::kPvc, 30});
     }},
    {"rtoe_100_70", nel::sim::kRToe, BP_RTOE, 100, 70, 72, 13, 68, [](SubjectConfig& c) { c.SetToeLines(true); }},
};

class RecordedInflation : public ClosedLoopTest, public ::testing::WithParamInterface<Inflation> {};

// The measurement ends with a result near the subject's set pressures (the
// oscillometric method reads the systolic pressure a few mmHg low: the
// accuracy panel, build/tools/bp_panel --subjects 90 --seed 2026, gives mean
// errors of -6.4 mmHg systolic and +1.8 diastolic for a brachial cuff).
TEST_P(RecordedInflation, EndsNearTheSetPressures) {
  const Inflation& in = GetParam();
  SubjectConfig cfg = SiteSubject(in.site, in.sbp, in.dbp, in.hr, in.seed);
  if (in.tweak != nullptr) in.tweak(cfg);
  ClosedLoop loop(cfg, in.port);
  ASSERT_TRUE(loop.Open()) << loop.error;
  TnelBPVCheck seq(DATAPROCESS_STANDARD, in.channel, &loop.ctl);
  const Outcome r = loop.Measure(seq, 280);
  ASSERT_EQ(r.status, BPVSTA_OK);
  EXPECT_EQ(seq.GetAttempts(), 0);
  int16_t sbp, dbp, map;
  seq.getBPValue(&sbp, &dbp, &map);
  std::printf("%s: %d/%d (MAP %d)\n", in.name, sbp, dbp, map);
  EXPECT_NEAR(sbp, in.sbp - 4, 10);
  EXPECT_NEAR(dbp, in.dbp + 2, 10);
  EXPECT_GT(map, dbp);
  EXPECT_LT(map, sbp);
  EXPECT_TRUE(loop.LetDown(in.channel == BP_RTOE ? 2 : static_cast<int>(in.channel) % 4));

  const char* update = std::getenv("NEL_UPDATE_GOLDEN");
  if (update == nullptr || std::string(update) != "1") return;
  const TnelPulseRecogn& rg = *seq.GetRecogn();
  const std::string path = nel::golden::PathOf(std::string("bp/golden/") + in.name + "_samples.txt");
  FILE* f = std::fopen(path.c_str(), "w");
  ASSERT_NE(f, nullptr) << path;
  std::fprintf(f,
               "# The samples the recogniser stored in one measurement on the virtual unit (stepped clock):\n"
               "# subject %s, site %d, set %.0f/%.0f mmHg, heart rate %.0f/min, seed %llu; sequencer result\n"
               "# %d/%d (MAP %d). Ten samples a line, each OscSmooth and pressure (mmHg). Remake with\n"
               "# NEL_UPDATE_GOLDEN=1 build/tests/bp/nel_bp_closed_loop_tests --gtest_filter='*Recorded*'\n",
               in.name, in.site, in.sbp, in.dbp, in.hr, static_cast<unsigned long long>(in.seed), sbp, dbp, map);
  for (int i = 0; i < rg.FiltedCount; ++i) {
    const tagBPV_FILTED_DATA d = rg.FiltedData[i];
    std::fprintf(f, "%d %.9g%c", static_cast<int>(d.OscSmooth), static_cast<double>(d.Pressure),
                 i % 10 == 9 || i + 1 == rg.FiltedCount ? '\n' : ' ');
  }
  std::fclose(f);
}

INSTANTIATE_TEST_SUITE_P(BP, RecordedInflation, ::testing::ValuesIn(kInflations),
                         [](const auto& tp) { return std::string(tp.param.name); });

// --- the host's limits ----------------------------------------------------------

TEST_F(ClosedLoopTest, LowMaxPressureEndsInOverPressureAndTheHostDeflates) {
  ClosedLoop loop(SiteSubject(nel::sim::kRBra, 120, 80, 70, 14), 64);
  ASSERT_TRUE(loop.Open()) << loop.error;
  TnelBPVCheck seq(DATAPROCESS_STANDARD, BP_RBRA, &loop.ctl);
  const Outcome r = loop.Measure(seq, 60);
  ASSERT_EQ(r.status, BPVSTA_OVERPRESSURE);
  ASSERT_FALSE(r.fed.empty());
  EXPECT_GE(r.fed.back(), 60.0f) << "reported on the decimated sample at the limit";
  EXPECT_LT(r.fed.back(), 62.0f);
  EXPECT_LT(*std::max_element(r.fed.begin(), r.fed.end() - 1), 60.0f);
  int16_t sbp;
  seq.getBPValue(&sbp, nullptr, nullptr);
  EXPECT_EQ(sbp, -1);
  EXPECT_TRUE(loop.LetDown(0));
}

// A unit that stops sending, or hangs up, in the middle of the inflation: the
// sequencer gets no samples and stays where it was; the host gives up, and
// deflating and closing do not hang on the unit.
TEST_F(ClosedLoopTest, SilentOrHungUpUnitEndsByTheHostsLimitWithoutAHang) {
  for (FaultEvent::Kind kind : {FaultEvent::kSilence, FaultEvent::kHangup}) {
    SubjectConfig cfg = SiteSubject(nel::sim::kRBra, 120, 80, 70, 15);
    cfg.faults.push_back({kind, 14.0, 1000.0, 0, 0});
    ClosedLoop loop(cfg, kind == FaultEvent::kSilence ? 65 : 66);
    ASSERT_TRUE(loop.Open()) << loop.error;
    TnelBPVCheck seq(DATAPROCESS_STANDARD, BP_RBRA, &loop.ctl);
    const Outcome r = loop.Measure(seq, 280);
    EXPECT_FALSE(r.delivered) << kind;
    EXPECT_EQ(r.status, BPVSTA_MEASURING);
    EXPECT_FALSE(seq.IsFinished());
    ASSERT_FALSE(r.fed.empty());
    EXPECT_GT(r.fed.back(), 20.0f) << "the fault came while the cuff inflated";
    EXPECT_LT(r.stopSeconds, 2.0);
    EXPECT_EQ(r.deviceLost, kind == FaultEvent::kHangup);
    if (kind == FaultEvent::kSilence) {
      EXPECT_TRUE(loop.LetDown(0)) << "the silent unit still obeys the deflation";
    } else {
      EXPECT_FALSE(loop.server.LineOpen());
    }
  }
}

}  // namespace
