#include <nel/bp/pulse_recogn.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace {

constexpr float kLowPressure = 14.0f;     // below: window ignored, pulse dropped
constexpr float kMapMinPressure = 40.0f;  // envelope maximum and early end only above
constexpr int32_t kArtefactAmp = 12000;   // larger windows below 40 mmHg are artefacts
constexpr int kToeQuietSamples = 32;      // samples without a new maximum after a toe peak
constexpr int kLimbQuietSamples = 16;     // the same for a limb pulse
constexpr int kPeakGuard = 16;            // samples before a peak that must stay below it
constexpr int kMaxRise = 50;              // longest limb pulse rise, samples
constexpr int kClosePeaks = 45;           // limb peaks closer than this compete
constexpr int kSpikeDistance = 210;       // neighbour distance of a spike

// Adds one smoothed sample (number `index`) to the open window: the first
// sample opens it, later ones move its extremes. True once it holds winLen samples.
bool AddToWindow(TnelPulseRecogn::PulseWindow& win, int32_t& sampleCount, int32_t winLen, int32_t oscSmooth,
                 int index) {
  if (sampleCount == 0) {
    win.MaxValue = win.MinValue = oscSmooth;
    win.MaxPos = win.MinPos = index;
    win.Status = TnelPulseRecogn::WIN_VALID;
    sampleCount = 1;
    return false;
  }
  if (oscSmooth > win.MaxValue) {
    win.MaxValue = oscSmooth;
    win.MaxPos = index;
  }
  if (oscSmooth < win.MinValue) {
    win.MinValue = oscSmooth;
    win.MinPos = index;
  }
  if (++sampleCount < winLen) return false;
  return true;
}

// A completed window's amplitude, and its status by its pressure and amplitude.
void JudgeAmplitude(TnelPulseRecogn::PulseWindow& win, float winPressure, int32_t minAmp) {
  win.Amp = win.MaxValue - win.MinValue;
  if (winPressure < kLowPressure) {
    win.Status = TnelPulseRecogn::WIN_LOWPRESSURE;
    return;
  }
  if (win.Amp < minAmp) win.Status = TnelPulseRecogn::WIN_SMALL;
  if (win.Amp > kArtefactAmp && winPressure < kMapMinPressure) win.Status = TnelPulseRecogn::WIN_ARTEFACT;
}

// The envelope maximum among windows r.SearchStart..W-1: the largest valid
// window above 40 mmHg, at least MAPMinAmp, with two valid windows on either
// side. -1 when there is none.
int SearchMaximumWindow(const TnelPulseRecogn& r, int W) {
  if (r.SearchStart >= W) return -1;
  int c = -1;
  for (int w = r.SearchStart; w < W; ++w) {
    if (r.Windows[w].Status != TnelPulseRecogn::WIN_VALID || r.WindowPressure(w) < kMapMinPressure) continue;
    if (c == -1 || r.Windows[w].Amp > r.Windows[c].Amp) c = w;
  }
  if (c == -1 || r.Windows[c].Amp < r.MAPMinAmp) return -1;
  int before = 0;
  int after = 0;
  for (int w = r.SearchStart; w < c; ++w) before += r.Windows[w].Status == TnelPulseRecogn::WIN_VALID;
  for (int w = c + 1; w < W; ++w) after += r.Windows[w].Status == TnelPulseRecogn::WIN_VALID;
  if (before < 2 || after < 2) return -1;
  return c;
}

}  // namespace

TnelPulseRecogn::TnelPulseRecogn() {
  FiltedData = new (std::nothrow) tagBPV_FILTED_DATA[kMaxFilted]();
  Initialize(BPVMODE_INFLATE, false, 280);
}

TnelPulseRecogn::~TnelPulseRecogn() { delete[] FiltedData; }

void TnelPulseRecogn::Initialize(tagTYPE_BPVMEASUE_MODE mode, bool isToe, int16_t maxPressure) {
  MeasureMode = mode;
  IsToe = isToe;
  MaxPressure = maxPressure;
  Initialize();
}

void TnelPulseRecogn::Initialize() {
  FiltedCount = 0;
  WinCount = 0;
  WinSampleCount = 0;
  SearchStart = 0;
  MAPWin = -1;
  Finished = false;
  OverPressure = false;
  EnvelopeEnded = false;
  MAPMinAmp = IsToe ? 570 : 900;
  MinAmp = IsToe ? 380 : 600;
  if (MeasureMode == BPVMODE_INFLATE)
    FinishPressure = IsToe ? 90 : 125;
  else
    FinishPressure = IsToe ? 40 : 50;
}

