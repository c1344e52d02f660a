// Serial port numbers, their names and their devices on this platform.
//
// Port n (1 to 149) is named "COM%d" or "\\.\COM%d"; its device comes from SetPortPath, NEL_COM<n>
// (NEL_COM3=/dev/ttyUSB1), NEL_PORT_DIR/COM<n> or a default: see docs/decisions.md, "Port naming".
// Thread-safe.
#pragma once

#include <string>
#include <string_view>

#include <nel/export.h>

namespace nel::platform {

inline constexpr int kFirstPortNumber = 1;
inline constexpr int kLastPortNumber = 149;

// "COM%d" or "\\.\COM%d"; empty outside 1..149.
NEL_API std::string PortName(int number);
// The port number of such a name (either form, case-insensitive); 0 when it is not one.
NEL_API int PortNumberFromName(std::string_view name);
// The device behind port `number`; empty outside 1..149.
NEL_API std::string PortDevicePath(int number);
// Puts `devicePath` behind port `number` for this process; an empty path
// removes the override. False outside 1..149.
NEL_API bool SetPortPath(int number, std::string_view devicePath);

}  // namespace nel::platform
