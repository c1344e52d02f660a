// One processing pass of the façade (CheckData + GetData, as a host runs them)
// in DETECT_ALL, as a multiple of real time (`x_real_time`: seconds of the
// unit's data per second of processor time).
//
// BM_PassMeasuring: the four limb cuffs (RBra, LBra, RAnk, LAnk; the toe cuffs
// are not selected) are measured simultaneously. BM_PassStreaming: the same
// bytes with no measurement running, the reference that shows what the
// measurement costs.
//
// The bytes are a recording of the virtual unit (run in this process, no
// serial port) while a façade measured the four cuffs: its sequencers' pump
// and valve commands are forwarded to the unit after every pass. The
// recording stops while every cuff is still inflating, before any envelope
// maximum, so the sequencers are measuring at every byte of it. In the timed
// loop the bytes go into the façade's receive ring (InjectReceived, as the
// reader thread stores them), at least one pass's worth ahead; when the recording is
// exhausted, the measurement is started again outside the timing: a second of
// the resting cuffs (so the sampling's 200-frame pressure average is back at
// zero), BPMeasure_Start, then the bytes from the start to the moment all four
// pumps run. Every timed pass is checked: each cuff's status must be
// "measuring" and no cuff finished; otherwise the benchmark reports an error.
//
// BM_FourUnitsMeasuringOnOneThread: four façades, each fed the recording from
// a different point, measuring their four cuffs, served by one thread a pass
// of each in turn (a host with a unit per bed); x_real_time is per unit. The
// four share the process's one ECG beat analyser, as façades in one process do.
//
// The ...ThroughCQueue variants add what the C interface does with the same
// frames: each pass's frames go into its frame queue (as the acquisition
// thread puts them) and are read back into a host's buffer (nel_read_frames).
// Their x_real_time against the plain variant of the same run is the cost of
// the C path.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <nel/bp/bp_records.h>
#include <nel/bp/bpv_check.h>
#include <nel/bp/pulse_recogn.h>
#include <nel/control/hard_base.h>
#include <nel/cuff/bpm_inflate.h>
#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include "frame_queue.h"
#include "sim/stepped_rig.h"
#include "sim/virtual_unit.h"

namespace {

constexpr int kLimbCuffs = 4;  // positions 0..3 of DETECT_ALL: RBra, LBra, RAnk, LAnk
constexpr int kMaxPressure = 250;
constexpr float kStopPressure = 75.0f;  // below every cuff's envelope maximum of the default subject
constexpr int kRestFrames = 1000;
constexpr int kStepFrames = 20;
constexpr int kPassBytes = TSamThread::kStagingBytes + 1;  // kept in the ring ahead of each pass
// Stored at once when fewer than kPassBytes wait: what the unopened port's
// ring holds beside them. Each store signals the data event (a system call),
// work that belongs to the reader thread; storing for three passes at a time
// keeps most of it out of the figure without leaving the timed loop.
constexpr int kStoreBytes = TSerialPort::kInitialRingBytes - TSamThread::kStagingBytes;

struct Recording {
  std::vector<uint8_t> rest;    // a second of resting cuffs
  std::vector<uint8_t> bytes;   // from BPMeasure_Start on
  size_t inflationStart = 0;    // offset at which all four pumps run
  int64_t inflationFrames = 0;  // frames from there to the end
  tagAD_FORCE_CONVERT coeff[6] = {};
  std::string error;
};

void Send(nel::sim::VirtualUnit& unit, std::initializer_list<uint8_t> bytes) {
  const std::vector<uint8_t> v(bytes);
  unit.Receive(v.data(), v.size());
}

// What the façade's controller of one cuff last commanded, forwarded to the
// unit's line as the pump and valve commands the link would have sent.
struct PumpBridge {
  int level[kLimbCuffs] = {-1, -1, -1, -1};
  void Update(TnelHardBase& hb, nel::sim::VirtualUnit& unit) {
    for (int k = 0; k < kLimbCuffs; ++k) {
      const TnelBPMInflate* c = hb.GetBPVCheck(k)->GetInflater();
      const int want = c->Started ? c->PumpSpeed : 0;
      if (want == level[k]) continue;
      level[k] = want;
      const auto line = static_cast<uint8_t>(hb.GetBPVCheck(k)->GetChannel());
      const auto code = static_cast<uint8_t>(line | ((want & 0x80) ? 0x20 : 0) | ((want & 0x8000) ? 0x10 : 0));
      Send(unit, {0x87, static_cast<uint8_t>((want > 0 ? 0x04 : 0x00) + line)});
      Send(unit, {0x86, static_cast<uint8_t>((want >> 8) & 0x7F), static_cast<uint8_t>(want & 0x7F), code, 0});
    }
  }
};

bool AllMeasuring(TnelHardBase& hb, const tagHMID_DATA& s) {
  for (int k = 0; k < kLimbCuffs; ++k) {
    if (s.BPResult[k].Status != BPVSTA_MEASURING || hb.GetBPVCheck(k)->IsFinished()) return false;
  }
  return true;
}

bool StartFourCuffs(TnelHardBase& hb) {
  bool sel[6] = {true, true, true, true, false, false};
  return hb.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, kMaxPressure, sel, 60);
}

