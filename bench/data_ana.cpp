// Waveform analysis of a 15 s wave record with six waves (ECG, PCG, four
// pulse waves) at 75 beats a minute. The counter "x_realtime" is seconds of
// record analysed per second.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include <nel/analysis/data_ana.h>

namespace {

constexpr int32_t kLen = 15000;
const tagTYPE_NEL_WAVEDATA kKinds[6] = {WAVE_ECG, WAVE_PCG, WAVE_RBRA, WAVE_LBRA, WAVE_RANK, WAVE_LANK};

double Pulse(double tau) {
  if (tau < 0) return 0.0;
  if (tau < 0.12) return 0.5 * (1.0 - std::cos(M_PI * tau / 0.12));
  if (tau < 0.30) return 1.0 - 0.5 * std::pow((tau - 0.12) / 0.18, 2);
  if (tau < 0.38) {
    const double u = tau - 0.30;
    return 0.5 - u / 0.18 + 167.0 * u * u - 1102.4 * u * u * u;
  }
  return 0.56 * std::exp(-std::pow((tau - 0.38) / 0.4, 2));
}

std::vector<tagSAVE_WAVEDATA> MakeRecord() {
  std::vector<tagSAVE_WAVEDATA> rec(kLen);
  std::memset(rec.data(), 0, rec.size() * sizeof rec[0]);
  const double footDelay[4] = {0.100, 0.105, 0.200, 0.210};
  for (int32_t i = 0; i < kLen; ++i) {
    double ecg = 0, pcg = 0, pulse[4] = {60, 60, 60, 60};
    for (int32_t R = 300; R < kLen; R += 800) {
      const double t = (i - R) / 1000.0;
      if (std::fabs(t) <= 0.02) ecg += 1.2 * (0.02 - std::fabs(t)) / 0.02;
      for (double s : {0.04, 0.34}) {
        const double u = (t - s) / 0.01;
        pcg += std::exp(-0.5 * u * u) * std::sin(2 * M_PI * 40 * (t - s));
      }
      for (int w = 0; w < 4; ++w) pulse[w] += 40 * Pulse(t - footDelay[w]);
    }
    rec[i].Wave[0] = static_cast<float>(ecg + 0.01 * std::sin(i * 0.37));
    rec[i].Wave[1] = static_cast<float>(pcg + 0.01 * std::sin(i * 1.3));
    for (int w = 0; w < 4; ++w) rec[i].Wave[2 + w] = static_cast<float>(pulse[w]);
  }
  return rec;
}

void Analyse(benchmark::State& state, bool filter) {
  const std::vector<tagSAVE_WAVEDATA> source = MakeRecord();
  std::vector<tagSAVE_WAVEDATA> rec = source;
  const tagLIMBRESULT limbs[4] = {{120, 80, 93}, {118, 78, 91}, {132, 80, 97}, {108, 70, 83}};
  for (auto _ : state) {
    // The filtered analysis replaces the pulse waves: start each run from the recording.
    std::memcpy(rec.data(), source.data(), rec.size() * sizeof rec[0]);
    TnelDataAna ana(6, kKinds, rec.data(), kLen, 1000);
    ana.SetBPData(true, limbs);
    benchmark::DoNotOptimize(ana.Analysis(true, 170, 0.0f, filter));
    benchmark::DoNotOptimize(ana.RightPWV);
  }
  state.counters["x_realtime"] = benchmark::Counter(kLen / 1000.0, benchmark::Counter::kIsIterationInvariantRate);
}

void BM_Analysis15sSixWaves(benchmark::State& state) { Analyse(state, false); }
void BM_Analysis15sSixWavesFiltered(benchmark::State& state) { Analyse(state, true); }

BENCHMARK(BM_Analysis15sSixWaves)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Analysis15sSixWavesFiltered)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
