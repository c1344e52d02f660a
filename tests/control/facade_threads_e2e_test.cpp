// The façade's thread contract on the virtual unit: mode starts, cancels and
// category changes from another thread while the passes run (sanitizer builds
// catch a freed buffer or a race).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include "../common/facade_rig.h"

namespace {

using nel::test::FacadeRig;

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
