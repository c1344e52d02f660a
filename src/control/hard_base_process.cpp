// TnelHardBase: the processing pass, data delivery, the signal check and the
// cancellation of every mode.
#include <algorithm>
#include <cstring>

#include <nel/bp/bpv_check.h>
#include <nel/control/hard_base.h>
#include <nel/cuff/pressure_fixed.h>
#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/diagnostics.h>
#include <nel/platform/last_error.h>
#include "dsp/ecg_analyser.h"
#include "platform/wait_clock.h"

namespace {

// Arrange by the category's lists (W waves, K cuffs): the waves into both raw blocks, the cuff pressures
// into `pressure`.
void ArrangeFrames(const tagSAM_DATA* frames, int n, int W, int K, const nel::link::CategoryLayout& layout,
                   int32_t* rawA, int32_t* rawB, float* pressure) {
  for (int i = 0; i < n; ++i) {
    const tagSAM_DATA& f = frames[i];
    for (int j = 0; j < W; ++j) {
      rawA[i * W + j] = rawB[i * W + j] = f.Wave[layout.waves[j]];
    }
    for (int k = 0; k < K; ++k) pressure[i * K + k] = f.Pressure[layout.cuffs[k]];
  }
}

// Convert: positions 0 and 1 to display units by their AD base and datum,
// the others to mmHg by the coefficient record of their position.
void ConvertWaves(const int32_t* raw, int n, int W, const int32_t* adBase, const int32_t* adDatum,
                  const tagAD_FORCE_CONVERT* coeff, float* converted) {
  for (int i = 0; i < n; ++i) {
    for (int j = 0; j < W; ++j) {
      const float x = static_cast<float>(raw[i * W + j]);
      float& out = converted[i * W + j];
      if (j < 2) {
        out = (x - static_cast<float>(adBase[j])) / static_cast<float>(adDatum[j]);
      } else {
        out = x * coeff[j - 2].Slope + coeff[j - 2].Offset;
      }
    }
  }
}

// The filter bank: `waves` go in; their filtered values come back into `waves`, the low-passed ones into `low`.
void FilterWaves(TnelFIRFilter& filter, float* waves, float* low, int n) {
  filter.WaveFilte(waves, static_cast<short>(n));
  filter.GetWaveFilteResult(waves, low, static_cast<short>(n));
}

// Feeds the hold the pressures of its channels, frame by frame; true when the hold is done.
bool FeedHold(TnelPressureFixed& fixed, const tagSAM_DATA* frames, int n) {
  float in[nel::kChannelCount];
  const int count = std::clamp<int32_t>(fixed.ChlCount, 0, nel::kChannelCount);
  for (int i = 0; i < n; ++i) {
    for (int c = 0; c < count; ++c) {
      const int chl = fixed.Chl[c];
      in[c] = (chl >= 0 && chl < nel::kChannelCount) ? frames[i].Pressure[chl] : 0.0f;
    }
    fixed.CheckPressure(in);
  }
  return fixed.Done;
}

// Appends the converted frames (at most six waves each) to the wave record
// while it has room; true once it is full.
bool AppendToRecord(tagSAVE_WAVEDATA* record, int& count, int capacity, const float* converted, int n, int W) {
  if (count >= capacity) return false;
  const int kept = std::min(W, 6);
  for (int i = 0; i < n; ++i) {
    tagSAVE_WAVEDATA& r = record[count];
    std::memcpy(r.Wave, &converted[i * W], sizeof(float) * kept);
    ++count;
    if (count >= capacity) return true;
  }
  return false;
}

// Appends the frames' ECG values (position 0) to the CVRR buffer while it has
// room; true once it is full.
bool AppendToCvrr(float* buf, int32_t& saved, int32_t length, const float* converted, int n, int W) {
  if (saved >= length) return false;
  for (int i = 0; i < n; ++i) {
    buf[saved++] = converted[i * W];
    if (saved >= length) return true;
  }
  return false;
}

}  // namespace

