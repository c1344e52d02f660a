#include <nel/link/hard_ctl.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <nel/platform/diagnostics.h>
#include <nel/platform/last_error.h>
#include <nel/platform/port_names.h>
#include "platform/serial_device.h"
#include "platform/wait_clock.h"

namespace {

constexpr int kCoeffDataBytes = 48;   // twelve single-precision values
constexpr int kCoeffDataOffset = 10;  // first data byte inside the payload

void FillBuiltIn(tagAD_FORCE_CONVERT* set) {
  std::copy(std::begin(nel::kBuiltInCoeff), std::end(nel::kBuiltInCoeff), set);
}

// Carrier of bit 7 of data byte i: bit (6 - i mod 7) of payload byte i div 7.
int CarrierByte(int i) { return i / 7; }
unsigned char CarrierMask(int i) { return static_cast<unsigned char>(0x40 >> (i % 7)); }

void Fail(nel::Result code, const char* format, int a = 0, int b = 0) {
  char text[200];
  std::snprintf(text, sizeof text, format, a, b);
  nel::SetLastError(code, text);
}

bool InRange(float v, const float (&range)[2]) { return std::isfinite(v) && v >= range[0] && v <= range[1]; }

enum class ProbeResult { kFound, kCannotOpen, kBusy, kNoAnswer };

// Reads and drops what arrives until the line has been quiet for quietMs, for at most limitMs.
void DrainUntilQuiet(nel::platform::SerialDevice& device, int quietMs, int limitMs) {
  const nel::platform::Deadline limit(limitMs);
  unsigned char chunk[256];
  while (!limit.Expired()) {
    if (device.Read(chunk, sizeof chunk, std::min(quietMs, limit.RemainingMs())) <= 0) return;
  }
}

// One probe of the unit on `port`: flush, stop-sample, wait for a quiet line,
// flush again, handshake, and only the handshake reply within the window.
// The writes and the reply go to `line`'s stream tap (when there is a line), as its own would.
ProbeResult ProbePort(int port, unsigned char probe, unsigned char stopSample, int& openError, TSerialPort* line) {
  nel::platform::SerialDevice device;
  if (!device.Open(nel::platform::PortDevicePath(port))) {
    openError = device.LastError();
    return openError == EBUSY ? ProbeResult::kBusy : ProbeResult::kCannotOpen;
  }
  if (!device.Configure(nel::platform::LineSettings{230400, 'N', 8, 1})) return ProbeResult::kNoAnswer;
  device.Purge();
  if (line) line->Tap(TSerialPort::StreamEvent::kWritten, &stopSample, 1, 0);
  if (device.Write(&stopSample, 1, TSerialPort::kTransferTimeoutMs) != 1) return ProbeResult::kNoAnswer;
  DrainUntilQuiet(device, TnelHardCtl::kSearchQuietMs, TnelHardCtl::kSearchDrainLimitMs);
  device.Purge();
  if (line) line->Tap(TSerialPort::StreamEvent::kWritten, &probe, 1, 0);
  if (device.Write(&probe, 1, TSerialPort::kTransferTimeoutMs) != 1) return ProbeResult::kNoAnswer;
  unsigned char reply = 0;
  if (!QXProtocol::ReadReplyFrame(device, TnelHardCtl::kHandshakeReply, &reply, 1, TnelHardCtl::kSearchReplyWindowMs))
    return ProbeResult::kNoAnswer;
  if (line) line->Tap(TSerialPort::StreamEvent::kReadDirect, &reply, 1, 0);
  return ProbeResult::kFound;
}

}  // namespace

TnelHardCtl::TnelHardCtl(int unitNo) : sam_(std::make_unique<TSamThread>()), unitNo_(unitNo) {
  FillBuiltIn(ADForceCoeff);
}

TnelHardCtl::~TnelHardCtl() = default;

bool TnelHardCtl::SetComPortNo(int port, unsigned long, unsigned char, unsigned char, unsigned char, int) {
  if (!sam_) return false;
  if (port < nel::platform::kFirstPortNumber || port > nel::platform::kLastPortNumber) {
    Fail(nel::Result::kInvalidArgument, "port %d is outside 1 to 149", port);
    return false;
  }
  QXProtocol& proto = sam_->Protocol();
  if (proto.OpenPort(nel::platform::PortName(port), 230400, 8, 1, 'N') < 0) {
    if (proto.OpenError() == EBUSY)
      Fail(nel::Result::kPortBusy, "port %d is in use", port);
    else
      Fail(nel::Result::kNoUnit, "port %d cannot be opened (errno %d)", port, proto.OpenError());
    return false;
  }
  proto.StartReader();  // refused while a reader runs on this port: that reader keeps going
  return true;
}

