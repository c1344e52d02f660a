// TnelHardBase: the class a host drives, one object per acquisition unit.
//
// It owns the hardware control (serial link, sampling), the filter bank, the
// ECG heart-rate tracker, six BP sequencers (one per cuff position), the
// fixed-pressure hold, the wave record buffer and the CVRR buffer. The detect
// category fixes which waves (wave list) and cuffs (cuff list) are acquired
// and in which order; a "position" indexes one of these lists.
//
// Typical use: construct -> SetDetectCategory -> OpenHardware ->
// StartADSample(true) -> CheckData/GetData from a periodic timer, modes started
// and cancelled as needed -> CloseHardware -> destroy.
//
// CheckData is one processing pass: it takes the frames that arrived (at most
// 27), arranges them by the category's lists, converts ECG and PCG to display
// units and pulse waves to mmHg, feeds a running BP measurement, the exercise
// protocol, the filter bank, the heart rate, then (after the settling count)
// the signal check, the fixed-pressure hold, the wave record and the CVRR
// recording. A pass allocates nothing. At X times real time (a virtual unit)
// the host must run at least 37 * X passes a second, or the 5 s receive ring
// overflows.
//
// Threads: every operation may be called from any thread; they exclude each
// other through one recursive lock (a pass, a cancel on another thread and a
// category change never overlap; the pass allocates nothing for it). Commands
// that wait for the unit's reply (StartADSample, SetAD2ForceCoeff) pump the
// calling thread's message queue and hold the lock meanwhile: call them on the
// thread whose timer runs the passes, whose replies they wait for. Pointers
// handed out (WaveRecord_DataAssign, CVRRCheck_AssignECGWaveData) are valid
// until the next start or cancel of their mode; read them on one thread with
// the passes or after the mode's end.
//
// See docs/decisions.md, "Sequence flag and cuff position", "Signal check before its first conclusion" and
// "Exercise check count and time".
//
// Cuff safety, what a host can rely on whatever it does or fails to do: the safety decisions in
// docs/decisions.md, "Cuff safety". CancelAllProcess also stops every pump, opens every valve and clears the values.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include <nel/analysis/cvrr_ana.h>
#include <nel/bp/bp_records.h>
#include <nel/control/facade_records.h>
#include <nel/cuff/cuff_safety.h>
#include <nel/export.h>
#include <nel/link/category_layout.h>
#include <nel/link/records.h>

class TnelHardCtl;
class TnelFIRFilter;
class TrwECGPulseRate;
class TnelBPVCheck;
class TnelPressureFixed;

class NEL_API TnelHardBase {
 public:
  static constexpr int kBlockFrames = 2000;  // frames one pass's blocks can hold
  static constexpr int kMaxWaves = 8;
  static constexpr int kMaxCuffs = 6;
  static constexpr int kWaveRecordCapacity = 15000;
  static constexpr int kWaveRecordSettling = 2000;
  static constexpr int kSignalCheckSettling = 4000;
  static constexpr int kSignalCheckBlockFrames = 2100;
  static constexpr int kSignalCheckBlocks = 4;
  static constexpr int kCVRRSettling = 1000;
  static constexpr int32_t kCVRRMinLength = 30000;
  static constexpr int32_t kCVRRMaxLength = 300000;
  static constexpr int kExerciseMaxChecks = 10;
  static constexpr int kMinMaxPressure = 30;  // BPMeasure_Start, exercise MaxPressure
  static constexpr int kMaxMaxPressure = 300;
  static constexpr int kMinHoldPressure = 10;  // FixPressure_Start
  static constexpr int kMaxHoldPressure = 200;
  static constexpr int32_t kMaxIntervalMinutes = 1440;
  static constexpr int32_t kMaxPauseSeconds = 86400;
  static constexpr int kMinSilenceLimitMs = 200;
  static constexpr int kMaxSilenceLimitMs = 60000;

  TnelHardBase(int unitNo, tagTYPE_DATAPROCESSMODE mode);
  ~TnelHardBase();
  TnelHardBase(const TnelHardBase&) = delete;
  TnelHardBase& operator=(const TnelHardBase&) = delete;

