// nelctl analyse, run as a user runs it, over wave record files.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <limits>
#include <sstream>
#include <string>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include "data_ana_access.h"
#include "run_nelctl.h"

namespace {

// Runs nelctl with the arguments (split at spaces); returns its standard output and exit status.
std::string RunNelctl(const std::string& args, int& status) {
  std::vector<std::string> argv;
  std::istringstream words(args);
  for (std::string w; words >> w;) argv.push_back(w);
  const nelctltest::Result r = nelctltest::RunNelctl(argv);
  status = r.status;
  return r.out;
}

std::string SaveFullRecord(bool withPressures) {
  nel_test::Record r = nel_test::FullRecord();
  nel::analysis::WaveRecordFile f;
  f.kinds = r.kinds;
  f.records = r.rec;
  f.hasPressures = withPressures;
  f.pressures[0] = {120, 80, 93};
  f.pressures[1] = {118, 78, 91};
  f.pressures[2] = {132, 80, 97};
  f.pressures[3] = {108, 70, 83};
  const std::string path = testing::TempDir() + (withPressures ? "full_bp.nelwave" : "full.nelwave");
  std::string error;
  EXPECT_TRUE(nel::analysis::WriteWaveRecordFile(path, f, error)) << error;
  return path;
}

TEST(NelctlAnalyse, PrintsResultsAndMarkPositionsAsJson) {
  const std::string path = SaveFullRecord(true);
  int status = -1;
  const auto j = nlohmann::json::parse(RunNelctl("analyse " + path + " --json", status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(j["ok"].get<bool>());
  EXPECT_EQ(j["mode"], "ankle");
  for (const char* key : {"HeartRate", "RightPWV", "LeftPWV", "ET", "records"}) EXPECT_TRUE(j.contains(key)) << key;
  // The file's pressures are used: ABI 132/120 and 108/120.
  EXPECT_FLOAT_EQ(j["RightABI"].get<float>(), 1.1f);
  EXPECT_FLOAT_EQ(j["LeftABI"].get<float>(), 0.9f);
  EXPECT_TRUE(j["marks"]["PCG"]["1"].is_array());
  EXPECT_FALSE(j["marks"]["RAnk"].contains("7"));  // working marks removed in ankle mode

  // Pressures on the command line replace the file's; toe mode keeps the ankle indices unset.
  const auto t =
      nlohmann::json::parse(RunNelctl("analyse " + path + " --json --toe --bp 120/80/93,-,96/60/70,-", status));
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

TEST(NelctlAnalyse, RecordsTheAnalysisCannotUseExitFiveWithTheReason) {
  struct Case {
    const char* name;
    std::function<void(nel::analysis::WaveRecordFile&)> change;
    int result;
    const char* reason;
  } cases[] = {
      // A toe wave in the PCG's place: without heart sounds rate 7 was "complete", ET about 20 s.
      {"rate7",
       [](nel::analysis::WaveRecordFile& f) {
         f.sampleRate = 7;
         f.kinds[1] = WAVE_RTOE;
       },
       DATAANA_BAD_SAMPLE_RATE, "sample rate not supported"},
      {"nan",
       [](nel::analysis::WaveRecordFile& f) { f.records[123].Wave[3] = std::numeric_limits<float>::quiet_NaN(); },
       DATAANA_BAD_SAMPLE, "not a number or beyond 1e9 in magnitude (LBra, record 123)"},
  };
  for (const auto& c : cases) {
    nel_test::Record r = nel_test::FullRecord();
    nel::analysis::WaveRecordFile f;
    f.kinds = r.kinds;
    f.records = r.rec;
    c.change(f);
    const std::string path = testing::TempDir() + c.name + ".nelwave";
    std::string error;
    ASSERT_TRUE(nel::analysis::WriteWaveRecordFile(path, f, error)) << error;
    int status = -1;
    const auto j = nlohmann::json::parse(RunNelctl("analyse " + path + " --json", status));
    EXPECT_EQ(status, 5) << c.name;
    EXPECT_EQ(j["error"]["status"].get<int>(), status) << c.name;
    EXPECT_FALSE(j["ok"].get<bool>()) << c.name;
    EXPECT_EQ(j["result"].get<int>(), c.result) << c.name;
    EXPECT_NE(j["reason"].get<std::string>().find(c.reason), std::string::npos) << j["reason"];
    EXPECT_EQ(j["ET"].get<int>(), -1) << c.name;
    const std::string table = RunNelctl("analyse " + path, status);
    const size_t line = table.find("analysis      incomplete: ");
    EXPECT_LT(line, table.find(c.reason)) << table;
    EXPECT_NE(table.find(c.reason), std::string::npos) << table;
  }

  // Systolic pressures of 0 are not measured: the ABI was printed as inf with exit status 0.
  int status = -1;
  const std::string table = RunNelctl("analyse " + SaveFullRecord(false) + " --bp 0/80/93,0/78/91,132/80/97,-", status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(table.find("ABI           right -1.00  left -1.00"), std::string::npos) << table;
}

}  // namespace
