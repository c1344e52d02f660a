// nelctl exam --replay: a recorded session served back by a replaying unit
// in this process (port 1) and re-run through the library pass for pass.
//
// The link is the host's side of the lockstep: it is the port's stream tap
// (every event also goes to the new session's recorder) and its take gate:
// before each pass it waits until the bytes the recorded pass took have
// arrived, and after it tells the unit, which then sends what came next.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <nel/link/serial_port.h>
#include <nel/link/stream_log.h>

namespace nelctl {

class ReplayLink {
 public:
  // Loads SESSION/stream.nelraw (or a stream file) and starts the unit on
  // port 1; `speed` 0: as fast as the host goes. Throws Failure.
  ReplayLink(const std::string& sessionOrStream, double speed);
  ~ReplayLink();
  ReplayLink(const ReplayLink&) = delete;
  ReplayLink& operator=(const ReplayLink&) = delete;

  // Becomes `port`'s tap and gate; events also go to `capture` when set.
  void Attach(TSerialPort& port, nel::link::StreamRecorder* capture);
  void Detach();

  long Passes() const { return passes_.load(); }
  // After a pass that found nothing: true when, in the recording, the host
  // made its next pass without writing to the unit or clearing its ring in
  // between, so that the next pass may follow at once (no tick to wait for).
  bool NextPassFollows() const;
  long RecordedPasses() const { return static_cast<long>(takes_.size()); }
  // Passes that took other bytes than the recorded ones, and gate waits that gave up.
  long DifferentPasses() const { return different_.load(); }
  long Stalls() const { return stalls_.load(); }
  size_t WritesDifferent() const;
  size_t WritesMatched() const;

 private:
  struct Take {
    int64_t position;
    int32_t taken;
  };
  static void Tap(TSerialPort::StreamEvent event, const unsigned char* bytes, int n, int64_t position, void* self);
  static int32_t Gate(void* self);

  class Server;
  std::unique_ptr<Server> server_;
  std::vector<Take> takes_;
  std::vector<bool> quietAfter_;  // per recorded pass: only received bytes until the next pass
  std::vector<int64_t> ahead_;    // per recorded pass: the ring position the gate waits for (see Gate)
  TSerialPort* port_ = nullptr;
  nel::link::StreamRecorder* capture_ = nullptr;
  std::atomic<long> passes_{0}, different_{0}, stalls_{0};
  long clears_ = 0;  // ring clears the host made (its thread only)
  // The gate's wait for a position the reader has not stored yet: woken by the tap once it has.
  std::mutex gateMu_;
  std::condition_variable gateStored_;
  std::atomic<int64_t> gateWant_{INT64_MAX};
};

}  // namespace nelctl