Recording Record() {
  Recording r;
  nel::sim::VirtualUnit unit;
  std::memcpy(r.coeff, unit.ActiveCoefficients(), sizeof r.coeff);
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  // The pump commands go to an in-process device; PumpBridge forwards their effect.
  hb.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(nullptr, nullptr);
  hb.SetDetectCategory(DETECT_ALL);
  nel::sim::UseCoefficients(hb, r.coeff);
  Send(unit, {0x82});  // begin sampling

  auto step = [&](std::vector<uint8_t>* into, auto&& after) {
    unit.Advance(kStepFrames);
    const std::vector<uint8_t> out = unit.Output();
    unit.ConsumeOutput(out.size());
    if (into) into->insert(into->end(), out.begin(), out.end());
    nel::sim::FeedAndDrain(hb, out.data(), out.size(), after);
  };
  auto nothing = [] {};
  for (int f = 0; f < 3000; f += kStepFrames) step(nullptr, nothing);  // settle the filters
  for (int f = 0; f < kRestFrames; f += kStepFrames) step(&r.rest, nothing);

  if (!StartFourCuffs(hb)) {
    r.error = "BPMeasure_Start refused";
    return r;
  }
  PumpBridge bridge;
  bridge.Update(hb, unit);
  bool measuring = true;
  float top = 0.0f;
  auto afterPass = [&] {
    tagHMID_DATA s{};
    hb.GetStatus(&s);
    measuring = measuring && AllMeasuring(hb, s);
    bridge.Update(hb, unit);
    for (int k = 0; k < kLimbCuffs; ++k) top = std::max(top, hb.GetBPVCheck(k)->GetDelayedPressure());
    if (r.inflationStart > 0) r.inflationFrames += hb.GetData(static_cast<int*>(nullptr));
  };
  for (int f = 0; f < 120000 && top < kStopPressure && measuring; f += kStepFrames) {
    step(&r.bytes, afterPass);
    bool pumping = true;
    for (int k = 0; k < kLimbCuffs; ++k) pumping = pumping && hb.GetBPVCheck(k)->GetInflater()->Started;
    if (pumping && r.inflationStart == 0) r.inflationStart = r.bytes.size();
  }
  if (!measuring)
    r.error = "a cuff stopped measuring while recording";
  else if (top < kStopPressure)
    r.error = "the cuffs did not inflate";
  else if (r.inflationStart == 0 || r.inflationStart >= r.bytes.size())
    r.error = "the pumps did not start";
  for (int k = 0; k < kLimbCuffs && r.error.empty(); ++k) {
    if (hb.GetBPVCheck(k)->GetRecogn()->WinCount < 1) r.error = "a recogniser got no window";
  }
  return r;
}

const Recording& TheRecording() {
  static const Recording r = Record();
  return r;
}

