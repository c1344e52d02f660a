// Running another program to its end, with a time limit.
//
// Used by hosts that hand work to a program of their own (a browser printing a
// page, nelctl run by a benchmark). The program gets no input (the null
// device); what it prints goes to a file or is dropped.
#pragma once

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

namespace nel::platform {

struct ProgramRun {
  bool started = false;   // false: it could not be started, `error` says why
  bool timedOut = false;  // it ran past the limit and was killed
  int exitCode = -1;      // its exit status when it ended by itself; -1 when killed (or by a signal)
  std::string error;
};

// Runs argv[0] (a path, not searched) with the arguments argv[1...]. Its
// standard output and error both go to `output` (created or replaced), or to
// the null device when `output` is empty. Waits for it to end, at most
// `limit` when that is positive: then it is killed, and waited for.
ProgramRun RunProgram(const std::vector<std::string>& argv, const std::string& output,
                      std::chrono::milliseconds limit = std::chrono::milliseconds(0));

// The path of the first of `names` found as a program in a folder of PATH
// (a name without extension also as NAME.exe on Windows); empty when none is.
std::string FindProgram(std::initializer_list<const char*> names);

// This process's id (to name its temporary files).
long ProcessId();

}  // namespace nel::platform
