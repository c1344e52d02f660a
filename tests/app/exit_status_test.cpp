// One exit-status table for every nelctl subcommand, run as a program: usage
// errors, a port without a unit, a file that is not a record and a busy port,
// each with its status, its message and, with --json, one error object.
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "../common/pty_peer.h"
#include "platform/serial_device.h"
#include "run_nelctl.h"

namespace {

using nelctltest::Result;

using nelctltest::RunNelctl;
using nelctltest::TempDir;

std::string NotARecord() {
  const auto p = TempDir() / "not_a_record.nelwave";
  std::ofstream(p) << "this is not a wave record\n";
  return p.string();
}

struct Command {
  std::string name;               // as the error object names it
  std::vector<std::string> args;  // what it needs to get as far as the unit (or the file)
  bool opensPort;
};

// Every subcommand of nelctl.
std::vector<Command> Commands() {
  const std::string record = (TempDir() / "record.nelwave").string();
  return {
      {"analyse", {"analyse", NotARecord()}, false},
      {"bp", {"bp"}, true},
      {"bp-cuff", {"bp-cuff", "--channel", "rbra"}, true},
      {"calibrate gain", {"calibrate", "gain"}, true},
      {"calibrate zero", {"calibrate", "zero"}, true},
      {"cvrr", {"cvrr"}, true},
      {"deflate", {"deflate"}, true},
      {"edf", {"edf", NotARecord(), "--out", (TempDir() / "x.edf").string()}, false},
      {"exam", {"exam", "--out", (TempDir() / "exam").string()}, true},
      {"exercise", {"exercise"}, true},
      {"hold", {"hold"}, true},
      {"probe", {"probe"}, true},
      {"record", {"record", "--out", record}, true},
      {"report", {"report", (TempDir() / "no-session").string()}, false},
      {"signal-check", {"signal-check"}, true},
      {"stream", {"stream", "--seconds", "1"}, true},
      {"version", {"version"}, false},
  };
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
  args.insert(args.end(), more.begin(), more.end());
  return args;
}

// stdout is exactly one JSON object naming the command and the status.
void ExpectErrorObject(const Result& r, const std::string& command, int status, const std::string& mentions) {
  const auto j = nlohmann::json::parse(r.out, nullptr, false);
  ASSERT_FALSE(j.is_discarded()) << "stdout: " << r.out;
  ASSERT_TRUE(j.is_object()) << r.out;
  EXPECT_EQ(j.value("command", ""), command) << r.out;
  ASSERT_TRUE(j.contains("error")) << r.out;
  EXPECT_EQ(j["error"].value("status", -1), status) << r.out;
  const std::string message = j["error"].value("message", "");
  EXPECT_NE(message.find(mentions), std::string::npos) << message;
  EXPECT_NE(r.err.find(message), std::string::npos) << "the same message on stderr: " << r.err;
}

// `nelctl --help` lists the subcommands, and every one of them is in Commands().
TEST(NelctlExitStatus, HelpListsEverySubcommandTheTableCoversAndThePortVariables) {
  const Result r = RunNelctl({"--help"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::set<std::string> listed;
  std::istringstream in(r.out.substr(r.out.find("Subcommands:\n") + 13));
  for (std::string line, name; std::getline(in, line) && !line.empty(); listed.insert(name))
    std::istringstream(line) >> name;
  std::set<std::string> covered;
  for (const Command& c : Commands()) covered.insert(c.args.front());
  EXPECT_EQ(listed, covered);
  for (const char* text : {"Exit status", "NEL_COM<n>", "NEL_PORT_DIR", "\"error\""})
    EXPECT_NE(r.out.find(text), std::string::npos) << text;
}

TEST(NelctlExitStatus, UsageErrorsExitTwoWithAMessage) {
  struct Case {
    std::string command;
    std::vector<std::string> args;
    std::string mentions;
  };
  std::vector<Case> cases;
  for (const Command& c : Commands()) {
    cases.push_back({c.name, With(c.args, {"--no-such-option"}), "--no-such-option"});
    if (c.opensPort) {
      cases.push_back({c.name, With(c.args, {"--port", "0"}), "--port"});
      cases.push_back({c.name, With(c.args, {"--port", "1", "--simulate"}), "--simulate"});
    }
  }
  const std::string record = NotARecord();
  cases.insert(cases.end(), {
                                {"version", {"version", "now"}, "now"},
                                {"analyse", {"analyse"}, "file"},
                                {"analyse", {"analyse", record, "--height", "10"}, "--height"},
                                {"analyse", {"analyse", record, "--ankle", "--toe"}, "--toe"},
                                {"bp-cuff", {"bp-cuff", "--channel", "wrist"}, "wrist"},
                                {"calibrate gain", {"calibrate", "gain", "--channels", "4"}, "--channels"},
                                {"record", {"record"}, "--out"},
                                {"edf", {"edf", record}, "--out"},
                                {"exam", {"exam"}, "--out"},
                                {"exam", {"exam", "--out", record, "--pressure", "200"}, "--pressure"},
                                {"record", {"record", "--out", record, "--pressure", "200"}, "--pressure"},
                                // Refused by the command itself, before it looks for a unit.
                                {"bp", {"bp", "--cuffs", "rbra,wrist"}, "wrist"},
                                {"hold", {"hold", "--category", "feet"}, "feet"},
                                {"exercise", {"exercise", "--timing", "sometimes"}, "sometimes"},
                            });
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result r = RunNelctl(With(c.args, {"--json"}));
    EXPECT_EQ(r.status, 2) << r.err;
    ExpectErrorObject(r, c.command, 2, c.mentions);
  }
  // Without --json: the message and the way to the options on stderr, nothing on stdout.
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    const Result r = RunNelctl(With(c.args, {"--no-such-option"}));
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("nelctl " + c.name + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("nelctl " + c.name + " --help"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  const Result none = RunNelctl({});
  EXPECT_EQ(none.status, 2);
  EXPECT_NE(none.err.find("subcommand"), std::string::npos) << none.err;
}

// No unit found by the search, a port where no unit is, and a file that is not a wave record.
TEST(NelctlExitStatus, FailuresWithJsonPrintOneErrorObjectWithTheTablesStatus) {
  for (const Command& c : Commands()) {
    SCOPED_TRACE(c.name);
    if (c.opensPort) {
      const Result searched = RunNelctl(With(c.args, {"--json"}));
      EXPECT_EQ(searched.status, 2) << searched.err;
      ExpectErrorObject(searched, c.name, 2, "no unit answers on ports 1 to 149");
      const Result r = RunNelctl(With(c.args, {"--port", "149", "--json"}));
      EXPECT_EQ(r.status, 2) << r.err;
      ExpectErrorObject(r, c.name, 2, "COM149");
    } else if (c.name == "analyse" || c.name == "edf" || c.name == "report") {
      const Result r = RunNelctl(With(c.args, {"--json"}));
      EXPECT_EQ(r.status, 1) << r.err;
      ExpectErrorObject(r, c.name, 1, "");
    }
  }
  EXPECT_FALSE(std::filesystem::exists(TempDir() / "record.nelwave"));
  EXPECT_FALSE(std::filesystem::exists(TempDir() / "exam")) << "an exam without a unit writes no session";
  EXPECT_FALSE(std::filesystem::exists(TempDir() / "x.edf"));
}

TEST(NelctlExitStatus, BusyPortGivesFourFromEveryCommandThatOpensOne) {
  nel::test::PtyPeer unit;
  nel::platform::SerialDevice holder;
  ASSERT_TRUE(holder.Open(unit.Path()));
  for (const Command& c : Commands()) {
    if (!c.opensPort) continue;
    SCOPED_TRACE(c.name);
    const Result r = RunNelctl(With(c.args, {"--port", "1", "--json"}), unit.Path());
    EXPECT_EQ(r.status, 4) << r.err;
    ExpectErrorObject(r, c.name, 4, "busy");
  }
  EXPECT_TRUE(unit.Received().empty()) << "nothing sent to a busy port";
}

TEST(NelctlExitStatus, VersionAsJson) {
  const Result plain = RunNelctl({"version"});
  const Result r = RunNelctl({"version", "--json"});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(j["command"], "version");
  EXPECT_EQ(std::to_string(j["version"].get<unsigned>()) + "\n", plain.out);
  EXPECT_EQ(j["major"].get<unsigned>() * 65536 + j["minor"].get<unsigned>(), j["version"].get<unsigned>());
}

}  // namespace