// One façade fed from the recording: its passes, and the restart of the
// measurement when the recording is exhausted.
class Unit {
 public:
  Unit(const Recording& rec, bool measure) : rec_(rec), measure_(measure), hb_(0, DATAPROCESS_STANDARD) {
    // The pump commands go to an in-process device; PumpBridge forwards their effect.
    hb_.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(nullptr, nullptr);
    hb_.SetDetectCategory(DETECT_ALL);
    nel::sim::UseCoefficients(hb_, rec.coeff);
    Restart();
  }
  bool Exhausted() const { return at_ >= rec_.bytes.size(); }
  void Restart() {
    auto nothing = [] {};
    if (measure_ && restarts_ > 0) recognised_ += hb_.GetBPVCheck(0)->GetRecogn()->FiltedCount;
    nel::sim::FeedAndDrain(hb_, rec_.rest.data(), rec_.rest.size(), nothing);
    if (measure_) StartFourCuffs(hb_);
    nel::sim::FeedAndDrain(hb_, rec_.bytes.data(), rec_.inflationStart, nothing);
    at_ = rec_.inflationStart;
    ++restarts_;
  }
  // One pass, as a host runs it; false when a cuff stopped measuring.
  bool Pass(nel::capi::FrameQueue* queue) {
    QXProtocol& port = hb_.GetHardCtl()->GetSamThread()->Protocol();
    if (port.RingCount() < kPassBytes) {
      const int m = static_cast<int>(std::min<size_t>(kStoreBytes, rec_.bytes.size() - at_));
      port.InjectReceived(rec_.bytes.data() + at_, m);
      at_ += static_cast<size_t>(m);
    }
    hb_.CheckData();
    const int n = hb_.GetData(waves_.data(), pressures_.data(), &status_);
    if (queue) {
      queue->Push(waves_.data(), pressures_.data(), n, hb_.Layout().waveCount, hb_.Layout().cuffCount);
      benchmark::DoNotOptimize(queue->Read(hostFrames_.data(), hostFrames_.size()));
    }
    frames_ += n;
    return !measure_ || AllMeasuring(hb_, status_);
  }
  int64_t Frames() const { return frames_; }
  int64_t Restarts() const { return restarts_; }
  // The raw frames of the last pass (GetData(int*)), their count.
  int RawFrames(int* raw) { return hb_.GetData(raw); }
  const nel::link::CategoryLayout& Layout() const { return hb_.Layout(); }
  // Samples the first cuff's recogniser accepted per measurement (completed runs only).
  double RecognisedPerRun() const {
    return restarts_ > 1 ? static_cast<double>(recognised_) / static_cast<double>(restarts_ - 1) : 0.0;
  }

 private:
  const Recording& rec_;
  bool measure_;
  TnelHardBase hb_;
  std::vector<float> waves_ = std::vector<float>(TSamThread::kMaxFramesPerCall * TnelHardBase::kMaxWaves);
  std::vector<float> pressures_ = std::vector<float>(TSamThread::kMaxFramesPerCall * TnelHardBase::kMaxCuffs);
  std::vector<nel_frame> hostFrames_ = std::vector<nel_frame>(TSamThread::kMaxFramesPerCall);
  tagHMID_DATA status_{};
  size_t at_ = 0;
  int64_t frames_ = 0;
  int64_t restarts_ = 0;
  int64_t recognised_ = 0;
};

// `units` façades served by this one thread, a pass of each in turn.
// measure: the four cuffs are measured; otherwise the same bytes stream.
// cQueue: the frames also go through the C interface's frame queue.
void RunPasses(benchmark::State& state, int units, bool measure, bool cQueue) {
  const Recording& rec = TheRecording();
  if (!rec.error.empty()) {
    state.SkipWithError(rec.error.c_str());
    return;
  }
  std::vector<std::unique_ptr<Unit>> all;
  for (int u = 0; u < units; ++u) {
    all.push_back(std::make_unique<Unit>(rec, measure));
    // Each unit a different stretch of the measurement from the others.
    for (int p = 0; p < 40 * u; ++p) all.back()->Pass(nullptr);
  }
  nel::capi::FrameQueue queue(30000);
  for (auto _ : state) {
    for (auto& unit : all) {
      if (unit->Exhausted()) {
        state.PauseTiming();
        unit->Restart();
        state.ResumeTiming();
      }
      if (!unit->Pass(cQueue ? &queue : nullptr)) {
        state.SkipWithError("a cuff stopped measuring in a timed pass");
        return;
      }
    }
  }
  int64_t frames = 0;
  for (auto& unit : all) frames += unit->Frames();
  const double iterations = static_cast<double>(state.iterations());
  state.counters["frames_per_pass"] = static_cast<double>(frames) / iterations / units;
  // Per unit: seconds of one unit's data per second of processor time.
  state.counters["x_real_time"] =
      benchmark::Counter(static_cast<double>(frames) * 1e-3 / units, benchmark::Counter::kIsRate);
  state.counters["timed_s_per_run"] = static_cast<double>(rec.inflationFrames) * 1e-3;
  state.counters["restarts"] = static_cast<double>(all.front()->Restarts());
  if (measure) state.counters["rbra_samples_per_run"] = all.front()->RecognisedPerRun();
}

