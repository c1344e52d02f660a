// The serial transport over pseudo-terminals: exclusive open, the reader
// thread, the ring, suspension, the idle watch and a device that goes away.
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include <nel/link/qx_protocol.h>

#include <nel/platform/port_names.h>
#include "../common/pty_peer.h"
#include "link_seams.h"
#include "platform/serial_device.h"

namespace {

using nel::test::Bytes;
using nel::test::PtyPeer;
using Clock = std::chrono::steady_clock;

constexpr int kPort = 141;

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
  const auto end = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

// Processor time used by this process.
double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

struct SerialPortTest : ::testing::Test {
  PtyPeer peer;
  QXProtocol port;  // the transport is used through its protocol class, as the library does
  void SetUp() override { ASSERT_TRUE(nel::platform::SetPortPath(kPort, peer.Path())); }
  void TearDown() override { nel::platform::SetPortPath(kPort, ""); }
  int Open() { return port.OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'); }
};

TEST(SerialDeviceTest, LineTextParsesOnlyItsOwnForm) {
  nel::platform::LineSettings line;
  ASSERT_TRUE(nel::platform::ParseLineText("baud=230400 parity=n data=8 stop=1", line));
  EXPECT_EQ(line.baud, 230400);
  EXPECT_EQ(line.parity, 'N');
  EXPECT_EQ(line.dataBits, 8);
  EXPECT_EQ(line.stopBits, 1);
  EXPECT_FALSE(nel::platform::ParseLineText("baud=230400 parity=N data=8", line));
  EXPECT_FALSE(nel::platform::ParseLineText("baud=230400 parity=N data=8 stop=1 x", line));
  EXPECT_FALSE(nel::platform::ParseLineText(nullptr, line));
}

TEST(SerialDeviceTest, OpenRefusesMissingDevicesAndNonTerminals) {
  nel::platform::SerialDevice device;
  EXPECT_FALSE(device.Open("/nonexistent/tty"));
  EXPECT_FALSE(device.Open("/dev/null"));
  EXPECT_FALSE(device.IsOpen());
}

TEST_F(SerialPortTest, OpenIsExclusiveAgainstThisAndOtherProcesses) {
  const int handle = Open();
  ASSERT_GE(handle, 0);
  EXPECT_EQ(Open(), handle) << "a second OpenPort on an open port returns the same handle";

  QXProtocol second;
  EXPECT_LT(second.OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'), 0);

  // Another process (root or not) cannot open it either.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    nel::platform::SerialDevice other;
    _exit(other.Open(peer.Path()) ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 3);

  port.ClosePort();
  EXPECT_GE(second.OpenPort(nel::platform::PortName(kPort), 230400, 8, 1, 'N'), 0) << "free again after ClosePort";
}

TEST_F(SerialPortTest, ReaderMovesBytesIntoTheRingAndStopReaderClearsIt) {
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  EXPECT_EQ(port.RingSize(), TSerialPort::kRingBytes);
  EXPECT_FALSE(port.StartReader()) << "a second reader on the same ring is refused";

  Bytes sent;
  for (int i = 0; i < 1000; ++i) sent.push_back(static_cast<uint8_t>(i * 7));
  peer.Send(sent);
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 1000; }, 2000));
  EXPECT_TRUE(port.DataEvent().IsSet());
  EXPECT_EQ(port.WriteTotal(), 1000);

  Bytes got(1000);
  port.TakeFromRing(got.data(), 1000);
  EXPECT_EQ(got, sent);
  EXPECT_EQ(port.ReadTotal(), 1000);
  EXPECT_EQ(port.RingCount(), 0);

  peer.Send({1, 2, 3});
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 3; }, 2000));
  port.StopReader();
  EXPECT_FALSE(port.ReaderRunning());
  EXPECT_EQ(port.WriteTotal(), 0);
  EXPECT_EQ(port.ReadTotal(), 0);
  EXPECT_EQ(port.RingCount(), 0);
  EXPECT_EQ(port.RingSize(), 0);
  ASSERT_TRUE(port.StartReader()) << "a new reader after StopReader";
  port.ClosePort();
}

