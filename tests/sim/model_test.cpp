// Pneumatics, transducers and the subject model, without a line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>

#include <nlohmann/json.hpp>

#include "line_decoder.h"
#include "sim/pneumatics.h"
#include "sim/virtual_unit.h"

namespace {

using namespace nel::sim;
using simtest::LineDecoder;

constexpr double kDt = 0.001;

// Runs a line with a still artery (no pulse) until `until` returns true or `limit_s` passes.
template <class F>
double RunUntil(CuffLine& c, double limit_s, F until) {
  double t = 0;
  while (t < limit_s && !until(c.Pressure())) {
    c.Step(kDt, 100.0);
    t += kDt;
  }
  return t;
}

TEST(SimPneumatics, LimbInflationRateAtLevel6500) {
  SubjectConfig cfg;
  CuffLine c(cfg.cuff[0], cfg.pump);
  c.SetValve(false);
  c.SetPump(6500);
  const double t45 = RunUntil(c, 60, [](double p) { return p >= 45; });
  const double t55 = t45 + RunUntil(c, 60, [](double p) { return p >= 55; });
  const double rate = 10.0 / (t55 - t45);
  EXPECT_GT(rate, 3.0);
  EXPECT_LT(rate, 5.0);
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

TEST(SimPneumatics, ValveLeakAndRelief) {
  SubjectConfig cfg;
  CuffLine c(cfg.cuff[0], cfg.pump);
  c.SetValve(false);
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
  RunUntil(c, 100, [](double p) { return p <= 150; });
  c.SetValve(false);
  const double p0 = c.Pressure();
  RunUntil(c, 10, [](double) { return false; });
  EXPECT_GT(p0 - c.Pressure(), 0.2);
  EXPECT_LT(p0 - c.Pressure(), 3.0);
  // An open valve empties the cuff in a few seconds, not at once.
  c.SetValve(true);
  const double t10 = RunUntil(c, 20, [](double p) { return p < 10; });
  const double t2 = t10 + RunUntil(c, 20, [](double p) { return p < 2; });
  EXPECT_GT(t10, 0.5);
  EXPECT_LT(t2, 5.0);
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
    RunUntil(c, 0.5, [](double) { return false; });
    const double after = c.Pressure();
    EXPECT_GT(after - last, 1.0) << "command " << cmd;
    EXPECT_LT(after - last, 6.0) << "command " << cmd;
    EXPECT_FALSE(c.PumpRunning()) << "the burst ends by itself";
    RunUntil(c, 2.0, [](double) { return false; });
    EXPECT_NEAR(c.Pressure(), after, 0.3) << "the step holds";
    last = c.Pressure();
  }
  // Limb lines keep pumping until told otherwise.
  CuffLine limb(cfg.cuff[0], cfg.pump);
  limb.SetValve(false);
  limb.SetPump(6000);
  RunUntil(limb, 3.0, [](double) { return false; });
  EXPECT_TRUE(limb.PumpRunning());
}

TEST(SimPneumatics, ReferencePressureHoldsTheLine) {
  SubjectConfig cfg;
  VirtualUnit u(cfg);
  u.SetReferencePressure(1, 100.0);
  u.SetTransducerError(1, 0.02, -1.5);
  const LineDecoder d = simtest::Stream(u, 500);
  ASSERT_EQ(d.packets.size(), 500u);
  const auto& k = nel::kBuiltInCoeff[1];
  EXPECT_NEAR(simtest::Mmhg(d.packets.back().t[1], k.Slope, k.Offset), 100.0 * 1.02 - 1.5, 0.06);
  EXPECT_DOUBLE_EQ(u.LinePressure(1), 100.0);
}

TEST(SimTransducers, StillEmptyCuffSpreadUnderATenthMmHg) {
  VirtualUnit u;
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
    EXPECT_NEAR((hi + lo) / 2, 0.0, 0.05) << "transducer " << c;
  }
}

// Per-beat oscillation of a line over a slow inflation, using the true feet.
struct Osc {
  double cuff, amp;
};

