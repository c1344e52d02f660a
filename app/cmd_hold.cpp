// nelctl hold: the fixed-pressure hold on the category's cuffs.
//
//   nelctl hold [--pressure 60] [--seconds S] [--category bra-ank|bra-toe] [--json]
//               [--simulate [--subject FILE] [--speed X]] [--timeout S]
//
// Brings every cuff of the category to the pressure and waits until the hold
// reports it established; with --seconds it keeps the cuffs at that pressure
// for so long (the unit's time). The cuffs deflate at the end.
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "facade_host.h"

namespace {

// The hold settles in 40 averages of 49 frames once in its band; inflating
// to 60 mmHg takes a few seconds more.
constexpr double kHoldLimitSeconds = 60.0;

struct Options {
  nelctl::FacadeOptions host;
  int pressure = 60;
  double seconds = 0.0;
  std::string category = "bra-ank";
};

void Run(const Options& o) {
  nelctl::FacadeHost host(o.host, nelctl::CategoryFromName(o.category));
  TnelHardBase& hb = host.Base();
  const int K = hb.Layout().cuffCount;
  hb.FixPressure_Start(o.pressure);
  const double start = host.VirtualSeconds();
  host.RunUntil(
      "hold", kHoldLimitSeconds, [&] { return host.Status().FixPressureEnd; },
      [&] {
        char head[48];
        std::snprintf(head, sizeof head, "%5.1f s  settling at %d mmHg  ", host.VirtualSeconds() - start, o.pressure);
        return head + host.PressureText();
      });
  const double settled = host.VirtualSeconds() - start;
  float atSettle[6] = {};
  for (int k = 0; k < K; ++k) atSettle[k] = host.Pressures()[k];

  if (o.seconds > 0) {
    const double end = host.VirtualSeconds() + o.seconds;
    host.RunUntil(
        "hold", o.seconds + 10.0, [&] { return host.VirtualSeconds() >= end; },
        [&] {
          char head[48];
          std::snprintf(head, sizeof head, "%5.1f s left  ", end - host.VirtualSeconds());
          return head + host.PressureText();
        });
  }
  float atEnd[6] = {};
  for (int k = 0; k < K; ++k) atEnd[k] = host.Pressures()[k];
  hb.FixPressure_Cancel(true);

  if (o.host.json) {
    nlohmann::json j;
    j["category"] = o.category;
    j["pressure"] = o.pressure;
    j["settledSeconds"] = settled;
    j["heldSeconds"] = o.seconds;
    nlohmann::json cuffs = nlohmann::json::array();
    for (int k = 0; k < K; ++k)
      cuffs.push_back(
          {{"cuff", nelctl::ChannelName(hb.Layout().cuffs[k])}, {"settled", atSettle[k]}, {"end", atEnd[k]}});
    j["cuffs"] = cuffs;
    nelctl::PrintJson("hold", j);
  } else {
    std::printf("hold at %d mmHg established after %.1f s, held %.1f s more\n", o.pressure, settled, o.seconds);
    std::printf("%-5s %9s %9s\n", "cuff", "settled", "end");
    for (int k = 0; k < K; ++k)
      std::printf("%-5s %9.1f %9.1f\n", nelctl::ChannelLabel(hb.Layout().cuffs[k]), static_cast<double>(atSettle[k]),
                  static_cast<double>(atEnd[k]));
    std::printf("(mmHg)\n");
  }
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("hold", "Hold the cuffs at a fixed pressure");
  cmd->add_option("--pressure", opt->pressure, "pressure to hold, mmHg")
      ->capture_default_str()
      ->check(CLI::Range(20, 150));
  cmd->add_option("--seconds", opt->seconds, "keep holding this long once established")->check(CLI::NonNegativeNumber);
  cmd->add_option("--category", opt->category, "bra-ank or bra-toe")->capture_default_str();
  nelctl::AddFacadeOptions(cmd, opt->host);
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("hold", &Setup);

}  // namespace
