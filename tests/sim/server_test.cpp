// The unit on a pseudo-terminal: port naming, clocks, hang-up.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include <nlohmann/json.hpp>

#include <nel/platform/port_names.h>
#include "line_decoder.h"
#include "sim/unit_server.h"

namespace {

using nel::sim::SubjectConfig;
using nel::sim::UnitServer;
using simtest::LineDecoder;

// The host end of the line, opened by path as a host would.
class HostEnd {
 public:
  explicit HostEnd(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
      termios t{};
      tcgetattr(fd_, &t);
      cfmakeraw(&t);
      tcsetattr(fd_, TCSANOW, &t);
    }
  }
  ~HostEnd() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(std::initializer_list<uint8_t> b) {
    std::vector<uint8_t> v(b);
    ASSERT_EQ(write(fd_, v.data(), v.size()), static_cast<ssize_t>(v.size()));
  }
  // Reads what arrives within wait_ms (returns early once `until` holds).
  template <class F>
  bool ReadInto(LineDecoder& d, int wait_ms, F until) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    uint8_t buf[4096];
    while (!until()) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      if (p.revents & (POLLHUP | POLLERR)) return false;
      const ssize_t r = read(fd_, buf, sizeof buf);
      if (r > 0)
        d.Feed(buf, static_cast<size_t>(r));
      else if (r == 0 || (errno != EAGAIN && errno != EINTR))
        return false;
    }
    return true;
  }
  bool HungUp() {
    pollfd p{fd_, POLLIN, 0};
    poll(&p, 1, 500);
    if (p.revents & POLLHUP) return true;
    uint8_t b;
    const ssize_t r = read(fd_, &b, 1);
    return r == 0 || (r < 0 && errno == EIO);
  }

 private:
  int fd_ = -1;
};

UnitServer::Options Stepped(int port) {
  UnitServer::Options o;
  o.clock = UnitServer::Clock::kStepped;
  o.port = port;
  return o;
}

TEST(SimServer, SteppedUnitBehindAPortNumber) {
  UnitServer server(SubjectConfig(), Stepped(7));
  std::string err;
  ASSERT_TRUE(server.Start(&err)) << err;
  EXPECT_EQ(nel::platform::PortDevicePath(7), server.DevicePath());
  HostEnd host(nel::platform::PortDevicePath(7));
  ASSERT_TRUE(host.ok());
  LineDecoder d;
  // The probe is answered before sampling, with no virtual time passing.
  host.Write({0x80, 0x81});
  ASSERT_TRUE(host.ReadInto(d, 2000, [&] { return d.replies.size() == 2; }));
  EXPECT_EQ(d.replies[0].code, 0xF0);
  EXPECT_EQ(d.replies[1].code, 0xF1);
  EXPECT_EQ(server.WithUnit([](auto& u) { return u.Frame(); }), 0);
  // Begin sample, then 3 s of virtual time in steps: exactly 1000 packets a second.
  host.Write({0x82});
  ASSERT_TRUE(host.ReadInto(d, 2000, [&] { return d.replies.size() == 3; }));
  for (int i = 0; i < 30; ++i) {
    ASSERT_TRUE(server.Advance(100));
    ASSERT_TRUE(host.ReadInto(d, 2000, [&] { return d.packets.size() == static_cast<size_t>(100 * (i + 1)); }));
  }
  EXPECT_EQ(d.packets.size(), 3000u);
  EXPECT_EQ(d.abandoned, 0);
  // Stop sample: no packet after it.
  host.Write({0x83});
  ASSERT_TRUE(host.ReadInto(d, 2000, [&] { return d.replies.size() == 4; }));
  EXPECT_EQ(d.replies[3].code, 0xF3);
  server.Advance(100);
  host.ReadInto(d, 100, [] { return false; });
  EXPECT_EQ(d.packets.size(), 3000u);
  server.Stop();
  EXPECT_NE(nel::platform::PortDevicePath(7), server.DevicePath()) << "the port entry is removed";
}

// A hang-up asked for, or scheduled in the subject file, closes the line; it
// is back after its time, under the same port number.
TEST(SimServer, HangupClosesTheLineAndReopensLater) {
  SubjectConfig cfg;
  cfg.faults.push_back({nel::sim::FaultEvent::kHangup, 0.2, 0.3, 0, 0});
  UnitServer server(cfg, Stepped(11));
  ASSERT_TRUE(server.Start());
  const auto waitOpen = [&](bool open) {
    for (int i = 0; i < 200 && server.LineOpen() != open; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server.LineOpen() == open;
  };
  {
    HostEnd host(server.DevicePath());
    server.Advance(300);
    ASSERT_TRUE(waitOpen(false)) << "the scheduled hang-up at 0.2 s";
    EXPECT_TRUE(host.HungUp());
  }
  server.Advance(400);
  ASSERT_TRUE(waitOpen(true));
  {
    HostEnd host(server.DevicePath());
    ASSERT_TRUE(host.ok());
    server.Hangup(1.0);
    EXPECT_TRUE(host.HungUp());
    EXPECT_FALSE(server.LineOpen());
    server.Advance(500);
    EXPECT_FALSE(server.LineOpen()) << "still down after 0.5 s";
  }
  server.Advance(600);
  ASSERT_TRUE(waitOpen(true));
  HostEnd again(nel::platform::PortDevicePath(11));
  ASSERT_TRUE(again.ok());
  LineDecoder d;
  again.Write({0x80});
  EXPECT_TRUE(again.ReadInto(d, 2000, [&] { return d.replies.size() == 1; }));
  server.Stop();
}

TEST(SimServer, LinkDirectoryForAnotherProcess) {
  UnitServer::Options o = Stepped(13);
  o.link_dir = testing::TempDir() + "nelsim_ports";
  UnitServer server(SubjectConfig(), o);
  ASSERT_TRUE(server.Start());
  char target[256] = {};
  const std::string link = o.link_dir + "/COM13";
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), server.DevicePath());
  server.Stop();
  EXPECT_NE(access(link.c_str(), F_OK), 0);
}

}  // namespace
