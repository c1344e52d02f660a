// Checks on a port before the library opens it: is it there, is it free, and
// does a unit answer on it (its version, read directly).
#pragma once

namespace nelctl {

inline constexpr int kStatusNoUnit = 2;      // no unit answers
inline constexpr int kStatusDeviceLost = 3;  // the unit went away while streaming
inline constexpr int kStatusBusy = 4;        // the port is in use
inline constexpr int kStatusIncomplete = 5;  // a measurement ended without its result
inline constexpr int kStatusTimeOut = 6;     // a step took longer than its limit

struct UnitVersion {
  unsigned a = 0, b = 0, c = 0;
};

// Opens port `port` on its own, asks the unit for its version with the direct
// exchange and closes the port again. Throws Failure when the port is missing,
// busy, or no unit answers.
UnitVersion ReadUnitVersion(int port);

}  // namespace nelctl
