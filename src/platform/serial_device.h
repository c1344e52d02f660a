// A serial device of this platform: a terminal device opened exclusively, in
// raw mode, with reads and writes that never block longer than asked.
//
// Exclusive (TIOCEXCL and flock()): see docs/decisions.md, "Exclusive ports".
// On Windows the device is a COM port opened without sharing (and, for
// drivers that do not enforce that, such as Wine's, under a named mutex of the
// port), with overlapped I/O so that waits can be cut short by a stop event or
// a time limit.
//
// A device that goes away (USB adapter unplugged, the other end of a
// pseudo-terminal closed) shows as a hang-up: WaitReadable reports kHangup and
// reads fail; the object stays usable for Close.
//
// One thread may read while another writes; Open and Close must not run while
// another thread uses the object.
#pragma once

#include <cstddef>
#include <string>

#include <nel/platform/event.h>

namespace nel::platform {

// Line settings of a serial device.
struct LineSettings {
  int baud = 0;
  char parity = 'N';  // 'N', 'E', 'O' (upper or lower case)
  int dataBits = 8;   // 5 to 8
  int stopBits = 1;   // 1 or 2
};

// Parses "baud=%d parity=%c data=%d stop=%d"; false when the text does not have that form.
bool ParseLineText(const char* text, LineSettings& out);

class SerialDevice {
 public:
  enum class WaitResult { kData, kStop, kTimeout, kHangup, kError };

  SerialDevice() = default;
  ~SerialDevice();
  SerialDevice(const SerialDevice&) = delete;
  SerialDevice& operator=(const SerialDevice&) = delete;

  // Opens `path` for reading and writing, exclusive, non-blocking, without
  // making it the controlling terminal, and puts it in raw mode. False when the
  // device does not exist, is not a terminal, or is in use.
  bool Open(const std::string& path);
  void Close();
#if defined(_WIN32)
  bool IsOpen() const { return handle_ != nullptr; }
  // The port's HANDLE as an int (Windows keeps handles within 32 bits); -1 when closed.
  int Descriptor() const;
#else
  bool IsOpen() const { return fd_ >= 0; }
  int Descriptor() const { return fd_; }
#endif
  // errno of the last failed Open (on Windows the system error mapped to
  // ENOENT, EBUSY, ENOTTY, ENOMEM or EIO).
  int LastError() const { return lastError_; }

  // Applies the line settings (raw mode, no flow control). False for a baud
  // rate the platform does not know or a setting out of range.
  bool Configure(const LineSettings& line);
  // Discards whatever is queued in both directions.
  void Purge();
  // Bytes waiting in the input queue; -1 when the device cannot tell.
  int QueuedBytes() const;

  // Waits at most timeoutMs (< 0: no limit) until input is available, `stop`
  // (may be null) is signalled, or the device hangs up.
  WaitResult WaitReadable(const Event* stop, int timeoutMs) const;

  // Reads up to `size` bytes, waiting at most timeoutMs for the first one and
  // then taking what is queued. Returns the number read (0 on time-out), -1 on
  // a hang-up or error.
  long Read(void* buffer, size_t size, int timeoutMs);
  // Reads exactly `size` bytes unless timeoutMs pass first; returns the number read, -1 on error.
  long ReadAll(void* buffer, size_t size, int timeoutMs);
  // Writes all `size` bytes unless timeoutMs pass first; returns the number
  // written, -1 on a hang-up or error before anything was written.
  long Write(const void* buffer, size_t size, int timeoutMs);

 private:
#if defined(_WIN32)
  void* handle_ = nullptr;       // the port, opened for overlapped I/O
  void* readSignal_ = nullptr;   // completion event of the reading side's I/O
  void* writeSignal_ = nullptr;  // completion event of writes
  void* portLock_ = nullptr;     // named mutex held while the port is open
#else
  int fd_ = -1;
#endif
  int lastError_ = 0;
};

}  // namespace nel::platform
