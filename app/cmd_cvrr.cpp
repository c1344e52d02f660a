// nelctl cvrr: the CVRR check, an ECG recording analysed for R-R variability.
//
//   nelctl cvrr [--seconds 60] [--json] [--simulate [--subject FILE] [--speed X]] [--timeout S]
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "facade_host.h"
#include "unit_check.h"

namespace {

struct Options {
  nelctl::FacadeOptions host;
  int seconds = 60;
};

void Run(const Options& o) {
  // The check switches the façade to the ECG/PCG category itself.
  nelctl::FacadeHost host(o.host, DETECT_ECG_PCG);
  TnelHardBase& hb = host.Base();
  const int32_t length = o.seconds * 1000;
  hb.CVRRCheck_Start(length);
  const double total = (TnelHardBase::kCVRRSettling + length) / 1000.0;
  host.RunUntil(
      "cvrr", total + 30.0, [&] { return host.Status().CVRRCheckEnd; },
      [&] {
        char buf[96];
        std::snprintf(buf, sizeof buf, "%5.1f s left  heart rate %d /min",
                      std::max(0.0, (length - hb.CVRRCheck_GetCurrSavedDataLen()) / 1000.0), host.Status().PulseRate);
        return std::string(buf);
      });
  auto result = std::make_unique<tagCVRR_ANA_RESULT>();
  const bool ok = hb.CVRRCheck_GetResult(result.get());
  const uint32_t conclusion = hb.CVRRCheck_GetConclusion();
  hb.CVRRCheck_Cancel();
  if (!ok) throw nelctl::Failure("the CVRR analysis found no result", nelctl::kStatusIncomplete);
  const tagCVRR_ANA_RESULT& r = *result;
  if (o.host.json) {
    nlohmann::json j;
    j["seconds"] = o.seconds;
    j["samples"] = static_cast<int>(r.DataLen);
    j["rPeaks"] = static_cast<int>(r.RCount);
    j["intervals"] = static_cast<int>(r.RRCount);
    j["meanRR"] = static_cast<double>(r.MeanRR);
    j["heartRate"] = static_cast<double>(r.HeartRate);
    j["CVRR"] = static_cast<double>(r.CVRR);
    j["meanDeviation"] = static_cast<double>(r.MeanDev);
    j["over50Count"] = static_cast<int>(r.Over50Count);
    j["over50Ratio"] = static_cast<double>(r.Over50Ratio);
    j["rrRange"] = static_cast<int>(r.RRRange);
    j["minMaxRatio"] = static_cast<double>(r.MinMaxRatio);
    j["conclusion"] = conclusion;
    nelctl::PrintJson("cvrr", j);
  } else {
    std::printf("CVRR check over %d s (%d samples)\n", o.seconds, r.DataLen);
    std::printf("%-22s %10d\n", "R peaks", r.RCount);
    std::printf("%-22s %10.1f /min\n", "heart rate", static_cast<double>(r.HeartRate));
    std::printf("%-22s %10.1f ms\n", "mean R-R", static_cast<double>(r.MeanRR));
    std::printf("%-22s %10.2f %%\n", "CVRR", static_cast<double>(r.CVRR));
    std::printf("%-22s %10.1f ms\n", "mean deviation", static_cast<double>(r.MeanDev));
    std::printf("%-22s %10d (%.1f %%)\n", "intervals off > 50 ms", r.Over50Count,
                static_cast<double>(r.Over50Ratio) * 100.0);
    std::printf("%-22s %10d ms\n", "R-R range", r.RRRange);
    std::printf("%-22s %10.2f\n", "min/max R-R", static_cast<double>(r.MinMaxRatio));
    std::printf("%-22s %#10x\n", "conclusion", conclusion);
  }
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("cvrr", "Record the ECG and analyse the R-R variability (CVRR check)");
  cmd->add_option("--seconds", opt->seconds, "length of the recording, 30 to 300 s")
      ->capture_default_str()
      ->check(CLI::Range(30, 300));
  nelctl::AddFacadeOptions(cmd, opt->host);
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("cvrr", &Setup);

}  // namespace
