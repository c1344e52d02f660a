// Speed of the ECG beat analyser: ProcessSample over a real recording (the
// first lead of MIT-BIH record 100, resampled to 1000 samples/s by linear
// interpolation and converted to the unit's counts), from Reset, with a
// conclusion running as the CVRR analysis does. Reported as samples per
// second and as times real time (seconds of ECG analysed per second).
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "../tools/mitbih_record.h"
#include "dsp/ecg_analyser.h"

namespace {

constexpr size_t kSeconds = 600;  // 10 minutes of the record per iteration

const std::vector<int16_t>& Record100() {
  static const std::vector<int16_t> samples = [] {
    std::vector<int16_t> out;
    nel::mitbih::Record rec;
    std::string error;
    if (!nel::mitbih::ReadRecord(std::string(NEL_SHARED_DATA_DIR) + "/mitdb", "100", rec, error)) return out;
    const size_t n = std::min(rec.lead0.size(), static_cast<size_t>(kSeconds * rec.rate));
    std::vector<float> mv(n);
    for (size_t i = 0; i < n; ++i) mv[i] = static_cast<float>((rec.lead0[i] - rec.info[0].baseline) / rec.info[0].gain);
    for (float v : nel::mitbih::ResampleLinear(mv, rec.rate, 1000.0)) out.push_back(nel::mitbih::ToUnitCounts(v));
    return out;
  }();
  return samples;
}

void BM_EcgAnalyserProcessSample(benchmark::State& state) {
  const auto& samples = Record100();
  if (samples.empty()) {
    state.SkipWithError("record 100 not found under " NEL_SHARED_DATA_DIR "/mitdb");
    return;
  }
  auto analyser = std::make_unique<nel::dsp::EcgAnalyser>();
  int64_t beats = 0;
  for (auto _ : state) {
    analyser->Reset();
    analyser->StartConclusion();
    nel::dsp::EcgBeatRecord beat{};
    int16_t rate = 0;
    for (int16_t s : samples) beats += analyser->ProcessSample(s, &beat, &rate);
    int32_t mean = 0;
    benchmark::DoNotOptimize(analyser->GetConclusion(&mean));
    benchmark::DoNotOptimize(rate);
  }
  const double n = static_cast<double>(samples.size());
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * n));
  state.counters["x_real_time"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * n / 1000.0, benchmark::Counter::kIsRate);
  state.counters["beats_per_pass"] = static_cast<double>(beats) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_EcgAnalyserProcessSample)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
