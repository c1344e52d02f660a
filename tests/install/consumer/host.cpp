// A host built against the installed package, the way a host is built: at the
// compiler's default language level (the package must ask for C++20 itself),
// with common system headers included before ours, so that a macro of theirs
// clashing with a name of ours breaks the build here.
//
//   host                      calls into the library; prints one line
//   host --unit PORT SECONDS  drives the unit on COM<PORT> for SECONDS of the
//                             unit's time; prints one line, status 0 when
//                             frames arrived and the ECG moved

// clang-format off
#include <termios.h>
#include <pty.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <signal.h>
#include <cmath>

#include <nel/nel.h>
// clang-format on

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

static_assert(__cplusplus >= 202002L, "nel::nel and nel.pc must make a host compile as C++20");

namespace {

// Free functions declared in the installed headers: each is called, so the
// link proves it is exported.
bool FreeFunctionsWork() {
  nel::link::CategoryLayout layout;
  if (!nel::link::LayoutForCategory(DETECT_BRA_ANK, layout) || layout.waveCount < 1) return false;
  nel::link::CategoryLayout untouched;
  if (nel::link::LayoutForCategory(DETECT_ALL2 + 1, untouched) || untouched.waveCount != 0) return false;

  const char* pcg = nel::analysis::WaveKindName(WAVE_PCG);
  if (pcg == nullptr || nel::analysis::WaveKindFromName(pcg) != WAVE_PCG) return false;

  nel::analysis::WaveRecordFile written;
  written.kinds = {WAVE_ECG, WAVE_RBRA};
  written.records.resize(3);
  for (size_t i = 0; i < written.records.size(); ++i) {
    written.records[i].Wave[0] = std::ldexp(1.0f, static_cast<int>(i));
    written.records[i].Mark[1] = static_cast<uint8_t>(i + 1);
  }
  std::stringstream stream;
  std::string error;
  nel::analysis::WaveRecordFile read;
  if (!nel::analysis::WriteWaveRecord(stream, written, error) || !nel::analysis::ReadWaveRecord(stream, read, error))
    return false;
  if (read.kinds != written.kinds || read.records.size() != written.records.size()) return false;
  for (size_t i = 0; i < read.records.size(); ++i)
    if (read.records[i].Wave[0] != written.records[i].Wave[0] || read.records[i].Mark[1] != written.records[i].Mark[1])
      return false;

  const std::string missing = "/nonexistent/nel-install-check/record.nelwave";
  if (nel::analysis::WriteWaveRecordFile(missing, written, error)) return false;
  error.clear();
  return !nel::analysis::ReadWaveRecordFile(missing, read, error) && error.find(missing) != std::string::npos;
}

// The records' layouts are checked by the headers' static_asserts, here
// compiled with the host's language level and flags.
int CallTheLibrary() {
  std::printf("GetBPVersion=%u exports=%s\n", static_cast<unsigned>(GetBPVersion()),
              FreeFunctionsWork() ? "ok" : "bad");
  return 0;
}

// Opens the unit on `port`, samples for `unitSeconds` of its time (frames at
// 1000 a second) with the passes running from a timer of the thread's message
// queue, and reports what arrived.
int RunOnUnit(int port, double unitSeconds) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  hb.SetDetectCategory(DETECT_BRA_ANK);
  if (!hb.OpenHardware(0x80, port)) {
    std::printf("no unit on COM%d: %s\n", port, nel::LastErrorText());
    return 1;
  }
  const nel::link::CategoryLayout& layout = hb.Layout();
  int ecg = -1;
  for (int i = 0; i < layout.waveCount; ++i)
    if (layout.waves[i] == WAVE_ECG) ecg = i;

  auto& queue = nel::platform::MessageQueue::Current();
  std::vector<int> raw(TnelHardBase::kBlockFrames * TnelHardBase::kMaxWaves);
  const long long wanted = std::llround(unitSeconds * 1000.0);
  bool sampling = false, timedOut = false;
  long long frames = 0;
  int ecgMin = INT_MAX, ecgMax = INT_MIN;
  const int passes = queue.SetTimer(1, [&] {
    while (hb.CheckData()) {
      const int n = hb.GetData(raw.data());
      if (!sampling) continue;  // replies of StartADSample are being waited for
      for (int i = 0; i < n && ecg >= 0; ++i) {
        ecgMin = std::min(ecgMin, raw[i * layout.waveCount + ecg]);
        ecgMax = std::max(ecgMax, raw[i * layout.waveCount + ecg]);
      }
      frames += n;
      if (frames >= wanted) {
        queue.PostQuit(0);
        return;
      }
    }
    if (sampling && hb.DeviceLost()) queue.PostQuit(1);
  });
  hb.StartADSample(true);
  sampling = true;
  const int wallLimit = queue.SetTimer(static_cast<int>(unitSeconds * 1000.0) + 20000, [&] {
    timedOut = true;
    queue.PostQuit(1);
  });
  queue.Run();
  queue.KillTimer(passes);
  queue.KillTimer(wallLimit);
  const bool lost = hb.DeviceLost();
  hb.CloseHardware();

  const int ecgRange = frames > 0 ? ecgMax - ecgMin : 0;
  std::printf("COM%d: %lld frames (%.1f s of the unit's time), ECG moved %d counts%s%s\n", port, frames,
              static_cast<double>(frames) / 1000.0, ecgRange, timedOut ? ", timed out" : "", lost ? ", unit lost" : "");
  // The unit's ECG swings by hundreds of counts at each R wave; noise by a few.
  return frames >= wanted && ecgRange >= 100 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--unit") return RunOnUnit(std::atoi(argv[2]), std::atof(argv[3]));
  if (argc != 1) {
    std::fprintf(stderr, "usage: host [--unit PORT SECONDS]\n");
    return 2;
  }
  return CallTheLibrary();
}
