// Programs started with posix_spawn and waited for with waitpid.
#include "platform/process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <thread>

extern char** environ;

namespace nel::platform {

namespace {

constexpr std::chrono::milliseconds kPollPeriod{50};

// Waits for `pid` for at most `limit` (not positive: for ever); kills it then.
ProgramRun WaitFor(pid_t pid, std::chrono::milliseconds limit) {
  ProgramRun run;
  run.started = true;
  int status = 0;
  if (limit.count() <= 0) {
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  } else {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > end) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        run.timedOut = true;
        return run;
      }
      std::this_thread::sleep_for(kPollPeriod);
    }
  }
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  return run;
}

}  // namespace

ProgramRun RunProgram(const std::vector<std::string>& argv, const std::string& output,
                      std::chrono::milliseconds limit) {
  if (argv.empty()) return {false, false, -1, "no program given"};
  std::vector<std::string> args = argv;
  std::vector<char*> p;
  for (auto& a : args) p.push_back(a.data());
  p.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&fa, 1, output.empty() ? "/dev/null" : output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0600);
  posix_spawn_file_actions_adddup2(&fa, 1, 2);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, p[0], &fa, nullptr, p.data(), environ);
  posix_spawn_file_actions_destroy(&fa);
  if (rc != 0) return {false, false, -1, std::strerror(rc)};
  return WaitFor(pid, limit);
}

std::string FindProgram(std::initializer_list<const char*> names) {
  const char* path = std::getenv("PATH");
  std::vector<std::string> dirs;
  std::istringstream in(path ? path : "");
  for (std::string d; std::getline(in, d, ':');) dirs.push_back(d.empty() ? "." : d);
  for (const char* name : names)
    for (const std::string& d : dirs) {
      const std::filesystem::path p = std::filesystem::path(d) / name;
      if (::access(p.c_str(), X_OK) == 0 && !std::filesystem::is_directory(p)) return p.string();
    }
  return "";
}

long ProcessId() { return static_cast<long>(::getpid()); }

}  // namespace nel::platform
