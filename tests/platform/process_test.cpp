// Programs run to their end or to their time limit, and found on PATH; the
// same cases for every system (a shell's commands do the work).
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/process.h"

using namespace nel::platform;
namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

#if defined(_WIN32)
const char* const kShell = "C:\\windows\\system32\\cmd.exe";
const char* const kShellFlag = "/c";
const char* const kTwoStreams = "echo out& echo err 1>&2& exit 0";
const char* const kLong = "ping -n 30 127.0.0.1 >NUL";
const char kPathSeparator = ';';
void SetPath(const std::string& value) { _putenv_s("PATH", value.c_str()); }
#else
const char* const kShell = "/bin/sh";
const char* const kShellFlag = "-c";
const char* const kTwoStreams = "echo out; echo err 1>&2; exit 0";
const char* const kLong = "sleep 30";
const char kPathSeparator = ':';
void SetPath(const std::string& value) { setenv("PATH", value.c_str(), 1); }
#endif

std::vector<std::string> Shell(const std::string& script) { return {kShell, kShellFlag, script}; }

// Removed without failing: under Wine a file the program wrote may stay
// open for some milliseconds after its end is reported.
void RemoveFolder(const fs::path& dir) {
  std::error_code ec;
  fs::remove_all(dir, ec);
}

fs::path TempFolder(const std::string& name) {
  const fs::path dir = fs::temp_directory_path() / ("nel_process_" + std::to_string(ProcessId()) + "_" + name);
  fs::create_directories(dir);
  return dir;
}

std::string Contents(const fs::path& p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

TEST(RunProgram, ExitStatusComesBack) {
  for (int code : {0, 3, 42}) {
    const ProgramRun run = RunProgram(Shell("exit " + std::to_string(code)), "");
    EXPECT_TRUE(run.started) << run.error;
    EXPECT_FALSE(run.timedOut);
    EXPECT_EQ(run.exitCode, code);
  }
}

TEST(RunProgram, OutputAndErrorGoToTheFileReplacingIt) {
  const fs::path dir = TempFolder("output");
  const fs::path log = dir / "log.txt";
  std::ofstream(log) << "old contents, longer than what comes\n";
  const ProgramRun run = RunProgram(Shell(kTwoStreams), log.string(), milliseconds(20000));
  EXPECT_EQ(run.exitCode, 0) << run.error;
  const std::string text = Contents(log);
  EXPECT_NE(text.find("out"), std::string::npos) << text;
  EXPECT_NE(text.find("err"), std::string::npos) << text;
  EXPECT_EQ(text.find("old"), std::string::npos) << text;
  RemoveFolder(dir);
}

TEST(RunProgram, MissingProgramIsNotStarted) {
  const ProgramRun run = RunProgram({(TempFolder("missing") / "no-such-program").string()}, "");
  EXPECT_FALSE(run.started);
  EXPECT_FALSE(run.error.empty());
  EXPECT_FALSE(RunProgram({}, "").started);
  RemoveFolder(TempFolder("missing"));
}

TEST(RunProgram, ProgramPastItsLimitIsKilled) {
  const auto t0 = std::chrono::steady_clock::now();
  const ProgramRun run = RunProgram(Shell(kLong), "", milliseconds(300));
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_TRUE(run.started) << run.error;
  EXPECT_TRUE(run.timedOut);
  EXPECT_EQ(run.exitCode, -1);
  EXPECT_GE(took, milliseconds(290));
  EXPECT_LT(took, milliseconds(10000));
}

// The first name found wins over later names; within a name, the first
// folder of PATH. Folders of that name are no programs.
TEST(FindProgram, SearchesPathInOrder) {
  const fs::path dir = TempFolder("path");
  const fs::path a = dir / "a", b = dir / "b";
  fs::create_directories(a / "tool");  // a folder, not a program
  fs::create_directories(b);
#if defined(_WIN32)
  const char* const ext = ".exe";
#else
  const char* const ext = "";
#endif
  for (const fs::path& p : {b / (std::string("tool") + ext), b / (std::string("other") + ext)}) {
    std::ofstream(p) << "#!/bin/sh\n";
    fs::permissions(p, fs::perms::owner_all);
  }
  const char* old = std::getenv("PATH");
  const std::string saved = old ? old : "";
  SetPath(a.string() + kPathSeparator + b.string());
  const std::string tool = FindProgram({"nothing", "tool", "other"});
  const std::string none = FindProgram({"nothing"});
  SetPath(saved);
  EXPECT_EQ(fs::path(tool), b / (std::string("tool") + ext));
  EXPECT_EQ(none, "");
  RemoveFolder(dir);
}

}  // namespace
