// nelctl probe, stream, deflate and the port of a measurement command, run as
// a program against a unit played by the test on a pseudo-terminal (what goes
// on the line, what counts as an answer), and deflate on the virtual unit left
// with its cuffs filling.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "../common/pty_peer.h"
#include "../common/pump_commands.h"
#include "platform/serial_device.h"
#include "run_nelctl.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;
using nelctltest::Result;
using Clock = std::chrono::steady_clock;

using nelctltest::RunNelctl;

// A unit: answers its commands (a pump or valve frame once complete) and
// streams 1000 frames a second whose right-brachial value counts up by one,
// from "begin sample" on or, as a unit whose host died while sampling, always.
class FakeUnit {
 public:
  struct Options {
    bool answers = true, streamsAlways = false;
    int hangUpAfterMs = -1;
  };
  explicit FakeUnit(Options o) : o_(o) {
    for (int c = 0; c < 6; ++c) coeff_[2 * c] = 0.0003f, coeff_[2 * c + 1] = -20.0f - static_cast<float>(c);
    if (o.answers) peer.SetResponder([this](uint8_t b, PtyPeer& u) { Answer(b, u); });
    streaming_ = o.streamsAlways;
    streamer_ = std::thread([this] { Stream(); });
  }
  ~FakeUnit() {
    quit_ = true;
    streamer_.join();
  }
  PtyPeer peer;

 private:
  void Answer(uint8_t b, PtyPeer& u) {
    if (!(b & 0x80)) {
      if (left_ > 0 && --left_ == 0) u.Send({static_cast<uint8_t>(0xF0 | (code_ & 0x0F))});
      return;
    }
    code_ = b;
    left_ = b == 0x86 ? 4 : b == 0x87 ? 1 : 0;
    if (b == 0x80 || b == 0x84) u.Send({static_cast<uint8_t>(b + 0x70)});
    if (b == 0x81) u.Send({0xF1, 1, 2, 3});
    if (b == 0x82) u.Send({0xF2}), streaming_ = true;
    if (b == 0x83) streaming_ = o_.streamsAlways;
    if (b == 0x85) {
      Bytes reply{0xF5};
      const Bytes payload = nel::test::CoeffPayload(coeff_);
      reply.insert(reply.end(), payload.begin(), payload.end());
      u.Send(reply);
    }
  }
  void Stream() {
    int32_t count = 1000000;
    auto next = Clock::now();
    Clock::time_point started{};
    while (!quit_) {
      if (!streaming_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        next = Clock::now();
        continue;
      }
      if (started == Clock::time_point{}) started = Clock::now();
      if (o_.hangUpAfterMs >= 0 && Clock::now() - started > std::chrono::milliseconds(o_.hangUpAfterMs)) {
        peer.HangUp();
        return;
      }
      peer.Send(nel::test::DataRawBurst(count, 10));
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  }

  Options o_;
  float coeff_[12];
  uint8_t code_ = 0;
  int left_ = 0;
  std::atomic<bool> streaming_{false}, quit_{false};
  std::thread streamer_;
};

// Without --port the search first tells a unit an earlier host left streaming
// to stop (0x83); with --port there is no search. --json: the result alone on stdout.
TEST(NelctlProbe, FindsTheUnitAndPrintsItsFirmwareVersion) {
  FakeUnit unit({});
  const Result r = RunNelctl({"probe"}, unit.peer.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("port 1 COM1 (" + unit.peer.Path() + ")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("firmware 1.2.3"), std::string::npos) << r.out;
  EXPECT_EQ(unit.peer.Received(), (Bytes{0x83, 0x80, 0x81}));

  unit.peer.ClearReceived();
  const Result probe = RunNelctl({"probe", "--port", "1", "--json"}, unit.peer.Path());
  ASSERT_EQ(probe.status, 0) << probe.err;
  const auto p = nlohmann::json::parse(probe.out);
  EXPECT_EQ(p["command"], "probe");
  EXPECT_EQ(p["port"], 1);
  EXPECT_EQ(p["device"], unit.peer.Path());
  EXPECT_EQ(p["firmware"], "1.2.3");
  EXPECT_EQ(unit.peer.Received(), (Bytes{0x81})) << "no search";
}

TEST(NelctlStream, StreamsEveryFrameToCsvAndJsonWithTheUnitsCoefficients) {
  FakeUnit unit({});
  const auto csv = std::filesystem::temp_directory_path() / ("nelctl_stream_" + std::to_string(::getpid()) + ".csv");
  const Result r = RunNelctl({"stream", "--port", "1", "--seconds", "2", "--csv", csv.string()}, unit.peer.Path());
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  EXPECT_NE(r.out.find("firmware 1.2.3"), std::string::npos);
  // Read from the unit; the toe channels take the ankle channels' values.
  EXPECT_NE(r.out.find("coefficients: 0.000300000014/-20 0.000300000014/-21 0.000300000014/-22 "
                       "0.000300000014/-23 0.000300000014/-22 0.000300000014/-23\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("fps "), std::string::npos) << r.out;
  std::ifstream in(csv);
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line.rfind("frame,ecg,pcg,rbra", 0), 0u);
  long rows = 0, previous = -1;
  bool consecutive = true;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::vector<std::string> cells;
    for (std::string cell; std::getline(ss, cell, ',');) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 15u) << line;
    const long rbra = std::stol(cells[3]);
    consecutive = consecutive && (previous < 0 || rbra == previous + 1) && std::stol(cells[0]) == rows;
    previous = rbra;
    ++rows;
  }
  EXPECT_TRUE(consecutive) << "no frame lost or repeated, frames numbered from 0";
  EXPECT_GT(rows, 1200);
  EXPECT_LT(rows, 2800);
  Bytes got = unit.peer.Received();
  for (int i = 0; i < 200 && (got.empty() || got.back() != 0x83); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the peer reads on its own thread
    got = unit.peer.Received();
  }
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 3), (Bytes{0x81, 0x85, 0x82})) << "version, factors, begin";
  EXPECT_EQ(got.back(), 0x83) << "stop sample at the end";
  std::filesystem::remove(csv);

