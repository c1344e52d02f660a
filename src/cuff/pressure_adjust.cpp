#include <nel/cuff/pressure_adjust.h>

namespace {

// 32-bit two's-complement wrap, computed unsigned: see docs/decisions.md, "Calibration arithmetic".
int32_t WrappingAdd(int32_t a, int32_t b) {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}

}  // namespace

TnelPressureAdjust::TnelPressureAdjust() {
  ChlCount = 0;
  Countdown = 0;
  Measuring = false;
  Running = false;
}

void TnelPressureAdjust::StartPressureAdjust(int* channels, int count) {
  if (count < 0 || count > nel::kTransducerCount) return;
  ChlCount = count;
  for (int i = 0; i < count; ++i) {
    // A missing list is a list with an invalid channel. An invalid channel is
    // not stored: the entries before it are, and the calibration does not start.
    if (channels == nullptr) return;
    const int channel = channels[i];
    if (channel < 0 || channel > 3) return;
    Chl[i] = channel;
  }
  Step = ADJ_STEP1;
  StepReported = false;
  Countdown = 0;
  Measuring = false;
  Running = true;
}

typeADJ_RET_STYLE TnelPressureAdjust::PressureAdjustProc(int* ad) {
  if (!Running) return ADJ_NONE;
  // See docs/decisions.md, "Bad calibration arguments".
  if (ad == nullptr && ChlCount > 0) return ADJ_NONE;

  Countdown = WrappingAdd(Countdown, -1);
  if (Countdown > 0) return ADJ_NONE;

  if (!Measuring) {
    if (!StepReported) {
      StepReported = true;
      return Step;
    }
    return ADJ_NONE;
  }

  for (int i = 0; i < ChlCount; ++i) Sum[i] = WrappingAdd(Sum[i], ad[i]);
  SampleCount = static_cast<int16_t>(SampleCount + 1);
  if (SampleCount < kCollectCalls) return ADJ_NONE;

  if (Step == ADJ_STEP1) {
    for (int i = 0; i < ChlCount; ++i) Avg1[i] = Sum[i] / kCollectCalls;
    Measuring = false;
    Step = ADJ_STEP2;
    StepReported = true;
    return ADJ_STEP2;
  }

  for (int i = 0; i < ChlCount; ++i) {
    Avg2[i] = Sum[i] / kCollectCalls;
    const int32_t diff = Avg2[i] - Avg1[i];  // both within +-2^31/1001: no overflow
    const double d = diff == 0 ? 1.0 : static_cast<double>(diff);
    Gain[i] = static_cast<float>(100.0 / d);
    Offset[i] = static_cast<float>((100.0 * Avg2[i] - 200.0 * Avg1[i]) / d);
  }
  Running = false;
  return ADJ_DONE;
}

void TnelPressureAdjust::WantedPressureOK() {
  Measuring = true;
  Countdown = kSettleCalls;
  SampleCount = 0;
  for (int32_t& s : Sum) s = 0;
}

void TnelPressureAdjust::GetAdjustCoeff(float* gain, float* offset, int index) {
  const bool valid = index >= 0 && index < ChlCount;
  if (gain) *gain = valid ? Gain[index] : 0.0f;
  if (offset) *offset = valid ? Offset[index] : 0.0f;
}

void TnelPressureAdjust::StopPressureAdjust() { Running = false; }
