#include <nel/cuff/zero_pressure_adjust.h>

#include <climits>
#include <cstring>
#include <string>

#include <nel/platform/diagnostics.h>
#include "platform/gbk.h"
#include "platform/paths.h"

namespace {

constexpr double kSteadySpreadMmHg = 0.2;
constexpr double kMeanFactor = 0.002;  // 1 / kRingSlots

// CallCount is a 32-bit count that wraps as two's complement after 2^31 calls.
int32_t NextCount(int32_t count) { return static_cast<int32_t>(static_cast<uint32_t>(count) + 1u); }

const std::string& FailureLine() {
  static const std::string line = nel::platform::Utf8ToGbk("压力校准失败!\n");
  return line;
}

const std::string& SuccessSuffix() {
  static const std::string text = nel::platform::Utf8ToGbk("  通道零点压力校准成功!\n");
  return text;
}

// "%d  通道零点压力校准成功!\n" without allocating.
void ReportChannelZeroed(int channel) {
  const std::string& suffix = SuccessSuffix();
  char message[64];
  int n = std::snprintf(message, sizeof message, "%d", channel);
  if (n < 0) return;
  size_t len = static_cast<size_t>(n);
  if (len + suffix.size() > sizeof message) return;
  std::memcpy(message + len, suffix.data(), suffix.size());
  len += suffix.size();
  nel::platform::OutputDebugText(std::string_view(message, len));
}

}  // namespace

TnelZeroPressureAdjust::TnelZeroPressureAdjust() {
  Init();
  // A path too long for Path creates no file: see docs/decisions.md, "Result file and debug message".
  const std::string path = nel::platform::JoinPath(nel::platform::ExecutableFolder(), "coefficient.txt");
  if (path.size() < sizeof Path) {
    std::memcpy(Path, path.c_str(), path.size() + 1);
    ResultFile = std::fopen(Path, "w");
  }
}

TnelZeroPressureAdjust::~TnelZeroPressureAdjust() {
  if (ResultFile) std::fclose(ResultFile);
}

void TnelZeroPressureAdjust::Init() {
  Finished = false;
  Busy = true;
  Success = false;
  CallCount = 0;
  for (bool& done : ChlDone) done = false;
}

void TnelZeroPressureAdjust::StopPressureAdjust() {
  Finished = true;
  Busy = false;
}

void TnelZeroPressureAdjust::StartPressureAdjust(int* ad, float*, tagAD_FORCE_CONVERT* coeffs, char*) {
  if (ad == nullptr || coeffs == nullptr) return;

  if (ChlDone[0] && ChlDone[1] && ChlDone[2] && ChlDone[3]) {
    Finished = true;
    Success = true;
    CallCount = NextCount(CallCount);
    return;
  }
  Busy = true;

  if (CallCount % 4 == 0) {
    // Unsigned, so that a count that has run over 2^31 calls still names a slot.
    const uint32_t slot = (static_cast<uint32_t>(CallCount) / 4) % kRingSlots;
    for (int i = 0; i < nel::kTransducerCount; ++i) Ring[i][slot] = ad[i];

    if (CallCount >= kFirstEvaluation) {
      if (CallCount > kGiveUpAfter) {
        // Stops, yet keeps evaluating; each further fourth call writes the line
        // again for as long as the user keeps calling.
        StopPressureAdjust();
        if (ResultFile) {
          const std::string& line = FailureLine();
          std::fwrite(line.data(), 1, line.size(), ResultFile);
          // Flushed at once so that the user sees it while the object lives.
          std::fflush(ResultFile);
        }
      }
      for (int i = 0; i < nel::kTransducerCount; ++i) {
        if (ChlDone[i]) continue;
        int32_t lo = INT32_MAX;
        int32_t hi = INT32_MIN;
        // 64-bit sum: see docs/decisions.md, "Calibration arithmetic".
        int64_t sum = 0;
        for (int32_t v : Ring[i]) {
          if (v < lo) lo = v;
          if (v > hi) hi = v;
          sum += v;
        }
        const float slope = coeffs[i].Slope;
        const float spread = static_cast<float>(int64_t{hi} - lo) * slope;
        if (spread < kSteadySpreadMmHg) {
          ReportChannelZeroed(i);
          coeffs[i].Offset = static_cast<float>(-slope * static_cast<float>(sum) * kMeanFactor);
          if (i == BP_RANK) coeffs[BP_RTOE].Offset = coeffs[i].Offset;
          if (i == BP_LANK) coeffs[BP_LTOE].Offset = coeffs[i].Offset;
          ChlDone[i] = true;
        }
      }
    }
  }
  CallCount = NextCount(CallCount);
}