  // ---- lifecycle and hardware information --------------------------------
  // Values 0..6 rebuild the wave and cuff lists; any value re-sends the lists
  // to the filter bank and re-copies each position's AD base and datum.
  void SetDetectCategory(tagTYPE_DETECTCATEGORY category);
  // Port 0 searches ports 1..149 with `probe`; 1..149 probes that port only.
  // False when no unit answers or the port cannot be opened (last error says why).
  bool OpenHardware(unsigned char probe, int port = 0);
  // Resets the ECG beat analyser, then starts sampling (reading the unit's
  // coefficient set when `readCoeff`).
  void StartADSample(bool readCoeff);
  void CloseHardware();
  void ClearDataBuff();
  // Stores one channel's coefficient record in the unit.
  void SetAD2ForceCoeff(tagAD_FORCE_CONVERT coeff, tagTYPE_NEL_BPDATA channel);
  // Per wave position; either pointer may be null.
  void GetADBaseValue(int* base, int* datum) const;
  // Ignored for positions outside the wave list.
  void SetADBaseValue(int base, int datum, int position);
  void SetParamFilePath(const char* path);
  const char* GetParamFilePath() const { return paramFilePath_.c_str(); }
  // read: fills *info from HardInf.ini (built-in values when the path is
  // empty); otherwise writes it (only the first pulse kind's values).
  void PutGetHardwareInf(tagHARDWAREINF* info, bool read, int unitNo);
  void SetPath(const char* path);
  void CloseFile();

  // ---- processing pass and data delivery ---------------------------------
  // One pass; false when no frame arrived (then nothing changes).
  bool CheckData();
  // The last pass that produced frames: n*W low-band waves, n*K pressures and
  // the status; returns n (0 before any). Null destinations are skipped.
  int GetData(float* waves, float* pressures, tagHMID_DATA* status);
  // The last pass's raw waves (n*W); returns n.
  int GetData(int* raw);
  bool GetStatus(tagHMID_DATA* status) const;
  void CancelAllProcess();

  // ---- safety -----------------------------------------------------------------
  // The last safety stop since the last start of a measurement, hold or
  // exercise protocol (Reason SAFETY_NONE when there was none).
  tagSAFETY_REPORT GetSafetyReport() const {
    const Guard guard(apiLock_);
    return safety_.Report();
  }
  // The port hung up or failed, or sampling runs and no frame arrived for 2 s.
  // Cleared when frames arrive again, by OpenHardware and by StartADSample.
  bool DeviceLost() const {
    const Guard guard(apiLock_);
    return linkDown_;
  }
  // How long sampling may run without a frame before the unit counts as
  // silent: 2000 ms by default, limited to 200..60000 ms. A host on a link
  // that stalls longer (or a test that steps the unit's time) raises it.
  void SetSilenceLimitMs(int ms);
  int SilenceLimitMs() const { return silenceLimitMs_; }

  // ---- signal check -------------------------------------------------------
  void SignalCheck_Start();
  void SignalCheck_Cancel();
  // Per wave position; either pointer may be null.
  void SignalCheck_GetADBaseDatum(int* base, int* datum) const;

  // ---- measurement modes ----------------------------------------------------
  // selected: 6 entries indexed by channel (tagTYPE_NEL_BPDATA). Refused
  // (false, nothing changed, reason in nel::LastErrorCode/Text) for a null
  // selection, a maximum outside 30..300 mmHg, a selection with no cuff of the
  // category's cuff list, or two cuffs on one pneumatic line at once.
  bool BPMeasure_Start(tagTYPE_BPMEASUREMODE mode, int maxPressure, bool* selected, short pulseRate);
  void BPMeasure_Cancel();
  // A pressure outside 10..200 mmHg is refused (nothing changes; last error).
  void FixPressure_Start(int pressure);
  void FixPressure_Cancel(bool deflate);
  // Refused (false, last error) while a hold runs: its pass ends before the
  // record step. Hold until FixPressureEnd, FixPressure_Cancel(false), then record.
  bool WaveRecord_Start();
  // The record buffer (owned here, valid until destruction); *count gets the
  // number of records stored.
  tagSAVE_WAVEDATA* WaveRecord_DataAssign(int* count);
  void WaveRecord_Cancel();
  void GetNELPulsePeak(tagNEL_PULSEPEAK* out, short position);

