// The unit's own protection (pressure ceiling, command watchdog), without a line.
#include <gtest/gtest.h>

#include <algorithm>
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
    double watchdog_s, fill_mmhg;
    int keep, keep_level;  // the pump left running (FillAllTo)
    bool open;             // every valve opened after the fill
    double keepalive_s;    // a probe this often; 0: silent
    bool trips;
  };
  const Case cases[] = {
      {"pumping, silent", 20, 30, 1, 5000, false, 0, true},
      {"held, silent", 10, 100, -1, 0, false, 0, true},
      {"pumping, commands arrive", 10, 30, 2, 4000, false, 4, false},
      {"held, commands arrive", 10, 100, -1, 0, false, 9.9, false},
      {"valves open, no pump", 10, 100, -1, 0, true, 0, false},
      {"held below the slack pressure", 5, kWatchdogMinMmhg - 5, -1, 0, false, 0, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SubjectConfig cfg;
    cfg.firmware.watchdog_s = c.watchdog_s;
    VirtualUnit u(cfg);
    FillAllTo(u, c.fill_mmhg, c.keep, c.keep_level);
    if (c.open) Send(u, ValveFrame(-1, true));
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

}  // namespace
