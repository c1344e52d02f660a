// White-box access to TnelDataAna's steps and a builder of synthetic wave
// records with heart beats, heart sounds and pulse waves at known places.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <nel/analysis/data_ana.h>

namespace nel::analysis {

// Reaches the analysis steps (protected) as a subclass does: a pointer to a
// step named through this class applies to any TnelDataAna.
struct DataAnaTestAccess : TnelDataAna {
  // Copies wave `kind` into the work buffer and makes it the current wave.
  static float* Load(TnelDataAna& a, tagTYPE_NEL_WAVEDATA kind) {
    a.CurWaveKind = kind;
    a.CurWaveIndex = a.WaveIndex[kind];
    for (int32_t i = 0; i < a.DataLen; ++i) a.WorkBuf[i] = a.WaveData[i].Wave[a.CurWaveIndex];
    return a.WorkBuf;
  }
  static bool Pcg(TnelDataAna& a) { return (a.*&DataAnaTestAccess::MF_ProcPCGWaveDataAnalysis)(Load(a, WAVE_PCG)); }
  static bool Pulse(TnelDataAna& a, tagTYPE_NEL_WAVEDATA kind, bool filter = false) {
    return (a.*&DataAnaTestAccess::MF_ProcBPWaveDataAnalysis)(Load(a, kind), filter);
  }
  static void Filter(TnelDataAna& a, float* x, int16_t n, float fc) {
    (a.*&DataAnaTestAccess::FLY_LOWGAP_Filter)(x, n, fc);
  }
  static int32_t OtherPoint(TnelDataAna& a, const float* y, int32_t len) {
    return (a.*&DataAnaTestAccess::MF_ProcPCGOtherPCGPoint)(y, len);
  }
  static void Mark(TnelDataAna& a, int32_t record, int32_t pos, uint8_t v) {
    (a.*&DataAnaTestAccess::SetMark)(record, pos, v);
  }
  static bool Results(TnelDataAna& a, bool ankle, int32_t height) {
    return (a.*&DataAnaTestAccess::GetAnaResult)(ankle, height);
  }
};

}  // namespace nel::analysis

namespace nel_test {

// A wave record being built: records, the kinds of its positions, the rate.
struct Record {
  std::vector<tagSAVE_WAVEDATA> rec;
  std::vector<tagTYPE_NEL_WAVEDATA> kinds;
  int32_t fs = 1000;

