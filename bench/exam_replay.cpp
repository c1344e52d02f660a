// A whole exam session replayed through nelctl, the library and the serial
// path (a pseudo-terminal), as `nelctl exam --replay` runs it: signal check,
// four cuffs measured, hold, the 15 s wave record, analysis, the session's
// files and report. The session is recorded once on the virtual unit; each
// iteration replays it into a fresh folder. Pinned, with its children, to one
// core. Counter: times real time (the unit's time of the session / wall time).
//
//   bench_exam_replay [--benchmark_repetitions=N]
#include <benchmark/benchmark.h>

#include <sched.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nel/link/stream_log.h>
#include "platform/process.h"

namespace {

namespace fs = std::filesystem;

// nelctl with `args`, its output dropped; its exit status, -1 when it did not end by itself.
int Run(const std::vector<std::string>& args) {
  std::vector<std::string> argv{NELCTL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  const nel::platform::ProgramRun run = nel::platform::RunProgram(argv, "");
  return run.started ? run.exitCode : -1;
}

// The unit's time of a recorded session: the data frames it holds (19 bytes each, 1000 a second).
double SessionSeconds(const fs::path& stream) {
  std::vector<nel::link::StreamRecord> records;
  std::string error;
  if (!nel::link::ReadStreamLog(stream.string(), records, error)) return 0.0;
  double bytes = 0;
  for (const auto& r : records)
    if (r.kind == 'U') bytes += r.count;
  return bytes / 19.0 / 1000.0;
}

void BM_ExamReplay(benchmark::State& state) {
  cpu_set_t one;
  CPU_ZERO(&one);
  CPU_SET(0, &one);
  sched_setaffinity(0, sizeof one, &one);
  const fs::path dir = fs::temp_directory_path() / ("bench_exam_replay_" + std::to_string(nel::platform::ProcessId()));
  fs::remove_all(dir);
  if (Run({"exam", "--simulate", "--speed", "20", "--out", (dir / "session").string()}) != 0) {
    state.SkipWithError("the exam on the virtual unit failed");
    return;
  }
  const double seconds = SessionSeconds(dir / "session" / "stream.nelraw");
  double wall = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    const int rc = Run({"exam", "--replay", (dir / "session").string(), "--out", (dir / "replay").string()});
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (rc != 0) {
      state.SkipWithError("the replay failed or gave other results");
      break;
    }
  }
  state.counters["session_s"] = seconds;
  state.counters["x_real_time"] = wall > 0 ? seconds * static_cast<double>(state.iterations()) / wall : 0.0;
  fs::remove_all(dir);
}
BENCHMARK(BM_ExamReplay)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
