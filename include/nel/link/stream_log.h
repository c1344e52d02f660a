// Stream logs: every byte exchanged with the unit and every move of the
// receive ring, in order, with time stamps: what a session recorder keeps so
// that a session can be examined or served back by a replaying unit.
//
// File: the magic "NELRAW1\n", then records to the end of the file, each a
// 20-byte head (little-endian) and its payload:
//
//   offset 0  uint64  microseconds since the recorder started
//   offset 8  uint8   kind: a TSerialPort::StreamEvent ('U', 'D', 'H', 'T', 'C')
//   offset 9  uint8   0
//   offset 10 uint16  payload length n (at most kMaxPayload; 0 for 'T' and 'C')
//   offset 12 int64   the event's ring position (see TSerialPort::StreamTap)
//   offset 20 n bytes the bytes ('U', 'D', 'H'); for 'T', the bytes taken as an int32
//
// Positions count from the last 'C' (the ring's totals start again at 0).
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <nel/export.h>
#include <nel/link/serial_port.h>

namespace nel::link {

struct StreamRecord {
  uint64_t micros = 0;
  char kind = 0;
  int64_t position = 0;
  int32_t count = 0;  // 'T': the bytes taken; otherwise the payload's length
  std::vector<unsigned char> bytes;
};

inline constexpr int kStreamLogMaxPayload = 4096;
inline constexpr size_t kStreamLogHeadBytes = 20;
inline constexpr char kStreamLogMagic[9] = "NELRAW1\n";

// Collects a port's stream events in memory (no file I/O while the port runs)
// until Save. Thread-safe: the reader thread and the host thread both add.
class NEL_API StreamRecorder {
 public:
  StreamRecorder();
  ~StreamRecorder();
  StreamRecorder(const StreamRecorder&) = delete;
  StreamRecorder& operator=(const StreamRecorder&) = delete;

  // Starts recording `port`'s events (the port's tap); Detach stops. Call
  // while no reader runs on the port. The recorder must outlive the tap.
  void Attach(TSerialPort& port);
  void Detach();

  void Add(TSerialPort::StreamEvent event, const unsigned char* bytes, int n, int64_t position);
  size_t Records() const;
  // The log as the file holds it (magic included).
  std::vector<unsigned char> Contents() const;
  bool Save(const std::string& path, std::string& error) const;

 private:
  static void Tap(TSerialPort::StreamEvent event, const unsigned char* bytes, int n, int64_t position, void* self);
  mutable std::mutex mu_;
  std::chrono::steady_clock::time_point start_;
  std::vector<unsigned char> data_;
  size_t records_ = 0;
  TSerialPort* port_ = nullptr;
};

// Reads a stream log. False with the reason (and the byte offset of the bad
// record) for a missing magic, a record cut short, an unknown kind or a
// payload over kStreamLogMaxPayload; throws nothing.
NEL_API bool ParseStreamLog(const unsigned char* data, size_t size, std::vector<StreamRecord>& out, std::string& error);
NEL_API bool ReadStreamLog(const std::string& path, std::vector<StreamRecord>& out, std::string& error);

}  // namespace nel::link
