// The inflation controller driving a TnelHardCtl whose pseudo-terminal unit records the pump and valve commands: a
// limb and a toe inflation on a cuff model kept as a golden trace, and the rate band's edges.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include <nel/cuff/bpm_inflate.h>
#include "../common/golden.h"
#include "../common/unit_link.h"

namespace {

using nel::test::PneumaticCommand;
using Commands = std::vector<PneumaticCommand>;

// A cuff on its line: an open valve empties it by 3 % a call (10 ms); a running limb pump raises it by level x 6.9e-6
// mmHg a call, less as it fills; a toe pump command gives a burst of 2 + 0.08 x p mmHg over 10 calls.
struct Cuff {
  double p;
  bool toe, open = true;
  int level = 0, burst = 0;
  double burstRise = 0;
  void Step() {
    const bool pumping = toe ? burst > 0 : level > 0;
    const double rise = toe ? burstRise : level * 6.9e-6 * (1 - p / 400);
    burst -= burst > 0;
    p = open ? p * 0.97 : pumping ? p + rise : std::max(0.0, p - 0.002);
  }
};

std::string Snapshot(const TnelBPMInflate& c) {
  char s[96];
  std::snprintf(s, sizeof s, "%d %d%d%d %4d %d %6.2f %3d %d %d", c.State, c.Started, c.SampleEnable, c.PreInflate,
                c.PumpSpeed, c.SpeedHold, c.StepTarget, c.StepLevel, c.StepCommands, c.HoldCount >= 0);
  return s;
}

class InflateTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(link_.opened); }
  // `calls` Process calls on the model; after each, `event` plays sequencer and patient and says if it told the
  // controller something. A line per call that changed the state, told it something or sent commands (to the model).
  std::string Run(TnelBPMInflate& c, Cuff cuff, int calls, const std::function<bool(int, Cuff&)>& event) {
    std::string out;
    for (int call = 1; call <= calls; cuff.Step(), ++call) {
      const std::string before = Snapshot(c);
      const float p = static_cast<float>(cuff.p);
      c.Process(p);
      const bool noticed = event(call, cuff);
      if (Snapshot(c) == before && !noticed) continue;
      char head[32];
      std::snprintf(head, sizeof head, "%5d %7.2f %s ", call, p, noticed ? "notice" : "-");
      out += head + Snapshot(c) + " |";
      for (const PneumaticCommand& k : link_.Sent()) {
        const bool pump = k.kind == PneumaticCommand::kPump;
        cuff.open = pump ? cuff.open : k.level != 0;
        cuff.level = pump ? k.level : cuff.level;
        if (cuff.toe && pump && k.level > 0) cuff.burst = 10, cuff.burstRise = (2 + 0.08 * cuff.p) / 10;
        out += (pump ? " P" : " V") + std::to_string(k.line) + ":" + std::to_string(k.level);
      }
      out += "\n";
    }
    return out;
  }
  nel::test::UnitLink link_;
};

TEST_F(InflateTest, LimbAndToeInflations) {
  TnelBPMInflate c(&link_.ctl, 100, BP_RBRA);
  // The arm cuff empties from 20 mmHg with one jolt above 5 mmHg at call 80; a pulse notice at 3000 is ignored; a new
  // attempt at 6000 keeps the averages.
  std::string trace = "limb\n" + Run(c, {20.0, false}, 7500, [&c](int call, Cuff& cuff) {
                        if (call == 80) cuff.p = 5.5;
                        if (call == 3000) c.CurrPulseRecognOK();
                        if (call == 6000) c.StartDeflate();
                        return call == 3000 || call == 6000;
                      });
  // The same controller, made the toe's, drops the limb's pump level. Each step is measured for 155 calls; during calls
  // 2000 to 2049 the cuff leaks through its valve and loses the held step.
  c.Initialize(&link_.ctl, 100, BP_LTOE);
  int measuring = 0;
  trace += "toe\n" + Run(c, {0.0, true}, 7750, [&](int call, Cuff& cuff) {
             if (call == 2000 || call == 2050) cuff.open = call == 2000;
             measuring = c.State == 3 ? measuring + 1 : 0;
             if (measuring < 155) return false;
             c.CurrPulseRecognOK();
             return true;
           });
  nel::golden::Check(
      "cuff/golden/inflation.txt", trace,
      "Right brachial (line 0), then left toe cuff (line 3), averaging period 100, on the model cuff\n"
      "and events of LimbAndToeInflations in bpm_inflate_test.cpp. call pressure(mmHg) action | State\n"
      "Started,SampleEnable,PreInflate PumpSpeed SpeedHold StepTarget StepLevel StepCommands holding |\n"
      "commands received (P line:level, V line:open)\n"
      "Remake: NEL_UPDATE_GOLDEN=1 nel_cuff_inflate_tests --gtest_filter=InflateTest.LimbAndToeInflations",
      {0.011, 0});
}

// One averaging period of a limb cuff inflating at a steady pressure, the average three periods back `rise` lower: the
// level the band asks for. Rates (rise / 3) 4.2 at 49.9 mmHg are above 2.5..4.0, inside 3.0..4.5 at 50; at 40 5.0 is
// above 4.0 + 0.8, 4.0 and 2.5 are on the band's edges, 2.0 and 1.5 are not below 2.5 - 1.0, 1.4 is; at 300 mmHg the
// band stays 5.0..6.5 (5.2 in, 6.9 above), at 249.9 it is 4.5..6.0. Levels stay in 4500..9500; a cut to 0 is not made.
TEST_F(InflateTest, RateBandEdgesAndLevelLimits) {
  const struct {
    float pressure, rise;
    int from, to;  // level before and after (equal: no command)
  } cases[] = {{49.9f, 12.6f, 6500, 6470},  {50.0f, 12.6f, 6500, 6500},  {40.0f, 15.0f, 6500, 6440},
               {40.0f, 12.0f, 6500, 6500},  {40.0f, 7.5f, 6500, 6500},   {40.0f, 6.0f, 6500, 6535},
               {40.0f, 4.5f, 6500, 6535},   {40.0f, 4.2f, 6500, 6580},   {300.0f, 15.6f, 6500, 6500},
               {300.0f, 20.7f, 6500, 6470}, {249.9f, 20.7f, 6500, 6440}, {40.0f, 30.0f, 4520, 4500},
               {40.0f, 0.0f, 9480, 9500},   {40.0f, 30.0f, 60, 60}};
  for (const auto& k : cases) {
    TnelBPMInflate c(&link_.ctl, 100, BP_RBRA);
    c.State = 2;
    c.PreInflate = false;
    c.PumpSpeed = k.from;
    c.AvgHistory[0] = k.pressure - k.rise;
    c.HistoryPos = 3;
    for (int call = 0; call < 100; ++call) c.Process(k.pressure);
    const Commands sent = link_.Sent();
    EXPECT_EQ(sent, k.to == k.from ? Commands{} : (Commands{nel::test::Valve(0, false), nel::test::Pump(0, k.to)}))
        << k.pressure << " " << k.rise;
  }
}

}  // namespace
