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

std::unique_ptr<nel::dsp::FirFilter> MakeLowpass(double cutoff) {
  const std::vector<double> taps = nel::dsp::LowpassTaps(TnelBPVCheck::kFilterTaps, cutoff);
  return std::unique_ptr<nel::dsp::FirFilter>(new (std::nothrow) nel::dsp::FirFilter(taps));
}

}  // namespace

TnelBPVCheck::TnelBPVCheck(int16_t dataProcessMode, tagTYPE_NEL_BPDATA channel, TnelHardCtl* hardCtl)
    : DataProcessMode(dataProcessMode), Channel(channel), HardCtl(hardCtl) {
  QuickResult = false;
  Inflater.reset(new (std::nothrow) TnelBPMInflate(hardCtl, kAvgPeriod, channel));
  Recogn.reset(new (std::nothrow) TnelPulseRecogn());
  MeasureMode = BPVMODE_INFLATE;
  SetBPChlNo(channel);
  DecimAD = 0;
  MaxPressure = 280;
  MaxAttempts = 3;
  PulseRate = 60;
  // Cut-offs are fractions of the decimated rate of 100 samples per second.
  const float wide = DataProcessMode == DATAPROCESS_RAW ? 9.0f * 0.01f : 15.0f * 0.01f;
  WideLowpass = MakeLowpass(static_cast<double>(wide));
  NarrowLowpass = MakeLowpass(0.05);
  BaseLowpass = MakeLowpass(static_cast<double>(0.0001f));
  Initialize();
}

TnelBPVCheck::~TnelBPVCheck() {
  if (LogFile != nullptr) std::fclose(LogFile);
}

void TnelBPVCheck::Initialize() {
  Active = false;
  SkipCount = 0;
  DecimCount = 0;
  DecimSum = 0;
  Attempts = 0;
  if (Inflater) Inflater->Initialize(HardCtl, kAvgPeriod, Channel);
  DeflateEval = false;
  ResetAttemptState();
  WriteLogInf(Texts().start.c_str());
}

void TnelBPVCheck::SetBPChlNo(tagTYPE_NEL_BPDATA channel) {
  Channel = channel;
  IsToe = channel == BP_RTOE || channel == BP_LTOE;
  if (Inflater) Inflater->Initialize(HardCtl, kAvgPeriod, channel);
}

void TnelBPVCheck::SetPulseRate(int16_t rate) { PulseRate = rate >= 25 && rate <= 250 ? rate : 60; }

void TnelBPVCheck::ResetAttemptState() {
  Finished = false;
  DeflateEval = false;
  SkipCount = 0;
  DecimCount = 0;
  DecimSum = 0;
  std::fill(std::begin(PressureRing), std::end(PressureRing), 0.0f);
  RingRead = 0;
  RingWrite = kDelaySlots - 1;
  if (Recogn) Recogn->Initialize(BPVMODE_INFLATE, IsToe, MaxPressure);
}

void TnelBPVCheck::StartBPMeasureProcess() {
  Active = true;
  Attempts = 0;
  SecondBPMeasureProcess();
}

