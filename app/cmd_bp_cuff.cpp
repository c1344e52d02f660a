// nelctl bp-cuff: the oscillometric measurement of one cuff.
//
//   nelctl bp-cuff --channel rbra [--max 250] [--log FILE] [--port N] [--json]
//                  [--simulate [--subject FILE] [--speed X]] [--timeout S]
//
// Runs one cuff's sequencer on a unit through TnelHardCtl: every frame's raw
// pulse value and pressure of the cuff go to ProcPulseWave in a tight loop of
// processing passes. The cuff pressure and the status are shown while it
// runs; SBP, DBP, MAP and the pulse list are printed at the end. The program
// gives up, deflates the cuff and says why when no frame arrives for 3 s, the
// measurement takes longer than --timeout seconds (the sequencer itself has no
// time-out without frames) or on SIGINT/SIGTERM.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include <nel/link/hard_ctl.h>
#include <nel/nel.h>
#include <nel/platform/message_queue.h>
#include "commands.h"
#include "host_loop.h"
#include "simulate.h"
#include "unit_check.h"

namespace {

struct Options {
  std::string channel = "rbra";
  int max = 250;
  std::string log;
  int port = 0;
  nelctl::SimulateOptions sim{false, 20.0, {}, {}};  // the virtual unit at 20 times real time by default
  double timeout = 300.0;
  bool json = false;
};

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) { g_interrupted = 1; }

const char* StatusName(int st) {
  static const char* const kNames[] = {"measuring", "ok",      "overtime",     "failed",
                                       "remeasure", "restart", "overpressure", "stopped"};
  return st >= 0 && st <= 7 ? kNames[st] : "?";
}

// The cuff of --channel.
tagTYPE_NEL_BPDATA ChannelOf(const std::string& name) {
  static const std::map<std::string, tagTYPE_NEL_BPDATA> kChannels{
      {"rbra", BP_RBRA}, {"lbra", BP_LBRA}, {"rank", BP_RANK}, {"lank", BP_LANK}, {"rtoe", BP_RTOE}, {"ltoe", BP_LTOE}};
  const auto found = kChannels.find(name);
  if (found == kChannels.end()) throw nelctl::Failure("unknown channel '" + name + "'", nelctl::kStatusUsage);
  return found->second;
}

// Starts sampling with the unit's coefficients.
void StartSampling(TnelHardCtl& ctl) {
  // Both ends convert with the same coefficient set: the unit's reply is
  // unpacked by processing passes that this thread's message queue runs
  // while StartADSample waits for it (without them the wait times out and
  // the built-in set stays).
  auto& queue = nel::platform::MessageQueue::Current();
  const int timer = queue.SetTimer(1, [&ctl] {
    tagSAM_DATA drained[TSamThread::kMaxFramesPerCall];
    ctl.ReadOnceData(drained);
  });
  ctl.StartADSample(true);
  queue.KillTimer(timer);
}

// How the measuring loop ended.
struct LoopEnd {
  tagTYPE_BPV_MEASTATUS st = BPVSTA_MEASURING;  // the sequencer's last status
  std::string why;                              // what ended the loop
  int status = nelctl::kStatusIncomplete;       // exit status when the program gave up
};

