#include "host_loop.h"

#include <csignal>

#include <nel/platform/port_names.h>

namespace nelctl {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) { g_interrupted = 1; }

}  // namespace

std::string DescribePort(int port) {
  return nel::platform::PortName(port) + " (" + nel::platform::PortDevicePath(port) + ")";
}

HostLoop::HostLoop(TnelHardCtl& ctl, FrameSink sink, bool fastDrain)
    : ctl_(ctl), sink_(std::move(sink)), fast_(fastDrain) {
  Arm();
}

HostLoop::~HostLoop() {
  if (timer_) nel::platform::MessageQueue::Current().KillTimer(timer_);
}

void HostLoop::Arm() {
  auto& queue = nel::platform::MessageQueue::Current();
  if (timer_) queue.KillTimer(timer_);
  timer_ = queue.SetTimer(fast_ ? kFastPeriodMs : kPeriodMs, [this] { Drain(); });
}

void HostLoop::SetFastDrain(bool on) {
  if (on == fast_) return;
  fast_ = on;
  Arm();
}

int HostLoop::Drain() {
  int total = 0;
  const int passes = fast_ ? kMaxFastPasses : 1;
  for (int i = 0; i < passes; ++i) {
    const int n = ctl_.ReadOnceData(buffer_);
    if (n <= 0) break;
    total += n;
    if (sink_) sink_(buffer_, n);
  }
  frames_ += total;
  return total;
}

HostLoop::End HostLoop::Run(int durationMs, const std::function<void()>& everySecond) {
  auto& queue = nel::platform::MessageQueue::Current();
  g_interrupted = 0;
  auto oldInt = std::signal(SIGINT, OnSignal);
  auto oldTerm = std::signal(SIGTERM, OnSignal);
  End end = End::kTime;
  const int watch = queue.SetTimer(20, [&] {
    if (g_interrupted) {
      end = End::kInterrupted;
      queue.PostQuit(0);
    } else if (ctl_.GetSamThread()->Protocol().DeviceLost()) {
      end = End::kDeviceLost;
      queue.PostQuit(0);
    }
  });
  const int second = queue.SetTimer(1000, [&] {
    if (everySecond) everySecond();
  });
  const int stop = durationMs >= 0 ? queue.SetTimer(durationMs, [&] { queue.PostQuit(0); }) : 0;
  queue.Run();
  queue.KillTimer(watch);
  queue.KillTimer(second);
  if (stop) queue.KillTimer(stop);
  std::signal(SIGINT, oldInt);
  std::signal(SIGTERM, oldTerm);
  return end;
}

}  // namespace nelctl
