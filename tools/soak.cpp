// A long run of one façade on the virtual unit: signal check, four-cuff BP,
// a hold at 60 mmHg and a 15 s wave record, over and over, the unit on a
// pseudo-terminal at SPEED times real time and the façade driven as a host
// drives it (passes back to back every millisecond), for SECONDS of wall time.
//
// Every minute (and at the end) it prints the process's resident memory,
// descriptors and threads, the cycles done, and the frames lost: packets the
// unit could not put on the line (nobody read them) plus frames' worth of
// bytes that arrived while the receive ring was full.
//
//   soak [SECONDS] [SPEED]     (defaults 3600 and 20)
//
// Exit status 0 when every cycle completed, no frame was lost, and memory,
// descriptors and threads at the end are what they were after the first
// cycle (memory within 1 MiB); otherwise 1, with the reason.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <nel/bp/bp_records.h>
#include <nel/control/hard_base.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/records.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include "sim/subject_config.h"
#include "sim/unit_server.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kUnitPort = 1;
constexpr int kFrameBytes = 19;  // one "data raw" frame on the line

long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

int CountEntries(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return -1;
  int n = 0;
  while (const dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n - (std::strcmp(dir, "/proc/self/fd") == 0 ? 1 : 0);  // the listing's own descriptor
}

struct Figures {
  long rssKiB = 0;
  int fds = 0, threads = 0;
};

Figures Take() { return {ResidentKiB(), CountEntries("/proc/self/fd"), CountEntries("/proc/self/task")}; }

class Soak {
 public:
  Soak(TnelHardBase& hb, nel::sim::UnitServer& unit) : hb_(hb), unit_(unit) {
    waves_.resize(static_cast<size_t>(TSamThread::kMaxFramesPerCall) * TnelHardBase::kMaxWaves);
    pressures_.resize(static_cast<size_t>(TSamThread::kMaxFramesPerCall) * TnelHardBase::kMaxCuffs);
  }

  // Runs passes until `done` holds, at most `limit` of wall time; false on a
  // time-out or a lost unit.
  void Drain() {
    while (hb_.CheckData()) frames_ += hb_.GetData(waves_.data(), pressures_.data(), &status_);
  }

  bool RunUntil(const std::function<bool(const tagHMID_DATA&)>& done, std::chrono::seconds limit) {
    const auto end = Clock::now() + limit;
    while (Clock::now() < end) {
      Drain();
      hb_.GetStatus(&status_);  // the flags as of now, whether or not frames came
      if (hb_.DeviceLost()) return false;
      if (done(status_)) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
  }

  // One cycle; the name of the step that failed, or null.
  const char* Cycle() {
    hb_.SignalCheck_Start();
    if (!RunUntil([](const tagHMID_DATA& s) { return s.SignalCheckEnd; }, std::chrono::seconds(30)))
      return "signal check";
    hb_.SignalCheck_Cancel();
    bool sel[6] = {true, true, true, true, false, false};
    if (!hb_.BPMeasure_Start(BPMEASURE_SIMULTANEOUS, 200, sel, 70)) return "BP start";
    if (!RunUntil([](const tagHMID_DATA& s) { return s.BPMeasureEnd; }, std::chrono::seconds(60))) return "BP";
    tagHMID_DATA s{};
    hb_.GetStatus(&s);
    for (int k = 0; k < 4; ++k) {
      const int st = s.BPResult[k].Status;
      if (st != BPVSTA_OK) return "BP result";
    }
    hb_.BPMeasure_Cancel();
    hb_.FixPressure_Start(60);
    if (!RunUntil([](const tagHMID_DATA& st) { return st.FixPressureEnd; }, std::chrono::seconds(30))) return "hold";
    hb_.FixPressure_Cancel(false);
    if (!hb_.WaveRecord_Start()) return "record start";
    if (!RunUntil([](const tagHMID_DATA& st) { return st.WaveRecordEnd; }, std::chrono::seconds(30))) return "record";
    hb_.CancelAllProcess();  // deflates
    return nullptr;
  }

  int64_t Frames() const { return frames_; }
  int64_t LostFrames() {
    const int64_t dropped = unit_.WithUnit([](nel::sim::VirtualUnit& u) { return u.Stats().packets_dropped; });
    return dropped + hb_.GetHardCtl()->GetSamThread()->Protocol().DroppedBytes() / kFrameBytes;
  }

 private:
  TnelHardBase& hb_;
  nel::sim::UnitServer& unit_;
  std::vector<float> waves_, pressures_;
  tagHMID_DATA status_{};
  int64_t frames_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3600.0;
  const double speed = argc > 2 ? std::atof(argv[2]) : 20.0;
  if (!(seconds > 0.0 && seconds <= 86400.0) || !(speed >= 1.0 && speed <= 100.0)) {
    std::fprintf(stderr, "usage: soak [SECONDS] [SPEED]  (0 < SECONDS <= 86400, 1 <= SPEED <= 100)\n");
    return 2;
  }
  nel::sim::UnitServer::Options opt;
  opt.speed = speed;
  opt.port = kUnitPort;
  nel::sim::UnitServer unit(nel::sim::SubjectConfig{}, opt);
  std::string error;
  if (!unit.Start(&error)) {
    std::fprintf(stderr, "soak: the virtual unit did not start: %s\n", error.c_str());
    return 1;
  }
  const Figures atStart = Take();
  int failures = 0;
  int64_t cycles = 0;
  {
    TnelHardBase hb(0, DATAPROCESS_STANDARD);
    hb.SetDetectCategory(DETECT_ALL);
    if (!hb.OpenHardware(0x80, kUnitPort)) {
      std::fprintf(stderr, "soak: no unit on port %d: %s\n", kUnitPort, nel::LastErrorText());
      return 1;
    }
    Soak soak(hb, unit);
    // Passes run from the thread's queue while StartADSample waits, so that
    // the unit's coefficient reply is unpacked.
    auto& queue = nel::platform::MessageQueue::Current();
    const int timer = queue.SetTimer(1, [&] { soak.Drain(); });
    hb.StartADSample(true);
    queue.KillTimer(timer);
    // The default subject's unit holds no set of its own (the built-in one
    // is then the right one); anything else means the reply went unread.
    if (const auto source = hb.GetHardCtl()->CoeffSource();
        source != nel::link::CoeffSource::kUnit && source != nel::link::CoeffSource::kBuiltInNoneStored) {
      std::fprintf(stderr, "soak: the unit's coefficient set was not read: %s\n", nel::LastErrorText());
      return 1;
    }
    Figures afterFirst{};
    const auto begin = Clock::now();
    const auto end = begin + std::chrono::duration<double>(seconds);
    auto nextReport = begin;
    std::printf("%8s %7s %10s %9s %4s %7s %6s\n", "wall_s", "cycles", "frames", "rss_KiB", "fds", "threads", "lost");
    auto report = [&] {
      const Figures f = Take();
      std::printf("%8.0f %7lld %10lld %9ld %4d %7d %6lld\n",
                  std::chrono::duration<double>(Clock::now() - begin).count(), static_cast<long long>(cycles),
                  static_cast<long long>(soak.Frames()), f.rssKiB, f.fds, f.threads,
                  static_cast<long long>(soak.LostFrames()));
      std::fflush(stdout);
      return f;
    };
    while (Clock::now() < end) {
      if (const char* failed = soak.Cycle()) {
        ++failures;
        std::printf("cycle %lld failed at: %s\n", static_cast<long long>(cycles + 1), failed);
        hb.CancelAllProcess();
        if (failures > 3) break;
      }
      ++cycles;
      if (cycles == 1) afterFirst = Take();
      if (Clock::now() >= nextReport) {
        report();
        nextReport += std::chrono::seconds(60);
      }
    }
    const Figures last = report();
    const double virtualSeconds = static_cast<double>(soak.Frames()) / 1000.0;
    std::printf("start: rss %ld KiB, %d fds, %d threads; after the first cycle: rss %ld KiB, %d fds, %d threads\n",
                atStart.rssKiB, atStart.fds, atStart.threads, afterFirst.rssKiB, afterFirst.fds, afterFirst.threads);
    std::printf("%lld cycles, %.0f s of the unit's data, %lld frames lost, %d failed cycles\n",
                static_cast<long long>(cycles), virtualSeconds, static_cast<long long>(soak.LostFrames()), failures);
    const bool stable =
        last.fds == afterFirst.fds && last.threads == afterFirst.threads && last.rssKiB - afterFirst.rssKiB <= 1024;
    if (!stable) std::printf("not stable: memory, descriptors or threads grew after the first cycle\n");
    if (failures > 0 || soak.LostFrames() > 0 || !stable) return 1;
  }
  unit.Stop();
  return 0;
}
