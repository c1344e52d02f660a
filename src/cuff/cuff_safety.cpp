#include <nel/cuff/cuff_safety.h>

#include <algorithm>
#include <cmath>

#include <nel/link/hard_ctl.h>

namespace nel::cuff {

float CuffSafetyMonitor::MeasureCeiling(int maxPressure) {
  return std::min(static_cast<float>(maxPressure) + kMeasureMarginMmHg, kCeilingMmHg);
}

float CuffSafetyMonitor::HoldCeiling(int pressure) {
  return std::min(static_cast<float>(pressure) + kHoldMarginMmHg, kCeilingMmHg);
}

void CuffSafetyMonitor::SetCeiling(float mmHg) {
  // A NaN ceiling would never trip: take the absolute one instead.
  ceiling_ = std::isnan(mmHg) ? kCeilingMmHg : std::min(mmHg, kCeilingMmHg);
  for (int l = 0; l < nel::kTransducerCount; ++l) armed_[l] = last_[l] <= ceiling_;
}

tagTYPE_SAFETY_STOP CuffSafetyMonitor::CheckFrame(const float* p) {
  if (p == nullptr) return SAFETY_NONE;
  tagTYPE_SAFETY_STOP found = SAFETY_NONE;
  int line = -1;
  for (int l = 0; l < nel::kTransducerCount; ++l) {
    last_[l] = p[l];
    if (!armed_[l] && p[l] <= ceiling_) armed_[l] = true;
    // A pressure that is not a number counts as above everything.
    const bool over = !(p[l] <= (armed_[l] ? ceiling_ : kCeilingMmHg));
    if (p[l] > kPressurisedMmHg || std::isnan(p[l])) {
      if (above_[l] < kTimeLimitFrames + 1) ++above_[l];
    } else {
      above_[l] = 0;
    }
    if (found != SAFETY_NONE) continue;
    if (over) {
      found = SAFETY_OVERPRESSURE;
      line = l;
    } else if (above_[l] > kTimeLimitFrames) {
      found = SAFETY_TIME_LIMIT;
      line = l;
    }
  }
  if (found == SAFETY_NONE) return SAFETY_NONE;
  if (stopped_) {
    if (--resendIn_ <= 0) Stop(found, line, p[line]);
    return SAFETY_NONE;
  }
  Stop(found, line, p[line]);
  return found;
}

void CuffSafetyMonitor::Stop(tagTYPE_SAFETY_STOP reason, int line, float pressure) {
  if (hardCtl_) {
    hardCtl_->SetPumpLockout(true);
    hardCtl_->DeflateAll();
  }
  resendIn_ = kResendFrames;
  if (stopped_) return;
  stopped_ = true;
  report_.Reason = reason;
  report_.Line = line;
  report_.Pressure = pressure;
  report_.Ceiling = ceiling_;
  report_.Seconds = (line >= 0 && line < nel::kTransducerCount)
                        ? static_cast<float>(above_[line]) / static_cast<float>(kFramesPerSecond)
                        : 0.0f;
  ++report_.StopCount;
}

void CuffSafetyMonitor::Rearm() {
  stopped_ = false;
  const int32_t count = report_.StopCount;
  report_ = {SAFETY_NONE, -1, 0.0f, ceiling_, 0.0f, count};
  if (hardCtl_) hardCtl_->SetPumpLockout(false);
}

}  // namespace nel::cuff
