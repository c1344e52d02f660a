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
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_nelctl.h"

namespace {

// The virtual unit's speed. Measured with nelctl bp: the ASan+UBSan build
// gives the same four results at 12, 20 and 35 times real time and falls
// behind at 50 (results move, the wall time grows); 20 leaves a margin for a
// loaded machine in every build.
constexpr const char* kSpeed = "20";

const std::string kSubject = std::string(NEL_SOURCE_DIR) + "/sim/subjects/default.json";
constexpr const char* kSites[] = {"rbra", "lbra", "rank", "lank"};
constexpr double kTolerance = 15.0;  // mmHg, one cuff's result against the subject's pressure

using nelctltest::Result;

std::filesystem::path TempDir() {
  static const std::filesystem::path dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("nelctl_facade_" + std::to_string(::getpid()));
    std::filesystem::create_directories(p / "ports");
    return p;
  }();
  return dir;
}

// Runs nelctl with `args`. No serial port of the machine exists for it (an
// empty port directory): only the virtual unit of --simulate can answer.
Result RunNelctl(const std::vector<std::string>& args) {
  return nelctltest::Run(args, {"NEL_PORT_DIR=" + (TempDir() / "ports").string()}, std::chrono::seconds(240));
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

nlohmann::json Truth() {
  std::ifstream in(kSubject);
  return nlohmann::json::parse(in);
}

// Every measured cuff is close to the subject's pressure at its site.
void ExpectNearTruth(const nlohmann::json& cuffs) {
  const auto sites = Truth()["sites"];
  ASSERT_EQ(cuffs.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    const auto& c = cuffs[k];
    SCOPED_TRACE(kSites[k]);
    EXPECT_EQ(c["cuff"], kSites[k]);
    EXPECT_EQ(c["status"], "ok");
    EXPECT_NEAR(c["sbp"].get<double>(), sites[kSites[k]]["sbp"].get<double>(), kTolerance);
    EXPECT_NEAR(c["dbp"].get<double>(), sites[kSites[k]]["dbp"].get<double>(), kTolerance);
    EXPECT_GT(c["map"].get<int>(), c["dbp"].get<int>());
    EXPECT_LT(c["map"].get<int>(), c["sbp"].get<int>());
  }
}

TEST(NelctlFacade, BpMeasuresFourCuffsNearTheSubjectsPressures) {
  const Result r = RunSimulated({"bp"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::printf("nelctl bp: %.1f s\n", r.seconds);
  const auto j = Parse(r);
  EXPECT_EQ(j["mode"], "simultaneous");
  EXPECT_EQ(j["category"], "bra-ank");
  EXPECT_TRUE(j["complete"]);
  ExpectNearTruth(j["cuffs"]);
  // The measurement expected the heart rate the ECG tracker reported before it.
  EXPECT_EQ(j["pulseRate"], j["trackedRate"]);
  EXPECT_NEAR(j["pulseRate"].get<double>(), Truth()["heart_rate_bpm"].get<double>(), 10.0);
  // The ankle index of each side from the measured pressures.
  const int armSbp = std::max(j["cuffs"][0]["sbp"].get<int>(), j["cuffs"][1]["sbp"].get<int>());
  EXPECT_DOUBLE_EQ(j["index"]["rank"].get<double>(), j["cuffs"][2]["sbp"].get<double>() / armSbp);
  // Progress went to stderr, the results alone to stdout.
  EXPECT_NE(r.err.find("RBra"), std::string::npos) << r.err;
}

// In the brachial-toe category the virtual unit wears toe cuffs on lines 2
// and 3; they are measured in steps, within the wider band of a little cuff.
TEST(NelctlFacade, BpOnToeCuffsInTheBrachialToeCategory) {
  const Result r = RunSimulated({"bp", "--category", "bra-toe"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = Parse(r);
  EXPECT_EQ(j["category"], "bra-toe");
  const auto sites = Truth()["sites"];
  ASSERT_EQ(j["cuffs"].size(), 4u);
  const char* toes[] = {"rtoe", "ltoe"};
  for (int k = 2; k < 4; ++k) {
    SCOPED_TRACE(toes[k - 2]);
    EXPECT_EQ(j["cuffs"][k]["cuff"], toes[k - 2]);
    EXPECT_EQ(j["cuffs"][k]["status"], "ok");
    EXPECT_NEAR(j["cuffs"][k]["sbp"].get<double>(), sites[toes[k - 2]]["sbp"].get<double>(), 20.0);
  }
}

TEST(NelctlFacade, RecordWritesAFileThatAnalyseReadsBack) {
  const std::string file = (TempDir() / "record.nelwave").string();
  const Result r = RunSimulated({"record", "--out", file});
  ASSERT_EQ(r.status, 0) << r.err;
  std::printf("nelctl record: %.1f s\n", r.seconds);
  const auto rec = Parse(r);
  EXPECT_EQ(rec["records"], 15000);
  EXPECT_EQ(rec["waves"], nlohmann::json({"ECG", "PCG", "RBra", "LBra", "RAnk", "LAnk"}));
  ExpectNearTruth(rec["bp"]["cuffs"]);

  const Result a = RunNelctl({"analyse", file, "--json"});
  ASSERT_EQ(a.status, 0) << a.err;
  const auto ana = Parse(a);
  EXPECT_EQ(ana["records"], 15000);
  EXPECT_EQ(ana["mode"], "ankle");
  EXPECT_NEAR(ana["HeartRate"].get<double>(), Truth()["heart_rate_bpm"].get<double>(), 5.0);
  // The pressures measured before the record came with the file: the analysis's
  // ankle index is the one of the measurement.
  const auto& cuffs = rec["bp"]["cuffs"];
  const double arm = std::max(cuffs[0]["sbp"].get<double>(), cuffs[1]["sbp"].get<double>());
  EXPECT_NEAR(ana["RightABI"].get<double>(), cuffs[2]["sbp"].get<double>() / arm, 1e-3);
  EXPECT_NEAR(ana["LeftABI"].get<double>(), cuffs[3]["sbp"].get<double>() / arm, 1e-3);
}

TEST(NelctlFacade, RecordWithoutBpSavesNoPressures) {
  const std::string file = (TempDir() / "nobp.nelwave").string();
  const Result r = RunSimulated({"record", "--no-bp", "--pressure", "50", "--out", file});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(Parse(r).contains("bp"));
  std::ifstream in(file, std::ios::binary);
  std::string header, line;
  while (std::getline(in, line) && line != "data") header += line + "\n";
  EXPECT_NE(header.find("waves ECG PCG RBra LBra RAnk LAnk\n"), std::string::npos) << header;
  EXPECT_NE(header.find("records 15000\n"), std::string::npos) << header;
  EXPECT_EQ(header.find("bp "), std::string::npos) << header;
}

TEST(NelctlFacade, CvrrReportsTheSubjectsHeartRate) {
  const Result r = RunSimulated({"cvrr", "--seconds", "30"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::printf("nelctl cvrr: %.1f s\n", r.seconds);
  const auto j = Parse(r);
  EXPECT_EQ(j["samples"], 30000);
  EXPECT_NEAR(j["heartRate"].get<double>(), Truth()["heart_rate_bpm"].get<double>(), 5.0);
  EXPECT_GT(j["rPeaks"].get<int>(), 25);
}

TEST(NelctlFacade, ExerciseRunsTwoChecks) {
  const Result r = RunSimulated({"exercise", "--checks", "2", "--pause", "5"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::printf("nelctl exercise: %.1f s\n", r.seconds);
  const auto j = Parse(r);
  EXPECT_EQ(j["timing"], "pause");
  ASSERT_EQ(j["checks"].size(), 2u);
  const auto sites = Truth()["sites"];
  for (const auto& c : j["checks"]) {
    for (const char* s : kSites) EXPECT_NEAR(c[s]["sbp"].get<double>(), sites[s]["sbp"].get<double>(), kTolerance) << s;
    EXPECT_EQ(c["time"].get<std::string>().size(), 8u);
  }
  // Two checks and a 5 s pause: at least two measurements' worth of the unit's time.
  EXPECT_GT(j["seconds"].get<double>(), 2 * 20.0 + 5.0);
}

TEST(NelctlFacade, HoldSettlesInItsBand) {
  const Result r = RunSimulated({"hold", "--pressure", "60"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = Parse(r);
  ASSERT_EQ(j["cuffs"].size(), 4u);
  for (const auto& c : j["cuffs"]) {
    EXPECT_GE(c["settled"].get<double>(), 59.3) << c;
    EXPECT_LE(c["settled"].get<double>(), 64.2) << c;
  }
}

TEST(NelctlFacade, SignalCheckFindsTheEcgBase) {
  const Result r = RunSimulated({"signal-check"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = Parse(r);
  ASSERT_EQ(j["waves"].size(), 6u);
  EXPECT_EQ(j["waves"][0]["wave"], "ECG");
  EXPECT_NEAR(j["waves"][0]["base"].get<double>(), 2130, 400);
  // The heart sound's amplitude becomes the datum in use (at least 20).
  EXPECT_EQ(j["waves"][1]["usedDatum"].get<int>(), std::max(j["waves"][1]["datum"].get<int>(), 20));
}

TEST(NelctlFacade, WithoutAUnitSaysSoAndFails) {
  for (const char* cmd : {"bp", "hold", "cvrr"}) {
    const Result r = RunNelctl({cmd});
    EXPECT_EQ(r.status, 2) << cmd;
    EXPECT_NE(r.err.find("no unit answers"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--simulate"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const std::string file = (TempDir() / "none.nelwave").string();
  EXPECT_EQ(RunNelctl({"record", "--out", file}).status, 2);
  EXPECT_FALSE(std::filesystem::exists(file));
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

TEST(NelctlFacade, BpCuffAndCalibrationPrintJson) {
  const Result bp = RunSimulated({"bp-cuff", "--channel", "lbra"});
  ASSERT_EQ(bp.status, 0) << bp.err;
  const auto j = Parse(bp);
  EXPECT_EQ(j["command"], "bp-cuff");
  EXPECT_EQ(j["status"], "ok");
  EXPECT_NEAR(j["sbp"].get<double>(), Truth()["sites"]["lbra"]["sbp"].get<double>(), kTolerance);
  EXPECT_GT(j["pulses"].size(), 5u);

  const Result zero = RunSimulated({"calibrate", "zero"});
  ASSERT_EQ(zero.status, 0) << zero.err;
  const auto z = Parse(zero);
  EXPECT_EQ(z["command"], "calibrate zero");
  EXPECT_EQ(z["stored"], false);
  ASSERT_EQ(z["channels"].size(), 4u);
  for (const auto& c : z["channels"]) EXPECT_TRUE(c["zeroed"].get<bool>()) << c;
}

#ifdef NELSIM_PATH
// The unit served by nelsim in another process behind port 5: --port 5 opens
// it through the façade; --port 4, a terminal where no unit answers, fails
// without the search going on to port 5.
TEST(NelctlFacade, PortOpensTheUnitOnThatPortOnly) {
  const auto dir = TempDir() / "nelsim";
  std::filesystem::create_directories(dir);
  const int silent = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(silent, 0);
  ASSERT_EQ(grantpt(silent), 0);
  ASSERT_EQ(unlockpt(silent), 0);
  std::filesystem::remove(dir / "COM4");
  std::filesystem::create_symlink(ptsname(silent), dir / "COM4");
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
  close(silent);

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