  // ---- CVRR check -----------------------------------------------------------
  void CVRRCheck_Start(int32_t length);
  int32_t CVRRCheck_GetCurrSavedDataLen() const {
    const Guard guard(apiLock_);
    return cvrrSaved_;
  }
  // The buffer (null when none); *lengthOut gets the requested length.
  float* CVRRCheck_AssignECGWaveData(int32_t* lengthOut);
  bool CVRRCheck_GetResult(tagCVRR_ANA_RESULT* result);
  uint32_t CVRRCheck_GetConclusion() const {
    const Guard guard(apiLock_);
    return cvrrConclusion_;
  }
  void CVRRCheck_Cancel();

  // ---- exercise protocol ----------------------------------------------------
  // Refused (nothing changes; last error) for a MaxPressure outside 30..300
  // mmHg, IntervalMinutes outside 1..1440 (timing mode 0) or PauseSeconds
  // outside 0..86400 (otherwise), or a measure mode other than the three.
  void ExerciseStress_Start(tagExerciseStressConfig config);
  int32_t ExerciseStress_GetCurrChkNo() const {
    const Guard guard(apiLock_);
    return exerciseRec_.CheckNum;
  }
  // -1 while measuring; else the seconds until the next check, rounded up.
  int32_t ExerciseStress_GetNextProcElapseSeconds() const;
  bool ExerciseStress_GetResult(tagExerciseStressRec* rec) const;
  void ExerciseStress_Cancel();

  // ---- read-only views (hosts' displays, tests) ------------------------------
  tagTYPE_DETECTCATEGORY GetDetectCategory() const { return category_; }
  const nel::link::CategoryLayout& Layout() const { return layout_; }
  TnelHardCtl* GetHardCtl() { return hardCtl_.get(); }
  TnelBPVCheck* GetBPVCheck(int position) {
    return (position >= 0 && position < kMaxCuffs) ? bpv_[position].get() : nullptr;
  }
  TnelPressureFixed* GetPressureFixed() { return fixed_.get(); }
  const TnelFIRFilter* GetFilter() const { return filter_.get(); }
  bool SequenceFlag() const { return sequence_; }
  int32_t SettlingCount() const { return settling_; }
  int WaveRecordCount() const { return recordCount_; }
  int16_t CurrentCuffPosition() const { return currentCuff_; }
  int32_t ExerciseStageValue() const { return exerciseStage_; }

 private:
  bool ProcBPMeasure(const int32_t* raw, const float* pressure, int n);
  bool ProcBPMeasureCheck(int32_t ad, float pressure, int k);
  void CountPulseRate(const int32_t* raw, int n);
  void ProcSignalCheck(const int32_t* raw, int n);
  void SignalCheckConclusion();
  void ProcExercise(int n);
  void Exercise_StartBPMeasure(int16_t checkNo);
  static float CountABI_BAI(int16_t a, int16_t b, int16_t c);
  void SetupCuff(int k, short pulseRate, int maxPressure);
  // Two selected cuffs that would be driven at once on one pneumatic line.
  bool SharesLineAtOnce(tagTYPE_BPMEASUREMODE mode, const bool* selected) const;
  // True when the pump commands of a mode can reach a unit (a port, or an
  // in-process device, is open); otherwise records kNotOpen for `call`.
  bool PumpsReachable(const char* call);
  bool Measuring() const { return bpMeasure_ || (exerciseRunning_ && exerciseStage_ == 0); }
  // Ends every mode that drives pumps after the monitor (or a close) stopped
  // them: cuffs still measuring end with a latched status, the measurement
  // reports its end, a hold and an exercise protocol end.
  void EndPumpingModes(tagTYPE_SAFETY_STOP reason, int line);
  void SafetyStop(tagTYPE_SAFETY_STOP reason, int line, float pressure);
  // Marks every selected cuff still measuring as stopped (a cancel).
  void MarkMeasuringStopped();
  // A pass without frames: watches for a silent or lost unit.
  void WatchLink();

