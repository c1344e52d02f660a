// TnelHardBase: construction, destruction, detect category, hardware
// information and the unit's opening and closing.
#include <nel/control/hard_base.h>

#include <new>

#include <nel/bp/bpv_check.h>
#include <nel/cuff/pressure_fixed.h>
#include <nel/dsp/ecg_pulse_rate.h>
#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/last_error.h>
#include "dsp/ecg_analyser.h"
#include "link/hardware_info_file.h"
#include "platform/paths.h"
#include "platform/wait_clock.h"

TnelHardBase::TnelHardBase(int unitNo, tagTYPE_DATAPROCESSMODE mode) : unitNo_(unitNo), dataProcessMode_(mode) {
  // Parts that cannot be made are left out: see docs/decisions.md, "No exception leaves the façade".
  try {
    paramFilePath_ = nel::platform::JoinPath(nel::platform::ExecutableFolder(), nel::link::kHardwareInfoFileName);
    hardCtl_.reset(new (std::nothrow) TnelHardCtl(unitNo));
    pulseRate_.reset(new (std::nothrow) TrwECGPulseRate(1000));
    filter_.reset(new (std::nothrow) TnelFIRFilter(mode));
    for (auto& bpv : bpv_) {
      bpv.reset(new (std::nothrow) TnelBPVCheck(static_cast<int16_t>(mode), BP_RBRA, hardCtl_.get()));
    }
    frames_.reset(new (std::nothrow) tagSAM_DATA[kBlockFrames]());
    main_.reset(new (std::nothrow) float[kBlockFrames * kMaxWaves]());
    low_.reset(new (std::nothrow) float[kBlockFrames * kMaxWaves]());
    rawA_.reset(new (std::nothrow) int32_t[kBlockFrames * kMaxWaves]());
    rawB_.reset(new (std::nothrow) int32_t[kBlockFrames * kMaxWaves]());
    pressure_.reset(new (std::nothrow) float[kBlockFrames * kMaxCuffs]());
    record_.reset(new (std::nothrow) tagSAVE_WAVEDATA[kWaveRecordCapacity]());
    PutGetHardwareInf(&hardInfo_, true, unitNo);
  } catch (...) {
    hardCtl_.reset();
  }
  if (!frames_ || !main_ || !low_ || !rawA_ || !rawB_ || !pressure_) {
    for (auto& bpv : bpv_) bpv.reset();
    hardCtl_.reset();
  }
  safety_ = nel::cuff::CuffSafetyMonitor(hardCtl_.get());
  SetDetectCategory(DETECT_BRA_ANK);
  CancelAllProcess();
  for (int j = 0; j < kMaxWaves; ++j) {
    scBase_[j] = adBase_[j];
    scDatum_[j] = adDatum_[j];
  }
}

// Members go in reverse order of declaration: the hold and the sequencers
// (which hold a pointer to the hardware control) before the hardware control,
// whose destruction stops the reader thread and closes the port.
TnelHardBase::~TnelHardBase() {
  // No cuff stays inflated behind a façade that is gone.
  if (hardCtl_) hardCtl_->DeflateAll();
  CloseFile();
  fixed_.reset();
  for (auto& bpv : bpv_) bpv.reset();
  filter_.reset();
  pulseRate_.reset();
  hardCtl_.reset();
}

void TnelHardBase::SetDetectCategory(tagTYPE_DETECTCATEGORY category) {
  const Guard guard(apiLock_);
  category_ = category;
  nel::link::LayoutForCategory(category, layout_);
  if (filter_) filter_->SetWaveNumType(layout_.waveCount, layout_.waves);
  for (int j = 0; j < layout_.waveCount; ++j) {
    const int kind = layout_.waves[j];
    adBase_[j] = hardInfo_.ADBase[kind];
    adDatum_[j] = hardInfo_.ADDatum[kind];
  }
  settling_ = 0;
}

bool TnelHardBase::OpenHardware(unsigned char probe, int port) {
  const Guard guard(apiLock_);
  if (!hardCtl_) {
    nel::SetLastError(nel::Result::kNoMemory, "OpenHardware: the façade could not be built");
    return false;
  }
  const int found = hardCtl_->FindUnit(probe, port);  // leaves kInvalidArgument, kPortBusy or kNoUnit
  if (found < 1) return false;
  if (!hardCtl_->SetComPortNo(found)) return false;  // leaves kPortBusy or kNoUnit
  port_ = found;
  linkDown_ = false;
  // A line left pumping when an earlier link was lost is stopped first.
  if (hardCtl_->LinesMayHoldPressure()) hardCtl_->DeflateAll();
  return true;
}

void TnelHardBase::StartADSample(bool readCoeff) {
  const Guard guard(apiLock_);
  nel::dsp::SharedEcgAnalyser().Reset();
  if (!hardCtl_) return;
  hardCtl_->StartADSample(readCoeff);
  sampling_ = true;
  linkDown_ = false;
  lastFrameMs_ = nel::platform::MonotonicMs();
}

void TnelHardBase::CloseHardware() {
  const Guard guard(apiLock_);
  if (!hardCtl_) return;
  hardCtl_->DeflateAll();
  EndPumpingModes(SAFETY_NONE, -1);
  sampling_ = false;
  hardCtl_->StopADSample();
  hardCtl_->CloseCom();
}

void TnelHardBase::ClearDataBuff() {
  const Guard guard(apiLock_);
  if (hardCtl_) hardCtl_->ClearDataBuff();
}

void TnelHardBase::SetAD2ForceCoeff(tagAD_FORCE_CONVERT coeff, tagTYPE_NEL_BPDATA channel) {
  const Guard guard(apiLock_);
  if (hardCtl_) hardCtl_->SetAD2ForceCoeff(coeff, channel);
}

void TnelHardBase::GetADBaseValue(int* base, int* datum) const {
  const Guard guard(apiLock_);
  for (int j = 0; j < layout_.waveCount; ++j) {
    if (base) base[j] = adBase_[j];
    if (datum) datum[j] = adDatum_[j];
  }
}

void TnelHardBase::SetADBaseValue(int base, int datum, int position) {
  const Guard guard(apiLock_);
  if (position < 0 || position >= layout_.waveCount) return;
  adBase_[position] = base;
  adDatum_[position] = datum;
}

void TnelHardBase::SetParamFilePath(const char* path) {
  const Guard guard(apiLock_);
  try {
    paramFilePath_ = path ? path : "";
  } catch (...) {
    nel::SetLastError(nel::Result::kNoMemory, "SetParamFilePath: out of memory");
  }
}

void TnelHardBase::PutGetHardwareInf(tagHARDWAREINF* info, bool read, int unitNo) {
  const Guard guard(apiLock_);
  if (!info) return;
  if (read) {
    nel::link::ReadHardwareInfo(paramFilePath_, unitNo, info);
  } else {
    nel::link::WriteHardwareInfo(paramFilePath_, unitNo, *info);
  }
}

void TnelHardBase::SetPath(const char*) {}

void TnelHardBase::CloseFile() {}
