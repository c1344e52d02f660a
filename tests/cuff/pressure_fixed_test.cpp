// Fixed-pressure hold: band arithmetic, the per-cuff regulation and its pump
// and valve commands as the unit receives them over a pseudo-terminal, and a
// closed-loop hold on a simple pneumatic model driven by those commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include <nel/cuff/pressure_fixed.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "../common/pump_commands.h"
#include "cuff/pressure_fixed_levels.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;

using nel::test::Pump;
using nel::test::Valve;
using Command = nel::test::PneumaticCommand;

// The pump and valve commands in `b`; any other byte on the line fails the test.
std::vector<Command> Decode(const Bytes& b) {
  const std::vector<Command> out = nel::test::DecodePneumatics(b);
  size_t frameBytes = 0;
  for (const Command& c : out) frameBytes += c.kind == Command::kPump ? 5 : 2;
  EXPECT_EQ(frameBytes, b.size()) << "bytes besides pump and valve frames";
  return out;
}

TEST(PressureFixedBand, StartSetsTheBandAndRefusesEmptyOrOversizedLists) {
  TnelPressureFixed hold(nullptr);
  tagTYPE_NEL_BPDATA seven[7] = {BP_RBRA, BP_LBRA, BP_RANK, BP_LANK, BP_RTOE, BP_LTOE, BP_RBRA};
  hold.StartFixPressure(60, seven, 0);
  hold.StartFixPressure(60, seven, 7);
  hold.StartFixPressure(60, nullptr, 2);
  EXPECT_TRUE(hold.Done);
  EXPECT_FALSE(hold.Active);
  EXPECT_EQ(hold.ChlCount, 0);
  EXPECT_EQ(hold.Upper, 0.0f);

  hold.AvgCount = 17;
  hold.Wait[5] = 3;
  hold.StartFixPressure(60, seven, 6);
  EXPECT_FALSE(hold.Done);
  EXPECT_TRUE(hold.Active);
  EXPECT_EQ(hold.ChlCount, 6);
  EXPECT_FLOAT_EQ(hold.Lower, 59.3f);
  EXPECT_FLOAT_EQ(hold.Upper, 64.2f);
  EXPECT_FLOAT_EQ(hold.Target, 61.75f);
  EXPECT_EQ(hold.AvgCount, 0);
  EXPECT_EQ(hold.Wait[5], 0);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(hold.ChlState[i], TnelPressureFixed::kHolding);
}

TEST(PressureFixedBand, PumpValuesTruncateAndClamp) {
  // Deficit (mmHg), limb level, toe value.
  const struct {
    float deficit;
    int limb, toe;
  } rows[] = {{10.0f, 6600, 30},  {10.09f, 6600, 30}, {0.0f, 6500, 20},    {1.9f, 6518, 21},
              {100.0f, 7500, 80}, {300.0f, 9000, 80}, {-250.0f, 4500, 20}, {0.2f, 6502, 20}};
  for (const auto& r : rows) {
    EXPECT_EQ(nel::cuff::FixedHoldLimbLevel(r.deficit), r.limb) << r.deficit;
    EXPECT_EQ(nel::cuff::FixedHoldToeValue(r.deficit), r.toe) << r.deficit;
  }
}

