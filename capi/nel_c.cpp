// The C interface: a handle owns an acquisition thread whose message queue
// runs the façade's passes from a timer and carries out the host's calls,
// one at a time, as posted tasks. A host thread waits for its task with a
// limit; a task that finishes late writes only into its own shared state.
#include <nel/nel_c.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include <nel/analysis/data_ana.h>
#include <nel/control/hard_base.h>
#include <nel/control/version.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/event.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>

#ifdef NEL_C_HAVE_SIM
#include "sim/unit_server.h"
#endif

#include "frame_queue.h"

static_assert(sizeof(nel_safety_report) == sizeof(tagSAFETY_REPORT));
static_assert(sizeof(nel_wave_sample) == sizeof(tagSAVE_WAVEDATA));
static_assert(sizeof(nel_limb_bp) == sizeof(tagLIMBRESULT));
static_assert(sizeof(nel_cvrr_result) == sizeof(tagCVRR_ANA_RESULT) &&
              offsetof(nel_cvrr_result, mean_rr) == offsetof(tagCVRR_ANA_RESULT, MeanRR) &&
              offsetof(nel_cvrr_result, rr) == offsetof(tagCVRR_ANA_RESULT, RR));
static_assert(sizeof(nel_exercise_config) == sizeof(tagExerciseStressConfig) &&
              offsetof(nel_exercise_config, bp_mode) == offsetof(tagExerciseStressConfig, BPMeasureMode) &&
              offsetof(nel_exercise_config, max_pressure) == offsetof(tagExerciseStressConfig, MaxPressure));
static_assert(sizeof(nel_exercise_record) == sizeof(tagExerciseStressRec) &&
              offsetof(nel_exercise_record, config) == offsetof(tagExerciseStressRec, Config) &&
              offsetof(nel_exercise_check, right_abi) == offsetof(tagExerciseStressCheck, RightABI));
static_assert(offsetof(nel_frame, wave) == 8 && offsetof(nel_frame, pressure) == 40);
static_assert(offsetof(nel_status, bp) == 4 && offsetof(nel_status, bp_end) == 76 &&
              offsetof(nel_status, exercise_stage) == 84 && offsetof(nel_status, frames) == 88);
static_assert(offsetof(nel_layout, cuff_count) == 36 && offsetof(nel_layout, cuffs) == 40);
static_assert(offsetof(nel_open_params, speed) == 16 && offsetof(nel_open_params, subject) == 24);

using nel::capi::FrameQueue;

namespace {

constexpr int kTickMs = 10;            // pass timer period
constexpr int kMaxPassesPerTick = 64;  // enough for 50 times real time
constexpr int kCallLimitMs = 10000;    // a call on a running handle
constexpr int kOpenLimitMs = 120000;   // the port search and the start of sampling
constexpr size_t kFrameQueue = 30000;  // 30 s of frames at real time
constexpr int32_t kMaxWaitMs = 600000;

nel_result Fail(nel_result code, const char* text) {
  nel::SetLastError(static_cast<nel::Result>(code), text);
  return code;
}

// The outcome of one task, shared by the caller and the acquisition thread.
struct CallState {
  enum Phase { kQueued, kRunning, kDone, kAbandoned };
  std::mutex mu;
  std::condition_variable cv;
  Phase phase = kQueued;
  nel_result code = NEL_OK;
  std::string text;
};

// A call that is already running is let finish (every façade call is bounded)
// for at most this much longer than its limit.
constexpr int kRunningGraceMs = 60000;

struct OpenHandles;
OpenHandles& Handles();

}  // namespace

struct nel_device {
  std::thread thread;
  nel::platform::MessageQueue* queue = nullptr;  // the acquisition thread's, valid while it runs
  std::unique_ptr<TnelHardBase> facade;          // lives on the acquisition thread
#ifdef NEL_C_HAVE_SIM
  std::unique_ptr<nel::sim::UnitServer> sim;
#endif

