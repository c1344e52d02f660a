// nelctl analyse, run as a user runs it, over wave record files.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "analysis/wave_record_file.h"
#include "data_ana_access.h"

namespace {

// Runs nelctl with the arguments; returns its standard output and exit status.
std::string RunNelctl(const std::string& args, int& status) {
  const std::string cmd = std::string(NELCTL_PATH) + " " + args + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  std::string out;
  char buf[4096];
  size_t n;
  while (p && (n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int rc = p ? pclose(p) : -1;
  status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

std::string SaveFullRecord(bool withPressures) {
  nel_test::Record r = nel_test::FullRecord();
  nel::WaveRecordFile f;
  f.kinds = r.kinds;
  f.records = r.rec;
  f.hasPressures = withPressures;
  f.pressures[0] = {120, 80, 93};
  f.pressures[1] = {118, 78, 91};
  f.pressures[2] = {132, 80, 97};
  f.pressures[3] = {108, 70, 83};
  const std::string path = testing::TempDir() + (withPressures ? "full_bp.nelwave" : "full.nelwave");
  std::string error;
  EXPECT_TRUE(nel::WriteWaveRecordFile(path, f, error)) << error;
  return path;
}

TEST(NelctlAnalyse, PrintsResultsAndMarkPositionsAsJson) {
  const std::string path = SaveFullRecord(true);
  int status = -1;
  const auto j = nlohmann::json::parse(RunNelctl("analyse " + path + " --json", status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(j["ok"].get<bool>());
  EXPECT_NEAR(j["HeartRate"].get<int>(), 75, 2);
  EXPECT_FLOAT_EQ(j["RightABI"].get<float>(), 1.1f);
  EXPECT_FLOAT_EQ(j["LeftABI"].get<float>(), 0.9f);
  EXPECT_GT(j["RightPWV"].get<float>(), 900.0f);
  EXPECT_GE(j["marks"]["PCG"]["1"].size(), 15u);
  EXPECT_GE(j["marks"]["RAnk"]["2"].size(), 15u);
  EXPECT_FALSE(j["marks"]["RAnk"].contains("7"));  // working marks removed in ankle mode

  // Pressures on the command line replace the file's; toe mode keeps the ankle indices unset.
  const auto t = nlohmann::json::parse(
      RunNelctl("analyse " + path + " --json --toe --bp 120/80/93,-,96/60/70,-", status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(t["mode"], "toe");
  EXPECT_FLOAT_EQ(t["RightTBI"].get<float>(), 0.8f);
  EXPECT_EQ(t["LeftTBI"].get<float>(), -1.0f);
  EXPECT_EQ(t["RightABI"].get<float>(), -1.0f);
}

TEST(NelctlAnalyse, PrintsATableAndRefusesBadInput) {
  const std::string path = SaveFullRecord(false);
  int status = -1;
  const std::string table = RunNelctl("analyse " + path + " --height 180 --bp 120/80/93,120/80/93,132/80/97,-", status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(table.find("ABI           right 1.10  left -1.00"), std::string::npos) << table;
  EXPECT_NE(table.find("heart rate"), std::string::npos);

  RunNelctl("analyse " + path + " --bp 120/80", status);
  EXPECT_EQ(status, 2);
  RunNelctl("analyse " + testing::TempDir() + "missing.nelwave", status);
  EXPECT_EQ(status, 1);
  RunNelctl("analyse " + path + " --ankle --toe", status);
  EXPECT_NE(status, 0);
}

}  // namespace
