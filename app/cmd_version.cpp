// nelctl version: the library version as the library reports it.
#include <cstdio>
#include <memory>

#include <nel/nel.h>
#include "commands.h"

namespace {

void Setup(CLI::App& program) {
  auto* cmd = program.add_subcommand("version", "Print the library version number");
  auto json = std::make_shared<bool>(false);
  cmd->add_flag("--json", *json, "Print the version as JSON");
  cmd->callback([json] {
    const unsigned v = static_cast<unsigned>(GetBPVersion());
    if (*json)
      nelctl::PrintJson("version", {{"version", v}, {"major", v >> 16}, {"minor", v & 0xFFFF}});
    else
      std::printf("%u\n", v);
  });
}

nelctl::NelctlCommand registered("version", &Setup);

}  // namespace