// Without hardware control the states still run; a cuff that sits in the band
// settles after 40 averages, and with no limb cuff to top up the hold is done
// on the first call of the final phase.
TEST(PressureFixedBand, InBandCuffsSettleAfterFortyAveragesAndFinishOnTheNextCall) {
  TnelPressureFixed hold(nullptr);
  tagTYPE_NEL_BPDATA chl[2] = {BP_RBRA, BP_RTOE};
  hold.StartFixPressure(60, chl, 2);
  float p[2] = {60.0f, 59.4f};
  for (int call = 1; call < 40 * 49; ++call) hold.CheckPressure(p);
  EXPECT_EQ(hold.InBandCount[0], 39);
  EXPECT_FALSE(hold.AllSettled);
  hold.CheckPressure(p);
  EXPECT_TRUE(hold.AllSettled);
  EXPECT_EQ(hold.ChlState[0], TnelPressureFixed::kSettled);
  EXPECT_FALSE(hold.Done);
  hold.CheckPressure(nullptr);  // not a call
  EXPECT_FALSE(hold.Done);
  hold.CheckPressure(p);
  EXPECT_TRUE(hold.Done);
  EXPECT_FALSE(hold.Active);
  EXPECT_EQ(hold.ChlCount, 2) << "the list stays readable after the hold";

  // One cuff above the band keeps the others' settling from ending the hold.
  TnelPressureFixed high(nullptr);
  high.StartFixPressure(60, chl, 2);
  float q[2] = {70.0f, 59.4f};
  for (int call = 0; call < 41 * 49; ++call) high.CheckPressure(q);
  EXPECT_EQ(high.ChlState[1], TnelPressureFixed::kSettled);
  EXPECT_FALSE(high.AllSettled);

  // A cuff that left the band counts its 40 averages again once it holds.
  TnelPressureFixed again(nullptr);
  again.StartFixPressure(60, chl, 1);
  auto averages = [&again](float pressure, int n) {
    for (int call = 0; call < 49 * n; ++call) again.CheckPressure(&pressure);
  };
  averages(60.0f, 10);
  averages(70.0f, 1);  // above the band: deflating
  averages(55.0f, 1);  // down to Target - 4: holding, after a wait of 10 averages
  averages(60.0f, 10 + 39);
  EXPECT_NE(again.ChlState[0], TnelPressureFixed::kSettled);
  averages(60.0f, 1);
  EXPECT_EQ(again.ChlState[0], TnelPressureFixed::kSettled);
}

// A pneumatic model of four lines fed by the commands the unit receives. A
// line that carries a toe cuff answers a pump command with a 120 ms burst (the
// hold never stops a toe pump); a limb line pumps until told to stop.
struct Pneumatics {
  bool toeLine[4] = {};
  int pump[4] = {};
  int burstMs[4] = {};
  bool open[4] = {true, true, true, true};
  void Apply(const Command& c) {
    for (int l = 0; l < 4; ++l) {
      if (c.line != -1 && c.line != l) continue;
      if (c.kind == Command::kValve) {
        open[l] = c.level != 0;
      } else {
        pump[l] = c.level;
        burstMs[l] = toeLine[l] && c.level > 0 ? 120 : 0;
      }
    }
  }
  // One millisecond of cuff `l` at pressure p: pump rate per level `rate`.
  double Step(int l, double p, double rate) {
    const bool pumping = toeLine[l] ? burstMs[l] > 0 : pump[l] > 0;
    if (burstMs[l] > 0) --burstMs[l];
    if (open[l]) return p - p * 0.004;
    if (pumping) return p + pump[l] * rate;
    return std::max(0.0, p - 0.0001);  // slow leak
  }
};

// A hardware control on a pseudo-terminal whose other end records what the
// unit receives.
struct HoldOnLine : ::testing::Test {
  static constexpr int kPort = 41;
  PtyPeer unit;
  std::unique_ptr<TnelHardCtl> ctl;
  static constexpr uint8_t kMarker = 0x7F;  // no command code; frames end in bytes below 0x10
  size_t seen = 0;

  void SetUp() override {
    nel::platform::SetPortPath(kPort, unit.Path());
    ctl = std::make_unique<TnelHardCtl>(0);
    ASSERT_TRUE(ctl->SetComPortNo(kPort));
  }
  void TearDown() override {
    ctl.reset();
    nel::platform::SetPortPath(kPort, "");
  }
  // The commands the unit received since the last call. A marker byte written
  // after them on the same line tells when the unit has them all.
  std::vector<Command> NewCommands() {
    unsigned char marker[1] = {kMarker};
    int written = 0;
    ctl->GetSamThread()->Protocol().WriteBytes(marker, 1, written);
    EXPECT_EQ(written, 1);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (Bytes got = unit.Received(); got.size() <= seen || got.back() != kMarker; got = unit.Received()) {
      if (std::chrono::steady_clock::now() > end) {
        ADD_FAILURE() << "the unit did not receive the marker";
        break;
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    const Bytes all = unit.Received();
    const Bytes fresh(all.begin() + static_cast<long>(seen), all.end() - 1);
    seen = all.size();
    return Decode(fresh);
  }
  void Feed(TnelPressureFixed& hold, std::vector<float> p, int calls) {
    for (int c = 0; c < calls; ++c) hold.CheckPressure(p.data());
  }
};

TEST_F(HoldOnLine, FirstAverageCommandsEachCuffByItsState) {
  TnelPressureFixed hold(ctl.get());
  tagTYPE_NEL_BPDATA chl[4] = {BP_RBRA, BP_LBRA, BP_RANK, BP_LTOE};
  hold.StartFixPressure(60, chl, 4);
  // 49.25 averages exactly: 10.05 below the lower edge.
  const std::vector<float> p = {49.25f, 70.0f, 59.3f - 300.0f, 58.25f};
  Feed(hold, p, 48);
  EXPECT_TRUE(NewCommands().empty()) << "no command before the first average";
  Feed(hold, p, 1);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{
                               Valve(0, false), Pump(0, 6600),  // limb below: level from the deficit
                               Pump(1, 0), Valve(1, true),      // above the band: rapid deflation
                               Valve(2, false), Pump(2, 9000),  // far below: level limited
                               Valve(3, false), Pump(3, 5000),  // toe on its ankle line
                           }));
  EXPECT_EQ(hold.ChlState[0], TnelPressureFixed::kInflating);
  EXPECT_EQ(hold.ChlState[1], TnelPressureFixed::kDeflating);
  EXPECT_EQ(hold.Wait[3], 20);
  EXPECT_EQ(hold.Wait[0], 0);

