#include "simulate.h"

#include "commands.h"

#ifdef NELCTL_HAVE_SIM
#include "sim/unit_server.h"
#endif

namespace nelctl {

void AddSimulateOptions(CLI::App* cmd, SimulateOptions& opt) {
  cmd->add_flag("--simulate", opt.on, "Serve a virtual unit in this process (port 1) and use it");
  cmd->add_option("--speed", opt.speed, "Virtual unit: virtual time per real time")->check(CLI::Range(0.1, 50.0));
  cmd->add_option("--subject", opt.subject, "Virtual unit: subject file (JSON)")->check(CLI::ExistingFile);
}

#ifdef NELCTL_HAVE_SIM
namespace {

class SimulationImpl : public Simulation {
 public:
  SimulationImpl(const nel::sim::SubjectConfig& cfg, nel::sim::UnitServer::Options o) : server_(cfg, o) {}
  bool Start(std::string* err) { return server_.Start(err); }
  std::string DevicePath() const override { return server_.DevicePath(); }
  int Port() const override { return server_.Port(); }
  SimState State() override {
    return server_.WithUnit([](const nel::sim::VirtualUnit& u) {
      SimState s;
      s.seconds = u.TimeS();
      for (int l = 0; l < 4; ++l) s.line[l] = {u.LinePressure(l), u.Line(l).PumpRunning(), u.Line(l).ValveOpen()};
      s.ceilingTrips = u.Stats().firmware_ceiling_trips;
      s.watchdogTrips = u.Stats().firmware_watchdog_trips;
      return s;
    });
  }
  // Leaves every line filling above `mmhg`: every valve closed, every pump at
  // full level (the command repeated every 0.1 s, as a host repeats it while
  // it inflates, so that the unit's watchdog keeps out of it). The replies
  // are taken off the line, as the host that sent the commands would have.
  bool Fill(double mmhg) {
    return server_.WithUnit([mmhg](nel::sim::VirtualUnit& u) {
      const uint8_t closeAll[] = {0x87, 0x0C};
      const uint8_t pumpAll[] = {0x86, 0x27, 0x0F, 0x04, 0x00};  // level 9999 (0x270F), all lines
      u.Receive(closeAll, sizeof closeAll);
      const int64_t limit = u.Frame() + 120 * nel::sim::kFramesPerSecond;
      auto filled = [&] {
        for (int l = 0; l < 4; ++l)
          if (u.LinePressure(l) < mmhg) return false;
        return true;
      };
      while (!filled() && u.Frame() < limit) {
        u.Receive(pumpAll, sizeof pumpAll);
        u.Advance(nel::sim::kFramesPerSecond / 10);
      }
      u.ConsumeOutput(u.Output().size());
      return filled() && u.Stats().firmware_ceiling_trips == 0 && u.Stats().firmware_watchdog_trips == 0;
    });
  }

 private:
  nel::sim::UnitServer server_;
};

}  // namespace

std::unique_ptr<Simulation> StartSimulation(const SimulateOptions& opt) {
  if (!opt.on) return nullptr;
  nel::sim::SubjectConfig cfg;
  std::string err;
  if (!opt.subject.empty() && !nel::sim::LoadSubjectFile(opt.subject, cfg, &err)) throw Failure(err, kStatusFailure);
  if (opt.toeLines) cfg.SetToeLines(*opt.toeLines);
  nel::sim::UnitServer::Options o;
  o.speed = opt.speed;
  o.port = 1;
  auto sim = std::make_unique<SimulationImpl>(cfg, o);
  if (opt.inflate > 0 && !sim->Fill(opt.inflate))
    throw Failure("the virtual unit cannot fill its cuffs to " + std::to_string(static_cast<int>(opt.inflate)) +
                  " mmHg");
  if (!sim->Start(&err)) throw Failure("cannot start the virtual unit: " + err);
  return sim;
}
#else
std::unique_ptr<Simulation> StartSimulation(const SimulateOptions& opt) {
  if (!opt.on) return nullptr;
  throw Failure("this nelctl was built without the virtual unit");
}
#endif

}  // namespace nelctl