tagTYPE_PULSERECOGN_STATUS TnelPulseRecogn::PulseRecogn(int32_t osc, int32_t oscSmooth, float pressure,
                                                        bool sampleEnable) {
  if (OverPressure) return PRS_OVERPRESSURE;
  if (Finished) return PRS_COMPLETE;
  if (FiltedData == nullptr) return PRS_NOBUFFER;
  if (FiltedCount >= kMaxFilted || WinCount >= kMaxWindows) return PRS_OVERRUN;

  if (pressure >= MaxPressure) {
    OverPressure = true;
    return PRS_OVERPRESSURE;
  }
  if (IsToe && !sampleEnable) return PRS_NONE;

  const int index = FiltedCount;
  FiltedData[index] = {osc, oscSmooth, pressure, 0};
  ++FiltedCount;

  const bool inflate = MeasureMode == BPVMODE_INFLATE;
  const bool beyondFinish = inflate ? pressure > FinishPressure : pressure < FinishPressure;
  if (beyondFinish && EnvelopeEnded) {
    Finished = true;
    return PRS_COMPLETE;
  }

  PulseWindow& win = Windows[WinCount];
  if (!AddToWindow(win, WinSampleCount, WinLen, oscSmooth, index)) return PRS_NONE;

  // The window is complete: judge it.
  JudgeAmplitude(win, FiltedData[win.MinPos].Pressure, MinAmp);
  if (IsToe && win.Status == WIN_VALID) {
    // A toe window must hold one recognisable pulse; its peak and foot replace the window's extremes.
    int peak = 0;
    int foot = 0;
    const int start = WinCount * WinLen;
    if (LittleCuff_OnePulseRecogn(start, start + WinLen, win.MaxPos, win.MinPos, &peak, &foot)) {
      win.MaxPos = peak;
      win.MaxValue = Smooth(peak);
      win.MinPos = foot;
      win.MinValue = Smooth(foot);
      win.Amp = win.MaxValue - win.MinValue;
    } else {
      win.Status = WIN_ARTEFACT;
    }
  }
  WinSampleCount = 0;
  ++WinCount;
  if (win.Status == WIN_LOWPRESSURE) return PRS_NONE;

  const bool mayEnd =
      inflate ? (pressure > FinishPressure || (MAPWin != -1 && pressure > kMapMinPressure)) : pressure < FinishPressure;
  if (mayEnd && CheckIsContinues3PntLower()) {
    EnvelopeEnded = true;
    Finished = true;
    return PRS_COMPLETE;
  }
  CheckMMData();
  return PRS_PULSE;
}

bool TnelPulseRecogn::CheckIsContinues3PntLower() const {
  int small = 0;
  for (int w = WinCount - 1; w >= 1; --w) {
    const int32_t st = Windows[w].Status;
    if (st == WIN_VALID) return false;
    if (st == WIN_SMALL && ++small == 3) return true;
  }
  return false;
}

void TnelPulseRecogn::CheckMMData() {
  const int W = WinCount;
  const int L = LookBack;
  if (W < L) return;

  int n = 0;
  int64_t sum = 0;
  int32_t largest = INT32_MIN;
  int32_t smallest = INT32_MAX;
  for (int j = W - L; j <= W - 1; ++j) {
    if (Windows[j].Status != WIN_VALID) continue;
    const int32_t a = Windows[j].Amp;
    ++n;
    sum += a;
    largest = std::max(largest, a);
    smallest = std::min(smallest, a);
  }
  if (n < 3) return;
  const double m = static_cast<double>((sum - largest - smallest) / (n - 2));

  auto amp = [this](int w) { return static_cast<double>(Windows[w].Amp); };

  // A sudden spike in the newest window.
  const double f = MAPWin != -1 ? 2.0 : 3.5;
  if (f * m < amp(W - 1) && f * amp(W - 2) < amp(W - 1)) Windows[W - 1].Status = WIN_ARTEFACT;

  for (int j = W - 2; j >= W - L; --j) {
    if (Windows[j].Status != WIN_VALID) continue;
    if (amp(j) > 3.0 * m)
      Windows[j].Status = WIN_ARTEFACT;
    else if (amp(j) < 0.15 * m)
      Windows[j].Status = WIN_SMALL;
    if (j > 0 && amp(j) > 1.5 * (amp(j - 1) + amp(j + 1))) Windows[j].Status = WIN_ARTEFACT;
  }
  if (Windows[W - 2].Status == WIN_ARTEFACT && amp(W - 1) > 1.5 * amp(W - 2)) Windows[W - 1].Status = WIN_ARTEFACT;

  MAPPosiCheck();

  if (MAPWin != -1 && !EnvelopeEnded) {
    if (MeasureMode == BPVMODE_INFLATE)
      InflateInterdictCheck();
    else if (MeasureMode == BPVMODE_DEFLATE)
      DeflateInterdictCheck();
  }
}

