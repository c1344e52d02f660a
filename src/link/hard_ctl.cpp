#include "link/hard_ctl.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <thread>

#include "platform/port_names.h"
#include "platform/serial_device.h"

namespace {

constexpr int kCoeffDataBytes = 48;     // twelve single-precision values
constexpr int kCoeffDataOffset = 10;    // first data byte inside the payload

void FillBuiltIn(tagAD_FORCE_CONVERT* set) { std::copy(std::begin(nel::kBuiltInCoeff), std::end(nel::kBuiltInCoeff), set); }

// Carrier of bit 7 of data byte i: bit (6 - i mod 7) of payload byte i div 7.
int CarrierByte(int i) { return i / 7; }
unsigned char CarrierMask(int i) { return static_cast<unsigned char>(0x40 >> (i % 7)); }

}  // namespace

TnelHardCtl::TnelHardCtl(int unitNo) : sam_(std::make_unique<TSamThread>()), unitNo_(unitNo) {
  FillBuiltIn(ADForceCoeff);
}

TnelHardCtl::~TnelHardCtl() = default;

bool TnelHardCtl::SetComPortNo(int port, unsigned long, unsigned char, unsigned char, unsigned char, int) {
  if (port < 1 || !sam_) return false;
  QXProtocol& proto = sam_->Protocol();
  if (proto.OpenPort(nel::platform::PortName(port), 230400, 8, 1, 'N') < 0) return false;
  proto.StartReader();  // refused while a reader runs on this port: that reader keeps going
  return true;
}

void TnelHardCtl::CloseCom() {
  if (!sam_) return;
  sam_->Protocol().StopReader();
  sam_->Protocol().ClosePort();
}

int TnelHardCtl::CheckQX7700BComPortNo(unsigned char probe) {
  const nel::platform::LineSettings line{230400, 'N', 8, 1};
  for (int port = nel::platform::kFirstPortNumber; port <= nel::platform::kLastPortNumber; ++port) {
    nel::platform::SerialDevice device;
    if (!device.Open(nel::platform::PortDevicePath(port))) continue;  // absent or in use
    if (!device.Configure(line)) continue;
    if (device.Write(&probe, 1, TSerialPort::kTransferTimeoutMs) != 1) continue;
    for (int attempt = 0; attempt < kSearchReadTries; ++attempt) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      unsigned char byte = 0;
      const long n = device.Read(&byte, 1, kSearchReadTimeoutMs);
      if (n < 0) break;
      if (n == 1 && byte == kHandshakeReply) return port;
    }
  }
  return -1;
}

void TnelHardCtl::StartADSample(bool readCoeff) {
  if (!sam_) return;
  if (readCoeff) {
    hard_GetAD2ForceCoeff(ADForceCoeff);
    sam_->SetAD2ForceCoeff(ADForceCoeff);
  }
  sam_->SetSamplePaused(true);
  sam_->SetFileHandle(nullptr);  // the legacy handle is never valid
  sam_->ClearDataBuff();
  sam_->Protocol().BeginSample();
  sam_->Protocol().SetIdleWatch(true);
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
  if (line == -1) return (1u << TnelHardCtl::kPneumaticLines) - 1u;
  if (line < 0 || line >= TnelHardCtl::kPneumaticLines) return 0;
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

// The legacy control path writes straight to a port handle that nothing ever
// provides, so both overloads send nothing.
void TnelHardCtl::SetControl(int) {
  if (legacyHandle_ < 0) return;
}

void TnelHardCtl::SetControl(int, int, int) {
  if (legacyHandle_ < 0) return;
}

void TnelHardCtl::hard_GetAD2ForceCoeff(tagAD_FORCE_CONVERT* set) {
  FillBuiltIn(set);
  unsigned char reply[QXProtocol::kFactorFrameBytes] = {};
  sam_->Protocol().GetFactor(reply);  // a missing answer leaves the buffer all zero
  hard_CovertCoeff(set, reply + 1, false);
  if (std::isfinite(set[BP_RANK].Offset)) {
    set[BP_RTOE] = set[BP_RANK];
    set[BP_LTOE] = set[BP_LANK];
    return;
  }
  FillBuiltIn(set);
  SetAD2ForceCoeff(set);
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
