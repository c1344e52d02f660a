#include <nel/bp/bpv_check.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>
#include <string>

#include <nel/bp/proc_bp_data.h>
#include <nel/bp/pulse_recogn.h>
#include <nel/cuff/bpm_inflate.h>
#include <nel/link/hard_ctl.h>
#include "dsp/filter_design.h"
#include "dsp/fir_filter.h"
#include "platform/gbk.h"

namespace {

constexpr float kLowPressure = 14.0f;  // below: the recogniser is not fed yet

// Log texts in code page 936, converted once.
struct LogTexts {
  std::string start = nel::platform::Utf8ToGbk("############ 一次血压值的测量开始############################\n");
  std::string blocked = nel::platform::Utf8ToGbk("------血流阻断OK------");
  std::string amplitudes = nel::platform::Utf8ToGbk("  幅度：");
  std::string pressures = nel::platform::Utf8ToGbk("  压力：");
  std::string rejected = nel::platform::Utf8ToGbk("******血压差值不对[第%d次测量]*********");
  std::string values = nel::platform::Utf8ToGbk("收缩压值:%d, 舒张压值:%d, 平均压值:%d");
  std::string result = nel::platform::Utf8ToGbk("  收缩压值:%d, 舒张压值:%d, 平均压值:%d");
};

const LogTexts& Texts() {
  static const LogTexts texts;
  return texts;
}

const char* LogName(tagTYPE_NEL_BPDATA channel) {
  static const char* const kNames[] = {"RBra", "LBra", "RAnk", "LAnk", "RToe", "LToe"};
  return channel >= 0 && channel < 6 ? kNames[channel] : "";
}

// Widest texts of one pulse entry: ",%d" of an int32 and ",%0.1f" of any float.
constexpr std::size_t kAmplitudeChars = 1 + 11;
constexpr std::size_t kPressureChars = 1 + 1 + 39 + 2;
constexpr std::size_t kPulseLineChars =
    64 + TnelPulseRecogn::kMaxPulses * std::max(kAmplitudeChars, kPressureChars) + 1;

// Truncation toward zero of a filter output, saturating outside the int32 range.
int32_t TruncToInt32(double v) {
  if (!(v > -2147483649.0)) return v != v ? 0 : std::numeric_limits<int32_t>::min();
  if (!(v < 2147483648.0)) return std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(v);
}

// The three low-passes' taps (base line, wide, narrow) for one processing
// mode. Built once and shared by every cuff, so the cuffs' filters read one
// table.
nel::dsp::FirFilterTrio::Table LowpassTable(int16_t dataProcessMode) {
  const auto join = [](float wide) {
    const auto taps = [](double cutoff) { return nel::dsp::LowpassTaps(TnelBPVCheck::kFilterTaps, cutoff); };
    return nel::dsp::FirFilterTrio::Join(taps(static_cast<double>(0.0001f)), taps(static_cast<double>(wide)),
                                         taps(0.05));
  };
  // Cut-offs are fractions of the decimated rate of 100 samples per second.
  static const nel::dsp::FirFilterTrio::Table raw = join(9.0f * 0.01f);
  static const nel::dsp::FirFilterTrio::Table filtered = join(15.0f * 0.01f);
  return dataProcessMode == DATAPROCESS_RAW ? raw : filtered;
}

// Decimation: the mean AD value of 10 samples; the sum wraps as 32 bits.
// True when `mean` holds a new value.
bool Decimate(int32_t ad, int16_t& count, int32_t& sum, int32_t& mean) {
  ++count;
  sum = static_cast<int32_t>(static_cast<uint32_t>(sum) + static_cast<uint32_t>(ad));
  if (count < TnelBPVCheck::kDecimation) return false;
  mean = sum / TnelBPVCheck::kDecimation;
  sum = 0;
  count = 0;
  return true;
}

// The cuff pressure through the delay ring; returns the pressure that leaves it.
float DelayPressure(float pressure, float (&ring)[TnelBPVCheck::kDelaySlots], int32_t& write, int32_t& read) {
  ring[write] = pressure;
  write = (write + 1) % TnelBPVCheck::kDelaySlots;
  const float delayed = ring[read];
  read = (read + 1) % TnelBPVCheck::kDelaySlots;
  return delayed;
}

}  // namespace

