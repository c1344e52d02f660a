// QXProtocol: the acquisition unit's byte protocol on top of the serial port.
//
// Framing rests on bit 7 alone: every command and reply code has bit 7 set,
// every payload byte has it clear. A code byte ends whatever frame was being
// collected; a frame is complete when the number of bytes fixed for its code
// has arrived. There is no length field and no checksum.
//
// Commands are sent from the host's thread. Those that wait for a reply block
// at most 1500 ms while pumping the thread's message queue
// (nel::platform::WaitReply); the reply is recognised only when received
// bytes are unpacked meanwhile (UnpackData, driven by the sampling object from
// a host timer). A waiting command that fails leaves the reason in the calling
// thread's last error (nel::LastErrorCode): no port, a refused write, no reply
// in time (telling apart a silent unit from a reply that arrived but was never
// unpacked because no processing pass ran), or a close or quit request.
// The "Director" variants read the answer themselves and are for use while
// the reader thread is not running: they take the reply frame out of whatever
// else arrives (a stream left running, stale bytes) within 1000 ms.
//
// The command table belongs to each object: see docs/decisions.md, "Per object, not copyable".
#pragma once

#include <atomic>
#include <cstdint>

#include <nel/export.h>
#include <nel/link/records.h>
#include <nel/link/serial_port.h>
#include <nel/platform/event.h>

// One entry of the command table.
struct NEL_API tagQX_COMMAND {
  unsigned char Code;
  int Length;        // frame length in bytes, code byte included
  const char* Name;  // for identification only
  nel::platform::Event* Event;
  int Index;
  std::atomic<unsigned char*> Reply;  // caller's buffer while a version or factor read waits
};

class NEL_API QXProtocol : public TSerialPort {
 public:
  static constexpr int kCommandCount = 17;
  // Table indices of the entries the protocol refers to by name.
  enum : int {
    kShakeHand = 0,
    kGetVersion = 1,
    kBeginSample = 2,
    kStopSample = 3,
    kSetFactor = 4,
    kGetFactor = 5,
    kPump = 6,
    kGap = 7,
    kDataRaw = 8,
    kReplyVersion = 10,
    kReplyFactor = 14,
  };
  static constexpr int kFactorFrameBytes = 63;
  static constexpr int kDataRawBytes = 19;

  QXProtocol();
  ~QXProtocol() override;
  QXProtocol(const QXProtocol&) = delete;
  QXProtocol& operator=(const QXProtocol&) = delete;

  bool ShakeHand();
  bool GetVersion(unsigned char& a, unsigned char& b, unsigned char& c);
  bool BeginSample();
  bool EndSample();
  bool SetFactor(unsigned char frame[63]);
  bool GetFactor(unsigned char reply[63]);
  // line -1 (all lines) or 0 to 3; anything else is refused without sending.
  bool SetPump(int line, unsigned short level, unsigned char extra);
  bool SetGap(int line, bool open);
  bool GetVersionDirector(unsigned char& a, unsigned char& b, unsigned char& c);
  bool GetFactorDirector(unsigned char reply[63]);

  // Sends `length` bytes of `frame` for table entry `entry` and, with wait,
  // waits for its reply. False when not all bytes were written, on time-out,
  // or when a close or quit request waits in the caller's queue; with wait,
  // the reason is left in the last error.
  bool Command(unsigned char* frame, int length, int entry, bool wait);

  // Bytes (code included) of the last version or factor reply that reached the
  // caller's buffer during the last GetVersion or GetFactor: the full frame
  // length when it arrived whole, fewer when it was cut.
  int ReplyBytes(int entry) const {
    return entry >= 0 && entry < kCommandCount ? replyBytes_[entry].load(std::memory_order_relaxed) : 0;
  }

  // Reads from `device` until a whole frame with code `code` (`length` bytes,
  // code included) has arrived, for at most timeoutMs; other frames and stray
  // bytes are skipped, and a frame cut by another code byte does not count.
  // The frame goes to `reply`. False on time-out or a device error.
  static bool ReadReplyFrame(nel::platform::SerialDevice& device, unsigned char code, unsigned char* reply, int length,
                             int timeoutMs);

  // Feeds one received byte. Returns the last byte's value when it completes
  // a frame, 0 otherwise. A completed "data raw" frame goes to `callback`
  // (with `context`), or, without a callback, has its bit 7 restored in place.
  int UnpackData(unsigned char byte, PACKET_CALLBACK callback, void* context) override;
  // Feeds `count` received bytes, as UnpackData does one by one (the same
  // frames, callbacks, replies and events, in the same order).
  void UnpackBlock(const unsigned char* bytes, int count, PACKET_CALLBACK callback, void* context);
  // Restores bit 7 of payload bytes 3 to 17 of a "data raw" frame from its carrier bytes 0 to 2.
  static void RawDataProc(PACK_BUF* pack);

  void Suspend();
  void Resume();
  void Reset();
  bool GetStatus() const { return suspended_.load(); }

  const tagQX_COMMAND& Entry(int index) const { return table_[index]; }
  // The frame being collected (tests and diagnostics).
  const PACK_BUF& Pack() const { return pack_; }

 private:
  void OpenFrame(int entry, int lengthEntry, unsigned char code);
  bool WaitingRead(int entry, unsigned char* reply, unsigned char request);
  bool Director(unsigned char request, unsigned char replyCode, unsigned char* reply, int count);
  void ResetReceiveState() override;

  nel::platform::Event events_[kCommandCount];
  tagQX_COMMAND table_[kCommandCount];
  std::atomic<int> replyBytes_[kCommandCount] = {};

  // Receive state.
  PACK_BUF pack_{};
  int payloadCount_ = 0;
  int expectedLength_ = 0;
  int entryIndex_ = 0;
};
