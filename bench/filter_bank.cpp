// Speed of the waveform filter bank: WaveFilte plus GetWaveFilteResult on
// blocks of 27 frames (one processing pass), for the DETECT_ALL and
// DETECT_BRA_ANK wave lists, against a plain reference kernel in this program
// (nel::dsp::PlainFilterBank: the same chains, one output at a time, one tap
// at a time).
//
// Before timing, the program checks that the bank's double-precision filter
// outputs equal the plain kernel's within 1e-12 of the signal's scale, and
// reports how far the stored single-precision results moved. After timing it
// prints, for each wave list, times real time (seconds of data filtered per
// second of processor time) and the speed ratio to the plain kernel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/category_layout.h>
#include "dsp/filter_design.h"
#include "dsp/fir_filter.h"
#include "dsp/plain_filter_bank.h"
#include "dsp/symmetric_fir.h"

namespace {

using nel::dsp::FirFilter;
using nel::dsp::PlainFilterBank;

constexpr int kBlock = 27;          // frames per processing pass
constexpr int kInputFrames = 8100;  // 8.1 s of data, cycled

// Frame-major input resembling the unit's: ECG and PCG in display units, pulse waves in mmHg.
std::vector<float> MakeInput(int width, int frames) {
  std::vector<float> x(static_cast<std::size_t>(width) * frames);
  unsigned r = 1;
  for (int f = 0; f < frames; ++f)
    for (int s = 0; s < width; ++s) {
      r = r * 1664525u + 1013904223u;
      const double t = f / 1000.0;
      const double noise = static_cast<double>(r >> 8) / 16777216.0 - 0.5;
      x[f * width + s] = static_cast<float>(60.0 + 10.0 * s + 5.0 * std::sin(2 * M_PI * 1.2 * t + s) +
                                            0.5 * std::sin(2 * M_PI * 50.0 * t) + noise);
    }
  return x;
}

nel::link::CategoryLayout Layout(int category) {
  nel::link::CategoryLayout layout;
  nel::link::LayoutForCategory(category, layout);
  return layout;
}

// macs: the multiply-adds of one frame (the plain kernel's count; the fast
// bank does the same arithmetic).
template <class Bank>
void Run(benchmark::State& state, Bank& bank, int width, long macs) {
  const auto input = MakeInput(width, kInputFrames);
  std::vector<float> block(static_cast<std::size_t>(width) * kBlock), low(block.size());
  int frame = 0;
  for (auto _ : state) {
    std::copy_n(&input[static_cast<std::size_t>(frame) * width], block.size(), block.begin());
    bank.WaveFilte(block.data(), static_cast<short>(kBlock));
    bank.GetWaveFilteResult(block.data(), low.data(), static_cast<short>(kBlock));
    benchmark::DoNotOptimize(block.data());
    benchmark::DoNotOptimize(low.data());
    frame = (frame + kBlock) % kInputFrames;
  }
  // Seconds of data per second of processor time.
  state.counters["x_real_time"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / 1000.0, benchmark::Counter::kIsRate);
  state.counters["multiply_adds_per_s"] = benchmark::Counter(
      static_cast<double>(state.iterations()) * kBlock * static_cast<double>(macs), benchmark::Counter::kIsRate);
}

long MacsPerFrame(const nel::link::CategoryLayout& layout) {
  PlainFilterBank plain(DATAPROCESS_STANDARD);
  plain.SetWaveNumType(layout.waveCount, layout.waves);
  return plain.TapsPerFrame();
}

void BM_FilterBank(benchmark::State& state) {
  const auto layout = Layout(static_cast<int>(state.range(0)));
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(layout.waveCount, layout.waves);
  Run(state, bank, layout.waveCount, MacsPerFrame(layout));
}

void BM_PlainKernel(benchmark::State& state) {
  const auto layout = Layout(static_cast<int>(state.range(0)));
  PlainFilterBank bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(layout.waveCount, layout.waves);
  Run(state, bank, layout.waveCount, bank.TapsPerFrame());
}

BENCHMARK(BM_FilterBank)->Arg(DETECT_ALL)->Arg(DETECT_BRA_ANK)->ArgName("category");
BENCHMARK(BM_PlainKernel)->Arg(DETECT_ALL)->Arg(DETECT_BRA_ANK)->ArgName("category");

// Equality check of the fast bank with the plain kernel, before any timing.
bool CheckAgainstPlainKernel() {
  // Double-precision filter outputs of one pulse wave's three low-passes.
  const auto w = nel::dsp::LowpassTaps(2001, 0.022), b = nel::dsp::LowpassTaps(2001, 0.0003),
             n = nel::dsp::LowpassTaps(2001, 0.005);
  nel::dsp::SymmetricFirGroup group{w, b, n};
  FirFilter plain[3] = {FirFilter(w), FirFilter(b), FirFilter(n)};
  const auto input = MakeInput(1, 6000);
  double scale = 0.0, worst = 0.0;
  for (float v : input) scale = std::max(scale, std::fabs(static_cast<double>(v)));
  for (int f = 0; f < 6000; f += kBlock) {
    double x[kBlock];
    const int count = std::min(kBlock, 6000 - f);
    for (int j = 0; j < count; ++j) x[j] = input[f + j];
    group.Process(x, static_cast<std::size_t>(count));
    for (int j = 0; j < count; ++j)
      for (int k = 0; k < 3; ++k) worst = std::max(worst, std::fabs(group.Output(k)[j] - plain[k].StepPlain(x[j])));
  }
  const double relative = worst / scale;

  // Stored single-precision results of the whole bank (DETECT_ALL).
  const auto layout = Layout(DETECT_ALL);
  const int width = layout.waveCount;
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(layout.waveCount, layout.waves);
  PlainFilterBank reference(DATAPROCESS_STANDARD);
  reference.SetWaveNumType(layout.waveCount, layout.waves);
  const auto frames = MakeInput(width, 6000);
  std::vector<float> a(frames), la(frames.size()), r(frames), lr(frames.size());
  for (int f = 0; f < 6000; f += kBlock) {
    const int count = std::min(kBlock, 6000 - f);
    const std::size_t at = static_cast<std::size_t>(f) * width;
    bank.WaveFilte(&a[at], static_cast<short>(count));
    bank.GetWaveFilteResult(&a[at], &la[at], static_cast<short>(count));
    reference.WaveFilte(&r[at], count);
    reference.GetWaveFilteResult(&r[at], &lr[at], count);
  }
  std::size_t differing = 0;
  double worst_result = 0.0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const double d = std::max(std::fabs(a[i] - r[i]), std::fabs(la[i] - lr[i]));
    if (d != 0.0) ++differing;
    worst_result = std::max(worst_result, d);
  }
  std::printf("kernel: %s\n", nel::dsp::SymmetricFirGroup::KernelTarget());
  std::printf("check: max |fast - plain| of the double filter outputs = %.3g of the signal scale %.1f\n", relative,
              scale);
  std::printf("check: stored results differing from the plain kernel: %zu of %zu, by at most %.3g\n", differing,
              a.size() * 2, worst_result);
  return relative <= 1e-12;
}