bool TnelHardBase::CheckData() {
  const Guard guard(apiLock_);
  if (!hardCtl_) return false;
  const int n = hardCtl_->ReadOnceData(frames_.get());
  if (n < 1) {
    WatchLink();
    return false;
  }
  lastFrameMs_ = nel::platform::MonotonicMs();
  linkDown_ = false;
  const int W = layout_.waveCount;
  const int K = layout_.cuffCount;

  // The safety monitor sees every frame before any measuring object does.
  for (int i = 0; i < n; ++i) {
    float lines[nel::kTransducerCount];
    std::memcpy(lines, &frames_[i].Pressure[0], sizeof lines);  // channels 0..3 are the lines
    const tagTYPE_SAFETY_STOP stop = safety_.CheckFrame(lines);
    if (stop != SAFETY_NONE) EndPumpingModes(stop, safety_.Report().Line);
  }

  ArrangeFrames(frames_.get(), n, W, K, layout_, rawA_.get(), rawB_.get(), pressure_.get());
  passFrames_ = n;
  passWaves_ = W;
  passCuffs_ = K;
  ConvertWaves(rawA_.get(), n, W, adBase_, adDatum_, hardCtl_->ADForceCoeff, main_.get());

  if (bpMeasure_ && ProcBPMeasure(rawA_.get(), pressure_.get(), n)) {
    status_.BPMeasureEnd = true;
    return true;
  }

  if (exerciseRunning_) ProcExercise(n);

  if (filter_) FilterWaves(*filter_, main_.get(), low_.get(), n);

  CountPulseRate(rawA_.get(), n);

  if (settling_ > 0) {
    settling_ -= n;
    return true;
  }

  if (signalCheck_) ProcSignalCheck(rawA_.get(), n);

  if (fixPressure_ && fixed_ && FeedHold(*fixed_, frames_.get(), n)) {
    status_.FixPressureEnd = true;
    return true;
  }

  if (waveRecord_ && record_ && AppendToRecord(record_.get(), recordCount_, recordCapacity_, main_.get(), n, W)) {
    status_.WaveRecordEnd = true;
    return true;
  }

  if (cvrrRunning_ && cvrrBuf_ && AppendToCvrr(cvrrBuf_.get(), cvrrSaved_, cvrrLength_, main_.get(), n, W))
    status_.CVRRCheckEnd = true;
  return true;
}

int TnelHardBase::GetData(float* waves, float* pressures, tagHMID_DATA* status) {
  const Guard guard(apiLock_);
  const int n = passFrames_;
  if (n == 0) return 0;
  // The pass's own lists: a category changed since cannot make the copies
  // overrun arrays sized for the category the pass used.
  if (waves) std::memcpy(waves, low_.get(), sizeof(float) * n * passWaves_);
  if (pressures) std::memcpy(pressures, pressure_.get(), sizeof(float) * n * passCuffs_);
  if (status) *status = status_;
  return n;
}

int TnelHardBase::GetData(int* raw) {
  const Guard guard(apiLock_);
  const int n = passFrames_;
  if (n == 0) return 0;
  if (raw) std::memcpy(raw, rawB_.get(), sizeof(int32_t) * n * passWaves_);
  return n;
}

bool TnelHardBase::GetStatus(tagHMID_DATA* status) const {
  const Guard guard(apiLock_);
  if (!status) return false;
  *status = status_;
  return true;
}

void TnelHardBase::CountPulseRate(const int32_t* raw, int n) {
  const int W = layout_.waveCount;
  status_.PulseRate = -1;
  if (W < 1) return;
  nel::dsp::EcgAnalyser& ecg = nel::dsp::SharedEcgAnalyser();
  nel::dsp::EcgBeatRecord beat;
  for (int i = 0; i < n; ++i) {
    int16_t rate = status_.PulseRate;
    ecg.ProcessSample(static_cast<int16_t>(raw[i * W]), &beat, &rate);
    status_.PulseRate = rate;
  }
}