std::vector<Osc> Oscillations(const std::vector<double>& p, const std::vector<double>& feet) {
  std::vector<Osc> out;
  for (size_t k = 0; k + 1 < feet.size(); ++k) {
    const auto a = static_cast<size_t>(feet[k] * 1000), b = static_cast<size_t>(feet[k + 1] * 1000);
    if (b >= p.size() || b <= a + 10) continue;
    double lo = 1e9, hi = -1e9, sum = 0;
    for (size_t i = a; i < b; ++i) {
      const double trend = p[a] + (p[b] - p[a]) * static_cast<double>(i - a) / static_cast<double>(b - a);
      lo = std::min(lo, p[i] - trend);
      hi = std::max(hi, p[i] - trend);
      sum += p[i];
    }
    out.push_back({sum / static_cast<double>(b - a), hi - lo});
  }
  return out;
}

TEST(SimSubject, OscillationEnvelopePeaksNearMeanPressure) {
  for (bool toe : {false, true}) {
    SubjectConfig cfg;
    cfg.SetToeLines(toe);
    cfg.hrv_sd = 0;
    VirtualUnit u(cfg);
    const int line = toe ? 2 : 0;
    const int site = toe ? kRToe : kRBra;
    // Close the valve and inflate slowly (toe: repeated bursts every 0.6 s).
    const uint8_t close_pump[] = {0x87, static_cast<uint8_t>(0x04 | line), 0x86, 0x19,
                                  0x64, static_cast<uint8_t>(line),        0x00};  // level 6500
    u.Receive(close_pump, sizeof close_pump);
    std::vector<double> p, bursts;
    const double stop = cfg.site[site].sbp + 45;
    while (u.LinePressure(line) < stop && u.TimeS() < 300) {
      if (toe && u.Frame() % 2000 == 0) {
        u.Receive(close_pump + 2, 5);
        bursts.push_back(u.TimeS());
      }
      u.Advance(1);
      p.push_back(u.LinePressure(line));
    }
    ASSERT_GE(u.LinePressure(line), stop) << "toe " << toe;
    const auto truth = u.GroundTruth();
    const std::vector<double> feet = truth["beats"]["foot_s"][kSiteKey[site]];
    // Toe lines rise in bursts; only beats between bursts count.
    std::vector<double> kept;
    for (size_t k = 0; k + 1 < feet.size(); ++k) {
      const bool hit =
          std::any_of(bursts.begin(), bursts.end(), [&](double b) { return b > feet[k] - 0.3 && b < feet[k + 1]; });
      if (!hit) {
        kept.push_back(feet[k]);
        kept.push_back(feet[k + 1]);
      }
    }
    std::vector<double> windows = toe ? kept : feet;
    std::vector<Osc> osc;
    for (size_t k = 0; k + 1 < windows.size(); k += toe ? 2 : 1) {
      const auto one = Oscillations(p, {windows[k], windows[k + 1]});
      osc.insert(osc.end(), one.begin(), one.end());
    }
    ASSERT_GT(osc.size(), toe ? 15u : 20u);
    const auto best = std::max_element(osc.begin(), osc.end(), [](auto& a, auto& b) { return a.amp < b.amp; });
    const double map = truth["sites"][kSiteKey[site]]["map"];
    const double sbp = truth["sites"][kSiteKey[site]]["sbp"];
    EXPECT_NEAR(best->cuff, map, 8.0) << "toe " << toe;
    if (!toe) {
      EXPECT_GT(best->amp, 1.0);
      EXPECT_LT(best->amp, 3.0);
    } else {
      EXPECT_GT(best->amp, 0.2);
    }
    for (const Osc& o : osc) {
      if (o.cuff > sbp + 30) {
        EXPECT_LT(o.amp, 0.2 * best->amp) << "at " << o.cuff << " toe " << toe;
      }
    }
  }
}

