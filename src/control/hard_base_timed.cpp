// TnelHardBase: the two timed procedures, the CVRR check (an ECG recording of
// 30 s to 5 min analysed for R-R variability) and the exercise protocol
// (repeated four-cuff BP measurements on a schedule counted in frames).
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include <nel/analysis/cvrr_ana.h>
#include <nel/bp/bpv_check.h>
#include <nel/control/hard_base.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/last_error.h>
#include "platform/local_time.h"

namespace {

constexpr int32_t kFramesPerSecond = 1000;
constexpr int32_t kFramesPerMinute = 60000;
constexpr short kExercisePulseRate = 80;
constexpr int16_t kRawModeMaxPressure = 300;

}  // namespace

// ---- CVRR check --------------------------------------------------------------

void TnelHardBase::CVRRCheck_Start(int32_t length) {
  const Guard guard(apiLock_);
  length = std::clamp(length, kCVRRMinLength, kCVRRMaxLength);
  CancelAllProcess();
  SetDetectCategory(DETECT_ECG_PCG);
  cvrrLength_ = length;
  cvrrSaved_ = 0;
  cvrrBuf_.reset(new (std::nothrow) float[static_cast<size_t>(length) + 100]());
  settling_ = kCVRRSettling;
  status_.CVRRCheckEnd = false;
  cvrrRunning_ = true;
}

float* TnelHardBase::CVRRCheck_AssignECGWaveData(int32_t* lengthOut) {
  const Guard guard(apiLock_);
  if (lengthOut) *lengthOut = cvrrLength_;
  return cvrrBuf_.get();
}

bool TnelHardBase::CVRRCheck_GetResult(tagCVRR_ANA_RESULT* result) {
  const Guard guard(apiLock_);
  if (!result) return false;
  std::memset(result, 0, sizeof(*result));
  if (cvrrSaved_ < kCVRRMinLength || !cvrrBuf_) return false;
  std::unique_ptr<TnelCVRRAna> ana(new (std::nothrow) TnelCVRRAna(cvrrBuf_.get(), cvrrSaved_, kFramesPerSecond));
  if (!ana) return false;
  constexpr int32_t kCap = 1200;
  result->DataLen = cvrrSaved_;
  result->RCount = std::clamp(ana->RCount, 0, std::min(kCap, ana->RCap));
  for (int32_t i = 0; i < result->RCount; ++i) result->RPos[i] = ana->RPos[i];
  result->MeanRR = ana->MeanRR;
  result->HeartRate = ana->HeartRate;
  result->CVRR = ana->CVRR;
  result->MeanDev = ana->MeanDev;
  result->Over50Count = ana->Over50Count;
  result->Over50Ratio = ana->Over50Ratio;
  result->RRRange = ana->RRRange;
  result->MinMaxRatio = ana->MinMaxRatio;
  result->RRCount = std::clamp(ana->RRCount, 0, std::min(kCap, ana->RCap));
  for (int32_t i = 0; i < result->RRCount; ++i) result->RR[i] = ana->RR[i];
  cvrrConclusion_ = ana->Conclusion;
  return true;
}

void TnelHardBase::CVRRCheck_Cancel() {
  const Guard guard(apiLock_);
  cvrrRunning_ = false;
  cvrrBuf_.reset();
}

// ---- exercise protocol ---------------------------------------------------------

void TnelHardBase::ExerciseStress_Start(tagExerciseStressConfig config) {
  const Guard guard(apiLock_);
  const char* bad = nullptr;
  if (config.MaxPressure < kMinMaxPressure || config.MaxPressure > kMaxMaxPressure)
    bad = "ExerciseStress_Start: MaxPressure outside 30 to 300 mmHg";
  else if (config.TimingMode == 0 && (config.IntervalMinutes < 1 || config.IntervalMinutes > kMaxIntervalMinutes))
    bad = "ExerciseStress_Start: IntervalMinutes outside 1 to 1440";
  else if (config.TimingMode != 0 && (config.PauseSeconds < 0 || config.PauseSeconds > kMaxPauseSeconds))
    bad = "ExerciseStress_Start: PauseSeconds outside 0 to 86400";
  else if (config.BPMeasureMode != BPMEASURE_SEQUENTIAL && config.BPMeasureMode != BPMEASURE_RIGHT_THEN_LEFT &&
           config.BPMeasureMode != BPMEASURE_SIMULTANEOUS)
    bad = "ExerciseStress_Start: unknown BP measure mode";
  if (bad != nullptr) {
    nel::SetLastError(nel::Result::kInvalidArgument, bad);
    return;
  }
  if (!PumpsReachable("ExerciseStress_Start")) return;
  CancelAllProcess();
  SetDetectCategory(DETECT_BRA_ANK2);
  exerciseRec_.Config = config;
  exerciseRec_.Config.CheckCount = std::clamp<int16_t>(config.CheckCount, 1, static_cast<int16_t>(kExerciseMaxChecks));
  intervalFrames_ = config.IntervalMinutes * kFramesPerMinute;
  pauseFrames_ = config.PauseSeconds * kFramesPerSecond;
  exerciseRec_.CheckNum = 0;
  exerciseHalted_ = false;
  Exercise_StartBPMeasure(0);
  safety_.Rearm();
  status_.ExerciseEnd = false;
  exerciseRunning_ = true;
}

