// A host of the library on the virtual unit in stepped time, for tests, tools
// and benchmarks (nel_sim_kit; it links the library, which nelsim_lib does not).
//
// The unit runs on a pseudo-terminal with Clock::kStepped: virtual time moves
// kStepFrames at a time, and after each step the host takes every frame of it
// before the next one, so nothing is lost however slowly the machine runs
// (sanitizers, a loaded core) and a host's control loop sees the latency of
// one step. Two hosts:
//  - SteppedFacade: a TnelHardBase found by the port search, with passes of
//    CheckData/GetData as a host runs them;
//  - SteppedLink: a bare TnelHardCtl whose frames go one by one to the caller
//    (the cuff and BP rooms' own hosts).
// And, without a line, FeedAndDrain and UseCoefficients for a façade fed from
// a VirtualUnit in this process.
//
// Threads: a rig is driven by one thread, the one whose message queue runs
// the reply pump of its commands. Its server may be reached from any thread.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include <nel/control/facade_records.h>
#include <nel/control/hard_base.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/qx_protocol.h>
#include <nel/link/records.h>
#include <nel/link/sam_thread.h>

#include "unit_server.h"
#include "virtual_unit.h"

namespace nel::sim {

inline constexpr int kStepFrames = 20;     // frames per step of the unit's clock
inline constexpr int kStepWaitMs = 10000;  // wall time a step's frames may take on a slow machine

// --- Subjects -----------------------------------------------------------------

// The default subject with a steady rhythm (no scheduled rhythm events).
SubjectConfig QuietSubject();

// The default subject with `sbp`/`dbp` at `site`, a mean heart rate and a seed.
SubjectConfig SiteSubject(int site, double sbp, double dbp, double heartRateBpm, uint64_t seed);

// An exercise protocol of `checks` simultaneous four-cuff checks, each
// starting `pauseSeconds` after the previous one finished.
tagExerciseStressConfig PausedExercise(int16_t checks, int32_t pauseSeconds);

// --- Steps --------------------------------------------------------------------

// The unit on the stepped clock behind `port`.
UnitServer::Options SteppedOptions(int port = 1);

// How a run of steps ended.
enum class RunEnd {
  kRanOut,   // every step was taken and `until` never held
  kHeld,     // `until` held
  kNotSent,  // the line did not take a step's bytes
  kLate,     // a step's frames did not all arrive in time
};
// Every frame of the steps run arrived.
inline bool Delivered(RunEnd end) { return end == RunEnd::kRanOut || end == RunEnd::kHeld; }

struct StepWaits {
  int frame_wait_ms = kStepWaitMs;  // per step, from its advance
  int poll_us = 50;                 // pause while none of the step's frames waits
};

// What a run does around each step.
struct StepHandler {
  std::function<void(int frames)> stepped;  // after each advance (may be empty)
  std::function<int()> take;                // takes what has arrived; the frames taken, 0 when none
  std::function<bool()> until;              // asked after every take and every step (may be empty)
};

// Advances `server` by `frames` in steps of kStepFrames (the last one may be
// shorter); after each, `take` runs until it has taken the step's frames.
RunEnd RunSteps(UnitServer& server, long frames, const StepWaits& waits, const StepHandler& handler);

// Runs `command`, which waits for the unit's reply, while a timer of this
// thread's queue runs `pass` (a reply is unpacked by the sample stream).
void WithReplyPump(const std::function<void()>& pass, const std::function<void()>& command);

// --- The façade ---------------------------------------------------------------

struct SteppedFacadeOptions {
  // The unit's time moves only with the rig: a step's frames may take seconds
  // of wall time on a loaded machine, which is not a silent unit.
  int silence_limit_ms = kStepWaitMs;
  // Before the passes of a step, wait (up to 2 s) until all its frames lie in
  // the receive ring and nothing more arrives: one pass then takes the whole
  // step, so the passes fall on the same frames in every run.
  bool whole_step_passes = false;
};

class SteppedFacade {
 public:
  static constexpr int kStepFrames = sim::kStepFrames;
  static constexpr int kStepWaitMs = sim::kStepWaitMs;

  // Starts the unit on port 1, the lowest: the port search finds it first.
  explicit SteppedFacade(const SubjectConfig& subject = SubjectConfig(),
                         SteppedFacadeOptions options = SteppedFacadeOptions());
  ~SteppedFacade();

  // OpenHardware by the port search, then StartADSample while a timer of the
  // thread's queue runs passes (the replies to its commands are unpacked by
  // the passes, as in a host).
  bool Open(bool readCoeff = true);

