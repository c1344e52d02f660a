// The settings file: reading, writing, and a write that cannot complete.
// Built for Windows too (the fork() case is POSIX's only).
#include <gtest/gtest.h>

#if !defined(_WIN32)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <climits>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/ini_file.h"
#include "platform/process.h"

using namespace nel::platform;
namespace fs = std::filesystem;

namespace {

class IniFile : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("nel_ini_" + std::to_string(ProcessId()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    path_ = (dir_ / "HardInf.ini").string();
  }
  void TearDown() override { fs::remove_all(dir_); }
  void Write(const std::string& bytes) { std::ofstream(path_, std::ios::binary) << bytes; }
  std::string Contents() {
    std::ifstream f(path_, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }
  fs::path dir_;
  std::string path_;
};

TEST_F(IniFile, MissingFileOrKeyGivesTheDefault) {
  EXPECT_EQ(ReadIniInt(path_, "BED1", "COMPORT", 3), 3);
  Write("[BED1]\nADBASE_ECG=2000\n");
  EXPECT_EQ(ReadIniInt(path_, "BED1", "COMPORT", 3), 3);
  EXPECT_EQ(ReadIniInt(path_, "BED2", "ADBASE_ECG", -5), -5);
  EXPECT_EQ(ReadIniString(path_, "BED1", "NONE", "dflt"), "dflt");
}

TEST_F(IniFile, NamesAreCaseInsensitiveAndBlanksTrimmed) {
  Write("\xEF\xBB\xBF; comment\r\n  [ bed1 ]  \r\n  ComPort =  7 \r\nname = \"quoted value\"\r\nlone = '\r\n");
  EXPECT_EQ(ReadIniInt(path_, "BED1", "COMPORT", 3), 7);
  EXPECT_EQ(ReadIniString(path_, "Bed1", "NAME", ""), "quoted value");
  EXPECT_EQ(ReadIniString(path_, "Bed1", "lone", ""), "'");  // one quote is not a quoted value
}

TEST_F(IniFile, IntegerParsingRules) {
  const struct {
    const char *key, *value;
    int read;  // with the default 5
  } rows[] = {
      {"neg", "-42", -42},      {"plus", "+8", 8}, {"trail", "12abc", 12},          {"word", "abc", 0},
      {"hex", "0x10", 0},       {"empty", "", 5},  {"big", "99999999999", INT_MAX}, {"small", "-99999999999", INT_MIN},
      {"space", "   15   ", 15}};
  std::string text = "[S]\n";
  for (const auto& r : rows) text += std::string(r.key) + "=" + r.value + "\n";
  Write(text);
  for (const auto& r : rows) EXPECT_EQ(ReadIniInt(path_, "S", r.key, 5), r.read) << r.key;
}

TEST_F(IniFile, FirstSectionAndFirstKeyWinMalformedLinesIgnored) {
  Write("garbage line\n[A\n[A]\nk=1\nk=2\nnot a pair\n[B]\nk=3\n[A]\nk=4\n");
  EXPECT_EQ(ReadIniInt(path_, "A", "k", 0), 1);
  EXPECT_EQ(ReadIniInt(path_, "B", "k", 0), 3);
}

TEST_F(IniFile, VeryLongLinesAndBinaryGarbageDoNotCrash) {
  std::string content = "[S]\nlong=" + std::string(200000, '7') + "\nk=5\n";
  std::mt19937 rng(1234);
  for (int i = 0; i < 5000; ++i) content += static_cast<char>(rng());
  content += "\n[T]\nk=9\n";
  Write(content);
  EXPECT_EQ(ReadIniInt(path_, "S", "long", 0), INT_MAX);
  EXPECT_EQ(ReadIniInt(path_, "S", "k", 0), 5);
  EXPECT_EQ(ReadIniInt(path_, "T", "k", 0), 9);
  // Random files of every size: any result, but no crash.
  for (int n = 0; n < 200; ++n) {
    std::string junk(static_cast<size_t>(n * 7), '\0');
    for (auto& c : junk) c = "[]=\r\n ;#ab\xEF\xBB\xBF"[rng() % 13];
    Write(junk);
    (void)ReadIniInt(path_, "a", "b", 0);
    EXPECT_TRUE(WriteIniString(path_, "a", "b", "1"));
    EXPECT_EQ(ReadIniInt(path_, "a", "b", 0), 1) << "content: " << junk;
  }
}

TEST_F(IniFile, WriteCreatesFileSectionAndKeyThenReadsBack) {
  ASSERT_TRUE(WriteIniString(path_, "BED1", "COMPORT", "5"));
  ASSERT_TRUE(WriteIniString(path_, "BED1", "ADBASE_ECG", "2100"));
  ASSERT_TRUE(WriteIniString(path_, "BED2", "COMPORT", "6"));
  EXPECT_EQ(ReadIniInt(path_, "BED1", "COMPORT", 0), 5);
  EXPECT_EQ(ReadIniInt(path_, "BED1", "ADBASE_ECG", 0), 2100);
  EXPECT_EQ(ReadIniInt(path_, "BED2", "COMPORT", 0), 6);
  EXPECT_EQ(Contents(), "[BED1]\r\nCOMPORT=5\r\nADBASE_ECG=2100\r\n[BED2]\r\nCOMPORT=6\r\n");
}

TEST_F(IniFile, WriteReplacesTheKeyAndKeepsEveryOtherLine) {
  Write("\xEF\xBB\xBF; keep me\n[bed1]\nComPort = 3\n\n; and me\nother=x\n\n[BED2]\nk=1\n");
  ASSERT_TRUE(WriteIniString(path_, "BED1", "COMPORT", "12"));
  ASSERT_TRUE(WriteIniString(path_, "BED1", "NEWKEY", "n"));
  EXPECT_EQ(Contents(), "\xEF\xBB\xBF; keep me\n[bed1]\nComPort=12\n\n; and me\nother=x\nNEWKEY=n\n\n[BED2]\nk=1\n");
}

// Every write after the first replaces an existing file.
TEST_F(IniFile, RepeatedWritesReplaceTheFile) {
  ASSERT_TRUE(WriteIniString(path_, "Pressure", "Zero", "12"));
  ASSERT_TRUE(WriteIniString(path_, "Pressure", "Zero", "13"));
  ASSERT_TRUE(WriteIniString(path_, "Pressure", "Gain", "7"));
  EXPECT_EQ(ReadIniInt(path_, "pressure", "zero", -1), 13);
  EXPECT_EQ(ReadIniString(path_, "PRESSURE", "gain", ""), "7");
  EXPECT_EQ(Contents(), "[Pressure]\r\nZero=13\r\nGain=7\r\n");
  std::size_t files = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator(dir_)) ++files;
  EXPECT_EQ(files, 1u) << "no temporary file is left behind";
}

#if !defined(_WIN32)
// A file that cannot be written whole (here: over the process's file size
// limit, in a child process) leaves the old file as it was; so does a missing folder.
TEST_F(IniFile, WriteThatCannotCompleteFailsAndKeepsTheOldFile) {
  EXPECT_FALSE(WriteIniString((dir_ / "no_such_dir" / "x.ini").string(), "S", "k", "v"));
  Write("[S]\nk=old\n");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    std::signal(SIGXFSZ, SIG_IGN);
    const rlimit lim{64, 64};
    setrlimit(RLIMIT_FSIZE, &lim);
    _exit(WriteIniString(path_, "S", "k", std::string(500, 'x')) ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the cut write was reported as done";
  EXPECT_EQ(Contents(), "[S]\nk=old\n");
}
#endif

}  // namespace
