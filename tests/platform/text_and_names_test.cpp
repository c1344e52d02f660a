// Code page 936 text, executable folder and paths, diagnostic sink, port names.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <nel/platform/diagnostics.h>
#include <nel/platform/port_names.h>
#include "platform/gbk.h"
#include "platform/paths.h"

using namespace nel::platform;

namespace {

TEST(Gbk, SystemTextBecomesCodePage936Bytes) {
  const std::string gbk = Utf8ToGbk("压力校准失败!\n");
  ASSERT_EQ(gbk.size(), 14u);
  EXPECT_EQ(static_cast<unsigned char>(gbk[0]), 0xD1);
  EXPECT_EQ(static_cast<unsigned char>(gbk[1]), 0xB9);
  EXPECT_EQ(static_cast<unsigned char>(gbk[2]), 0xC1);
  EXPECT_EQ(static_cast<unsigned char>(gbk[3]), 0xA6);
  EXPECT_EQ(gbk.substr(12), "!\n");
  EXPECT_EQ(Utf8ToGbk("plain ascii"), "plain ascii");
}

TEST(Gbk, InvalidUtf8IsMarkedNotDropped) {
  EXPECT_EQ(Utf8ToGbk(std::string("a\xFF"
                                  "b",
                                  3)),
            "a?b");
  EXPECT_EQ(Utf8ToGbk(std::string("x\xE5\x8E", 3)), "x?");  // cut short
}

TEST(Paths, ExecutableFolderAndJoin) {
  const std::string folder = ExecutableFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_TRUE(std::filesystem::is_directory(folder));
  EXPECT_NE(folder.back(), '/');
  EXPECT_EQ(JoinPath("/a/b", "HardInf.ini"), "/a/b/HardInf.ini");
  EXPECT_EQ(JoinPath("/a/b/", "HardInf.ini"), "/a/b/HardInf.ini");
  EXPECT_EQ(JoinPath("", "HardInf.ini"), "HardInf.ini");
}

struct Captured {
  DiagKind kind;
  DiagLevel level;
  std::string title, text;
  int calls = 0;
};

void CaptureSink(DiagKind kind, DiagLevel level, const char* title, size_t tl, const char* text, size_t xl, void* ctx) {
  auto* c = static_cast<Captured*>(ctx);
  c->kind = kind;
  c->level = level;
  c->title.assign(title ? title : "", tl);
  c->text.assign(text, xl);
  ++c->calls;
}

TEST(Diagnostics, HostSinkReceivesTheBytesUnchanged) {
  Captured c;
  SetDiagnosticSink(&CaptureSink, &c);
  const std::string gbk = Utf8ToGbk("压力校准失败!\n");
  OutputDebugText(gbk);
  EXPECT_EQ(c.kind, DiagKind::kDebugString);
  EXPECT_EQ(c.text, gbk);
  ShowMessageBox("title", "body");
  EXPECT_EQ(c.kind, DiagKind::kMessageBox);
  EXPECT_EQ(c.title, "title");
  EXPECT_EQ(c.text, "body");
  EXPECT_EQ(c.level, DiagLevel::kWarning);
  SetDiagnosticSink(nullptr, nullptr);  // back to stderr
  OutputDebugText("to stderr");
  EXPECT_EQ(c.calls, 2);
}

// Texts more detailed than the level set never reach a sink; a long
// formatted line is cut, not overrun.
TEST(Diagnostics, LevelDecidesWhatIsDelivered) {
  Captured c;
  SetDiagnosticSink(&CaptureSink, &c);
  SetDiagnosticLevel(DiagLevel::kWarning);
  OutputDebugText("trace");
  Log(DiagLevel::kInfo, "port found");
  EXPECT_EQ(c.calls, 0);
  Logf(DiagLevel::kError, "unit lost on port %d", 7);
  EXPECT_EQ(c.calls, 1);
  EXPECT_EQ(c.kind, DiagKind::kLog);
  EXPECT_EQ(c.level, DiagLevel::kError);
  EXPECT_EQ(c.text, "unit lost on port 7");
  Logf(DiagLevel::kWarning, "%s", std::string(1000, 'x').c_str());
  EXPECT_EQ(c.text.size(), 255u);
  SetDiagnosticLevel(static_cast<DiagLevel>(99));  // clamped to everything
  EXPECT_EQ(DiagnosticLevel(), DiagLevel::kDebug);
  OutputDebugText("trace");
  EXPECT_EQ(c.level, DiagLevel::kDebug);
  SetDiagnosticSink(nullptr, nullptr);
}

TEST(PortNames, NamesOfPortNumbers) {
  EXPECT_EQ(PortName(1), "COM1");
  EXPECT_EQ(PortName(9), "COM9");
  EXPECT_EQ(PortName(10), "\\\\.\\COM10");
  EXPECT_EQ(PortName(149), "\\\\.\\COM149");
  EXPECT_EQ(PortName(0), "");
  EXPECT_EQ(PortName(150), "");
  EXPECT_EQ(PortName(-3), "");
  EXPECT_EQ(PortNumberFromName("COM7"), 7);
  EXPECT_EQ(PortNumberFromName("\\\\.\\com12"), 12);
  EXPECT_EQ(PortNumberFromName("COM0"), 0);
  EXPECT_EQ(PortNumberFromName("COM150"), 0);
  EXPECT_EQ(PortNumberFromName("COM07"), 0);
  EXPECT_EQ(PortNumberFromName("LPT1"), 0);
  EXPECT_EQ(PortNumberFromName(""), 0);
}

TEST(PortNames, DefaultMappingAndOverrides) {
  unsetenv("NEL_PORT_DIR");
  unsetenv("NEL_COM3");
  EXPECT_EQ(PortDevicePath(1), "/dev/ttyUSB0");
  EXPECT_EQ(PortDevicePath(16), "/dev/ttyUSB15");
  EXPECT_EQ(PortDevicePath(17), "/dev/ttyACM0");
  EXPECT_EQ(PortDevicePath(33), "/dev/ttyS0");
  EXPECT_EQ(PortDevicePath(149), "/dev/ttyS116");
  EXPECT_EQ(PortDevicePath(0), "");

  setenv("NEL_PORT_DIR", "/tmp/ports", 1);
  EXPECT_EQ(PortDevicePath(3), "/tmp/ports/COM3");
  setenv("NEL_COM3", "/dev/ttyUSB7", 1);
  EXPECT_EQ(PortDevicePath(3), "/dev/ttyUSB7");
  EXPECT_TRUE(SetPortPath(3, "/dev/pts/99"));
  EXPECT_EQ(PortDevicePath(3), "/dev/pts/99");
  EXPECT_TRUE(SetPortPath(3, ""));
  EXPECT_EQ(PortDevicePath(3), "/dev/ttyUSB7");
  EXPECT_FALSE(SetPortPath(0, "/dev/null"));
  unsetenv("NEL_COM3");
  unsetenv("NEL_PORT_DIR");
}

}  // namespace
