// Reads back the pump and valve commands a unit received, decoded by hand
// from the frame bytes (independently of the library's encoder):
//   pump  0x86, level bits 14..8, level bits 6..0, line code (+0x20 for level
//         bit 7, +0x10 for bit 15; 4 = all lines), extra byte;
//   valve 0x87, 0x04 when closing, plus 0x08 for all lines or the line.
// Other bytes (sampling commands) are skipped.
#pragma once

#include <cstdint>
#include <vector>

namespace nel::test {

struct PneumaticCommand {
  enum Kind { kPump, kValve } kind;
  int line;   // 0..3, -1 for all lines
  int level;  // pump: level (0 = off); valve: 1 = open, 0 = closed
  bool operator==(const PneumaticCommand&) const = default;
};

inline PneumaticCommand Pump(int line, int level) { return {PneumaticCommand::kPump, line, level}; }
inline PneumaticCommand Valve(int line, bool open) { return {PneumaticCommand::kValve, line, open ? 1 : 0}; }

inline std::vector<PneumaticCommand> DecodePneumatics(const std::vector<uint8_t>& bytes) {
  std::vector<PneumaticCommand> out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == 0x86 && i + 4 < bytes.size()) {
      const uint8_t b3 = bytes[i + 3];
      int level = (bytes[i + 1] & 0x7F) << 8 | (bytes[i + 2] & 0x7F);
      if (b3 & 0x20) level |= 0x80;
      if (b3 & 0x10) level |= 0x8000;
      const int code = b3 & 0x0F;
      out.push_back(Pump(code == 4 ? -1 : code, level));
      i += 4;
    } else if (bytes[i] == 0x87 && i + 1 < bytes.size()) {
      const uint8_t b = bytes[i + 1];
      out.push_back(Valve(b & 0x08 ? -1 : b & 0x03, !(b & 0x04)));
      i += 1;
    }
  }
  return out;
}

}  // namespace nel::test
