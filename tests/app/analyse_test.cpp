// nelctl analyse, run as a user runs it, over wave record files: which
// pressures it hands the analysis, the mode, and how it prints the results.
#include <gtest/gtest.h>

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

// The synthetic record of the analysis tests, with the limb pressures when asked for, and a NaN in LBra record 123.
std::string SaveFullRecord(const std::string& name, bool withPressures, bool nan = false) {
  nel_test::Record r = nel_test::FullRecord();
  nel::analysis::WaveRecordFile f;
  f.kinds = r.kinds;
  f.records = r.rec;
  f.hasPressures = withPressures;
  f.pressures[0] = {120, 80, 93};
  f.pressures[1] = {118, 78, 91};
  f.pressures[2] = {132, 80, 97};
  f.pressures[3] = {108, 70, 83};
  if (nan) f.records[123].Wave[3] = std::numeric_limits<float>::quiet_NaN();
  const std::string path = testing::TempDir() + name + ".nelwave";
  std::string error;
  EXPECT_TRUE(nel::analysis::WriteWaveRecordFile(path, f, error)) << error;
  return path;
}

TEST(NelctlAnalyse, UsesTheFilesPressuresOrTheCommandLinesAndPrintsJsonOrATable) {
  const std::string path = SaveFullRecord("full_bp", true);
  int status = -1;
  const auto j = nlohmann::json::parse(RunNelctl("analyse " + path + " --json", status));
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(j["ok"].get<bool>());
  EXPECT_EQ(j["mode"], "ankle");
  for (const char* key : {"HeartRate", "RightPWV", "LeftPWV", "ET", "records"}) EXPECT_TRUE(j.contains(key)) << key;
  // The file's pressures: ABI 132/120 and 108/120.
  EXPECT_FLOAT_EQ(j["RightABI"].get<float>(), 1.1f);
  EXPECT_FLOAT_EQ(j["LeftABI"].get<float>(), 0.9f);
  EXPECT_TRUE(j["marks"]["PCG"]["1"].is_array());

  // Pressures on the command line replace the file's; toe mode keeps the ankle indices unset.
  const auto t =
      nlohmann::json::parse(RunNelctl("analyse " + path + " --json --toe --bp 120/80/93,-,96/60/70,-", status));
  EXPECT_EQ(status, 0);
  EXPECT_EQ(t["mode"], "toe");
  EXPECT_FLOAT_EQ(t["RightTBI"].get<float>(), 0.8f);
  EXPECT_EQ(t["LeftTBI"].get<float>(), -1.0f);
  EXPECT_EQ(t["RightABI"].get<float>(), -1.0f);

  const std::string table = RunNelctl(
      "analyse " + SaveFullRecord("full", false) + " --height 180 --bp 120/80/93,120/80/93,132/80/97,-", status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(table.find("ABI           right 1.10  left -1.00"), std::string::npos) << table;
  EXPECT_NE(table.find("heart rate"), std::string::npos);
  RunNelctl("analyse " + path + " --bp 120/80", status);
  EXPECT_EQ(status, 2) << "four entries or none";
}

// A record the analysis refuses: status 5, the result code and the reason
// (with the wave and the record of a bad sample) in the error object, and the
// table's first line says so.
TEST(NelctlAnalyse, ARecordTheAnalysisCannotUseExitsFiveWithTheReason) {
  const std::string path = SaveFullRecord("nan", false, true);
  const std::string reason = "not a number or beyond 1e9 in magnitude (LBra, record 123)";
  int status = -1;
  const auto j = nlohmann::json::parse(RunNelctl("analyse " + path + " --json", status));
  EXPECT_EQ(status, 5);
  EXPECT_EQ(j["error"]["status"].get<int>(), 5);
  EXPECT_FALSE(j["ok"].get<bool>());
  EXPECT_EQ(j["result"].get<int>(), DATAANA_BAD_SAMPLE);
  EXPECT_NE(j["reason"].get<std::string>().find(reason), std::string::npos) << j["reason"];
  EXPECT_EQ(j["badSample"], nlohmann::json({{"wave", "LBra"}, {"record", 123}}));
  const std::string table = RunNelctl("analyse " + path, status);
  EXPECT_EQ(status, 5);
  EXPECT_EQ(table.rfind("analysis      incomplete: ", 0), 0u) << table;
  EXPECT_LT(table.find(reason), table.find('\n')) << table;
}

}  // namespace
