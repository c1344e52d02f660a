// nelctl deflate: stops every pump and opens every valve of the unit, for a
// unit whose cuffs a host that died left inflated.
//
//   nelctl deflate [--port N] [--json] [--simulate [--speed X] [--subject FILE] [--inflate P]]
//
// Finds the unit by the port search (or takes --port), sends "pump off" and
// "valve open" for all lines at once with the library's protocol on the port
// opened on its own, and waits for the unit's acknowledgement of both among
// whatever else it sends (a unit left sampling keeps streaming; sampling is
// neither needed nor touched). With --simulate it also shows the virtual
// unit's lines before the commands and once they have emptied; --inflate P
// first leaves every cuff of the virtual unit filling above P mmHg.
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include <nel/nel.h>
#include <nel/platform/port_names.h>
#include "commands.h"
#include "host_loop.h"
#include "simulate.h"
#include "unit_check.h"

namespace {

constexpr int kAckWaitMs = 1500;
// The virtual unit: how long (its time) the report waits for the cuffs to
// empty, and below which pressure a cuff counts as empty.
constexpr double kEmptyWaitSeconds = 10.0;
constexpr double kEmptyMmhg = 15.0;

struct Options {
  int port = 0;  // 0: search
  bool json = false;
  nelctl::SimulateOptions sim;
};

// Sends pump off and valve open for every line; returns when the unit has
// acknowledged both. Throws Failure when the port cannot be used or the unit
// does not acknowledge.
void SendDeflate(int port) {
  const std::string where = nelctl::DescribePort(port);
  nelctl::CheckPort(port);
  // The library's protocol on the port alone, without the reader thread. The
  // open discards whatever waited on the line: earlier replies cannot pass
  // for acknowledgements.
  QXProtocol line;
  if (line.OpenPort(nel::platform::PortName(port), 230400, 8, 1, 'N') < 0)
    throw nelctl::Failure("port " + where + " is busy", nelctl::kStatusBusy);
  if (!line.SetPump(-1, 0, 0) || !line.SetGap(-1, true)) {
    line.ClosePort();
    throw nelctl::Failure("cannot write to port " + where, nelctl::kStatusDeviceLost);
  }
  // The unit answers command 0x80 + n with 0xF0 + n; no data byte has bit 7 set.
  auto replyTo = [&](int entry) { return static_cast<unsigned char>(0xF0 | (line.Entry(entry).Code & 0x0F)); };
  const unsigned char pumpReply = replyTo(QXProtocol::kPump), valveReply = replyTo(QXProtocol::kGap);
  bool pumpAck = false, valveAck = false;
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAckWaitMs);
  while (!(pumpAck && valveAck) && std::chrono::steady_clock::now() < end) {
    unsigned char b = 0;
    int n = 0;
    if (!line.ReadBytes(&b, 1, n)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    pumpAck = pumpAck || b == pumpReply;
    valveAck = valveAck || b == valveReply;
  }
  line.ClosePort();
  if (!pumpAck || !valveAck)
    throw nelctl::Failure(std::string("pump off and valve open sent to every line on port ") + where +
                              ", but no unit acknowledged " +
                              (pumpAck    ? "the valves"
                               : valveAck ? "the pumps"
                                          : "them"),
                          nelctl::kStatusNoUnit);
}

nlohmann::json LinesJson(const nelctl::SimState& s) {
  nlohmann::json a = nlohmann::json::array();
  for (int l = 0; l < 4; ++l)
    a.push_back({{"line", l},
                 {"mmhg", s.line[l].mmhg},
                 {"pumpRunning", s.line[l].pumpRunning},
                 {"valveOpen", s.line[l].valveOpen}});
  return a;
}

bool Empty(const nelctl::SimState& s) {
  for (const auto& l : s.line)
    if (l.mmhg >= kEmptyMmhg) return false;
  return true;
}

void Deflate(const Options& o) {
  // With --simulate the virtual unit serves behind port 1, where the search finds it.
  const auto sim = nelctl::StartSimulation(o.sim);
  const int port = nelctl::FindPort(o.port, "connect the unit, or give its --port");
  nelctl::SimState before, after;
  if (sim) before = sim->State();
  SendDeflate(port);
  if (sim) {
    after = sim->State();
    while (!Empty(after) && after.seconds - before.seconds < kEmptyWaitSeconds) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      after = sim->State();
    }
  }

  if (o.json) {
    nlohmann::json j;
    j["port"] = port;
    j["device"] = nel::platform::PortDevicePath(port);
    j["acknowledged"] = true;
    if (sim)
      j["virtualUnit"] = {{"before", LinesJson(before)},
                          {"after", LinesJson(after)},
                          {"afterSeconds", after.seconds - before.seconds},
                          {"ceilingTrips", after.ceilingTrips},
                          {"watchdogTrips", after.watchdogTrips}};
    nelctl::PrintJson("deflate", j);
    return;
  }
  std::printf("port %d %s: every pump stopped, every valve open (acknowledged)\n", port,
              nelctl::DescribePort(port).c_str());
  if (!sim) return;
  auto text = [](const nelctl::SimLine& l) {
    char t[64];
    std::snprintf(t, sizeof t, "%6.1f mmHg pump %-3s valve %-6s", l.mmhg, l.pumpRunning ? "on" : "off",
                  l.valveOpen ? "open" : "closed");
    return std::string(t);
  };
  std::printf("virtual unit, before and %.1f s after:\n", after.seconds - before.seconds);
  for (int l = 0; l < 4; ++l)
    std::printf("  line %d  %s -> %s\n", l, text(before.line[l]).c_str(), text(after.line[l]).c_str());
  std::printf("  firmware releases: ceiling %lld, watchdog %lld\n", after.ceilingTrips, after.watchdogTrips);
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("deflate", "Stop every pump and open every valve of the unit");
  cmd->add_flag("--json", opt->json, "Print the result as JSON");
  nelctl::AddSimulateOptions(cmd, opt->sim);
  nelctl::AddPortOption(cmd, opt->port);
  cmd->add_option("--inflate", opt->sim.inflate,
                  "Virtual unit: first leave every cuff filling above this pressure, mmHg")
      ->check(CLI::Range(20.0, 300.0))
      ->needs(cmd->get_option("--simulate"));
  cmd->callback([opt] { Deflate(*opt); });
}

nelctl::NelctlCommand registered("deflate", &Setup);

}  // namespace
