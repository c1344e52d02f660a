// Executable folder and paths, diagnostic sink, port names.
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
  SetDiagnosticSink(nullptr, nullptr);  // back to the standard error stream, one line each, tagged
  SetDiagnosticLevel(DiagLevel::kDebug);
  ::testing::internal::CaptureStderr();
  ShowMessageBox("title", "body");
  Log(DiagLevel::kError, "lost\n");
  Log(DiagLevel::kWarning, "w");
  Log(DiagLevel::kInfo, "i");
  Log(DiagLevel::kDebug, "d");
  OutputDebugText("trace");
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "nel: [title] body\nnel: error: lost\nnel: warning: w\nnel: i\nnel: debug: d\nnel: trace\n");
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
  const std::pair<int, const char*> names[] = {
      {1, "COM1"}, {9, "COM9"}, {10, "\\\\.\\COM10"}, {149, "\\\\.\\COM149"}, {0, ""}, {150, ""}, {-3, ""}};
  for (const auto& [number, name] : names) EXPECT_EQ(PortName(number), name) << number;
  const std::pair<const char*, int> numbers[] = {{"COM7", 7},  {"\\\\.\\com12", 12}, {"COM0", 0}, {"COM150", 0},
                                                 {"COM07", 0}, {"LPT1", 0},          {"", 0}};
  for (const auto& [name, number] : numbers) EXPECT_EQ(PortNumberFromName(name), number) << name;
}

TEST(PortNames, DefaultMappingAndOverrides) {
  unsetenv("NEL_PORT_DIR");
  unsetenv("NEL_COM3");
  const std::pair<int, const char*> paths[] = {{1, "/dev/ttyUSB0"}, {16, "/dev/ttyUSB15"}, {17, "/dev/ttyACM0"},
                                               {33, "/dev/ttyS0"},  {149, "/dev/ttyS116"}, {0, ""}};
  for (const auto& [number, path] : paths) EXPECT_EQ(PortDevicePath(number), path) << number;
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