  std::mutex taskMu;
  std::deque<std::function<void()>> tasks;
  bool inTask = false;  // acquisition thread only: a task's reply wait dispatches the queue

  FrameQueue frames{kFrameQueue};  // filled by the passes

  // Working blocks of the pass timer, allocated once.
  std::vector<float> waves, pressures;
  int timer = 0;

  void RunTasks() {
    if (inTask) return;
    inTask = true;
    for (;;) {
      std::function<void()> task;
      {
        std::lock_guard lock(taskMu);
        if (tasks.empty()) break;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
    inTask = false;
  }

  void Pass() {
    tagHMID_DATA status;
    for (int i = 0; i < kMaxPassesPerTick && facade->CheckData(); ++i) {
      const int n = facade->GetData(waves.data(), pressures.data(), &status);
      frames.Push(waves.data(), pressures.data(), n, facade->Layout().waveCount, facade->Layout().cuffCount);
    }
  }

  // The acquisition thread: its queue, then tasks and passes until quit; the
  // façade it owns is destroyed on it.
  bool StartThread() {
    std::mutex startMu;
    std::condition_variable startCv;
    bool started = false;
    try {
      thread = std::thread([this, &startMu, &startCv, &started] {
        auto& q = nel::platform::MessageQueue::Current();
        q.SetHandler([this](const nel::platform::Message& m) {
          if (m.id == nel::platform::kMsgUser) RunTasks();
        });
        {
          // Notified under the lock: the starter's condition variable ends with its wait.
          std::lock_guard lock(startMu);
          queue = &q;
          started = true;
          startCv.notify_all();
        }
        q.Run();
        if (timer) q.KillTimer(timer);
        facade.reset();
      });
    } catch (const std::system_error&) {
      return false;
    }
    std::unique_lock lock(startMu);
    startCv.wait(lock, [&] { return started; });
    return true;
  }

  // Runs `f` on the acquisition thread; f returns false on failure with the
  // reason in the last error. Waits at most limitMs.
  nel_result Call(const std::function<bool()>& f, int limitMs = kCallLimitMs) {
    auto state = std::make_shared<CallState>();
    {
      std::lock_guard lock(taskMu);
      tasks.emplace_back([state, f] {
        {
          // A caller that gave up before the call began gets no late start (no pump started behind its back).
          std::lock_guard l(state->mu);
          if (state->phase == CallState::kAbandoned) return;
          state->phase = CallState::kRunning;
        }
        nel::ClearLastError();
        bool ok = false;
        try {
          ok = f();
        } catch (const std::exception&) {
          nel::SetLastError(nel::Result::kNoMemory, "out of memory or resources");
        }
        std::lock_guard l(state->mu);
        if (!ok) {
          const auto code = nel::LastErrorCode();
          state->code = code == nel::Result::kOk ? NEL_E_REFUSED : static_cast<nel_result>(code);
          state->text = nel::LastErrorText();
        }
        state->phase = CallState::kDone;
        state->cv.notify_all();
      });
    }
    queue->Post({nel::platform::kMsgUser, 0, 0});
    std::unique_lock lock(state->mu);
    auto done = [&] { return state->phase == CallState::kDone; };
    if (!state->cv.wait_for(lock, std::chrono::milliseconds(limitMs), done)) {
      if (state->phase == CallState::kQueued) {
        state->phase = CallState::kAbandoned;
        return Fail(NEL_E_TIMEOUT, "the acquisition thread did not begin the call in time; it will not run");
      }
      if (!state->cv.wait_for(lock, std::chrono::milliseconds(kRunningGraceMs), done))
        return Fail(NEL_E_TIMEOUT, "the acquisition thread did not complete the call in time");
    }
    if (state->code != NEL_OK) nel::SetLastError(static_cast<nel::Result>(state->code), state->text);
    return state->code;
  }
};

namespace {

// Handles still open when the process exits (or the library is unloaded) are
// closed then: every pump stops and every valve opens before the port closes.
struct OpenHandles {
  std::mutex mu;
  std::vector<nel_device*> open;
  ~OpenHandles() {
    std::vector<nel_device*> left;
    {
      std::lock_guard lock(mu);
      left.swap(open);
    }
    for (nel_device* d : left) nel_close(d);
  }
  void Add(nel_device* d) {
    std::lock_guard lock(mu);
    open.push_back(d);
  }
  void Remove(nel_device* d) {
    std::lock_guard lock(mu);
    open.erase(std::remove(open.begin(), open.end(), d), open.end());
  }
};

OpenHandles& Handles() {
  static OpenHandles handles;
  return handles;
}

// A void façade call that reports a refusal only through the last error.
bool Checked(const std::function<void()>& f) {
  f();
  return nel::LastErrorCode() == nel::Result::kOk;
}

}  // namespace

namespace {

// Serves the built-in virtual unit behind `port` (1 when 0) for the device.
nel_result StartVirtualUnit(nel_device& d, const nel_open_params& params, double speed, int& port) {
#ifdef NEL_C_HAVE_SIM
  nel::sim::SubjectConfig cfg;
  std::string err;
  if (params.subject && !nel::sim::LoadSubjectFile(params.subject, cfg, &err))
    return Fail(NEL_E_BAD_FILE, ("nel_open: subject file: " + err).c_str());
  if (params.category == DETECT_BRA_TOE) cfg.SetToeLines(true);
  nel::sim::UnitServer::Options o;
  o.speed = speed;
  o.port = port > 0 ? port : 1;
  port = o.port;
  d.sim = std::make_unique<nel::sim::UnitServer>(cfg, o);
  if (!d.sim->Start(&err)) return Fail(NEL_E_NO_MEMORY, ("nel_open: the virtual unit: " + err).c_str());
  return NEL_OK;
#else
  (void)d, (void)params, (void)speed, (void)port;
  return Fail(NEL_E_NO_VIRTUAL_UNIT, "nel_open: this build has no virtual unit");
#endif
}

// What the analysis of a record needs besides the records.
struct AnalysisInput {
  int16_t waveCount = 0;
  tagTYPE_NEL_WAVEDATA kinds[6] = {};
  tagLIMBRESULT limbs[4] = {};
  int32_t count = 0;
  bool ankle = true;
  int32_t height = 170;
  float pwvFactor = 0.0f;
  bool filter = false;
};

// The first bad argument of nel_analyse_record, or null.
const char* AnalysisArgumentError(const int32_t* kinds, int32_t waveCount, const nel_wave_sample* samples,
                                  int32_t count, const nel_limb_bp* limbs, int32_t height,
                                  const nel_analysis_result* result) {
  if (!kinds || !samples || !limbs || !result) return "kinds, samples, limbs or result is NULL";
  if (waveCount < 1 || waveCount > 6) return "wave count outside 1..6";
  bool seen[8] = {};
  for (int32_t i = 0; i < waveCount; ++i) {
    if (kinds[i] < 0 || kinds[i] > 7 || seen[kinds[i]]) return "a wave kind outside 0..7 or given twice";
    seen[kinds[i]] = true;
  }
  if (count < 0) return "count below 0";
  if (height < 50 || height > 250) return "height outside 50..250 cm";
  return nullptr;
}

nel_analysis_result Analyse(const AnalysisInput& in, tagSAVE_WAVEDATA* records) {
  TnelDataAna ana(in.waveCount, in.kinds, records, in.count, kDataAnaSampleRate);
  ana.SetBPData(in.ankle, in.limbs);
  ana.Analysis(in.ankle, in.height, in.pwvFactor, in.filter);
  nel_analysis_result o{};
  o.result = ana.AnaResult;
  o.heart_rate = ana.HeartRate;
  o.right_abi = ana.RightABI;
  o.left_abi = ana.LeftABI;
  o.right_bai = ana.RightBAI;
  o.left_bai = ana.LeftBAI;
  o.right_tbi = ana.RightTBI;
  o.left_tbi = ana.LeftTBI;
  o.right_bti = ana.RightBTI;
  o.left_bti = ana.LeftBTI;
  o.right_pwv = ana.RightPWV;
  o.left_pwv = ana.LeftPWV;
  std::copy(ana.MapPercent, ana.MapPercent + 4, o.map_percent);
  std::copy(ana.UpstrokeTime, ana.UpstrokeTime + 4, o.upstroke_time);
  o.pep = ana.PEP;
  o.et = ana.ET;
  o.aix = ana.AIx;
  o.bad_sample_kind = ana.BadSampleKind;
  o.bad_sample_record = ana.BadSampleRecord;
  return o;
}

}  // namespace

#define NEL_CHECK_DEVICE(d) \
  if (!(d)) return Fail(NEL_E_INVALID_ARGUMENT, (std::string(__func__) + ": device is NULL").c_str())

extern "C" {

uint32_t nel_abi_version(void) { return NEL_C_ABI_VERSION; }

uint32_t nel_library_version(void) { return GetBPVersion(); }

const char* nel_result_text(int32_t code) {
  if (code == NEL_E_NO_VIRTUAL_UNIT) return "this build has no virtual unit";
  return nel::ResultText(static_cast<nel::Result>(code));
}

int32_t nel_last_error_code(void) { return static_cast<int32_t>(nel::LastErrorCode()); }

const char* nel_last_error_text(void) { return nel::LastErrorText(); }

nel_result nel_open_params_init(nel_open_params* params) {
  if (!params) return Fail(NEL_E_INVALID_ARGUMENT, "nel_open_params_init: params is NULL");
  *params = nel_open_params{};
  params->read_coeff = 1;
  params->speed = 1.0;
  return NEL_OK;
}

nel_result nel_open(const nel_open_params* params, nel_device** device) {
  if (!device) return Fail(NEL_E_INVALID_ARGUMENT, "nel_open: device is NULL");
  *device = nullptr;
  if (!params) return Fail(NEL_E_INVALID_ARGUMENT, "nel_open: params is NULL");
  if (params->port < 0 || params->port > 149) return Fail(NEL_E_INVALID_ARGUMENT, "nel_open: port outside 0..149");
  if (params->category < 0 || params->category > 6)
    return Fail(NEL_E_INVALID_ARGUMENT, "nel_open: category outside 0..6");
  const double speed = params->speed == 0.0 ? 1.0 : params->speed;
  if (params->virtual_unit && !(speed >= 0.1 && speed <= 50.0))
    return Fail(NEL_E_INVALID_ARGUMENT, "nel_open: speed outside 0.1..50");

  std::unique_ptr<nel_device> d;
  int port = params->port;
  try {
    d = std::make_unique<nel_device>();
    d->waves.resize(static_cast<size_t>(TnelHardBase::kBlockFrames) * TnelHardBase::kMaxWaves);
    d->pressures.resize(static_cast<size_t>(TnelHardBase::kBlockFrames) * TnelHardBase::kMaxCuffs);
    if (params->virtual_unit) {
      const nel_result r = StartVirtualUnit(*d, *params, speed, port);
      if (r != NEL_OK) return r;
    }
  } catch (const std::bad_alloc&) {
    return Fail(NEL_E_NO_MEMORY, "nel_open: out of memory");
  }

  if (!d->StartThread()) return Fail(NEL_E_NO_MEMORY, "nel_open: cannot start the acquisition thread");
  nel_device* dp = d.get();

  const nel_open_params p = *params;
  const std::string paramPath = params->param_path ? params->param_path : "";
  const nel_result r = d->Call(
      [dp, p, port, paramPath] {
        dp->facade = std::make_unique<TnelHardBase>(0, DATAPROCESS_STANDARD);
        if (!paramPath.empty()) dp->facade->SetParamFilePath(paramPath.c_str());
        dp->facade->SetDetectCategory(static_cast<tagTYPE_DETECTCATEGORY>(p.category));
        if (!dp->facade->OpenHardware(0x80, port)) return false;
        // Passes run from now on: the replies the start of sampling waits for are unpacked by them.
        dp->timer = nel::platform::MessageQueue::Current().SetTimer(kTickMs, [dp] { dp->Pass(); });
        nel::ClearLastError();
        dp->facade->StartADSample(p.read_coeff != 0);
        return nel::LastErrorCode() == nel::Result::kOk;
      },
      kOpenLimitMs);
  if (r != NEL_OK) {
    const std::string text = nel::LastErrorText();
    nel_close(d.release());
    return Fail(r, text.c_str());
  }
  *device = d.release();
  Handles().Add(*device);
  return NEL_OK;
}

nel_result nel_close(nel_device* device) {
  if (!device) return NEL_OK;
  Handles().Remove(device);
  nel_result r = NEL_OK;
  if (device->thread.joinable()) {
    r = device->Call([device] {
      if (device->facade) {
        device->facade->CancelAllProcess();
        device->facade->CloseHardware();
      }
      return true;
    });
    device->queue->PostQuit(0);
    device->thread.join();
  }
#ifdef NEL_C_HAVE_SIM
  if (device->sim) device->sim->Stop();
#endif
  delete device;
  return r;
}

nel_result nel_read_frames(nel_device* device, nel_frame* frames, int32_t capacity, int32_t* count) {
  NEL_CHECK_DEVICE(device);
  if (!count) return Fail(NEL_E_INVALID_ARGUMENT, "nel_read_frames: count is NULL");
  *count = 0;
  if (!frames || capacity < 0) return Fail(NEL_E_INVALID_ARGUMENT, "nel_read_frames: no buffer or capacity below 0");
  *count = static_cast<int32_t>(device->frames.Read(frames, static_cast<size_t>(capacity)));
  return NEL_OK;
}

nel_result nel_wait_frames(nel_device* device, int32_t timeout_ms) {
  NEL_CHECK_DEVICE(device);
  if (timeout_ms < 0 || timeout_ms > kMaxWaitMs)
    return Fail(NEL_E_INVALID_ARGUMENT, "nel_wait_frames: timeout outside 0..600000 ms");
  if (!device->frames.Wait(timeout_ms)) return Fail(NEL_E_TIMEOUT, "nel_wait_frames: no frame arrived in time");
  return NEL_OK;
}

nel_result nel_frames_descriptor(nel_device* device, int32_t* fd) {
  NEL_CHECK_DEVICE(device);
  if (!fd) return Fail(NEL_E_INVALID_ARGUMENT, "nel_frames_descriptor: fd is NULL");
  *fd = device->frames.Descriptor();
  return NEL_OK;
}

nel_result nel_get_status(nel_device* device, nel_status* status) {
  NEL_CHECK_DEVICE(device);
  if (!status) return Fail(NEL_E_INVALID_ARGUMENT, "nel_get_status: status is NULL");
  auto out = std::make_shared<nel_status>();
  const nel_result r = device->Call([device, out] {
    tagHMID_DATA s;
    device->facade->GetStatus(&s);
    out->pulse_rate = s.PulseRate;
    for (int k = 0; k < 6; ++k) {
      const tagHMID_BPRESULT b = s.BPResult[k];
      out->bp[k] = {b.SBP, b.DBP, b.MAP, 0, b.Status};
    }
    out->bp_end = s.BPMeasureEnd;
    out->signal_check_end = s.SignalCheckEnd;
    out->hold_end = s.FixPressureEnd;
    out->record_end = s.WaveRecordEnd;
    out->cvrr_end = s.CVRRCheckEnd;
    out->exercise_end = s.ExerciseEnd;
    out->device_lost = device->facade->DeviceLost();
    out->dropped_bytes = static_cast<uint64_t>(device->facade->GetHardCtl()->GetSamThread()->Protocol().DroppedBytes());
    out->exercise_stage = s.ExerciseStage;
    out->frames = device->frames.Taken();
    out->dropped_frames = device->frames.Dropped();
    return true;
  });
  if (r == NEL_OK) *status = *out;
  return r;
}

nel_result nel_get_layout(nel_device* device, nel_layout* layout) {
  NEL_CHECK_DEVICE(device);
  if (!layout) return Fail(NEL_E_INVALID_ARGUMENT, "nel_get_layout: layout is NULL");
  auto out = std::make_shared<nel_layout>();
  const nel_result r = device->Call([device, out] {
    const auto& l = device->facade->Layout();
    out->wave_count = l.waveCount;
    out->cuff_count = l.cuffCount;
    for (int w = 0; w < 8; ++w) out->waves[w] = w < l.waveCount ? l.waves[w] : -1;
    for (int k = 0; k < 6; ++k) out->cuffs[k] = k < l.cuffCount ? l.cuffs[k] : -1;
    return true;
  });
  if (r == NEL_OK) *layout = *out;
  return r;
}

nel_result nel_get_safety_report(nel_device* device, nel_safety_report* report) {
  NEL_CHECK_DEVICE(device);
  if (!report) return Fail(NEL_E_INVALID_ARGUMENT, "nel_get_safety_report: report is NULL");
  auto out = std::make_shared<tagSAFETY_REPORT>();
  const nel_result r = device->Call([device, out] {
    *out = device->facade->GetSafetyReport();
    return true;
  });
  if (r == NEL_OK) std::memcpy(report, out.get(), sizeof *report);
  return r;
}

nel_result nel_bp_start(nel_device* device, int32_t mode, int32_t max_pressure, const uint8_t selected[6],
                        int32_t pulse_rate) {
  NEL_CHECK_DEVICE(device);
  if (!selected) return Fail(NEL_E_INVALID_ARGUMENT, "nel_bp_start: selected is NULL");
  if (mode < 0 || mode > 2) return Fail(NEL_E_INVALID_ARGUMENT, "nel_bp_start: mode outside 0..2");
  if (pulse_rate < 0 || pulse_rate > 300)
    return Fail(NEL_E_INVALID_ARGUMENT, "nel_bp_start: pulse rate outside 0..300");
  bool sel[6];
  for (int k = 0; k < 6; ++k) sel[k] = selected[k] != 0;
  return device->Call([device, mode, max_pressure, sel, pulse_rate]() mutable {
    return device->facade->BPMeasure_Start(static_cast<tagTYPE_BPMEASUREMODE>(mode), max_pressure, sel,
                                           static_cast<short>(pulse_rate));
  });
}

nel_result nel_bp_cancel(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return Checked([device] { device->facade->BPMeasure_Cancel(); }); });
}

nel_result nel_hold_start(nel_device* device, int32_t pressure) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device, pressure] { return Checked([&] { device->facade->FixPressure_Start(pressure); }); });
}

