// The measurement subcommands of nelctl (bp, record, cvrr, exercise, hold,
// signal-check, and bp-cuff and calibrate with --json), run as a program on
// the virtual unit started in nelctl's own process (--simulate).

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../common/golden.h"
#include "run_nelctl.h"

namespace {

// The virtual unit's speed. Measured with nelctl bp: the ASan+UBSan build
// gives the same four results at 12, 20 and 35 times real time and falls
// behind at 50 (results move, the wall time grows); 20 leaves a margin for a
// loaded machine in every build.
constexpr const char* kSpeed = "20";

const std::string kSubject = std::string(NEL_SOURCE_DIR) + "/sim/subjects/default.json";

using nelctltest::Result;
using nelctltest::TempDir;

// Runs nelctl on its own virtual unit with --json; SIGINT after `interruptAfter` when given.
Result RunSimulated(std::vector<std::string> args,
                    std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(-1)) {
  for (const char* a : {"--simulate", "--speed", kSpeed, "--subject", kSubject.c_str(), "--json"}) args.push_back(a);
  return nelctltest::Run(args, {"NEL_PORT_DIR=" + (TempDir() / "ports").string()}, std::chrono::seconds(240),
                         interruptAfter);
}

nlohmann::json Parse(const Result& r) {
  nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << r.out;
  return j;
}

// The keys of an object with the type of each value; a list with its length
// ("many" above 8: the pulses found are the library's count) and its first
// item's shape. The values themselves are the library's business.
std::string Shape(const nlohmann::json& j) {
  if (!j.is_structured()) return j.type_name();
  std::string s(j.is_object() ? "{" : "[");
  if (j.is_array())
    s.append(j.size() > 8 ? "many" : std::to_string(j.size()))
        .append(j.empty() ? "" : "*")
        .append(j.empty() ? "" : Shape(j[0]));
  for (auto it = j.begin(); j.is_object() && it != j.end(); ++it)
    s.append(s.size() > 1 ? "," : "").append(it.key()).append(":").append(Shape(*it));
  return s.append(j.is_object() ? "}" : "]");
}

// One measurement per subcommand: exit status 0, progress on stderr and the
// result object alone on stdout, with the shape kept in the golden file.
TEST(NelctlFacade, EveryMeasurementPrintsItsJsonShape) {
  const std::string file = (TempDir() / "record.nelwave").string();
  const std::string nobp = (TempDir() / "nobp.nelwave").string();
  const std::vector<std::vector<std::string>> cases = {
      {"bp"},
      {"bp", "--category", "bra-toe"},
      {"record", "--out", file},
      {"record", "--no-bp", "--pressure", "50", "--out", nobp},
      {"cvrr", "--seconds", "30"},
      {"exercise", "--checks", "2", "--pause", "5"},
      {"hold", "--pressure", "60"},
      {"signal-check"},
      {"bp-cuff", "--channel", "lbra"},
      {"calibrate", "zero"},
  };
  std::map<std::string, nlohmann::json> got;
  std::string shapes;
  for (const auto& args : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    const Result r = RunSimulated(args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::printf("nelctl %s: %.1f s\n", args.front().c_str(), r.seconds);
    const auto j = Parse(r);
    const std::string key = args.front() + (args.size() > 1 ? args[1] : "");
    got[key] = j;
    shapes += key + " " + Shape(j) + "\n";
  }
  nel::golden::Check("app/golden/json_shapes.txt", shapes,
                     "The JSON object of each measurement subcommand of nelctl on its virtual unit\n"
                     "(default subject, --simulate --speed 20 --json): keys, value types, list lengths.\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 nel_app_facade_tests --gtest_filter=*JsonShape*");
  // The cuff names follow the category; the ankle index is the ankle's over the higher arm.
  const auto& bp = got["bp"];
  const int arm = std::max(bp["cuffs"][0]["sbp"].get<int>(), bp["cuffs"][1]["sbp"].get<int>());
  EXPECT_DOUBLE_EQ(bp["index"]["rank"].get<double>(), bp["cuffs"][2]["sbp"].get<double>() / arm);
  EXPECT_EQ(got["bp--category"]["cuffs"][2]["cuff"], "rtoe");
  EXPECT_EQ(got["bp--category"]["cuffs"][3]["cuff"], "ltoe");
  EXPECT_EQ(got["record--out"]["waves"], nlohmann::json({"ECG", "PCG", "RBra", "LBra", "RAnk", "LAnk"}));
  EXPECT_EQ(got["exercise--checks"]["checks"][0]["time"].get<std::string>().size(), 8u) << "hh:mm:ss";

  // The file of `record` read back by `analyse`: its length and the pressures
  // measured before it come with it.
  const Result a = nelctltest::RunNelctl({"analyse", file, "--json"});
  ASSERT_EQ(a.status, 0) << a.err;
  const auto ana = Parse(a);
  const auto& rec = got["record--out"];
  EXPECT_EQ(ana["records"], rec["records"]);
  const auto& cuffs = rec["bp"]["cuffs"];
  const double armSbp = std::max(cuffs[0]["sbp"].get<double>(), cuffs[1]["sbp"].get<double>());
  EXPECT_NEAR(ana["RightABI"].get<double>(), cuffs[2]["sbp"].get<double>() / armSbp, 1e-3);
  std::ifstream in(nobp, std::ios::binary);
  std::string header, line;
  while (std::getline(in, line) && line != "data") header += line + "\n";
  EXPECT_NE(header.find("records "), std::string::npos) << header;
  EXPECT_EQ(header.find("bp "), std::string::npos) << "no pressures in a record without bp: " << header;
}

// Measurements that end without their result: the status, the message on
// stderr and, with --json, the error object alone on stdout. Ctrl-C in the
// middle of a measurement deflates the cuffs first.
TEST(NelctlFacade, StoppedMeasurementsExitWithTheirStatus) {
  struct Case {
    std::vector<std::string> args;
    int interruptAfterMs, status;
    std::vector<std::string> mentions;
  };
  const Case cases[] = {
      {{"bp", "--timeout", "10"}, -1, 6, {"time-out"}},
      {{"bp", "--cuffs", "rbra,rtoe"}, -1, 2, {"rtoe"}},
      {{"bp-cuff", "--channel", "rbra"}, 1000, 130, {"interrupted", "deflated"}},
      {{"bp"}, 1000, 130, {"interrupted", "deflated"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = RunSimulated(c.args, std::chrono::milliseconds(c.interruptAfterMs));
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const auto& m : c.mentions) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    const auto j = Parse(r);
    EXPECT_EQ(j["command"], c.args.front());
    EXPECT_EQ(j["error"]["status"], c.status);
    EXPECT_FALSE(j.contains("cuffs")) << "no results";
  }
}

}  // namespace