  const Result json = RunNelctl({"stream", "--port", "1", "--seconds", "1", "--json"}, unit.peer.Path());
  ASSERT_EQ(json.status, 0) << json.err;
  const auto s = nlohmann::json::parse(json.out);
  EXPECT_EQ(s["command"], "stream");
  EXPECT_EQ(s["firmware"], "1.2.3");
  ASSERT_EQ(s["coefficients"].size(), 6u);
  EXPECT_EQ(s["coefficients"][1]["offset"].get<float>(), -21.0f);
  EXPECT_GT(s["frames"].get<int>(), 500);
  EXPECT_NE(json.err.find("fps "), std::string::npos) << "the running report on stderr";
}

TEST(NelctlStream, SilentAndVanishingUnitsFailClearly) {
  FakeUnit silent({.answers = false});
  const auto start = Clock::now();
  const Result r = RunNelctl({"stream", "--port", "1", "--seconds", "1"}, silent.peer.Path());
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no unit answers on port COM1"), std::string::npos) << r.err;
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  FakeUnit vanishing({.hangUpAfterMs = 500});
  const Result gone = RunNelctl({"stream", "--port", "1", "--seconds", "10"}, vanishing.peer.Path());
  EXPECT_EQ(gone.status, 3);
  EXPECT_NE(gone.err.find("disappeared"), std::string::npos) << gone.err;
}

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
    FakeUnit unit({.answers = c.answers, .streamsAlways = c.streams});
    if (!c.stale.empty()) {
      // Left unread by a host that had the line in raw mode.
      nel::platform::SerialDevice host;
      ASSERT_TRUE(host.Open(unit.peer.Path()));
      unit.peer.Send(c.stale);
      for (int i = 0; i < 100 && unit.peer.Unread() < static_cast<int>(c.stale.size()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      ASSERT_EQ(unit.peer.Unread(), static_cast<int>(c.stale.size()));
    }
    std::vector<std::string> args{"deflate"};
    if (!c.searched) args.insert(args.end(), {"--port", "1"});
    const Result r = RunNelctl(args, unit.peer.Path());
    EXPECT_EQ(r.status, c.status) << r.err;
    unit.peer.WaitReceived(7, 1000);
    EXPECT_EQ(nel::test::DecodePneumatics(unit.peer.Received()), kDeflate) << "sent whether or not the unit answers";
    if (c.status == 0) {
      EXPECT_NE(r.out.find("port 1 COM1 (" + unit.peer.Path() + "): every pump stopped, every valve open"),
                std::string::npos)
          << r.out;
    } else {
      EXPECT_NE(r.err.find("no unit acknowledged"), std::string::npos) << r.err;
      EXPECT_TRUE(r.out.empty()) << r.out;
    }
  }
}

// --port N: the search of a measurement command sees port N alone. On a
// silent port 4 it does not go on to the unit on port 5; on port 5 it opens
// that unit and samples it (until the over-pressure stop: the test unit's
// right-brachial value reads far above the ceiling).
TEST(NelctlFacadePort, OpensTheGivenPortOnly) {
  FakeUnit silent({.answers = false}), unit({});
  const std::vector<std::string> env{"NEL_PORT_DIR=" + (nelctltest::TempDir() / "ports").string(),
                                     "NEL_COM4=" + silent.peer.Path(), "NEL_COM5=" + unit.peer.Path()};
  const Result on4 = nelctltest::Run({"signal-check", "--port", "4", "--json"}, env, std::chrono::seconds(60));
  EXPECT_EQ(on4.status, 2) << on4.err;
  EXPECT_NE(on4.err.find("no unit answers on port COM4"), std::string::npos) << on4.err;
  EXPECT_TRUE(unit.peer.Received().empty()) << "the search went on to port 5";
  const Result on5 = nelctltest::Run({"signal-check", "--port", "5"}, env, std::chrono::seconds(60));
  EXPECT_EQ(on5.status, 5) << on5.err;
  EXPECT_NE(on5.err.find("safety stop"), std::string::npos) << on5.err;
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
  for (int l = 0; l < 4; ++l) {
    SCOPED_TRACE("line " + std::to_string(l));
    const auto &before = v["before"].at(l), &after = v["after"].at(l);
    EXPECT_GE(before["mmhg"].get<double>(), kFilled);
    EXPECT_LT(after["mmhg"].get<double>(), 15.0);
    const nlohmann::json pumpAndValve{before["pumpRunning"], before["valveOpen"], after["pumpRunning"],
                                      after["valveOpen"]};
    EXPECT_EQ(pumpAndValve, nlohmann::json({true, false, false, true})) << "before, after";
  }
  EXPECT_LT(v["afterSeconds"].get<double>(), 5.0);
  EXPECT_EQ(v["ceilingTrips"], 0);
  EXPECT_EQ(v["watchdogTrips"], 0);
}
#endif

}  // namespace