nel_result nel_hold_cancel(nel_device* device, int32_t deflate) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device, deflate] { return Checked([&] { device->facade->FixPressure_Cancel(deflate != 0); }); });
}

nel_result nel_record_start(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return device->facade->WaveRecord_Start(); });
}

nel_result nel_record_read(nel_device* device, nel_wave_sample* samples, int32_t capacity, int32_t* count) {
  NEL_CHECK_DEVICE(device);
  if (!count) return Fail(NEL_E_INVALID_ARGUMENT, "nel_record_read: count is NULL");
  *count = 0;
  if (!samples || capacity < 0) return Fail(NEL_E_INVALID_ARGUMENT, "nel_record_read: no buffer or capacity below 0");
  auto out = std::make_shared<std::vector<nel_wave_sample>>();
  const nel_result r = device->Call([device, out, capacity] {
    int n = 0;
    const tagSAVE_WAVEDATA* rec = device->facade->WaveRecord_DataAssign(&n);
    n = std::min(n, capacity);
    out->resize(static_cast<size_t>(std::max(n, 0)));
    if (rec && n > 0) std::memcpy(out->data(), rec, static_cast<size_t>(n) * sizeof(nel_wave_sample));
    return true;
  });
  if (r != NEL_OK) return r;
  if (!out->empty()) std::memcpy(samples, out->data(), out->size() * sizeof(nel_wave_sample));
  *count = static_cast<int32_t>(out->size());
  return NEL_OK;
}

