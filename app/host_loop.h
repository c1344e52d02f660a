// The host side of the library, driven the way a host must drive it: the
// thread's message queue with a periodic timer that drains the sample stream.
// Commands that wait for the unit's reply keep this queue alive, so the timer
// also unpacks their replies.
#pragma once

#include <functional>
#include <string>

#include <nel/nel.h>
#include <nel/platform/message_queue.h>

namespace nelctl {

class HostLoop {
 public:
  // Receives every batch of frames a pass produced.
  using FrameSink = std::function<void(const tagSAM_DATA* frames, int count)>;
  static constexpr int kPeriodMs = 10;     // one pass per tick, like a host's CheckData timer
  static constexpr int kFastPeriodMs = 1;  // fast drain: passes back to back until the ring is empty
  static constexpr int kMaxFastPasses = 4096;

  enum class End { kTime, kInterrupted, kDeviceLost };

  // Starts draining `ctl` at once (before sampling starts, so that replies are unpacked).
  HostLoop(TnelHardCtl& ctl, FrameSink sink, bool fastDrain = false);
  ~HostLoop();
  HostLoop(const HostLoop&) = delete;
  HostLoop& operator=(const HostLoop&) = delete;

  // Fast drain: each tick (every millisecond) runs passes until a pass yields
  // nothing, so a unit streaming faster than real time is kept up with.
  void SetFastDrain(bool on);
  // One tick's work; returns the frames it produced.
  int Drain();
  // Runs the queue for durationMs (< 0: until interrupted), calling `everySecond`
  // once a second. Ends early on SIGINT/SIGTERM or when the device goes away.
  End Run(int durationMs, const std::function<void()>& everySecond);

  long long Frames() const { return frames_; }

 private:
  void Arm();

  TnelHardCtl& ctl_;
  FrameSink sink_;
  bool fast_ = false;
  int timer_ = 0;
  long long frames_ = 0;
  tagSAM_DATA buffer_[TSamThread::kMaxFramesPerCall];
};

// "COMn (device path)" for messages.
std::string DescribePort(int port);

}  // namespace nelctl