// The measuring pass and the filter bank alone, alternately on the same
// frames: every iteration times one pass, then a second bank of the façade's
// kind and wave list on that pass's frames (their raw values as floats: the
// bank's work does not depend on the values). A change in the machine's speed
// moves both, so `pass_of_bank` (the pass's speed as a fraction of the
// bank's) is steadier than the ratio of two separate benchmarks.
void BM_PassAgainstFilterBank(benchmark::State& state) {
  using Clock = std::chrono::steady_clock;
  const Recording& rec = TheRecording();
  if (!rec.error.empty()) {
    state.SkipWithError(rec.error.c_str());
    return;
  }
  Unit unit(rec, true);
  const nel::link::CategoryLayout& layout = unit.Layout();
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(layout.waveCount, layout.waves);
  std::vector<int> raw(TSamThread::kMaxFramesPerCall * TnelHardBase::kMaxWaves);
  std::vector<float> block(raw.size()), low(raw.size());
  double passSeconds = 0.0, bankSeconds = 0.0;
  int64_t frames = 0;
  for (auto _ : state) {
    if (unit.Exhausted()) unit.Restart();
    const auto t0 = Clock::now();
    if (!unit.Pass(nullptr)) {
      state.SkipWithError("a cuff stopped measuring in a timed pass");
      return;
    }
    const auto t1 = Clock::now();
    const int n = unit.RawFrames(raw.data());
    std::copy_n(raw.begin(), n * layout.waveCount, block.begin());
    const auto t2 = Clock::now();
    bank.WaveFilte(block.data(), static_cast<short>(n));
    bank.GetWaveFilteResult(block.data(), low.data(), static_cast<short>(n));
    benchmark::DoNotOptimize(low.data());
    const auto t3 = Clock::now();
    passSeconds += std::chrono::duration<double>(t1 - t0).count();
    bankSeconds += std::chrono::duration<double>(t3 - t2).count();
    frames += n;
    state.SetIterationTime(std::chrono::duration<double>(t1 - t0).count());
  }
  state.counters["x_real_time"] = static_cast<double>(frames) * 1e-3 / passSeconds;
  state.counters["bank_x_real_time"] = static_cast<double>(frames) * 1e-3 / bankSeconds;
  state.counters["pass_of_bank"] = bankSeconds / passSeconds;
}

void BM_PassMeasuring(benchmark::State& state) { RunPasses(state, 1, true, false); }
void BM_PassStreaming(benchmark::State& state) { RunPasses(state, 1, false, false); }
void BM_PassMeasuringThroughCQueue(benchmark::State& state) { RunPasses(state, 1, true, true); }
void BM_PassStreamingThroughCQueue(benchmark::State& state) { RunPasses(state, 1, false, true); }
void BM_FourUnitsMeasuringOnOneThread(benchmark::State& state) { RunPasses(state, 4, true, false); }
BENCHMARK(BM_PassMeasuring);
BENCHMARK(BM_PassMeasuringThroughCQueue);
BENCHMARK(BM_PassStreaming);
BENCHMARK(BM_PassStreamingThroughCQueue);
BENCHMARK(BM_FourUnitsMeasuringOnOneThread);
BENCHMARK(BM_PassAgainstFilterBank)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