// A ring position is the byte total modulo the ring size. The totals start
// where a long run leaves them; stores of 7 and drains of 11 bytes pass each
// limit out of step, and the bytes must come out as they went in.
TEST_F(SerialPortTest, RingKeepsTheByteOrderWhereTheTotalsPassTheirLimits) {
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  for (const int64_t start : {int64_t{0}, (int64_t{1} << 31) - 100, (int64_t{1} << 32) - 100}) {
    nel::test::PortSeams::TotalsAt(port, start);
    Bytes in(300), out;
    for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 13 + 1);
    uint8_t chunk[11];
    for (size_t k = 0; k < in.size(); k += 7) {
      port.InjectReceived(in.data() + k, static_cast<int>(std::min<size_t>(7, in.size() - k)));
      while (port.RingCount() >= 11 || (k + 7 >= in.size() && port.RingCount() > 0)) {
        const int n = std::min(11, port.RingCount());
        port.TakeFromRing(chunk, n);
        out.insert(out.end(), chunk, chunk + n);
      }
    }
    EXPECT_EQ(out, in) << "totals from " << start;
    EXPECT_EQ(port.ReadTotal(), start + 300);
    EXPECT_EQ(port.WriteTotal(), start + 300);
  }
  port.ClosePort();
}

// Every store of the reader is one read of at most 128 bytes. The first store
// is held for a moment so that the rest of the burst is queued by then.
struct StoreSizes {
  TSerialPort* port = nullptr;
  int64_t last = 0;
  std::vector<int32_t> sizes;
  static void Hook(void* self) {
    auto* s = static_cast<StoreSizes*>(self);
    const int64_t total = s->port->WriteTotal();
    s->sizes.push_back(static_cast<int32_t>(total - s->last));
    s->last = total;
    if (s->sizes.size() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
};

TEST_F(SerialPortTest, ReaderTakesAtMost128BytesARead) {
  ASSERT_GE(Open(), 0);
  StoreSizes record;
  record.port = &port;
  nel::test::PortSeams::Hook(port, &StoreSizes::Hook, &record);
  ASSERT_TRUE(port.StartReader());
  peer.Send(Bytes(4096, 0x11));
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 4096; }, 3000));
  port.StopReader();  // joins the reader: its records are complete
  ASSERT_FALSE(record.sizes.empty());
  int32_t sum = 0, largest = 0;
  for (int32_t n : record.sizes) {
    EXPECT_GE(n, 1);
    EXPECT_LE(n, TSerialPort::kReadChunk);
    sum += n;
    largest = std::max(largest, n);
  }
  EXPECT_EQ(sum, 4096);
  EXPECT_EQ(largest, TSerialPort::kReadChunk) << "a queued burst is read in whole chunks";
  EXPECT_GE(record.sizes.size(), 4096u / TSerialPort::kReadChunk);
}

TEST_F(SerialPortTest, RingThatFillsDropsNewBytesAndResumesAfterDraining) {
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  const Bytes block(4096, 0x55);
  int sent = 0;
  for (; sent < 110000; sent += 4096) peer.Send(block);
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == TSerialPort::kRingBytes; }, 5000));
  // Every byte beyond the ring is counted as dropped.
  EXPECT_TRUE(WaitFor([&] { return port.DroppedBytes() == sent - TSerialPort::kRingBytes; }, 2000))
      << port.DroppedBytes();
  EXPECT_EQ(port.RingCount(), TSerialPort::kRingBytes);
  EXPECT_EQ(port.WriteTotal(), TSerialPort::kRingBytes);

  Bytes sink(1000);
  port.TakeFromRing(sink.data(), 1000);
  peer.Send(Bytes(10, 0x66));
  ASSERT_TRUE(WaitFor([&] { return port.WriteTotal() == TSerialPort::kRingBytes + 10; }, 2000));
  EXPECT_LE(port.RingCount(), TSerialPort::kRingBytes);
  // The new bytes went where the drained ones were: after the 101390 unread 0x55 bytes.
  Bytes rest(static_cast<size_t>(port.RingCount()));
  port.TakeFromRing(rest.data(), port.RingCount());
  ASSERT_EQ(rest.size(), static_cast<size_t>(TSerialPort::kRingBytes - 1000 + 10));
  EXPECT_EQ(rest[rest.size() - 11], 0x55);
  EXPECT_EQ(rest.back(), 0x66);
}

TEST_F(SerialPortTest, SuspendedBytesAreDiscardedAndResumeStartsClean) {
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  port.Suspend();
  EXPECT_TRUE(port.GetStatus());
  peer.Send(Bytes(300, 0x11));
  // Until the reader has read (and dropped) every byte: none may reach the
  // ring after Resume.
  ASSERT_TRUE(WaitFor([&] { return peer.Unread() == 0; }, 3000));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(peer.Unread(), 0);
  EXPECT_EQ(port.RingCount(), 0);
  EXPECT_EQ(port.WriteTotal(), 0);
  port.Resume();
  EXPECT_FALSE(port.GetStatus());
  peer.Send({0x22});
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 1; }, 2000));
  uint8_t b = 0;
  port.TakeFromRing(&b, 1);
  EXPECT_EQ(b, 0x22);
}

