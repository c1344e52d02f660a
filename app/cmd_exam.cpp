// nelctl exam: the screening in one run, written to a session folder
// (docs/session.md): signal check, the category's four cuffs measured, the
// hold at --pressure, the 15 s wave record, the analysis with the measured
// pressures, then results.json, bp.json, record.nelwave, stream.nelraw and,
// where their writers are built in, record.edf and report.html.
//
//   nelctl exam --out DIR [--category bra-ank|bra-toe] [--mode M] [--max 250] [--pressure 60]
//               [--height 170] [--id CODE] [--name NAME] [--sex S] [--birth YYYY-MM-DD]
//               [--json] [--simulate [--subject FILE] [--speed X]] [--port N] [--timeout S]
//   nelctl exam --replay SESSION [--out DIR] [--speed X] [--json]
//
// The cuffs deflate on every exit path (FacadeHost). An exam that fails after
// the BP measurement still writes what it has (results.json with "ok": false
// and the step that failed) before it exits with the step's status.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/link/stream_log.h>
#include "commands.h"
#include "edf_export.h"
#include "exam_steps.h"
#include "replay.h"
#include "report.h"
#include "session.h"

namespace {

struct Options {
  nelctl::FacadeOptions host;
  std::string out;
  std::string category = "bra-ank";
  std::string mode = "simultaneous";
  int max = 250;
  int pressure = 60;
  int height = 170;
  std::string id, name, sex, birth;
  std::string replay;             // a session folder to serve back
  bool replaySpeedGiven = false;  // --speed given with --replay: paced; otherwise as fast as the host goes
};

nlohmann::json ReadJson(const std::filesystem::path& path) {
  std::ifstream in(path);
  nlohmann::json j = nlohmann::json::parse(in, nullptr, false);
  if (!in || j.is_discarded() || !j.is_object())
    throw nelctl::Failure(path.string() + ": cannot read the session's results");
  return j;
}

// A replay runs the recorded exam's steps with its settings.
void TakeRecordedSettings(const nlohmann::json& r, Options& o) {
  try {
    o.category = r.at("category").get<std::string>();
    o.mode = r.at("bp").at("mode").get<std::string>();
    o.max = r.at("bp").at("maxPressure").get<int>();
    o.pressure = r.at("hold").at("pressure").get<int>();
    const nlohmann::json& s = r.at("subject");
    o.height = s.at("height").get<int>();
    o.id = s.value("id", "");
    o.name = s.value("name", "");
    o.sex = s.value("sex", "");
    o.birth = s.value("birth", "");
  } catch (const nlohmann::json::exception& e) {
    throw nelctl::Failure("the session's results lack the exam's settings (" + std::string(e.what()) + ")");
  }
}

// The results a replay must give again: every key but those of the run itself.
std::vector<std::string> Differences(const nlohmann::json& recorded, const nlohmann::json& replayed) {
  std::vector<std::string> out;
  for (const char* key : {"signalCheck", "bp", "record", "analysis", "firmware", "ok"}) {
    const bool a = recorded.contains(key), b = replayed.contains(key);
    if (a != b || (a && recorded[key] != replayed[key])) out.emplace_back(key);
  }
  return out;
}

// "YYYY-MM-DDTHH:MM:SSZ" of a time in seconds since 1970 (the calendar of
// <chrono>, the same on every system).
std::string UtcText(std::time_t t) {
  using namespace std::chrono;
  const sys_seconds at{seconds{static_cast<long long>(t)}};
  const sys_days day = floor<days>(at);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{at - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

nelctl::EdfSubject SubjectOf(const Options& o) { return {o.id, o.name, o.sex, o.birth, ""}; }

void WriteJson(const std::filesystem::path& path, const nlohmann::json& j) {
  std::ofstream out(path);
  out << j.dump(1) << '\n';
  if (!out) throw nelctl::Failure(path.string() + ": cannot write");
}

void PrintSummary(const nlohmann::json& r, const std::string& dir) {
  const nlohmann::json& bp = r["bp"];
  for (const auto& c : bp["cuffs"])
    std::printf("%-5s %3d/%3d (%3d) mmHg  %s\n", c["cuff"].get<std::string>().c_str(), c["sbp"].get<int>(),
                c["dbp"].get<int>(), c["map"].get<int>(), c["status"].get<std::string>().c_str());
  if (r.contains("analysis")) {
    const nlohmann::json& a = r["analysis"];
    const bool ankle = a["mode"] == "ankle";
    std::printf("%s right %.2f  left %.2f   heart rate %d /min\n", ankle ? "ABI" : "TBI",
                a[ankle ? "RightABI" : "RightTBI"].get<double>(), a[ankle ? "LeftABI" : "LeftTBI"].get<double>(),
                a["HeartRate"].get<int>());
    if (ankle)
      std::printf("baPWV right %.0f  left %.0f cm/s\n", a["RightPWV"].get<double>(), a["LeftPWV"].get<double>());
    std::printf("PEP %d ms  ET %d ms  AIx %d %%\n", a["PEP"].get<int>(), a["ET"].get<int>(), a["AIx"].get<int>());
  }
  std::printf("session %s, report %s/%s\n", dir.c_str(), dir.c_str(), nelctl::kSessionReport);
}

// How far the exam came: the step that failed (empty: none), its status and message.
struct Outcome {
  std::string step;
  int status = 0;
  std::string text;
  std::time_t recordEnd = 0;
  void Fail(const std::string& s, int code, const std::string& why) {
    step = s;
    status = code;
    text = why;
  }
};

nlohmann::json NewResults(const Options& o) {
  nlohmann::json r;
  r["format"] = "nel-session 1";
  r["time"] = UtcText(std::time(nullptr));
  r["library"] = nelctl::LibraryVersionText();
  r["unit"] = {{"simulated", o.host.sim.on}, {"subject", o.host.sim.subject.empty() ? "built-in" : o.host.sim.subject}};
  if (o.host.port > 0) r["unit"]["port"] = o.host.port;
  r["subject"] = {{"id", o.id}, {"name", o.name}, {"sex", o.sex}, {"birth", o.birth}, {"height", o.height}};
  r["category"] = o.category;
  r["units"] = nelctl::SessionUnits();
  r["hold"] = {{"pressure", o.pressure}};
  r["ok"] = false;
  if (!o.replay.empty()) r["replayOf"] = o.replay;
  return r;
}

// The steps on the unit. Throws Failure when no unit answers (nothing is
// written then); a failure later is kept in `out`, with what came before it.
Outcome RunSteps(const Options& o, nlohmann::json& results, nel::analysis::WaveRecordFile& rec,
                 nlohmann::json& envelopes) {
  const tagTYPE_DETECTCATEGORY category = nelctl::CategoryFromName(o.category);
  Outcome out;
  auto host = std::make_unique<nelctl::FacadeHost>(o.host, category);
  try {
    results["firmware"] = host->Firmware();
    out.step = "signal check";
    results["signalCheck"] = nelctl::SignalCheck(*host);
    out.step = "bp";
    const nelctl::BPOutcome bp = nelctl::MeasureLimbs(*host, category, nelctl::ModeFromName(o.mode), o.max, rec);
    results["bp"] = nelctl::BPToJson(bp);
    for (int k = 0; k < host->Base().Layout().cuffCount; ++k) {
      nlohmann::json c = nelctl::PulseEnvelope(*host, k);
      for (const auto& r : results["bp"]["cuffs"])
        if (r["cuff"] == c["cuff"])
          for (const char* key : {"sbp", "dbp", "map", "status"}) c[key] = r[key];
      envelopes["cuffs"].push_back(c);
    }
    out.step = "record";
    nelctl::HoldAndRecord(*host, o.pressure, rec);
    out.recordEnd = std::time(nullptr);
    out.step.clear();
  } catch (const nelctl::Failure& f) {
    out.status = f.status;  // the host deflates the cuffs and closes the port below
    out.text = f.what();
  }
  host.reset();
  return out;
}

// The record's files and its analysis, once the exam has its record.
void AnalyseAndSave(const Options& o, const std::filesystem::path& dir, nel::analysis::WaveRecordFile& rec,
                    nlohmann::json& results, Outcome& out, std::string& edfError) {
  results["record"] = {{"file", nelctl::kSessionRecord},
                       {"records", rec.records.size()},
                       {"sampleRate", rec.sampleRate},
                       {"waves", nlohmann::json::array()}};
  for (auto k : rec.kinds) results["record"]["waves"].push_back(nelctl::WaveLabel(k));
  nelctl::AnalysisSettings settings;
  settings.ankle = nelctl::CategoryFromName(o.category) == DETECT_BRA_ANK;
  settings.height = o.height;
  bool ok = false;
  std::string reason, error;
  results["analysis"] = nelctl::AnalyseRecord(rec, rec.pressures, settings, ok, reason);
  if (!nel::analysis::WriteWaveRecordFile((dir / nelctl::kSessionRecord).string(), rec, error))
    throw nelctl::Failure(error);
  nelctl::EdfSubject subject = SubjectOf(o);
  subject.start = UtcText(out.recordEnd - static_cast<std::time_t>(rec.records.size() / 1000));
  if (nelctl::kEdfExport && !nelctl::WriteEdf((dir / nelctl::kSessionEdf).string(), rec, subject, error))
    edfError = error;
  results["ok"] = ok && results["bp"]["complete"].get<bool>();
  if (!ok) out.Fail("analysis", nelctl::kStatusIncomplete, "the analysis did not complete: " + reason);
}

// A replay's results against the recorded ones, into results["replay"].
void CompareWithRecording(const Options& o, const nlohmann::json& recorded, const nelctl::ReplayLink& replay,
                          nlohmann::json& results, Outcome& out) {
  const std::vector<std::string> diff = Differences(recorded, results);
  results["replay"] = {{"session", o.replay},
                       {"identical", diff.empty()},
                       {"differences", diff},
                       {"passes", replay.Passes()},
                       {"recordedPasses", replay.RecordedPasses()},
                       {"passesDifferent", replay.DifferentPasses()},
                       {"writesMatched", replay.WritesMatched()},
                       {"writesDifferent", replay.WritesDifferent()}};
  std::string text = "replay of " + o.replay + ": ";
  if (diff.empty()) {
    text += "results identical";
  } else {
    text += "results differ in";
    for (const auto& d : diff) text += " " + d;
  }
  text += " (" + std::to_string(replay.Passes()) + " of " + std::to_string(replay.RecordedPasses()) + " passes, " +
          std::to_string(replay.DifferentPasses()) + " different; " + std::to_string(replay.WritesDifferent()) +
          " writes different)";
  if (!o.host.json) std::fprintf(stderr, "%s\n", text.c_str());
  if (out.status == 0 && !diff.empty()) out.Fail("replay", nelctl::kStatusFailure, text);
}

void Run(Options o) {
  namespace fs = std::filesystem;
  nlohmann::json recorded;
  std::unique_ptr<nelctl::ReplayLink> replay;
  if (!o.replay.empty()) {
    recorded = ReadJson(fs::path(o.replay) / nelctl::kSessionResults);
    TakeRecordedSettings(recorded, o);
    if (o.out.empty()) o.out = (fs::path(o.replay) / "replay").string();
    replay = std::make_unique<nelctl::ReplayLink>(o.replay, o.replaySpeedGiven ? o.host.sim.speed : 0.0);
    o.host.replay = replay.get();
  }
  if (o.out.empty()) throw nelctl::Failure("--out is required (the session folder to write)", nelctl::kStatusUsage);
  nelctl::CategoryFromName(o.category);
  nelctl::ModeFromName(o.mode);
  std::string error;
  if (!nelctl::CheckEdfSubject(SubjectOf(o), error)) throw nelctl::Failure(error, nelctl::kStatusUsage);
  const fs::path dir(o.out);

  nlohmann::json results = NewResults(o);
  nel::link::StreamRecorder capture;
  o.host.capture = &capture;
  o.host.readFirmware = true;
  nel::analysis::WaveRecordFile rec;
  nlohmann::json envelopes = {{"cuffs", nlohmann::json::array()}};
  Outcome out = RunSteps(o, results, rec, envelopes);

  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec || !fs::is_directory(dir)) throw nelctl::Failure(o.out + ": cannot make the session folder");
  if (!capture.Save((dir / nelctl::kSessionStream).string(), error)) throw nelctl::Failure(error);
  if (!envelopes["cuffs"].empty()) WriteJson(dir / nelctl::kSessionEnvelopes, envelopes);
  std::string edfError;
  if (out.status == 0) AnalyseAndSave(o, dir, rec, results, out, edfError);
  if (out.status != 0) results["failed"] = {{"step", out.step}, {"reason", out.text}};
  if (replay) CompareWithRecording(o, recorded, *replay, results, out);
  WriteJson(dir / nelctl::kSessionResults, results);
  // The report shows whatever the session holds, a failed exam's too.
  if (!nelctl::WriteReport(o.out, (dir / nelctl::kSessionReport).string(), error)) {
    if (out.status == 0) throw nelctl::Failure(error);
    out.text += "; " + error;
  }
  if (!edfError.empty() && out.status == 0) throw nelctl::Failure(edfError);

  if (out.status != 0) throw nelctl::Failure(out.text, out.status, results);
  if (o.host.json) {
    nlohmann::json j = results;
    j["session"] = o.out;
    nelctl::PrintJson("exam", j);
  } else {
    PrintSummary(results, o.out);
  }
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("exam",
                                     "The whole screening (signal check, BP, wave record, analysis) into a "
                                     "session folder with its report");
  cmd->add_option("--out", opt->out, "session folder to write (with --replay: SESSION/replay by default)");
  auto* replay = cmd->add_option("--replay", opt->replay,
                                 "serve a recorded session back and run its exam again (its settings, as fast as the "
                                 "host goes unless --speed is given); the results must be the recorded ones")
                     ->check(CLI::ExistingDirectory);
  cmd->add_option("--category", opt->category, "bra-ank or bra-toe")->capture_default_str();
  cmd->add_option("--mode", opt->mode, "BP measurement mode")->capture_default_str();
  cmd->add_option("--max", opt->max, "maximum cuff pressure of the BP measurement, mmHg")
      ->capture_default_str()
      ->check(CLI::Range(60, 300));
  cmd->add_option("--pressure", opt->pressure, "cuff pressure during the wave record, mmHg")
      ->capture_default_str()
      ->check(CLI::Range(20, 150));
  cmd->add_option("--height", opt->height, "body height, cm")->capture_default_str()->check(CLI::Range(50, 250));
  cmd->add_option("--id", opt->id, "subject's code");
  cmd->add_option("--name", opt->name, "subject's name");
  cmd->add_option("--sex", opt->sex, "subject's sex");
  cmd->add_option("--birth", opt->birth, "subject's date of birth, YYYY-MM-DD");
  nelctl::AddFacadeOptions(cmd, opt->host);
  replay->excludes(cmd->get_option("--simulate"));
  cmd->callback([opt, cmd] {
    opt->replaySpeedGiven = cmd->count("--speed") > 0;
    Run(*opt);
  });
}

nelctl::NelctlCommand registered("exam", &Setup);

}  // namespace
