// nelctl probe and stream, run as a program against a unit played by the test
// on a pseudo-terminal.
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
#include "platform/serial_device.h"
#include "run_nelctl.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;
using Clock = std::chrono::steady_clock;

using nelctltest::Result;

// Runs nelctl with `args`, only port 1 mapped (to `device`), every other port absent.
Result RunNelctl(const std::vector<std::string>& args, const std::string& device) {
  return nelctltest::RunOnPort1(args, device, std::chrono::seconds(40));
}

// A unit: answers its commands and, once told to begin, streams 1000 frames a
// second whose right-brachial value counts up by one per frame.
class FakeUnit {
 public:
  static constexpr int32_t kFirstCount = 1000000;
  explicit FakeUnit(int hangUpAfterMs = -1, bool silent = false) : hangUpAfterMs_(hangUpAfterMs) {
    for (int c = 0; c < 6; ++c) {
      coeff_[2 * c] = 0.0003f;
      coeff_[2 * c + 1] = -20.0f - static_cast<float>(c);
    }
    if (!silent) peer_.SetResponder([this](uint8_t b, PtyPeer& u) { Answer(b, u); });
    streamer_ = std::thread([this] { Stream(); });
  }
  ~FakeUnit() {
    quit_ = true;
    streamer_.join();
  }
  const std::string& Path() const { return peer_.Path(); }
  Bytes Received() { return peer_.Received(); }
  const float* Coeff() const { return coeff_; }

 private:
  void Answer(uint8_t b, PtyPeer& u) {
    switch (b) {
      case 0x80: u.Send({0xF0}); break;
      case 0x81: u.Send({0xF1, 1, 2, 3}); break;
      case 0x82:
        u.Send({0xF2});
        streaming_ = true;
        break;
      case 0x83: streaming_ = false; break;
      case 0x84: u.Send({0xF4}); break;
      case 0x85: {
        Bytes reply{0xF5};
        const Bytes payload = nel::test::CoeffPayload(coeff_);
        reply.insert(reply.end(), payload.begin(), payload.end());
        u.Send(reply);
        break;
      }
      default: break;
    }
  }
  void Stream() {
    int32_t count = kFirstCount;
    auto next = Clock::now();
    Clock::time_point started{};
    while (!quit_) {
      if (!streaming_) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        next = Clock::now();
        continue;
      }
      if (started == Clock::time_point{}) started = Clock::now();
      if (hangUpAfterMs_ >= 0 && Clock::now() - started > std::chrono::milliseconds(hangUpAfterMs_)) {
        peer_.HangUp();
        return;
      }
      peer_.Send(nel::test::DataRawBurst(count, 10));
      next += std::chrono::milliseconds(10);
      std::this_thread::sleep_until(next);
    }
  }

  PtyPeer peer_;
  float coeff_[12];
  int hangUpAfterMs_;
  std::atomic<bool> streaming_{false};
  std::atomic<bool> quit_{false};
  std::thread streamer_;
};

TEST(NelctlProbe, FindsTheUnitAndPrintsItsFirmwareVersion) {
  FakeUnit unit;
  const Result r = RunNelctl({"probe"}, unit.Path());
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("port 1 COM1 (" + unit.Path() + ")"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("firmware 1.2.3"), std::string::npos) << r.out;
  // The search first tells a unit an earlier host left streaming to stop (0x83).
  EXPECT_EQ(unit.Received(), (Bytes{0x83, 0x80, 0x81}));
}

