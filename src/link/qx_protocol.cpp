#include <nel/link/qx_protocol.h>

#include "platform/serial_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <nel/platform/last_error.h>
#include <nel/platform/message_queue.h>
#include "platform/wait_clock.h"

namespace {

struct TableRow {
  unsigned char code;
  int length;
  const char* name;
};

constexpr TableRow kTable[QXProtocol::kCommandCount] = {
    {0x80, 1, "shake hand"},
    {0x81, 1, "get version"},
    {0x82, 1, "begin sample"},
    {0x83, 1, "stop sample"},
    {0x84, 63, "set factor"},
    {0x85, 1, "get factor"},
    {0x86, 5, "pump"},
    {0x87, 2, "gap"},
    {0x90, 19, "data raw"},
    {0xF0, 1, "replay shake hand"},
    {0xF1, 4, "replay get version"},
    {0xF2, 1, "replay begin sample"},
    {0xF3, 1, "replay stop sample"},
    {0xF4, 1, "replay set factor"},
    {0xF5, 63, "replay get factor"},
    {0xF6, 1, "replay pump"},
    {0xF7, 1, "replay gap"},
};

bool ValidLine(int line) { return line >= -1 && line <= 3; }

// Records a failure of command `name` for the calling thread.
void Fail(nel::Result code, const char* format, const char* name) {
  char text[200];
  std::snprintf(text, sizeof text, format, name);
  nel::SetLastError(code, text);
}

constexpr int kLongestFrame = 67;  // PACK_BUF::Frame

// The three version bytes of a version reply, or zeros when none came.
bool TakeVersion(bool received, const unsigned char (&reply)[4], unsigned char& a, unsigned char& b, unsigned char& c) {
  a = received ? reply[1] : 0;
  b = received ? reply[2] : 0;
  c = received ? reply[3] : 0;
  return received;
}

}  // namespace

QXProtocol::QXProtocol() {
  for (int i = 0; i < kCommandCount; ++i) {
    table_[i].Code = kTable[i].code;
    table_[i].Length = kTable[i].length;
    table_[i].Name = kTable[i].name;
    table_[i].Event = &events_[i];
    table_[i].Index = i;
    table_[i].Reply.store(nullptr);
  }
}

QXProtocol::~QXProtocol() {
  // The reader must not outlive the derived part whose UnpackData it could reach.
  ClosePort();
}

bool QXProtocol::Command(unsigned char* frame, int length, int entry, bool wait) {
  if (frame == nullptr || length <= 0 || entry < 0 || entry >= kCommandCount) {
    nel::SetLastError(nel::Result::kInvalidArgument, "command: no frame or an unknown table entry");
    return false;
  }
  // Only waiting commands record why they failed: see docs/decisions.md, "Bounded start".
  const char* name = table_[entry].Name;
  if (!IsOpen()) {
    if (wait) Fail(nel::Result::kNotOpen, "'%s' not sent: no port is open", name);
    return false;
  }
  events_[entry].Reset();
  int written = 0;
  WriteBytes(frame, length, written);
  if (written < length) {
    if (wait) Fail(nel::Result::kDeviceLost, "'%s' not sent: the port refused the bytes", name);
    return false;
  }
  if (!wait) return true;
  const int64_t readBefore = ReadTotal();
  switch (nel::platform::WaitReply(events_[entry])) {
    case nel::platform::ReplyWait::kReplied: return true;
    case nel::platform::ReplyWait::kCloseRequest:
      Fail(nel::Result::kRefused, "stopped waiting for the reply to '%s': a close or quit request is queued", name);
      return false;
    case nel::platform::ReplyWait::kTimedOut:
      if (ReaderRunning() && ReadTotal() == readBefore && WriteTotal() != ReadTotal())
        Fail(nel::Result::kTimeout,
             "no reply to '%s' within 1500 ms: bytes arrived but no processing pass ran during the wait to unpack them",
             name);
      else if (DeviceLost())
        Fail(nel::Result::kDeviceLost, "the port went away while waiting for the reply to '%s'", name);
      else
        Fail(nel::Result::kTimeout, "the unit did not answer '%s' within 1500 ms", name);
      return false;
    case nel::platform::ReplyWait::kFailed: break;
  }
  Fail(nel::Result::kTimeout, "the wait for the reply to '%s' failed", name);
  return false;
}

bool QXProtocol::WaitingRead(int entry, unsigned char* reply, unsigned char request) {
  replyBytes_[entry].store(0, std::memory_order_relaxed);
  table_[entry].Reply.store(reply);
  unsigned char frame[1] = {request};
  const bool ok = Command(frame, 1, entry, true);
  table_[entry].Reply.store(nullptr);
  return ok;
}