// Processing passes: every frame's pulse value of `wave` and the cuff's
// pressure go to the sequencer, until it ends or the program gives up.
LoopEnd MeasureLoop(TnelHardCtl& ctl, TnelBPVCheck& seq, tagTYPE_NEL_BPDATA channel, int wave, const Options& o,
                    std::FILE* text) {
  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  auto lastFrame = start;
  auto lastShow = start;
  tagSAM_DATA frames[TSamThread::kMaxFramesPerCall];
  float pressure = 0.0f;
  LoopEnd end;
  while (end.why.empty()) {
    const int n = ctl.ReadOnceData(frames);
    const auto now = Clock::now();
    if (n > 0) lastFrame = now;
    for (int i = 0; i < n && end.why.empty(); ++i) {
      pressure = frames[i].Pressure[channel];
      end.st = seq.ProcPulseWave(frames[i].Wave[wave], pressure);
      if (end.st == BPVSTA_REMEASURE) std::fprintf(text, "\nattempt failed; measuring again\n");
      if (end.st == BPVSTA_OK || end.st == BPVSTA_OVERTIME || end.st == BPVSTA_FAILED || end.st == BPVSTA_OVERPRESSURE)
        end.why = StatusName(end.st);
    }
    if (now - lastShow > std::chrono::milliseconds(250)) {
      std::fprintf(text, "\rcuff %s: %6.1f mmHg  %-12s", o.channel.c_str(), pressure, StatusName(end.st));
      std::fflush(text);
      lastShow = now;
    }
    if (!end.why.empty()) break;
    if (g_interrupted) {
      end.why = "interrupted";
      end.status = nelctl::kStatusInterrupted;
    } else if (now - lastFrame > std::chrono::seconds(3)) {
      end.why = "no data from the unit for 3 s";
      end.status = nelctl::kStatusDeviceLost;
    } else if (now - start > std::chrono::duration<double>(o.timeout)) {
      end.why = "time-out";
      end.status = nelctl::kStatusTimeOut;
    }
    if (n == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return end;
}

// SBP, DBP, MAP and the pulse list of a finished measurement.
void PrintResults(const Options& o, TnelBPVCheck& seq, nlohmann::json& result) {
  int16_t sbp, dbp, map;
  seq.getBPValue(&sbp, &dbp, &map);
  int16_t count = 0;
  const tagBPV_PULSE_FEATURE_POINT* pulses = seq.assignPulseFeaturePnt(&count);
  if (o.json) {
    result["sbp"] = sbp;
    result["dbp"] = dbp;
    result["map"] = map;
    result["pulses"] = nlohmann::json::array();
    for (int k = 0; k < count; ++k)
      result["pulses"].push_back(
          {{"amplitude", static_cast<int>(pulses[k].Amplitude)}, {"mmhg", static_cast<double>(pulses[k].Pressure)}});
    nelctl::PrintJson("bp-cuff", result);
    return;
  }
  std::printf("SBP %d  DBP %d  MAP %d mmHg\n", sbp, dbp, map);
  std::printf("pulses (%d): amplitude @ mmHg\n", count);
  for (int k = 0; k < count; ++k)
    std::printf("  %3d  %7d @ %6.1f\n", k, static_cast<int>(pulses[k].Amplitude), pulses[k].Pressure);
}

void Run(const Options& o) {
  const tagTYPE_NEL_BPDATA channel = ChannelOf(o.channel);
  // The raw pulse wave of a cuff channel is wave kind channel + 2.
  const int wave = static_cast<int>(channel) + WAVE_RBRA;

  // With --simulate the virtual unit serves this process behind port 1.
  const std::unique_ptr<nelctl::Simulation> sim = nelctl::StartSimulation(o.sim);

  const int port = nelctl::FindPort(sim ? sim->Port() : o.port);
  nelctl::ReadUnitVersion(port);  // a missing, busy or silent port fails here
  TnelHardCtl ctl;
  if (!ctl.SetComPortNo(port))
    throw nelctl::Failure("port " + nelctl::DescribePort(port) + " is busy", nelctl::kStatusBusy);
  // With --json the progress goes to stderr, the results alone to stdout.
  std::FILE* const text = o.json ? stderr : stdout;
  StartSampling(ctl);

  TnelBPVCheck seq(DATAPROCESS_STANDARD, channel, &ctl);
  if (!o.log.empty()) seq.SetLogFile(o.log.c_str());
  seq.Initialize();
  seq.MaxPressure = static_cast<int16_t>(o.max);
  seq.StartBPMeasureProcess();

  g_interrupted = 0;
  auto oldInt = std::signal(SIGINT, OnSignal);
  auto oldTerm = std::signal(SIGTERM, OnSignal);
  const LoopEnd end = MeasureLoop(ctl, seq, channel, wave, o, text);
  ctl.RapidDeflate(channel, true);
  ctl.StopADSample();
  ctl.CloseCom();
  std::signal(SIGINT, oldInt);
  std::signal(SIGTERM, oldTerm);
  std::fprintf(text, "\n");
  seq.SetLogFile(nullptr);

  nlohmann::json result = {{"cuff", o.channel}, {"status", StatusName(end.st)}};
  if (end.st != BPVSTA_OK) {
    const bool ownLimit = end.status != nelctl::kStatusIncomplete;
    throw nelctl::Failure(ownLimit ? end.why + "; measurement stopped, cuff deflated"
                                   : std::string("measurement ended: ") + end.why + ", cuff deflated",
                          end.status, result);
  }
  PrintResults(o, seq, result);
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<Options>();
  auto* cmd = program.add_subcommand("bp-cuff", "Measure the blood pressure on one cuff");
  cmd->add_option("--channel", opt->channel, "cuff: rbra, lbra, rank, lank, rtoe, ltoe")
      ->required()
      ->check(CLI::IsMember({"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"}));
  cmd->add_option("--max", opt->max, "maximum cuff pressure, mmHg")->check(CLI::Range(20, 300));
  cmd->add_option("--log", opt->log, "append the measurement log to FILE");
  nelctl::AddSimulateOptions(cmd, opt->sim);
  nelctl::AddPortOption(cmd, opt->port);
  cmd->add_option("--timeout", opt->timeout, "give up after this many seconds")->check(CLI::PositiveNumber);
  cmd->add_flag("--json", opt->json, "print the results as JSON (the progress goes to stderr)");
  cmd->callback([opt] { Run(*opt); });
}

nelctl::NelctlCommand registered("bp-cuff", &Setup);

}  // namespace