// --json: the result alone on stdout; --port takes the port without a search.
TEST(NelctlProbe, ProbeAndStreamPrintJson) {
  FakeUnit unit;
  const Result probe = RunNelctl({"probe", "--port", "1", "--json"}, unit.Path());
  ASSERT_EQ(probe.status, 0) << probe.err;
  const auto p = nlohmann::json::parse(probe.out);
  EXPECT_EQ(p["command"], "probe");
  EXPECT_EQ(p["port"], 1);
  EXPECT_EQ(p["device"], unit.Path());
  EXPECT_EQ(p["firmware"], "1.2.3");
  EXPECT_EQ(unit.Received(), (Bytes{0x81})) << "no search";

  const Result stream = RunNelctl({"stream", "--port", "1", "--seconds", "1", "--json"}, unit.Path());
  ASSERT_EQ(stream.status, 0) << stream.err;
  const auto s = nlohmann::json::parse(stream.out);
  EXPECT_EQ(s["command"], "stream");
  EXPECT_EQ(s["firmware"], "1.2.3");
  ASSERT_EQ(s["coefficients"].size(), 6u);
  EXPECT_FLOAT_EQ(s["coefficients"][1]["offset"].get<float>(), unit.Coeff()[3]);
  EXPECT_GT(s["frames"].get<int>(), 500);
  EXPECT_NE(stream.err.find("fps "), std::string::npos) << "the running report on stderr";
}

TEST(NelctlProbe, NoUnitFailsWithAClearMessage) {
  const Result r = RunNelctl({"probe"}, "");
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no unit answers"), std::string::npos) << r.err;
}

TEST(NelctlStream, StreamsEveryFrameToCsvWithTheUnitsCoefficients) {
  FakeUnit unit;
  const auto csv = std::filesystem::temp_directory_path() / ("nelctl_stream_" + std::to_string(::getpid()) + ".csv");
  const Result r = RunNelctl({"stream", "--port", "1", "--seconds", "2", "--csv", csv.string()}, unit.Path());
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
  long rows = 0;
  long previous = -1;
  bool consecutive = true;
  double pressure = 0;
  while (std::getline(in, line)) {
    std::stringstream ss(line);
    std::string cell;
    std::vector<std::string> cells;
    while (std::getline(ss, cell, ',')) cells.push_back(cell);
    ASSERT_EQ(cells.size(), 15u) << line;
    const long rbra = std::stol(cells[3]);
    if (previous >= 0 && rbra != previous + 1) consecutive = false;
    previous = rbra;
    pressure = std::stod(cells[9]);
    ++rows;
  }
  EXPECT_TRUE(consecutive) << "no frame lost or repeated";
  EXPECT_GT(rows, 1200);
  EXPECT_LT(rows, 2800);
  // Right-brachial pressure: moving average of the counts around the last one, x 0.0003 - 20.
  EXPECT_NEAR(pressure, (previous - 100) * 0.0003 - 20.0, 0.2);
  Bytes got = unit.Received();
  for (int i = 0; i < 200 && (got.empty() || got.back() != 0x83); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));  // the peer reads on its own thread
    got = unit.Received();
  }
  ASSERT_GE(got.size(), 4u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 3), (Bytes{0x81, 0x85, 0x82})) << "version, factors, begin";
  EXPECT_EQ(got.back(), 0x83) << "stop sample at the end";
  std::filesystem::remove(csv);
}

TEST(NelctlStream, BusyPortSilentUnitAndVanishingUnitFailClearly) {
  {
    FakeUnit unit;
    nel::platform::SerialDevice holder;
    ASSERT_TRUE(holder.Open(unit.Path()));
    const Result r = RunNelctl({"stream", "--port", "1", "--seconds", "1"}, unit.Path());
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("busy"), std::string::npos) << r.err;
  }
  {
    FakeUnit silent(-1, true);
    const auto start = Clock::now();
    const Result r = RunNelctl({"stream", "--port", "1", "--seconds", "1"}, silent.Path());
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("no unit answers on port COM1"), std::string::npos) << r.err;
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
  }
  {
    FakeUnit vanishing(500);
    const Result r = RunNelctl({"stream", "--port", "1", "--seconds", "10"}, vanishing.Path());
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("disappeared"), std::string::npos) << r.err;
  }
  const Result none = RunNelctl({"stream", "--seconds", "1"}, "");
  EXPECT_EQ(none.status, 2);
}

}  // namespace