void TnelHardBase::ProcSignalCheck(const int32_t* raw, int n) {
  const int W = layout_.waveCount;
  for (int i = 0; i < n; ++i) {
    const int b = scBlock_;
    for (int j = 0; j < W; ++j) {
      const int32_t v = raw[i * W + j];
      if (scFrames_ == 0) {
        scMin_[j][b] = scMax_[j][b] = v;
      } else {
        scMin_[j][b] = std::min(scMin_[j][b], v);
        scMax_[j][b] = std::max(scMax_[j][b], v);
      }
    }
    if (++scFrames_ >= kSignalCheckBlockFrames) {
      ++scBlock_;
      scFrames_ = 0;
      if (scBlock_ >= kSignalCheckBlocks) {
        SignalCheckConclusion();
        return;
      }
    }
  }
}

// Per position: the block holding the overall minimum gives up its minimum and
// the block holding the overall maximum its maximum, so one disturbed block
// cannot move the result; the remaining three of each are averaged.
void TnelHardBase::SignalCheckConclusion() {
  scBlock_ = 0;
  status_.SignalCheckEnd = true;
  for (int j = 0; j < layout_.waveCount; ++j) {
    int lowest = 0, highest = 0;
    for (int b = 1; b < kSignalCheckBlocks; ++b) {
      if (scMin_[j][b] < scMin_[j][lowest]) lowest = b;
      if (scMax_[j][b] > scMax_[j][highest]) highest = b;
    }
    scMin_[j][lowest] = 0;
    scMax_[j][highest] = 0;
    int32_t sumMin = 0, sumMax = 0;
    for (int b = 0; b < kSignalCheckBlocks; ++b) {
      sumMin += scMin_[j][b];
      sumMax += scMax_[j][b];
    }
    const float lo = static_cast<float>(sumMin) * 0.33333334f;
    const float hi = static_cast<float>(sumMax) * 0.33333334f;
    scBase_[j] = static_cast<int32_t>((hi + lo) * 0.5f);
    const float a = (hi - lo) * 0.5f;
    const int kind = layout_.waves[j];
    if (kind == WAVE_PCG) {
      scDatum_[j] = static_cast<int32_t>(a);
      adDatum_[j] = std::max(scDatum_[j], 20);
    } else if (kind != WAVE_ECG) {
      scDatum_[j] = static_cast<int32_t>(a);
    }
    if (scDatum_[j] <= 0) scDatum_[j] = 10;
  }
}

void TnelHardBase::SignalCheck_Start() {
  const Guard guard(apiLock_);
  CancelAllProcess();
  settling_ = kSignalCheckSettling;
  if (filter_) filter_->SignalChecking = true;
  scBlock_ = 0;
  scFrames_ = 0;
  for (int j = 0; j < kMaxWaves; ++j) {
    scBase_[j] = adBase_[j];
    scDatum_[j] = adDatum_[j];
  }
  status_.SignalCheckEnd = false;
  signalCheck_ = true;
}

void TnelHardBase::SignalCheck_Cancel() {
  const Guard guard(apiLock_);
  signalCheck_ = false;
  if (filter_) filter_->SignalChecking = false;
}

void TnelHardBase::SignalCheck_GetADBaseDatum(int* base, int* datum) const {
  const Guard guard(apiLock_);
  for (int j = 0; j < layout_.waveCount; ++j) {
    if (base) base[j] = scBase_[j];
    if (datum) datum[j] = scDatum_[j];
  }
}

void TnelHardBase::SafetyStop(tagTYPE_SAFETY_STOP reason, int line, float pressure) {
  safety_.Stop(reason, line, pressure);
  EndPumpingModes(reason, line);
}

namespace {

const char* SafetyStopText(tagTYPE_SAFETY_STOP reason) {
  switch (reason) {
    case SAFETY_OVERPRESSURE: return "over-pressure";
    case SAFETY_TIME_LIMIT: return "a line held pressure too long";
    case SAFETY_UNIT_SILENT: return "the unit went silent";
    case SAFETY_DEVICE_LOST: return "the port was lost";
    case SAFETY_NONE: break;
  }
  return "stopped";
}

}  // namespace

