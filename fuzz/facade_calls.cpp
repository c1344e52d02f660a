// The façade's host calls in a fuzzed order and with fuzzed arguments, against
// the virtual unit in this process (no port, no thread; the unit's time moves
// only by the Advance operation, whose frames the façade takes in passes as a
// polling host does). Besides no crash and no access outside the host's
// buffers (exact-size heap vectors, sized by the pass's category as GetData
// documents), it checks:
//  - a refused start, and any start the header says is refused, leaves a reason;
//  - no line stays above the ceiling in force for more than a second of frames
//    (the header's ceilings, tracked from the host's accepted starts; the
//    unit's own ceiling is raised out of the way, so only the library protects);
//  - CancelAllProcess and CloseHardware leave every pump off and every valve
//    open, and after a cancel or a safety stop no pump starts until the host
//    starts a mode again;
//  - what the façade reports stays in its documented ranges.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <nel/control/hard_base.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>

#include "dsp/ecg_analyser.h"
#include "sim/virtual_unit.h"

namespace {

using nel::sim::VirtualUnit;

void Check(bool condition) {
  if (!condition) std::abort();
}

// Unit time per input: a pass filters every pulse wave with three 2001-tap
// filters, which with coverage instrumentation costs about 25 us a frame.
constexpr int64_t kMaxFrames = 6000;
constexpr int kStepFrames = 20;  // frames between two rounds of passes
constexpr float kCeilingMmHg = nel::cuff::CuffSafetyMonitor::kCeilingMmHg;
// The monitor stops the frame's pass (here at most a step late) and an open
// valve empties a cuff by tens of mmHg a second; readings carry noise.
constexpr int kAboveLimitFrames = 1000;
constexpr float kReadingMarginMmHg = 1.0f;

struct Input {
  const uint8_t* p;
  size_t n;
  uint8_t Byte() {
    if (n == 0) return 0;
    --n;
    return *p++;
  }
  int Signed() { return static_cast<int8_t>(Byte()); }
};

void Sink(const unsigned char* bytes, int n, void* unit) { static_cast<VirtualUnit*>(unit)->Receive(bytes, n); }

class Rig {
 public:
  // flags: bit 0 toe cuffs on lines 2 and 3, bit 1 a pump strong enough to
  // reach any pressure within a second, bit 2 data process mode 2.
  explicit Rig(uint8_t flags)
      : unit_(Subject(flags)), hb_(0, flags & 4 ? DATAPROCESS_RAW : DATAPROCESS_STANDARD), raw_(flags & 4) {
    Check(Port().OpenInProcess(Sink, &unit_));
    // The façade converts as the unit scales (the unit's set read at start-up).
    tagAD_FORCE_CONVERT set[6];
    std::memcpy(set, unit_.ActiveCoefficients(), sizeof set);
    hb_.GetHardCtl()->GetSamThread()->SetAD2ForceCoeff(set);
    std::memcpy(hb_.GetHardCtl()->ADForceCoeff, set, sizeof set);
    const uint8_t begin = nel::sim::kCmdBeginSample;
    unit_.Receive(&begin, 1);
  }

  void Run(Input& in);

 private:
  static nel::sim::SubjectConfig Subject(uint8_t flags) {
    nel::sim::SubjectConfig c;
    c.SetToeLines(flags & 1);
    if (flags & 2) c.pump.qmax_ml_s = 80;
    c.firmware.ceiling_mmhg = 400;
    c.firmware.watchdog_s = 3600;
    return c;
  }
  QXProtocol& Port() { return hb_.GetHardCtl()->GetSamThread()->Protocol(); }

  // A start attempt: the quiet window (no pump may start) ends.
  void Started() { quiet_ = false; }
  // A new ceiling: a line above it is held to 300 mmHg until it has come down.
  void SetCeiling(float mmHg) {
    ceiling_ = std::min(mmHg, kCeilingMmHg);
    for (int l = 0; l < 4; ++l) limit_[l] = unit_.LinePressure(l) > ceiling_ ? kCeilingMmHg : ceiling_;
  }
  void Quiet() {
    quiet_ = true;
    pumpOns_ = unit_.Stats().pump_on_commands;
  }
  void AllReleased() {
    for (int l = 0; l < 4; ++l) Check(!unit_.Line(l).PumpRunning() && unit_.Line(l).ValveOpen());
  }
  void Advance(int64_t frames);
  void AfterPass();
  void GetData(Input& in);
  void Getters(Input& in);