  // Next average: the deflating cuff is not yet at Target - 4; the limb cuffs
  // reached Target + 0.5 and stop; the toe waits.
  Feed(hold, {62.25f, 58.0f, 62.5f, 58.25f}, 49);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Pump(0, 0), Pump(2, 0)}));
  EXPECT_EQ(hold.Wait[0], 30);
  EXPECT_EQ(hold.Wait[3], 19);
  // At 57.5 the deflating limb cuff closes its valve with the pump left off.
  Feed(hold, {62.25f, 57.5f, 62.5f, 58.25f}, 49);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Valve(1, false)}));
  EXPECT_EQ(hold.ChlState[1], TnelPressureFixed::kHolding);
  EXPECT_EQ(hold.Wait[1], 10);
  // The limb cuffs sit in the band; nothing is sent until the toe's wait runs out.
  Feed(hold, {62.25f, 60.0f, 62.5f, 58.25f}, 49 * 18);
  EXPECT_TRUE(NewCommands().empty());
  EXPECT_EQ(hold.Wait[3], 0);
  EXPECT_EQ(hold.InBandCount[1], 8);
  // The toe, still 1.05 below, gets a new pump command and waits 15.
  Feed(hold, {62.25f, 60.0f, 62.5f, 58.25f}, 49);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Valve(3, false), Pump(3, 5000)}));
  EXPECT_EQ(hold.ChlState[3], TnelPressureFixed::kInflating);
  EXPECT_EQ(hold.Wait[3], 15);
}

TEST_F(HoldOnLine, SettledLimbCuffsBelowTheMiddleAreToppedUpOnce) {
  TnelPressureFixed hold(ctl.get());
  tagTYPE_NEL_BPDATA chl[3] = {BP_RBRA, BP_LANK, BP_RTOE};
  hold.StartFixPressure(60, chl, 3);
  // In band: the brachial cuff 59.5 (below Target - 2 = 59.75), the ankle at
  // 59.75 (not below), the toe at 59.5 (toes are never topped up).
  Feed(hold, {59.5f, 59.75f, 59.5f}, 40 * 49);
  EXPECT_TRUE(hold.AllSettled);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Valve(0, false), Pump(0, 6500)}));
  EXPECT_EQ(hold.ChlState[0], TnelPressureFixed::kInflating);
  EXPECT_EQ(hold.ChlState[1], TnelPressureFixed::kSettled);
  // Final phase: instantaneous pressures, no averaging.
  Feed(hold, {62.2f, 50.0f, 10.0f}, 5);
  EXPECT_FALSE(hold.Done);
  EXPECT_TRUE(NewCommands().empty());
  Feed(hold, {62.25f, 50.0f, 10.0f}, 1);
  EXPECT_TRUE(hold.Done);
  EXPECT_EQ(hold.ChlState[0], TnelPressureFixed::kSettled);
  EXPECT_FALSE(hold.Active);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Pump(0, 0)}));
  Feed(hold, {0.0f, 0.0f, 0.0f}, 100);
  EXPECT_TRUE(NewCommands().empty()) << "a finished hold sends nothing";
}