void TnelHardBase::EndPumpingModes(tagTYPE_SAFETY_STOP reason, int line) {
  // One line per stop (a stack buffer, no allocation); the host's sink decides where it goes.
  if (reason != SAFETY_NONE)
    nel::platform::Logf(nel::platform::DiagLevel::kError,
                        "safety stop: %s (line %d); every pump stopped, every valve opened", SafetyStopText(reason),
                        line);
  if (Measuring() && !bpEnded_) {
    for (int k = 0; k < layout_.cuffCount; ++k) {
      if (!selected_[k] || finished_[k]) continue;
      finished_[k] = true;
      int32_t st = BPVSTA_STOPPED;
      if (line >= 0 && TnelHardCtl::PneumaticLine(layout_.cuffs[k]) == line) {
        if (reason == SAFETY_OVERPRESSURE) st = BPVSTA_OVERPRESSURE;
        if (reason == SAFETY_TIME_LIMIT) st = BPVSTA_OVERTIME;
      }
      status_.BPResult[k].Status = st;
    }
    sequence_ = false;
    bpEnded_ = true;
    // Said at once: a unit that went silent brings no further pass with frames.
    status_.BPMeasureEnd = true;
  }
  if (fixPressure_) {
    fixPressure_ = false;
    if (fixed_) fixed_->CancelFixPressure(false);
  }
  if (exerciseRunning_) {
    exerciseHalted_ = true;
    status_.ExerciseEnd = true;
  }
}

void TnelHardBase::SetSilenceLimitMs(int ms) {
  const Guard guard(apiLock_);
  silenceLimitMs_ = std::clamp(ms, kMinSilenceLimitMs, kMaxSilenceLimitMs);
}

void TnelHardBase::WatchLink() {
  if (!sampling_) return;
  TSamThread* sam = hardCtl_->GetSamThread();
  const bool lost = sam != nullptr && sam->Protocol().DeviceLost();
  const int64_t now = nel::platform::MonotonicMs();
  if (!lost && now - lastFrameMs_ <= silenceLimitMs_) return;
  if (!linkDown_ && lost) nel::platform::Log(nel::platform::DiagLevel::kError, "the port to the unit was lost");
  if (!linkDown_ && !lost)
    nel::platform::Logf(nel::platform::DiagLevel::kError, "no frame from the unit for %d ms", silenceLimitMs_);
  linkDown_ = true;
  const bool pumping = hardCtl_->LinesMayHoldPressure() || (Measuring() && !bpEnded_) || fixPressure_;
  // The commands are repeated at most once a second while the port refuses them.
  if (!pumping || now - lastDeflateTryMs_ < 1000) return;
  lastDeflateTryMs_ = now;
  SafetyStop(lost ? SAFETY_DEVICE_LOST : SAFETY_UNIT_SILENT, -1, 0.0f);
  // A port that hung up is opened again: see docs/decisions.md, "Safety: the stop reaches a unit that hung up".
  if (lost && hardCtl_->LinesMayHoldPressure() && port_ > 0) {
    hardCtl_->CloseCom();
    if (hardCtl_->SetComPortNo(port_))
      hardCtl_->DeflateAll();
    else
      nel::platform::Logf(nel::platform::DiagLevel::kError,
                          "port %d cannot be opened again to deflate the cuffs; retrying every second", port_);
  }
}

void TnelHardBase::CancelAllProcess() {
  const Guard guard(apiLock_);
  if (hardCtl_) hardCtl_->RapidDeflate(-1, true);
  if (Measuring()) MarkMeasuringStopped();
  bpEnded_ = false;
  safety_.SetCeiling(nel::cuff::CuffSafetyMonitor::kCeilingMmHg);
  signalCheck_ = fixPressure_ = waveRecord_ = cvrrRunning_ = exerciseRunning_ = false;
  settling_ = 0;
  status_.BPMeasureEnd = status_.CVRRCheckEnd = status_.ExerciseEnd = false;
  status_.FixPressureEnd = status_.SignalCheckEnd = status_.WaveRecordEnd = false;
  if (filter_) filter_->SignalChecking = false;
  bpMeasure_ = false;
  for (auto& r : status_.BPResult) r.SBP = r.DBP = r.MAP = -1;
  cvrrBuf_.reset();
}