TnelBPVCheck::TnelBPVCheck(int16_t dataProcessMode, tagTYPE_NEL_BPDATA channel, TnelHardCtl* hardCtl)
    : dataProcessMode_(dataProcessMode), channel_(channel), hardCtl_(hardCtl) {
  QuickResult = false;
  inflater_.reset(new (std::nothrow) TnelBPMInflate(hardCtl, kAvgPeriod, channel));
  recogn_.reset(new (std::nothrow) TnelPulseRecogn());
  MeasureMode = BPVMODE_INFLATE;
  SetBPChlNo(channel);
  decimAd_ = 0;
  MaxPressure = 280;
  MaxAttempts = 3;
  pulseRate_ = 60;
  lowpasses_.reset(new (std::nothrow) nel::dsp::FirFilterTrio(LowpassTable(dataProcessMode_)));
  Initialize();
}

TnelBPVCheck::~TnelBPVCheck() {
  if (logFile_ != nullptr) std::fclose(logFile_);
}

void TnelBPVCheck::Initialize() {
  active_ = false;
  skipCount_ = 0;
  decimCount_ = 0;
  decimSum_ = 0;
  attempts_ = 0;
  if (inflater_) inflater_->Initialize(hardCtl_, kAvgPeriod, channel_);
  deflateEval_ = false;
  ResetAttemptState();
  WriteLogInf(Texts().start.c_str());
}

void TnelBPVCheck::SetBPChlNo(tagTYPE_NEL_BPDATA channel) {
  channel_ = channel;
  isToe_ = channel == BP_RTOE || channel == BP_LTOE;
  if (inflater_) inflater_->Initialize(hardCtl_, kAvgPeriod, channel);
}

void TnelBPVCheck::SetPulseRate(int16_t rate) { pulseRate_ = rate >= 25 && rate <= 250 ? rate : 60; }

void TnelBPVCheck::ResetAttemptState() {
  finished_ = false;
  deflateEval_ = false;
  skipCount_ = 0;
  decimCount_ = 0;
  decimSum_ = 0;
  std::fill(std::begin(pressureRing_), std::end(pressureRing_), 0.0f);
  ringRead_ = 0;
  ringWrite_ = kDelaySlots - 1;
  if (recogn_) recogn_->Initialize(BPVMODE_INFLATE, isToe_, MaxPressure);
}

void TnelBPVCheck::StartBPMeasureProcess() {
  active_ = true;
  attempts_ = 0;
  SecondBPMeasureProcess();
}

