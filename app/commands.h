// Subcommands of nelctl. Each app/cmd_*.cpp registers its subcommand with a
// static NelctlCommand object; main() builds the command line from them.
#pragma once

#include <CLI/CLI.hpp>

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace nelctl {

// Adds one subcommand (with its options and callback) to the program.
using CommandSetup = void (*)(CLI::App& program);

std::vector<std::pair<std::string, CommandSetup>>& Commands();

struct NelctlCommand {
  NelctlCommand(const char* name, CommandSetup setup) { Commands().emplace_back(name, setup); }
};

// The exit status of every subcommand. A subcommand picks the row that says
// why it failed; main() gives usage errors kStatusUsage.
inline constexpr int kStatusFailure = 1;        // a file cannot be read or written, or another failure
inline constexpr int kStatusUsage = 2;          // usage error or bad argument
inline constexpr int kStatusNoUnit = 2;         // no unit answers (or the port does not exist)
inline constexpr int kStatusDeviceLost = 3;     // the unit went away or fell silent
inline constexpr int kStatusBusy = 4;           // the port is in use
inline constexpr int kStatusIncomplete = 5;     // a measurement ended without its result
inline constexpr int kStatusTimeOut = 6;        // a step took longer than its limit
inline constexpr int kStatusInterrupted = 130;  // SIGINT or SIGTERM (the cuffs are deflated first)

struct StatusRow {
  int status;
  const char* meaning;
};
// The table `nelctl --help` shows.
inline constexpr StatusRow kStatusTable[] = {
    {0, "done"},
    {kStatusFailure, "a file cannot be read or written, or another failure"},
    {kStatusUsage, "usage error or bad argument; no unit answers, or the port does not exist"},
    {kStatusDeviceLost, "the unit went away or fell silent"},
    {kStatusBusy, "the port is busy (another program has it open)"},
    {kStatusIncomplete, "a measurement or calibration ended without its result (a cuff failed, a safety stop)"},
    {kStatusTimeOut, "time-out: a step took longer than its limit (--timeout)"},
    {kStatusInterrupted, "interrupted (Ctrl-C, SIGTERM); the cuffs are deflated first"},
};

// A subcommand reports failure by throwing Failure with a message for the user
// and the exit status; main() prints "nelctl: <message>" and exits with it.
// With --json, main() also prints the error object on stdout; `partial` (an
// object) carries the results the command got before it failed, printed
// beside "error".
struct Failure : std::runtime_error {
  Failure(const std::string& message, int exitStatus = kStatusFailure, nlohmann::json results = nullptr)
      : std::runtime_error(message), status(exitStatus), partial(std::move(results)) {}
  int status;
  nlohmann::json partial;
};

// Prints a command's result object on stdout (--json), with its "command".
void PrintJson(const std::string& command, const nlohmann::json& result);

}  // namespace nelctl