void TnelPulseRecogn::MAPPosiCheck() {
  const int W = WinCount;
  if (Windows[W - 1].Status != WIN_VALID) return;
  if (MAPWin != -1 && Windows[MAPWin].Status != WIN_VALID) {
    MAPWin = -1;
    EnvelopeEnded = false;
  }

  // A maximum accepted by the search is reviewed at once, on the same windows.
  if (MAPWin == -1) {
    const int c = SearchMaximumWindow(*this, W);
    if (c == -1) return;
    MAPWin = c;
    MAPAmp = Windows[c].Amp;
    const float offset = MeasureMode == BPVMODE_INFLATE ? 80.0f : -80.0f;
    CutoffPressure = std::clamp(static_cast<int32_t>(WindowPressure(c) + offset), 20, 280);
    LowCount = 0;
    EnvelopeEnded = false;
  }

  // Review 1: two newer windows in a row above the maximum replace it.
  int above = 0;
  for (int w = W - 1; w > MAPWin; --w) {
    if (Windows[w].Amp > MAPAmp) {
      if (++above == 2) {
        MAPWin = -1;
        EnvelopeEnded = false;
        SearchStart = 0;
        return;
      }
    } else {
      above = 0;
    }
  }

  // Review 2: three valid windows in a row each smaller than its newer
  // neighbour mean the envelope is still rising behind the maximum.
  int newer = W - 1;
  int rising = 0;
  for (int w = W - 2; w > MAPWin; --w) {
    if (Windows[w].Status != WIN_VALID) continue;
    if (Windows[w].Amp >= Windows[newer].Amp) return;
    newer = w;
    if (++rising == 3) {
      if (1.5 * Windows[W - 1].Amp < static_cast<double>(MAPAmp)) Windows[MAPWin].Status = WIN_ARTEFACT;
      MAPWin = -1;
      EnvelopeEnded = false;
      SearchStart = w;
      return;
    }
  }
}

void TnelPulseRecogn::InterdictCheck(bool pressurePassed, double thresholdRatio) {
  if (pressurePassed) {
    EnvelopeEnded = true;
    return;
  }
  const double t = thresholdRatio * MAPAmp;
  const PulseWindow& newest = Windows[WinCount - 1];
  const double a = newest.Amp;
  if (newest.Status != WIN_VALID) {
    if (a >= t) {
      LowCount = 0;
    } else if (++LowCount >= 2) {
      EnvelopeEnded = true;
    }
  } else if (a < t && ++LowCount >= 1) {
    EnvelopeEnded = true;
  }
}

void TnelPulseRecogn::InflateInterdictCheck() {
  InterdictCheck(CutoffPressure < FiltedData[FiltedCount - 1].Pressure, 0.38);
}

void TnelPulseRecogn::DeflateInterdictCheck() {
  InterdictCheck(CutoffPressure > FiltedData[FiltedCount - 1].Pressure, 0.45);
}

int TnelPulseRecogn::FindFoot(int from, int stop) const {
  int flat = 0;
  for (int j = from; j >= stop; --j) {
    if (Smooth(j - 1) < Smooth(j)) {
      flat = 0;
    } else if (++flat == 3) {
      return j + 3;
    }
  }
  return -1;
}

