#include "stepped_rig.h"

#include <chrono>
#include <cstring>
#include <thread>

#include <nel/platform/message_queue.h>

namespace nel::sim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWholeStepWaitMs = 2000;  // SteppedFacadeOptions::whole_step_passes
constexpr int kWholeStepPollUs = 30;

}  // namespace

SubjectConfig QuietSubject() {
  SubjectConfig s;
  s.rhythm.clear();
  return s;
}

SubjectConfig SiteSubject(int site, double sbp, double dbp, double heartRateBpm, uint64_t seed) {
  SubjectConfig s;
  s.seed = seed;
  s.heart_rate_bpm = heartRateBpm;
  s.site[site].sbp = sbp;
  s.site[site].dbp = dbp;
  return s;
}

tagExerciseStressConfig PausedExercise(int16_t checks, int32_t pauseSeconds) {
  tagExerciseStressConfig cfg{};
  cfg.CheckCount = checks;
  cfg.TimingMode = 1;
  cfg.PauseSeconds = pauseSeconds;
  cfg.BPMeasureMode = BPMEASURE_SIMULTANEOUS;
  cfg.MaxPressure = 250;
  return cfg;
}

UnitServer::Options SteppedOptions(int port) {
  UnitServer::Options o;
  o.clock = UnitServer::Clock::kStepped;
  o.port = port;
  return o;
}

RunEnd RunSteps(UnitServer& server, long frames, const StepWaits& waits, const StepHandler& handler) {
  for (long done = 0; done < frames;) {
    const int step = static_cast<int>(std::min<long>(kStepFrames, frames - done));
    if (!server.Advance(step)) return RunEnd::kNotSent;
    if (handler.stepped) handler.stepped(step);
    const auto deadline = Clock::now() + std::chrono::milliseconds(waits.frame_wait_ms);
    for (int got = 0; got < step;) {
      const int n = handler.take();
      got += n;
      if (handler.until && handler.until()) return RunEnd::kHeld;
      if (got >= step || n > 0) continue;
      if (Clock::now() > deadline) return RunEnd::kLate;
      std::this_thread::sleep_for(std::chrono::microseconds(waits.poll_us));
    }
    done += step;
    if (handler.until && handler.until()) return RunEnd::kHeld;
  }
  return RunEnd::kRanOut;
}

void WithReplyPump(const std::function<void()>& pass, const std::function<void()>& command) {
  auto& queue = platform::MessageQueue::Current();
  const int timer = queue.SetTimer(1, pass);
  command();
  queue.KillTimer(timer);
}

// --- SteppedFacade ------------------------------------------------------------

SteppedFacade::SteppedFacade(const SubjectConfig& subject, SteppedFacadeOptions options)
    : server(subject, SteppedOptions(1)), hb(0, DATAPROCESS_STANDARD), options_(options) {
  started = server.Start(&error);
  hb.SetSilenceLimitMs(options_.silence_limit_ms);
}

SteppedFacade::~SteppedFacade() {
  hb.CloseHardware();
  server.Stop();
}

bool SteppedFacade::Open(bool readCoeff) {
  if (!started || !hb.OpenHardware(0x80)) return false;
  WithReplyPump([this] { DrainAll(); }, [&] { hb.StartADSample(readCoeff); });
  return true;
}

int SteppedFacade::DrainAll() {
  int total = 0;
  while (hb.CheckData()) {
    const int n = hb.GetData(static_cast<int*>(nullptr));
    total += n;
    taken += n;
    ++passes;
    if (on_pass) on_pass(n);
  }
  return total;
}

RunEnd SteppedFacade::RunWith(long frames, const std::function<int()>& take, const std::function<bool()>& until) {
  StepHandler handler;
  handler.stepped = [this](int step) {
    advanced += step;
    if (options_.whole_step_passes) WaitForStep(step);
  };
  handler.take = take;
  handler.until = until;
  return RunSteps(server, frames, waits, handler);
}

bool SteppedFacade::Run(long frames, const std::function<bool()>& until) {
  return Delivered(RunWith(
      frames, [this] { return DrainAll(); }, until));
}

RunEnd SteppedFacade::RunUntil(double maxSeconds, const std::function<bool()>& until) {
  return RunWith(
      static_cast<long>(maxSeconds * 1000), [this] { return DrainAll(); }, until);
}

