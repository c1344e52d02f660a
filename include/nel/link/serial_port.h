// TSerialPort: the serial port to the acquisition unit, its reader thread and
// the 102400-byte receive ring.
//
// Life cycle: closed (constructed) -> open (OpenPort) -> reading (StartReader)
// -> open (StopReader) -> closed (ClosePort). The reader thread lives from
// StartReader to StopReader and moves every received byte into the ring, at
// most 128 bytes a read, unless the suspended flag is set (bytes are dropped)
// or the ring is full (the new bytes are dropped; the frame protocol
// resynchronises at the next code byte).
//
// Threads: one host thread calls every operation; the reader thread only
// stores into the ring and sets the data event. The ring's totals and count
// are atomics, so exactly one reader and one draining thread need no lock.
//
// Opening, closing and starting the reader also reset the receive state of a derived protocol
// (ResetReceiveState). 64-bit totals and the reset: see docs/decisions.md, "Long runs"; a device that goes away
// (DeviceLost): "A device that goes away".
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <nel/export.h>
#include <nel/link/records.h>
#include <nel/platform/event.h>

namespace nel::platform {
class SerialDevice;
}

// The packet callback handed to UnpackData: one complete "data raw" frame.
using PACKET_CALLBACK = void (*)(PACK_BUF* pack, void* context);

class NEL_API TSerialPort {
 public:
  static constexpr int kInitialRingBytes = 2048;
  static constexpr int kRingBytes = 102400;
  static constexpr int kReadChunk = 128;           // bytes per read of the reader thread
  static constexpr int kSettingsTimeoutMs = 50;    // the five port time-outs
  static constexpr int kTransferTimeoutMs = 1000;  // WriteBytes and ReadBytes
  static constexpr int kReaderReadWaitMs = 500;    // wait of one reader read
  static constexpr int kIdlePollMs = 10;
  static constexpr int kIdlePollLimit = 200;  // empty polls in a row before the read loop returns

  TSerialPort();
  virtual ~TSerialPort();
  TSerialPort(const TSerialPort&) = delete;
  TSerialPort& operator=(const TSerialPort&) = delete;

  // Opens the port named "COM%d" or "\\.\COM%d" (its device comes from the
  // platform's port naming) with the line "baud=%d parity=%c data=%d stop=%d".
  // Returns the port handle, or -1 (the reason in OpenError). On a port that
  // is already open it does nothing and returns the open handle.
  int OpenPort(const std::string& portName, int baud, int dataBits, int stopBits, char parity);
  // Starts the reader thread on a fresh, zeroed ring of 102400 bytes.
  // Refused (false) while a reader runs: see docs/decisions.md, "Reader restart and ring clearing".
  bool StartReader();
  // Stops the reader thread (blocks until it has ended) and frees the ring.
  void StopReader();
  // Stops the reader if it runs, then closes the port.
  void ClosePort();
  bool WriteBytes(const unsigned char* buffer, int count, int& written);
  bool ReadBytes(unsigned char* buffer, int count, int& read);

  // Feeds one received byte to the frame protocol; the transport itself knows no frames.
  virtual int UnpackData(unsigned char byte, PACKET_CALLBACK callback, void* context);

  // ---- state shared with the sampling object and the hardware control -------
  bool IsOpen() const { return open_; }
  // errno of the last failed OpenPort (ENOENT also for a name that names no port).
  int OpenError() const { return openError_; }
  int PortHandle() const;
  bool ReaderRunning() const { return readerRunning_.load(); }
  // The device hung up or failed while the reader ran; cleared by the next StartReader.
  bool DeviceLost() const { return deviceLost_.load(); }

  int RingSize() const { return ringSize_; }
  int64_t ReadTotal() const { return readTotal_.load(); }
  int64_t WriteTotal() const { return writeTotal_.load(); }
  int32_t RingCount() const { return ringCount_.load(); }
  // Bytes received while the ring was full, and so dropped (a host that runs
  // its passes too rarely); never reset.
  int64_t DroppedBytes() const { return droppedBytes_.load(); }
  // Copies n bytes (n <= RingCount()) from the read position, wrapping, and
  // advances the read total and count atomically.
  void TakeFromRing(unsigned char* out, int n);
  nel::platform::Event& DataEvent() { return dataEvent_; }
  // Stores bytes in the ring exactly as the reader thread does (full ring:
  // dropped; sets the data event). For an in-process device, the fuzzers and
  // the benchmarks; safe beside a running reader.
  void InjectReceived(const unsigned char* bytes, int n) {
    if (bytes != nullptr && n > 0) StoreInRing(bytes, n);
  }

  // An in-process device in place of the serial port (the benchmarks, the
  // fuzzers, a transport of the host's own): the port counts as open, the
  // bytes written go to `sink` (dropped when it is null) and the received
  // bytes come through InjectReceived. No reader thread runs and direct reads
  // fail; ClosePort ends it. Refused (false) while a port is open.
  using WriteSink = void (*)(const unsigned char* bytes, int n, void* context);
  bool OpenInProcess(WriteSink sink, void* context);
  bool InProcess() const { return inProcess_; }

