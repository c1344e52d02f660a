// nelctl record: the 15 s wave record at a held cuff pressure, saved to a
// wave record file (analysis/wave_record_file.h) that nelctl analyse reads.
//
//   nelctl record --out FILE [--pressure 60] [--bp|--no-bp] [--mode M] [--max 250]
//                 [--category bra-ank|bra-toe] [--json]
//                 [--simulate [--subject FILE] [--speed X]] [--timeout S]
//
// With --bp (the default) the category's four cuffs are measured first and
// their pressures go into the file. Then the cuffs are held at --pressure;
// once the hold is established its regulation stops with the cuffs inflated
// (a held pass would skip the recording), the record runs (2000 settling
// frames, then 15000 records) and the cuffs deflate. The file's wave list
// (RAnk/LAnk or RToe/LToe) tells the category it was recorded in.
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include "commands.h"
#include "exam_steps.h"

namespace {

struct Options {
  nelctl::FacadeOptions host;
  std::string out;
  int pressure = 60;
  bool bp = true;
  std::string mode = "simultaneous";
  int max = 250;
  std::string category = "bra-ank";
};

// What was recorded and saved (with --bp, the measurement too).
void Report(const Options& o, const nel::analysis::WaveRecordFile& file, const nelctl::BPOutcome& bp) {
  std::string waves;
  for (auto k : file.kinds) waves += std::string(waves.empty() ? "" : " ") + nelctl::WaveLabel(k);
  if (o.host.json) {
    nlohmann::json j;
    j["file"] = o.out;
    j["category"] = o.category;
    j["pressure"] = o.pressure;
    j["records"] = file.records.size();
    j["sampleRate"] = file.sampleRate;
    j["waves"] = nlohmann::json::array();
    for (auto k : file.kinds) j["waves"].push_back(nelctl::WaveLabel(k));
    if (o.bp) j["bp"] = nelctl::BPToJson(bp);
    nelctl::PrintJson("record", j);
  } else {
    if (o.bp) nelctl::PrintBPTable(bp);
    std::printf("wave record at %d mmHg: %zu records at %d Hz, waves %s, category %s\n", o.pressure,
                file.records.size(), file.sampleRate, waves.c_str(), o.category.c_str());
    std::printf("saved to %s (nelctl analyse %s)\n", o.out.c_str(), o.out.c_str());
  }
}

void Run(const Options& o) {
  const tagTYPE_DETECTCATEGORY category = nelctl::CategoryFromName(o.category);
  nel::analysis::WaveRecordFile file;
  nelctl::BPOutcome bp;
  {
    // The file is written after the unit is closed and the cuffs are deflated.
    nelctl::FacadeHost host(o.host, category);
    if (o.bp) bp = nelctl::MeasureLimbs(host, category, nelctl::ModeFromName(o.mode), o.max, file);
    nelctl::HoldAndRecord(host, o.pressure, file);
  }
  std::string error;
  if (!nel::analysis::WriteWaveRecordFile(o.out, file, error)) throw nelctl::Failure(error);
  Report(o, file, bp);
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("record", "Record 15 s of waves at a held cuff pressure into a file");
  cmd->add_option("--out", opt->out, "wave record file to write")->required();
  cmd->add_option("--pressure", opt->pressure, "cuff pressure during the record, mmHg")
      ->capture_default_str()
      ->check(CLI::Range(20, 150));
  cmd->add_flag("--bp,!--no-bp", opt->bp, "measure the cuffs first and save their pressures (default on)");
  cmd->add_option("--mode", opt->mode, "BP measurement mode")->capture_default_str();
  cmd->add_option("--max", opt->max, "maximum cuff pressure of the BP measurement, mmHg")
      ->capture_default_str()
      ->check(CLI::Range(60, 300));
  cmd->add_option("--category", opt->category, "bra-ank or bra-toe")->capture_default_str();
  nelctl::AddFacadeOptions(cmd, opt->host);
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("record", &Setup);

}  // namespace
