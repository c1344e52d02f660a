// Subcommands of nelctl. Each app/cmd_*.cpp registers its subcommand with a
// static NelctlCommand object; main() builds the command line from them.
#pragma once

#include <CLI/CLI.hpp>

#include <string>
#include <utility>
#include <vector>

namespace nelctl {

// Adds one subcommand (with its options and callback) to the program.
using CommandSetup = void (*)(CLI::App& program);

std::vector<std::pair<std::string, CommandSetup>>& Commands();

struct NelctlCommand {
  NelctlCommand(const char* name, CommandSetup setup) { Commands().emplace_back(name, setup); }
};

// A subcommand reports failure by throwing Failure with a message for the user
// and the exit status; main() prints "nelctl: <message>" and exits with it.
struct Failure : std::runtime_error {
  Failure(const std::string& message, int status = 1) : std::runtime_error(message), status(status) {}
  int status;
};

}  // namespace nelctl
