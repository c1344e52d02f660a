// Pneumatics, transducers and the subject model, without a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>

#include <nlohmann/json.hpp>

#include "../common/golden.h"
#include "line_decoder.h"
#include "sim/pneumatics.h"
#include "sim/virtual_unit.h"

namespace {

using namespace nel::sim;
using simtest::LineDecoder;

constexpr double kDt = 0.001;

// Runs a line with a still artery for `limit_s` or until `until` holds; returns the time taken.
double Hold(CuffLine& c, double limit_s, const std::function<bool(double)>& until = nullptr) {
  double t = 0;
  for (; t < limit_s && !(until && until(c.Pressure())); t += kDt) c.Step(kDt, 100.0);
  return t;
}

TEST(SimPneumatics, LimbLineFillsRelievesLeaksAndEmpties) {
  SubjectConfig cfg;
  CuffLine c(cfg.cuff[0], cfg.pump);
  c.SetValve(false);
  c.SetPump(6500);
  Hold(c, 60, [](double p) { return p >= 45; });
  const double rate = 10.0 / Hold(c, 60, [](double p) { return p >= 55; });
  EXPECT_GT(rate, 3.0) << "mmHg/s at level 6500";
  EXPECT_LT(rate, 5.0) << "mmHg/s at level 6500";
  EXPECT_TRUE(c.PumpRunning()) << "a limb line pumps until told otherwise";
  c.SetPump(9999);
  double peak = 0;
  for (int i = 0; i < 150000; ++i) {
    c.Step(kDt, 100.0);
    peak = std::max(peak, c.Pressure());
  }
  EXPECT_GT(peak, 300.0) << "a full pump reaches the relief pressure";
  EXPECT_LT(peak, 325.0) << "and never goes far above it";
  // Pump off, valve closed at 150 mmHg: only the small leak.
  c.SetPump(0);
  c.SetValve(true);
  Hold(c, 100, [](double p) { return p <= 150; });
  c.SetValve(false);
  const double p0 = c.Pressure();
  Hold(c, 10);
  EXPECT_GT(p0 - c.Pressure(), 0.2);
  EXPECT_LT(p0 - c.Pressure(), 3.0);
  // An open valve empties the cuff in a few seconds, not at once.
  c.SetValve(true);
  const double t10 = Hold(c, 20, [](double p) { return p < 10; });
  EXPECT_GT(t10, 0.5);
  EXPECT_LT(t10 + Hold(c, 20, [](double p) { return p < 2; }), 5.0);
}

TEST(SimPneumatics, RateBandReachableFrom0To250InsideLevels4500To9500) {
  // The inflation controller aims at lo..hi mmHg/s with lo = 2.5 + 0.5 k,
  // k = P / 50 clamped to 0..5. Some level in 4500..9500 must give a rate
  // inside the band: the lowest level below lo, the highest above it.
  SubjectConfig cfg;
  for (int line : {0, 2}) {
    CuffLine c(cfg.cuff[line], cfg.pump);
    for (int p = 0; p <= 250; p += 10) {
      const double lo = 2.5 + 0.5 * std::min(p / 50, 5);
      auto rate = [&](double level) {
        return (c.PumpFlow(level, p) - cfg.cuff[line].leak_ml_s_mmhg * p) / c.Compliance(p);
      };
      EXPECT_LT(rate(4500), lo) << "line " << line << " at " << p << " mmHg";
      EXPECT_GT(rate(9500), lo + 0.3) << "line " << line << " at " << p << " mmHg";
    }
  }
}

TEST(SimPneumatics, ToeLineBurstsPerCommandAndPlateaus) {
  SubjectConfig cfg;
  cfg.SetToeLines(true);
  CuffLine c(cfg.cuff[2], cfg.pump);
  ASSERT_TRUE(c.IsToe());
  c.SetValve(false);
  double last = 0;
  for (int cmd = 0; cmd < 6; ++cmd) {
    c.SetPump(6000);
    EXPECT_NEAR(Hold(c, 1, [&](double) { return !c.PumpRunning(); }), 0.12, 0.0015) << "a burst ends by itself";
    Hold(c, 0.4);
    const double after = c.Pressure();
    EXPECT_GT(after - last, 1.0) << "command " << cmd;
    EXPECT_LT(after - last, 6.0) << "command " << cmd;
    Hold(c, 2.0);
    EXPECT_NEAR(c.Pressure(), after, 0.3) << "the step holds";
    last = c.Pressure();
  }
}

// Empty cuffs read 0 mmHg with the built-in coefficients, still to a tenth;
// a line held by a reference reads it through its transducer's errors.
TEST(SimTransducers, EmptyCuffsReadZeroAndAReferenceHoldsItsLine) {
  VirtualUnit u;
  u.SetReferencePressure(1, 100.0);
  u.SetTransducerError(1, 0.02, -1.5);
  const LineDecoder d = simtest::Stream(u, 2000);
  ASSERT_EQ(d.packets.size(), 2000u);
  for (int c = 0; c < 4; ++c) {
    double lo = 1e9, hi = -1e9;
    for (const auto& p : d.packets) {
      const double v = simtest::Mmhg(p.t[c], nel::kBuiltInCoeff[c].Slope, nel::kBuiltInCoeff[c].Offset);
      lo = std::min(lo, v);
      hi = std::max(hi, v);
    }
    EXPECT_LT(hi - lo, 0.1) << "transducer " << c;
    EXPECT_NEAR((hi + lo) / 2, c == 1 ? 100.0 * 1.02 - 1.5 : 0.0, 0.06) << "transducer " << c;
  }
  EXPECT_DOUBLE_EQ(u.LinePressure(1), 100.0);
}

// Amplitude of the component at f Hz of samples taken every millisecond.
double AmplitudeAt(const std::vector<double>& x, double f) {
  double re = 0, im = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    re += x[i] * std::cos(2 * M_PI * f * static_cast<double>(i) * kDt);
    im -= x[i] * std::sin(2 * M_PI * f * static_cast<double>(i) * kDt);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(x.size());
}

// Per beat of a subject with a PVC, a couplet, a pause and a bigeminy run: its
// type and R-R, heart sounds and feet after the R peak, the ECG's R peak (as
// sent, mV) and the heart sounds' energy in 40..150 Hz; then the ground truth
// and what mains interference and a stronger baseline wander add to the ECG.
TEST(SimSubject, BeatsAndWavesMatchTheGoldenRecords) {
  SubjectConfig cfg;
  cfg.heart_rate_bpm = 75;
  cfg.hrv_sd = cfg.rsa = 0;
  cfg.pcg.noise = 0;
  cfg.rhythm = {{RhythmEvent::kPvc, 4, 1, 0},
                {RhythmEvent::kCouplet, 8, 1, 0},
                {RhythmEvent::kPause, 13, 1, 2.2},
                {RhythmEvent::kBigeminy, 16, 2, 0}};
  VirtualUnit u(cfg);
  const auto packets = simtest::Stream(u, 24000).packets;
  Physiology ph(cfg);
  ph.Sample(22.0);
  const auto beats = ph.BeatsUntil(22.0);
  std::string text;
  char t[200];
  for (size_t k = 0; k + 1 < beats.size(); ++k) {
    const Beat& b = beats[k];
    const auto at = [](double s) { return static_cast<size_t>(std::lround(s * 1000)); };
    int ecg = 0;
    for (size_t i = at(b.r) - 50; i <= at(b.r) + 50; ++i) ecg = std::max(ecg, packets[i].ecg);
    double in = 0, all = 0;
    for (const double onset : {b.s1, b.s2}) {
      std::vector<double> x;
      for (size_t i = at(onset); i < at(onset) + 100; ++i) x.push_back(packets[i].pcg - 2130.0);
      for (double f = 10; f <= 450; f += 5) (f >= 40 && f <= 150 ? in : all) += std::pow(AmplitudeAt(x, f), 2);
    }
    std::snprintf(t, sizeof t, "beat %c %.4f %.4f %.4f %.4f %.4f %.4f %.3f %.3f\n", b.premature ? 'V' : 'N', b.r, b.rr,
                  b.s1 - b.r, b.s2 - b.r, b.foot[kRBra] - b.r, b.foot[kRAnk] - b.r, (ecg - 2130) / 665.0,
                  in / (in + all));
    text += t;
  }
  const auto truth = u.GroundTruth();
  std::snprintf(t, sizeof t, "truth hr %.3f map %.3f abi %.4f bapwv %.2f %.2f\n", truth["heart_rate_bpm"].get<double>(),
                truth["sites"]["rbra"]["map"].get<double>(), truth["abi"]["right"].get<double>(),
                truth["bapwv_cm_s"]["right"].get<double>(), truth["bapwv_cm_s"]["left"].get<double>());
  text += t;
  SubjectConfig plain, noisy;
  plain.ecg.wander_mv = 0.0;
  noisy.ecg.wander_mv = 0.1;
  for (const double hz : {50.0, 60.0}) {
    noisy.ecg.mains_mv = 0.2;
    noisy.ecg.mains_hz = hz;
    VirtualUnit a(plain), b(noisy);  // the same seed: the difference is what was added
    const auto pa = simtest::Stream(a, 4000).packets, pb = simtest::Stream(b, 4000).packets;
    std::vector<double> added;
    for (size_t i = 0; i < pa.size(); ++i) added.push_back((pb[i].ecg - pa[i].ecg) / 665.0);
    std::snprintf(t, sizeof t, "mains %.0f Hz: at 50 Hz %.3f at 60 Hz %.3f at the breathing rate %.3f mV\n", hz,
                  AmplitudeAt(added, 50), AmplitudeAt(added, 60), AmplitudeAt(added, plain.resp_hz));
    text += t;
  }
  nel::golden::Check("sim/golden/subject.txt", text,
                     "The subject at 75 bpm without rate variation, PVC at beat 4, couplet at 8, a 2.2 s pause\n"
                     "ending at beat 13, bigeminy of 2 from beat 16, sampled 24 s (tests/sim/model_test.cpp).\n"
                     "beat: type, R (s), R-R (s), S1-R, S2-R, right arm foot-R, right ankle foot-R (s), ECG peak\n"
                     "within 50 ms of R (mV as sent), heart-sound energy fraction in 40..150 Hz.\n"
                     "truth: the ground truth's heart rate, right arm MAP, right ABI, baPWV right and left.\n"
                     "mains: ECG added by 0.2 mV mains at 50 or 60 Hz and 0.1 mV wander, amplitudes in mV.\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 nel_sim_tests --gtest_filter=SimSubject.BeatsAndWaves*",
                     {1e-3, 1e-4});
}

TEST(SimSubject, SubjectFileFieldsAndErrors) {
  SubjectConfig c;
  std::string err;
  auto j = nlohmann::json::parse(R"({"height_cm": 180, "sites": {"rank": {"sbp": 90, "dbp": 60}},
      "unit": {"lines23": "toe", "version": [2, 0, 1], "firmware": {"watchdog_s": 5, "ceiling_mmhg": 400}},
      "rhythm": [{"type": "bigeminy", "beat": 3, "count": 4}]})");
  ASSERT_TRUE(SubjectFromJson(j, c, &err)) << err;
  EXPECT_EQ(c.height_cm, 180);
  EXPECT_EQ(c.site[kRAnk].sbp, 90);
  EXPECT_TRUE(c.cuff[2].toe);
  EXPECT_EQ(c.version[0], 2);
  ASSERT_EQ(c.rhythm.size(), 1u);
  EXPECT_EQ(c.rhythm[0].count, 4);
  EXPECT_EQ(c.firmware.ceiling_mmhg, 400);
  EXPECT_EQ(c.firmware.watchdog_s, 5);
  SubjectConfig only;
  ASSERT_TRUE(SubjectFromJson(nlohmann::json::parse(R"({"unit": {"firmware": {"ceiling_mmhg": 200}}})"), only, &err));
  EXPECT_EQ(only.firmware.ceiling_mmhg, 200);
  EXPECT_EQ(only.firmware.watchdog_s, FirmwareConfig{}.watchdog_s);
  const std::pair<const char*, const char*> bad[] = {
      {R"({"hieght_cm": 170})", ""},
      {R"({"sites": {"rbra": {"sbp": 70, "dbp": 80}}})", ""},
      {R"({"unit": {"version": [1, 200, 3]}})", ""},
      {R"({"rhythm": [{"type": "vf"}]})", ""},
      {R"({"heart_rate_bpm": "fast"})", ""},
      {R"({"unit": {"stored_coefficients": [[1, 2]]}})", ""},
      {R"({"unit": {"firmware": {"ceiling": 200}}})", "unit.firmware"},
      {R"({"unit": {"firmware": {"ceiling_mmhg": 49}}})", "unit.firmware"},
      {R"({"unit": {"firmware": {"ceiling_mmhg": 401}}})", "unit.firmware"},
      {R"({"unit": {"firmware": {"watchdog_s": 0.5}}})", "unit.firmware"},
      {R"({"unit": {"firmware": {"watchdog_s": 3601}}})", "unit.firmware"},
      {R"({"unit": {"firmware": {"watchdog_s": "1 min"}}})", "unit.firmware"},
      {R"({"unit": {"firmware": 315}})", "unit.firmware"},
  };
  for (const auto& [json, mentions] : bad) {
    SubjectConfig x;
    err.clear();
    EXPECT_FALSE(SubjectFromJson(nlohmann::json::parse(json), x, &err)) << json;
    EXPECT_NE(err.find(mentions), std::string::npos) << err;
  }
  EXPECT_FALSE(LoadSubjectFile(NEL_SOURCE_DIR "/sim/subjects/missing.json", c, &err));
}

// A unit left streaming for hours holds only the last hour of beats, and the
// waves go on as before.
TEST(SimSubject, LongRunsKeepOnlyTheLastHourOfBeats) {
  SubjectConfig cfg;
  Physiology ph(cfg);
  const double end = 3.0 * Physiology::kBeatMemoryS;
  for (double t = 0; t < end; t += 0.05) ph.Sample(t);
  const auto beats = ph.BeatsUntil(end);
  ASSERT_FALSE(beats.empty());
  EXPECT_GE(beats.front().r, end - Physiology::kBeatMemoryS - 5.0);
  EXPECT_LE(beats.size(), static_cast<size_t>(1.3 * Physiology::kBeatMemoryS * cfg.heart_rate_bpm / 60.0));
  double lo = 1e9, hi = -1e9;
  for (int i = 0; i < 2000; ++i) {
    const double p = ph.Sample(end + i / 1000.0).pressure[kRBra];
    lo = std::min(lo, p);
    hi = std::max(hi, p);
  }
  EXPECT_NEAR(hi - lo, cfg.site[kRBra].sbp - cfg.site[kRBra].dbp, 2.0);
}

}  // namespace
