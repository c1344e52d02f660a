#include "facade_host.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <map>

#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/message_queue.h>
#include <nel/platform/port_names.h>
#include "commands.h"
#include "host_loop.h"
#include "platform/console.h"
#include "replay.h"
#include "unit_check.h"

namespace nelctl {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) { g_interrupted = 1; }

constexpr const char* kChannelNames[6] = {"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"};
constexpr const char* kChannelLabels[6] = {"RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe"};
constexpr const char* kWaveLabels[8] = {"ECG", "PCG", "RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe"};

// For --port every other port is hidden from this process: see docs/decisions.md, "`--port N` on the façade commands".
void HideOtherPorts(int port) {
  for (int n = nel::platform::kFirstPortNumber; n <= nel::platform::kLastPortNumber; ++n)
    if (n != port) nel::platform::SetPortPath(n, "/dev/null/no-port");  // never a device
}

// Why a step gives up now (left empty while it may go on) and the exit status
// that goes with it. `quiet`: the time since the last frame arrived; `frames`:
// the unit's time so far, in frames.
void GiveUpReason(TnelHardBase& hb, std::chrono::steady_clock::duration quiet, long long frames, long long limitFrames,
                  std::string& why, int& statusCode) {
  const tagSAFETY_REPORT safety = hb.GetSafetyReport();
  if (g_interrupted) {
    why = "interrupted";
    statusCode = kStatusInterrupted;
  } else if (safety.Reason != SAFETY_NONE) {
    why = SafetyStopText(safety);
    statusCode = safety.Reason == SAFETY_DEVICE_LOST || safety.Reason == SAFETY_UNIT_SILENT ? kStatusDeviceLost
                                                                                            : kStatusIncomplete;
  } else if (hb.GetHardCtl() && hb.GetHardCtl()->GetSamThread() &&
             hb.GetHardCtl()->GetSamThread()->Protocol().DeviceLost()) {
    why = "the unit went away";
    statusCode = kStatusDeviceLost;
  } else if (quiet > std::chrono::milliseconds(FacadeHost::kSilenceMs)) {
    why = "no data from the unit for " + std::to_string(FacadeHost::kSilenceMs / 1000) + " s";
    statusCode = kStatusDeviceLost;
  } else if (frames >= limitFrames) {
    why = "time-out after " + std::to_string(frames / 1000) + " s of the unit's time";
    statusCode = kStatusTimeOut;
  }
}

// A progress line: rewritten in place on a terminal, otherwise every fourth tick on a line of its own.
void ShowProgress(const std::string& line, bool tty, int ticks) {
  if (tty) {
    std::fprintf(stderr, "\r%s\x1b[K", line.c_str());
  } else if (ticks % 4 == 0) {
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fflush(stderr);
}

}  // namespace

void AddFacadeOptions(CLI::App* cmd, FacadeOptions& opt) {
  AddSimulateOptions(cmd, opt.sim);
  cmd->get_option("--speed")->capture_default_str();  // kFacadeDefaultSpeed
  AddPortOption(cmd, opt.port);
  cmd->add_flag("--json", opt.json, "print the results as JSON");
  cmd->add_option("--timeout", opt.timeout,
                  "give up after this many seconds of the unit's time (default: each step's own limit)")
      ->check(CLI::PositiveNumber);
}

tagTYPE_DETECTCATEGORY CategoryFromName(const std::string& name) {
  if (name == "bra-ank") return DETECT_BRA_ANK;
  if (name == "bra-toe") return DETECT_BRA_TOE;
  throw Failure("unknown category '" + name + "' (bra-ank or bra-toe)", kStatusUsage);
}

const char* CategoryName(tagTYPE_DETECTCATEGORY category) {
  switch (category) {
    case DETECT_BRA_ANK: return "bra-ank";
    case DETECT_BRA_TOE: return "bra-toe";
    case DETECT_BRA_ANK2: return "bra-ank2";
    case DETECT_ECG_PCG: return "ecg-pcg";
    case DETECT_ALL: return "all";
    case DETECT_PULSE: return "pulse";
    case DETECT_ALL2: return "all2";
  }
  return "?";
}