TEST(SimSubject, ArrivalDelaysMatchTheGroundTruthVelocity) {
  SubjectConfig cfg;
  cfg.height_cm = 165;
  cfg.pwv_cm_s = 1100;
  cfg.site[kLAnk].pwv_cm_s = 1500;  // a stiffer left leg
  cfg.noise_mmhg = 0;
  VirtualUnit u(cfg);
  // Every cuff at about 40 mmHg: the oscillation follows the arterial wave.
  const uint8_t cmds[] = {0x87, 0x0C, 0x86, 0x19, 0x64, 0x04, 0x00};
  u.Receive(cmds, sizeof cmds);
  while (u.LinePressure(0) < 40) u.Advance(1);
  const uint8_t stop[] = {0x86, 0x00, 0x00, 0x04, 0x00, 0x82};
  u.Receive(stop, sizeof stop);
  u.Advance(12000);
  LineDecoder d;
  d.Feed(u.Output());
  ASSERT_EQ(d.packets.size(), 12000u);
  const auto truth = u.GroundTruth();
  const int64_t start = truth["stream_start_frame"];
  auto measured_feet = [&](int line, const std::vector<double>& feet) {
    // The cuff pressure is lowest where the arterial pressure is: at the foot.
    std::vector<double> out;
    for (double f : feet) {
      const int64_t c = std::lround(f * 1000) - start;  // packet index of the true foot
      if (c < 150 || c + 60 >= 12000) continue;
      int64_t best = c - 150;
      for (int64_t i = c - 150; i <= c + 60; ++i)
        if (d.packets[static_cast<size_t>(i)].t[line] < d.packets[static_cast<size_t>(best)].t[line]) best = i;
      out.push_back(static_cast<double>(best + start) / 1000.0 - f);
    }
    return out;  // measured foot minus true foot, s
  };
  for (int s : {kRBra, kLBra, kRAnk, kLAnk}) {
    const std::vector<double> feet = truth["beats"]["foot_s"][kSiteKey[s]];
    const auto err = measured_feet(s, feet);
    ASSERT_GT(err.size(), 8u);
    const double mean = std::accumulate(err.begin(), err.end(), 0.0) / static_cast<double>(err.size());
    EXPECT_NEAR(mean, 0.0, 0.004) << kSiteKey[s];
  }
  const double paths = AnklePathCm(165) - BrachialPathCm(165);
  EXPECT_NEAR(truth["bapwv_cm_s"]["right"].get<double>(), 1100.0, 1e-6);
  const double left = paths / (AnklePathCm(165) / 1500 - BrachialPathCm(165) / 1100);
  EXPECT_NEAR(truth["bapwv_cm_s"]["left"].get<double>(), left, 1e-6);
  // Foot-to-foot delays in the truth lists agree with the velocities.
  const std::vector<double> fr = truth["beats"]["foot_s"]["rbra"], fa = truth["beats"]["foot_s"]["rank"];
  EXPECT_NEAR(paths / (fa[3] - fr[3]), 1100.0, 1e-6);
}

TEST(SimSubject, EcgRPeaksHeartSoundsAndRhythmEvents) {
  SubjectConfig cfg;
  cfg.heart_rate_bpm = 75;
  cfg.rhythm = {{RhythmEvent::kPvc, 4, 1, 0}, {RhythmEvent::kCouplet, 8, 1, 0}, {RhythmEvent::kPause, 13, 1, 2.2}};
  VirtualUnit u(cfg);
  const LineDecoder d = simtest::Stream(u, 15000);
  const auto truth = u.GroundTruth();
  const std::vector<double> r = truth["beats"]["r_peak_s"];
  const std::string type = truth["beats"]["type"];
  ASSERT_GT(r.size(), 14u);
  EXPECT_EQ(type.substr(0, 15), "NNNNVNNNVVNNNNN");
  const double mean = 60.0 / 75;
  EXPECT_NEAR(r[4] - r[3], 0.6 * mean, 1e-9);
  EXPECT_NEAR(r[5] - r[3], 2 * mean, 1e-9) << "compensatory pause";
  EXPECT_NEAR(r[13] - r[12], 2.2, 1e-9) << "pause";
  for (size_t k = 0; k < r.size(); ++k) {
    const auto c = static_cast<int64_t>(std::lround(r[k] * 1000));
    if (c < 60 || c + 60 >= 15000) continue;
    int64_t best = c - 50;
    for (int64_t i = c - 50; i <= c + 50; ++i)
      if (d.packets[static_cast<size_t>(i)].ecg > d.packets[static_cast<size_t>(best)].ecg) best = i;
    const double mv = (d.packets[static_cast<size_t>(best)].ecg - 2130) / 665.0;
    EXPECT_LE(std::abs(best - c), 2) << "beat " << k;
    EXPECT_GT(mv, 1.0) << "beat " << k;
    EXPECT_LT(mv, 1.7) << "beat " << k;
  }
  // Heart sounds: S1 after the R peak, S2 at the end of ejection, quiet between.
  const std::vector<double> s1 = truth["beats"]["s1_onset_s"], s2 = truth["beats"]["s2_onset_s"];
  auto energy = [&](double from, double len) {
    double e = 0;
    const auto a = static_cast<size_t>(from * 1000);
    for (size_t i = a; i < a + static_cast<size_t>(len * 1000); ++i) e += std::pow(d.packets[i].pcg - 2130.0, 2);
    return e / (len * 1000);
  };
  for (size_t k = 1; k + 2 < s2.size(); ++k) {
    if (type[k] != 'N') continue;
    EXPECT_GT(s1[k] - r[k], 0.0);
    EXPECT_LT(s1[k] - r[k], 0.06);
    EXPECT_GT(s2[k] - r[k], 0.3);
    EXPECT_LT(s2[k] - r[k], 0.45);
    EXPECT_GT(energy(s1[k], 0.1), 50 * energy(s1[k] + 0.15, 0.1)) << "beat " << k;
    EXPECT_GT(energy(s2[k], 0.07), 30 * energy(s1[k] + 0.15, 0.1)) << "beat " << k;
  }
  // Without events the mean rate is the configured one.
  cfg.rhythm.clear();
  VirtualUnit plain(cfg);
  plain.Advance(30000);
  EXPECT_NEAR(plain.GroundTruth()["heart_rate_bpm"].get<double>(), 75, 3);
}

