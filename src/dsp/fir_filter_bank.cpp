#include <nel/dsp/fir_filter_bank.h>

#include "dsp/iir_filter.h"
#include "dsp/symmetric_fir.h"

#include <algorithm>
#include <vector>

#include "dsp/filter_design.h"

namespace {

constexpr int kRows = TnelFIRFilter::kRingRows;
// Frames filtered per kind in one go: the gathered samples of one kind (up to
// 14 slots of it in a frame) must fit one block of the FIR groups.
constexpr int kChunkFrames = static_cast<int>(nel::dsp::SymmetricFirGroup::kMaxBlock) / TnelFIRFilter::kMaxWaves;

inline int32_t Advance(int32_t pos) { return pos + 1 >= kRows ? 0 : pos + 1; }

}  // namespace

TnelFIRFilter::TnelFIRFilter(tagTYPE_DATAPROCESSMODE mode)
    : dataProcessMode_(mode),
      filteBuf_(new float[kRows * kColumns]()),
      pulseLowBuf_(new float[kRows * kLowColumns]()),
      work_(new double[nel::dsp::SymmetricFirGroup::kMaxBlock]()) {
  InitFiltePara();
}

TnelFIRFilter::~TnelFIRFilter() { CloseFile(); }

void TnelFIRFilter::SetPath(const char*) {}
void TnelFIRFilter::CloseFile() {}

void TnelFIRFilter::InitFiltePara() {
  using namespace nel::dsp;
  ecgHighpass_ = std::make_unique<FirstOrderIir>(0.996666666666667, -0.996672216054523, 1.0, -0.996672216054523);
  const auto bandstop = BandstopTaps(kShortTaps, 0.045, 0.055);
  ecgBandstop_ = std::make_unique<SymmetricFirGroup>(std::initializer_list<std::span<const double>>{bandstop});
  const auto ecg_low = LowpassTaps(kShortTaps, 0.035);
  ecgLowpass_ = std::make_unique<SymmetricFirGroup>(std::initializer_list<std::span<const double>>{ecg_low});
  const auto pcg_low = LowpassTaps(kShortTaps, 0.12);
  pcgLowpass_ = std::make_unique<SymmetricFirGroup>(std::initializer_list<std::span<const double>>{pcg_low});
  const auto pcg_high = HighpassTaps(kShortTaps, 0.04);
  pcgHighpass_ = std::make_unique<SymmetricFirGroup>(std::initializer_list<std::span<const double>>{pcg_high});
  const auto wide = LowpassTaps(kLongTaps, 0.022);
  const auto base = LowpassTaps(kLongTaps, 0.0003);
  const auto narrow = LowpassTaps(kLongTaps, 0.005);
  for (auto& group : pulseLowpass_)
    group = std::make_unique<SymmetricFirGroup>(std::initializer_list<std::span<const double>>{wide, base, narrow});
}

void TnelFIRFilter::SetWaveNumType(short count, const tagTYPE_NEL_WAVEDATA* kinds) {
  int n = (kinds == nullptr || count < 0) ? 0 : std::min<int>(count, kMaxWaves);
  waveNum_ = static_cast<int16_t>(n);
  for (int s = 0; s < n; ++s) waveType_[s] = kinds[s];
  std::fill(std::begin(kindSlotCount_), std::end(kindSlotCount_), int16_t{0});
  for (int s = 0; s < n; ++s) {
    const int k = static_cast<int>(waveType_[s]);
    if (k >= 0 && k < 8) kindSlots_[k][kindSlotCount_[k]++] = static_cast<int16_t>(s);
  }
  InitWavePosition();
}

void TnelFIRFilter::InitWavePosition() {
  std::fill_n(filteBuf_.get(), kRows * kColumns, 0.0f);
  std::fill_n(pulseLowBuf_.get(), kRows * kLowColumns, 0.0f);
  readPos_ = 0;
  std::fill(std::begin(pulseWritePos_), std::end(pulseWritePos_), 0);
  std::fill(std::begin(pulseBaseWritePos_), std::end(pulseBaseWritePos_), 0);
  const bool raw = dataProcessMode_ == DATAPROCESS_RAW;
  ecgWritePos_ = raw ? 998 : 498;
  pcgWritePos_ = raw ? 1000 : 500;
}