  // Runs passes until one yields nothing; returns the frames taken.
  int DrainAll();

  // Advances the unit by `frames` and lets the façade take each step
  // completely (DrainAll). Stops early when `until` holds after a drain.
  // False when frames went missing (the unit's bytes did not arrive in time).
  bool Run(long frames, const std::function<bool()>& until = nullptr);
  // Runs up to `maxSeconds` of virtual time until `until` holds.
  RunEnd RunUntil(double maxSeconds, const std::function<bool()>& until);
  // As Run, with `take` in place of DrainAll.
  RunEnd RunWith(long frames, const std::function<int()>& take, const std::function<bool()>& until = nullptr);

  // Takes every frame the unit was advanced by; true when the façade took
  // every frame the unit sent, and the unit sent every frame Run advanced.
  bool Settle();

  tagHMID_DATA Status() const;
  nlohmann::json Truth() { return server.GroundTruth(); }

  UnitServer server;  // before the façade: it outlives it
  TnelHardBase hb;
  StepWaits waits;
  bool started = false;
  std::string error;
  long passes = 0;                   // passes that yielded frames
  long taken = 0;                    // frames those passes took
  long advanced = 0;                 // frames Run advanced the unit by
  std::function<void(int)> on_pass;  // after each such pass, with its frame count

 private:
  void WaitForStep(int frames);

  SteppedFacadeOptions options_;
};

// --- The link alone -----------------------------------------------------------

// A TnelHardCtl on the unit served with `unit` (SteppedOptions(port), or a
// real-time clock for a host that runs its own loop; Feed needs steps).
class SteppedLink {
 public:
  SteppedLink(const SubjectConfig& subject, const UnitServer::Options& unit);
  ~SteppedLink();

  // Opens the unit's port and starts sampling with the unit's coefficients.
  bool Open();
  // Runs `command` (one that waits for a reply) with the reply pump; the
  // frames the pump takes meanwhile are not the caller's.
  void Pumped(const std::function<void()>& command);

  // Advances the unit by `frames` and hands every frame of each step to
  // `each` (false from it stops the run).
  RunEnd Feed(long frames, const std::function<bool(const tagSAM_DATA&)>& each);
  // Feed; false when frames went missing.
  bool Run(long frames, const std::function<bool(const tagSAM_DATA&)>& each = nullptr) {
    return Delivered(Feed(frames, each));
  }

  UnitServer server;
  TnelHardCtl ctl;
  StepWaits waits{5000, 200};
  bool started = false;
  std::string error;
  long taken = 0;      // frames Feed read
  tagSAM_DATA last{};  // the last frame handed to `each`
};

// --- A façade fed in this process ---------------------------------------------

// Puts `set` (six channels) in use, as StartADSample(true) does with the set
// the unit holds.
void UseCoefficients(TnelHardBase& hb, const tagAD_FORCE_CONVERT* set);

// Stores `n` bytes in the façade's receive ring as the reader thread would,
// in pieces the ring holds, and after each piece runs passes until one yields
// nothing; `afterPass` runs after every pass that yielded frames.
template <class F>
void FeedAndDrain(TnelHardBase& hb, const uint8_t* bytes, size_t n, F&& afterPass) {
  QXProtocol& port = hb.GetHardCtl()->GetSamThread()->Protocol();
  for (size_t at = 0; at < n;) {
    const int m = static_cast<int>(std::min<size_t>(TSamThread::kStagingBytes, n - at));
    port.InjectReceived(bytes + at, m);
    at += static_cast<size_t>(m);
    while (hb.CheckData()) afterPass();
  }
}

// A façade wired to a VirtualUnit in this thread without a line: the unit
// hears the façade's commands at once, and each step's frames are taken by
// passes before the next step, so the passes fall on the same frames in every
// run. The unit samples and its coefficient set is in use from the start.
class InProcessFacade {
 public:
  explicit InProcessFacade(const SubjectConfig& subject = SubjectConfig());
  InProcessFacade(const InProcessFacade&) = delete;
  InProcessFacade& operator=(const InProcessFacade&) = delete;

  // Steps of kStepFrames, for at most `seconds` of the unit's time, until
  // `until` holds after a step. Each step's bytes go to `take` (by default
  // FeedAndDrain) unless the façade is not to hear the unit (`heard` false),
  // which runs on. True when `until` held.
  bool Run(double seconds, const std::function<bool()>& until = nullptr, bool heard = true);
  tagHMID_DATA Status() const;

  VirtualUnit unit;
  TnelHardBase hb;
  bool opened = false;
  std::function<void(const uint8_t* bytes, size_t n)> take;
};

}  // namespace nel::sim