bool QXProtocol::ShakeHand() {
  unsigned char frame[1] = {table_[kShakeHand].Code};
  return Command(frame, 1, kShakeHand, true);
}

bool QXProtocol::GetVersion(unsigned char& a, unsigned char& b, unsigned char& c) {
  unsigned char reply[4] = {};
  return TakeVersion(WaitingRead(kGetVersion, reply, table_[kGetVersion].Code), reply, a, b, c);
}

bool QXProtocol::BeginSample() {
  unsigned char frame[1] = {table_[kBeginSample].Code};
  return Command(frame, 1, kBeginSample, true);
}

bool QXProtocol::EndSample() {
  unsigned char frame[1] = {table_[kStopSample].Code};
  return Command(frame, 1, kStopSample, false);
}

bool QXProtocol::SetFactor(unsigned char frame[63]) {
  if (frame == nullptr) return false;
  frame[0] = table_[kSetFactor].Code;
  return Command(frame, kFactorFrameBytes, kSetFactor, true);
}

bool QXProtocol::GetFactor(unsigned char reply[63]) {
  if (reply == nullptr) return false;
  return WaitingRead(kGetFactor, reply, table_[kGetFactor].Code);
}

bool QXProtocol::SetPump(int line, unsigned short level, unsigned char extra) {
  if (!ValidLine(line)) return false;
  unsigned char lineCode = static_cast<unsigned char>(line == -1 ? 4 : line);
  if (level & 0x0080) lineCode += 0x20;
  if (level & 0x8000) lineCode += 0x10;
  unsigned char frame[5] = {
      table_[kPump].Code,
      static_cast<unsigned char>((level >> 8) & 0x7F),
      static_cast<unsigned char>(level & 0x7F),
      lineCode,
      extra,
  };
  return Command(frame, 5, kPump, false);
}

bool QXProtocol::SetGap(int line, bool open) {
  if (!ValidLine(line)) return false;
  unsigned char code = open ? 0x00 : 0x04;
  code += static_cast<unsigned char>(line == -1 ? 0x08 : line);
  unsigned char frame[2] = {table_[kGap].Code, code};
  return Command(frame, 2, kGap, false);
}

bool QXProtocol::Director(unsigned char request, unsigned char replyCode, unsigned char* reply, int count) {
  const char* name = request == table_[kGetVersion].Code ? table_[kGetVersion].Name : table_[kGetFactor].Name;
  if (!IsOpen()) {
    Fail(nel::Result::kNotOpen, "'%s' not sent: no port is open", name);
    return false;
  }
  if (InProcess()) {
    Fail(nel::Result::kRefused, "'%s' not sent: an in-process device has no direct reads", name);
    return false;
  }
  // Uses the port directly: the reader thread must not be running. Whatever
  // an earlier host left on the line is discarded, and the reply is taken out
  // of what arrives by its frame, so stream bytes are never read as a reply.
  PurgePort();
  unsigned char frame[1] = {request};
  int written = 0;
  if (!WriteBytes(frame, 1, written)) {
    Fail(nel::Result::kDeviceLost, "'%s' not sent: the port refused the bytes", name);
    return false;
  }
  if (!ReadReplyFrame(Device(), replyCode, reply, count, kTransferTimeoutMs)) {
    Fail(nel::Result::kTimeout, "no whole reply to '%s' within 1000 ms", name);
    return false;
  }
  return true;
}

bool QXProtocol::ReadReplyFrame(nel::platform::SerialDevice& device, unsigned char code, unsigned char* reply,
                                int length, int timeoutMs) {
  if (reply == nullptr || length < 1 || length > kLongestFrame || !(code & 0x80)) return false;
  unsigned char frame[kLongestFrame];
  int have = 0;
  const nel::platform::Deadline deadline(timeoutMs);
  unsigned char chunk[64];
  for (;;) {
    const long n = device.Read(chunk, sizeof chunk, deadline.RemainingMs());
    if (n < 0) return false;
    for (long i = 0; i < n; ++i) {
      const unsigned char b = chunk[i];
      if (b & 0x80) {
        // A code byte ends any frame being collected; only ours starts one.
        have = 0;
        if (b != code) continue;
      } else if (have == 0) {
        continue;  // payload of another frame
      }
      frame[have++] = b;
      if (have == length) {
        std::memcpy(reply, frame, static_cast<size_t>(length));
        return true;
      }
    }
    if (n == 0 || deadline.Expired()) return false;
  }
}

