// TnelHardBase: the multi-cuff BP measurement, the fixed-pressure hold, the
// wave record and the pulse list of a cuff.
#include <cstdio>
#include <cstring>
#include <new>

#include <nel/bp/bpv_check.h>
#include <nel/control/hard_base.h>
#include <nel/cuff/pressure_fixed.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/qx_protocol.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>

namespace {

// Every BP measurement of the façade inflates: cuff pressures rise while the
// pulses are recorded.
constexpr int16_t kMaxAttempts = 3;
constexpr int16_t kRawModeMaxPressure = 300;

// Why BPMeasure_Start refuses its arguments; null when they are usable.
const char* InvalidStartArgument(tagTYPE_BPMEASUREMODE mode, int maxPressure, const bool* selected,
                                 const nel::link::CategoryLayout& layout) {
  if (!selected) return "BPMeasure_Start: no selection";
  if (maxPressure < TnelHardBase::kMinMaxPressure || maxPressure > TnelHardBase::kMaxMaxPressure)
    return "BPMeasure_Start: maximum pressure outside 30 to 300 mmHg";
  // Any other mode would start no cuff and the measurement would never end.
  if (mode != BPMEASURE_SEQUENTIAL && mode != BPMEASURE_RIGHT_THEN_LEFT && mode != BPMEASURE_SIMULTANEOUS)
    return "BPMeasure_Start: unknown BP measure mode";
  bool any = false;
  for (int k = 0; k < layout.cuffCount; ++k) any = any || selected[layout.cuffs[k]];
  if (!any) return "BPMeasure_Start: no cuff of the detect category's cuff list is selected";
  return nullptr;
}

}  // namespace

void TnelHardBase::SetupCuff(int k, short pulseRate, int maxPressure) {
  TnelBPVCheck* bpv = bpv_[k].get();
  bpv->Initialize();
  bpv->SetPulseRate(pulseRate);
  bpv->MaxPressure = dataProcessMode_ == DATAPROCESS_RAW ? kRawModeMaxPressure : static_cast<int16_t>(maxPressure);
  bpv->QuickResult = false;
  bpv->MaxAttempts = kMaxAttempts;
  bpv->MeasureMode = BPVMODE_INFLATE;
  bpv->SetBPChlNo(layout_.cuffs[k]);
}

bool TnelHardBase::SharesLineAtOnce(tagTYPE_BPMEASUREMODE mode, const bool* selected) const {
  for (int a = 0; a < layout_.cuffCount; ++a) {
    if (!selected[layout_.cuffs[a]]) continue;
    for (int b = a + 1; b < layout_.cuffCount; ++b) {
      if (!selected[layout_.cuffs[b]]) continue;
      if (TnelHardCtl::PneumaticLine(layout_.cuffs[a]) != TnelHardCtl::PneumaticLine(layout_.cuffs[b])) continue;
      if (mode == BPMEASURE_SEQUENTIAL) continue;
      if (mode == BPMEASURE_RIGHT_THEN_LEFT && a % 2 != b % 2) continue;
      return true;
    }
  }
  return false;
}

bool TnelHardBase::PumpsReachable(const char* call) {
  TSamThread* sam = hardCtl_ ? hardCtl_->GetSamThread() : nullptr;
  if (sam && sam->Protocol().IsOpen()) return true;
  // Safety decision: see docs/decisions.md, "Safety: no pumping mode without a port".
  char text[96];
  std::snprintf(text, sizeof text, "%s: no port is open (OpenHardware first)", call);
  nel::SetLastError(nel::Result::kNotOpen, text);
  return false;
}