nel_result nel_record_cancel(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return Checked([device] { device->facade->WaveRecord_Cancel(); }); });
}

nel_result nel_signal_check_start(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return Checked([device] { device->facade->SignalCheck_Start(); }); });
}

nel_result nel_signal_check_cancel(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return Checked([device] { device->facade->SignalCheck_Cancel(); }); });
}

nel_result nel_signal_check_get_result(nel_device* device, int32_t base[8], int32_t datum[8]) {
  NEL_CHECK_DEVICE(device);
  if (!base || !datum) return Fail(NEL_E_INVALID_ARGUMENT, "nel_signal_check_get_result: base or datum is NULL");
  auto out = std::make_shared<std::array<int, 16>>();
  const nel_result r = device->Call([device, out] {
    device->facade->SignalCheck_GetADBaseDatum(out->data(), out->data() + 8);
    return true;
  });
  if (r != NEL_OK) return r;
  std::copy(out->begin(), out->begin() + 8, base);
  std::copy(out->begin() + 8, out->end(), datum);
  return NEL_OK;
}

nel_result nel_cvrr_start(nel_device* device, int32_t length) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device, length] { return Checked([&] { device->facade->CVRRCheck_Start(length); }); });
}

nel_result nel_cvrr_get_progress(nel_device* device, int32_t* saved) {
  NEL_CHECK_DEVICE(device);
  if (!saved) return Fail(NEL_E_INVALID_ARGUMENT, "nel_cvrr_get_progress: saved is NULL");
  auto out = std::make_shared<int32_t>(0);
  const nel_result r = device->Call([device, out] {
    *out = device->facade->CVRRCheck_GetCurrSavedDataLen();
    return true;
  });
  if (r == NEL_OK) *saved = *out;
  return r;
}

