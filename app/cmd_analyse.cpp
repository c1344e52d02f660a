// nelctl analyse: waveform analysis of a saved wave record.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include <nel/nel.h>
#include "commands.h"

namespace {

// An analysis that does not complete (a refused record, no heart sounds) ends
// like any measurement without its result.
constexpr int kStatusNotComplete = nelctl::kStatusIncomplete;

struct Options {
  std::string file;
  int height = 170;
  float pwvFactor = 0.0f;
  bool filter = false;
  bool toe = false;
  bool ankle = false;
  bool json = false;
  std::string bp;
};

// "SBP/DBP/MAP,SBP/DBP/MAP,..." for the right arm, left arm, right and left
// lower limb; an empty entry or "-" is a pressure that was not measured.
void ParsePressures(const std::string& text, tagLIMBRESULT (&out)[4]) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t comma = text.find(',', start);
    parts.push_back(text.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  if (parts.size() != 4) throw nelctl::Failure("--bp needs four entries SBP/DBP/MAP separated by commas", 2);
  for (int i = 0; i < 4; ++i) {
    out[i] = {-1, -1, -1};
    if (parts[i].empty() || parts[i] == "-") continue;
    int s, d, m;
    char tail;
    if (std::sscanf(parts[i].c_str(), "%d/%d/%d%c", &s, &d, &m, &tail) != 3 || s < -1 || s > 400 || d < -1 || d > 400 ||
        m < -1 || m > 400)
      throw nelctl::Failure("bad pressure \"" + parts[i] + "\" (expected SBP/DBP/MAP)", 2);
    out[i] = {static_cast<int16_t>(s), static_cast<int16_t>(d), static_cast<int16_t>(m)};
  }
}

// Mark positions per wave: {"ECG": {"1": [...], "2": [...]}, ...}.
nlohmann::json MarkPositions(const nel::analysis::WaveRecordFile& rec) {
  nlohmann::json marks = nlohmann::json::object();
  for (size_t p = 0; p < rec.kinds.size(); ++p) {
    std::map<int, std::vector<size_t>> byValue;
    for (size_t i = 0; i < rec.records.size(); ++i)
      if (rec.records[i].Mark[p] != 0) byValue[rec.records[i].Mark[p]].push_back(i);
    nlohmann::json w = nlohmann::json::object();
    for (auto& [v, list] : byValue) w[std::to_string(v)] = list;
    marks[nel::analysis::WaveKindName(rec.kinds[p])] = w;
  }
  return marks;
}

// The results as --json prints them; slots: upstroke time and MAP percent of each limb.
nlohmann::json ResultJson(const Options& o, const nel::analysis::WaveRecordFile& rec, const TnelDataAna& ana, bool ok,
                          bool ankle, const std::string& reason, const int16_t (&slots)[4][2]) {
  nlohmann::json j;
  j["file"] = o.file;
  j["ok"] = ok;
  j["result"] = ana.AnaResult;
  j["reason"] = reason;
  if (ana.AnaResult == DATAANA_BAD_SAMPLE) {
    const char* wave = nel::analysis::WaveKindName(ana.BadSampleKind);
    j["badSample"] = {{"wave", wave ? wave : "?"}, {"record", ana.BadSampleRecord}};
  }
  j["mode"] = ankle ? "ankle" : "toe";
  j["sampleRate"] = rec.sampleRate;
  j["records"] = rec.records.size();
  j["HeartRate"] = ana.HeartRate;
  j["RightABI"] = ana.RightABI;
  j["LeftABI"] = ana.LeftABI;
  j["RightBAI"] = ana.RightBAI;
  j["LeftBAI"] = ana.LeftBAI;
  j["RightTBI"] = ana.RightTBI;
  j["LeftTBI"] = ana.LeftTBI;
  j["RightBTI"] = ana.RightBTI;
  j["LeftBTI"] = ana.LeftBTI;
  j["RightPWV"] = ana.RightPWV;
  j["LeftPWV"] = ana.LeftPWV;
  j["UpstrokeTime"] = {slots[0][0], slots[1][0], slots[2][0], slots[3][0]};
  j["MapPercent"] = {slots[0][1], slots[1][1], slots[2][1], slots[3][1]};
  j["PEP"] = ana.PEP;
  j["ET"] = ana.ET;
  j["AIx"] = ana.AIx;
  j["marks"] = MarkPositions(rec);
  return j;
}

// The results as text; slots: upstroke time and MAP percent of each limb.
void PrintResults(const nel::analysis::WaveRecordFile& rec, const TnelDataAna& ana, bool ok, bool ankle,
                  const std::string& reason, const int16_t (&slots)[4][2]) {
  const char* slotNames[4] = {"RBra", "LBra", ankle ? "RAnk" : "RToe", ankle ? "LAnk" : "LToe"};
  std::printf("analysis      %s%s\n", ok ? "" : "incomplete: ", reason.c_str());
  std::printf("heart rate    %d /min\n", ana.HeartRate);
  if (ankle) {
    std::printf("ABI           right %.2f  left %.2f\n", ana.RightABI, ana.LeftABI);
    std::printf("BAI           right %.2f  left %.2f\n", ana.RightBAI, ana.LeftBAI);
    std::printf("PWV           right %.0f  left %.0f cm/s\n", ana.RightPWV, ana.LeftPWV);
  } else {
    std::printf("TBI           right %.2f  left %.2f\n", ana.RightTBI, ana.LeftTBI);
    std::printf("BTI           right %.2f  left %.2f\n", ana.RightBTI, ana.LeftBTI);
  }
  std::printf("PEP %d ms  ET %d ms  AIx %d %%\n", ana.PEP, ana.ET, ana.AIx);
  std::printf("%-6s %10s %8s\n", "limb", "upstroke", "MAP %");
  for (int i = 0; i < 4; ++i) std::printf("%-6s %7d ms %8d\n", slotNames[i], slots[i][0], slots[i][1]);
  for (size_t p = 0; p < rec.kinds.size(); ++p) {
    int count[8] = {};
    for (const auto& r : rec.records)
      if (r.Mark[p] < 8) ++count[r.Mark[p]];
    std::printf("marks %-4s", nel::analysis::WaveKindName(rec.kinds[p]));
    for (int v = 1; v < 8; ++v)
      if (count[v]) std::printf("  %d:%d", v, count[v]);
    std::printf("\n");
  }
}

void Run(const Options& o) {
  nel::analysis::WaveRecordFile rec;
  std::string error;
  if (!nel::analysis::ReadWaveRecordFile(o.file, rec, error)) throw nelctl::Failure(error);
  tagLIMBRESULT limbs[4];
  for (int i = 0; i < 4; ++i) limbs[i] = rec.pressures[i];
  if (!o.bp.empty()) ParsePressures(o.bp, limbs);
  const bool ankle = !o.toe;

  TnelDataAna ana(static_cast<int16_t>(rec.kinds.size()), rec.kinds.data(), rec.records.data(),
                  static_cast<int32_t>(rec.records.size()), rec.sampleRate);
  ana.SetBPData(ankle, limbs);
  const bool ok = ana.Analysis(ankle, o.height, o.pwvFactor, o.filter);
  // The reason a host reads: the result's text, and for a bad sample where it lies.
  std::string reason = DataAnaResultText(ana.AnaResult);
  if (ana.AnaResult == DATAANA_BAD_SAMPLE) {
    const char* wave = nel::analysis::WaveKindName(ana.BadSampleKind);
    reason += std::string(" (") + (wave ? wave : "?") + ", record " + std::to_string(ana.BadSampleRecord) + ")";
  }

  const int16_t slots[4][2] = {{ana.UpstrokeTime[0], ana.MapPercent[0]},
                               {ana.UpstrokeTime[1], ana.MapPercent[1]},
                               {ana.UpstrokeTime[2], ana.MapPercent[2]},
                               {ana.UpstrokeTime[3], ana.MapPercent[3]}};
  if (o.json) {
    const nlohmann::json j = ResultJson(o, rec, ana, ok, ankle, reason, slots);
    // One object on stdout: a failed analysis hands its results to the error object.
    if (!ok) throw nelctl::Failure("the analysis did not complete: " + reason, kStatusNotComplete, j);
    nelctl::PrintJson("analyse", j);
  } else {
    PrintResults(rec, ana, ok, ankle, reason, slots);
  }
  if (!ok) throw nelctl::Failure("the analysis did not complete: " + reason, kStatusNotComplete);
}

void Setup(CLI::App& program) {
  auto opts = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("analyse", "Analyse a saved wave record (ABI, PWV, heart sounds, pulse points)");
  cmd->add_option("file", opts->file, "wave record file (as written by nelctl record)")->required();
  cmd->add_option("--height", opts->height, "body height, cm")->capture_default_str()->check(CLI::Range(50, 250));
  cmd->add_option("--pwv-factor", opts->pwvFactor, "pulse wave velocity correction factor")->capture_default_str();
  cmd->add_flag("--filter", opts->filter, "low-pass the pulse waves (8 Hz) before and after marking");
  auto* ankle = cmd->add_flag("--ankle", opts->ankle, "lower-limb cuffs on the ankles (default)");
  auto* toe = cmd->add_flag("--toe", opts->toe, "lower-limb cuffs on the toes");
  ankle->excludes(toe);
  cmd->add_option("--bp", opts->bp,
                  "limb pressures SBP/DBP/MAP for right arm, left arm, right and left lower limb, "
                  "comma-separated ('-' = not measured); overrides the file's");
  cmd->add_flag("--json", opts->json, "print the results and the mark positions as JSON");
  cmd->callback([opts] { Run(*opts); });
}

nelctl::NelctlCommand registered("analyse", &Setup);

}  // namespace
