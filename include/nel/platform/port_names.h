// Serial port numbers, their names and their devices on this platform.
//
// Port n (1 to 149) has the name the system uses, "COM%d" (1 to 9) or
// "\\.\COM%d" (10 on), and a device path found, first match wins, from:
//   1. an override set in this process with SetPortPath (tests, an in-process
//      virtual unit);
//   2. the environment variable NEL_COM<n>, e.g. NEL_COM3=/dev/ttyUSB1;
//   3. the environment variable NEL_PORT_DIR naming a folder whose entries
//      COM1 ... COM149 (usually symbolic links) are the devices;
//   4. the default: ports 1-16 are /dev/ttyUSB0-15 (USB serial adapters),
//      17-32 are /dev/ttyACM0-15 (USB CDC devices), 33-149 are
//      /dev/ttyS0-116 (built-in serial ports).
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
