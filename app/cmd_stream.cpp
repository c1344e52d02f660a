// nelctl stream: opens the unit, starts sampling with the coefficients read
// from it, shows frames per second, the six pressures and the raw waves once a
// second, and writes every frame to CSV when asked.
#include <cstdio>
#include <memory>
#include <string>

#include "commands.h"
#include "host_loop.h"
#include "nel/nel.h"
#include "simulate.h"
#include "unit_check.h"

namespace {

struct StreamOptions {
  int port = 0;          // 0: search
  double seconds = -1;   // < 0: until interrupted
  std::string csv;
  bool fastDrain = false;
  nelctl::SimulateOptions sim;
};

struct CsvFile {
  std::FILE* f = nullptr;
  ~CsvFile() {
    if (f) std::fclose(f);
  }
};

void Stream(const StreamOptions& opt) {
  // With --simulate the virtual unit serves behind port 1, where the search finds it.
  const auto sim = nelctl::StartSimulation(opt.sim);
  TnelHardCtl ctl;
  int port = opt.port;
  if (port == 0) {
    port = ctl.CheckQX7700BComPortNo(0x80);
    if (port < 0) throw nelctl::Failure("no unit answers on ports 1 to 149", nelctl::kStatusNoUnit);
  }
  const nelctl::UnitVersion v = nelctl::ReadUnitVersion(port);
  const std::string where = nelctl::DescribePort(port);

  CsvFile csv;
  if (!opt.csv.empty()) {
    csv.f = std::fopen(opt.csv.c_str(), "w");
    if (!csv.f) throw nelctl::Failure("cannot write " + opt.csv, 1);
    std::fprintf(csv.f,
                 "frame,ecg,pcg,rbra,lbra,rank,lank,rtoe,ltoe,"
                 "p_rbra,p_lbra,p_rank,p_lank,p_rtoe,p_ltoe\n");
  }

  if (!ctl.SetComPortNo(port)) throw nelctl::Failure("port " + where + " is busy", nelctl::kStatusBusy);
  std::printf("unit on port %d %s, firmware %u.%u.%u\n", port, where.c_str(), v.a, v.b, v.c);
  std::fflush(stdout);

  long long index = 0;
  tagSAM_DATA last{};
  long long lastSecondFrames = 0;
  nelctl::HostLoop loop(
      ctl,
      [&](const tagSAM_DATA* frames, int n) {
        last = frames[n - 1];
        if (!csv.f) {
          index += n;
          return;
        }
        for (int i = 0; i < n; ++i, ++index) {
          const tagSAM_DATA& s = frames[i];
          std::fprintf(csv.f, "%lld,%d,%d,%d,%d,%d,%d,%d,%d,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f\n", index, s.Wave[0],
                       s.Wave[1], s.Wave[2], s.Wave[3], s.Wave[4], s.Wave[5], s.Wave[6], s.Wave[7],
                       static_cast<double>(s.Pressure[0]), static_cast<double>(s.Pressure[1]),
                       static_cast<double>(s.Pressure[2]), static_cast<double>(s.Pressure[3]),
                       static_cast<double>(s.Pressure[4]), static_cast<double>(s.Pressure[5]));
        }
      },
      opt.fastDrain);

  // The reply waits of StartADSample pump this thread's queue: the loop's timer unpacks the replies.
  ctl.StartADSample(true);
  std::printf("coefficients:");
  for (const auto& c : ctl.ADForceCoeff)
    std::printf(" %.9g/%.9g", static_cast<double>(c.Slope), static_cast<double>(c.Offset));
  std::printf("\n");
  std::fflush(stdout);

  const int durationMs = opt.seconds < 0 ? -1 : static_cast<int>(opt.seconds * 1000.0);
  const auto end = loop.Run(durationMs, [&] {
    const long long fps = loop.Frames() - lastSecondFrames;
    lastSecondFrames = loop.Frames();
    std::printf("fps %lld | mmHg %.1f %.1f %.1f %.1f %.1f %.1f | ecg %d pcg %d | pulse %d %d %d %d %d %d\n", fps,
                static_cast<double>(last.Pressure[0]), static_cast<double>(last.Pressure[1]),
                static_cast<double>(last.Pressure[2]), static_cast<double>(last.Pressure[3]),
                static_cast<double>(last.Pressure[4]), static_cast<double>(last.Pressure[5]), last.Wave[0],
                last.Wave[1], last.Wave[2], last.Wave[3], last.Wave[4], last.Wave[5], last.Wave[6], last.Wave[7]);
    std::fflush(stdout);
  });

  if (end == nelctl::HostLoop::End::kDeviceLost) {
    ctl.CloseCom();
    throw nelctl::Failure("the unit on port " + where + " disappeared after " + std::to_string(loop.Frames()) +
                              " frames",
                          nelctl::kStatusDeviceLost);
  }
  ctl.StopADSample();
  loop.Drain();
  ctl.CloseCom();
  std::printf("frames %lld\n", loop.Frames());
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<StreamOptions>();
  auto* cmd = program.add_subcommand("stream", "Stream sample frames from the unit");
  cmd->add_option("--port", opt->port, "Port number 1 to 149 (default: search)")->check(CLI::Range(1, 149));
  cmd->add_option("--seconds", opt->seconds, "How long to stream (default: until interrupted)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--csv", opt->csv, "Write every frame to this CSV file");
  cmd->add_flag("--fast-drain", opt->fastDrain, "Drain the stream in tight passes (units faster than real time)");
  nelctl::AddSimulateOptions(cmd, opt->sim);
  cmd->callback([opt] {
    // A unit faster than real time needs passes back to back.
    if (opt->sim.on && opt->sim.speed > 1.0) opt->fastDrain = true;
    Stream(*opt);
  });
}

nelctl::NelctlCommand registered("stream", &Setup);

}  // namespace