void TnelBPVCheck::SecondBPMeasureProcess() {
  ResetAttemptState();
  if (inflater_) inflater_->StartDeflate();
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::StartNewAttempt() {
  SecondBPMeasureProcess();
  skipCount_ = isToe_ ? 0 : kLimbRestSamples;
  return BPVSTA_REMEASURE;
}

void TnelBPVCheck::Deflate() {
  if (hardCtl_ != nullptr) hardCtl_->RapidDeflate(channel_, true);
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::ProcPulseWave(int32_t ad, float pressure) {
  if (finished_) return BPVSTA_OK;
  if (!active_) return BPVSTA_MEASURING;
  if (!inflater_ || !recogn_ || !lowpasses_) {
    Deflate();
    return BPVSTA_FAILED;
  }

  if (!Decimate(ad, decimCount_, decimSum_, decimAd_)) return BPVSTA_MEASURING;
  if (MaxPressure <= pressure) return BPVSTA_OVERPRESSURE;

  double lowpassed[3];  // base line, wide, narrow
  lowpasses_->Step(decimAd_, lowpassed);
  const int32_t osc = TruncToInt32(lowpassed[1] - lowpassed[0]);
  const int32_t oscSmooth = TruncToInt32(lowpassed[2] - lowpassed[0]);

  delayedPressure_ = DelayPressure(pressure, pressureRing_, ringWrite_, ringRead_);

  if (skipCount_ > 0) {
    --skipCount_;
    return BPVSTA_MEASURING;
  }
  inflater_->Process(pressure);
  if (!inflater_->Started) return BPVSTA_MEASURING;
  if (pressure < kLowPressure) {
    inflater_->CurrPulseRecognOK();
    skipCount_ = kLowPressureRest;
    return BPVSTA_MEASURING;
  }
  if (deflateEval_) {
    if (restartPending_) {
      ResetAttemptState();
      restartPending_ = false;
      return BPVSTA_RESTART;
    }
    if (DM_BPValueProce(osc, oscSmooth, delayedPressure_)) {
      finished_ = true;
      return BPVSTA_OK;
    }
    return BPVSTA_MEASURING;
  }

  switch (recogn_->PulseRecogn(osc, oscSmooth, delayedPressure_, inflater_->SampleEnable)) {
    case PRS_NONE: return BPVSTA_MEASURING;
    case PRS_PULSE: inflater_->CurrPulseRecognOK(); return BPVSTA_MEASURING;
    case PRS_COMPLETE: Deflate(); return EndOfAttempt();
    case PRS_FAILED:
      if (++attempts_ < MaxAttempts) return StartNewAttempt();
      Deflate();
      return BPVSTA_FAILED;
    case PRS_OVERRUN: Deflate(); return BPVSTA_OVERTIME;
    case PRS_NOBUFFER: Deflate(); return BPVSTA_FAILED;
    case PRS_OVERPRESSURE: Deflate(); return BPVSTA_OVERPRESSURE;
  }
  return BPVSTA_MEASURING;
}

int TnelBPVCheck::Accumulate(const int32_t* ad, int stride, int n) {
  if (ad == nullptr || n < 1 || finished_) return 0;
  if (!active_) return n;
  if (!inflater_ || !recogn_ || !lowpasses_) return 0;
  int fed = 0;
  for (; fed < n && decimCount_ < kDecimation - 1; ++fed) Decimate(ad[fed * stride], decimCount_, decimSum_, decimAd_);
  return fed;
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::EndOfAttempt() {
  if (MeasureMode != BPVMODE_INFLATE) {
    skipCount_ = 0;
    deflateEval_ = true;
    restartPending_ = true;
    return BPVSTA_MEASURING;
  }
  if (QuickResult) {
    FinalBPValue(BPVMODE_INFLATE, false);
    finished_ = true;
    return BPVSTA_OK;
  }
  const bool ok = FinalBPValue(MeasureMode, true);
  if (ok || recogn_->FeatureCount >= 3) {
    const tagTYPE_BPV_MEASTATUS st = CheckBPValueCorrectness(&BPResult, ok);
    if (st == BPVSTA_OK) {
      WriteValueLine(Texts().result.c_str(), BPResult);
      finished_ = true;
    }
    return st;
  }
  if (++attempts_ < MaxAttempts) return StartNewAttempt();
  Deflate();
  return BPVSTA_FAILED;
}

bool TnelBPVCheck::ProcGetFinalBPValue(tagTYPE_BPVMEASUE_MODE mode) { return FinalBPValue(mode, false); }

bool TnelBPVCheck::FinalBPValue(tagTYPE_BPVMEASUE_MODE mode, bool logPulses) {
  if (!recogn_) return false;
  recogn_->FinalPulseRecogn();
  if (logPulses) WritePulseLines();
  if (recogn_->FeatureCount < 3) return false;

  // The calculation lives on the stack for this call; constructing it cannot fail.
  TnelProcBPData calc(BPVCAL_KR, static_cast<tagTYPE_DATAPROCESSMODE>(dataProcessMode_), isToe_, 0.0f);
  const bool ok = calc.ProcGetBPData_First(recogn_->FeatureCount, recogn_->FeaturePoint, recogn_->FiltedData, mode);
  if (ok)
    BPResult = calc.Result();
  else
    BPResult = {0, 0, 0, -1, -1, -1, 0.0f};
  return ok;
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::CheckBPValueCorrectness(tagBPIM_PARA* para, bool ok) {
  if (ok) return BPVSTA_OK;
  if (logFile_ != nullptr) {
    std::snprintf(textLine_, sizeof textLine_, Texts().rejected.c_str(), attempts_ + 1);
    WriteLogInf(textLine_);
    WriteValueLine(Texts().values.c_str(), *para);
  }
  if (++attempts_ < MaxAttempts) return StartNewAttempt();
  return BPVSTA_FAILED;
}

bool TnelBPVCheck::DM_BPValueProce(int, int, float) { return false; }

void TnelBPVCheck::SetLogFile(const char* path) {
  if (logFile_ != nullptr) {
    std::fclose(logFile_);
    logFile_ = nullptr;
  }
  if (path == nullptr) return;
  Texts();  // convert the texts now rather than while measuring
  if (pulseLine_.size() < kPulseLineChars) pulseLine_.assign(kPulseLineChars, '\0');
  logFile_ = std::fopen(path, "a+");
}

void TnelBPVCheck::WriteLogInf(const char* text) {
  if (logFile_ == nullptr || text == nullptr) return;
  std::fprintf(logFile_, "[%s]%s\n", LogName(channel_), text);
  std::fflush(logFile_);
}

void TnelBPVCheck::WriteValueLine(const char* format, const tagBPIM_PARA& para) {
  if (logFile_ == nullptr) return;
  std::snprintf(textLine_, sizeof textLine_, format, para.SBP, para.DBP, para.MAP);
  WriteLogInf(textLine_);
}

void TnelBPVCheck::WritePulseLines() {
  if (logFile_ == nullptr || pulseLine_.empty()) return;
  WriteLogInf(Texts().blocked.c_str());
  const int count = std::clamp<int>(recogn_->FeatureCount, 0, TnelPulseRecogn::kMaxPulses);
  char* const line = pulseLine_.data();
  const std::size_t size = pulseLine_.size();

  std::size_t used = static_cast<std::size_t>(std::snprintf(line, size, "%s", Texts().amplitudes.c_str()));
  for (int k = 0; k < count && used < size; ++k)
    used += static_cast<std::size_t>(
        std::snprintf(line + used, size - used, ",%d", static_cast<int>(recogn_->FeaturePoint[k].Amplitude)));
  WriteLogInf(line);

  used = static_cast<std::size_t>(std::snprintf(line, size, "%s", Texts().pressures.c_str()));
  for (int k = 0; k < count && used < size; ++k)
    used += static_cast<std::size_t>(
        std::snprintf(line + used, size - used, ",%0.1f", static_cast<double>(recogn_->FeaturePoint[k].Pressure)));
  WriteLogInf(line);
}

void TnelBPVCheck::getBPValue(int16_t* sbp, int16_t* dbp, int16_t* map) const {
  if (sbp != nullptr) *sbp = finished_ ? BPResult.SBP : int16_t{-1};
  if (dbp != nullptr) *dbp = finished_ ? BPResult.DBP : int16_t{-1};
  if (map != nullptr) *map = finished_ ? BPResult.MAP : int16_t{-1};
}

void TnelBPVCheck::getBPDataPosition(int16_t* sbpPos, int16_t* dbpPos, int16_t* mapPos) const {
  if (sbpPos != nullptr) *sbpPos = finished_ ? BPResult.SBPPos : int16_t{0};
  if (dbpPos != nullptr) *dbpPos = finished_ ? BPResult.DBPPos : int16_t{0};
  if (mapPos != nullptr) *mapPos = finished_ ? BPResult.MAPPos : int16_t{0};
}

void TnelBPVCheck::getPulseFeaturePnt(tagBPV_PULSE_FEATURE_POINT* dst, int16_t* count) const {
  if (count != nullptr) *count = recogn_ ? recogn_->FeatureCount : int16_t{0};
  if (dst != nullptr && recogn_) std::memcpy(dst, recogn_->FeaturePoint, sizeof recogn_->FeaturePoint);
}

tagBPV_PULSE_FEATURE_POINT* TnelBPVCheck::assignPulseFeaturePnt(int16_t* count) {
  if (count != nullptr) *count = recogn_ ? recogn_->FeatureCount : int16_t{0};
  return recogn_ ? recogn_->FeaturePoint : nullptr;
}

void TnelBPVCheck::getBPFilteData(tagBPV_FILTED_DATA* dst, int32_t* count) const {
  const int32_t n = recogn_ && recogn_->FiltedData ? recogn_->FiltedCount : 0;
  if (count != nullptr) *count = n;
  if (n > 0 && dst != nullptr)
    std::memcpy(dst, recogn_->FiltedData, static_cast<std::size_t>(n) * sizeof(tagBPV_FILTED_DATA));
}

tagBPV_FILTED_DATA* TnelBPVCheck::assignBPFilteData(int32_t* count) {
  if (count != nullptr) *count = recogn_ && recogn_->FiltedData ? recogn_->FiltedCount : 0;
  return recogn_ ? recogn_->FiltedData : nullptr;
}
