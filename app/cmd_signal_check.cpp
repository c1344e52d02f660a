// nelctl signal-check: the base level and amplitude of every wave of the category.
//
//   nelctl signal-check [--category bra-ank|bra-toe] [--json]
//                       [--simulate [--subject FILE] [--speed X]] [--timeout S]
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "exam_steps.h"
#include "facade_host.h"

namespace {

struct Options {
  nelctl::FacadeOptions host;
  std::string category = "bra-ank";
};

void Run(const Options& o) {
  nelctl::FacadeHost host(o.host, nelctl::CategoryFromName(o.category));
  const nlohmann::json check = nelctl::SignalCheck(host);
  if (o.host.json) {
    nlohmann::json j = check;
    j["category"] = o.category;
    nelctl::PrintJson("signal-check", j);
  } else {
    std::printf("%-5s %8s %8s %10s %10s\n", "wave", "base", "datum", "used base", "used datum");
    for (const auto& w : check["waves"])
      std::printf("%-5s %8d %8d %10d %10d\n", w["wave"].get<std::string>().c_str(), w["base"].get<int>(),
                  w["datum"].get<int>(), w["usedBase"].get<int>(), w["usedDatum"].get<int>());
    std::printf("(unit counts: base = middle of the signal, datum = half its range)\n");
  }
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("signal-check", "Measure the base level and amplitude of every wave");
  cmd->add_option("--category", opt->category, "bra-ank or bra-toe")->capture_default_str();
  nelctl::AddFacadeOptions(cmd, opt->host);
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("signal-check", &Setup);

}  // namespace