bool TnelHardBase::BPMeasure_Start(tagTYPE_BPMEASUREMODE mode, int maxPressure, bool* selected, short pulseRate) {
  const Guard guard(apiLock_);
  if (const char* why = InvalidStartArgument(mode, maxPressure, selected, layout_)) {
    nel::SetLastError(nel::Result::kInvalidArgument, why);
    return false;
  }
  if (SharesLineAtOnce(mode, selected)) {
    nel::SetLastError(nel::Result::kRefused,
                      "BPMeasure_Start: an ankle and a toe cuff of one side would be driven at once");
    return false;
  }
  if (!PumpsReachable("BPMeasure_Start")) return false;
  // Only frames arriving from now on are measured.
  if (hardCtl_ && hardCtl_->GetSamThread()) {
    QXProtocol& link = hardCtl_->GetSamThread()->Protocol();
    link.Suspend();
    link.Resume();
  }
  CancelAllProcess();
  safety_.SetCeiling(nel::cuff::CuffSafetyMonitor::MeasureCeiling(
      dataProcessMode_ == DATAPROCESS_RAW ? kRawModeMaxPressure : static_cast<int16_t>(maxPressure)));
  safety_.Rearm();
  bpEnded_ = false;
  bpMode_ = mode;
  for (auto& bpv : bpv_) {
    if (bpv) bpv->Initialize();
  }
  currentCuff_ = 0;
  for (int k = 0; k < layout_.cuffCount; ++k) {
    tagHMID_BPRESULT& r = status_.BPResult[k];
    r.SBP = r.DBP = r.MAP = -1;
    r.Status = BPVSTA_MEASURING;
    finished_[k] = true;
    selected_[k] = false;
    const int chl = layout_.cuffs[k];
    if (!selected[chl] || !bpv_[k]) continue;
    finished_[k] = false;
    selected_[k] = true;
    SetupCuff(k, pulseRate, maxPressure);
    const bool sequentialFirst = mode == BPMEASURE_SEQUENTIAL && k == 0;
    const bool rightSide = mode == BPMEASURE_RIGHT_THEN_LEFT && k % 2 == 0;
    if (sequentialFirst || rightSide || mode == BPMEASURE_SIMULTANEOUS) {
      bpv_[k]->StartBPMeasureProcess();
      if (sequentialFirst || rightSide) currentCuff_ = 0;
    }
  }
  sequence_ = true;
  bpMeasure_ = true;
  status_.BPMeasureEnd = false;
  return true;
}

bool TnelHardBase::ProcBPMeasure(const int32_t* raw, const float* pressure, int n) {
  // See docs/decisions.md, "Safety: a stopped measurement ends like a finished one".
  if (bpEnded_) return true;
  const int W = layout_.waveCount;
  const int K = layout_.cuffCount;
  // A finished cuff's status stays until the next start.
  for (int k = 0; k < K; ++k) {
    if (!(selected_[k] && finished_[k])) status_.BPResult[k].Status = 0;
  }
  bool allDone = true;
  for (int k = 0; k < K; ++k) {
    const int32_t* ad = raw + layout_.cuffWavePos[k];
    for (int i = 0; i < n && selected_[k] && !finished_[k] && bpv_[k]; ++i) {
      // Frames that only add to the sequencer's decimation sum: no status to
      // report (BPVSTA_MEASURING) and the cuff stays unfinished.
      const int accumulated = bpv_[k]->Accumulate(ad + i * W, W, n - i);
      if (accumulated > 0) {
        status_.BPResult[k].Status = BPVSTA_MEASURING;
        allDone = false;
        i += accumulated;
        if (i == n) break;
      }
      const bool stop = ProcBPMeasureCheck(ad[i * W], pressure[i * K + k], k);
      if (!finished_[k]) allDone = false;
      if (status_.BPResult[k].Status == BPVSTA_OVERPRESSURE) {
        // Every pump stops and every valve opens now; the other cuffs end.
        sequence_ = false;
        SafetyStop(SAFETY_OVERPRESSURE, TnelHardCtl::PneumaticLine(layout_.cuffs[k]), pressure[i * K + k]);
        return true;
      }
      if (stop) break;
    }
  }
  if (!sequence_) return false;
  if (allDone) return true;

  auto waiting = [this](int p) { return selected_[p] && !finished_[p] && bpv_[p]; };
  if (bpMode_ == BPMEASURE_SEQUENTIAL) {
    if (currentCuff_ >= 0 && currentCuff_ < K && finished_[currentCuff_]) {
      for (int p = currentCuff_ + 1; p < K; ++p) {
        if (!waiting(p)) continue;
        currentCuff_ = static_cast<int16_t>(p);
        bpv_[p]->StartBPMeasureProcess();
        break;
      }
    }
  } else if (bpMode_ == BPMEASURE_RIGHT_THEN_LEFT && currentCuff_ == 0) {
    bool rightRunning = false;
    for (int p = 0; p < K; p += 2) rightRunning = rightRunning || waiting(p);
    if (!rightRunning) {
      for (int p = 1; p < K; p += 2) {
        if (waiting(p)) bpv_[p]->StartBPMeasureProcess();
      }
      currentCuff_ = 1;
    }
  }
  return false;
}

bool TnelHardBase::ProcBPMeasureCheck(int32_t ad, float pressure, int k) {
  tagHMID_BPRESULT& r = status_.BPResult[k];
  r.Status = 0;
  r.Status = bpv_[k]->ProcPulseWave(ad, pressure);
  switch (r.Status) {
    case BPVSTA_OK:
      finished_[k] = true;
      bpv_[k]->getBPValue(&r.SBP, &r.DBP, &r.MAP);
      return true;
    case BPVSTA_OVERTIME:
    case BPVSTA_FAILED:
    case BPVSTA_OVERPRESSURE: finished_[k] = true; return true;
    case BPVSTA_REMEASURE: return true;
    default: return false;
  }
}