nel_result nel_cvrr_get_result(nel_device* device, nel_cvrr_result* result, uint32_t* conclusion) {
  NEL_CHECK_DEVICE(device);
  if (!result) return Fail(NEL_E_INVALID_ARGUMENT, "nel_cvrr_get_result: result is NULL");
  struct Out {
    tagCVRR_ANA_RESULT r;
    uint32_t conclusion;
  };
  auto out = std::make_shared<Out>();
  const nel_result r = device->Call([device, out] {
    tagHMID_DATA s;
    device->facade->GetStatus(&s);
    if (!s.CVRRCheckEnd || !device->facade->CVRRCheck_GetResult(&out->r)) {
      nel::SetLastError(nel::Result::kRefused, "nel_cvrr_get_result: no CVRR check has ended with a result");
      return false;
    }
    out->conclusion = device->facade->CVRRCheck_GetConclusion();
    return true;
  });
  if (r != NEL_OK) return r;
  std::memcpy(result, &out->r, sizeof *result);
  if (conclusion) *conclusion = out->conclusion;
  return NEL_OK;
}

nel_result nel_cvrr_cancel(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return Checked([device] { device->facade->CVRRCheck_Cancel(); }); });
}

nel_result nel_exercise_start(nel_device* device, const nel_exercise_config* config) {
  NEL_CHECK_DEVICE(device);
  if (!config) return Fail(NEL_E_INVALID_ARGUMENT, "nel_exercise_start: config is NULL");
  tagExerciseStressConfig cfg;
  std::memcpy(&cfg, config, sizeof cfg);
  return device->Call([device, cfg] { return Checked([&] { device->facade->ExerciseStress_Start(cfg); }); });
}