void TnelBPVCheck::SecondBPMeasureProcess() {
  ResetAttemptState();
  if (Inflater) Inflater->StartDeflate();
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::StartNewAttempt() {
  SecondBPMeasureProcess();
  SkipCount = IsToe ? 0 : kLimbRestSamples;
  return BPVSTA_REMEASURE;
}

void TnelBPVCheck::Deflate() {
  if (HardCtl != nullptr) HardCtl->RapidDeflate(Channel, true);
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::ProcPulseWave(int32_t ad, float pressure) {
  if (Finished) return BPVSTA_OK;
  if (!Active) return BPVSTA_MEASURING;
  if (!Inflater || !Recogn || !WideLowpass || !NarrowLowpass || !BaseLowpass) {
    Deflate();
    return BPVSTA_FAILED;
  }

  // Decimation: the mean AD value of 10 samples; the sum wraps as 32 bits.
  ++DecimCount;
  DecimSum = static_cast<int32_t>(static_cast<uint32_t>(DecimSum) + static_cast<uint32_t>(ad));
  if (DecimCount < kDecimation) return BPVSTA_MEASURING;
  DecimAD = DecimSum / kDecimation;
  DecimSum = 0;
  DecimCount = 0;

  if (MaxPressure <= pressure) return BPVSTA_OVERPRESSURE;

  const double input = DecimAD;
  const double base = BaseLowpass->Step(input);
  const int32_t osc = TruncToInt32(WideLowpass->Step(input) - base);
  const int32_t oscSmooth = TruncToInt32(NarrowLowpass->Step(input) - base);

  PressureRing[RingWrite] = pressure;
  RingWrite = (RingWrite + 1) % kDelaySlots;
  DelayedPressure = PressureRing[RingRead];
  RingRead = (RingRead + 1) % kDelaySlots;

  if (SkipCount > 0) {
    --SkipCount;
    return BPVSTA_MEASURING;
  }
  Inflater->Process(pressure);
  if (!Inflater->Started) return BPVSTA_MEASURING;
  if (pressure < kLowPressure) {
    Inflater->CurrPulseRecognOK();
    SkipCount = kLowPressureRest;
    return BPVSTA_MEASURING;
  }
  if (DeflateEval) {
    if (RestartPending) {
      ResetAttemptState();
      RestartPending = false;
      return BPVSTA_RESTART;
    }
    if (DM_BPValueProce(osc, oscSmooth, DelayedPressure)) {
      Finished = true;
      return BPVSTA_OK;
    }
    return BPVSTA_MEASURING;
  }

  switch (Recogn->PulseRecogn(osc, oscSmooth, DelayedPressure, Inflater->SampleEnable)) {
    case PRS_NONE: return BPVSTA_MEASURING;
    case PRS_PULSE: Inflater->CurrPulseRecognOK(); return BPVSTA_MEASURING;
    case PRS_COMPLETE: Deflate(); return EndOfAttempt();
    case PRS_FAILED:
      if (++Attempts < MaxAttempts) return StartNewAttempt();
      Deflate();
      return BPVSTA_FAILED;
    case PRS_OVERRUN: Deflate(); return BPVSTA_OVERTIME;
    case PRS_NOBUFFER: Deflate(); return BPVSTA_FAILED;
    case PRS_OVERPRESSURE: Deflate(); return BPVSTA_OVERPRESSURE;
  }
  return BPVSTA_MEASURING;
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::EndOfAttempt() {
  if (MeasureMode != BPVMODE_INFLATE) {
    SkipCount = 0;
    DeflateEval = true;
    RestartPending = true;
    return BPVSTA_MEASURING;
  }
  if (QuickResult) {
    FinalBPValue(BPVMODE_INFLATE, false);
    Finished = true;
    return BPVSTA_OK;
  }
  const bool ok = FinalBPValue(MeasureMode, true);
  if (ok || Recogn->FeatureCount >= 3) {
    const tagTYPE_BPV_MEASTATUS st = CheckBPValueCorrectness(&BPResult, ok);
    if (st == BPVSTA_OK) {
      WriteValueLine(Texts().result.c_str(), BPResult);
      Finished = true;
    }
    return st;
  }
  if (++Attempts < MaxAttempts) return StartNewAttempt();
  Deflate();
  return BPVSTA_FAILED;
}

bool TnelBPVCheck::ProcGetFinalBPValue(tagTYPE_BPVMEASUE_MODE mode) { return FinalBPValue(mode, false); }

bool TnelBPVCheck::FinalBPValue(tagTYPE_BPVMEASUE_MODE mode, bool logPulses) {
  if (!Recogn) return false;
  Recogn->FinalPulseRecogn();
  if (logPulses) WritePulseLines();
  if (Recogn->FeatureCount < 3) return false;

  // The calculation lives on the stack for this call; constructing it cannot fail.
  TnelProcBPData calc(BPVCAL_KR, static_cast<tagTYPE_DATAPROCESSMODE>(DataProcessMode), IsToe, 0.0f);
  const bool ok = calc.ProcGetBPData_First(Recogn->FeatureCount, Recogn->FeaturePoint, Recogn->FiltedData, mode);
  if (ok)
    BPResult = calc.Result();
  else
    BPResult = {0, 0, 0, -1, -1, -1, 0.0f};
  return ok;
}

tagTYPE_BPV_MEASTATUS TnelBPVCheck::CheckBPValueCorrectness(tagBPIM_PARA* para, bool ok) {
  if (ok) return BPVSTA_OK;
  if (LogFile != nullptr) {
    std::snprintf(TextLine, sizeof TextLine, Texts().rejected.c_str(), Attempts + 1);
    WriteLogInf(TextLine);
    WriteValueLine(Texts().values.c_str(), *para);
  }
  if (++Attempts < MaxAttempts) return StartNewAttempt();
  return BPVSTA_FAILED;
}

bool TnelBPVCheck::DM_BPValueProce(int, int, float) { return false; }

void TnelBPVCheck::SetLogFile(const char* path) {
  if (LogFile != nullptr) {
    std::fclose(LogFile);
    LogFile = nullptr;
  }
  if (path == nullptr) return;
  Texts();  // convert the texts now rather than while measuring
  if (PulseLine.size() < kPulseLineChars) PulseLine.assign(kPulseLineChars, '\0');
  LogFile = std::fopen(path, "a+");
}

void TnelBPVCheck::WriteLogInf(const char* text) {
  if (LogFile == nullptr || text == nullptr) return;
  std::fprintf(LogFile, "[%s]%s\n", LogName(Channel), text);
  std::fflush(LogFile);
}

void TnelBPVCheck::WriteValueLine(const char* format, const tagBPIM_PARA& para) {
  if (LogFile == nullptr) return;
  std::snprintf(TextLine, sizeof TextLine, format, para.SBP, para.DBP, para.MAP);
  WriteLogInf(TextLine);
}

void TnelBPVCheck::WritePulseLines() {
  if (LogFile == nullptr || PulseLine.empty()) return;
  WriteLogInf(Texts().blocked.c_str());
  const int count = std::clamp<int>(Recogn->FeatureCount, 0, TnelPulseRecogn::kMaxPulses);
  char* const line = PulseLine.data();
  const std::size_t size = PulseLine.size();

  std::size_t used = static_cast<std::size_t>(std::snprintf(line, size, "%s", Texts().amplitudes.c_str()));
  for (int k = 0; k < count && used < size; ++k)
    used += static_cast<std::size_t>(
        std::snprintf(line + used, size - used, ",%d", static_cast<int>(Recogn->FeaturePoint[k].Amplitude)));
  WriteLogInf(line);

  used = static_cast<std::size_t>(std::snprintf(line, size, "%s", Texts().pressures.c_str()));
  for (int k = 0; k < count && used < size; ++k)
    used += static_cast<std::size_t>(
        std::snprintf(line + used, size - used, ",%0.1f", static_cast<double>(Recogn->FeaturePoint[k].Pressure)));
  WriteLogInf(line);
}

void TnelBPVCheck::getBPValue(int16_t* sbp, int16_t* dbp, int16_t* map) const {
  if (sbp != nullptr) *sbp = Finished ? BPResult.SBP : int16_t{-1};
  if (dbp != nullptr) *dbp = Finished ? BPResult.DBP : int16_t{-1};
  if (map != nullptr) *map = Finished ? BPResult.MAP : int16_t{-1};
}

void TnelBPVCheck::getBPDataPosition(int16_t* sbpPos, int16_t* dbpPos, int16_t* mapPos) const {
  if (sbpPos != nullptr) *sbpPos = Finished ? BPResult.SBPPos : int16_t{0};
  if (dbpPos != nullptr) *dbpPos = Finished ? BPResult.DBPPos : int16_t{0};
  if (mapPos != nullptr) *mapPos = Finished ? BPResult.MAPPos : int16_t{0};
}

void TnelBPVCheck::getPulseFeaturePnt(tagBPV_PULSE_FEATURE_POINT* dst, int16_t* count) const {
  if (count != nullptr) *count = Recogn ? Recogn->FeatureCount : int16_t{0};
  if (dst != nullptr && Recogn) std::memcpy(dst, Recogn->FeaturePoint, sizeof Recogn->FeaturePoint);
}

tagBPV_PULSE_FEATURE_POINT* TnelBPVCheck::assignPulseFeaturePnt(int16_t* count) {
  if (count != nullptr) *count = Recogn ? Recogn->FeatureCount : int16_t{0};
  return Recogn ? Recogn->FeaturePoint : nullptr;
}

void TnelBPVCheck::getBPFilteData(tagBPV_FILTED_DATA* dst, int32_t* count) const {
  const int32_t n = Recogn && Recogn->FiltedData ? Recogn->FiltedCount : 0;
  if (count != nullptr) *count = n;
  if (n > 0 && dst != nullptr)
    std::memcpy(dst, Recogn->FiltedData, static_cast<std::size_t>(n) * sizeof(tagBPV_FILTED_DATA));
}

tagBPV_FILTED_DATA* TnelBPVCheck::assignBPFilteData(int32_t* count) {
  if (count != nullptr) *count = Recogn && Recogn->FiltedData ? Recogn->FiltedCount : 0;
  return Recogn ? Recogn->FiltedData : nullptr;
}