void TnelHardBase::Exercise_StartBPMeasure(int16_t checkNo) {
  auto allowed = [](tagTYPE_NEL_BPDATA c) { return c == BP_RBRA || c == BP_LBRA || c == BP_RANK || c == BP_LANK; };
  if (checkNo == 0) CancelAllProcess();
  const auto mode = static_cast<tagTYPE_BPMEASUREMODE>(exerciseRec_.Config.BPMeasureMode);
  bpMode_ = mode;
  bpEnded_ = false;
  safety_.SetCeiling(nel::cuff::CuffSafetyMonitor::MeasureCeiling(
      dataProcessMode_ == DATAPROCESS_RAW ? kRawModeMaxPressure : exerciseRec_.Config.MaxPressure));
  for (int p = 0; p < layout_.cuffCount; ++p) {
    tagHMID_BPRESULT& r = status_.BPResult[p];
    r.SBP = r.DBP = r.MAP = -1;
    r.Status = BPVSTA_MEASURING;
    finished_[p] = true;
    selected_[p] = false;
    if (!allowed(layout_.cuffs[p]) || !bpv_[p]) continue;
    finished_[p] = false;
    selected_[p] = true;
    SetupCuff(p, kExercisePulseRate,
              dataProcessMode_ == DATAPROCESS_RAW ? kRawModeMaxPressure : exerciseRec_.Config.MaxPressure);
    const bool sequentialFirst = mode == BPMEASURE_SEQUENTIAL && p == 0;
    const bool rightSide = mode == BPMEASURE_RIGHT_THEN_LEFT && p % 2 == 0;
    if (mode == BPMEASURE_SIMULTANEOUS || sequentialFirst || rightSide) {
      bpv_[p]->StartBPMeasureProcess();
      if (sequentialFirst || rightSide) currentCuff_ = 0;
    }
  }
  sequence_ = true;
  exerciseStage_ = 0;
  exerciseElapsed_ = 0;
  exercisePause_ = 0;
  status_.BPMeasureEnd = false;
  if (checkNo >= 0 && checkNo < kExerciseMaxChecks) {
    const nel::platform::TimeOfDay t = nel::platform::LocalTimeOfDay();
    exerciseRec_.Check[checkNo].Time = t.hour * 10000 + t.minute * 100 + t.second;
  }
}

void TnelHardBase::ProcExercise(int n) {
  exerciseElapsed_ += n;
  const int16_t checks = exerciseRec_.Config.CheckCount;
  if (exerciseStage_ == 0) {
    if (ProcBPMeasure(rawA_.get(), pressure_.get(), n)) {
      status_.BPMeasureEnd = true;
      exerciseStage_ = 1;
      if (exerciseRec_.CheckNum < checks) {
        tagExerciseStressCheck& c = exerciseRec_.Check[exerciseRec_.CheckNum];
        for (int p = 0; p < 4; ++p) {
          c.BP[p][0] = status_.BPResult[p].SBP;
          c.BP[p][1] = status_.BPResult[p].DBP;
          c.BP[p][2] = status_.BPResult[p].MAP;
        }
        ++exerciseRec_.CheckNum;
      }
      // A check stopped for safety ends the protocol.
      if (exerciseRec_.CheckNum >= checks || exerciseHalted_) status_.ExerciseEnd = true;
    }
  } else if (exerciseStage_ == 1) {
    // After a safety stop the cuffs' final statuses stay for the host.
    if (!exerciseHalted_) {
      for (auto& r : status_.BPResult) r.Status = 0;
    }
    exerciseStage_ = 2;
  } else {
    bool due;
    if (exerciseRec_.Config.TimingMode == 0) {
      due = exerciseElapsed_ >= intervalFrames_;
    } else {
      exercisePause_ += n;
      due = exercisePause_ >= pauseFrames_;
    }
    // The protocol ends with its last check: nothing beyond CheckCount starts.
    if (due && !exerciseHalted_ && exerciseRec_.CheckNum < checks) Exercise_StartBPMeasure(exerciseRec_.CheckNum);
  }
  status_.ExerciseStage = exerciseStage_;
}

int32_t TnelHardBase::ExerciseStress_GetNextProcElapseSeconds() const {
  const Guard guard(apiLock_);
  if (exerciseStage_ == 0) return -1;
  int32_t remaining =
      exerciseRec_.Config.TimingMode == 0 ? intervalFrames_ - exerciseElapsed_ : pauseFrames_ - exercisePause_;
  if (remaining < 0) remaining = 0;
  return (remaining + 999) / 1000;
}

float TnelHardBase::CountABI_BAI(int16_t a, int16_t b, int16_t c) {
  const int16_t ref = std::max(a, b);
  if (ref <= 0 || c <= 0) return -1.0f;
  return static_cast<float>(c) / static_cast<float>(ref);
}

bool TnelHardBase::ExerciseStress_GetResult(tagExerciseStressRec* rec) const {
  const Guard guard(apiLock_);
  if (!rec) return false;
  *rec = exerciseRec_;
  const int checks = std::clamp<int>(exerciseRec_.CheckNum, 0, kExerciseMaxChecks);
  for (int i = 0; i < checks; ++i) {
    tagExerciseStressCheck& c = rec->Check[i];
    const int16_t s0 = c.BP[0][0], s1 = c.BP[1][0], s2 = c.BP[2][0], s3 = c.BP[3][0];
    c.RightABI = CountABI_BAI(s0, s1, s2);
    c.LeftABI = CountABI_BAI(s0, s1, s3);
    c.RightBAI = CountABI_BAI(s2, s3, s0);
    c.LeftBAI = CountABI_BAI(s2, s3, s1);
  }
  return true;
}

void TnelHardBase::ExerciseStress_Cancel() {
  const Guard guard(apiLock_);
  if (hardCtl_) hardCtl_->RapidDeflate(-1, true);
  if (Measuring() && !bpMeasure_) MarkMeasuringStopped();
  exerciseRunning_ = false;
}
