// nelctl analyse: waveform analysis of a saved wave record.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/analysis/wave_record_file.h>
#include <nel/nel.h>
#include "commands.h"
#include "exam_steps.h"

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

// The results as text.
void PrintResults(const nel::analysis::WaveRecordFile& rec, const nlohmann::json& r, bool ankle) {
  const char* slotNames[4] = {"RBra", "LBra", ankle ? "RAnk" : "RToe", ankle ? "LAnk" : "LToe"};
  const auto f = [&r](const char* key) { return r[key].get<double>(); };
  std::printf("analysis      %s%s\n",
              r["ok"].get<bool>() ? "" : "incomplete: ", r["reason"].get<std::string>().c_str());
  std::printf("heart rate    %d /min\n", r["HeartRate"].get<int>());
  if (ankle) {
    std::printf("ABI           right %.2f  left %.2f\n", f("RightABI"), f("LeftABI"));
    std::printf("BAI           right %.2f  left %.2f\n", f("RightBAI"), f("LeftBAI"));
    std::printf("PWV           right %.0f  left %.0f cm/s\n", f("RightPWV"), f("LeftPWV"));
  } else {
    std::printf("TBI           right %.2f  left %.2f\n", f("RightTBI"), f("LeftTBI"));
    std::printf("BTI           right %.2f  left %.2f\n", f("RightBTI"), f("LeftBTI"));
  }
  std::printf("PEP %d ms  ET %d ms  AIx %d %%\n", r["PEP"].get<int>(), r["ET"].get<int>(), r["AIx"].get<int>());
  std::printf("%-6s %10s %8s\n", "limb", "upstroke", "MAP %");
  for (int i = 0; i < 4; ++i)
    std::printf("%-6s %7d ms %8d\n", slotNames[i], r["UpstrokeTime"][i].get<int>(), r["MapPercent"][i].get<int>());
  for (size_t p = 0; p < rec.kinds.size(); ++p) {
    int count[8] = {};
    for (const auto& rr : rec.records)
      if (rr.Mark[p] < 8) ++count[rr.Mark[p]];
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

  nelctl::AnalysisSettings settings;
  settings.ankle = ankle;
  settings.height = o.height;
  settings.pwvFactor = o.pwvFactor;
  settings.filter = o.filter;
  bool ok = false;
  std::string reason;
  nlohmann::json j = nelctl::AnalyseRecord(rec, limbs, settings, ok, reason);
  if (o.json) {
    j["file"] = o.file;
    j["marks"] = MarkPositions(rec);
    // One object on stdout: a failed analysis hands its results to the error object.
    if (!ok) throw nelctl::Failure("the analysis did not complete: " + reason, kStatusNotComplete, j);
    nelctl::PrintJson("analyse", j);
  } else {
    PrintResults(rec, j, ankle);
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
