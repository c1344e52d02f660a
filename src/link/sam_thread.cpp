#include <nel/link/sam_thread.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include <nel/platform/diagnostics.h>
#include "platform/gbk.h"
#include "platform/paths.h"

namespace {

struct DiagFile {
  const char* name;
  const char* mode;
  const char* message;  // UTF-8; shown in code page 936
};

constexpr DiagFile kDiagFiles[TSamThread::kDiagFileCount] = {
    {"raw.dt", "wb", "原始数据文件创建失败!"},          {"unpack.dt", "wb", "解包数据文件创建失败!"},
    {"unpack2.dt", "wb", "解包数据文件创建失败!"},      {"exceptionPop.dt", "w", "解包数据文件创建失败!"},
    {"unpackPos.dt", "w", "异常解包数据文件创建失败!"}, {"exception.dt", "w", "异常记录数据文件创建失败!"},
};

// 0.005 as the single-precision value the moving average multiplies by.
constexpr double kAverageFactor = static_cast<double>(0.005f);

int32_t Signed24(const unsigned char* p) {
  int32_t v = (static_cast<int32_t>(p[0]) << 16) | (static_cast<int32_t>(p[1]) << 8) | p[2];
  if (v & 0x800000) v -= 0x1000000;
  return v;
}

}  // namespace

TSamThread::TSamThread() {
  for (auto& c : coeff_) c = nel::kInitialCoeff;
}

TSamThread::~TSamThread() { CloseFile(); }

int TSamThread::GetData(tagSAM_DATA* out) {
  QXProtocol& port = protocol_;
  if (out == nullptr) return 0;
  const int32_t limit = port.AwaitTake();
  if (limit < 1 || port.WriteTotal() == port.ReadTotal()) return port.TookNothing(), 0;
  std::memset(staging_, 0, sizeof staging_);
  int32_t count = port.RingCount();
  if (count < 1) {
    port.DataEvent().Reset();
    if (!port.DataEvent().Wait(kDataWaitMs)) return port.TookNothing(), 0;
    count = port.RingCount();
  }
  const int n = std::min({count, int32_t{kStagingBytes}, limit});
  if (n < 1) return port.TookNothing(), 0;
  port.TakeFromRing(staging_, n);

  frameCount_ = 0;
  port.UnpackBlock(staging_, n, &TSamThread::RawDataProc, this);

  std::lock_guard guard(lock_);
  for (int f = 0; f < frameCount_; ++f) CountBPVData(frames_[f]);
  std::memcpy(out, frames_, sizeof(tagSAM_DATA) * static_cast<size_t>(frameCount_));
  return frameCount_;
}

void TSamThread::RawDataProc(PACK_BUF* pack, void* context) {
  auto* self = static_cast<TSamThread*>(context);
  if (pack == nullptr || self == nullptr || self->frameCount_ >= kFrameCapacity) return;
  QXProtocol::RawDataProc(pack);
  const unsigned char* p = pack->Frame + 1;
  tagSAM_DATA& frame = self->frames_[self->frameCount_];
  frame.Wave[WAVE_ECG] = (p[15] >> 4) * 256 + p[16];
  frame.Wave[WAVE_PCG] = (p[15] & 0x0F) * 256 + p[17];
  for (int t = 0; t < nel::kTransducerCount; ++t) frame.Wave[WAVE_RBRA + t] = Signed24(p + 3 + 3 * t);
  frame.Wave[WAVE_RTOE] = frame.Wave[WAVE_RANK];
  frame.Wave[WAVE_LTOE] = frame.Wave[WAVE_LANK];
  std::fill(std::begin(frame.Pressure), std::end(frame.Pressure), 0.0f);
  ++self->frameCount_;
}

void TSamThread::CountBPVData(tagSAM_DATA& frame) {
  const int64_t k = converted_;
  const int slot = static_cast<int>(k % kAverageFrames);
  for (int c = 0; c < nel::kChannelCount; ++c) {
    const int32_t v = frame.Wave[WAVE_RBRA + c];
    double average;
    if (k < kAverageFrames) {
      history_[c][slot] = v;
      sums_[c] += v;
      average = static_cast<double>(sums_[c]) / static_cast<double>(k + 1);
    } else {
      const int32_t old = history_[c][slot];
      history_[c][slot] = v;
      sums_[c] = sums_[c] + v - old;
      average = static_cast<double>(sums_[c]) * kAverageFactor;
    }
    float p = static_cast<float>(average * coeff_[c].Slope + coeff_[c].Offset);
    if (!(p >= 0.0f)) p = 0.0f;  // negative or not a number
    pressure_[c] = p;
    frame.Pressure[c] = p;
  }
  converted_ = k + 1;
}

void TSamThread::ClearDataBuff() {
  std::lock_guard guard(lock_);
  std::fill(std::begin(pressure_), std::end(pressure_), 0.0f);
  converted_ = 0;
  std::fill(std::begin(sums_), std::end(sums_), 0);
}

void TSamThread::GetAD2ForceCoeff(tagAD_FORCE_CONVERT* out) {
  if (out == nullptr) return;
  std::lock_guard guard(lock_);
  std::copy(std::begin(coeff_), std::end(coeff_), out);
}

void TSamThread::SetAD2ForceCoeff(tagAD_FORCE_CONVERT* set) {
  if (set == nullptr) return;
  std::lock_guard guard(lock_);
  std::copy(set, set + nel::kChannelCount, coeff_);
}

void TSamThread::SetAD2ForceCoeff(tagAD_FORCE_CONVERT one, tagTYPE_NEL_BPDATA channel) {
  const int c = static_cast<int>(channel);
  if (c < 0 || c >= nel::kChannelCount) return;
  std::lock_guard guard(lock_);
  coeff_[c] = one;
}

int64_t TSamThread::ConvertedFrames() const {
  std::lock_guard guard(lock_);
  return converted_;
}

void TSamThread::StartFrameCountAt(int64_t frames) {
  if (frames < 0) return;
  std::lock_guard guard(lock_);
  converted_ = frames;
}

float TSamThread::LastPressure(int channel) const {
  if (channel < 0 || channel >= nel::kChannelCount) return 0.0f;
  std::lock_guard guard(lock_);
  return pressure_[channel];
}

void TSamThread::SetPath(const std::string& dir) {
  std::lock_guard guard(lock_);
  for (int i = 0; i < kDiagFileCount; ++i) {
    if (files_[i] != nullptr) std::fclose(files_[i]);
    files_[i] = std::fopen(nel::platform::JoinPath(dir, kDiagFiles[i].name).c_str(), kDiagFiles[i].mode);
    if (files_[i] == nullptr) {
      static const std::string kMessages[kDiagFileCount] = {
          nel::platform::Utf8ToGbk(kDiagFiles[0].message), nel::platform::Utf8ToGbk(kDiagFiles[1].message),
          nel::platform::Utf8ToGbk(kDiagFiles[2].message), nel::platform::Utf8ToGbk(kDiagFiles[3].message),
          nel::platform::Utf8ToGbk(kDiagFiles[4].message), nel::platform::Utf8ToGbk(kDiagFiles[5].message)};
      nel::platform::ShowMessageBox({}, kMessages[i]);
    }
  }
}

void TSamThread::CloseFile() {
  std::lock_guard guard(lock_);
  for (auto& f : files_) {
    if (f != nullptr) std::fclose(f);
    f = nullptr;
  }
}

bool TSamThread::FileOpen(int i) const {
  if (i < 0 || i >= kDiagFileCount) return false;
  std::lock_guard guard(lock_);
  return files_[i] != nullptr;
}
