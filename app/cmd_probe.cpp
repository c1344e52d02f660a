// nelctl probe: finds the unit by the library's port search and prints its
// port and firmware version (read directly, before the library opens the port).
#include <cstdio>
#include <memory>

#include "commands.h"
#include "host_loop.h"
#include "nel/nel.h"
#include "simulate.h"
#include "unit_check.h"

namespace {

void Probe(const nelctl::SimulateOptions& simOpt) {
  // With --simulate the virtual unit serves behind port 1, where the search finds it.
  const auto sim = nelctl::StartSimulation(simOpt);
  TnelHardCtl ctl;
  const int port = ctl.CheckQX7700BComPortNo(0x80);
  if (port < 0) throw nelctl::Failure("no unit answers on ports 1 to 149", nelctl::kStatusNoUnit);
  const nelctl::UnitVersion v = nelctl::ReadUnitVersion(port);
  std::printf("port %d %s\nfirmware %u.%u.%u\n", port, nelctl::DescribePort(port).c_str(), v.a, v.b, v.c);
}

void Setup(CLI::App& program) {
  auto* cmd = program.add_subcommand("probe", "Find the unit and print its port and firmware version");
  auto simOpt = std::make_shared<nelctl::SimulateOptions>();
  nelctl::AddSimulateOptions(cmd, *simOpt);
  cmd->callback([simOpt] { Probe(*simOpt); });
}

nelctl::NelctlCommand registered("probe", &Setup);

}  // namespace
