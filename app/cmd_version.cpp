// nelctl version: the library version as the library reports it.
#include <cstdio>

#include "commands.h"
#include "nel/nel.h"

namespace {

void Setup(CLI::App& program) {
  auto* cmd = program.add_subcommand("version", "Print the library version number");
  cmd->callback([] { std::printf("%u\n", static_cast<unsigned>(GetBPVersion())); });
}

nelctl::NelctlCommand registered("version", &Setup);

}  // namespace
