// A façade on the virtual unit over a pseudo-terminal, with the unit's clock
// stepped by the test: virtual time advances in small steps and after each
// step the façade drains every frame of it, so nothing is lost however slowly
// the build runs (sanitizers) and the cuffs' control loop sees the latency of
// one step.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>
#include <nel/control/hard_base.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/message_queue.h>

#include "sim/unit_server.h"

namespace nel::test {

// The default subject with a steady rhythm (no scheduled rhythm events).
inline nel::sim::SubjectConfig QuietSubject() {
  nel::sim::SubjectConfig s;
  s.rhythm.clear();
  return s;
}

// An exercise protocol of `checks` simultaneous four-cuff checks, each
// starting `pauseSeconds` after the previous one finished.
inline tagExerciseStressConfig PausedExercise(int16_t checks, int32_t pauseSeconds) {
  tagExerciseStressConfig cfg{};
  cfg.CheckCount = checks;
  cfg.TimingMode = 1;
  cfg.PauseSeconds = pauseSeconds;
  cfg.BPMeasureMode = BPMEASURE_SIMULTANEOUS;
  cfg.MaxPressure = 250;
  return cfg;
}

class FacadeRig {
 public:
  static constexpr int kStepFrames = 20;
  static constexpr int kStepWaitMs = 10000;  // wall time a step's frames may take

  explicit FacadeRig(const sim::SubjectConfig& subject = sim::SubjectConfig(),
                     tagTYPE_DATAPROCESSMODE mode = DATAPROCESS_STANDARD)
      : server(subject, SteppedOptions()), hb(0, mode) {
    started = server.Start(&error);
    // The unit's time moves only with the test: on a loaded machine a step's
    // frames may take seconds of wall time, which is not a silent unit.
    hb.SetSilenceLimitMs(kStepWaitMs);
  }
  ~FacadeRig() {
    hb.CloseHardware();
    server.Stop();
  }

  static sim::UnitServer::Options SteppedOptions() {
    sim::UnitServer::Options o;
    o.clock = sim::UnitServer::Clock::kStepped;
    o.port = 1;  // the lowest port: the port search finds the unit first
    return o;
  }

  // OpenHardware by the port search, then StartADSample while a timer of the
  // thread's queue runs passes (the replies to its commands are unpacked by
  // the passes, as in a host).
  bool Open(bool readCoeff = true) {
    if (!started || !hb.OpenHardware(0x80)) return false;
    auto& queue = platform::MessageQueue::Current();
    const int timer = queue.SetTimer(1, [this] { DrainAll(); });
    hb.StartADSample(readCoeff);
    queue.KillTimer(timer);
    return true;
  }

  // Runs passes until one yields nothing; returns the frames taken.
  int DrainAll() {
    int total = 0;
    while (hb.CheckData()) {
      const int n = hb.GetData(static_cast<int*>(nullptr));
      total += n;
      ++passes;
      if (onPass) onPass(n);
    }
    return total;
  }

  // Advances the unit by `frames` in steps and lets the façade take each step
  // completely. Stops early when `until` becomes true after a pass. Returns
  // false when frames went missing (the unit's bytes did not arrive in time).
  bool Run(long frames, const std::function<bool()>& until = nullptr) {
    long done = 0;
    while (done < frames) {
      const int step = static_cast<int>(std::min<long>(kStepFrames, frames - done));
      if (!server.Advance(step)) return false;
      int got = 0;
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStepWaitMs);
      while (got < step) {
        got += DrainAll();
        if (until && until()) return true;
        if (got < step) {
          if (std::chrono::steady_clock::now() > deadline) return false;
          std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
      }
      done += step;
      if (until && until()) return true;
    }
    return true;
  }

  // Runs up to `maxSeconds` of virtual time until `until` holds; true if it did.
  bool RunUntil(double maxSeconds, const std::function<bool()>& until) {
    bool hit = false;
    const bool delivered = Run(static_cast<long>(maxSeconds * 1000), [&] { return hit = hit || until(); });
    if (!delivered) ADD_FAILURE() << "the unit's frames of a step did not arrive within 10 s";
    return hit;
  }

  tagHMID_DATA Status() const {
    tagHMID_DATA s{};
    hb.GetStatus(&s);
    return s;
  }

  nlohmann::json Truth() { return server.GroundTruth(); }

  sim::UnitServer server;
  TnelHardBase hb;
  bool started = false;
  std::string error;
  long passes = 0;
  std::function<void(int)> onPass;
};

}  // namespace nel::test