bool TnelPulseRecogn::LittleCuff_OnePulseRecogn(int start, int end, int /*maxPos*/, int /*minPos*/, int* peak,
                                                int* foot) const {
  if (start < 0 || end > FiltedCount || start >= end) return false;
  int32_t runMax = Smooth(start);
  int quiet = 0;
  for (int i = start; i < end; ++i) {
    if (Smooth(i) > runMax) {
      runMax = Smooth(i);
      quiet = 0;
      continue;
    }
    if (i == start || ++quiet < kToeQuietSamples) continue;

    const int p = i - kToeQuietSamples;
    bool rejected = p - kPeakGuard < start;
    for (int k = p - kPeakGuard; !rejected && k < p; ++k) rejected = Smooth(k) > runMax;
    int f = -1;
    if (!rejected) f = FindFoot(p - 1, start + 1);
    if (f >= 0) {
      *peak = p;
      *foot = f;
      return true;
    }
    runMax = Smooth(i);
    quiet = 0;
  }
  return false;
}

void TnelPulseRecogn::RemovePulse(int index) {
  for (int k = index; k + 1 < FeatureCount; ++k) FeaturePoint[k] = FeaturePoint[k + 1];
  --FeatureCount;
}

void TnelPulseRecogn::LittleCuff_FinalPulseRecogn() {
  FeatureCount = 0;
  for (int w = 0; w < WinCount && FeatureCount < kMaxPulses; ++w) {
    const PulseWindow& win = Windows[w];
    if (win.Status != WIN_VALID) continue;
    FeaturePoint[FeatureCount++] = {static_cast<int16_t>(win.MaxPos), static_cast<int16_t>(win.MinPos), win.Amp,
                                    WindowPressure(w)};
  }
}

void TnelPulseRecogn::BigCuff_FinalPulseRecogn() {
  FeatureCount = 0;
  const bool inflate = MeasureMode == BPVMODE_INFLATE;
  bool restart = true;
  int32_t runMax = 0;
  int quiet = 0;
  int lastPeak = 0;

  for (int w = 0; w < WinCount; ++w) {
    if (Windows[w].Status != WIN_VALID) {
      restart = true;
      continue;
    }
    int from = w * WinLen;
    int to = (w + 1) * WinLen;
    if (w > 0 && Windows[w - 1].Status != WIN_VALID) from = ResumeAfterDisturbed(w);
    if (w + 1 < WinCount && Windows[w + 1].Status != WIN_VALID) to = Windows[w + 1].MaxPos - 5;
    to = std::min(to, static_cast<int>(FiltedCount));

    for (int i = std::max(from, 0); i < to; ++i) {
      if (restart) {
        restart = false;
        runMax = Smooth(i);
        quiet = 0;
        continue;
      }
      if (Smooth(i) > runMax) {
        runMax = Smooth(i);
        quiet = 0;
        continue;
      }
      if (++quiet != kLimbQuietSamples) continue;

      // A candidate peak; whatever becomes of it, the search restarts after it.
      restart = true;
      TakeCandidatePeak(w, i - kLimbQuietSamples, runMax, inflate, lastPeak);
    }
  }
}

// Resume after the disturbed window before window w once its signal has
// fallen four times in a row; returns the first sample to search.
int TnelPulseRecogn::ResumeAfterDisturbed(int w) const {
  const int limit = w * WinLen - 1;
  int from = limit;
  int falls = 0;
  for (int k = std::max(Windows[w - 1].MaxPos, Windows[w - 1].MinPos); k + 1 <= limit; ++k) {
    if (Smooth(k) > Smooth(k + 1)) {
      if (++falls == 4) {
        from = k + 1;
        break;
      }
    } else {
      falls = 0;
    }
  }
  return from;
}

