// Checks on a port before the library opens it: is it there, is it free, and
// does a unit answer on it (its version, read directly).
#pragma once

#include <string>

#include "commands.h"

namespace nelctl {

struct UnitVersion {
  unsigned a = 0, b = 0, c = 0;
};

// Opens port `port` on its own and closes it again. Throws Failure
// (kStatusNoUnit) when the port is outside 1 to 149 or cannot be opened,
// (kStatusBusy) when another program has it open.
void CheckPort(int port);

// CheckPort, then asks the unit for its version with the direct exchange.
// Throws Failure when the port is missing, busy, or no unit answers.
UnitVersion ReadUnitVersion(int port);

// The port of the unit: `port` when given (> 0), otherwise the library's port
// search. Throws Failure (kStatusNoUnit) when the search finds no unit; `hint`
// is added to that message.
int FindPort(int port, const std::string& hint = "");

// Adds --port N (1 to 149; default: the port search). Call it after the
// command's --simulate, which it then excludes: the virtual unit is port 1
// of nelctl itself.
CLI::Option* AddPortOption(CLI::App* cmd, int& port);

}  // namespace nelctl
