// The virtual unit on a pseudo-terminal, behind a serial port number.
//
// The server opens a pseudo-terminal, puts its device behind port `port`
// with nel::platform::SetPortPath (so that a host in this process finds it by
// the port search), optionally links <link_dir>/COM<port> to it (for a host in
// another process: NEL_PORT_DIR=<link_dir>, or NEL_COM<port>=<device>), and
// runs one I/O thread that reads the host's commands, writes replies and
// packets, and, with the real-time clock, advances virtual time.
//
// Clocks:
//  - real time times `speed` (1 to 50 and more): frame n is due at
//    n / (1000 * speed) seconds after Start;
//  - stepped: virtual time moves only when a caller calls Advance(frames);
//    commands are still answered at once, at the current frame.
//
// A host takes at most 27 frames per processing pass and its receive ring
// holds about 5 s of data, so at speed X it must run at least 37 * X passes a
// second or frames are lost (for a host, not for this server: with the
// real-time clock the server drops whole packets when more than
// `output_limit` bytes wait unread, as a line does when nobody reads).
//
// Thread rules: every public operation may be called from any thread; the
// unit itself is reached through WithUnit, under the server's lock.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json_fwd.hpp>

#include "virtual_unit.h"

namespace nel::sim {

class UnitServer {
 public:
  enum class Clock { kRealTime, kStepped };
  struct Options {
    Clock clock = Clock::kRealTime;
    double speed = 1.0;    // real-time clock only
    int port = 1;          // port number (1..149) the device is put behind
    std::string link_dir;  // when set: <link_dir>/COM<port> -> device
    // Real-time clock: unread bytes before packets drop; 0 = a quarter second
    // of packets at `speed`, at least 16 KiB.
    size_t output_limit = 0;
  };

  UnitServer(const SubjectConfig& cfg, Options opt);
  ~UnitServer();
  UnitServer(const UnitServer&) = delete;
  UnitServer& operator=(const UnitServer&) = delete;

  // Opens the pseudo-terminal and starts the I/O thread.
  bool Start(std::string* error = nullptr);
  // Stops the thread, closes the pseudo-terminal and removes the port entry.
  void Stop();

  std::string DevicePath() const;
  int Port() const { return opt_.port; }
  bool LineOpen() const;

  // Stepped clock: advances virtual time and then waits up to wait_ms for the
  // queued bytes to be taken by the line (false if they were not).
  bool Advance(int64_t frames, int wait_ms = 5000);
  // Waits until nothing is queued (or the line is closed).
  bool WaitFlushed(int wait_ms);

  // Closes the pseudo-terminal now (the host sees a hang-up) and opens a new
  // one after `seconds` of virtual time, under the same port number.
  void Hangup(double seconds);

  template <class F>
  auto WithUnit(F&& f) {
    std::lock_guard lock(mu_);
    return f(unit_);
  }
  nlohmann::json GroundTruth();

 private:
  bool OpenLine(std::string* error);
  void CloseLine();
  void Run();
  void Wake();
  void FlushLocked();

  Options opt_;
  mutable std::mutex mu_;
  std::condition_variable flushed_;
  VirtualUnit unit_;
  int master_ = -1, slave_ = -1;
  int wake_[2] = {-1, -1};
  std::string device_;
  std::optional<int64_t> reopenAt_;  // frame at which a hung-up line reopens
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::atomic<bool> started_{false};
};

}  // namespace nel::sim
