// The Windows forms of the platform room: what differs from the POSIX room
// (event objects, COM port opening, paths) held to the same contract. Runs
// under Windows or Wine; the portable suites (code page 936, settings file,
// programs) are built in beside it.
#include <gtest/gtest.h>

#include <windows.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include <nel/platform/event.h>
#include <nel/platform/port_names.h>

#include "platform/paths.h"
#include "platform/serial_device.h"

using namespace nel::platform;
namespace fs = std::filesystem;

namespace {

TEST(Event, WaitAnyReturnsLowestSignalledIndexOrTimeoutOrRefuses) {
  Event a, b, c;
  Event* list[] = {&a, &b, &c};
  EXPECT_EQ(Event::WaitAny(list, 3, 10), kWaitTimeout);
  c.Set();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 2);
  b.Set();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 1);
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 1) << "manual reset: still signalled";
  b.Reset();
  EXPECT_EQ(Event::WaitAny(list, 3, 0), 2);
  Event* nullLast[] = {&a, nullptr};
  EXPECT_EQ(Event::WaitAny(nullLast, 2, 0), kWaitFailed);
  EXPECT_EQ(Event::WaitAny(list, 0, 0), kWaitFailed);
}

TEST(Event, SetFromAnotherThreadEndsAWait) {
  Event e;
  const auto t0 = std::chrono::steady_clock::now();
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    e.Set();
  });
  EXPECT_TRUE(e.Wait(5000));
  setter.join();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(4));
}

TEST(Paths, ExecutableFolderHoldsTheProgramAndJoinsWithBackslash) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(fs::is_directory(folder));
  EXPECT_NE(folder.back(), '\\');
  wchar_t self[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  EXPECT_TRUE(fs::exists(JoinPath(folder, fs::path(self).filename().string())));
  EXPECT_EQ(JoinPath("C:\\a", "HardInf.ini"), "C:\\a\\HardInf.ini");
  EXPECT_EQ(JoinPath("C:\\a\\", "HardInf.ini"), "C:\\a\\HardInf.ini");
  EXPECT_EQ(JoinPath("C:/a/", "HardInf.ini"), "C:/a/HardInf.ini");
}

TEST(PortNames, DefaultDeviceIsTheDeviceNamespaceName) {
  EXPECT_EQ(PortDevicePath(3), "\\\\.\\COM3");
  EXPECT_EQ(PortDevicePath(149), "\\\\.\\COM149");
  ASSERT_TRUE(SetPortPath(3, "\\\\.\\COM7"));
  EXPECT_EQ(PortDevicePath(3), "\\\\.\\COM7");
  ASSERT_TRUE(SetPortPath(3, ""));
  EXPECT_EQ(PortDevicePath(3), "\\\\.\\COM3");
}

// The link tells a busy port from a missing one by these errno values.
TEST(SerialDevice, OpenFailuresGiveTheirErrno) {
  SerialDevice dev;
  EXPECT_FALSE(dev.Open(""));
  EXPECT_EQ(dev.LastError(), ENOENT);
  EXPECT_FALSE(dev.Open("\\\\.\\COM149"));
  EXPECT_EQ(dev.LastError(), ENOENT);
  EXPECT_FALSE(dev.IsOpen());
  EXPECT_EQ(dev.Descriptor(), -1);

  const fs::path file = fs::temp_directory_path() / ("nel_not_a_port_" + std::to_string(::GetCurrentProcessId()));
  std::ofstream(file) << "x";
  EXPECT_FALSE(dev.Open(file.string()));
  EXPECT_EQ(dev.LastError(), ENOTTY);
  EXPECT_FALSE(dev.IsOpen());
  fs::remove(file);
}

TEST(SerialDevice, ClosedDeviceRefusesEverything) {
  SerialDevice dev;
  char buf[4];
  EXPECT_EQ(dev.Read(buf, sizeof buf, 0), -1);
  EXPECT_EQ(dev.Write(buf, sizeof buf, 0), -1);
  EXPECT_EQ(dev.QueuedBytes(), -1);
  EXPECT_FALSE(dev.Configure(LineSettings{9600, 'N', 8, 1}));
  EXPECT_EQ(dev.WaitReadable(nullptr, 0), SerialDevice::WaitResult::kError);
}

}  // namespace