bool SteppedFacade::Settle() {
  const nlohmann::json t = server.GroundTruth();
  const long sent = t["frame"].get<long>() - t["stream_start_frame"].get<long>();
  const auto deadline = Clock::now() + std::chrono::milliseconds(waits.frame_wait_ms);
  for (;;) {
    DrainAll();
    if (taken >= advanced) break;
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(waits.poll_us));
  }
  return taken == sent && sent == advanced;
}

tagHMID_DATA SteppedFacade::Status() const {
  tagHMID_DATA s{};
  hb.GetStatus(&s);
  return s;
}

void SteppedFacade::WaitForStep(int frames) {
  TnelHardCtl* ctl = hb.GetHardCtl();
  TSamThread* sam = ctl ? ctl->GetSamThread() : nullptr;
  if (!sam) return;
  const auto deadline = Clock::now() + std::chrono::milliseconds(kWholeStepWaitMs);
  int32_t last = -1;
  for (;;) {
    const int32_t count = sam->Protocol().RingCount();
    if (count >= frames * QXProtocol::kDataRawBytes && count == last) return;
    if (Clock::now() > deadline) return;
    last = count;
    std::this_thread::sleep_for(std::chrono::microseconds(kWholeStepPollUs));
  }
}

// --- SteppedLink --------------------------------------------------------------

SteppedLink::SteppedLink(const SubjectConfig& subject, const UnitServer::Options& unit) : server(subject, unit) {
  started = server.Start(&error);
}

SteppedLink::~SteppedLink() {
  ctl.CloseCom();
  server.Stop();
}

bool SteppedLink::Open() {
  if (!started) return false;
  if (!ctl.SetComPortNo(server.Port())) {
    error = "cannot open the virtual unit's port " + std::to_string(server.Port());
    return false;
  }
  Pumped([this] { ctl.StartADSample(true); });
  return true;
}

void SteppedLink::Pumped(const std::function<void()>& command) {
  WithReplyPump(
      [this] {
        tagSAM_DATA frames[TSamThread::kMaxFramesPerCall];
        ctl.ReadOnceData(frames);
      },
      command);
}

RunEnd SteppedLink::Feed(long frames, const std::function<bool(const tagSAM_DATA&)>& each) {
  tagSAM_DATA got[TSamThread::kMaxFramesPerCall];
  bool stopped = false;
  StepHandler handler;
  handler.take = [&] {
    const int n = ctl.ReadOnceData(got);
    taken += n;
    for (int i = 0; i < n && !stopped; ++i) {
      last = got[i];
      stopped = each && !each(got[i]);
    }
    return n;
  };
  handler.until = [&] { return stopped; };
  return RunSteps(server, frames, waits, handler);
}

// --- A façade fed in this process ---------------------------------------------

void UseCoefficients(TnelHardBase& hb, const tagAD_FORCE_CONVERT* set) {
  tagAD_FORCE_CONVERT copy[TnelHardBase::kMaxCuffs];
  std::memcpy(copy, set, sizeof copy);
  hb.GetHardCtl()->GetSamThread()->SetAD2ForceCoeff(copy);
  std::memcpy(hb.GetHardCtl()->ADForceCoeff, copy, sizeof copy);
}

namespace {
void ToUnit(const unsigned char* bytes, int n, void* unit) {
  static_cast<VirtualUnit*>(unit)->Receive(bytes, static_cast<size_t>(n));
}
}  // namespace

InProcessFacade::InProcessFacade(const SubjectConfig& subject) : unit(subject), hb(0, DATAPROCESS_STANDARD) {
  opened = hb.GetHardCtl() && hb.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(ToUnit, &unit);
  const uint8_t begin = 0x82;  // sample
  unit.Receive(&begin, 1);
  if (opened) UseCoefficients(hb, unit.ActiveCoefficients());
}

bool InProcessFacade::Run(double seconds, const std::function<bool()>& until, bool heard) {
  for (long f = 0; f < static_cast<long>(seconds * 1000); f += kStepFrames) {
    unit.Advance(kStepFrames);
    const size_t n = unit.Output().size();
    if (heard && take)
      take(unit.Output().data(), n);
    else if (heard)
      FeedAndDrain(hb, unit.Output().data(), n, [] {});
    unit.ConsumeOutput(n);
    if (until && until()) return true;
  }
  return false;
}

tagHMID_DATA InProcessFacade::Status() const {
  tagHMID_DATA s{};
  hb.GetStatus(&s);
  return s;
}

}  // namespace nel::sim
