// nelctl exercise: the exercise protocol, four-cuff BP checks on a schedule.
//
//   nelctl exercise [--checks 3] [--pause 30] [--interval-minutes N]
//                   [--timing interval|pause] [--mode M] [--max 250] [--json]
//                   [--simulate [--subject FILE] [--speed X]] [--timeout S]
//
// Timing "pause" waits --pause seconds from the end of one check to the start
// of the next; timing "interval" starts a check every --interval-minutes. Given
// only --interval-minutes, the timing is "interval".
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "facade_host.h"
#include "unit_check.h"

namespace {

// One check: about 40 s of the unit's time, up to three attempts per cuff.
constexpr double kCheckLimitSeconds = 150.0;

struct Options {
  nelctl::FacadeOptions host;
  int checks = 3;
  int pause = 30;
  int intervalMinutes = 0;
  std::string timing;
  std::string mode = "simultaneous";
  int max = 250;
};

std::string TimeText(int32_t t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t / 10000, t / 100 % 100, t % 100);
  return buf;
}

// The protocol's configuration from the options.
tagExerciseStressConfig ConfigOf(const Options& o, bool interval) {
  tagExerciseStressConfig cfg{};
  cfg.CheckCount = static_cast<int16_t>(o.checks);
  cfg.TimingMode = interval ? 0 : 1;
  cfg.IntervalMinutes = o.intervalMinutes;
  cfg.PauseSeconds = o.pause;
  cfg.BPMeasureMode = nelctl::ModeFromName(o.mode);
  cfg.MaxPressure = static_cast<int16_t>(o.max);
  return cfg;
}

// The `done` checks of the result as JSON.
nlohmann::json ChecksJson(const tagExerciseStressRec& rec, int done) {
  static const char* const kLimbs[4] = {"rbra", "lbra", "rank", "lank"};
  nlohmann::json checks = nlohmann::json::array();
  for (int i = 0; i < done; ++i) {
    const tagExerciseStressCheck& c = rec.Check[i];
    nlohmann::json cj;
    cj["time"] = TimeText(c.Time);
    // The record is packed: its fields are read by value, never bound to references.
    for (int p = 0; p < 4; ++p)
      cj[kLimbs[p]] = {{"sbp", static_cast<int>(c.BP[p][0])},
                       {"dbp", static_cast<int>(c.BP[p][1])},
                       {"map", static_cast<int>(c.BP[p][2])}};
    cj["rightABI"] = static_cast<double>(c.RightABI);
    cj["leftABI"] = static_cast<double>(c.LeftABI);
    cj["rightBAI"] = static_cast<double>(c.RightBAI);
    cj["leftBAI"] = static_cast<double>(c.LeftBAI);
    checks.push_back(cj);
  }
  return checks;
}

// The `done` checks of the result as a table.
void PrintChecks(const tagExerciseStressRec& rec, int done, bool interval) {
  std::printf("%d checks (%s timing)\n", done, interval ? "interval" : "pause");
  std::printf("%-5s %-8s %11s %11s %11s %11s %6s %6s\n", "check", "time", "RBra", "LBra", "RAnk", "LAnk", "R ABI",
              "L ABI");
  for (int i = 0; i < done; ++i) {
    const tagExerciseStressCheck& c = rec.Check[i];
    std::printf("%-5d %-8s", i + 1, TimeText(c.Time).c_str());
    for (int p = 0; p < 4; ++p) {
      char bp[16];
      std::snprintf(bp, sizeof bp, "%d/%d", c.BP[p][0], c.BP[p][1]);
      std::printf(" %11s", bp);
    }
    std::printf(" %6.2f %6.2f\n", static_cast<double>(c.RightABI), static_cast<double>(c.LeftABI));
  }
  std::printf("(SBP/DBP mmHg; ABI: the ankle's SBP over the higher arm SBP)\n");
}

void Run(const Options& o) {
  const bool interval = o.timing.empty() ? o.intervalMinutes > 0 : o.timing == "interval";
  if (!o.timing.empty() && o.timing != "interval" && o.timing != "pause")
    throw nelctl::Failure("unknown timing '" + o.timing + "' (interval or pause)", nelctl::kStatusUsage);
  if (interval && o.intervalMinutes <= 0)
    throw nelctl::Failure("timing interval needs --interval-minutes", nelctl::kStatusUsage);
  const tagExerciseStressConfig cfg = ConfigOf(o, interval);

  // The protocol switches the façade to its own four-cuff category.
  nelctl::FacadeHost host(o.host, DETECT_BRA_ANK);
  TnelHardBase& hb = host.Base();
  hb.ExerciseStress_Start(cfg);
  const double wait = interval ? o.intervalMinutes * 60.0 : o.pause;
  const double limit = o.checks * (kCheckLimitSeconds + wait);
  host.RunUntil(
      "exercise", limit, [&] { return host.Status().ExerciseEnd; },
      [&] {
        char buf[96];
        const int32_t next = hb.ExerciseStress_GetNextProcElapseSeconds();
        if (next < 0)
          std::snprintf(buf, sizeof buf, "check %d of %d measuring  ", hb.ExerciseStress_GetCurrChkNo() + 1, o.checks);
        else
          std::snprintf(buf, sizeof buf, "check %d of %d in %d s  ", hb.ExerciseStress_GetCurrChkNo() + 1, o.checks,
                        next);
        return buf + host.PressureText();
      });
  tagExerciseStressRec rec{};
  hb.ExerciseStress_GetResult(&rec);
  hb.ExerciseStress_Cancel();
  const int done = std::min<int>(rec.CheckNum, TnelHardBase::kExerciseMaxChecks);
  bool complete = done == o.checks;
  for (int i = 0; i < done; ++i)
    for (int p = 0; p < 4; ++p) complete = complete && rec.Check[i].BP[p][0] > 0;

  if (o.host.json) {
    nlohmann::json j;
    j["timing"] = interval ? "interval" : "pause";
    j["mode"] = o.mode;
    j["checksRequested"] = o.checks;
    j["seconds"] = host.VirtualSeconds();
    j["checks"] = ChecksJson(rec, done);
    // The checks of an incomplete protocol go beside the error.
    if (!complete) throw nelctl::Failure("not every check gave four results", nelctl::kStatusIncomplete, j);
    nelctl::PrintJson("exercise", j);
  } else {
    PrintChecks(rec, done, interval);
  }
  std::fflush(stdout);
  if (!complete) throw nelctl::Failure("not every check gave four results", nelctl::kStatusIncomplete);
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("exercise", "Run the exercise protocol: repeated four-cuff BP checks");
  cmd->add_option("--checks", opt->checks, "number of checks, 1 to 10")
      ->capture_default_str()
      ->check(CLI::Range(1, 10));
  cmd->add_option("--pause", opt->pause, "seconds from one check's end to the next's start")
      ->capture_default_str()
      ->check(CLI::Range(0, 3600));
  cmd->add_option("--interval-minutes", opt->intervalMinutes, "minutes from one check's start to the next's")
      ->check(CLI::Range(1, 120));
  cmd->add_option("--timing", opt->timing,
                  "interval or pause (default: pause, interval when only --interval-minutes is given)");
  cmd->add_option("--mode", opt->mode, "BP measurement mode of every check")->capture_default_str();
  cmd->add_option("--max", opt->max, "maximum cuff pressure, mmHg")->capture_default_str()->check(CLI::Range(60, 300));
  nelctl::AddFacadeOptions(cmd, opt->host);
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("exercise", &Setup);

}  // namespace
