// The unit on a pseudo-terminal: port naming, link, stepped clock, scheduled hang-up.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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
  // The unit keeps its terminal raw: the host takes the line as it finds it.
  explicit HostEnd(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK)) {}
  ~HostEnd() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void Write(std::initializer_list<uint8_t> b) {
    ASSERT_EQ(write(fd_, b.begin(), b.size()), static_cast<ssize_t>(b.size()));
  }
  // Reads what arrives until `until` holds; false after 2 s or a hang-up.
  template <class F>
  bool ReadUntil(LineDecoder& d, F until) {
    uint8_t buf[4096];
    for (int i = 0; i < 200 && !until(); ++i) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 10) > 0 && (p.revents & (POLLHUP | POLLERR))) return false;
      const ssize_t r = read(fd_, buf, sizeof buf);
      if (r > 0) d.Feed(buf, static_cast<size_t>(r));
    }
    return until();
  }
  bool HungUp() {
    pollfd p{fd_, POLLIN, 0};
    uint8_t b;
    if (poll(&p, 1, 500) > 0 && (p.revents & POLLHUP)) return true;
    return read(fd_, &b, 1) == 0 || errno == EIO;
  }

 private:
  int fd_ = -1;
};

// The stepped unit behind a port number and a link for another process: it
// answers with no virtual time passing and sends a packet a frame; it hangs up
// as its subject file schedules, comes back after the hang-up's time under the
// same port number and, stopped, leaves neither port entry nor link.
TEST(SimServer, PortLinkAndScheduledHangup) {
  SubjectConfig cfg;
  cfg.faults.push_back({nel::sim::FaultEvent::kHangup, 0.2, 0.3, 0, 0});
  UnitServer::Options o;
  o.clock = UnitServer::Clock::kStepped;
  o.port = 13;
  o.link_dir = testing::TempDir() + "nelsim_ports";
  UnitServer server(cfg, o);
  std::string err;
  ASSERT_TRUE(server.Start(&err)) << err;
  EXPECT_EQ(nel::platform::PortDevicePath(13), server.DevicePath());
  char target[256] = {};
  const std::string link = o.link_dir + "/COM13";
  ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
  EXPECT_EQ(std::string(target), server.DevicePath());
  const auto waitOpen = [&](bool open) {
    for (int i = 0; i < 200 && server.LineOpen() != open; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return server.LineOpen() == open;
  };
  {
    HostEnd host(nel::platform::PortDevicePath(13));
    ASSERT_TRUE(host.ok());
    LineDecoder d;
    host.Write({0x80, 0x82});
    ASSERT_TRUE(host.ReadUntil(d, [&] { return d.replies.size() == 2; }));
    EXPECT_EQ(d.replies[0].code, 0xF0);
    EXPECT_EQ(server.WithUnit([](auto& u) { return u.Frame(); }), 0);
    ASSERT_TRUE(server.Advance(150));
    ASSERT_TRUE(host.ReadUntil(d, [&] { return d.packets.size() == 150; }));
    EXPECT_EQ(d.abandoned, 0);
    server.Advance(150);  // the hang-up at 0.2 s, taken at 0.3 s: back at 0.6 s
    ASSERT_TRUE(waitOpen(false));
    EXPECT_TRUE(host.HungUp());
  }
  server.Advance(250);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(server.LineOpen()) << "still down at 0.55 s";
  server.Advance(100);
  ASSERT_TRUE(waitOpen(true));
  HostEnd again(nel::platform::PortDevicePath(13));
  ASSERT_TRUE(again.ok());
  LineDecoder d;
  again.Write({0x80});
  EXPECT_TRUE(again.ReadUntil(d, [&] { return d.replies.size() == 1; }));
  server.Stop();
  EXPECT_NE(nel::platform::PortDevicePath(13), server.DevicePath()) << "the port entry is removed";
  EXPECT_NE(access(link.c_str(), F_OK), 0);
}

}  // namespace