  // A listener for every byte that crosses the port and every move of the
  // receive ring (the session recorder of a host). `position` is the ring's
  // write total after a store, its read total after a take, 0 otherwise.
  // Called on the reader thread (kStored, under the ring's lock) and on the
  // host thread (the others); it must not call back into the port. Set it
  // while no reader runs; null (the default) turns it off.
  enum class StreamEvent : char {
    kStored = 'U',      // bytes received into the ring
    kReadDirect = 'D',  // bytes received by a direct read (no reader running)
    kWritten = 'H',     // bytes the host wrote (before they are written)
    kTaken = 'T',       // bytes a processing pass took from the ring (0: it found none)
    kCleared = 'C',     // the ring emptied, its totals back to 0
  };
  using StreamTap = void (*)(StreamEvent event, const unsigned char* bytes, int n, int64_t position, void* context);
  void SetStreamTap(StreamTap tap, void* context) {
    tapContext_ = context;
    tap_.store(tap);
  }

  // Called by a processing pass before it looks at the ring; returns the most
  // bytes the pass may take (a host that replays a recorded session waits
  // there until the bytes the recorded pass took have arrived, and takes no
  // more than it did). Set it while no pass runs; null (the default) in
  // normal use.
  using TakeGate = int32_t (*)(void* context);
  static constexpr int32_t kTakeAny = INT32_MAX;
  void SetTakeGate(TakeGate gate, void* context) {
    gateContext_ = context;
    gate_.store(gate);
  }
  int32_t AwaitTake() {
    const TakeGate gate = gate_.load();
    return gate ? gate(gateContext_) : kTakeAny;
  }
  // A pass that found nothing to take: a kTaken event of 0 bytes.
  void TookNothing() { Tap(StreamEvent::kTaken, nullptr, 0, readTotal_.load()); }
  // Hands an event to the tap (the port search's own exchanges, made on a device of their own).
  void Tap(StreamEvent event, const unsigned char* bytes, int n, int64_t position) {
    if (const StreamTap tap = tap_.load()) tap(event, bytes, n, position, tapContext_);
  }

  void SetIdleWatch(bool on) { idleWatch_.store(on); }
  bool IdleWatch() const { return idleWatch_.load(); }
  // Times the read loop gave up after 2 s without data (tests and diagnostics).
  int IdleReturns() const { return idleReturns_.load(); }

 protected:
  // Seam for tests of the drain side (a subclass sets it): when set, the storing thread calls
  // hook(context) after growing the write total and before growing the count,
  // the moment at which a drainer finds the totals different while the count
  // is still 0. Set it while no store runs; null (the default) in normal use.
  using StoreHook = void (*)(void* context);
  void SetStoreHook(StoreHook hook, void* context) {
    storeHookContext_ = context;
    storeHook_.store(hook);
  }

  // For tests of long runs: the ring is emptied and both totals start at
  // `total` (>= 0), as after that many bytes. Not while a drain runs.
  void StartTotalsAt(int64_t total);

  // Discards what is queued in both directions (the protocol's direct exchanges).
  void PurgePort();
  // Clears the ring to zero bytes and its totals (the protocol's Resume and Reset).
  void ClearRing();
  // Forgets any frame being collected; called on open, close and reader start.
  virtual void ResetReceiveState() {}
  // The device, for direct exchanges while the reader thread is not running.
  nel::platform::SerialDevice& Device() { return *device_; }
  std::atomic<bool> suspended_{false};

 private:
  void ReaderMain();
  // Drains the driver's queue into the ring; false when the device is lost.
  bool ReadLoop();
  void StoreInRing(const unsigned char* bytes, int n);
  void FreeRing();

  std::unique_ptr<nel::platform::SerialDevice> device_;
  bool open_ = false;
  bool inProcess_ = false;
  WriteSink sink_ = nullptr;
  void* sinkContext_ = nullptr;
  int openError_ = 0;
  nel::platform::Event stopEvent_;
  nel::platform::Event dataEvent_;
  std::thread reader_;
  std::atomic<bool> readerRunning_{false};
  std::atomic<bool> deviceLost_{false};

  // Serialises stores with ClearRing only (the drain side takes no lock).
  std::mutex storeMutex_;
  std::unique_ptr<unsigned char[]> ring_;
  int ringSize_ = 0;
  std::atomic<int64_t> readTotal_{0};
  std::atomic<int64_t> writeTotal_{0};
  std::atomic<int32_t> ringCount_{0};
  std::atomic<int64_t> droppedBytes_{0};
  std::atomic<StoreHook> storeHook_{nullptr};
  void* storeHookContext_ = nullptr;

  std::atomic<StreamTap> tap_{nullptr};
  void* tapContext_ = nullptr;
  std::atomic<TakeGate> gate_{nullptr};
  void* gateContext_ = nullptr;

  std::atomic<bool> idleWatch_{false};
  int idleCounter_ = 0;  // reader thread only
  std::atomic<int> idleReturns_{0};
};
