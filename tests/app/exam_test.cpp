// nelctl exam on the virtual unit: the session folder it writes, its replay
// giving the same results pass for pass, a session that cannot be replayed,
// and an exam that fails half way.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_nelctl.h"

namespace {

namespace fs = std::filesystem;
using nelctltest::Result;
using nelctltest::RunNelctl;
using nelctltest::TempDir;

nlohmann::json Json(const std::string& text) {
  const auto j = nlohmann::json::parse(text, nullptr, false);
  EXPECT_FALSE(j.is_discarded()) << text;
  return j;
}

nlohmann::json JsonFile(const fs::path& p) {
  std::ifstream in(p);
  return Json(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
}

// One exam recorded once for the whole suite.
const fs::path& Session() {
  static const fs::path dir = [] {
    const fs::path d = TempDir() / "session";
    const Result r = RunNelctl({"exam", "--simulate", "--out", d.string(), "--json", "--id", "P-7", "--name",
                                "Test Subject", "--sex", "F", "--birth", "1961-04-30", "--height", "164"},
                               "", std::chrono::seconds(120));
    EXPECT_EQ(r.status, 0) << r.err << r.out;
    return d;
  }();
  return dir;
}

TEST(NelctlExam, WritesTheSessionFolder) {
  const nlohmann::json r = JsonFile(Session() / "results.json");
  for (const char* f : {"results.json", "bp.json", "record.nelwave", "record.edf", "report.html", "stream.nelraw"})
    EXPECT_TRUE(fs::is_regular_file(Session() / f)) << f;
  EXPECT_EQ(r["format"], "nel-session 1");
  EXPECT_TRUE(r["ok"].get<bool>());
  EXPECT_EQ(r["subject"]["name"], "Test Subject");
  EXPECT_EQ(r["subject"]["height"], 164);
  EXPECT_EQ(r["units"]["pressure"], "mmHg");
  EXPECT_FALSE(r["firmware"].get<std::string>().empty());
  EXPECT_EQ(r["record"]["records"], 15000);
  EXPECT_EQ(r["analysis"]["mode"], "ankle");
  EXPECT_TRUE(r["analysis"]["ok"].get<bool>()) << r["analysis"]["reason"];
  EXPECT_EQ(r["signalCheck"]["waves"].size(), 6u);
  // Each cuff's envelope: the pulses behind its values, the marked pulses inside the list.
  const nlohmann::json bp = JsonFile(Session() / "bp.json");
  ASSERT_EQ(bp["cuffs"].size(), 4u);
  for (const auto& c : bp["cuffs"]) {
    SCOPED_TRACE(c["cuff"].get<std::string>());
    const int n = static_cast<int>(c["pulses"].size());
    EXPECT_GT(n, 8);
    EXPECT_EQ(c["status"], "ok");
    for (const char* key : {"sbpIndex", "mapIndex", "dbpIndex"}) EXPECT_TRUE(c[key] >= 0 && c[key] < n) << key;
    // Oscillometry: systolic pressure above the mean, the mean above the diastolic, as the pulses marked say.
    const auto pressure = [&](const char* key) { return c["pulses"][c[key].get<int>()]["pressure"].get<double>(); };
    EXPECT_GT(pressure("sbpIndex"), pressure("mapIndex"));
    EXPECT_GT(pressure("mapIndex"), pressure("dbpIndex"));
  }
}

TEST(NelctlExam, ReplayGivesTheRecordedResultsPassForPass) {
  const fs::path out = TempDir() / "replayed";
  const Result r = RunNelctl({"exam", "--replay", Session().string(), "--out", out.string(), "--json"});
  ASSERT_EQ(r.status, 0) << r.err << r.out;
  const nlohmann::json j = Json(r.out);
  const nlohmann::json& replay = j["replay"];
  EXPECT_TRUE(replay["identical"].get<bool>()) << replay.dump();
  EXPECT_EQ(replay["passes"], replay["recordedPasses"]);
  EXPECT_EQ(replay["passesDifferent"], 0);
  EXPECT_EQ(replay["writesDifferent"], 0);
  const nlohmann::json recorded = JsonFile(Session() / "results.json"), again = JsonFile(out / "results.json");
  for (const char* key : {"bp", "analysis", "signalCheck", "subject"}) EXPECT_EQ(recorded[key], again[key]) << key;
  EXPECT_EQ(again["replayOf"], Session().string());
}

// A session file cut short or damaged, or without its results: a clear error, nothing replayed.
TEST(NelctlExam, ASessionThatCannotBeReplayedSaysWhy) {
  const auto copy = [](const std::string& name) {
    const fs::path d = TempDir() / name;
    fs::create_directories(d);
    fs::copy_file(Session() / "results.json", d / "results.json", fs::copy_options::overwrite_existing);
    fs::copy_file(Session() / "stream.nelraw", d / "stream.nelraw", fs::copy_options::overwrite_existing);
    return d;
  };
  const struct {
    std::string name;
    void (*damage)(const fs::path&);
    std::string mentions;
  } cases[] = {
      {"truncated",
       [](const fs::path& d) { fs::resize_file(d / "stream.nelraw", fs::file_size(d / "stream.nelraw") - 7); },
       "record cut short at byte"},
      {"bad-kind",
       [](const fs::path& d) {
         std::fstream f(d / "stream.nelraw", std::ios::in | std::ios::out | std::ios::binary);
         f.seekp(8 + 8);
         f.put('X');
       },
       "unknown record kind at byte 8"},
      {"no-magic",
       [](const fs::path& d) {
         std::fstream f(d / "stream.nelraw", std::ios::in | std::ios::out | std::ios::binary);
         f.put('X');
       },
       "not a stream log"},
      {"no-results", [](const fs::path& d) { fs::remove(d / "results.json"); }, "cannot read the session's results"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path d = copy(c.name);
    c.damage(d);
    const Result r = RunNelctl({"exam", "--replay", d.string(), "--json"});
    EXPECT_EQ(r.status, 1) << r.err;
    const nlohmann::json j = Json(r.out);
    EXPECT_NE(j["error"]["message"].get<std::string>().find(c.mentions), std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(d / "replay")) << "nothing replayed";
  }
}

// The unit's time runs out during the measurement: the cuffs deflate, the
// session keeps what there is and says which step failed.
TEST(NelctlExam, AnExamThatStopsHalfWayKeepsWhatItHas) {
  const fs::path d = TempDir() / "stopped";
  const Result r = RunNelctl({"exam", "--simulate", "--out", d.string(), "--timeout", "20", "--json"});
  EXPECT_EQ(r.status, 6) << r.err;
  const nlohmann::json j = JsonFile(d / "results.json");
  EXPECT_FALSE(j["ok"].get<bool>());
  EXPECT_EQ(j["failed"]["step"], "bp");
  EXPECT_TRUE(j.contains("signalCheck"));
  EXPECT_TRUE(fs::is_regular_file(d / "stream.nelraw"));
  EXPECT_TRUE(fs::is_regular_file(d / "report.html"));
  EXPECT_FALSE(fs::exists(d / "record.edf"));
  EXPECT_NE(r.err.find("cuffs deflated"), std::string::npos) << r.err;
}

}  // namespace
