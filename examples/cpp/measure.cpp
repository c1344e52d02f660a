// The smallest useful C++ host, over the C interface (no message loop to run):
// stream ten seconds, measure four cuffs, record and analyse. With no argument
// it serves the built-in virtual unit (speed: NEL_EXAMPLE_SPEED, 1 by default);
// with a port number it uses the unit on that port (0 searches every port).
#include <nel/nel_c.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// Every failure becomes an exception carrying the library's reason.
void Check(nel_result r, const char* what) {
  if (r != NEL_OK) throw std::runtime_error(std::string(what) + ": " + nel_last_error_text());
}

// The handle closes (every pump stopped, every valve opened) whatever happens.
using Device = std::unique_ptr<nel_device, decltype(&nel_close)>;

// Reads frames until `done` holds, for at most ten minutes of the unit's time.
nel_status Until(nel_device* d, bool (*done)(const nel_status&)) {
  std::vector<nel_frame> buf(4096);
  nel_status st{};
  for (int32_t frames = 0, n = 0; frames < 600000; frames += n) {
    Check(nel_wait_frames(d, 5000), "wait");
    Check(nel_read_frames(d, buf.data(), static_cast<int32_t>(buf.size()), &n), "read");
    Check(nel_get_status(d, &st), "status");
    if (done(st)) return st;
  }
  throw std::runtime_error("the mode did not end within ten minutes of the unit's time");
}

}  // namespace

int main(int argc, char** argv) try {
  nel_open_params p;
  nel_open_params_init(&p);
  if (argc > 1) {
    p.port = std::atoi(argv[1]);
  } else {
    p.virtual_unit = 1;
    p.speed = std::getenv("NEL_EXAMPLE_SPEED") ? std::atof(std::getenv("NEL_EXAMPLE_SPEED")) : 1.0;
  }
  nel_device* raw = nullptr;
  Check(nel_open(&p, &raw), "open");
  Device dev(raw, &nel_close);

  // 1. Ten seconds of frames: the range of each cuff's pressure and of the ECG.
  std::vector<nel_frame> frames(10000);
  for (int32_t got = 0, n = 0; got < 10000; got += n) {
    Check(nel_wait_frames(dev.get(), 5000), "stream");
    Check(nel_read_frames(dev.get(), frames.data() + got, 10000 - got, &n), "stream");
  }
  float lo = frames[0].wave[0], hi = lo;
  for (const auto& f : frames) lo = std::min(lo, f.wave[0]), hi = std::max(hi, f.wave[0]);
  std::printf("10 s streamed: frames %llu..%llu, ECG from %.3f to %.3f\n",
              static_cast<unsigned long long>(frames.front().index),
              static_cast<unsigned long long>(frames.back().index), lo, hi);

  // 2. Four cuffs at once.
  const uint8_t four[6] = {1, 1, 1, 1, 0, 0};
  Check(nel_bp_start(dev.get(), 2, 200, four, 0), "measure");
  const nel_status st = Until(dev.get(), [](const nel_status& s) { return s.bp_end != 0; });
  const char* names[] = {"RBra", "LBra", "RAnk", "LAnk"};
  for (int k = 0; k < 4; ++k)
    std::printf("%s  %3d/%3d mmHg  MAP %3d  status %d\n", names[k], st.bp[k].sbp, st.bp[k].dbp, st.bp[k].map,
                st.bp[k].status);

  Check(nel_bp_cancel(dev.get()), "measure");  // the end holds back every other mode until then

  // 3. A record of every wave, analysed with the pressures just measured.
  Check(nel_record_start(dev.get()), "record");
  Until(dev.get(), [](const nel_status& s) { return s.record_end != 0; });
  std::vector<nel_wave_sample> rec(15000);
  int32_t count = 0;
  nel_layout layout;
  Check(nel_record_read(dev.get(), rec.data(), 15000, &count), "record");
  Check(nel_get_layout(dev.get(), &layout), "layout");
  nel_limb_bp limbs[4];
  for (int k = 0; k < 4; ++k) limbs[k] = {st.bp[k].sbp, st.bp[k].dbp, st.bp[k].map};
  nel_analysis_result a;
  Check(nel_analyse_record(dev.get(), layout.waves, std::min(layout.wave_count, 6), rec.data(), count, limbs, 1, 170,
                           0.0f, 0, &a),
        "analyse");
  std::printf("analysis %s: heart rate %d/min, ABI right %.2f left %.2f, PEP %d ms, ET %d ms\n",
              a.result == 0 ? "complete" : "incomplete", a.heart_rate, a.right_abi, a.left_abi, a.pep, a.et);
  return 0;
} catch (const std::exception& e) {
  std::fprintf(stderr, "%s\n", e.what());
  return 1;
}
