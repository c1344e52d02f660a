// Runs nelctl as a program, the way a user does, and collects what it prints.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <vector>

extern char** environ;

namespace nelctltest {

struct Result {
  int status = -1;
  std::string out, err;
  double seconds = 0.0;
};

// Runs NELCTL_PATH with `args` in the caller's environment without its NEL_
// variables, plus `env`; killed after `timeout`. When `interruptAfter` is not
// negative, SIGINT is sent once that much time has passed.
inline Result Run(const std::vector<std::string>& args, std::vector<std::string> env, std::chrono::seconds timeout,
                  std::chrono::milliseconds interruptAfter = std::chrono::milliseconds(-1)) {
  using Clock = std::chrono::steady_clock;
  for (char** e = environ; *e; ++e) {
    const std::string s = *e;
    if (s.rfind("NEL_", 0) != 0) env.push_back(s);
  }
  std::vector<std::string> argv{NELCTL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  auto cptrs = [](std::vector<std::string>& v) {
    std::vector<char*> p;
    for (auto& s : v) p.push_back(s.data());
    p.push_back(nullptr);
    return p;
  };
  auto argp = cptrs(argv);
  auto envp = cptrs(env);
  Result r;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return r;
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_adddup2(&fa, out[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err[1], 2);
  pid_t pid = 0;
  const auto start = Clock::now();
  const int rc = posix_spawn(&pid, argv[0].c_str(), &fa, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  close(out[1]);
  close(err[1]);
  if (rc != 0) return r;
  pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
  int open = 2;
  const auto end = start + timeout;
  bool interrupted = interruptAfter.count() < 0;
  while (open > 0 && Clock::now() < end) {
    if (!interrupted && Clock::now() - start >= interruptAfter) {
      kill(pid, SIGINT);
      interrupted = true;
    }
    if (poll(fds, 2, interrupted ? 200 : 10) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      char buf[4096];
      const ssize_t n = read(fds[i].fd, buf, sizeof buf);
      if (n <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      } else {
        (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
      }
    }
  }
  if (open > 0) kill(pid, SIGKILL);
  for (auto& f : fds)
    if (f.fd >= 0) close(f.fd);
  int status = 0;
  waitpid(pid, &status, 0);
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return r;
}

// This program's scratch folder, with an empty "ports" folder for
// NEL_PORT_DIR: the port search meets no real device of this machine.
inline const std::filesystem::path& TempDir() {
  static const std::filesystem::path dir = [] {
    auto p = std::filesystem::temp_directory_path() / ("nelctl_test_" + std::to_string(::getpid()));
    std::filesystem::create_directories(p / "ports");
    return p;
  }();
  return dir;
}

// Runs nelctl with no port of this machine; port 1 is `device` when given.
inline Result RunNelctl(const std::vector<std::string>& args, const std::string& device = "",
                        std::chrono::seconds timeout = std::chrono::seconds(60)) {
  std::vector<std::string> env{"NEL_PORT_DIR=" + (TempDir() / "ports").string()};
  if (!device.empty()) env.push_back("NEL_COM1=" + device);
  return Run(args, env, timeout);
}

}  // namespace nelctltest
