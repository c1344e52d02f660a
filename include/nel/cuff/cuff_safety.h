// CuffSafetyMonitor: the last word on every pump and valve of one unit.
//
// The façade gives it every frame's line pressures. It stops every pump, opens every valve and sets the pump
// lockout (until Rearm) for a line above the ceiling in force or past the time limit, or for a stop the façade
// found elsewhere. Safety decisions: see docs/decisions.md, "Safety: a monitor in the pass", "Safety: ceilings" and
// "Safety: the pump lockout".
//
// Threads: called from the thread that runs the façade's passes only. A check
// allocates nothing and sends commands only when it stops.
#pragma once

#include <cstddef>
#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>

class TnelHardCtl;

// Why the library stopped every pump and opened every valve.
enum tagTYPE_SAFETY_STOP : int32_t {
  SAFETY_NONE = 0,
  SAFETY_OVERPRESSURE = 1,  // a line above the ceiling, or a sequencer's over-pressure
  SAFETY_TIME_LIMIT = 2,    // a line above 15 mmHg for longer than 180 s
  SAFETY_UNIT_SILENT = 3,   // no frame for kSilenceMs while a line may hold pressure
  SAFETY_DEVICE_LOST = 4,   // the port hung up or failed while a line may hold pressure
};

#pragma pack(push, 4)
// The last safety stop, as the host reads it (TnelHardBase::GetSafetyReport).
struct tagSAFETY_REPORT {
  int32_t Reason;     // a tagTYPE_SAFETY_STOP value; SAFETY_NONE while none
  int32_t Line;       // pneumatic line 0..3 that caused it; -1 for a link fault
  float Pressure;     // that line's pressure at the stop, mmHg (0 for a link fault)
  float Ceiling;      // the ceiling in force at the stop, mmHg
  float Seconds;      // seconds the line had been above 15 mmHg at the stop
  int32_t StopCount;  // stops since the façade was built
};
#pragma pack(pop)
static_assert(sizeof(tagSAFETY_REPORT) == 24);
static_assert(offsetof(tagSAFETY_REPORT, Line) == 4);
static_assert(offsetof(tagSAFETY_REPORT, Pressure) == 8);
static_assert(offsetof(tagSAFETY_REPORT, Ceiling) == 12);
static_assert(offsetof(tagSAFETY_REPORT, Seconds) == 16);
static_assert(offsetof(tagSAFETY_REPORT, StopCount) == 20);

namespace nel::cuff {

class NEL_API CuffSafetyMonitor {
 public:
  static constexpr float kCeilingMmHg = 300.0f;       // never exceeded on any line
  static constexpr float kMeasureMarginMmHg = 10.0f;  // above a BP measurement's maximum
  static constexpr float kHoldMarginMmHg = 20.0f;     // above a hold's requested pressure
  static constexpr float kPressurisedMmHg = 15.0f;
  static constexpr int32_t kFramesPerSecond = 1000;
  static constexpr int32_t kTimeLimitFrames = 180 * kFramesPerSecond;
  static constexpr int kSilenceMs = 2000;  // wall time without a frame
  // After a stop, frames until the commands are repeated while a line is
  // still above its limit (a command lost on the line).
  static constexpr int32_t kResendFrames = kFramesPerSecond;

  explicit CuffSafetyMonitor(TnelHardCtl* hardCtl) : hardCtl_(hardCtl) {}

  // The ceiling for a measurement with this maximum (min(max + margin, 300)).
  static float MeasureCeiling(int maxPressure);
  static float HoldCeiling(int pressure);
  // A line above the new ceiling is held to kCeilingMmHg until it comes down: see docs/decisions.md,
  // "Safety: ceilings".
  void SetCeiling(float mmHg);
  float Ceiling() const { return ceiling_; }

  // One frame's pressures of lines 0..3 (mmHg). Returns the stop this frame
  // caused, or SAFETY_NONE (also for every frame after a stop until Rearm).
  tagTYPE_SAFETY_STOP CheckFrame(const float* linePressures);
  // A stop found elsewhere: stops every pump, opens every valve, locks the
  // pumps out and records the reason (a second stop before Rearm only
  // repeats the commands).
  void Stop(tagTYPE_SAFETY_STOP reason, int line, float pressure);
  // A host starts a new measurement or hold: the report is cleared and the
  // pumps may run again. The time counters keep running.
  void Rearm();

  bool Stopped() const { return stopped_; }
  const tagSAFETY_REPORT& Report() const { return report_; }
  // Frames line `line` has been above 15 mmHg without a break.
  int32_t FramesAbove(int line) const { return (line >= 0 && line < nel::kTransducerCount) ? above_[line] : 0; }

 private:
  TnelHardCtl* hardCtl_;
  float ceiling_ = kCeilingMmHg;
  bool armed_[nel::kTransducerCount] = {true, true, true, true};  // the line is held to ceiling_
  float last_[nel::kTransducerCount] = {};                        // pressures of the last frame
  int32_t above_[nel::kTransducerCount] = {};
  bool stopped_ = false;
  int32_t resendIn_ = 0;  // frames until the stop's commands are repeated
  tagSAFETY_REPORT report_ = {SAFETY_NONE, -1, 0.0f, kCeilingMmHg, 0.0f, 0};
};

}  // namespace nel::cuff