tagTYPE_BPMEASUREMODE ModeFromName(const std::string& name) {
  if (name == "simultaneous") return BPMEASURE_SIMULTANEOUS;
  if (name == "sequential") return BPMEASURE_SEQUENTIAL;
  if (name == "right-then-left") return BPMEASURE_RIGHT_THEN_LEFT;
  throw Failure("unknown mode '" + name + "' (simultaneous, sequential or right-then-left)", kStatusUsage);
}

const char* ModeName(tagTYPE_BPMEASUREMODE mode) {
  switch (mode) {
    case BPMEASURE_SIMULTANEOUS: return "simultaneous";
    case BPMEASURE_SEQUENTIAL: return "sequential";
    case BPMEASURE_RIGHT_THEN_LEFT: return "right-then-left";
  }
  return "?";
}

tagTYPE_NEL_BPDATA ChannelFromName(const std::string& name) {
  for (int c = 0; c < 6; ++c)
    if (name == kChannelNames[c]) return static_cast<tagTYPE_NEL_BPDATA>(c);
  throw Failure("unknown cuff '" + name + "' (rbra, lbra, rank, lank, rtoe, ltoe)", kStatusUsage);
}

const char* ChannelName(int channel) { return channel >= 0 && channel < 6 ? kChannelNames[channel] : "?"; }
const char* ChannelLabel(int channel) { return channel >= 0 && channel < 6 ? kChannelLabels[channel] : "?"; }
const char* WaveLabel(int kind) { return kind >= 0 && kind < 8 ? kWaveLabels[kind] : "?"; }

std::string SafetyStopText(const tagSAFETY_REPORT& r) {
  char text[160];
  switch (r.Reason) {
    case SAFETY_OVERPRESSURE:
      std::snprintf(text, sizeof text, "safety stop: line %d at %.1f mmHg, above the ceiling of %.0f mmHg", r.Line,
                    r.Pressure, r.Ceiling);
      break;
    case SAFETY_TIME_LIMIT:
      std::snprintf(text, sizeof text, "safety stop: line %d above 15 mmHg for %.0f s", r.Line, r.Seconds);
      break;
    case SAFETY_UNIT_SILENT: std::snprintf(text, sizeof text, "safety stop: the unit fell silent"); break;
    case SAFETY_DEVICE_LOST: std::snprintf(text, sizeof text, "safety stop: the unit went away"); break;
    default: return "no safety stop";
  }
  return text;
}

const char* BPStatusName(int status) {
  static const char* const kNames[] = {"measuring", "ok",      "overtime",     "failed",
                                       "remeasure", "restart", "overpressure", "stopped"};
  return status >= 0 && status <= 7 ? kNames[status] : "?";
}

FacadeHost::FacadeHost(const FacadeOptions& opt, tagTYPE_DETECTCATEGORY category) : opt_(opt) {
  // With --simulate the virtual unit serves behind port 1 (docs/decisions.md, "The server's line"), toe cuffs on
  // lines 2 and 3 in the brachial-toe category ("Toe cuffs on the virtual unit").
  SimulateOptions simOpt = opt.sim;
  if (category == DETECT_BRA_TOE) simOpt.toeLines = true;
  sim_ = StartSimulation(simOpt);
  hb_ = std::make_unique<TnelHardBase>(0, DATAPROCESS_STANDARD);
  hb_->SetDetectCategory(category);
  if (opt.port > 0) {
    CheckPort(opt.port);  // tells a missing port from a busy one
    HideOtherPorts(opt.port);
  }
  if (hb_->GetHardCtl()) {
    TSerialPort& line = hb_->GetHardCtl()->GetSamThread()->Protocol();
    if (opt.replay)
      opt.replay->Attach(line, opt.capture);
    else if (opt.capture)
      opt.capture->Attach(line);
  }
  if (!hb_->OpenHardware(0x80)) {
    // The façade goes with this object: nothing may keep its port.
    if (opt.replay) opt.replay->Detach();
    if (opt.capture) opt.capture->Detach();
    if (opt.port > 0) throw Failure("no unit answers on port " + DescribePort(opt.port), kStatusNoUnit);
    throw Failure("no unit answers on ports 1 to 149 (connect the unit, or use --simulate for the virtual unit)",
                  kStatusNoUnit);
  }
  // Passes run from now on: the replies StartADSample waits for are unpacked by them.
  timer_ = nel::platform::MessageQueue::Current().SetTimer(kTickMs, [this] { Drain(); });
  unsigned char a = 0, b = 0, c = 0;
  if (opt.readFirmware && hb_->GetHardCtl()->GetSamThread()->Protocol().GetVersion(a, b, c))
    firmware_ = std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c);
  hb_->StartADSample(true);
}