void TnelHardCtl::CloseCom() {
  if (!sam_) return;
  sam_->Protocol().StopReader();
  sam_->Protocol().ClosePort();
}

int TnelHardCtl::CheckQX7700BComPortNo(unsigned char probe) {
  const unsigned char stop = sam_ ? sam_->Protocol().Entry(QXProtocol::kStopSample).Code : 0x83;
  for (int port = nel::platform::kFirstPortNumber; port <= nel::platform::kLastPortNumber; ++port) {
    int openError = 0;
    if (ProbePort(port, probe, stop, openError, sam_ ? &sam_->Protocol() : nullptr) == ProbeResult::kFound) return port;
  }
  Fail(nel::Result::kNoUnit, "no unit answers on ports %d to %d", nel::platform::kFirstPortNumber,
       nel::platform::kLastPortNumber);
  return -1;
}

int TnelHardCtl::ProbeComPort(int port, unsigned char probe) {
  if (port < nel::platform::kFirstPortNumber || port > nel::platform::kLastPortNumber) {
    Fail(nel::Result::kInvalidArgument, "port %d is outside 1 to 149", port);
    return -1;
  }
  const unsigned char stop = sam_ ? sam_->Protocol().Entry(QXProtocol::kStopSample).Code : 0x83;
  int openError = 0;
  switch (ProbePort(port, probe, stop, openError, sam_ ? &sam_->Protocol() : nullptr)) {
    case ProbeResult::kFound: return port;
    case ProbeResult::kBusy: Fail(nel::Result::kPortBusy, "port %d is in use", port); return -1;
    case ProbeResult::kCannotOpen:
      Fail(nel::Result::kNoUnit, "port %d cannot be opened (errno %d)", port, openError);
      return -1;
    case ProbeResult::kNoAnswer: break;
  }
  Fail(nel::Result::kNoUnit, "no unit answers on port %d", port);
  return -1;
}

int TnelHardCtl::FindUnit(unsigned char probe, int port) {
  return port == 0 ? CheckQX7700BComPortNo(probe) : ProbeComPort(port, probe);
}

bool TnelHardCtl::StartADSample(bool readCoeff) {
  if (!sam_) return false;
  nel::ClearLastError();
  bool waitPointless = false;
  if (readCoeff) {
    coeffSource_ = hard_GetAD2ForceCoeff(ADForceCoeff, waitPointless);
    sam_->SetAD2ForceCoeff(ADForceCoeff);
    if (coeffSource_ != nel::link::CoeffSource::kUnit)
      nel::platform::Logf(
          nel::platform::DiagLevel::kWarning, "pressures use the built-in coefficient set: %s",
          coeffSource_ == nel::link::CoeffSource::kBuiltInNoneStored ? "the unit holds none" : nel::LastErrorText());
  }
  sam_->SetSamplePaused(true);
  sam_->SetFileHandle(nullptr);  // the legacy handle is never valid
  sam_->ClearDataBuff();
  // Sent without waiting when waiting is pointless: see docs/decisions.md, "Bounded start".
  QXProtocol& proto = sam_->Protocol();
  unsigned char frame[1] = {proto.Entry(QXProtocol::kBeginSample).Code};
  const bool started = proto.Command(frame, 1, QXProtocol::kBeginSample, !waitPointless) && !waitPointless;
  proto.SetIdleWatch(true);
  return started;
}

void TnelHardCtl::StopADSample() {
  if (!sam_) return;
  sam_->Protocol().SetIdleWatch(false);
  sam_->Protocol().EndSample();
}

int TnelHardCtl::PneumaticLine(int line) {
  if (line == BP_RTOE) return BP_RANK;
  if (line == BP_LTOE) return BP_LANK;
  return line;
}

namespace {

unsigned LineMask(int line) {
  if (line == -1) return (1u << nel::kTransducerCount) - 1u;
  if (line < 0 || line >= nel::kTransducerCount) return 0;
  return 1u << line;
}

}  // namespace

