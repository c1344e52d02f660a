// The measurement subcommands of nelctl (bp, record, cvrr, exercise, hold,
// signal-check, and bp-cuff and calibrate with --json), run as a program on
// the virtual unit started in nelctl's own process (--simulate), on one
// served by nelsim behind a given port, and without any unit.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "../common/pty_peer.h"
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

// Runs nelctl with `args`: only the virtual unit of --simulate can answer.
Result RunNelctl(const std::vector<std::string>& args) {
  return nelctltest::RunNelctl(args, "", std::chrono::seconds(240));
}

Result RunSimulated(std::vector<std::string> args) {
  for (const char* a : {"--simulate", "--speed", kSpeed, "--subject", kSubject.c_str(), "--json"}) args.push_back(a);
  return RunNelctl(args);
}

nlohmann::json Parse(const Result& r) {
  nlohmann::json j = nlohmann::json::parse(r.out, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << r.out;
  return j;
}

// One measurement per subcommand: exit status 0 and the JSON object's shape
// (the results' accuracy is the library's tests' business).
TEST(NelctlFacade, EveryMeasurementPrintsItsJsonShape) {
  const std::string file = (TempDir() / "record.nelwave").string();
  const std::string nobp = (TempDir() / "nobp.nelwave").string();
  struct Case {
    std::vector<std::string> args;
    std::string command;
    std::vector<std::string> keys;  // present in the object
    std::string list;               // a list member
    size_t length;                  // its length
    std::vector<std::string> itemKeys;
  };
  // clang-format off
  const std::vector<Case> cases = {
      {{"bp"}, "bp", {"mode", "category", "complete", "pulseRate", "trackedRate", "index"}, "cuffs", 4,
       {"cuff", "status", "sbp", "dbp", "map"}},
      {{"bp", "--category", "bra-toe"}, "bp", {"category"}, "cuffs", 4, {"cuff", "status", "sbp"}},
      {{"record", "--out", file}, "record", {"records", "waves", "bp"}, "waves", 6, {}},
      {{"record", "--no-bp", "--pressure", "50", "--out", nobp}, "record", {"records"}, "", 0, {}},
      {{"cvrr", "--seconds", "30"}, "cvrr", {"samples", "heartRate", "rPeaks"}, "", 0, {}},
      {{"exercise", "--checks", "2", "--pause", "5"}, "exercise", {"timing", "seconds"}, "checks", 2,
       {"time", "rbra", "lbra", "rank", "lank"}},
      {{"hold", "--pressure", "60"}, "hold", {}, "cuffs", 4, {"settled"}},
      {{"signal-check"}, "signal-check", {}, "waves", 6, {"wave", "base", "datum", "usedDatum"}},
      {{"bp-cuff", "--channel", "lbra"}, "bp-cuff", {"status", "sbp", "dbp", "map"}, "pulses", 0, {}},
      {{"calibrate", "zero"}, "calibrate zero", {"stored"}, "channels", 4, {"zeroed"}},
  };
  // clang-format on
  std::map<std::string, nlohmann::json> got;
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = RunSimulated(c.args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::printf("nelctl %s: %.1f s\n", c.args.front().c_str(), r.seconds);
    const auto j = Parse(r);
    EXPECT_EQ(j["command"], c.command);
    for (const auto& k : c.keys) EXPECT_TRUE(j.contains(k)) << k << " in " << j;
    if (c.list.empty()) continue;
    ASSERT_TRUE(j[c.list].is_array()) << j;
    EXPECT_TRUE(c.length > 0 ? j[c.list].size() == c.length : !j[c.list].empty()) << j[c.list];
    for (const auto& item : j[c.list])
      for (const auto& k : c.itemKeys) EXPECT_TRUE(item.contains(k)) << k << " in " << item;
    got[c.args.front() + (c.args.size() > 1 ? c.args[1] : "")] = j;
  }
  // Progress on stderr, results alone on stdout (checked by Parse); the cuff
  // names follow the category; the ankle index is the ankle's over the higher arm.
  const auto& bp = got["bp"];
  const int arm = std::max(bp["cuffs"][0]["sbp"].get<int>(), bp["cuffs"][1]["sbp"].get<int>());
  EXPECT_DOUBLE_EQ(bp["index"]["rank"].get<double>(), bp["cuffs"][2]["sbp"].get<double>() / arm);
  EXPECT_EQ(got["bp--category"]["cuffs"][2]["cuff"], "rtoe");
  EXPECT_EQ(got["bp--category"]["cuffs"][3]["cuff"], "ltoe");
  EXPECT_EQ(got["record--out"]["waves"], nlohmann::json({"ECG", "PCG", "RBra", "LBra", "RAnk", "LAnk"}));
  EXPECT_FALSE(got["record--no-bp"].contains("bp"));
  EXPECT_EQ(got["exercise--checks"]["checks"][0]["time"].get<std::string>().size(), 8u) << "hh:mm:ss";

  // The file of `record` read back by `analyse`: its length and the pressures
  // measured before it come with it.
  const Result a = RunNelctl({"analyse", file, "--json"});
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

// The search finds no unit: the message points to --simulate.
TEST(NelctlFacade, WithoutAUnitSaysSoAndFails) {
  const Result r = RunNelctl({"bp"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("no unit answers"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("--simulate"), std::string::npos) << r.err;
  EXPECT_TRUE(r.out.empty()) << r.out;
}

TEST(NelctlFacade, TimeOutStopsTheMeasurement) {
  const Result r = RunSimulated({"bp", "--timeout", "10"});
  EXPECT_EQ(r.status, 6) << r.err;
  EXPECT_NE(r.err.find("time-out"), std::string::npos) << r.err;
  // --json: the error object alone on stdout.
  const auto j = Parse(r);
  EXPECT_EQ(j["command"], "bp");
  EXPECT_EQ(j["error"]["status"], 6);
  EXPECT_FALSE(j.contains("cuffs")) << "no results";
}

// Ctrl-C in the middle of a measurement: the cuffs deflate, the status is 130
// and --json still prints the error object.
TEST(NelctlFacade, InterruptionDeflatesAndExits130) {
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"bp-cuff", "--channel", "rbra"}, std::vector<std::string>{"bp"}}) {
    SCOPED_TRACE(args.front());
    std::vector<std::string> all = args;
    for (const char* a : {"--simulate", "--speed", kSpeed, "--subject", kSubject.c_str(), "--json"}) all.push_back(a);
    const Result r = nelctltest::Run(all, {"NEL_PORT_DIR=" + (TempDir() / "ports").string()}, std::chrono::seconds(120),
                                     std::chrono::milliseconds(1000));
    EXPECT_EQ(r.status, 130) << r.err;
    EXPECT_NE(r.err.find("interrupted"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("deflated"), std::string::npos) << r.err;
    const auto j = Parse(r);
    EXPECT_EQ(j["command"], args.front());
    EXPECT_EQ(j["error"]["status"], 130);
  }
}

#ifdef NELSIM_PATH
// The unit served by nelsim in another process behind port 5: --port 5 opens
// it through the façade; --port 4, a terminal where no unit answers, fails
// without the search going on to port 5.
TEST(NelctlFacade, PortOpensTheUnitOnThatPortOnly) {
  const auto dir = TempDir() / "nelsim";
  std::filesystem::create_directories(dir);
  nel::test::PtyPeer silent;
  std::filesystem::remove(dir / "COM4");
  std::filesystem::create_symlink(silent.Path(), dir / "COM4");
  std::vector<std::string> argv{NELSIM_PATH, "run",        "--speed",    kSpeed,      "--port",
                                "5",         "--link-dir", dir.string(), "--seconds", "120"};
  std::vector<char*> argp;
  for (auto& a : argv) argp.push_back(a.data());
  argp.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
  pid_t sim = 0;
  ASSERT_EQ(posix_spawn(&sim, argv[0].c_str(), &fa, nullptr, argp.data(), environ), 0);
  posix_spawn_file_actions_destroy(&fa);
  for (int i = 0; i < 200 && !std::filesystem::exists(dir / "COM5"); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  const std::vector<std::string> env{"NEL_PORT_DIR=" + dir.string()};
  const Result on5 = nelctltest::Run({"signal-check", "--port", "5", "--json"}, env, std::chrono::seconds(120));
  const Result on4 = nelctltest::Run({"signal-check", "--port", "4", "--json"}, env, std::chrono::seconds(120));
  kill(sim, SIGTERM);
  waitpid(sim, nullptr, 0);

  ASSERT_EQ(on5.status, 0) << on5.err;
  EXPECT_EQ(Parse(on5)["waves"].size(), 6u);
  EXPECT_EQ(on4.status, 2) << on4.err;
  EXPECT_EQ(Parse(on4)["error"]["status"], 2);
  EXPECT_NE(on4.err.find("no unit answers on port COM4"), std::string::npos) << on4.err;
}
#endif

TEST(NelctlFacade, RefusesACuffOutsideTheCategory) {
  const Result r = RunSimulated({"bp", "--cuffs", "rbra,rtoe"});
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.err.find("rtoe"), std::string::npos) << r.err;
}

}  // namespace