bool QXProtocol::GetVersionDirector(unsigned char& a, unsigned char& b, unsigned char& c) {
  unsigned char reply[4] = {};
  return TakeVersion(Director(table_[kGetVersion].Code, table_[kReplyVersion].Code, reply, 4), reply, a, b, c);
}

bool QXProtocol::GetFactorDirector(unsigned char reply[63]) {
  if (reply == nullptr) return false;
  return Director(table_[kGetFactor].Code, table_[kReplyFactor].Code, reply, kFactorFrameBytes);
}

void QXProtocol::OpenFrame(int entry, int lengthEntry, unsigned char code) {
  pack_.Code = code;
  pack_.Frame[0] = code;
  payloadCount_ = 0;
  expectedLength_ = table_[lengthEntry].Length;
  entryIndex_ = entry;
}

int QXProtocol::UnpackData(unsigned char byte, PACKET_CALLBACK callback, void* context) {
  if (byte & 0x80) {
    pack_.Code = 0;
    // A reply frame: its code is the first byte of the waiting command's reply.
    const auto openReply = [this, byte](int entry, int lengthEntry) {
      OpenFrame(entry, lengthEntry, byte);
      if (unsigned char* r = table_[entry].Reply.load()) {
        r[0] = byte;
        replyBytes_[entry].store(1, std::memory_order_relaxed);
      }
    };
    switch (byte) {
      case 0x90:
        OpenFrame(kDataRaw, kDataRaw, byte);
        if (table_[kDataRaw].Reply.load(std::memory_order_relaxed) != nullptr) table_[kDataRaw].Reply.store(nullptr);
        break;
      case 0xF1: openReply(kGetVersion, kReplyVersion); break;
      case 0xF5: openReply(kGetFactor, kReplyFactor); break;
      case 0xF0:
      case 0xF2:
      case 0xF3:
      case 0xF4:
      case 0xF6:
      case 0xF7: events_[byte - 0xF0].Set(); break;
      default: break;  // codes outside the table are ignored
    }
    return 0;
  }
  if (pack_.Code == 0) return 0;  // payload byte without an open frame

  ++payloadCount_;
  pack_.Frame[payloadCount_] = byte;
  if (unsigned char* r = table_[entryIndex_].Reply.load()) {
    r[payloadCount_] = byte;
    replyBytes_[entryIndex_].store(payloadCount_ + 1, std::memory_order_relaxed);
  }
  if (payloadCount_ < expectedLength_ - 1) return 0;

  events_[entryIndex_].Set();
  if (pack_.Code == 0x90) {
    if (callback != nullptr)
      callback(&pack_, context);
    else
      RawDataProc(&pack_);
  }
  pack_.Code = 0;
  return byte;
}

void QXProtocol::UnpackBlock(const unsigned char* bytes, int count, PACKET_CALLBACK callback, void* context) {
  if (bytes == nullptr) return;
  int i = 0;
  while (i < count) {
    // The payload of a "data raw" frame (never awaited as a reply) up to, not
    // including, its last byte: stored as it comes, until a code byte.
    if (pack_.Code == 0x90 && entryIndex_ == kDataRaw && table_[kDataRaw].Reply.load() == nullptr) {
      const int end = std::min(count, i + expectedLength_ - 2 - payloadCount_);
      unsigned char* to = pack_.Frame + payloadCount_ + 1;
      int k = i;
      for (; k < end && (bytes[k] & 0x80) == 0; ++k) *to++ = bytes[k];
      payloadCount_ += k - i;
      i = k;
      if (i == count) break;
    }
    QXProtocol::UnpackData(bytes[i++], callback, context);
  }
}

void QXProtocol::RawDataProc(PACK_BUF* pack) {
  if (pack == nullptr) return;
  unsigned char* payload = pack->Frame + 1;
  for (int i = 0; i < 7; ++i) {
    payload[3 + i] |= static_cast<unsigned char>(((payload[0] >> i) & 1u) << 7);
    payload[10 + i] |= static_cast<unsigned char>(((payload[1] >> i) & 1u) << 7);
  }
  payload[17] |= static_cast<unsigned char>((payload[2] & 1u) << 7);
}

void QXProtocol::Suspend() { suspended_.store(true); }

void QXProtocol::ResetReceiveState() {
  pack_.Code = 0;
  payloadCount_ = 0;
  expectedLength_ = 0;
  entryIndex_ = 0;
}

void QXProtocol::Resume() {
  ResetReceiveState();
  ClearRing();
  suspended_.store(false);
}

void QXProtocol::Reset() { ClearRing(); }