void TnelHardCtl::NotePump(int line, bool on) {
  pumpOn_ = on ? (pumpOn_ | LineMask(line)) : (pumpOn_ & ~LineMask(line));
}

void TnelHardCtl::NoteValve(int line, bool open) {
  valveClosed_ = open ? (valveClosed_ & ~LineMask(line)) : (valveClosed_ | LineMask(line));
}

void TnelHardCtl::StartInflate(int level, int line, int third) {
  if (!sam_ || pumpLockout_ || level < 1 || level > 9999 || third < 0 || third > 10000) return;
  const int l = PneumaticLine(line);
  if (sam_->Protocol().SetGap(l, false)) NoteValve(l, false);
  if (sam_->Protocol().SetPump(l, static_cast<unsigned short>(level), 0)) NotePump(l, true);
}

void TnelHardCtl::StopInflate(int line) {
  if (!sam_) return;
  const int l = PneumaticLine(line);
  if (sam_->Protocol().SetPump(l, 0, 0)) NotePump(l, false);
}

void TnelHardCtl::RapidDeflate(int line, bool open) {
  if (!sam_) return;
  const int l = PneumaticLine(line);
  if (open && sam_->Protocol().SetPump(l, 0, 0)) NotePump(l, false);
  if (sam_->Protocol().SetGap(l, open)) NoteValve(l, open);
}

bool TnelHardCtl::DeflateAll() {
  if (!sam_) return false;
  const bool pump = sam_->Protocol().SetPump(-1, 0, 0);
  if (pump) NotePump(-1, false);
  const bool valve = sam_->Protocol().SetGap(-1, true);
  if (valve) NoteValve(-1, true);
  return pump && valve;
}

void TnelHardCtl::ClearDataBuff() {
  if (sam_) sam_->ClearDataBuff();
}

int TnelHardCtl::ReadOnceData(tagSAM_DATA* out) { return sam_ ? sam_->GetData(out) : 0; }

void TnelHardCtl::GetAD2ForceCoeff(tagAD_FORCE_CONVERT* out) {
  if (sam_) sam_->GetAD2ForceCoeff(out);
}

void TnelHardCtl::SetAD2ForceCoeff(tagAD_FORCE_CONVERT* set) {
  if (!sam_ || set == nullptr) return;
  sam_->SetAD2ForceCoeff(set);
  hard_SaveAD2ForceCoeff(set);
}

void TnelHardCtl::SetAD2ForceCoeff(tagAD_FORCE_CONVERT one, tagTYPE_NEL_BPDATA channel) {
  if (!sam_) return;
  sam_->SetAD2ForceCoeff(one, channel);
  tagAD_FORCE_CONVERT all[nel::kChannelCount];
  sam_->GetAD2ForceCoeff(all);
  hard_SaveAD2ForceCoeff(all);
}

void TnelHardCtl::RunAdjust() {
  control_[0] = 0xD0;
  SetControl(1);
}

void TnelHardCtl::OpenCloseHardwareEnlarge(bool on) {
  control_[0] = on ? 0xD2 : 0xD3;
  SetControl(1);
}

// Both overloads send nothing: see docs/decisions.md, "Per object, not copyable".
void TnelHardCtl::SetControl(int) {
  if (legacyHandle_ < 0) return;
}

void TnelHardCtl::SetControl(int, int, int) {
  if (legacyHandle_ < 0) return;
}

bool TnelHardCtl::CoeffPlausible(const tagAD_FORCE_CONVERT* set) {
  if (set == nullptr) return false;
  for (int c = 0; c < nel::kTransducerCount; ++c)
    if (!InRange(set[c].Slope, nel::link::kSlopeRange) || !InRange(set[c].Offset, nel::link::kOffsetRangeMmHg))
      return false;
  return true;
}