  using Guard = std::lock_guard<std::recursive_mutex>;
  mutable std::recursive_mutex apiLock_;
  std::unique_ptr<TnelHardCtl> hardCtl_;
  std::unique_ptr<TrwECGPulseRate> pulseRate_;
  std::unique_ptr<TnelFIRFilter> filter_;
  std::unique_ptr<TnelBPVCheck> bpv_[kMaxCuffs];
  std::unique_ptr<TnelPressureFixed> fixed_;
  nel::cuff::CuffSafetyMonitor safety_{nullptr};

  tagTYPE_DETECTCATEGORY category_ = DETECT_BRA_ANK;
  nel::link::CategoryLayout layout_;
  int32_t adBase_[kMaxWaves] = {};
  int32_t adDatum_[kMaxWaves] = {};
  tagHARDWAREINF hardInfo_ = {};
  std::string paramFilePath_;
  int unitNo_;
  tagTYPE_DATAPROCESSMODE dataProcessMode_;

  // Working blocks of a pass, allocated once.
  std::unique_ptr<tagSAM_DATA[]> frames_;
  std::unique_ptr<float[]> main_;
  std::unique_ptr<float[]> low_;
  std::unique_ptr<int32_t[]> rawA_;
  std::unique_ptr<int32_t[]> rawB_;
  std::unique_ptr<float[]> pressure_;
  int32_t passFrames_ = 0;
  int16_t passWaves_ = 0;  // wave and cuff counts of the category the pass used
  int16_t passCuffs_ = 0;

  // Mode flags.
  bool signalCheck_ = false;
  bool bpMeasure_ = false;
  bool fixPressure_ = false;
  bool waveRecord_ = false;
  bool cvrrRunning_ = false;
  bool exerciseRunning_ = false;
  int32_t settling_ = 0;
  tagHMID_DATA status_ = {};

  // Signal check.
  int16_t scBlock_ = 0;
  int16_t scFrames_ = 0;
  int32_t scBase_[kMaxWaves] = {};
  int32_t scDatum_[kMaxWaves] = {};
  int32_t scMin_[kMaxWaves][kSignalCheckBlocks] = {};
  int32_t scMax_[kMaxWaves][kSignalCheckBlocks] = {};

  // BP measurement.
  bool sequence_ = false;
  int16_t currentCuff_ = 0;
  tagTYPE_BPMEASUREMODE bpMode_ = BPMEASURE_SEQUENTIAL;
  bool selected_[kMaxCuffs] = {};
  bool finished_[kMaxCuffs] = {};
  bool bpEnded_ = false;  // stopped for safety: reports its end like a completed one

  // Link watch.
  bool sampling_ = false;
  bool linkDown_ = false;
  int port_ = 0;  // the port OpenHardware opened
  int silenceLimitMs_ = nel::cuff::CuffSafetyMonitor::kSilenceMs;
  int64_t lastFrameMs_ = 0;
  int64_t lastDeflateTryMs_ = 0;

  // Wave record.
  std::unique_ptr<tagSAVE_WAVEDATA[]> record_;
  int recordCapacity_ = kWaveRecordCapacity;
  int recordCount_ = 0;

  // CVRR check.
  std::unique_ptr<float[]> cvrrBuf_;
  int32_t cvrrLength_ = 0;
  int32_t cvrrSaved_ = 0;
  uint32_t cvrrConclusion_ = 0;

  // Exercise protocol.
  tagExerciseStressRec exerciseRec_ = {};
  int32_t exerciseStage_ = 0;
  int32_t exerciseElapsed_ = 0;
  int32_t exercisePause_ = 0;
  int32_t intervalFrames_ = 0;
  int32_t pauseFrames_ = 0;
  bool exerciseHalted_ = false;  // a safety stop ended the protocol
};
