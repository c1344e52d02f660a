// --simulate for nelctl subcommands: the virtual unit in this process, behind
// port 1, where the port search finds it first.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace nelctl {

struct SimulateOptions {
  bool on = false;
  double speed = 1.0;
  std::string subject;
  std::optional<bool> toeLines;  // when set: lines 2 and 3 carry toe (true) or ankle cuffs
  // When above 0: before the unit goes on the line, every cuff is left filling
  // (valve closed, pump running) above this pressure, mmHg, the way a host that
  // died in the middle of an inflation leaves a unit.
  double inflate = 0.0;
};

// One pump/valve line of the virtual unit, as the unit itself knows it.
struct SimLine {
  double mmhg = 0.0;
  bool pumpRunning = false;
  bool valveOpen = true;
};
struct SimState {
  double seconds = 0.0;  // virtual time
  SimLine line[4];
  long long ceilingTrips = 0, watchdogTrips = 0;  // the unit's own releases
};

// Adds --simulate, --speed and --subject to a subcommand.
void AddSimulateOptions(CLI::App* cmd, SimulateOptions& opt);

// Keeps the virtual unit running while it lives.
class Simulation {
 public:
  virtual ~Simulation() = default;
  virtual std::string DevicePath() const = 0;
  virtual int Port() const = 0;
  virtual SimState State() = 0;
};

// Starts the virtual unit when opt.on; null when it is off. Throws Failure
// when it cannot start (or when nelctl was built without the virtual unit).
std::unique_ptr<Simulation> StartSimulation(const SimulateOptions& opt);

}  // namespace nelctl