TEST_F(SerialPortTest, IdleWatchReturnsAfterTwoSecondsAndLaterDataIsStillRead) {
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  port.SetIdleWatch(true);
  peer.Send({0x01});
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 1; }, 2000));
  const auto start = Clock::now();
  ASSERT_TRUE(WaitFor([&] { return port.IdleReturns() == 1; }, 15000))
      << "generous: 10 ms polls stretch on a loaded machine";
  const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_GE(idle, 1800) << "200 empty polls of 10 ms";
  peer.Send({0x02, 0x03});
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 3; }, 2000));
  const auto before = Clock::now();
  port.StopReader();
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(200)) << "StopReader is seen during idle polls";
}

TEST_F(SerialPortTest, HangUpStopsFramesWithoutSpinningAndThePortCanBeReopened) {
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  port.SetIdleWatch(true);
  peer.Send({0x90, 0x01});
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 2; }, 2000));
  peer.HangUp();
  ASSERT_TRUE(WaitFor([&] { return port.DeviceLost(); }, 2000));
  EXPECT_TRUE(port.ReaderRunning());

  const double cpu0 = CpuSeconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(CpuSeconds() - cpu0, 0.1) << "the reader must not spin on a hung-up device";

  int written = 0;
  const uint8_t cmd = 0x83;
  EXPECT_FALSE(port.WriteBytes(&cmd, 1, written));
  const auto before = Clock::now();
  port.StopReader();
  port.ClosePort();
  EXPECT_LT(Clock::now() - before, std::chrono::milliseconds(200));

  PtyPeer other;
  ASSERT_TRUE(nel::platform::SetPortPath(kPort, other.Path()));
  ASSERT_GE(Open(), 0);
  ASSERT_TRUE(port.StartReader());
  EXPECT_FALSE(port.DeviceLost());
  other.Send({0x42});
  ASSERT_TRUE(WaitFor([&] { return port.RingCount() == 1; }, 2000));
  port.ClosePort();
}

TEST_F(SerialPortTest, WritesReachTheDeviceAndDirectReadsTimeOut) {
  ASSERT_GE(Open(), 0);
  const uint8_t bytes[3] = {0x81, 0x05, 0x7F};
  int written = 0;
  ASSERT_TRUE(port.WriteBytes(bytes, 3, written));
  EXPECT_EQ(written, 3);
  ASSERT_TRUE(peer.WaitReceived(3, 1000));
  EXPECT_EQ(peer.Received(), (Bytes{0x81, 0x05, 0x7F}));

  uint8_t in[4] = {};
  int read = -1;
  peer.Send({0xF1, 0x01});
  const auto before = Clock::now();
  EXPECT_FALSE(port.ReadBytes(in, 4, read));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - before).count();
  EXPECT_EQ(read, 2);
  EXPECT_GE(took, 950);
  EXPECT_LT(took, 1500);
}

// An in-process device: writes reach the sink, nothing reads from a device,
// and the port is an ordinary closed port again after ClosePort.
TEST_F(SerialPortTest, InProcessDeviceTakesTheWritesUntilClosed) {
  Bytes written;
  const auto sink = [](const unsigned char* b, int n, void* ctx) {
    static_cast<Bytes*>(ctx)->insert(static_cast<Bytes*>(ctx)->end(), b, b + n);
  };
  ASSERT_TRUE(port.OpenInProcess(sink, &written));
  EXPECT_FALSE(port.OpenInProcess(sink, &written));
  EXPECT_TRUE(port.IsOpen());
  EXPECT_FALSE(port.StartReader());
  const uint8_t bytes[2] = {0x87, 0x04};
  int n = 0;
  EXPECT_TRUE(port.WriteBytes(bytes, 2, n));
  EXPECT_EQ(written, (Bytes{0x87, 0x04}));
  uint8_t in[1];
  EXPECT_FALSE(port.ReadBytes(in, 1, n));
  port.ClosePort();
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.WriteBytes(bytes, 2, n));
  EXPECT_EQ(written.size(), 2u);
  EXPECT_GE(Open(), 0);  // a real port opens as usual afterwards
}

}  // namespace