  Record(std::vector<tagTYPE_NEL_WAVEDATA> k, int32_t n, int32_t rate = 1000) : rec(n), kinds(std::move(k)), fs(rate) {
    std::memset(rec.data(), 0, sizeof(tagSAVE_WAVEDATA) * rec.size());
  }
  int32_t n() const { return static_cast<int32_t>(rec.size()); }
  int pos(tagTYPE_NEL_WAVEDATA k) const {
    for (size_t i = 0; i < kinds.size(); ++i)
      if (kinds[i] == k) return static_cast<int>(i);
    return -1;
  }
  int at(tagTYPE_NEL_WAVEDATA k) const {
    const int p = pos(k);
    if (p < 0 || p > 5) throw std::logic_error("wave not in the record");
    return p;
  }
  uint8_t& mark(int32_t i, tagTYPE_NEL_WAVEDATA k) { return rec.at(i).Mark[at(k)]; }
  // The records are packed: their values are read and written by value, never through a reference.
  float get(int32_t i, tagTYPE_NEL_WAVEDATA k) const { return rec.at(i).Wave[at(k)]; }
  void set(int32_t i, tagTYPE_NEL_WAVEDATA k, double v) { rec.at(i).Wave[at(k)] = static_cast<float>(v); }
  TnelDataAna Make() { return TnelDataAna(static_cast<int16_t>(kinds.size()), kinds.data(), rec.data(), n(), fs); }
  std::vector<int32_t> Where(tagTYPE_NEL_WAVEDATA k, uint8_t value) const {
    std::vector<int32_t> out;
    const int p = pos(k);
    for (int32_t i = 0; i < n(); ++i)
      if (rec[i].Mark[p] == value) out.push_back(i);
    return out;
  }
};

// Pulse of one beat, tau seconds after its foot, peak 1: a half-cosine
// upstroke of 120 ms, a concave systolic fall to 0.5 at 300 ms (the notch), a
// cubic dicrotic wave (convex for its first 50 ms) to 0.56 at 380 ms and a
// Gaussian diastolic run-off. The slope is continuous everywhere; the
// curvature is greatest at the notch.
inline double PulseShape(double tau) {
  if (tau < 0) return 0.0;
  if (tau < 0.12) return 0.5 * (1.0 - std::cos(M_PI * tau / 0.12));
  if (tau < 0.30) {
    const double u = (tau - 0.12) / 0.18;
    return 1.0 - 0.5 * u * u;
  }
  if (tau < 0.38) {
    const double u = tau - 0.30;  // slope -1/0.18 at the notch, 0 at 380 ms
    const double b1 = -1.0 / 0.18, T = 0.08;
    // x(T) = 0.56 and x'(T) = 0 fix the quadratic and cubic terms.
    const double c3 = (-b1 / T - 2 * (0.06 - b1 * T) / (T * T)) / T;
    const double c2 = (0.06 - b1 * T) / (T * T) - c3 * T;
    return 0.5 + b1 * u + c2 * u * u + c3 * u * u * u;
  }
  const double g = (tau - 0.38) / 0.4;
  return 0.56 * std::exp(-g * g);
}

// Adds a pulse wave of `amp` mmHg over `base` with feet at the given records.
inline void AddPulse(Record& r, tagTYPE_NEL_WAVEDATA k, const std::vector<int32_t>& feet, double amp = 40.0,
                     double base = 60.0) {
  for (int32_t i = 0; i < r.n(); ++i) {
    double v = base;
    for (int32_t f : feet) v += amp * PulseShape(static_cast<double>(i - f) / r.fs);
    r.set(i, k, v);
  }
}

// Adds heart-sound bursts (40 Hz, Gaussian envelope of sd 10 ms) centred at the given records.
inline void AddSounds(Record& r, const std::vector<int32_t>& centres, double amp = 1.0) {
  for (int32_t i = 0; i < r.n(); ++i) {
    double v = 0.0;
    for (int32_t c : centres) {
      const double t = static_cast<double>(i - c) / r.fs;
      v += amp * std::exp(-0.5 * (t / 0.010) * (t / 0.010)) * std::sin(2 * M_PI * 40.0 * t);
    }
    r.set(i, WAVE_PCG, r.get(i, WAVE_PCG) + static_cast<float>(v));
  }
}

inline const std::vector<tagTYPE_NEL_WAVEDATA> kBraAnk = {WAVE_ECG,  WAVE_PCG,  WAVE_RBRA,
                                                          WAVE_LBRA, WAVE_RANK, WAVE_LANK};
inline constexpr int32_t kRR = 800;

// A 15 s record at 75 beats a minute: triangular QRS complexes (1.2 display
// units, 40 ms wide) with R peaks every 800 records from 300, heart sounds 40
// and 340 records after each R peak, pulse feet 100/105 (arms) and 200/210
// (ankles) records after it.
inline Record FullRecord(int32_t n = 15000) {
  Record r(kBraAnk, n);
  std::vector<int32_t> sounds, fRB, fLB, fRA, fLA;
  for (int32_t R = 300; R < n; R += kRR) {
    for (int32_t t = -20; t <= 20; ++t)
      if (R + t < n) r.set(R + t, WAVE_ECG, 1.2f * (20 - std::abs(t)) / 20.0f);
    sounds.push_back(R + 40);
    sounds.push_back(R + 340);
    fRB.push_back(R + 100);
    fLB.push_back(R + 105);
    fRA.push_back(R + 200);
    fLA.push_back(R + 210);
  }
  nel_test::AddSounds(r, sounds);
  nel_test::AddPulse(r, WAVE_RBRA, fRB);
  nel_test::AddPulse(r, WAVE_LBRA, fLB);
  nel_test::AddPulse(r, WAVE_RANK, fRA, 30.0);
  nel_test::AddPulse(r, WAVE_LANK, fLA, 30.0);
  return r;
}

}  // namespace nel_test