// Amplitude of the component at f Hz of samples taken every millisecond.
double AmplitudeAt(const std::vector<double>& x, double f) {
  double re = 0, im = 0;
  for (size_t i = 0; i < x.size(); ++i) {
    const double ph = 2 * M_PI * f * static_cast<double>(i) * kDt;
    re += x[i] * std::cos(ph);
    im -= x[i] * std::sin(ph);
  }
  return 2.0 * std::hypot(re, im) / static_cast<double>(x.size());
}

std::vector<simtest::Packet> Stream(const SubjectConfig& cfg, int frames) {
  VirtualUnit u(cfg);
  return simtest::Stream(u, frames).packets;
}

TEST(SimSubject, MainsInterferenceBaselineWanderAndHeartSoundBand) {
  // Two runs of the same subject (same seed), one with mains interference and
  // a stronger wander: their difference is exactly what was added.
  SubjectConfig plain;
  plain.ecg.wander_mv = 0.0;
  SubjectConfig noisy = plain;
  noisy.ecg.mains_mv = 0.2;
  noisy.ecg.wander_mv = 0.1;
  const int frames = 4000;  // 4 s: whole periods of 50 Hz and of breathing at 0.25 Hz
  const auto a = Stream(plain, frames), b = Stream(noisy, frames);
  ASSERT_EQ(a.size(), static_cast<size_t>(frames));
  ASSERT_EQ(b.size(), a.size());
  std::vector<double> added(a.size());
  for (size_t i = 0; i < a.size(); ++i) added[i] = (b[i].ecg - a[i].ecg) / 665.0;  // mV
  EXPECT_NEAR(AmplitudeAt(added, 50.0), 0.2, 0.01);
  EXPECT_NEAR(AmplitudeAt(added, plain.resp_hz), 0.1, 0.01);
  EXPECT_LT(AmplitudeAt(added, 60.0), 0.01);
  noisy.ecg.mains_hz = 60.0;
  const auto c = Stream(noisy, frames);
  for (size_t i = 0; i < a.size(); ++i) added[i] = (c[i].ecg - a[i].ecg) / 665.0;
  EXPECT_NEAR(AmplitudeAt(added, 60.0), 0.2, 0.01);
  EXPECT_LT(AmplitudeAt(added, 50.0), 0.01);

  // The heart sounds' energy lies between 40 and 150 Hz.
  SubjectConfig quiet = plain;
  quiet.pcg.noise = 0.0;
  quiet.hrv_sd = 0;
  VirtualUnit u(quiet);
  const LineDecoder d = simtest::Stream(u, frames);
  const auto truth = u.GroundTruth();
  const std::vector<double> s1 = truth["beats"]["s1_onset_s"], s2 = truth["beats"]["s2_onset_s"];
  double in_band = 0, all = 0;
  int windows = 0;
  for (const auto* onsets : {&s1, &s2}) {
    for (double t : *onsets) {
      const auto from = static_cast<size_t>(t * 1000);
      if (from + 100 > d.packets.size()) continue;
      std::vector<double> x;
      for (size_t i = from; i < from + 100; ++i) x.push_back(d.packets[i].pcg - 2130.0);
      for (double f = 10; f <= 450; f += 5) {
        const double e = std::pow(AmplitudeAt(x, f), 2);
        all += e;
        if (f >= 40 && f <= 150) in_band += e;
      }
      ++windows;
    }
  }
  ASSERT_GE(windows, 6);
  EXPECT_GT(in_band, 0.85 * all) << "heart-sound energy between 40 and 150 Hz";
}

