// Accuracy panel of the oscillometric measurement on the virtual unit.
//
//   bp_panel [--subjects N] [--seed S] [--cuff rbra|lbra|rank|lank|cycle]
//            [--threads T] [--worst K] [--json FILE] [--quiet]
//
// Builds N virtual subjects (default 90) whose true systolic and diastolic
// pressures spread over 90 to 200 and 50 to 110 mmHg, with heart rates from
// 48 to 110 beats per minute and pulse wave velocities from 600 to 2200 cm/s,
// and measures each once on a limb cuff: the sequencer (TnelBPVCheck) runs on
// a real TnelHardCtl over a pseudo-terminal served by the virtual unit, in
// stepped virtual time (the unit advances 20 frames, the host takes them and
// feeds every frame to the sequencer, as a host's processing passes would).
// Prints the mean error and the standard deviation of SBP and DBP (measured
// minus true) in the form of criterion 1 of ISO 81060-2 (mean within 5 mmHg,
// SD at most 8 mmHg), the subjects whose measurement did not end in a
// result, and the worst cases. Everything is deterministic for a seed.
//
// Exit status: 0 when the figures meet the criterion and no measurement
// failed, 1 otherwise, 2 on a usage error or when the unit cannot be served.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <nel/bp/bpv_check.h>
#include <nel/link/hard_ctl.h>
#include <nel/platform/diagnostics.h>
#include "sim/stepped_rig.h"