FacadeHost::~FacadeHost() {
  // Deflates every cuff whatever mode runs, while the passes still run.
  hb_->CancelAllProcess();
  if (timer_) nel::platform::MessageQueue::Current().KillTimer(timer_);
  hb_->CloseHardware();
  if (opt_.replay) opt_.replay->Detach();
  if (opt_.capture) opt_.capture->Detach();
}

void FacadeHost::Drain() {
  for (int i = 0; i < kMaxPassesPerTick && !stopAfterPass_; ++i) {
    if (!hb_->CheckData()) {
      // A replay need not wait for the next tick where the recorded host did nothing in between.
      if (opt_.replay && opt_.replay->NextPassFollows()) continue;
      break;
    }
    const int n = hb_->GetData(nullptr, passPressures_, &status_);
    const int K = hb_->Layout().cuffCount;
    if (n > 0) {
      for (int k = 0; k < K; ++k) pressures_[k] = passPressures_[(n - 1) * K + k];
      frames_ += n;
    }
    ++passes_;
    if (onPass) onPass();
    if (done_ && (*done_)()) {
      // Nothing more changes once the step's condition holds: the host reads the results next.
      reached_ = true;
      stopAfterPass_ = true;
      nel::platform::MessageQueue::Current().PostQuit(0);
    }
  }
}

std::string FacadeHost::PressureText() const {
  std::string s;
  char buf[32];
  const auto& l = hb_->Layout();
  for (int k = 0; k < l.cuffCount; ++k) {
    std::snprintf(buf, sizeof buf, "%s%s %5.1f", k ? "  " : "", ChannelLabel(l.cuffs[k]),
                  static_cast<double>(pressures_[k]));
    s += buf;
  }
  return s;
}

void FacadeHost::RunUntil(const std::string& step, double limitSeconds, const std::function<bool()>& done,
                          const std::function<std::string()>& progress) {
  auto& queue = nel::platform::MessageQueue::Current();
  using Clock = std::chrono::steady_clock;
  // --timeout caps the whole command; otherwise the step's own limit counts from now.
  const long long limitFrames = opt_.timeout > 0 ? static_cast<long long>(opt_.timeout * 1000.0)
                                                 : frames_ + static_cast<long long>(limitSeconds * 1000.0);
  const bool tty = nel::platform::StderrIsTerminal();
  std::string why;
  int statusCode = kStatusFailure;
  long long lastFrames = frames_;
  auto lastFrameTime = Clock::now();
  int ticks = 0;

  done_ = &done;
  reached_ = false;
  stopAfterPass_ = false;
  // The condition may already hold (a step that needs no pass).
  if (done()) {
    done_ = nullptr;
    return;
  }
  g_interrupted = 0;
  auto oldInt = std::signal(SIGINT, OnSignal);
  auto oldTerm = std::signal(SIGTERM, OnSignal);
  const int watch = queue.SetTimer(20, [&] {
    if (!why.empty() || reached_) return;
    const auto now = Clock::now();
    if (frames_ != lastFrames) {
      lastFrames = frames_;
      lastFrameTime = now;
    }
    GiveUpReason(*hb_, now - lastFrameTime, frames_, limitFrames, why, statusCode);
    if (!why.empty()) {
      stopAfterPass_ = true;
      queue.PostQuit(0);
    }
  });
  const int show = queue.SetTimer(kProgressMs, [&] {
    if (!progress || reached_) return;
    ++ticks;
    ShowProgress(step + ": " + progress(), tty, ticks);
  });
  queue.Run();
  queue.KillTimer(watch);
  queue.KillTimer(show);
  std::signal(SIGINT, oldInt);
  std::signal(SIGTERM, oldTerm);
  done_ = nullptr;
  stopAfterPass_ = false;
  if (tty && ticks > 0) std::fprintf(stderr, "\n");
  if (!reached_) {
    if (why.empty()) why = "stopped";
    throw Failure(step + ": " + why + "; cuffs deflated", statusCode);
  }
}

}  // namespace nelctl
