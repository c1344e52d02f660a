// The serial device on a pseudo-terminal: the line settings it leaves in the
// terminal, and waits, reads and writes against the other end.
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "platform/serial_device.h"

namespace nel::platform {
namespace {

// A pseudo-terminal whose line was left in a state the device must undo:
// software flow control on, reads returning without data after half a second.
// The slave stays open: its settings would be reset on its last close.
struct Pty {
  int master = -1, slave = -1;
  std::string path;
  Pty() {
    char name[128] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) return;
    termios tio{};
    ::tcgetattr(slave, &tio);
    tio.c_iflag |= IXON | IXOFF | IXANY;
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 5;
    ::tcsetattr(slave, TCSANOW, &tio);
    path = name;
  }
  ~Pty() {
    ::close(master);
    ::close(slave);
  }
};

TEST(SerialDevice, OpenAndConfigureLeaveARawLineWithTheAskedFraming) {
  struct Row {
    LineSettings line;
    bool accepted;
    tcflag_t stop, odd;
    speed_t speed;
  } const rows[] = {
      {{115200, 'N', 8, 1}, true, 0, 0, B115200},    {{9600, 'e', 7, 2}, true, CSTOPB, 0, B9600},
      {{19200, 'O', 5, 1}, true, 0, PARODD, B19200}, {{9600, 'N', 8, 0}, false, 0, 0, 0},
      {{9600, 'N', 9, 1}, false, 0, 0, 0},           {{9600, 'X', 8, 1}, false, 0, 0, 0},
      {{12345, 'N', 8, 1}, false, 0, 0, 0},
  };
  for (const Row& r : rows) {
    Pty pty;
    SerialDevice dev;
    ASSERT_TRUE(dev.Open(pty.path)) << dev.LastError();
    ASSERT_TRUE(dev.Open(pty.path)) << "reopening: " << dev.LastError();
    termios tio{};
    ASSERT_EQ(::tcgetattr(dev.Descriptor(), &tio), 0);
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(dev.Configure(r.line), r.accepted) << r.line.baud << r.line.parity << r.line.dataBits << r.line.stopBits;
    if (!r.accepted) continue;
    // A pseudo-terminal keeps neither the character size nor the parity
    // enable; the stop bits, the odd flag and the speed it keeps.
    ASSERT_EQ(::tcgetattr(dev.Descriptor(), &tio), 0);
    EXPECT_EQ(tio.c_cflag & CSTOPB, r.stop) << r.line.baud;
    EXPECT_EQ(tio.c_cflag & PARODD, r.odd) << r.line.baud;
    EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | IXANY), 0u) << r.line.baud;
    EXPECT_EQ(tio.c_cc[VMIN], 1);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
    EXPECT_EQ(::cfgetispeed(&tio), r.speed);
  }
}

TEST(SerialDevice, WaitsReportDataStopAndHangUp) {
  Pty pty;
  SerialDevice dev;
  ASSERT_TRUE(dev.Open(pty.path));
  EXPECT_EQ(dev.WaitReadable(nullptr, 20), SerialDevice::WaitResult::kTimeout);
  ASSERT_EQ(::write(pty.master, "abcde", 5), 5);
  EXPECT_EQ(dev.WaitReadable(nullptr, 1000), SerialDevice::WaitResult::kData);
  EXPECT_EQ(dev.QueuedBytes(), 5);
  const Event stop(true);  // constructed signalled
  EXPECT_EQ(dev.WaitReadable(&stop, 1000), SerialDevice::WaitResult::kStop);
  char buf[16] = {};
  EXPECT_EQ(dev.Read(buf, sizeof buf, 100), 5);
  EXPECT_EQ(std::string(buf, 5), "abcde");
  EXPECT_EQ(dev.Read(buf, sizeof buf, 20), 0);
  ::close(pty.master);
  pty.master = -1;
  EXPECT_EQ(dev.WaitReadable(nullptr, 1000), SerialDevice::WaitResult::kHangup);
  EXPECT_EQ(dev.Read(buf, sizeof buf, 100), -1);
}

// More than the terminal buffers: the write goes out in pieces, in order, and
// returns as soon as the last piece is out.
TEST(SerialDevice, LongWriteArrivesWholeAndReturnsWhenDone) {
  Pty pty;
  SerialDevice dev;
  ASSERT_TRUE(dev.Open(pty.path));
  std::vector<unsigned char> out(64 * 1024);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<unsigned char>(i * 7 + i / 251);
  std::vector<unsigned char> in;
  std::thread drain([&] {
    unsigned char chunk[4096];
    while (in.size() < out.size()) {
      const ssize_t r = ::read(pty.master, chunk, sizeof chunk);
      if (r <= 0) break;
      in.insert(in.end(), chunk, chunk + r);
    }
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dev.Write(out.data(), out.size(), 5000), static_cast<long>(out.size()));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
  drain.join();
  EXPECT_EQ(in, out);
}

}  // namespace
}  // namespace nel::platform