nel::link::CoeffSource TnelHardCtl::hard_GetAD2ForceCoeff(tagAD_FORCE_CONVERT* set, bool& waitPointless) {
  waitPointless = false;
  FillBuiltIn(set);
  QXProtocol& proto = sam_->Protocol();
  unsigned char reply[QXProtocol::kFactorFrameBytes] = {};
  const int64_t writtenBefore = proto.WriteTotal();
  const int64_t readBefore = proto.ReadTotal();
  if (!proto.GetFactor(reply)) {
    const int got = proto.ReplyBytes(QXProtocol::kGetFactor);
    if (got > 0) {
      Fail(nel::Result::kBadReply, "the coefficient reply was cut after %d of %d bytes: built-in set in use", got - 1,
           kCoeffPayloadBytes);
      return nel::link::CoeffSource::kBuiltInIncomplete;
    }
    // The reason (no port, silent unit, nothing unpacked) is the command's.
    const bool silent = proto.WriteTotal() == writtenBefore;
    const bool unread = proto.ReadTotal() == readBefore && proto.WriteTotal() != proto.ReadTotal();
    waitPointless = silent || unread;
    return nel::link::CoeffSource::kBuiltInNoAnswer;
  }
  const unsigned char* payload = reply + 1;
  if (std::all_of(payload, payload + kCoeffPayloadBytes, [](unsigned char b) { return b == 0; }))
    return nel::link::CoeffSource::kBuiltInNoneStored;

  tagAD_FORCE_CONVERT unit[nel::kChannelCount] = {};
  hard_CovertCoeff(unit, reply + 1, false);
  if (!CoeffPlausible(unit)) {
    bool finite = true;
    for (int c = 0; c < nel::kTransducerCount; ++c)
      finite = finite && std::isfinite(unit[c].Slope) && std::isfinite(unit[c].Offset);
    if (!finite) {
      // Only non-numbers are overwritten: see docs/decisions.md, "Coefficient set in use".
      SetAD2ForceCoeff(set);
      Fail(nel::Result::kBadReply, "the unit's coefficient set holds non-numbers: built-in set in use and stored");
    } else {
      Fail(nel::Result::kBadReply, "the unit's coefficient set is outside the plausible ranges: built-in set in use");
    }
    return nel::link::CoeffSource::kBuiltInImplausible;
  }
  std::copy(std::begin(unit), std::end(unit), set);
  set[BP_RTOE] = set[BP_RANK];
  set[BP_LTOE] = set[BP_LANK];
  return nel::link::CoeffSource::kUnit;
}

void TnelHardCtl::hard_SaveAD2ForceCoeff(tagAD_FORCE_CONVERT* set) {
  unsigned char frame[QXProtocol::kFactorFrameBytes] = {};
  hard_CovertCoeff(set, frame + 1, true);
  sam_->Protocol().SetFactor(frame);
}

void TnelHardCtl::hard_CovertCoeff(tagAD_FORCE_CONVERT* set, unsigned char* payload, bool encode) {
  if (set == nullptr || payload == nullptr) return;
  unsigned char data[kCoeffDataBytes];
  if (!encode) {
    if (std::all_of(payload, payload + kCoeffPayloadBytes, [](unsigned char b) { return b == 0; })) return;
    for (int i = 0; i < kCoeffDataBytes; ++i) {
      data[i] = payload[kCoeffDataOffset + i];
      if (payload[CarrierByte(i)] & CarrierMask(i)) data[i] |= 0x80;
    }
    for (int v = 0; v < 2 * nel::kChannelCount; ++v) {
      const unsigned char* b = data + 4 * v;
      const uint32_t bits = static_cast<uint32_t>(b[0]) | (static_cast<uint32_t>(b[1]) << 8) |
                            (static_cast<uint32_t>(b[2]) << 16) | (static_cast<uint32_t>(b[3]) << 24);
      float f;
      std::memcpy(&f, &bits, sizeof f);
      (v % 2 == 0 ? set[v / 2].Slope : set[v / 2].Offset) = f;
    }
    return;
  }
  std::memset(payload, 0, kCoeffPayloadBytes);
  for (int v = 0; v < 2 * nel::kChannelCount; ++v) {
    const float f = v % 2 == 0 ? set[v / 2].Slope : set[v / 2].Offset;
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    for (int k = 0; k < 4; ++k) data[4 * v + k] = static_cast<unsigned char>(bits >> (8 * k));
  }
  for (int i = 0; i < kCoeffDataBytes; ++i) {
    if (data[i] & 0x80) payload[CarrierByte(i)] |= CarrierMask(i);
    payload[kCoeffDataOffset + i] = data[i] & 0x7F;
  }
}
