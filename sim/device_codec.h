// The unit's side of the serial frame protocol: the command parser, the
// "data raw" sample packet and the 62-byte coefficient block.
//
// Written apart from the library's link code: see docs/decisions.md, "Independent codec".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <nel/link/records.h>

namespace nel::sim {

// Command codes the unit accepts and the reply codes it sends.
inline constexpr uint8_t kCmdShakeHand = 0x80;
inline constexpr uint8_t kCmdGetVersion = 0x81;
inline constexpr uint8_t kCmdBeginSample = 0x82;
inline constexpr uint8_t kCmdStopSample = 0x83;
inline constexpr uint8_t kCmdSetFactor = 0x84;
inline constexpr uint8_t kCmdGetFactor = 0x85;
inline constexpr uint8_t kCmdPump = 0x86;
inline constexpr uint8_t kCmdGap = 0x87;
inline constexpr uint8_t kDataRaw = 0x90;
inline constexpr uint8_t kReplyBase = 0xF0;  // reply to command 0x80 + n is 0xF0 + n

inline constexpr int kDataRawLength = 19;  // code + 18 payload bytes
inline constexpr int kCoeffPayloadLength = 62;
inline constexpr int kPumpFrameLength = 5;
inline constexpr int kGapFrameLength = 2;

// Frame length (code byte included) of a command the unit accepts; 0 for
// any other code.
int CommandLength(uint8_t code);

// One complete command received from the host.
struct Command {
  uint8_t code = 0;
  std::array<uint8_t, 63> bytes{};  // bytes[0] = code, then the payload
  int length = 0;
};

// Collects host bytes into commands. A byte with bit 7 set ends whatever was
// being collected and opens a new command when its code is known; payload
// bytes with no open command are dropped.
class CommandParser {
 public:
  // Feeds one byte; returns the command it completes, if any.
  std::optional<Command> Feed(uint8_t byte);
  void Reset() { open_ = false; }

 private:
  bool open_ = false;
  Command cur_{};
};

// Values carried by one sample packet.
struct RawFrame {
  int32_t transducer[4] = {0, 0, 0, 0};  // 24-bit two's complement (clamped to its range)
  uint16_t ecg = 0;                      // 12 bits
  uint16_t pcg = 0;                      // 12 bits
};

// Builds the 19-byte "data raw" packet: code 0x90, three carrier bytes
// holding bit 7 of payload bytes 3..17, the four transducers most significant
// byte first, the ECG and PCG high nibbles, the ECG and PCG low bytes.
std::array<uint8_t, kDataRawLength> EncodeDataRaw(const RawFrame& frame);

// Pump frame payload (bytes 1..4): the level from its two 7-bit halves and the
// flags 0x20 (bit 7) and 0x10 (bit 15); line code 0..3, or 4 for all lines.
struct PumpCommand {
  int line = 0;  // 0..3, -1 for all lines
  uint16_t level = 0;
  uint8_t extra = 0;
  bool valid = false;  // false for a line code above 4
};
PumpCommand DecodePump(const uint8_t* frame5);

// Valve frame byte 1: 0x04 closed, 0x08 all lines, else the line in bits 0..1.
struct GapCommand {
  int line = 0;  // 0..3, -1 for all lines
  bool open = true;
};
GapCommand DecodeGap(uint8_t payload);

// The coefficient block: twelve floats (Slope, Offset of channels 0..5) as 48
// little-endian data bytes with their bit 7 carried in payload bytes 0..6
// (masks 0x40 down to 0x01), data in payload bytes 10..57, the rest zero.
std::array<uint8_t, kCoeffPayloadLength> EncodeCoeffBlock(const tagAD_FORCE_CONVERT (&set)[6]);
// Decodes a block; nullopt when all 62 bytes are zero (no set stored).
std::optional<std::array<tagAD_FORCE_CONVERT, 6>> DecodeCoeffBlock(const uint8_t* payload62);

}  // namespace nel::sim
