#include <nel/cuff/bpm_inflate.h>

#include <algorithm>

#include <nel/link/hard_ctl.h>

namespace {

constexpr float kEmptyPressure = 5.0f;     // the cuff counts as empty at or below
constexpr float kPreInflateEnd = 8.0f;     // limb pre-inflation ends here
constexpr float kToeLostPressure = 12.0f;  // a held toe step below this lost its pressure
constexpr float kToeStep = 7.0f;           // mmHg per toe step
constexpr float kToeFirstTarget = 14.0f;   // the toe pre-inflation target
constexpr float kToeOvershoot = 2.0f;
constexpr int kStartLevel = 8700;  // limb pump level while pre-inflating
constexpr int kRunLevel = 6500;    // limb pump level after the pre-inflation
constexpr int kMinLevel = 4500;
constexpr int kMaxLevel = 9500;
constexpr int kToeLevel = 6000;
constexpr int kToeStartStep = 32;
constexpr int kMinStepLevel = 10;
constexpr int kMaxStepLevel = 100;
constexpr int kToeLevelTune = 5;
constexpr int kHoldAfterChange = 3;  // averaging periods without a correction
constexpr int kRateSpan = 3;         // periods between the two averages of a rate

}  // namespace

TnelBPMInflate::TnelBPMInflate(TnelHardCtl* hardCtl, int avgPeriod, tagTYPE_NEL_BPDATA channel) {
  Initialize(hardCtl, avgPeriod, channel);
}

void TnelBPMInflate::Initialize(TnelHardCtl* hardCtl, int avgPeriod, tagTYPE_NEL_BPDATA channel) {
  HardCtl = hardCtl;
  AvgPeriod = avgPeriod;
  Channel = channel;
  TargetHits = 0;
  IsToe = channel == BP_RTOE || channel == BP_LTOE;
  Initialize();
}

void TnelBPMInflate::Initialize() {
  State = 1;
  HistoryPos = 0;
  AvgCount = 0;
  AvgSum = 0.0f;
  SpeedHold = 0;
  AvgPressure = 0.0f;
  PumpSpeed = 0;
  StepTick = 0;
  EmptyCount = 0;
  Started = false;
  PreInflate = true;
  std::fill(std::begin(AvgHistory), std::end(AvgHistory), kEmptySlot);
}

void TnelBPMInflate::StartDeflate() {
  if (HardCtl != nullptr) HardCtl->RapidDeflate(Channel, true);
  State = 1;
  EmptyCount = 0;
  Started = false;
}

void TnelBPMInflate::StartPump(int level, int third) {
  if (HardCtl != nullptr) HardCtl->StartInflate(level, Channel, third);
}

void TnelBPMInflate::CurrPulseRecognOK() {
  if (!IsToe) return;
  SampleEnable = false;
  StepTick = 0;
  HoldCount = -1;
  State = 2;
  StepCommands = 1;
  StepTarget = AvgPressure + kToeStep;
  StartPump(kToeLevel, StepLevel);
}

void TnelBPMInflate::Process(float pressure) {
  if (HardCtl == nullptr) return;

  AvgReady = false;
  ++AvgCount;
  AvgSum += pressure;
  if (AvgCount == AvgPeriod) {
    AvgPressure = AvgSum / static_cast<float>(AvgCount);
    AvgCount = 0;
    AvgSum = 0.0f;
    AvgReady = true;
  }

  switch (State) {
    case 1:
      if (pressure > kEmptyPressure) {
        EmptyCount = 0;
        break;
      }
      if (++EmptyCount <= AvgPeriod) break;
      if (IsToe) {
        StepLevel = kToeStartStep;
        StartPump(kToeLevel, kToeStartStep);
        StepTarget = kToeFirstTarget;
        TargetHits = 0;
      } else {
        PumpSpeed = kStartLevel;
        StartPump(kStartLevel, 0);
      }
      PreInflate = true;
      State = 2;
      Started = true;
      SampleEnable = true;
      if (IsToe) {
        SampleEnable = false;
        HoldCount = -1;
      }
      break;
    case 2:
      if (IsToe)
        StepControl(pressure);
      else
        RateControl(pressure);
      break;
    case 3:
      if (IsToe && pressure < kToeLostPressure) {
        PreInflate = true;
        State = 2;
        SampleEnable = false;
        HoldCount = -1;
      }
      break;
    default: break;
  }
}

void TnelBPMInflate::RateControl(float pressure) {
  if (PreInflate) {
    if (pressure < kPreInflateEnd) return;
    PumpSpeed = kRunLevel;
    StartPump(kRunLevel, 0);
    PreInflate = false;
    return;
  }
  if (!AvgReady) return;
  AvgHistory[HistoryPos] = AvgPressure;

  if (SpeedHold > 0) {
    --SpeedHold;
  } else {
    const float back = AvgHistory[(HistoryPos + kHistory - kRateSpan) % kHistory];
    if (back != kEmptySlot) {
      // Band in mmHg per averaging period, widening by 0.5 every 50 mmHg up
      // to 250 mmHg. Single precision throughout.
      const int k = std::clamp(static_cast<int>(pressure) / 50, 0, 5);
      const float lo = 2.5f + 0.5f * static_cast<float>(k);
      const float hi = 4.0f + 0.5f * static_cast<float>(k);
      const float rate = (AvgPressure - back) * 0.33333334f;
      int level = PumpSpeed;
      if (rate > hi + 0.8f)
        level -= 60;
      else if (rate > hi)
        level -= 30;
      else if (rate < lo - 1.0f)
        level += 80;
      else if (rate < lo)
        level += 35;
      if (level != PumpSpeed && level > 0) {
        PumpSpeed = std::clamp(level, kMinLevel, kMaxLevel);
        StartPump(PumpSpeed, 0);
        SpeedHold = kHoldAfterChange;
      }
    }
  }
  if (++HistoryPos >= kHistory) HistoryPos = 0;
}

void TnelBPMInflate::StepControl(float pressure) {
  if (HoldCount >= 0) {
    ++HoldCount;
    if (HoldCount > 1.5 * AvgPeriod) {
      State = 3;
      SampleEnable = true;
    }
    return;
  }
  if (++StepTick < AvgPeriod / 4) return;
  StepTick = 0;

  if (pressure >= StepTarget) {
    if (PreInflate) {
      if (++TargetHits >= 3) {
        PreInflate = false;
        HoldCount = 0;
      }
      return;
    }
    HoldCount = 0;
    // The level stays within the pump's range where it is tuned, so the next
    // step's first command is never refused.
    if (StepCommands > 1)
      StepLevel = std::clamp(StepLevel + kToeLevelTune, kMinStepLevel, kMaxStepLevel);
    else if (StepCommands == 1 && pressure > StepTarget + kToeOvershoot)
      StepLevel = std::clamp(StepLevel - kToeLevelTune, kMinStepLevel, kMaxStepLevel);
    return;
  }
  if (PreInflate) TargetHits = 0;
  StepLevel = std::clamp(StepLevel, kMinStepLevel, kMaxStepLevel);
  StartPump(kToeLevel, StepLevel);
  ++StepCommands;
}