nel_result nel_exercise_get_progress(nel_device* device, int32_t* check_no, int32_t* next_seconds) {
  NEL_CHECK_DEVICE(device);
  auto out = std::make_shared<std::array<int32_t, 2>>();
  const nel_result r = device->Call([device, out] {
    (*out)[0] = device->facade->ExerciseStress_GetCurrChkNo();
    (*out)[1] = device->facade->ExerciseStress_GetNextProcElapseSeconds();
    return true;
  });
  if (r != NEL_OK) return r;
  if (check_no) *check_no = (*out)[0];
  if (next_seconds) *next_seconds = (*out)[1];
  return NEL_OK;
}

nel_result nel_exercise_get_record(nel_device* device, nel_exercise_record* record) {
  NEL_CHECK_DEVICE(device);
  if (!record) return Fail(NEL_E_INVALID_ARGUMENT, "nel_exercise_get_record: record is NULL");
  auto out = std::make_shared<tagExerciseStressRec>();
  const nel_result r = device->Call([device, out] { return device->facade->ExerciseStress_GetResult(out.get()); });
  if (r == NEL_OK) std::memcpy(record, out.get(), sizeof *record);
  return r;
}

nel_result nel_exercise_cancel(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] { return Checked([device] { device->facade->ExerciseStress_Cancel(); }); });
}

