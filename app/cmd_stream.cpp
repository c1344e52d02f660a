// nelctl stream: opens the unit, starts sampling with the coefficients read
// from it, shows frames per second, the six pressures and the raw waves once a
// second, and writes every frame to CSV when asked.
#include <cstdio>
#include <memory>
#include <string>

#include <nel/nel.h>
#include <nel/platform/port_names.h>
#include "commands.h"
#include "host_loop.h"
#include "simulate.h"
#include "unit_check.h"

namespace {

struct StreamOptions {
  int port = 0;         // 0: search
  double seconds = -1;  // < 0: until interrupted
  std::string csv;
  bool fastDrain = false;
  bool json = false;
  nelctl::SimulateOptions sim;
};

struct CsvFile {
  std::FILE* f = nullptr;
  ~CsvFile() {
    if (f) std::fclose(f);
  }
};

// Opens the CSV file and writes its column names.
void OpenCsv(CsvFile& csv, const std::string& path) {
  csv.f = std::fopen(path.c_str(), "w");
  if (!csv.f) throw nelctl::Failure("cannot write " + path, nelctl::kStatusFailure);
  std::fprintf(csv.f,
               "frame,ecg,pcg,rbra,lbra,rank,lank,rtoe,ltoe,"
               "p_rbra,p_lbra,p_rank,p_lank,p_rtoe,p_ltoe\n");
}

// One CSV row per frame, numbered from `index` on.
void WriteCsvRows(std::FILE* f, const tagSAM_DATA* frames, int n, long long& index) {
  for (int i = 0; i < n; ++i, ++index) {
    const tagSAM_DATA& s = frames[i];
    std::fprintf(f, "%lld,%d,%d,%d,%d,%d,%d,%d,%d,%.3f,%.3f,%.3f,%.3f,%.3f,%.3f\n", index, s.Wave[0], s.Wave[1],
                 s.Wave[2], s.Wave[3], s.Wave[4], s.Wave[5], s.Wave[6], s.Wave[7], static_cast<double>(s.Pressure[0]),
                 static_cast<double>(s.Pressure[1]), static_cast<double>(s.Pressure[2]),
                 static_cast<double>(s.Pressure[3]), static_cast<double>(s.Pressure[4]),
                 static_cast<double>(s.Pressure[5]));
  }
}

// The coefficient set sampling started with, in the running report and the summary.
void ReportCoefficients(const TnelHardCtl& ctl, std::FILE* text, nlohmann::json& result) {
  std::fprintf(text, "coefficients:");
  result["coefficients"] = nlohmann::json::array();
  for (const auto& c : ctl.ADForceCoeff) {
    std::fprintf(text, " %.9g/%.9g", static_cast<double>(c.Slope), static_cast<double>(c.Offset));
    result["coefficients"].push_back({{"slope", c.Slope}, {"offset", c.Offset}});
  }
  std::fprintf(text, "\n");
  std::fflush(text);
}

// The once-a-second line: frames per second, the six pressures and the raw waves of the last frame.
void PrintSecond(std::FILE* text, long long fps, const tagSAM_DATA& last) {
  std::fprintf(text, "fps %lld | mmHg %.1f %.1f %.1f %.1f %.1f %.1f | ecg %d pcg %d | pulse %d %d %d %d %d %d\n", fps,
               static_cast<double>(last.Pressure[0]), static_cast<double>(last.Pressure[1]),
               static_cast<double>(last.Pressure[2]), static_cast<double>(last.Pressure[3]),
               static_cast<double>(last.Pressure[4]), static_cast<double>(last.Pressure[5]), last.Wave[0], last.Wave[1],
               last.Wave[2], last.Wave[3], last.Wave[4], last.Wave[5], last.Wave[6], last.Wave[7]);
  std::fflush(text);
}

// Closes the unit after the loop ended, then the summary. A lost unit, and an
// interruption with --seconds, end with a Failure carrying the summary.
void EndStream(const StreamOptions& opt, TnelHardCtl& ctl, nelctl::HostLoop& loop, nelctl::HostLoop::End end,
               const std::string& where, nlohmann::json& result) {
  if (end == nelctl::HostLoop::End::kDeviceLost) {
    ctl.CloseCom();
    result["frames"] = loop.Frames();
    throw nelctl::Failure(
        "the unit on port " + where + " disappeared after " + std::to_string(loop.Frames()) + " frames",
        nelctl::kStatusDeviceLost, result);
  }
  ctl.StopADSample();
  loop.Drain();
  ctl.CloseCom();
  result["frames"] = loop.Frames();
  // Without --seconds an interruption is the way to end the stream.
  if (end == nelctl::HostLoop::End::kInterrupted && opt.seconds >= 0)
    throw nelctl::Failure("interrupted after " + std::to_string(loop.Frames()) + " frames", nelctl::kStatusInterrupted,
                          result);
  if (opt.json) {
    if (!opt.csv.empty()) result["csv"] = opt.csv;
    nelctl::PrintJson("stream", result);
  } else {
    std::printf("frames %lld\n", loop.Frames());
  }
}

void Stream(const StreamOptions& opt) {
  // With --simulate the virtual unit serves behind port 1, where the search finds it.
  const auto sim = nelctl::StartSimulation(opt.sim);
  const int port = nelctl::FindPort(opt.port);
  const nelctl::UnitVersion v = nelctl::ReadUnitVersion(port);
  const std::string where = nelctl::DescribePort(port);
  // With --json the running report goes to stderr, the summary alone to stdout.
  std::FILE* const text = opt.json ? stderr : stdout;
  nlohmann::json result = {{"port", port},
                           {"device", nel::platform::PortDevicePath(port)},
                           {"firmware", std::to_string(v.a) + "." + std::to_string(v.b) + "." + std::to_string(v.c)}};

  CsvFile csv;
  if (!opt.csv.empty()) OpenCsv(csv, opt.csv);

  TnelHardCtl ctl;
  if (!ctl.SetComPortNo(port)) throw nelctl::Failure("port " + where + " is busy", nelctl::kStatusBusy);
  std::fprintf(text, "unit on port %d %s, firmware %u.%u.%u\n", port, where.c_str(), v.a, v.b, v.c);
  std::fflush(text);

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
        WriteCsvRows(csv.f, frames, n, index);
      },
      opt.fastDrain);

  // The reply waits of StartADSample pump this thread's queue: the loop's timer unpacks the replies.
  ctl.StartADSample(true);
  ReportCoefficients(ctl, text, result);

  const int durationMs = opt.seconds < 0 ? -1 : static_cast<int>(opt.seconds * 1000.0);
  const auto end = loop.Run(durationMs, [&] {
    const long long fps = loop.Frames() - lastSecondFrames;
    lastSecondFrames = loop.Frames();
    PrintSecond(text, fps, last);
  });
  EndStream(opt, ctl, loop, end, where, result);
}

void Setup(CLI::App& program) {
  auto opt = std::make_shared<StreamOptions>();
  auto* cmd = program.add_subcommand("stream", "Stream sample frames from the unit");
  cmd->add_option("--seconds", opt->seconds, "How long to stream (default: until interrupted)")
      ->check(CLI::NonNegativeNumber);
  cmd->add_option("--csv", opt->csv, "Write every frame to this CSV file");
  cmd->add_flag("--fast-drain", opt->fastDrain, "Drain the stream in tight passes (units faster than real time)");
  cmd->add_flag("--json", opt->json, "Print a summary as JSON at the end (the running report goes to stderr)");
  nelctl::AddSimulateOptions(cmd, opt->sim);
  nelctl::AddPortOption(cmd, opt->port);
  cmd->callback([opt] {
    // A unit faster than real time needs passes back to back.
    if (opt->sim.on && opt->sim.speed > 1.0) opt->fastDrain = true;
    Stream(*opt);
  });
}

nelctl::NelctlCommand registered("stream", &Setup);

}  // namespace