void TnelHardBase::MarkMeasuringStopped() {
  for (int k = 0; k < layout_.cuffCount; ++k) {
    if (!selected_[k] || finished_[k]) continue;
    finished_[k] = true;
    status_.BPResult[k].Status = BPVSTA_STOPPED;
  }
}

void TnelHardBase::BPMeasure_Cancel() {
  const Guard guard(apiLock_);
  if (bpMeasure_) MarkMeasuringStopped();
  bpMeasure_ = false;
  bpEnded_ = false;
  if (hardCtl_) hardCtl_->RapidDeflate(-1, true);
}

void TnelHardBase::FixPressure_Start(int pressure) {
  const Guard guard(apiLock_);
  if (pressure < kMinHoldPressure || pressure > kMaxHoldPressure) {
    nel::SetLastError(nel::Result::kInvalidArgument, "FixPressure_Start: pressure outside 10 to 200 mmHg");
    return;
  }
  if (!PumpsReachable("FixPressure_Start")) return;
  CancelAllProcess();
  if (!fixed_) fixed_.reset(new (std::nothrow) TnelPressureFixed(hardCtl_.get()));
  if (!fixed_) return;
  // One regulator per pneumatic line: a toe cuff on an ankle's line is left
  // to the cuff listed first.
  tagTYPE_NEL_BPDATA channels[kMaxCuffs];
  int count = 0;
  unsigned lines = 0;
  for (int k = 0; k < layout_.cuffCount; ++k) {
    const int line = TnelHardCtl::PneumaticLine(layout_.cuffs[k]);
    if (line < 0 || line >= nel::kTransducerCount || (lines >> line) & 1u) continue;
    lines |= 1u << line;
    channels[count++] = layout_.cuffs[k];
  }
  safety_.SetCeiling(nel::cuff::CuffSafetyMonitor::HoldCeiling(pressure));
  safety_.Rearm();
  fixed_->StartFixPressure(pressure, channels, count);
  status_.FixPressureEnd = false;
  fixPressure_ = true;
}

void TnelHardBase::FixPressure_Cancel(bool deflate) {
  const Guard guard(apiLock_);
  fixPressure_ = false;
  if (!fixed_) return;
  fixed_->CancelFixPressure(deflate);
  fixed_.reset();
}

bool TnelHardBase::WaveRecord_Start() {
  const Guard guard(apiLock_);
  if (layout_.waveCount < 1) return false;
  if (fixPressure_) {
    nel::SetLastError(nel::Result::kRefused,
                      "WaveRecord_Start: a hold runs; FixPressure_Cancel(false) once FixPressureEnd is set");
    return false;
  }
  recordCapacity_ = kWaveRecordCapacity;
  recordCount_ = 0;
  if (!record_) return false;
  std::memset(static_cast<void*>(record_.get()), 0, sizeof(tagSAVE_WAVEDATA) * kWaveRecordCapacity);
  status_.WaveRecordEnd = false;
  settling_ = kWaveRecordSettling;
  waveRecord_ = true;
  return true;
}

tagSAVE_WAVEDATA* TnelHardBase::WaveRecord_DataAssign(int* count) {
  const Guard guard(apiLock_);
  if (count) *count = recordCount_;
  return record_.get();
}

void TnelHardBase::WaveRecord_Cancel() { waveRecord_ = false; }

void TnelHardBase::GetNELPulsePeak(tagNEL_PULSEPEAK* out, short position) {
  const Guard guard(apiLock_);
  if (!out) return;
  out->Count = out->SBPPos = out->DBPPos = out->MAPPos = 0;
  if (position < 0 || position >= kMaxCuffs || !bpv_[position]) return;
  TnelBPVCheck& bpv = *bpv_[position];
  int16_t sbpPos = 0, dbpPos = 0, mapPos = 0;
  bpv.getBPDataPosition(&sbpPos, &dbpPos, &mapPos);
  out->SBPPos = sbpPos;
  out->DBPPos = dbpPos;
  out->MAPPos = mapPos;
  out->MapSBPRatio = bpv.getMapSBPRatio();
  int16_t count = 0;
  const tagBPV_PULSE_FEATURE_POINT* pulses = bpv.assignPulseFeaturePnt(&count);
  if (!pulses) count = 0;
  if (count > nel::bp::kBPMaxPulseCount) count = nel::bp::kBPMaxPulseCount;
  if (count < 0) count = 0;
  out->Count = count;
  for (int i = 0; i < count; ++i) {
    out->Amplitude[i] = pulses[i].Amplitude;
    out->Pressure[i] = pulses[i].Pressure;
  }
}
