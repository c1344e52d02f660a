// nelctl signal-check: the base level and amplitude of every wave of the category.
//
//   nelctl signal-check [--category bra-ank|bra-toe] [--json]
//                       [--simulate [--subject FILE] [--speed X]] [--timeout S]
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "facade_host.h"

namespace {

// 4000 settling frames and four blocks of 2100.
constexpr double kCheckSeconds =
    (TnelHardBase::kSignalCheckSettling + TnelHardBase::kSignalCheckBlocks * TnelHardBase::kSignalCheckBlockFrames) /
    1000.0;

struct Options {
  nelctl::FacadeOptions host;
  std::string category = "bra-ank";
};

void Run(const Options& o) {
  nelctl::FacadeHost host(o.host, nelctl::CategoryFromName(o.category));
  TnelHardBase& hb = host.Base();
  hb.SignalCheck_Start();
  const double start = host.VirtualSeconds();
  host.RunUntil(
      "signal check", kCheckSeconds + 30.0, [&] { return host.Status().SignalCheckEnd; },
      [&] {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%5.1f s left  ",
                      std::max(0.0, kCheckSeconds - (host.VirtualSeconds() - start)));
        return buf + host.PressureText();
      });
  int base[8] = {}, datum[8] = {}, useBase[8] = {}, useDatum[8] = {};
  hb.SignalCheck_GetADBaseDatum(base, datum);
  hb.GetADBaseValue(useBase, useDatum);
  hb.SignalCheck_Cancel();
  const auto& l = hb.Layout();
  if (o.host.json) {
    nlohmann::json j;
    j["category"] = o.category;
    nlohmann::json waves = nlohmann::json::array();
    for (int p = 0; p < l.waveCount; ++p)
      waves.push_back({{"wave", nelctl::WaveLabel(l.waves[p])},
                       {"base", base[p]},
                       {"datum", datum[p]},
                       {"usedBase", useBase[p]},
                       {"usedDatum", useDatum[p]}});
    j["waves"] = waves;
    nelctl::PrintJson("signal-check", j);
  } else {
    std::printf("%-5s %8s %8s %10s %10s\n", "wave", "base", "datum", "used base", "used datum");
    for (int p = 0; p < l.waveCount; ++p)
      std::printf("%-5s %8d %8d %10d %10d\n", nelctl::WaveLabel(l.waves[p]), base[p], datum[p], useBase[p],
                  useDatum[p]);
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
