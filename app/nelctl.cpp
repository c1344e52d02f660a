// nelctl: the reference host program of the nel library.
//
// Every way out of a subcommand ends here: the exit status of the table in
// commands.h, the message on stderr and, with --json, one error object on
// stdout.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include <nel/nel.h>
#include "commands.h"

namespace nelctl {

std::vector<std::pair<std::string, CommandSetup>>& Commands() {
  static std::vector<std::pair<std::string, CommandSetup>> commands;
  return commands;
}

namespace {

std::string Dump(const nlohmann::json& j) {
  // The library's own texts may carry bytes that are not UTF-8.
  return j.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

void PrintJson(const std::string& command, const nlohmann::json& result) {
  nlohmann::json j = result.is_object() ? result : nlohmann::json::object();
  j["command"] = command;
  std::printf("%s\n", Dump(j).c_str());
  std::fflush(stdout);
}

}  // namespace nelctl

namespace {

std::string Footer() {
  std::string s = "Exit status (every subcommand):\n";
  for (const auto& row : nelctl::kStatusTable) {
    char line[160];
    std::snprintf(line, sizeof line, "  %-4d %s\n", row.status, row.meaning);
    s += line;
  }
  s += "\n"
       "With --json every subcommand prints one JSON object on stdout, also when it fails:\n"
       "  {\"command\": \"bp\", \"error\": {\"status\": 5, \"message\": \"...\"}, ...}\n"
       "  (\"command\" as typed, e.g. \"calibrate zero\"; any results got before the failure\n"
       "  beside \"error\"). The message also goes to stderr.\n"
       "\n"
       "Environment (port n, 1 to 149, is the first of):\n"
#if defined(_WIN32)
       "  NEL_COM<n>     the device of port n, e.g. NEL_COM3=\\\\.\\COM12\n"
       "  otherwise port n is \\\\.\\COM<n>.\n"
       "Not in this build (Windows): nelctl edf and the exam's record.edf (no EDFlib),\n"
       "--simulate and --replay (no virtual unit); they fail with status 1.";
#else
       "  NEL_COM<n>     the device of port n, e.g. NEL_COM3=/dev/ttyUSB1\n"
       "  NEL_PORT_DIR   a folder whose entries COM1 ... COM149 are links to the devices\n"
       "  otherwise ports 1-16 are /dev/ttyUSB0-15, 17-32 /dev/ttyACM0-15, 33-149 /dev/ttyS0-116.\n"
       "--simulate serves the virtual unit behind port 1 of nelctl itself.";
#endif
  return s;
}

// The subcommands the parser reached: "bp", "calibrate zero"; "" before any.
std::string CommandPath(const CLI::App& program) {
  std::string path;
  const CLI::App* app = &program;
  while (!app->get_subcommands().empty()) {
    app = app->get_subcommands().front();
    path += (path.empty() ? "" : " ") + app->get_name();
  }
  return path;
}

// --json anywhere before "--": known even when the parse failed before it.
bool WantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

int Fail(const std::string& command, bool json, int status, const std::string& message,
         const nlohmann::json& partial = nullptr) {
  std::fprintf(stderr, "nelctl%s%s: %s\n", command.empty() ? "" : " ", command.c_str(), message.c_str());
  if (json) {
    nlohmann::json j = partial.is_object() ? partial : nlohmann::json::object();
    j["error"] = {{"status", status}, {"message", message}};
    nelctl::PrintJson(command, j);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App program{"nelctl: host program for the vascular screening unit"};
  program.require_subcommand(1);
  program.set_version_flag("--version", [] {
    const unsigned v = GetBPVersion();
    return "nelctl, library version " + std::to_string(v >> 16) + "." + std::to_string(v & 0xFFFF);
  });
  program.footer(Footer());
  auto& commands = nelctl::Commands();
  std::sort(commands.begin(), commands.end());
  for (auto& [name, setup] : commands) setup(program);
  const bool json = WantsJson(argc, argv);
  try {
    program.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    if (e.get_exit_code() == static_cast<int>(CLI::ExitCodes::Success)) return program.exit(e);  // --help, --version
    const std::string command = CommandPath(program);
    const int status = Fail(command, json, nelctl::kStatusUsage, e.what());
    std::fprintf(stderr, "Run 'nelctl%s%s --help' for the options.\n", command.empty() ? "" : " ", command.c_str());
    return status;
  } catch (const nelctl::Failure& f) {
    return Fail(CommandPath(program), json, f.status, f.what(), f.partial);
  } catch (const std::exception& e) {
    return Fail(CommandPath(program), json, nelctl::kStatusFailure, e.what());
  }
  return 0;
}
