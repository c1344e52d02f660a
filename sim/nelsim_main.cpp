// nelsim: the virtual acquisition unit as a program of its own.
//
//   nelsim run [--subject FILE] [--speed X] [--truth FILE] [--port N]
//              [--link-dir DIR] [--seconds S]
//   nelsim replay SESSION [--speed X] [--port N] [--link-dir DIR] [--seconds S]
//
// replay serves a recorded exam session (its stream.nelraw, or a stream file)
// back: the received bytes at their recorded times divided by --speed (0: as
// fast as the line takes them), each of the host's writes awaited and
// compared; it prints how many writes matched when it ends.
//
// Prints the device and the port number. A host in another process reaches
// the unit with NEL_COM<N>=<device>, or with NEL_PORT_DIR=<DIR> when --link-dir
// is given. Runs until interrupted (or for S seconds of wall time); the ground
// truth is written to --truth on SIGUSR1 and at the end.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "replay_server.h"
#include "unit_server.h"

namespace {

volatile std::sig_atomic_t g_stop = 0;
volatile std::sig_atomic_t g_truth = 0;

void OnStop(int) { g_stop = 1; }
void OnTruth(int) { g_truth = 1; }

bool WriteTruth(nel::sim::UnitServer& server, const std::string& path) {
  std::ofstream out(path, std::ios::trunc);
  out << server.GroundTruth().dump(1) << "\n";
  return static_cast<bool>(out);
}

int Replay(const std::string& session, double speed, int port, const std::string& linkDir, double seconds) {
  std::string path = session, err;
  if (std::filesystem::is_directory(path)) path = (std::filesystem::path(path) / "stream.nelraw").string();
  std::vector<nel::sim::ReplayEvent> events;
  if (!nel::sim::LoadReplay(path, events, &err)) {
    std::fprintf(stderr, "nelsim: %s\n", err.c_str());
    return 2;
  }
  nel::sim::ReplayServer::Options opt;
  opt.port = port;
  opt.link_dir = linkDir;
  opt.speed = speed;
  nel::sim::ReplayServer server(std::move(events), opt);
  if (!server.Start(&err)) {
    std::fprintf(stderr, "nelsim: %s\n", err.c_str());
    return 1;
  }
  std::printf("nelsim: replaying %s on %s, port %d (COM%d); host: NEL_COM%d=%s%s%s\n", path.c_str(),
              server.DevicePath().c_str(), port, port, port, server.DevicePath().c_str(),
              linkDir.empty() ? "" : " or NEL_PORT_DIR=", linkDir.c_str());
  std::fflush(stdout);
  const auto t0 = std::chrono::steady_clock::now();
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() >= seconds) break;
  }
  const nel::sim::ReplayServer::Stats st = server.GetStats();
  server.Stop();
  std::printf("nelsim: %s; host writes %zu as recorded, %zu different\n",
              st.finished ? "the whole session was served" : "stopped before the session's end", st.writes_matched,
              st.writes_different);
  return 0;
}

int Serve(const std::string& subject, const std::string& truth, const std::string& link_dir, double speed, int port,
          double seconds) {
  nel::sim::SubjectConfig cfg;
  std::string err;
  if (!subject.empty() && !nel::sim::LoadSubjectFile(subject, cfg, &err)) {
    std::fprintf(stderr, "nelsim: %s\n", err.c_str());
    return 2;
  }
  nel::sim::UnitServer::Options opt;
  opt.speed = speed;
  opt.port = port;
  opt.link_dir = link_dir;
  nel::sim::UnitServer server(cfg, opt);
  if (!server.Start(&err)) {
    std::fprintf(stderr, "nelsim: %s\n", err.c_str());
    return 1;
  }
  std::signal(SIGUSR1, OnTruth);
  std::printf("nelsim: unit on %s, port %d (COM%d); host: NEL_COM%d=%s%s%s\n", server.DevicePath().c_str(), port, port,
              port, server.DevicePath().c_str(), link_dir.empty() ? "" : " or NEL_PORT_DIR=", link_dir.c_str());
  std::fflush(stdout);
  const auto t0 = std::chrono::steady_clock::now();
  std::string last_path = server.DevicePath();
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (g_truth) {
      g_truth = 0;
      if (!truth.empty() && !WriteTruth(server, truth))
        std::fprintf(stderr, "nelsim: cannot write %s\n", truth.c_str());
    }
    const std::string path = server.DevicePath();
    if (path != last_path && !path.empty()) {
      std::printf("nelsim: line reopened on %s (NEL_COM%d=%s)\n", path.c_str(), port, path.c_str());
      std::fflush(stdout);
    }
    if (!path.empty()) last_path = path;
    if (seconds > 0 && std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() >= seconds) break;
  }
  if (!truth.empty() && !WriteTruth(server, truth)) std::fprintf(stderr, "nelsim: cannot write %s\n", truth.c_str());
  server.Stop();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"nelsim: virtual acquisition unit on a pseudo-terminal"};
  app.require_subcommand(1);
  auto* run = app.add_subcommand("run", "Serve a virtual unit until interrupted");
  std::string subject, truth, link_dir;
  double speed = 1.0, seconds = 0.0;
  int port = 1;
  run->add_option("--subject", subject, "Subject file (JSON)")->check(CLI::ExistingFile);
  run->add_option("--speed", speed, "Virtual time per real time")->check(CLI::Range(0.01, 1000.0));
  run->add_option("--truth", truth, "Ground-truth JSON written on SIGUSR1 and at exit");
  run->add_option("--port", port, "Port number to put the unit behind")->check(CLI::Range(1, 149));
  run->add_option("--link-dir", link_dir, "Folder for a COM<port> link (use as NEL_PORT_DIR)");
  run->add_option("--seconds", seconds, "Stop after this many seconds of wall time (0: never)");
  auto* replay = app.add_subcommand("replay", "Serve a recorded session back until interrupted");
  std::string session;
  double replaySpeed = 1.0;
  replay->add_option("session", session, "session folder or stream file")->required()->check(CLI::ExistingPath);
  replay->add_option("--speed", replaySpeed, "Recorded time per real time (0: as fast as the line goes)")
      ->check(CLI::Range(0.0, 1000.0));
  replay->add_option("--port", port, "Port number to put the unit behind")->check(CLI::Range(1, 149));
  replay->add_option("--link-dir", link_dir, "Folder for a COM<port> link (use as NEL_PORT_DIR)");
  replay->add_option("--seconds", seconds, "Stop after this many seconds of wall time (0: never)");
  CLI11_PARSE(app, argc, argv);
  std::signal(SIGINT, OnStop);
  std::signal(SIGTERM, OnStop);
  if (replay->parsed()) return Replay(session, replaySpeed, port, link_dir, seconds);

  return Serve(subject, truth, link_dir, speed, port, seconds);
}
