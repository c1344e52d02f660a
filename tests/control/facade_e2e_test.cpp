// The façade end to end through the real serial path to the virtual unit:
// port search, the unit's coefficient set, sampling, the processing pass, a
// unit that hangs up mid-inflation, and the thread contract (mode starts,
// cancels and category changes from another thread while the passes run;
// sanitizer builds catch a freed buffer or a race). The modes' results and
// every other way a pumping mode ends: facade_test.cpp, with the unit in the
// test's process.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

double HighestLine(FacadeRig& rig) {
  return rig.server.WithUnit([](nel::sim::VirtualUnit& u) {
    double m = 0;
    for (int l = 0; l < 4; ++l) m = std::max(m, u.LinePressure(l));
    return m;
  });
}

TEST(FacadeE2E, OpensByProbingAndDeflatesAUnitThatHangsUp) {
  nel::sim::SubjectConfig subject = nel::sim::QuietSubject();
  // A coefficient set in the unit's memory distinct from the built-in one.
  std::array<tagAD_FORCE_CONVERT, 6> stored{};
  for (int c = 0; c < 4; ++c) stored[c] = {0.0003f + 0.00001f * c, -5.0f - c};
  stored[BP_RTOE] = stored[BP_RANK];  // toe cuffs share the ankle transducers
  stored[BP_LTOE] = stored[BP_LANK];
  subject.stored_coeff = stored;
  subject.firmware.ceiling_mmhg = 400;  // only the library acts
  subject.firmware.watchdog_s = 3600;
  FacadeRig rig(subject);
  ASSERT_TRUE(rig.started) << rig.error;
  ASSERT_TRUE(rig.Open(true));
  TnelHardCtl* ctl = rig.hb.GetHardCtl();
  EXPECT_EQ(std::memcmp(ctl->ADForceCoeff, stored.data(), sizeof stored), 0);

  // The unit hangs up mid-inflation and its port comes back after 2 s: the
  // library sees the port go (on the wall clock, hence steps at the unit's
  // own pace), stops, opens the port again and deflates every cuff within
  // 10 s; no pump starts after the stop.
  bool sel[6] = {true, true, true, true, false, false};
  ASSERT_TRUE(rig.hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 250, sel, 70));
  ASSERT_TRUE(rig.RunUntil(60, [&] { return HighestLine(rig) > 60; }));
  rig.server.Hangup(2.0);
  long stoppedAt = -1, emptyAt = -1;
  for (long f = 0; f < 20000 && emptyAt < 0; f += FacadeRig::kStepFrames) {
    rig.server.Advance(FacadeRig::kStepFrames, 100);
    rig.DrainAll();
    if (stoppedAt < 0 && rig.hb.GetSafetyReport().Reason != SAFETY_NONE) stoppedAt = f;
    if (stoppedAt >= 0 && HighestLine(rig) < 15) emptyAt = f;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  EXPECT_EQ(rig.hb.GetSafetyReport().Reason, SAFETY_DEVICE_LOST);
  ASSERT_GE(emptyAt, 0) << "a line still above 15 mmHg";
  EXPECT_LE(emptyAt - stoppedAt, 10000);
  const nel::sim::UnitStats end = rig.server.WithUnit([](nel::sim::VirtualUnit& u) { return u.Stats(); });
  EXPECT_GT(end.all_off_commands, 0);
  EXPECT_EQ(end.pump_on_since_all_off, 0) << "a pump started after every pump was stopped";
}

constexpr int kMaxPassFrames = 27;

TEST(FacadeThreads, ModesAndCancelsFromAnotherThreadDuringThePasses) {
  FacadeRig rig(nel::sim::QuietSubject());
  ASSERT_TRUE(rig.Open(true));
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread other([&] {
    const tagTYPE_DETECTCATEGORY categories[] = {DETECT_ALL, DETECT_BRA_ANK, DETECT_PULSE};
    for (int i = 0; !stop.load(); ++i) {
      rig.hb.CVRRCheck_Start(30000);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      rig.hb.CVRRCheck_Cancel();
      rig.hb.SetDetectCategory(categories[i % 3]);
      rig.hb.FixPressure_Start(60);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      rig.hb.FixPressure_Cancel(true);
      rig.hb.SignalCheck_Start();
      rig.hb.CancelAllProcess();
      ++rounds;
    }
  });
  // Every pass's copies stay within the arrays sized for the largest category.
  std::vector<float> waves(kMaxPassFrames * TnelHardBase::kMaxWaves),
      pressures(kMaxPassFrames * TnelHardBase::kMaxCuffs);
  bool finite = true;
  rig.on_pass = [&](int n) {
    const int got = rig.hb.GetData(waves.data(), pressures.data(), nullptr);
    if (got < 0 || got > kMaxPassFrames) finite = false;
    for (int i = 0; i < n && i < kMaxPassFrames; ++i)
      finite = finite && std::isfinite(pressures[static_cast<size_t>(i)]);
  };
  bool delivered = rig.Run(3000);
  // On a loaded machine the other thread may not have had its turn yet.
  for (int more = 0; delivered && rounds.load() < 3 && more < 40; ++more) delivered = rig.Run(500);
  stop = true;
  other.join();
  EXPECT_TRUE(delivered);
  EXPECT_GT(rounds.load(), 0);
  EXPECT_TRUE(finite);
}

}  // namespace
