// nelctl: the reference host program of the nel library.
#include <algorithm>
#include <cstdio>

#include "commands.h"
#include "nel/nel.h"

namespace nelctl {

std::vector<std::pair<std::string, CommandSetup>>& Commands() {
  static std::vector<std::pair<std::string, CommandSetup>> commands;
  return commands;
}

}  // namespace nelctl

int main(int argc, char** argv) {
  CLI::App program{"nelctl: host program for the vascular screening unit"};
  program.require_subcommand(1);
  program.set_version_flag("--version", [] {
    const unsigned v = GetBPVersion();
    return "nelctl, library version " + std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF);
  });
  auto& commands = nelctl::Commands();
  std::sort(commands.begin(), commands.end());
  for (auto& [name, setup] : commands) setup(program);
  try {
    program.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return program.exit(e);
  } catch (const nelctl::Failure& f) {
    std::fprintf(stderr, "nelctl: %s\n", f.what());
    return f.status;
  }
  return 0;
}
