// The host side of the façade for the measurement subcommands (bp, hold,
// record, signal-check, cvrr, exercise): one TnelHardBase driven the way a
// host drives it, from a periodic timer of the thread's message queue.
//
// Every tick (1 ms) runs processing passes back to back until one yields no
// frame, so a unit streaming at X times real time is kept up with (the host
// must run at least 37 * X passes a second; a pass takes at most 27 frames).
// While a step runs, a line of progress (pressures per cuff, status, time
// left) goes to stderr: one updating line on a terminal, a line a second
// otherwise. A step ends when its condition holds after a pass, or with a
// Failure when its virtual-time limit passes (time counted in frames, so a
// slowly running build still gets the whole measurement), when no frame has
// arrived for kSilenceMs, when the unit goes away, or on SIGINT/SIGTERM.
// Whatever the exit path, the destructor cancels every mode (the cuffs are
// deflated) and closes the hardware.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include <nel/link/stream_log.h>
#include <nel/nel.h>
#include "simulate.h"

namespace nelctl {

class ReplayLink;

// Speed of the virtual unit with --simulate unless --speed says otherwise: see docs/decisions.md, "Passes per tick".
inline constexpr double kFacadeDefaultSpeed = 20.0;

struct FacadeOptions {
  SimulateOptions sim;
  bool json = false;
  int port = 0;          // 0: the port search
  double timeout = 0.0;  // virtual seconds for the whole command; 0: the command's own limit
  // When set: records every byte exchanged with the unit (from before the
  // port search to the close); must outlive the FacadeHost.
  nel::link::StreamRecorder* capture = nullptr;
  bool readFirmware = false;  // ask the unit for its firmware version once open
  // When set: the unit is a recorded session served back (the port's tap and
  // gate are the replay's; it passes every event on to `capture`).
  ReplayLink* replay = nullptr;
  FacadeOptions() { sim.speed = kFacadeDefaultSpeed; }
};

// Adds --simulate/--speed/--subject, --port, --json and --timeout.
void AddFacadeOptions(CLI::App* cmd, FacadeOptions& opt);

// Detect category by its command-line name ("bra-ank", "bra-toe").
tagTYPE_DETECTCATEGORY CategoryFromName(const std::string& name);
const char* CategoryName(tagTYPE_DETECTCATEGORY category);
// BP measurement mode by its command-line name ("simultaneous", "sequential", "right-then-left").
tagTYPE_BPMEASUREMODE ModeFromName(const std::string& name);
const char* ModeName(tagTYPE_BPMEASUREMODE mode);
// Cuff channel by its command-line name ("rbra" ... "ltoe"); the names of each channel.
tagTYPE_NEL_BPDATA ChannelFromName(const std::string& name);
const char* ChannelName(int channel);                   // "rbra", ...
const char* ChannelLabel(int channel);                  // "RBra", ...
const char* WaveLabel(int kind);                        // "ECG", "PCG", "RBra", ...
const char* BPStatusName(int status);                   // "measuring", "ok", ..., "overpressure", "stopped"
std::string SafetyStopText(const tagSAFETY_REPORT& r);  // why the library stopped every pump

class FacadeHost {
 public:
  static constexpr int kTickMs = 1;
  static constexpr int kMaxPassesPerTick = 4096;
  static constexpr int kSilenceMs = 5000;
  static constexpr int kProgressMs = 250;

  // Starts the virtual unit when asked, constructs the façade, sets the
  // category, opens the unit (on --port, or by the port search) and starts
  // sampling with the unit's coefficients. Throws Failure: kStatusNoUnit when
  // no unit answers, kStatusBusy when the port given is in use.
  FacadeHost(const FacadeOptions& opt, tagTYPE_DETECTCATEGORY category);
  ~FacadeHost();
  FacadeHost(const FacadeHost&) = delete;
  FacadeHost& operator=(const FacadeHost&) = delete;

  TnelHardBase& Base() { return *hb_; }

  // Runs passes until `done` holds after a pass. `progress` gives the text of
  // the progress line. Throws Failure when `limitSeconds` of virtual time pass
  // (the --timeout option, when given, caps the whole command instead), when
  // the unit falls silent or goes away, or on interruption.
  void RunUntil(const std::string& step, double limitSeconds, const std::function<bool()>& done,
                const std::function<std::string()>& progress);

  // Called after every pass that produced frames (after the values below are updated).
  std::function<void()> onPass;

  double VirtualSeconds() const { return static_cast<double>(frames_) / 1000.0; }
  long long Frames() const { return frames_; }
  long long Passes() const { return passes_; }
  const tagHMID_DATA& Status() const { return status_; }
  // Pressure of each cuff position at the last frame of the last pass.
  const float* Pressures() const { return pressures_; }
  // "RBra 123.4 LBra 0.3 ..." for the current cuff list.
  std::string PressureText() const;

  bool Json() const { return opt_.json; }
  // "a.b.c" when readFirmware was set and the unit answered, else empty.
  const std::string& Firmware() const { return firmware_; }
  int Port() const { return port_; }

 private:
  void Drain();

  FacadeOptions opt_;
  std::unique_ptr<Simulation> sim_;  // declared first: outlives the façade
  std::unique_ptr<TnelHardBase> hb_;
  int timer_ = 0;
  int port_ = 0;
  std::string firmware_;
  bool stopAfterPass_ = false;
  const std::function<bool()>* done_ = nullptr;
  bool reached_ = false;
  long long frames_ = 0;
  long long passes_ = 0;
  tagHMID_DATA status_ = {};
  float pressures_[6] = {};
  float passPressures_[27 * 6] = {};
};

}  // namespace nelctl