// A real line: NEL_TEST_COM_PORT names a port whose other end echoes every
// byte back until it reads 0x04, then hangs up (with_echo_line.py sets one up
// under Wine on a pseudo-terminal). Skipped without one.
class SerialLine : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* port = std::getenv("NEL_TEST_COM_PORT");
    if (port == nullptr || *port == '\0') GTEST_SKIP() << "NEL_TEST_COM_PORT is not set";
    port_ = port;
    ASSERT_TRUE(dev_.Open(port_)) << "errno " << dev_.LastError();
    ASSERT_TRUE(dev_.Configure(LineSettings{115200, 'N', 8, 1}));
    dev_.Purge();
  }
  static long MsSince(std::chrono::steady_clock::time_point t0) {
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count());
  }
  std::string port_;
  SerialDevice dev_;
};

TEST_F(SerialLine, OpenIsExclusiveAndFramingIsChecked) {
  SerialDevice second;
  EXPECT_FALSE(second.Open(port_));
  EXPECT_EQ(second.LastError(), EBUSY);
  EXPECT_FALSE(dev_.Configure(LineSettings{12345, 'N', 8, 1}));
  EXPECT_FALSE(dev_.Configure(LineSettings{9600, 'X', 8, 1}));
  EXPECT_FALSE(dev_.Configure(LineSettings{9600, 'N', 9, 1}));
  EXPECT_TRUE(dev_.Configure(LineSettings{9600, 'e', 7, 1}));
  dev_.Close();
  EXPECT_TRUE(second.Open(port_)) << "free again after Close, errno " << second.LastError();
}

TEST_F(SerialLine, ReadsWaitForTheFirstByteAtMostTheirTime) {
  char buf[16];
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(dev_.Read(buf, sizeof buf, 150), 0);
  EXPECT_GE(MsSince(t0), 145);
  EXPECT_LT(MsSince(t0), 1500);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(dev_.WaitReadable(nullptr, 100), SerialDevice::WaitResult::kTimeout);
  EXPECT_GE(MsSince(t0), 95);
  EXPECT_EQ(dev_.QueuedBytes(), 0);
}

TEST_F(SerialLine, WrittenBytesComeBackWhole) {
  const std::string sent = "nel echo 0123456789";
  EXPECT_EQ(dev_.Write(sent.data(), sent.size(), 1000), static_cast<long>(sent.size()));
  std::string got(sent.size(), '\0');
  EXPECT_EQ(dev_.ReadAll(got.data(), got.size(), 2000), static_cast<long>(sent.size()));
  EXPECT_EQ(got, sent);
  // Nothing more: a further read times out.
  char extra;
  EXPECT_EQ(dev_.Read(&extra, 1, 50), 0);
}

TEST_F(SerialLine, StopEventEndsAWaitAndWinsOverData) {
  Event stop;
  std::thread setter([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(80));
    stop.Set();
  });
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(dev_.WaitReadable(&stop, 5000), SerialDevice::WaitResult::kStop);
  setter.join();
  EXPECT_LT(MsSince(t0), 2000);
  ASSERT_EQ(dev_.Write("x", 1, 1000), 1);
  ASSERT_EQ(dev_.WaitReadable(nullptr, 2000), SerialDevice::WaitResult::kData);
  EXPECT_EQ(dev_.WaitReadable(&stop, 0), SerialDevice::WaitResult::kStop);
  stop.Reset();
  EXPECT_EQ(dev_.WaitReadable(&stop, 0), SerialDevice::WaitResult::kData);
  EXPECT_EQ(dev_.QueuedBytes(), 1);
  dev_.Purge();
  EXPECT_EQ(dev_.QueuedBytes(), 0);
}

// Last of the line's tests: the other end goes away.
TEST_F(SerialLine, OtherEndGoneShowsAsHangup) {
  ASSERT_EQ(dev_.Write("\x04", 1, 1000), 1);  // the echo's signal to hang up
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(dev_.WaitReadable(nullptr, 3000), SerialDevice::WaitResult::kHangup);
  EXPECT_LT(MsSince(t0), 2500);
  char buf[4];
  EXPECT_EQ(dev_.Read(buf, sizeof buf, 100), -1);
}
