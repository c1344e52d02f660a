#include <nel/cuff/pressure_fixed.h>

#include <nel/link/hard_ctl.h>

#include "cuff/pressure_fixed_levels.h"

namespace nel::cuff {

int FixedHoldLimbLevel(float deficit) {
  const double level = static_cast<double>(deficit) * 10.0 + 6500.0;
  if (!(level >= 4500.0)) return 4500;  // also a non-finite pressure
  if (level >= 9000.0) return 9000;
  return static_cast<int>(level);
}

int FixedHoldToeValue(float deficit) {
  const double v = static_cast<double>(deficit) + 20.0;
  if (!(v >= 20.0)) return 20;
  if (v >= 80.0) return 80;
  return static_cast<int>(v);
}

}  // namespace nel::cuff

TnelPressureFixed::TnelPressureFixed(TnelHardCtl* hardCtl) : HardCtl(hardCtl) {}

bool TnelPressureFixed::ChlIsToe(tagTYPE_NEL_BPDATA chl) { return chl == BP_RTOE || chl == BP_LTOE; }

void TnelPressureFixed::StartInflate(int level, int i, int third) {
  if (HardCtl) HardCtl->StartInflate(level, Chl[i], third);
}
void TnelPressureFixed::StopInflate(int i) {
  if (HardCtl) HardCtl->StopInflate(Chl[i]);
}
void TnelPressureFixed::RapidDeflate(int i, bool open) {
  if (HardCtl) HardCtl->RapidDeflate(Chl[i], open);
}

// See docs/decisions.md, "Fixed-pressure hold list".
void TnelPressureFixed::StartFixPressure(int pressure, tagTYPE_NEL_BPDATA* channels, int count) {
  if (count <= 0 || count > nel::kChannelCount || channels == nullptr) return;
  ChlCount = count;
  for (int i = 0; i < count; ++i) {
    Chl[i] = channels[i];
    ChlState[i] = kHolding;
    InBandCount[i] = 0;
  }
  Done = false;
  Active = true;
  AllSettled = false;
  Upper = static_cast<float>(pressure + 4.2);
  Lower = static_cast<float>(pressure - 0.7);
  Target = (Lower + Upper) * 0.5f;
  AvgCount = 0;
  for (int32_t& w : Wait) w = 0;
}

// Without deflation a pump still running is stopped. Safety decision: see docs/decisions.md,
// "Safety: a hold cancelled without deflation stops its pumps".
void TnelPressureFixed::CancelFixPressure(bool deflate) {
  if (!deflate && Active) {
    for (int i = 0; i < ChlCount; ++i)
      if (ChlState[i] == kInflating) StopInflate(i);
  }
  ChlCount = 0;
  Active = false;
  if (deflate && HardCtl) HardCtl->RapidDeflate(-1, true);
}

void TnelPressureFixed::FinalPhase(const float* pressures) {
  bool complete = true;
  for (int i = 0; i < ChlCount; ++i) {
    if (ChlIsToe(Chl[i]) || ChlState[i] == kSettled) continue;
    if (pressures[i] >= Target + 0.5) {
      ChlState[i] = kSettled;
      StopInflate(i);
    } else {
      complete = false;
    }
  }
  if (complete) {
    Done = true;
    Active = false;
  }
}

void TnelPressureFixed::Regulate(int i, float a) {
  const bool toe = ChlIsToe(Chl[i]);
  switch (ChlState[i]) {
    case kHolding:
      if (a >= Lower && a <= Upper) {
        if (++InBandCount[i] >= kSettleAverages) ChlState[i] = kSettled;
      } else if (a < Lower) {
        if (toe) {
          StartInflate(kToePumpLevel, i, nel::cuff::FixedHoldToeValue(Lower - a));
          Wait[i] = 20;
        } else {
          StartInflate(nel::cuff::FixedHoldLimbLevel(Lower - a), i, 0);
        }
        ChlState[i] = kInflating;
      } else if (a > Upper) {
        RapidDeflate(i, true);
        ChlState[i] = kDeflating;
      }
      break;
    case kDeflating:
      if (a <= Target - 4.0) {
        if (!toe) RapidDeflate(i, false);
        ChlState[i] = kHolding;
        InBandCount[i] = 0;
        Wait[i] = 10;
      }
      break;
    case kInflating:
      if (!toe) {
        if (a >= Target + 0.5) {
          StopInflate(i);
          ChlState[i] = kHolding;
          InBandCount[i] = 0;
          Wait[i] = 30;
        }
      } else if (a >= Lower) {
        ChlState[i] = kHolding;
        InBandCount[i] = 0;
        Wait[i] = 10;
      } else {
        StartInflate(kToePumpLevel, i, nel::cuff::FixedHoldToeValue(Lower - a));
        Wait[i] = 15;
      }
      break;
    default: break;
  }
}

void TnelPressureFixed::CheckPressure(float* pressures) {
  if (!Active || pressures == nullptr) return;
  if (AllSettled) {
    FinalPhase(pressures);
    return;
  }
  if (AvgCount == 0)
    for (float& s : PressAvg) s = 0.0f;
  for (int i = 0; i < ChlCount; ++i) PressAvg[i] += pressures[i];
  if (++AvgCount < kAveragePeriod) return;
  for (int i = 0; i < ChlCount; ++i) PressAvg[i] /= static_cast<float>(AvgCount);
  AvgCount = 0;

  for (int i = 0; i < ChlCount; ++i) {
    if (ChlState[i] == kSettled) continue;
    if (Wait[i] > 0) {
      --Wait[i];
      continue;
    }
    Regulate(i, PressAvg[i]);
  }

  for (int i = 0; i < ChlCount; ++i)
    if (ChlState[i] != kSettled) return;
  AllSettled = true;
  for (int i = 0; i < ChlCount; ++i) {
    if (ChlIsToe(Chl[i]) || !(PressAvg[i] < Target - 2.0)) continue;
    ChlState[i] = kInflating;
    StartInflate(kTopUpPumpLevel, i, 0);
  }
}