// Console output plus a summary of each wave list's ratio to the plain kernel.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& run : runs) {
      if (run.run_type != Run::RT_Iteration || run.error_occurred) continue;
      const auto it = run.counters.find("x_real_time");
      results_[run.benchmark_name()] = {run.GetAdjustedCPUTime(), it == run.counters.end() ? 0.0 : it->second.value};
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Summary() const {
    for (const auto& [name, category] : {std::pair<const char*, int>{"DETECT_ALL", DETECT_ALL},
                                         std::pair<const char*, int>{"DETECT_BRA_ANK", DETECT_BRA_ANK}}) {
      const std::string arg = "/category:" + std::to_string(category);
      const auto fast = results_.find("BM_FilterBank" + arg);
      const auto plain = results_.find("BM_PlainKernel" + arg);
      if (fast == results_.end() || plain == results_.end()) continue;
      std::printf("%-15s filter bank %8.0f x real time, plain kernel %6.1f x real time, ratio %.1f\n", name,
                  fast->second.second, plain->second.second, plain->second.first / fast->second.first);
    }
  }

 private:
  std::map<std::string, std::pair<double, double>> results_;  // cpu time per iteration, x real time
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  if (!CheckAgainstPlainKernel()) {
    std::printf("FAILED: the filter bank differs from the plain kernel by more than 1e-12\n");
    return 1;
  }
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Summary();
  benchmark::Shutdown();
  return 0;
}
