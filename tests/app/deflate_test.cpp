// nelctl deflate, run as a program: against a unit played by the test on a
// pseudo-terminal (what goes on the line, what counts as an acknowledgement),
// and on the virtual unit left with every cuff filling.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../common/pty_peer.h"
#include "../common/pump_commands.h"
#include "platform/serial_device.h"
#include "run_nelctl.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;
using nelctltest::Result;

// Runs nelctl with only port 1 mapped (to `device`, when given).
Result RunNelctl(const std::vector<std::string>& args, const std::string& device = "") {
  return nelctltest::RunOnPort1(args, device, std::chrono::seconds(60));
}

// A unit that answers the probe and, once each frame is complete, the pump
// and valve commands; optionally streaming sample packets all the while, as a
// unit whose host died while sampling does.
class Unit {
 public:
  Unit(bool answers, bool streams) {
    if (answers) peer_.SetResponder([this](uint8_t b, PtyPeer& p) { Answer(b, p); });
    if (streams) streamer_ = std::thread([this] { Stream(); });
  }
  ~Unit() {
    quit_ = true;
    if (streamer_.joinable()) streamer_.join();
  }
  PtyPeer& Peer() { return peer_; }
  // The pump and valve commands received after the probe.
  std::vector<nel::test::PneumaticCommand> Commands() {
    peer_.WaitReceived(7, 1000);
    return nel::test::DecodePneumatics(peer_.Received());
  }

 private:
  void Answer(uint8_t b, PtyPeer& p) {
    if (b & 0x80) {
      code_ = b;
      left_ = b == 0x86 ? 4 : b == 0x87 ? 1 : 0;
      if (b == 0x80) p.Send({0xF0});
      return;
    }
    if (left_ > 0 && --left_ == 0) p.Send({static_cast<uint8_t>(0xF0 | (code_ & 0x0F))});
  }
  void Stream() {
    int32_t count = 0;
    while (!quit_) {
      peer_.Send(nel::test::DataRawBurst(count, 10));
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  PtyPeer peer_;
  uint8_t code_ = 0;
  int left_ = 0;
  std::atomic<bool> quit_{false};
  std::thread streamer_;
};

TEST(NelctlDeflate, SendsPumpOffAndValveOpenToEveryLineAndNeedsBothAcknowledged) {
  const std::vector<nel::test::PneumaticCommand> kDeflate = {nel::test::Pump(-1, 0), nel::test::Valve(-1, true)};
  struct Case {
    const char* name;
    bool answers, streams, searched;
    Bytes stale;  // waiting on the line before nelctl opens it
    int status;
  };
  const Case cases[] = {
      {"found by the search", true, false, true, {}, 0},
      {"given its port, streaming", true, true, false, {}, 0},
      {"silent", false, false, false, {}, 2},
      {"silent, old acknowledgements on the line", false, false, false, {0xF6, 0xF7}, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Unit unit(c.answers, c.streams);
    if (!c.stale.empty()) {
      // Left unread by a host that had the line in raw mode (bytes that come
      // to a terminal in line mode wait for the end of a line).
      nel::platform::SerialDevice host;
      ASSERT_TRUE(host.Open(unit.Peer().Path()));
      unit.Peer().Send(c.stale);
      for (int i = 0; i < 100 && unit.Peer().Unread() < static_cast<int>(c.stale.size()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_EQ(unit.Peer().Unread(), static_cast<int>(c.stale.size()));
    }
    std::vector<std::string> args{"deflate"};
    if (!c.searched) args.insert(args.end(), {"--port", "1"});
    const Result r = RunNelctl(args, unit.Peer().Path());
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(unit.Commands(), kDeflate) << "sent whether or not the unit answers";
    if (c.status == 0) {
      EXPECT_NE(r.out.find("port 1 COM1 (" + unit.Peer().Path() + "): every pump stopped, every valve open"),
                std::string::npos)
          << r.out;
    } else {
      EXPECT_NE(r.err.find("no unit acknowledged"), std::string::npos) << r.err;
      EXPECT_TRUE(r.out.empty()) << r.out;
    }
  }
}

TEST(NelctlDeflate, NoUnitOrABusyPortFailsClearly) {
  const Result none = RunNelctl({"deflate"});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("no unit answers"), std::string::npos) << none.err;
  const Result missing = RunNelctl({"deflate", "--port", "7"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("COM7"), std::string::npos) << missing.err;

  Unit unit(true, false);
  nel::platform::SerialDevice holder;
  ASSERT_TRUE(holder.Open(unit.Peer().Path()));
  const Result busy = RunNelctl({"deflate", "--port", "1"}, unit.Peer().Path());
  EXPECT_EQ(busy.status, 4);
  EXPECT_NE(busy.err.find("busy"), std::string::npos) << busy.err;
  EXPECT_TRUE(nel::test::DecodePneumatics(unit.Peer().Received()).empty()) << "nothing sent to a busy port";
}

#ifdef NELCTL_HAS_SIM
// The virtual unit is left with every pump running into a closed cuff, as a
// host that died in the middle of an inflation leaves it. nelctl, not the
// unit's own ceiling or watchdog, must be what empties the cuffs.
TEST(NelctlDeflate, EmptiesTheVirtualUnitsFillingCuffs) {
  constexpr double kFilled = 120;
  const Result r = RunNelctl({"deflate", "--simulate", "--speed", "5", "--inflate", std::to_string(kFilled), "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << r.out;
  EXPECT_EQ(j["port"], 1);
  const auto& v = j["virtualUnit"];
  ASSERT_EQ(v["before"].size(), 4u);
  ASSERT_EQ(v["after"].size(), 4u);
  for (int l = 0; l < 4; ++l) {
    SCOPED_TRACE("line " + std::to_string(l));
    const auto &before = v["before"][l], &after = v["after"][l];
    EXPECT_GE(before["mmhg"].get<double>(), kFilled);
    EXPECT_TRUE(before["pumpRunning"].get<bool>());
    EXPECT_FALSE(before["valveOpen"].get<bool>());
    EXPECT_FALSE(after["pumpRunning"].get<bool>());
    EXPECT_TRUE(after["valveOpen"].get<bool>());
    EXPECT_LT(after["mmhg"].get<double>(), 15.0);
  }
  EXPECT_LT(v["afterSeconds"].get<double>(), 5.0);
  EXPECT_EQ(v["ceilingTrips"], 0);
  EXPECT_EQ(v["watchdogTrips"], 0);
}
#endif

}  // namespace