nel_result nel_analyse_record(nel_device* device, const int32_t* kinds, int32_t wave_count, nel_wave_sample* samples,
                              int32_t count, const nel_limb_bp limbs[4], int32_t ankle_mode, int32_t height_cm,
                              float pwv_factor, int32_t filter, nel_analysis_result* result) {
  if (const char* why = AnalysisArgumentError(kinds, wave_count, samples, count, limbs, height_cm, result))
    return Fail(NEL_E_INVALID_ARGUMENT, (std::string("nel_analyse_record: ") + why).c_str());
  AnalysisInput in;
  in.waveCount = static_cast<int16_t>(wave_count);
  for (int32_t i = 0; i < wave_count; ++i) in.kinds[i] = static_cast<tagTYPE_NEL_WAVEDATA>(kinds[i]);
  std::memcpy(in.limbs, limbs, sizeof in.limbs);
  in.count = count;
  in.ankle = ankle_mode != 0;
  in.height = height_cm;
  in.pwvFactor = pwv_factor;
  in.filter = filter != 0;
  auto out = std::make_shared<nel_analysis_result>();
  if (!device) {
    // On the caller's thread, in place; no device may open meanwhile (the beat detector is shared).
    std::lock_guard lock(Handles().mu);
    if (!Handles().open.empty())
      return Fail(NEL_E_REFUSED, "nel_analyse_record: a device is acquiring; pass its handle");
    try {
      *result = Analyse(in, reinterpret_cast<tagSAVE_WAVEDATA*>(samples));
    } catch (const std::exception&) {
      return Fail(NEL_E_NO_MEMORY, "nel_analyse_record: out of memory");
    }
    return NEL_OK;
  }
  // On the device's thread, between two passes, over a copy.
  std::shared_ptr<std::vector<tagSAVE_WAVEDATA>> copy;
  try {
    copy = std::make_shared<std::vector<tagSAVE_WAVEDATA>>(static_cast<size_t>(count));
  } catch (const std::exception&) {
    return Fail(NEL_E_NO_MEMORY, "nel_analyse_record: out of memory");
  }
  const size_t bytes = static_cast<size_t>(count) * sizeof(nel_wave_sample);
  if (count > 0) std::memcpy(copy->data(), samples, bytes);
  const nel_result r = device->Call(
      [copy, in, out] {
        *out = Analyse(in, copy->data());
        return true;
      },
      kOpenLimitMs);
  if (r != NEL_OK) return r;
  if (count > 0) std::memcpy(samples, copy->data(), bytes);
  *result = *out;
  return NEL_OK;
}

nel_result nel_cancel_all(nel_device* device) {
  NEL_CHECK_DEVICE(device);
  return device->Call([device] {
    device->facade->CancelAllProcess();
    return true;
  });
}

}  // extern "C"
