// The unit's own protection (pressure ceiling, command watchdog) and its
// record of the host's pump commands, without a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "sim/virtual_unit.h"

namespace {

using namespace nel::sim;
using Bytes = std::vector<uint8_t>;

// Frames encoded here by hand. Pump: 0x86, level bits 14..8, bits 6..0, line
// code (4 = all lines) + 0x20 for level bit 7, extra. Valve: 0x87, 0x04 when
// closing + 0x08 for all lines or the line.
Bytes PumpFrame(int line, int level) {
  auto code = static_cast<uint8_t>(line < 0 ? 4 : line);
  if (level & 0x80) code |= 0x20;
  return {0x86, static_cast<uint8_t>((level >> 8) & 0x7F), static_cast<uint8_t>(level & 0x7F), code, 0x00};
}
Bytes ValveFrame(int line, bool open) {
  return {0x87, static_cast<uint8_t>((open ? 0x00 : 0x04) | (line < 0 ? 0x08 : line))};
}
constexpr uint8_t kProbe = 0x80;

void Send(VirtualUnit& u, const Bytes& b) { u.Receive(b.data(), b.size()); }

double MaxPressure(const VirtualUnit& u) {
  double p = 0;
  for (int l = 0; l < 4; ++l) p = std::max(p, u.LinePressure(l));
  return p;
}

void ExpectAllReleased(const VirtualUnit& u) {
  for (int l = 0; l < 4; ++l) {
    EXPECT_FALSE(u.Line(l).PumpRunning()) << "line " << l;
    EXPECT_EQ(u.Line(l).Level(), 0) << "line " << l;
    EXPECT_TRUE(u.Line(l).ValveOpen()) << "line " << l;
  }
}

// Seconds until every line is below the watchdog's slack pressure (limit_s if never).
double SecondsToEmpty(VirtualUnit& u, double limit_s) {
  const int64_t start = u.Frame();
  while (MaxPressure(u) >= kWatchdogMinMmhg && u.Frame() - start < limit_s * kFramesPerSecond) u.Advance(1);
  return static_cast<double>(u.Frame() - start) / kFramesPerSecond;
}

// Closes every valve, fills every line to `mmhg` (repeating the pump command
// every second, as a host does while it inflates) and stops every pump but `keep`'s.
void FillAllTo(VirtualUnit& u, double mmhg, int keep, int keep_level) {
  Send(u, ValveFrame(-1, false));
  for (int l = 0; l < 4; ++l) {
    while (u.LinePressure(l) < mmhg && u.TimeS() < 120) {
      if (u.Frame() % kFramesPerSecond == 0) Send(u, PumpFrame(-1, 9999));
      u.Advance(1);
    }
    EXPECT_GE(u.LinePressure(l), mmhg) << "line " << l << " filled";
    Send(u, PumpFrame(l, 0));
  }
  if (keep >= 0) Send(u, PumpFrame(keep, keep_level));
}

TEST(SimFirmware, CeilingReleasesEveryLineAtOnce) {
  struct Case {
    double ceiling;  // 0: the default
    int line;        // the line pumped into the ceiling
    double gain;     // its transducer's gain error
  };
  for (const Case& c : {Case{0, 0, 0.0}, Case{250, 3, 0.0}, Case{150, 1, 0.1}}) {
    SubjectConfig cfg;
    if (c.ceiling > 0) cfg.firmware.ceiling_mmhg = c.ceiling;
    cfg.firmware.watchdog_s = 3600;  // the ceiling alone
    cfg.transducer[c.line].gain_error = c.gain;
    const double ceiling = cfg.firmware.ceiling_mmhg;
    SCOPED_TRACE("ceiling " + std::to_string(ceiling) + " line " + std::to_string(c.line));
    VirtualUnit u(cfg);
    FillAllTo(u, 60, c.line, 9999);
    double peak = 0;
    while (u.Stats().firmware_ceiling_trips == 0 && u.TimeS() < 300) {
      u.Advance(1);
      peak = std::max(peak, u.LinePressure(c.line));
    }
    ASSERT_EQ(u.Stats().firmware_ceiling_trips, 1);
    // The trip comes where the transducer reads the ceiling, within a frame's rise.
    EXPECT_GE(peak * (1 + c.gain), ceiling);
    EXPECT_LT(peak * (1 + c.gain), ceiling + 0.2);
    ExpectAllReleased(u);
    for (int l = 0; l < 4; ++l) {
      if (l == c.line) continue;
      EXPECT_GT(u.LinePressure(l), 50.0) << "line " << l << " was still held";
    }
    EXPECT_LT(SecondsToEmpty(u, 10), 5.0);
    u.Advance(2000);
    EXPECT_EQ(u.Stats().firmware_ceiling_trips, 1);
    EXPECT_EQ(u.Stats().firmware_watchdog_trips, 0);
  }
}

TEST(SimFirmware, WatchdogReleasesOnlyACuffLeftFillingOrHeldBySilence) {
  struct Case {
    const char* name;
    double watchdog_s;
    std::function<void(VirtualUnit&)> setup;
    double keepalive_s;  // a probe this often; 0: silent
    bool trips;
  };
  const Case cases[] = {
      {"pumping, silent", 20, [](VirtualUnit& u) { FillAllTo(u, 30, 1, 5000); }, 0, true},
      {"held, silent", 10, [](VirtualUnit& u) { FillAllTo(u, 100, -1, 0); }, 0, true},
      {"pumping, commands arrive", 10, [](VirtualUnit& u) { FillAllTo(u, 30, 2, 4000); }, 4, false},
      {"held, commands arrive", 10, [](VirtualUnit& u) { FillAllTo(u, 100, -1, 0); }, 9.9, false},
      {"valves open, no pump", 10,
       [](VirtualUnit& u) {
         FillAllTo(u, 100, -1, 0);
         Send(u, ValveFrame(-1, true));
       },
       0, false},
      {"held below the slack pressure", 5, [](VirtualUnit& u) { FillAllTo(u, kWatchdogMinMmhg - 5, -1, 0); }, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SubjectConfig cfg;
    cfg.firmware.watchdog_s = c.watchdog_s;
    VirtualUnit u(cfg);
    c.setup(u);
    const int64_t limit = std::llround(c.watchdog_s * kFramesPerSecond);
    int64_t expected = u.Stats().last_command_frame + limit, tripped = -1;
    const int64_t end = u.Frame() + 3 * limit;
    while (u.Frame() < end && tripped < 0) {
      if (c.keepalive_s > 0 && u.Frame() % std::llround(c.keepalive_s * kFramesPerSecond) == 0) {
        u.Receive(&kProbe, 1);
        expected = u.Frame() + limit;
      }
      u.Advance(1);
      if (u.Stats().firmware_watchdog_trips > 0) tripped = u.Frame() - 1;
    }
    EXPECT_EQ(u.Stats().firmware_ceiling_trips, 0);
    if (!c.trips) {
      EXPECT_EQ(u.Stats().firmware_watchdog_trips, 0);
      continue;
    }
    ASSERT_EQ(u.Stats().firmware_watchdog_trips, 1);
    EXPECT_EQ(tripped, expected) << "the watchdog time after the last command";
    ExpectAllReleased(u);
    EXPECT_LT(SecondsToEmpty(u, 10), 5.0);
    u.Advance(3 * limit);
    EXPECT_EQ(u.Stats().firmware_watchdog_trips, 1);
  }
}

TEST(SimFirmware, RecordsTheHostsPumpCommands) {
  struct Step {
    int64_t frame;
    Bytes bytes;
    bool acted;    // taken as a command (not lost to the unanswered fault)
    bool pump;     // a valid pump command
    bool pump_on;  // ... with a level above 0
  };
  const std::vector<Step> steps = {
      {100, ValveFrame(0, false), true, false, false},
      {200, PumpFrame(2, 6500), true, true, true},
      {300, PumpFrame(2, 0), true, true, false},
      {400, PumpFrame(-1, 0x80), true, true, true},               // level 128: only the flag bit
      {500, {0x86, 0x19, 0x64, 0x05, 0x00}, true, false, false},  // line code 5: no such line
      {600, PumpFrame(1, 7000), false, false, false},             // unanswered: never seen
      {700, {kProbe}, true, false, false},
  };
  VirtualUnit u;
  EXPECT_EQ(u.Stats().last_command_frame, -1);
  EXPECT_EQ(u.Stats().last_pump_on_frame, -1);
  u.Advance(100);
  int64_t pumps = 0, pumps_on = 0, last_on = -1, last_cmd = -1;
  for (const Step& s : steps) {
    u.Advance(s.frame - u.Frame());
    if (!s.acted) u.StartFault({FaultEvent::kUnanswered, 0, 0.001, 0, 0});
    Send(u, s.bytes);
    pumps += s.pump;
    pumps_on += s.pump_on;
    if (s.pump_on) last_on = s.frame;
    if (s.acted) last_cmd = s.frame;
    EXPECT_EQ(u.Stats().pump_commands, pumps) << "frame " << s.frame;
    EXPECT_EQ(u.Stats().pump_on_commands, pumps_on) << "frame " << s.frame;
    EXPECT_EQ(u.Stats().last_pump_on_frame, last_on) << "frame " << s.frame;
    EXPECT_EQ(u.Stats().last_command_frame, last_cmd) << "frame " << s.frame;
  }
  EXPECT_NE(u.Line(1).Level(), 7000) << "the unanswered command did nothing";
  EXPECT_EQ(u.Line(3).Level(), 0x80) << "the all-lines command reached line 3 with its flag bit";
}

}  // namespace