TEST_F(HoldOnLine, CancelDeflatesEveryLineOnlyWhenAskedAndKeepsDone) {
  TnelPressureFixed hold(ctl.get());
  tagTYPE_NEL_BPDATA chl[1] = {BP_LBRA};
  hold.StartFixPressure(80, chl, 1);
  hold.CancelFixPressure(false);
  EXPECT_TRUE(NewCommands().empty());
  EXPECT_FALSE(hold.Active);
  EXPECT_FALSE(hold.Done);
  EXPECT_EQ(hold.ChlCount, 0);
  Feed(hold, {0.0f}, 49);
  EXPECT_TRUE(NewCommands().empty()) << "a cancelled hold does no work";

  hold.StartFixPressure(80, chl, 1);
  hold.CancelFixPressure(true);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Pump(-1, 0), Valve(-1, true)}));
  EXPECT_FALSE(hold.Done);
}

// Cancelling without deflation used to leave a pump running with nothing to
// stop it: the cuff filled until the over-pressure cut-off.
TEST_F(HoldOnLine, CancelWithoutDeflationStopsThePumpsStillRunning) {
  TnelPressureFixed hold(ctl.get());
  tagTYPE_NEL_BPDATA chl[3] = {BP_RBRA, BP_LBRA, BP_LTOE};
  hold.StartFixPressure(60, chl, 3);
  Feed(hold, {40.0f, 60.0f, 40.0f}, 49);  // the right brachial and the toe below the band
  ASSERT_EQ(NewCommands().size(), 4u);
  ASSERT_EQ(hold.ChlState[0], TnelPressureFixed::kInflating);
  hold.CancelFixPressure(false);
  EXPECT_EQ(NewCommands(), (std::vector<Command>{Pump(0, 0), Pump(3, 0)})) << "valves stay closed";
  EXPECT_EQ(hold.ChlCount, 0);
}

// Closed loop: every command the unit receives is applied to a model of four
// cuffs (a pump raises the pressure at a rate proportional to its level while
// the valve is closed, an open valve empties the cuff, a closed cuff leaks
// slowly), and the test feeds the model's pressures back one frame at a time.
// The left brachial cuff starts above the band, the left toe (on line 3)
// below it.
TEST_F(HoldOnLine, ClosedLoopHoldSettlesEveryCuffInTheBand) {
  Pneumatics air;
  TnelPressureFixed hold(ctl.get());
  tagTYPE_NEL_BPDATA chl[4] = {BP_RBRA, BP_LBRA, BP_RANK, BP_LTOE};
  const double rate[4] = {2.0e-6, 2.5e-6, 1.5e-6, 4.0e-6};  // mmHg per ms per pump level
  std::vector<float> p = {0.0f, 90.0f, 20.0f, 30.0f};
  for (bool& o : air.open) o = false;  // the left brachial cuff starts closed and full
  air.toeLine[3] = true;
  hold.StartFixPressure(60, chl, 4);
  int frames = 0;
  for (; frames < 60000 && !hold.Done; ++frames) {
    int32_t before[4];
    std::copy(hold.ChlState, hold.ChlState + 4, before);
    const int32_t waitBefore = hold.Wait[0] + hold.Wait[1] + hold.Wait[2] + hold.Wait[3];
    const bool settledBefore = hold.AllSettled;
    hold.CheckPressure(p.data());
    if (!std::equal(before, before + 4, hold.ChlState) || settledBefore != hold.AllSettled ||
        waitBefore < hold.Wait[0] + hold.Wait[1] + hold.Wait[2] + hold.Wait[3]) {
      for (const Command& c : NewCommands()) air.Apply(c);
    }
    for (int i = 0; i < 4; ++i)
      p[static_cast<size_t>(i)] = static_cast<float>(air.Step(i, p[static_cast<size_t>(i)], rate[i]));
  }
  ASSERT_TRUE(hold.Done) << "after " << frames << " frames; states " << hold.ChlState[0] << hold.ChlState[1]
                         << hold.ChlState[2] << hold.ChlState[3] << " pressures " << p[0] << " " << p[1] << " " << p[2]
                         << " " << p[3] << " settled " << hold.AllSettled;
  for (int i = 0; i < 4; ++i) {
    EXPECT_GE(p[static_cast<size_t>(i)], 59.3f) << "cuff " << i;
    EXPECT_LE(p[static_cast<size_t>(i)], 64.2f) << "cuff " << i;
  }
  for (int l = 0; l < 3; ++l) {
    EXPECT_EQ(air.pump[l], 0) << "line " << l;
    EXPECT_FALSE(air.open[l]) << "line " << l;
  }
  // Settling alone takes 40 averages (1.96 s); the whole hold stays well
  // within half a minute of unit time.
  EXPECT_GT(frames, 40 * 49);
  EXPECT_LT(frames, 30000);
}

}  // namespace
