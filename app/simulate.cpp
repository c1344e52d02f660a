#include "simulate.h"

#include "commands.h"

#ifdef NELCTL_HAVE_SIM
#include "sim/unit_server.h"
#endif

namespace nelctl {

void AddSimulateOptions(CLI::App* cmd, SimulateOptions& opt) {
  cmd->add_flag("--simulate", opt.on, "Serve a virtual unit in this process (port 1) and use it");
  cmd->add_option("--speed", opt.speed, "Virtual unit: virtual time per real time")
      ->check(CLI::Range(0.1, 50.0));
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

 private:
  nel::sim::UnitServer server_;
};

}  // namespace

std::unique_ptr<Simulation> StartSimulation(const SimulateOptions& opt) {
  if (!opt.on) return nullptr;
  nel::sim::SubjectConfig cfg;
  std::string err;
  if (!opt.subject.empty() && !nel::sim::LoadSubjectFile(opt.subject, cfg, &err)) throw Failure(err, 2);
  if (opt.toeLines) cfg.SetToeLines(*opt.toeLines);
  nel::sim::UnitServer::Options o;
  o.speed = opt.speed;
  o.port = 1;
  auto sim = std::make_unique<SimulationImpl>(cfg, o);
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
