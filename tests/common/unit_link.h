// A TnelHardCtl connected over a pseudo-terminal to a test peer that records
// what the library sends, and a way to read back the pump and valve commands
// sent so far.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <nel/link/hard_ctl.h>
#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "../common/pump_commands.h"

namespace nel::test {

class UnitLink {
 public:
  static constexpr int kPort = 147;

  UnitLink() {
    nel::platform::SetPortPath(kPort, unit.Path());
    opened = ctl.SetComPortNo(kPort);
  }
  ~UnitLink() {
    ctl.CloseCom();
    nel::platform::SetPortPath(kPort, "");
  }

  // The pump and valve commands received since the last call. A marker
  // command (all valves closed, which the measurement never sends) is sent
  // behind them and awaited, so that everything written before has arrived.
  std::vector<PneumaticCommand> Sent() {
    ctl.RapidDeflate(-1, false);
    std::vector<PneumaticCommand> got;
    for (int tries = 0; tries < 500; ++tries) {
      got = DecodePneumatics(unit.Received());
      if (!got.empty() && got.back() == Valve(-1, false)) break;
      unit.WaitReceived(unit.Received().size() + 1, 10);
    }
    EXPECT_TRUE(!got.empty() && got.back() == Valve(-1, false)) << "marker command not received";
    if (!got.empty()) got.pop_back();
    unit.ClearReceived();
    return got;
  }

  PtyPeer unit;
  TnelHardCtl ctl;
  bool opened = false;
};

}  // namespace nel::test
