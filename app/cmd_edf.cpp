// nelctl edf: a saved wave record as an EDF+ file, the marks of its analysis
// as annotations (edf_export.h).
//
//   nelctl edf RECORD --out FILE.edf [--id CODE] [--name NAME] [--sex M|F]
//              [--birth YYYY-MM-DD] [--start YYYY-MM-DDTHH:MM:SS] [--json]
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include "commands.h"
#include "edf_export.h"

namespace {

struct Options {
  std::string record;
  std::string out;
  nelctl::EdfSubject subject;
  bool json = false;
};

void Run(const Options& o) {
  if (!nelctl::kEdfExport) throw nelctl::Failure("this nelctl was built without EDF export (no EDFlib)");
  std::string error;
  if (!nelctl::CheckEdfSubject(o.subject, error)) throw nelctl::Failure(error, nelctl::kStatusUsage);
  nel::analysis::WaveRecordFile rec;
  if (!nel::analysis::ReadWaveRecordFile(o.record, rec, error)) throw nelctl::Failure(error);
  if (!nelctl::WriteEdf(o.out, rec, o.subject, error)) throw nelctl::Failure(error);
  const nelctl::EdfCounts counts = nelctl::CountEdf(rec);
  if (o.json) {
    nelctl::PrintJson("edf", {{"file", o.out},
                              {"signals", counts.signals},
                              {"records", counts.dataRecords},
                              {"annotations", counts.annotations}});
  } else {
    std::printf("%s: %d signals, %lld data records of 1 s, %lld annotations\n", o.out.c_str(), counts.signals,
                counts.dataRecords, counts.annotations);
  }
}

void Setup(CLI::App& program) {
  auto o = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("edf", "Export a saved wave record as EDF+, its marks as annotations");
  cmd->add_option("record", o->record, "wave record file (as written by nelctl record)")->required();
  cmd->add_option("--out", o->out, "EDF+ file to write")->required();
  cmd->add_option("--id", o->subject.code, "patient code");
  cmd->add_option("--name", o->subject.name, "patient name");
  cmd->add_option("--sex", o->subject.sex, "M or F");
  cmd->add_option("--birth", o->subject.birth, "birth date, YYYY-MM-DD");
  cmd->add_option("--start", o->subject.start, "start of the recording, YYYY-MM-DDTHH:MM:SS (default 1985-01-01)");
  cmd->add_flag("--json", o->json, "print file, signals, data records and annotations as JSON");
  cmd->callback([o] { Run(*o); });
}

nelctl::NelctlCommand registered("edf", &Setup);

}  // namespace
