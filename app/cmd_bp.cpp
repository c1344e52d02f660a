// nelctl bp: a multi-cuff BP measurement through the façade.
//
//   nelctl bp [--cuffs rbra,lbra,rank,lank] [--mode simultaneous|sequential|right-then-left]
//             [--max 250] [--category bra-ank|bra-toe] [--json]
//             [--simulate [--subject FILE] [--speed X]] [--timeout S]
#include <cstdio>
#include <memory>
#include <string>

#include "bp_run.h"
#include "commands.h"
#include "unit_check.h"

namespace {

struct Options {
  nelctl::FacadeOptions host;
  std::string cuffs;
  std::string mode = "simultaneous";
  std::string category = "bra-ank";
  int max = 250;
};

void Run(const Options& o) {
  const tagTYPE_DETECTCATEGORY category = nelctl::CategoryFromName(o.category);
  nelctl::BPRequest req;
  req.cuffs = nelctl::ParseCuffs(o.cuffs, category);
  req.mode = nelctl::ModeFromName(o.mode);
  req.maxPressure = o.max;
  nelctl::FacadeHost host(o.host, category);
  const nelctl::BPOutcome bp = nelctl::MeasureBP(host, req);
  nlohmann::json j = nelctl::BPToJson(bp);
  j["category"] = o.category;
  // With --json the results of an incomplete measurement go beside the error.
  if (!bp.complete && o.host.json) throw nelctl::Failure("not every cuff gave a result", nelctl::kStatusIncomplete, j);
  if (o.host.json) {
    nelctl::PrintJson("bp", j);
  } else {
    nelctl::PrintBPTable(bp);
  }
  std::fflush(stdout);
  if (!bp.complete) throw nelctl::Failure("not every cuff gave a result", nelctl::kStatusIncomplete);
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("bp", "Measure the blood pressure on several cuffs at once or in turn");
  cmd->add_option("--cuffs", opt->cuffs, "comma-separated cuffs (default: the category's four)");
  cmd->add_option("--mode", opt->mode, "simultaneous, sequential or right-then-left")->capture_default_str();
  cmd->add_option("--max", opt->max, "maximum cuff pressure, mmHg")->capture_default_str()->check(CLI::Range(60, 300));
  cmd->add_option("--category", opt->category, "bra-ank or bra-toe")->capture_default_str();
  nelctl::AddFacadeOptions(cmd, opt->host);
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("bp", &Setup);

}  // namespace