namespace {

using nel::sim::RunEnd;
using nel::sim::SubjectConfig;

constexpr int64_t kMaxVirtualFrames = 240000;  // 4 min of virtual time per measurement
constexpr int kFirstPort = 120;                // ports kFirstPort + thread index

struct Subject {
  int index = 0;
  uint64_t seed = 0;
  int sbp = 0, dbp = 0;
  double heart_rate = 70, pwv = 1300;
  tagTYPE_NEL_BPDATA cuff = BP_RBRA;
};

struct Outcome {
  int status = BPVSTA_MEASURING;  // last status (or -1: the host gave up)
  int sbp = -1, dbp = -1, map = -1;
  int pulses = 0;
  int remeasures = 0;
  double virtual_s = 0;
  std::string why;  // empty on a result
};

const char* CuffName(tagTYPE_NEL_BPDATA c) {
  static const char* const kNames[] = {"rbra", "lbra", "rank", "lank", "rtoe", "ltoe"};
  return kNames[c];
}

const char* StatusName(int st) {
  static const char* const kNames[] = {"measuring", "ok", "overtime", "failed", "remeasure", "restart", "overpressure"};
  return st >= 0 && st <= 6 ? kNames[st] : "host gave up";
}

// A fixed 64-bit generator (splitmix64), so that the panel is the same with
// every standard library.
class Rng {
 public:
  explicit Rng(uint64_t seed) : s_(seed) {}
  uint64_t Next() {
    uint64_t z = (s_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double Unit() { return static_cast<double>(Next() >> 11) * (1.0 / 9007199254740992.0); }

 private:
  uint64_t s_;
};

// Systolic pressures are stratified over 90-200 mmHg (one subject per equal
// slice, in shuffled order); the diastolic pressure is stratified the same
// way over what the systolic allows: 50-110 mmHg with a pulse pressure of
// 25 to 100 mmHg. Heart rate and pulse wave velocity are drawn uniformly.
std::vector<Subject> MakePanel(int n, uint64_t seed, const std::string& cuff) {
  Rng rng(seed);
  std::vector<int> slotS(n), slotD(n);
  for (int i = 0; i < n; ++i) slotS[i] = slotD[i] = i;
  for (int i = n - 1; i > 0; --i) {
    std::swap(slotS[i], slotS[static_cast<int>(rng.Next() % static_cast<uint64_t>(i + 1))]);
    std::swap(slotD[i], slotD[static_cast<int>(rng.Next() % static_cast<uint64_t>(i + 1))]);
  }
  static const tagTYPE_NEL_BPDATA kLimbs[] = {BP_RBRA, BP_LBRA, BP_RANK, BP_LANK};
  std::vector<Subject> v(n);
  for (int i = 0; i < n; ++i) {
    Subject& s = v[i];
    s.index = i;
    s.seed = seed * 1000 + static_cast<uint64_t>(i) + 1;
    const double us = (slotS[i] + rng.Unit()) / n;
    s.sbp = static_cast<int>(std::lround(90.0 + 110.0 * us));
    const int lo = std::max(50, s.sbp - 100), hi = std::min(110, s.sbp - 25);
    const double ud = (slotD[i] + rng.Unit()) / n;
    s.dbp = static_cast<int>(std::lround(lo + (hi - lo) * ud));
    s.heart_rate = 48.0 + 62.0 * rng.Unit();
    s.pwv = 600.0 + 1600.0 * rng.Unit();
    if (cuff == "cycle") {
      s.cuff = kLimbs[i % 4];
    } else {
      for (auto c : kLimbs)
        if (cuff == CuffName(c)) s.cuff = c;
    }
  }
  return v;
}

SubjectConfig ConfigOf(const Subject& s) {
  SubjectConfig cfg = nel::sim::SiteSubject(s.cuff, s.sbp, s.dbp, s.heart_rate, s.seed);
  cfg.pwv_cm_s = s.pwv;
  return cfg;
}

// One measurement on a stepped unit behind `port`.
Outcome Measure(const Subject& subj, int port, std::string* error) {
  Outcome out;
  nel::sim::SteppedLink host(ConfigOf(subj), nel::sim::SteppedOptions(port));
  host.waits.poll_us = 100;
  if (!host.Open()) {
    *error = host.error;
    return out;
  }

  const tagTYPE_NEL_BPDATA ch = subj.cuff;
  const int wave = static_cast<int>(ch) + WAVE_RBRA;
  TnelBPVCheck seq(DATAPROCESS_STANDARD, ch, &host.ctl);
  seq.Initialize();
  seq.MaxPressure = 280;
  seq.StartBPMeasureProcess();

  int st = BPVSTA_MEASURING;
  const RunEnd end = host.Feed(kMaxVirtualFrames, [&](const tagSAM_DATA& f) {
    st = seq.ProcPulseWave(f.Wave[wave], f.Pressure[ch]);
    if (st == BPVSTA_REMEASURE) ++out.remeasures;
    return st != BPVSTA_OK && st != BPVSTA_OVERTIME && st != BPVSTA_FAILED && st != BPVSTA_OVERPRESSURE;
  });
  if (end == RunEnd::kNotSent) out.why = "the line did not take the unit's data";
  if (end == RunEnd::kLate) out.why = "no frames from the unit";
  host.ctl.RapidDeflate(ch, true);
  host.ctl.StopADSample();
  host.ctl.CloseCom();
  host.server.Stop();

  const int64_t fed = host.taken;
  out.status = st;
  out.virtual_s = static_cast<double>(fed) / 1000.0;
  int16_t count = 0;
  seq.getPulseFeaturePnt(nullptr, &count);
  out.pulses = count;
  if (st == BPVSTA_OK) {
    int16_t s, d, m;
    seq.getBPValue(&s, &d, &m);
    out.sbp = s;
    out.dbp = d;
    out.map = m;
  } else if (out.why.empty()) {
    out.why =
        fed >= kMaxVirtualFrames ? "no end within 240 s of virtual time" : std::string("ended with ") + StatusName(st);
  }
  return out;
}

struct Stats {
  int n = 0;
  double mean = 0, sd = 0;
};

Stats Describe(const std::vector<double>& e) {
  Stats s;
  s.n = static_cast<int>(e.size());
  if (s.n == 0) return s;
  for (double x : e) s.mean += x;
  s.mean /= s.n;
  if (s.n > 1) {
    double ss = 0;
    for (double x : e) ss += (x - s.mean) * (x - s.mean);
    s.sd = std::sqrt(ss / (s.n - 1));  // sample standard deviation
  }
  return s;
}

void Quiet(nel::platform::DiagKind, nel::platform::DiagLevel, const char*, size_t, const char*, size_t, void*) {}

int Usage() {
  std::fprintf(stderr,
               "usage: bp_panel [--subjects N>=1] [--seed S] [--cuff rbra|lbra|rank|lank|cycle]\n"
               "                [--threads 1|2] [--worst K] [--json FILE] [--quiet]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  int n = 90, threads = 1, worst = 8;
  uint64_t seed = 2026;
  std::string cuff = "rbra", jsonPath;
  bool quiet = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
    const char* v = nullptr;
    if (a == "--quiet") {
      quiet = true;
    } else if ((a == "--subjects" || a == "--seed" || a == "--cuff" || a == "--threads" || a == "--worst" ||
                a == "--json") &&
               (v = next()) != nullptr) {
      if (a == "--subjects") n = std::atoi(v);
      if (a == "--seed") seed = std::strtoull(v, nullptr, 10);
      if (a == "--cuff") cuff = v;
      if (a == "--threads") threads = std::atoi(v);
      if (a == "--worst") worst = std::atoi(v);
      if (a == "--json") jsonPath = v;
    } else {
      return Usage();
    }
  }
  if (n < 1 || threads < 1 || threads > 2 || worst < 0 ||
      (cuff != "rbra" && cuff != "lbra" && cuff != "rank" && cuff != "lank" && cuff != "cycle"))
    return Usage();
  nel::platform::SetDiagnosticSink(&Quiet, nullptr);

  const std::vector<Subject> panel = MakePanel(n, seed, cuff);
  std::vector<Outcome> outcomes(panel.size());
  std::atomic<int> next{0};
  std::atomic<bool> broken{false};
  std::string brokenWhy;
  std::mutex mu;  // brokenWhy and the progress lines
  const auto t0 = std::chrono::steady_clock::now();
  auto worker = [&](int t) {
    for (int i; !broken && (i = next.fetch_add(1)) < n;) {
      std::string error;
      outcomes[i] = Measure(panel[i], kFirstPort + t, &error);
      std::lock_guard lock(mu);
      if (!error.empty()) {
        broken = true;
        brokenWhy = error;
      }
      const Subject& s = panel[i];
      const Outcome& o = outcomes[i];
      if (!quiet)
        std::fprintf(stderr, "%3d %s true %3d/%3d  HR %5.1f  PWV %4.0f  measured %3d/%3d  %s\n", i, CuffName(s.cuff),
                     s.sbp, s.dbp, s.heart_rate, s.pwv, o.sbp, o.dbp, o.why.empty() ? "" : o.why.c_str());
    }
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  worker(0);
  for (auto& th : pool) th.join();
  if (broken) {
    std::fprintf(stderr, "bp_panel: %s\n", brokenWhy.c_str());
    return 2;
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

  std::vector<double> es, ed;
  std::vector<int> failed;
  double virtualTotal = 0;
  int remeasured = 0;
  for (size_t i = 0; i < panel.size(); ++i) {
    virtualTotal += outcomes[i].virtual_s;
    if (outcomes[i].remeasures > 0) ++remeasured;
    if (outcomes[i].status != BPVSTA_OK) {
      failed.push_back(static_cast<int>(i));
      continue;
    }
    es.push_back(outcomes[i].sbp - panel[i].sbp);
    ed.push_back(outcomes[i].dbp - panel[i].dbp);
  }
  const Stats ss = Describe(es), sd = Describe(ed);

  // Share of subjects in the ranges ISO 81060-2 asks a clinical panel to cover.
  auto share = [&](auto pred) {
    int c = 0;
    for (const auto& s : panel) c += pred(s) ? 1 : 0;
    return 100.0 * c / n;
  };
  std::printf("panel: %d subjects, seed %llu, cuff %s; SBP %d-%d, DBP %d-%d mmHg\n", n,
              static_cast<unsigned long long>(seed), cuff.c_str(),
              std::min_element(panel.begin(), panel.end(), [](auto& a, auto& b) { return a.sbp < b.sbp; })->sbp,
              std::max_element(panel.begin(), panel.end(), [](auto& a, auto& b) { return a.sbp < b.sbp; })->sbp,
              std::min_element(panel.begin(), panel.end(), [](auto& a, auto& b) { return a.dbp < b.dbp; })->dbp,
              std::max_element(panel.begin(), panel.end(), [](auto& a, auto& b) { return a.dbp < b.dbp; })->dbp);
  std::printf(
      "  SBP <= 100: %.0f %%, >= 140: %.0f %%, >= 160: %.0f %%; DBP <= 60: %.0f %%, >= 85: %.0f %%, >= 100: %.0f %%\n",
      share([](auto& s) { return s.sbp <= 100; }), share([](auto& s) { return s.sbp >= 140; }),
      share([](auto& s) { return s.sbp >= 160; }), share([](auto& s) { return s.dbp <= 60; }),
      share([](auto& s) { return s.dbp >= 85; }), share([](auto& s) { return s.dbp >= 100; }));
  std::printf("results: %d of %d (%d failed, %d needed a new attempt); %.0f s of virtual time in %.1f s\n", ss.n, n,
              static_cast<int>(failed.size()), remeasured, virtualTotal, wall);
  std::printf("SBP error (measured - true): mean %+.2f mmHg, SD %.2f mmHg\n", ss.mean, ss.sd);
  std::printf("DBP error (measured - true): mean %+.2f mmHg, SD %.2f mmHg\n", sd.mean, sd.sd);
  const bool pass = ss.n > 1 && std::fabs(ss.mean) <= 5.0 && ss.sd <= 8.0 && std::fabs(sd.mean) <= 5.0 && sd.sd <= 8.0;
  std::printf("criterion 1 (|mean| <= 5, SD <= 8): %s\n", pass ? "met" : "not met");
  for (int i : failed)
    std::printf("failed: #%d %s true %d/%d HR %.1f PWV %.0f: %s (%d pulses)\n", i, CuffName(panel[i].cuff),
                panel[i].sbp, panel[i].dbp, panel[i].heart_rate, panel[i].pwv, outcomes[i].why.c_str(),
                outcomes[i].pulses);

  // Worst cases: the largest of the two absolute errors.
  std::vector<int> order;
  for (size_t i = 0; i < panel.size(); ++i)
    if (outcomes[i].status == BPVSTA_OK) order.push_back(static_cast<int>(i));
  auto worstErr = [&](int i) {
    return std::max(std::abs(outcomes[i].sbp - panel[i].sbp), std::abs(outcomes[i].dbp - panel[i].dbp));
  };
  std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return worstErr(a) > worstErr(b); });
  if (order.size() > static_cast<size_t>(worst)) order.resize(worst);
  std::printf("worst cases:\n");
  for (int i : order)
    std::printf(
        "  #%-3d %s true %3d/%3d  measured %3d/%3d (MAP %3d)  error %+3d/%+3d  HR %5.1f  PWV %4.0f  %d pulses\n", i,
        CuffName(panel[i].cuff), panel[i].sbp, panel[i].dbp, outcomes[i].sbp, outcomes[i].dbp, outcomes[i].map,
        outcomes[i].sbp - panel[i].sbp, outcomes[i].dbp - panel[i].dbp, panel[i].heart_rate, panel[i].pwv,
        outcomes[i].pulses);

  if (!jsonPath.empty()) {
    nlohmann::json j;
    j["seed"] = seed;
    j["cuff"] = cuff;
    j["subjects"] = n;
    j["results"] = ss.n;
    j["failed"] = failed.size();
    j["sbp_error"] = {{"mean", ss.mean}, {"sd", ss.sd}};
    j["dbp_error"] = {{"mean", sd.mean}, {"sd", sd.sd}};
    j["criterion1_met"] = pass;
    for (size_t i = 0; i < panel.size(); ++i) {
      const Subject& s = panel[i];
      const Outcome& o = outcomes[i];
      j["cases"].push_back({{"index", i},
                            {"cuff", CuffName(s.cuff)},
                            {"seed", s.seed},
                            {"true_sbp", s.sbp},
                            {"true_dbp", s.dbp},
                            {"heart_rate_bpm", s.heart_rate},
                            {"pwv_cm_s", s.pwv},
                            {"status", StatusName(o.status)},
                            {"sbp", o.sbp},
                            {"dbp", o.dbp},
                            {"map", o.map},
                            {"pulses", o.pulses},
                            {"new_attempts", o.remeasures},
                            {"virtual_s", o.virtual_s}});
    }
    std::ofstream f(jsonPath);
    f << j.dump(1) << "\n";
    if (!f) {
      std::fprintf(stderr, "bp_panel: cannot write %s\n", jsonPath.c_str());
      return 2;
    }
  }
  return pass && failed.empty() ? 0 : 1;
}