TEST(SimSubject, BigeminyMakesEveryOtherBeatPremature) {
  SubjectConfig cfg;
  cfg.heart_rate_bpm = 60;
  cfg.rhythm = {{RhythmEvent::kBigeminy, 3, 3, 0}};
  VirtualUnit u(cfg);
  u.Advance(14000);
  const std::string type = u.GroundTruth()["beats"]["type"];
  ASSERT_GE(type.size(), 11u);
  EXPECT_EQ(type.substr(0, 11), "NNNVNVNVNNN");
}

TEST(SimSubject, ArterialWaveHasFootPeakAndNotch) {
  SubjectConfig cfg;
  cfg.hrv_sd = 0;
  cfg.rsa = 0;
  Physiology ph(cfg);
  std::vector<double> w;
  for (int i = 0; i < 5000; ++i) w.push_back(ph.Sample(i / 1000.0).pressure[kRBra]);
  const auto beats = ph.BeatsUntil(5.0);
  const Beat& b = beats[2];
  const auto f = static_cast<size_t>(std::ceil(b.foot[kRBra] * 1000));
  const auto next = static_cast<size_t>(beats[3].foot[kRBra] * 1000);
  const auto mx = std::max_element(w.begin() + f, w.begin() + next) - w.begin();
  const auto mn = std::min_element(w.begin() + f - 50, w.begin() + f + 50) - w.begin();
  EXPECT_NEAR(w[static_cast<size_t>(mx)], cfg.site[kRBra].sbp, 0.5);
  EXPECT_NEAR(w[static_cast<size_t>(mn)], cfg.site[kRBra].dbp, 0.5);
  EXPECT_LE(std::abs(static_cast<long>(mn) - static_cast<long>(f)), 1);
  EXPECT_NEAR((mx - static_cast<long>(f)) / 1000.0, cfg.site[kRBra].rise_s, 0.003);
  // A local minimum (the dicrotic notch) after the peak, then the dicrotic wave.
  const auto notch = static_cast<size_t>(f + static_cast<size_t>(b.lvet * 1000));
  const auto dip = std::min_element(w.begin() + notch - 20, w.begin() + notch + 30) - w.begin();
  const auto wave = std::max_element(w.begin() + dip, w.begin() + dip + 100) - w.begin();
  EXPECT_GT(w[static_cast<size_t>(wave)] - w[static_cast<size_t>(dip)], 0.5);
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
  const FirmwareConfig defaults;
  SubjectConfig only;
  ASSERT_TRUE(SubjectFromJson(nlohmann::json::parse(R"({"unit": {"firmware": {"ceiling_mmhg": 200}}})"), only, &err));
  EXPECT_EQ(only.firmware.ceiling_mmhg, 200);
  EXPECT_EQ(only.firmware.watchdog_s, defaults.watchdog_s);
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
    EXPECT_FALSE(err.empty());
    EXPECT_NE(err.find(mentions), std::string::npos) << err;
  }
  // The sample file loads and lists the firmware defaults.
  ASSERT_TRUE(LoadSubjectFile(NEL_SOURCE_DIR "/sim/subjects/default.json", c, &err)) << err;
  EXPECT_EQ(c.firmware.ceiling_mmhg, defaults.ceiling_mmhg);
  EXPECT_EQ(c.firmware.watchdog_s, defaults.watchdog_s);
  EXPECT_FALSE(LoadSubjectFile(NEL_SOURCE_DIR "/sim/subjects/missing.json", c, &err));
}

}  // namespace

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
