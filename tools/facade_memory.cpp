// Resident memory of the library with one façade: the process's VmRSS (from
// /proc/self/status) and the heap in use (mallinfo2) before the façade is
// constructed, after its construction, and after streaming DETECT_ALL from the
// virtual unit (run in this process and stepped by this program, its bytes put
// into the façade's receive ring as the reader thread would).
//
//   facade_memory [SECONDS]   (default 10)
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <nel/control/hard_base.h>
#include <nel/link/sam_thread.h>
#include "sim/stepped_rig.h"
#include "sim/virtual_unit.h"

namespace {

long StatusKiB(const char* key) {
  std::ifstream in("/proc/self/status");
  std::string line;
  const size_t n = std::strlen(key);
  while (std::getline(in, line)) {
    if (line.compare(0, n, key) == 0 && line.size() > n && line[n] == ':') return std::atol(line.c_str() + n + 1);
  }
  return -1;
}

struct Sample {
  long rss = 0, hwm = 0;
  double heapKiB = 0;
};

Sample Take() {
  Sample s;
  s.rss = StatusKiB("VmRSS");
  s.hwm = StatusKiB("VmHWM");
  const struct mallinfo2 m = mallinfo2();
  s.heapKiB = static_cast<double>(m.uordblks + m.hblkhd) / 1024.0;
  return s;
}

void Print(const char* what, const Sample& s, const Sample& base) {
  std::printf("%-32s VmRSS %7ld KiB (%+7ld)  VmHWM %7ld KiB  heap in use %9.1f KiB (%+9.1f)\n", what, s.rss,
              s.rss - base.rss, s.hwm, s.heapKiB, s.heapKiB - base.heapKiB);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (!(seconds > 0.0 && seconds <= 3600.0)) {
    std::fprintf(stderr, "usage: facade_memory [SECONDS]  (0 < SECONDS <= 3600)\n");
    return 2;
  }
  // The unit first, so that its own memory is in the baseline.
  nel::sim::VirtualUnit unit;
  const uint8_t begin = 0x82;
  unit.Receive(&begin, 1);
  unit.Advance(20);
  unit.ConsumeOutput(unit.Output().size());
  const Sample base = Take();
  Print("before construction", base, base);

  auto hb = std::make_unique<TnelHardBase>(0, DATAPROCESS_STANDARD);
  hb->SetDetectCategory(DETECT_ALL);
  nel::sim::UseCoefficients(*hb, unit.ActiveCoefficients());
  Print("after construction", Take(), base);

  std::vector<float> waves(TSamThread::kMaxFramesPerCall * TnelHardBase::kMaxWaves);
  std::vector<float> pressures(TSamThread::kMaxFramesPerCall * TnelHardBase::kMaxCuffs);
  tagHMID_DATA status{};
  long frames = 0;
  const long total = static_cast<long>(seconds * 1000);
  for (long f = 0; f < total; f += 20) {
    unit.Advance(20);
    const std::vector<uint8_t>& out = unit.Output();
    nel::sim::FeedAndDrain(*hb, out.data(), out.size(),
                           [&] { frames += hb->GetData(waves.data(), pressures.data(), &status); });
    unit.ConsumeOutput(out.size());
  }
  char label[64];
  std::snprintf(label, sizeof label, "after %.0f s of streaming", seconds);
  Print(label, Take(), base);
  std::printf("frames processed: %ld of %ld\n", frames, total);
  hb.reset();
  Print("after destruction", Take(), base);
  return frames == total ? 0 : 1;
}