// The candidate peak p of window w (run maximum runMax): kept as a new entry,
// as the replacement of the last one, or dropped.
void TnelPulseRecogn::TakeCandidatePeak(int w, int p, int32_t runMax, bool inflate, int& lastPeak) {
  if (p - kPeakGuard < 0) return;
  bool dropped = false;
  for (int k = p - kPeakGuard; !dropped && k < p; ++k) dropped = Smooth(k) > runMax;
  if (dropped) return;
  const tagBPV_PULSE_FEATURE_POINT* last = FeatureCount > 0 ? &FeaturePoint[FeatureCount - 1] : nullptr;
  if (last != nullptr && p - last->PeakPos < kPeakGuard) return;

  const int foot = FindFoot(p - 1, lastPeak + 2);
  if (foot < 0 || p - foot > kMaxRise) {
    lastPeak = p;
    return;
  }
  const tagBPV_PULSE_FEATURE_POINT entry{static_cast<int16_t>(p), static_cast<int16_t>(foot), Smooth(p) - Smooth(foot),
                                         FiltedData[foot].Pressure};
  const double a = entry.Amplitude;
  const bool likeLast = last != nullptr && 0.5 * last->Amplitude <= a && a <= 1.5 * last->Amplitude;
  if (entry.Amplitude < MinAmp || entry.Pressure < kLowPressure || (a < 0.35 * Windows[w].Amp && !likeLast)) return;

  if (last == nullptr) {
    FeaturePoint[FeatureCount++] = entry;
    lastPeak = p;
    return;
  }
  if (inflate ? entry.Pressure < last->Pressure : entry.Pressure > last->Pressure) return;

  if (p - last->PeakPos < kClosePeaks) {
    // A single entry has none before it: see docs/decisions.md, "Pulse recogniser".
    const double lastAmp = last->Amplitude;
    const bool smallerThanBefore = FeatureCount < 2 || lastAmp < 0.75 * FeaturePoint[FeatureCount - 2].Amplitude;
    const int riseNew = entry.PeakPos - entry.FootPos;
    const int riseLast = last->PeakPos - last->FootPos;
    if ((lastAmp < 0.75 * a && smallerThanBefore) || 3 * riseNew < riseLast) {
      FeaturePoint[FeatureCount - 1] = entry;
      lastPeak = p;
    }
    return;
  }
  if (FeatureCount < kMaxPulses) {
    FeaturePoint[FeatureCount++] = entry;
    lastPeak = p;
  }
}

void TnelPulseRecogn::FinalPulseRecogn() {
  if (FiltedData == nullptr) {
    FeatureCount = 0;
    return;
  }
  if (IsToe)
    LittleCuff_FinalPulseRecogn();
  else
    BigCuff_FinalPulseRecogn();

  // Rise-time filter against the mean rise of the whole list.
  if (FeatureCount > 5) {
    int64_t sum = 0;
    for (int i = 0; i < FeatureCount; ++i) sum += FeaturePoint[i].PeakPos - FeaturePoint[i].FootPos;
    const double limit = 1.75 * static_cast<double>(sum / FeatureCount);
    for (int i = FeatureCount - 1; i >= 0; --i)
      if (FeaturePoint[i].PeakPos - FeaturePoint[i].FootPos > limit) RemovePulse(i);
  }

  // Neighbour walk from the end: spikes, pressure order, equal pressures.
  const bool inflate = MeasureMode == BPVMODE_INFLATE;
  auto amp = [this](int k) { return static_cast<double>(FeaturePoint[k].Amplitude); };
  auto pressure = [this](int k) { return FeaturePoint[k].Pressure; };
  for (int i = FeatureCount - 2; i >= 0 && FeatureCount > 3; --i) {
    if (i + 1 >= FeatureCount) continue;
    if (i > 0) {
      const bool spike =
          amp(i) > 1.1 * (amp(i - 1) + amp(i + 1)) &&
          ((amp(i) > 1.5 * amp(i + 1) && FeaturePoint[i + 1].PeakPos - FeaturePoint[i].PeakPos < kSpikeDistance) ||
           (amp(i) > 1.5 * amp(i - 1) && FeaturePoint[i].PeakPos - FeaturePoint[i - 1].PeakPos < kSpikeDistance));
      if (spike) {
        RemovePulse(i);
        if (FeatureCount <= 3) break;
      }
    }
    if (i + 1 >= FeatureCount) continue;
    if (inflate && pressure(i) > pressure(i + 1)) {
      RemovePulse(i + 1);
      if (FeatureCount <= 3) break;
    } else if (!inflate && pressure(i) < pressure(i + 1)) {
      RemovePulse(i);
      if (FeatureCount <= 3) break;
    }
    if (i + 1 >= FeatureCount) continue;
    if (pressure(i) == pressure(i + 1)) {
      if (i == 0) {
        RemovePulse(inflate ? 0 : 1);
      } else {
        const bool extreme =
            (amp(i) > amp(i - 1) && amp(i) > amp(i + 1)) || (amp(i) < amp(i - 1) && amp(i) < amp(i + 1));
        RemovePulse(extreme ? i : i + 1);
      }
    }
  }

  for (int k = 0; k < FeatureCount; ++k) {
    FiltedData[FeaturePoint[k].PeakPos].Mark = 2;
    FiltedData[FeaturePoint[k].FootPos].Mark = 1;
  }
}