  VirtualUnit unit_;
  TnelHardBase hb_;
  int64_t frames_ = 0;
  bool raw_;
  float ceiling_ = kCeilingMmHg;
  float limit_[4] = {kCeilingMmHg, kCeilingMmHg, kCeilingMmHg, kCeilingMmHg};
  int above_[4] = {};
  bool quiet_ = false;
  int64_t pumpOns_ = 0;
  int passWaves_ = 0, passCuffs_ = 0;  // lists of the category the last pass used
};

void Rig::Advance(int64_t frames) {
  frames = std::min(frames, kMaxFrames - frames_);
  for (int64_t done = 0; done < frames; done += kStepFrames) {
    for (int f = 0; f < kStepFrames; ++f) {
      unit_.Advance(1);
      for (int l = 0; l < 4; ++l) {
        const double p = unit_.LinePressure(l);
        if (p <= ceiling_) limit_[l] = ceiling_;
        above_[l] = p > limit_[l] + kReadingMarginMmHg ? above_[l] + 1 : 0;
        Check(above_[l] <= kAboveLimitFrames);
      }
    }
    frames_ += kStepFrames;
    const std::vector<uint8_t> out = unit_.Output();
    unit_.ConsumeOutput(out.size());
    for (size_t at = 0; at < out.size();) {
      const int m = static_cast<int>(std::min<size_t>(TSamThread::kStagingBytes, out.size() - at));
      Port().InjectReceived(out.data() + at, m);
      at += static_cast<size_t>(m);
      while (hb_.CheckData()) AfterPass();
    }
  }
}

void Rig::AfterPass() {
  passWaves_ = hb_.Layout().waveCount;
  passCuffs_ = hb_.Layout().cuffCount;
  const tagSAFETY_REPORT r = hb_.GetSafetyReport();
  Check(r.Reason >= SAFETY_NONE && r.Reason <= SAFETY_DEVICE_LOST && r.Line >= -1 && r.Line < 4);
  if (quiet_)
    Check(unit_.Stats().pump_on_commands == pumpOns_);
  else if (r.Reason != SAFETY_NONE)
    Quiet();
}

void Rig::GetData(Input& in) {
  const uint8_t b = in.Byte();
  const int n = hb_.GetData(nullptr, nullptr, nullptr);
  Check(n >= 0 && n <= TSamThread::kMaxFramesPerCall);
  std::vector<float> waves(static_cast<size_t>(n * passWaves_)), pressures(static_cast<size_t>(n * passCuffs_));
  std::vector<int> raw(static_cast<size_t>(n * passWaves_));
  tagHMID_DATA status;
  Check(hb_.GetData(b & 1 ? nullptr : waves.data(), b & 2 ? nullptr : pressures.data(), b & 4 ? nullptr : &status) ==
        n);
  Check(hb_.GetData(b & 8 ? nullptr : raw.data()) == n);
  for (float p : pressures) Check(!std::isnan(p));
}

void Rig::Getters(Input& in) {
  tagHMID_DATA s;
  Check(hb_.GetStatus(&s));
  for (const auto& r : s.BPResult) Check(r.Status >= BPVSTA_MEASURING && r.Status <= BPVSTA_STOPPED);
  const auto W = static_cast<size_t>(hb_.Layout().waveCount);
  std::vector<int> base(W), datum(W);
  hb_.GetADBaseValue(base.data(), datum.data());
  hb_.SignalCheck_GetADBaseDatum(in.Byte() & 1 ? nullptr : base.data(), datum.data());
  int count = -1;
  hb_.WaveRecord_DataAssign(&count);
  Check(count >= 0 && count <= TnelHardBase::kWaveRecordCapacity);
  int32_t length = 0;
  if (hb_.CVRRCheck_AssignECGWaveData(&length)) Check(hb_.CVRRCheck_GetCurrSavedDataLen() <= length);
  tagNEL_PULSEPEAK peak;
  hb_.GetNELPulsePeak(&peak, static_cast<short>(in.Signed()));
  Check(peak.Count >= 0 && peak.Count <= 800);
  tagExerciseStressRec rec;
  Check(hb_.ExerciseStress_GetResult(&rec));
  Check(rec.CheckNum >= 0 && rec.CheckNum <= std::max<int16_t>(rec.Config.CheckCount, 0));
  Check(hb_.ExerciseStress_GetNextProcElapseSeconds() >= -1);
  // Null destinations.
  Check(!hb_.GetStatus(nullptr) && !hb_.ExerciseStress_GetResult(nullptr));
  hb_.GetNELPulsePeak(nullptr, 0);
  hb_.WaveRecord_DataAssign(nullptr);
  hb_.CVRRCheck_AssignECGWaveData(nullptr);
}

void Rig::Run(Input& in) {
  while (in.n > 0 && frames_ < kMaxFrames) {
    const uint8_t op = in.Byte() % 20;
    nel::ClearLastError();
    switch (op) {
      case 0: {
        static constexpr int32_t kCategories[] = {0, 1, 2, 3, 4, 5, 6, 7, -1, 1000, INT32_MIN};
        hb_.SetDetectCategory(static_cast<tagTYPE_DETECTCATEGORY>(kCategories[in.Byte() % 11]));
        break;
      }
      case 1: {
        const auto mode = static_cast<tagTYPE_BPMEASUREMODE>(in.Byte() % 4);
        const int maxPressure = 20 + 2 * in.Byte();
        const uint8_t bits = in.Byte();
        bool selected[6];
        for (int c = 0; c < 6; ++c) selected[c] = (bits >> c) & 1;
        const short pulseRate = static_cast<short>(in.Signed() * 2);
        Started();
        const bool ok = hb_.BPMeasure_Start(mode, maxPressure, bits & 0x80 ? nullptr : selected, pulseRate);
        if (bits & 0x80 || maxPressure < 30 || maxPressure > 300) Check(!ok);
        if (!ok)
          Check(*nel::LastErrorText() != '\0');
        else
          SetCeiling(raw_ ? kCeilingMmHg : static_cast<float>(maxPressure + 10));
        break;
      }
      case 2: hb_.BPMeasure_Cancel(); break;
      case 3: {
        const int pressure = 2 * in.Byte() - 50;
        Started();
        hb_.FixPressure_Start(pressure);
        if (pressure < 10 || pressure > 200)
          Check(*nel::LastErrorText() != '\0');
        else if (Port().IsOpen())
          SetCeiling(static_cast<float>(pressure + 20));
        break;
      }
      case 4: hb_.FixPressure_Cancel(in.Byte() & 1); break;
      case 5:
        if (!hb_.WaveRecord_Start()) Check(*nel::LastErrorText() != '\0');
        break;
      case 6: hb_.WaveRecord_Cancel(); break;
      case 7: hb_.CVRRCheck_Start((in.Signed() + 10) * 4000); break;
      case 8: hb_.CVRRCheck_Cancel(); break;
      case 9: {
        tagExerciseStressConfig c;
        for (size_t i = 0; i < sizeof c; ++i) reinterpret_cast<uint8_t*>(&c)[i] = in.Byte();
        c.CheckCount = static_cast<int16_t>(static_cast<int8_t>(c.CheckCount));
        c.TimingMode = static_cast<int16_t>(c.TimingMode % 3);
        c.IntervalMinutes = static_cast<int8_t>(c.IntervalMinutes);
        c.PauseSeconds = static_cast<int8_t>(c.PauseSeconds);
        c.BPMeasureMode %= 5;
        c.MaxPressure = static_cast<int16_t>(20 + 2 * static_cast<uint8_t>(c.MaxPressure));
        const bool bad = c.MaxPressure < 30 || c.MaxPressure > 300 ||
                         (c.TimingMode == 0 ? c.IntervalMinutes < 1 || c.IntervalMinutes > 1440
                                            : c.PauseSeconds < 0 || c.PauseSeconds > 86400) ||
                         c.BPMeasureMode < 0 || c.BPMeasureMode > 2;
        Started();
        hb_.ExerciseStress_Start(c);
        if (bad)
          Check(*nel::LastErrorText() != '\0');
        else if (Port().IsOpen())
          SetCeiling(raw_ ? kCeilingMmHg : static_cast<float>(c.MaxPressure + 10));
        break;
      }
      case 10: hb_.ExerciseStress_Cancel(); break;
      case 11: hb_.SignalCheck_Start(); break;
      case 12: hb_.SignalCheck_Cancel(); break;
      case 13:
        hb_.CancelAllProcess();
        SetCeiling(kCeilingMmHg);
        AllReleased();
        Quiet();
        break;
      case 14:
        hb_.CloseHardware();
        AllReleased();
        Quiet();
        break;
      case 15: Port().OpenInProcess(Sink, &unit_); break;
      case 16: GetData(in); break;
      case 17: Getters(in); break;
      case 18: hb_.SetADBaseValue(2000 + 16 * in.Signed(), in.Signed(), in.Signed()); break;
      default: Advance(kStepFrames * (1 + in.Byte() % 64)); break;
    }
    if (quiet_) {
      Check(unit_.Stats().pump_on_commands == pumpOns_);
      AllReleased();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  nel::dsp::SharedEcgAnalyser().Reset();  // process-wide: each input starts from the same state
  Input in{data + 1, size - 1};
  Rig rig(data[0]);
  rig.Run(in);
  return 0;
}
