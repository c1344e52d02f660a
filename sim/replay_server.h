// A unit that serves a recorded session back on a pseudo-terminal: the bytes
// the host received, in their order, each write of the host awaited and
// compared with the recorded one (a unit answering as it answered then).
//
// The session's stream log (a host's record of its port: bytes received into
// its ring 'U' or read directly 'D', bytes written 'H', passes 'T', ring
// clears 'C') is read here with the unit's own reader. Bytes that the host's
// ring cleared before any pass took them are not sent.
//
// Pacing: with `speed` above 0 each received chunk goes out at its recorded
// time divided by `speed`; with 0, as fast as the line takes it. Without the
// lockstep a recorded write is awaited, once the recorded host streams, for
// 0.2 s at most, so that a
// host that went another way still gets the stream (a playback unit). In lockstep
// (a host in this process that reports its passes with HostTook) a chunk
// goes out only once the host has made every pass that, in the recording,
// came before the chunk arrived (less `lead_passes`, for a host whose passes
// take no more than the recorded ones did) and every ring clear before it,
// so that each pass finds what it found then.
#pragma once

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace nel::sim {

struct ReplayEvent {
  uint64_t micros = 0;
  char kind = 0;  // 'U', 'D', 'H', 'T', 'C'
  int64_t position = 0;
  int32_t taken = 0;  // 'T': bytes the pass took
  std::vector<uint8_t> bytes;
};

// Reads a stream log; false with the reason and the offset of the bad record.
bool LoadReplay(const std::string& path, std::vector<ReplayEvent>& out, std::string* error);

// For each pass (in order), the index of the last event the pass had seen:
// for a pass that took bytes, the first 'U' since the last 'C' whose ring
// position reaches the pass's; for one that found nothing, the last 'U' up to
// its position (or the 'C' itself).
std::vector<long> PassNeeds(const std::vector<ReplayEvent>& events);

class ReplayServer {
 public:
  struct Options {
    int port = 1;
    std::string link_dir;  // when set: <link_dir>/COM<port> -> device
    double speed = 0.0;
    bool lockstep = false;
    long lead_passes = 0;  // lockstep: how many passes ahead of the host a chunk may go out
  };
  struct Stats {
    uint64_t bytes_sent = 0;
    size_t writes_matched = 0;    // host writes equal to the recorded ones
    size_t writes_different = 0;  // host writes that differ (the session went another way)
    bool finished = false;        // every recorded event was served
  };

  ReplayServer(std::vector<ReplayEvent> events, Options opt);
  ~ReplayServer();
  ReplayServer(const ReplayServer&) = delete;
  ReplayServer& operator=(const ReplayServer&) = delete;

  bool Start(std::string* error = nullptr);
  void Stop();
  std::string DevicePath() const { return device_; }
  int Port() const { return opt_.port; }
  const std::vector<ReplayEvent>& Events() const { return events_; }
  Stats GetStats() const;

  // Lockstep: the host has made `passes` passes since it opened the port, and
  // cleared its ring `clears` times (a chunk never goes out before the clear
  // that, in the recording, came before it).
  void HostTook(long passes);
  void HostCleared(long clears);

 private:
  void Run();
  bool Send(const std::vector<uint8_t>& bytes);
  // Reads the host's write and compares it; `bounded`: waits a while only.
  bool Expect(const std::vector<uint8_t>& bytes, bool bounded);
  // Lockstep: the host has made the passes and clears due before `event` goes out.
  bool HostReady(size_t event, long lead) const;
  bool WaitHost(size_t event);

  std::vector<ReplayEvent> events_;
  std::vector<long> passesBefore_;  // lockstep: host passes due before each event goes out
  std::vector<long> clearsBefore_;  // lockstep: host ring clears due before each event goes out
  std::vector<bool> skip_;
  Options opt_;
  int master_ = -1, slave_ = -1;
  std::string device_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex mu_;
  std::condition_variable took_;
  std::atomic<long> hostPasses_{0}, hostClears_{0};
  std::atomic<long> waitingFor_{LONG_MAX};  // the pass count the unit waits for
  Stats stats_;
};

}  // namespace nel::sim