bool TnelFIRFilter::WaveFilte(const float* frames_in, short frames) {
  if (frames <= 0 || frames_in == nullptr || waveNum_ <= 0) return true;
  const int width = waveNum_;
  double* work = work_.get();
  // Every kind has its own filters and ring columns, so the kinds can be
  // filtered one after another over a chunk of frames; a kind that occupies
  // several slots sees its samples in frame order, slot order within a frame.
  for (int first = 0; first < frames; first += kChunkFrames) {
    const int count = std::min<int>(kChunkFrames, frames - first);
    for (int k = 0; k < 8; ++k) {
      const int slots = kindSlotCount_[k];
      if (slots == 0) continue;
      int n = 0;
      for (int f = first; f < first + count; ++f)
        for (int j = 0; j < slots; ++j) work[n++] = static_cast<double>(frames_in[f * width + kindSlots_[k][j]]);
      if (k == WAVE_ECG) {
        FilterEcg(work, n);
      } else if (k == WAVE_PCG) {
        FilterPcg(work, n);
      } else {
        FilterPulse(k - 2, work, n);
      }
    }
  }
  return true;
}

void TnelFIRFilter::FilterEcg(const double* x, int n) {
  double* y = work_.get();  // x is Work: the high-pass runs in place
  for (int j = 0; j < n; ++j) y[j] = ecgHighpass_->Step(x[j]);
  const double* out = y;
  if (!(dataProcessMode_ == DATAPROCESS_RAW && !SignalChecking)) {
    ecgBandstop_->Process(y, static_cast<std::size_t>(n));
    ecgLowpass_->Process(ecgBandstop_->Output(0), static_cast<std::size_t>(n));
    out = ecgLowpass_->Output(0);
  }
  for (int j = 0; j < n; ++j) {
    filteBuf_[ecgWritePos_ * kColumns + 0] = static_cast<float>(out[j]);
    ecgWritePos_ = Advance(ecgWritePos_);
  }
}

void TnelFIRFilter::FilterPcg(const double* x, int n) {
  const double* out = x;
  if (dataProcessMode_ != DATAPROCESS_RAW) {
    pcgLowpass_->Process(x, static_cast<std::size_t>(n));
    pcgHighpass_->Process(pcgLowpass_->Output(0), static_cast<std::size_t>(n));
    out = pcgHighpass_->Output(0);
  }
  for (int j = 0; j < n; ++j) {
    filteBuf_[pcgWritePos_ * kColumns + 1] = static_cast<float>(out[j]);
    pcgWritePos_ = Advance(pcgWritePos_);
  }
}

void TnelFIRFilter::FilterPulse(int i, const double* x, int n) {
  nel::dsp::SymmetricFirGroup& group = *pulseLowpass_[i];
  group.Process(x, static_cast<std::size_t>(n));
  const double* wide = group.Output(0);
  const double* base = group.Output(1);
  const double* narrow = group.Output(2);
  for (int j = 0; j < n; ++j) {
    filteBuf_[pulseWritePos_[i] * kColumns + 2 + i] = static_cast<float>(wide[j]);
    pulseLowBuf_[pulseWritePos_[i] * kLowColumns + i] = static_cast<float>(narrow[j]);
    pulseWritePos_[i] = Advance(pulseWritePos_[i]);
    filteBuf_[pulseBaseWritePos_[i] * kColumns + 8 + i] = static_cast<float>(base[j]);
    pulseBaseWritePos_[i] = Advance(pulseBaseWritePos_[i]);
  }
}

void TnelFIRFilter::GetWaveFilteResult(float* main_result, float* low_result, short frames) {
  if (frames < 1 || main_result == nullptr || low_result == nullptr) return;
  const int width = waveNum_;
  for (int f = 0; f < frames; ++f) {
    const float* row = &filteBuf_[readPos_ * kColumns];
    const float* low_row = &pulseLowBuf_[readPos_ * kLowColumns];
    for (int s = 0; s < width; ++s) {
      const int k = static_cast<int>(waveType_[s]);
      float main_value, low_value;
      if (k == WAVE_ECG || k == WAVE_PCG) {
        main_value = low_value = row[k];
      } else if (k >= 2 && k < 8) {
        const int i = k - 2;
        main_value = row[2 + i] - row[8 + i];
        low_value = low_row[i] - row[8 + i];
      } else {
        continue;
      }
      main_result[f * width + s] = main_value;
      low_result[f * width + s] = low_value;
    }
    readPos_ = Advance(readPos_);
  }
}
