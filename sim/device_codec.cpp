#include "device_codec.h"

#include <algorithm>
#include <cstring>

namespace nel::sim {

int CommandLength(uint8_t code) {
  switch (code) {
    case kCmdShakeHand:
    case kCmdGetVersion:
    case kCmdBeginSample:
    case kCmdStopSample:
    case kCmdGetFactor: return 1;
    case kCmdSetFactor: return 1 + kCoeffPayloadLength;
    case kCmdPump: return kPumpFrameLength;
    case kCmdGap: return kGapFrameLength;
    default: return 0;
  }
}

std::optional<Command> CommandParser::Feed(uint8_t byte) {
  if (byte & 0x80) {
    open_ = false;
    const int len = CommandLength(byte);
    if (len == 0) return std::nullopt;
    cur_ = Command{};
    cur_.code = byte;
    cur_.bytes[0] = byte;
    cur_.length = 1;
    if (len == 1) return cur_;
    open_ = true;
    return std::nullopt;
  }
  if (!open_) return std::nullopt;
  cur_.bytes[static_cast<size_t>(cur_.length++)] = byte;
  if (cur_.length < CommandLength(cur_.code)) return std::nullopt;
  open_ = false;
  return cur_;
}

std::array<uint8_t, kDataRawLength> EncodeDataRaw(const RawFrame& f) {
  std::array<uint8_t, 18> p{};
  for (int t = 0; t < 4; ++t) {
    const int32_t v = std::clamp<int32_t>(f.transducer[t], -0x800000, 0x7FFFFF);
    const uint32_t u = static_cast<uint32_t>(v) & 0xFFFFFFu;
    p[3 + 3 * t] = static_cast<uint8_t>(u >> 16);
    p[4 + 3 * t] = static_cast<uint8_t>(u >> 8);
    p[5 + 3 * t] = static_cast<uint8_t>(u);
  }
  const unsigned ecg = f.ecg & 0xFFFu, pcg = f.pcg & 0xFFFu;
  p[15] = static_cast<uint8_t>(((ecg >> 8) << 4) | (pcg >> 8));
  p[16] = static_cast<uint8_t>(ecg & 0xFF);
  p[17] = static_cast<uint8_t>(pcg & 0xFF);
  // Carriers: bit i of byte 0 for payload byte 3 + i, of byte 1 for 10 + i,
  // bit 0 of byte 2 for byte 17.
  for (int k = 3; k <= 17; ++k) {
    if (!(p[k] & 0x80)) continue;
    p[k] &= 0x7F;
    if (k <= 9)
      p[0] |= static_cast<uint8_t>(1u << (k - 3));
    else if (k <= 16)
      p[1] |= static_cast<uint8_t>(1u << (k - 10));
    else
      p[2] |= 0x01;
  }
  std::array<uint8_t, kDataRawLength> out{};
  out[0] = kDataRaw;
  std::copy(p.begin(), p.end(), out.begin() + 1);
  return out;
}

PumpCommand DecodePump(const uint8_t* b) {
  PumpCommand c;
  unsigned level = (static_cast<unsigned>(b[1] & 0x7F) << 8) | (b[2] & 0x7F);
  if (b[3] & 0x20) level |= 0x80;
  if (b[3] & 0x10) level |= 0x8000;
  c.level = static_cast<uint16_t>(level);
  const int code = b[3] & 0x0F;
  c.valid = code <= 4;
  c.line = code == 4 ? -1 : code;
  c.extra = b[4];
  return c;
}

GapCommand DecodeGap(uint8_t payload) {
  GapCommand g;
  g.open = !(payload & 0x04);
  g.line = (payload & 0x08) ? -1 : (payload & 0x03);
  return g;
}

std::array<uint8_t, kCoeffPayloadLength> EncodeCoeffBlock(const tagAD_FORCE_CONVERT (&set)[6]) {
  std::array<uint8_t, kCoeffPayloadLength> out{};
  uint8_t data[48];
  for (int c = 0; c < 6; ++c) {
    const float v[2] = {set[c].Slope, set[c].Offset};
    for (int j = 0; j < 2; ++j) {
      uint32_t bits;
      std::memcpy(&bits, &v[j], 4);
      for (int k = 0; k < 4; ++k) data[8 * c + 4 * j + k] = static_cast<uint8_t>(bits >> (8 * k));
    }
  }
  for (int i = 0; i < 48; ++i) {
    if (data[i] & 0x80) out[static_cast<size_t>(i) / 7] |= static_cast<uint8_t>(0x40 >> (i % 7));
    out[10 + static_cast<size_t>(i)] = data[i] & 0x7F;
  }
  return out;
}

std::optional<std::array<tagAD_FORCE_CONVERT, 6>> DecodeCoeffBlock(const uint8_t* payload) {
  if (std::all_of(payload, payload + kCoeffPayloadLength, [](uint8_t b) { return b == 0; })) return std::nullopt;
  uint8_t data[48];
  for (int i = 0; i < 48; ++i) {
    data[i] = payload[10 + i] & 0x7F;
    if (payload[i / 7] & (0x40 >> (i % 7))) data[i] |= 0x80;
  }
  std::array<tagAD_FORCE_CONVERT, 6> set{};
  for (int c = 0; c < 6; ++c) {
    for (int j = 0; j < 2; ++j) {
      uint32_t bits = 0;
      for (int k = 0; k < 4; ++k) bits |= static_cast<uint32_t>(data[8 * c + 4 * j + k]) << (8 * k);
      float v;
      std::memcpy(&v, &bits, 4);
      if (j == 0)
        set[c].Slope = v;
      else
        set[c].Offset = v;
    }
  }
  return set;
}

}  // namespace nel::sim
