// The cuff but its inflation controller, over a pseudo-terminal unit: the safety monitor (ceilings, time limit, a
// stop's deflation and pump lockout), the fixed-pressure hold and zero calibration (golden traces), the two-point one.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nel/cuff/cuff_safety.h>
#include <nel/cuff/pressure_adjust.h>
#include <nel/cuff/pressure_fixed.h>
#include <nel/cuff/zero_pressure_adjust.h>
#include <nel/platform/diagnostics.h>
#include "../common/golden.h"
#include "../common/unit_link.h"
#include "cuff/pressure_fixed_levels.h"
#include "platform/gbk.h"
#include "platform/paths.h"

namespace {

using M = nel::cuff::CuffSafetyMonitor;
using nel::platform::Utf8ToGbk;
using nel::test::PneumaticCommand;
using Commands = std::vector<PneumaticCommand>;
constexpr int kLimit = M::kTimeLimitFrames;

// Frames of one line's pressure (the other lines at 0), each run after setting its ceiling (< 0: keep the one in
// force), and the frame that stops (1-based; -1: none). The line is above 15 mmHg from the first frame in every trace.
// Ceilings are the maximum plus a margin, never above 300 mmHg.
struct Span {
  float ceiling, pressure;
  int frames;
};

TEST(CuffSafety, StopsOnTheFirstFrameAboveTheCeilingOrPastTheTimeLimit) {
  const struct {
    int line;
    std::vector<Span> runs;
    tagTYPE_SAFETY_STOP stop;
    long stopFrame;
  } traces[] = {
      {2, {{M::MeasureCeiling(100), 110.0f, 5}, {-1, 110.01f, 1}}, SAFETY_OVERPRESSURE, 6},
      {2, {{110, NAN, 1}}, SAFETY_OVERPRESSURE, 1},
      // A pressure that is not a number counts as pressurised too.
      {2, {{110, 100.0f, 2000}, {-1, NAN, 1}}, SAFETY_OVERPRESSURE, 2001},
      {1, {{300, 16.0f, kLimit}}, SAFETY_NONE, -1},
      {1, {{M::MeasureCeiling(290), 300.0f, kLimit + 1}}, SAFETY_TIME_LIMIT, kLimit + 1},
      // 15 mmHg is not above 15: the count starts again.
      {3, {{M::HoldCeiling(290), 16.0f, kLimit - 1}, {-1, 15.0f, 1}, {-1, 300.0f, kLimit}}, SAFETY_NONE, -1},
      // A hold starting while the arm cuff empties: 300 mmHg until it is down to the new ceiling.
      {0, {{-1, 150.0f, 1}, {M::HoldCeiling(60), 120.0f, 1}, {-1, 80.0f, 1}, {-1, 80.01f, 1}}, SAFETY_OVERPRESSURE, 4},
      {0, {{-1, 150.0f, 1}, {80, 300.0f, 1}, {-1, 300.5f, 1}}, SAFETY_OVERPRESSURE, 3},
      // A ceiling that is not a number is the absolute one.
      {1, {{NAN, 300.0f, 1}, {-1, 300.5f, 1}}, SAFETY_OVERPRESSURE, 2},
  };
  EXPECT_TRUE(M::MeasureCeiling(4464) == 300.0f && M::HoldCeiling(4464) == 300.0f) << "above the absolute ceiling";
  for (const auto& t : traces) {
    M m(nullptr);
    long frame = 0, stopFrame = -1, stops = 0;
    for (const Span& r : t.runs) {
      if (!(r.ceiling < 0)) m.SetCeiling(r.ceiling);
      for (int i = 0; i < r.frames; ++i) {
        float lines[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        lines[t.line] = r.pressure;
        ++frame;
        if (m.CheckFrame(lines) != SAFETY_NONE && ++stops == 1) stopFrame = frame;
      }
    }
    const tagSAFETY_REPORT r = m.Report();
    EXPECT_TRUE(stopFrame == t.stopFrame && stops == (stopFrame > 0) && r.Reason == t.stop &&
                (stopFrame < 0 || (r.Line == t.line && r.StopCount == 1 && r.Seconds == stopFrame / 1000.0f)))
        << "line " << t.line << ": stop " << r.Reason << " on frame " << stopFrame << ", returned " << stops
        << ", reported line " << r.Line << " at " << r.Seconds << " s";
  }
}

// The stop deflates every line and locks the pumps out until the host rearms; while a line stays above its limit the
// commands are repeated every second.
TEST(CuffSafety, StopDeflatesEveryLineAndLocksThePumpsOutUntilRearmed) {
  nel::test::UnitLink link;
  ASSERT_TRUE(link.opened);
  M m(&link.ctl);
  const float high[4] = {0.0f, 301.0f, 0.0f, 0.0f};
  const Commands deflate = {nel::test::Pump(-1, 0), nel::test::Valve(-1, true)};
  EXPECT_TRUE(m.CheckFrame(high) == SAFETY_OVERPRESSURE && link.ctl.PumpLockout() && link.Sent() == deflate);
  for (int i = 1; i < M::kResendFrames; ++i) ASSERT_EQ(m.CheckFrame(high), SAFETY_NONE);
  EXPECT_TRUE(link.Sent().empty() && m.CheckFrame(high) == SAFETY_NONE && link.Sent() == deflate);
  EXPECT_EQ(m.CheckFrame(nullptr), SAFETY_NONE);
  m.Stop(SAFETY_UNIT_SILENT, -1, 0.0f);  // a second stop before the host starts again keeps the first reason
  const tagSAFETY_REPORT second = m.Report();
  m.Rearm();
  const tagSAFETY_REPORT rearmed = m.Report();
  EXPECT_TRUE(second.Reason == SAFETY_OVERPRESSURE && second.StopCount == 1 && rearmed.Reason == SAFETY_NONE &&
              rearmed.Line == -1 && rearmed.StopCount == 1);
  EXPECT_FALSE(link.ctl.PumpLockout() || m.Stopped());
}

// The script (golden/hold_script.txt) drives a 60 mmHg hold of four cuffs over the edges of its band. Refused starts
// change nothing; a hold cancelled without deflation stops the pumps still running (a cuff must not keep filling).
TEST(HoldTest, ScriptedHolds) {
  nel::test::UnitLink link;
  ASSERT_TRUE(link.opened);
  std::ifstream scriptFile(nel::golden::PathOf("cuff/golden/hold_script.txt"));
  const std::vector<std::string> script = nel::golden::DataLines(scriptFile);
  ASSERT_FALSE(script.empty());
  TnelPressureFixed hold(&link.ctl);
  tagTYPE_NEL_BPDATA chl[7] = {BP_RBRA, BP_LBRA, BP_RANK, BP_LTOE};
  const auto state = [&hold] {
    char s[64];
    std::snprintf(s, sizeof s, "%d%d%d%d %2d %2d %2d %2d %d%d%d%d", hold.ChlState[0], hold.ChlState[1],
                  hold.ChlState[2], hold.ChlState[3], hold.Wait[0], hold.Wait[1], hold.Wait[2], hold.Wait[3],
                  hold.AllSettled, hold.Done, hold.Active, hold.ChlCount);
    return std::string(s);
  };
  std::string trace, before = state();
  int call = 0;
  const auto record = [&](const std::string& what, bool changed) {
    const Commands sent = link.Sent();
    if (sent.empty() && !changed) return;
    trace += std::to_string(call) + " " + what + " " + state() + " |";
    for (const PneumaticCommand& c : sent)
      trace +=
          (c.kind == PneumaticCommand::kPump ? " P" : " V") + std::to_string(c.line) + ":" + std::to_string(c.level);
    trace += "\n";
    before = state();
  };
  for (const std::string& line : script) {
    std::istringstream row(line);
    char action = '?';
    int calls = 0;
    float given[4] = {};
    row >> action >> calls >> given[0] >> given[1] >> given[2] >> given[3];
    if (action >= '0' && action <= '9') hold.StartFixPressure(60, chl, action - '0');
    if (action == 'N') hold.StartFixPressure(60, nullptr, 4);
    if (action == 'c' || action == 'C') hold.CancelFixPressure(action == 'C');
    if (action != '-') record(std::string(1, action), true);
    for (int k = 0; k < calls; ++k, ++call) {
      std::vector<float> p(given, given + 4);  // exactly four: reading past them is a fault
      hold.CheckPressure(p.data());
      const bool changed = state().substr(0, 4) != before.substr(0, 4) || state().substr(17) != before.substr(17);
      char pressures[48];
      std::snprintf(pressures, sizeof pressures, "%.2f %.2f %.2f %.2f", p[0], p[1], p[2], p[3]);
      if (changed || hold.AvgCount == 0 || hold.AllSettled) record(pressures, changed);
    }
  }
  nel::golden::Check("cuff/golden/fixed_hold.txt", trace,
                     "60 mmHg holds of cuffs 0, 1, 2, 5 (lines 0-3) in ScriptedHolds of cuff_test.cpp: a line per\n"
                     "action and per call that changed a state or sent. calls before | action or p0..p3 (mmHg) |\n"
                     "states (0 settled 1 holding 2 deflating 3 inflating) | Wait x4 | AllSettled Done Active\n"
                     "ChlCount | commands (P line:level, V line:open)\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 nel_cuff_tests --gtest_filter=HoldTest.ScriptedHolds");
}

// Call k after WantedPressureOK carries these counts at each point: only calls 2000 to 3000 are summed, and their means
// truncate toward zero.
std::vector<int> Counts(int point, int k) {
  const bool last = k == 3000;
  if (point == 1) return {k, 394000, last ? 399 : 400, -k};
  return {2 * k + 1000, 727333, last ? 399 : 400, last ? -500 : -1};
}

// A deficit that is not a number gives the lowest pump values; a toe's third value is the deficit + 20, 20..80.
TEST(HoldTest, PumpValuesOfAnUnreadablePressureAndOfAToe) {
  using nel::cuff::FixedHoldToeValue;
  EXPECT_TRUE(nel::cuff::FixedHoldLimbLevel(NAN) == 4500 && FixedHoldToeValue(NAN) == 20 &&
              FixedHoldToeValue(1.9f) == 21 && FixedHoldToeValue(300.0f) == 80);
}

TEST(PressureAdjust, StartsAndTwoPointsOfFourChannels) {
  int five[5] = {0, 1, 2, 3, 0}, withFour[3] = {1, 4, 2}, negative[1] = {-1};  // refused: no start, no step
  for (auto [list, count] : {std::pair<int*, int>{five, 5}, {five, -1}, {withFour, 3}, {negative, 1}, {nullptr, 2}}) {
    TnelPressureAdjust bad;
    bad.StartPressureAdjust(list, count);
    EXPECT_TRUE(!bad.Running && bad.PressureAdjustProc(five) == ADJ_NONE) << count;
  }
  TnelPressureAdjust adj;  // an empty list needs no counts
  adj.StartPressureAdjust(nullptr, 0);
  EXPECT_EQ(adj.PressureAdjustProc(nullptr), ADJ_STEP1);
  int ch[4] = {3, 0, 2, 1};
  adj.StartPressureAdjust(ch, 4);
  ASSERT_EQ(adj.PressureAdjustProc(ch), ADJ_STEP1);
  for (int point = 1; point <= 2; ++point) {
    adj.WantedPressureOK();
    for (int k = 1; k < 3000; ++k) ASSERT_EQ(adj.PressureAdjustProc(Counts(point, k).data()), ADJ_NONE) << k;
    EXPECT_EQ(adj.PressureAdjustProc(Counts(point, 3000).data()), point == 1 ? ADJ_STEP2 : ADJ_DONE);
  }
  EXPECT_EQ(adj.PressureAdjustProc(ch), ADJ_NONE);
  // The means map to 100 and 200 mmHg; equal means (entry 2) count as 1 apart; outside 0..3 gain and offset are 0.
  const int avg1[6] = {1, 2500, 394000, 399, -2500, 1}, avg2[6] = {1000, 6000, 727333, 399, -1, 1000};
  for (int i = -1; i <= 4; ++i) {
    float gain = 7, offset = 7;
    adj.GetAdjustCoeff(&gain, &offset, i);
    const double mmHg = i < 0 || i > 3 || i == 2 ? 0.0 : 100.0;
    EXPECT_NEAR(avg1[i + 1] * gain + offset, mmHg, 0.02) << i;
    EXPECT_NEAR(avg2[i + 1] * gain + offset, 2 * mmHg, 0.02) << i;
  }
}

// AD count of channel i at the call with this CallCount in each zero run: 0 steady; 1 wild between the sampled calls
// (multiples of 4), which are never looked at, and a spike in the sample of call 4 (ring slot 1) until call 2004
// overwrites it; 2 spreads of 3 counts (0.15 mmHg at 0.05), 4 counts (0.2 mmHg: not under 0.2), 100 counts at 0.001
// around a negative mean, and any at a zero slope; 3 channel 1 never steady.
int Count(int run, int call, int i) {
  const bool odd = call / 4 % 2 == 1;
  const int spreads[4] = {odd ? 1003 : 1000, odd ? 1004 : 1000, odd ? -950 : -1050, call};
  switch (run) {
    case 1: return call % 4 != 0 ? 5000000 : call == 4 ? 70000 : 61000 + 10 * i;
    case 2: return spreads[i];
    case 3: return i == 1 ? call % 8 * 1000 : 61000;
    default: return 61000;
  }
}

// Debug texts heard: a channel's success line ("N  ...成功!\n") as its number, anything else as '?'.
void Hear(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char* text, size_t n,
          void* said) {
  static const std::string ok = Utf8ToGbk("  通道零点压力校准成功!\n");
  const std::string s(text, n);
  *static_cast<std::string*>(said) += s.size() == ok.size() + 1 && s.substr(1) == ok ? s.substr(0, 1) : "?";
}

// Every zero calibration empties the same file beside the program: they all run in this one test.
TEST(ZeroPressureAdjust, ScriptedCalibrations) {
  const std::string path = nel::platform::JoinPath(nel::platform::ExecutableFolder(), "coefficient.txt");
  std::ofstream(path, std::ios::binary) << "left over from an earlier run";
  const std::string failure = Utf8ToGbk("压力校准失败!\n");
  const float steep[4] = {0.05f, 0.05f, 0.001f, 0.0f};  // the slopes of run 2; the others 3e-4 mmHg a count
  std::string trace, said;
  nel::platform::SetDiagnosticSink(&Hear, &said);
  for (int run = 0; run < 4; ++run) {
    TnelZeroPressureAdjust z;
    tagAD_FORCE_CONVERT coeffs[6];
    for (int c = 0; c < 6; ++c) coeffs[c] = {run == 2 ? steep[c < 4 ? c : c - 2] : 3e-4f, 100.0f + c};
    int ad[4] = {};
    z.StartPressureAdjust(nullptr, nullptr, coeffs, nullptr);  // no counts or no coefficients: not a call
    z.StartPressureAdjust(ad, nullptr, nullptr, nullptr);
    for (int attempt = 0; attempt < 2; ++attempt, z.Init()) {  // Init starts the count again
      std::string before;
      for (int k = 0; k < (run == 3 ? 10030 : 2100); ++k) {  // CallCount k
        for (int i = 0; i < 4; ++i) ad[i] = Count(run, z.CallCount, i);
        z.StartPressureAdjust(ad, nullptr, coeffs, nullptr);
        std::string written, lines;
        if (z.Finished)
          written.assign(std::istreambuf_iterator<char>(std::ifstream(path, std::ios::binary).rdbuf()), {});
        while (lines.size() < written.size()) lines += failure;
        EXPECT_EQ(written, lines) << "whole failure lines only";
        char now[192];
        std::snprintf(now, sizeof now, "%d%d%d%d %d%d%d %d %s %.4f %.4f %.4f %.4f %.4f %.4f\n", z.ChlDone[0],
                      z.ChlDone[1], z.ChlDone[2], z.ChlDone[3], z.Finished, z.Busy, z.Success,
                      static_cast<int>(lines.size() / failure.size()), said.empty() ? "-" : said.c_str(),
                      coeffs[0].Offset, coeffs[1].Offset, coeffs[2].Offset, coeffs[3].Offset, coeffs[4].Offset,
                      coeffs[5].Offset);
        said.clear();
        if (now != before) trace += std::to_string(run) + " " + std::to_string(z.CallCount - 1) + " " + now;
        before = now;
      }
    }
  }
  nel::platform::SetDiagnosticSink(nullptr, nullptr);
  nel::golden::Check(
      "cuff/golden/zero_calibration.txt", trace,
      "Zero calibrations of ScriptedCalibrations in cuff_test.cpp, each run twice (Init between): a\n"
      "line for the first call and each call that changed the state. run (as in Count) CallCount\n"
      "ChlDone0..3 Finished,Busy,Success failure-lines channels-reported-zeroed Offset0..5 (channel 4, 5: toes)\n"
      "Remake: NEL_UPDATE_GOLDEN=1 nel_cuff_tests --gtest_filter=ZeroPressureAdjust.*");
}

}  // namespace
