// nelctl probe: finds the unit by the library's port search (or takes --port)
// and prints its port and firmware version (read directly, before the library
// opens the port).
#include <cstdio>
#include <memory>

#include <nel/nel.h>
#include <nel/platform/port_names.h>
#include "commands.h"
#include "host_loop.h"
#include "simulate.h"
#include "unit_check.h"

namespace {

struct Options {
  int port = 0;  // 0: search
  bool json = false;
  nelctl::SimulateOptions sim;
};

void Probe(const Options& o) {
  // With --simulate the virtual unit serves behind port 1, where the search finds it.
  const auto sim = nelctl::StartSimulation(o.sim);
  const int port = nelctl::FindPort(o.port);
  const nelctl::UnitVersion v = nelctl::ReadUnitVersion(port);
  const std::string firmware = std::to_string(v.a) + "." + std::to_string(v.b) + "." + std::to_string(v.c);
  if (o.json)
    nelctl::PrintJson("probe",
                      {{"port", port}, {"device", nel::platform::PortDevicePath(port)}, {"firmware", firmware}});
  else
    std::printf("port %d %s\nfirmware %s\n", port, nelctl::DescribePort(port).c_str(), firmware.c_str());
}

void Setup(CLI::App& program) {
  auto* cmd = program.add_subcommand("probe", "Find the unit and print its port and firmware version");
  auto opt = std::make_shared<Options>();
  nelctl::AddSimulateOptions(cmd, opt->sim);
  nelctl::AddPortOption(cmd, opt->port);
  cmd->add_flag("--json", opt->json, "Print the result as JSON");
  cmd->callback([opt] { Probe(*opt); });
}

nelctl::NelctlCommand registered("probe", &Setup);

}  // namespace
