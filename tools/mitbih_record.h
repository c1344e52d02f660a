// Reader of MIT-BIH Arrhythmia Database records (WFDB header, format 212
// signals, MIT annotation files) and the EC57 beat-by-beat comparison, shared
// by the validation program ecg_eval and the ECG tests.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace nel::mitbih {

struct Signal {
  int32_t format = 0;
  double gain = 200.0;   // adu per mV
  int32_t baseline = 0;  // adu
};

struct Record {
  std::string name;
  int32_t signals = 0;
  double rate = 0.0;
  int64_t length = 0;
  std::vector<Signal> info;
  std::vector<int16_t> lead0;  // first signal, adu
};

struct Annotation {
  int64_t time;  // sample index at the record's rate
  int32_t code;
};

// The beat codes counted by EC57: N L R B A a J S V r F e j n E / f Q ?
inline bool IsBeatCode(int32_t code) {
  switch (code) {
    case 1:
    case 2:
    case 3:
    case 25:
    case 8:
    case 4:
    case 7:
    case 9:
    case 5:
    case 41:
    case 6:
    case 34:
    case 11:
    case 35:
    case 10:
    case 12:
    case 38:
    case 13:
    case 30: return true;
    default: return false;
  }
}

// Reads <dir>/<name>.hea and the first signal of <dir>/<name>.dat (format 212).
inline bool ReadRecord(const std::string& dir, const std::string& name, Record& rec, std::string& error) {
  rec = Record{};
  rec.name = name;
  std::ifstream hea(dir + "/" + name + ".hea");
  if (!hea) {
    error = "cannot open " + dir + "/" + name + ".hea";
    return false;
  }
  std::string line;
  while (std::getline(hea, line) && (line.empty() || line[0] == '#')) {
  }
  {
    std::istringstream in(line);
    std::string recName;
    in >> recName >> rec.signals >> rec.rate >> rec.length;
    if (!in || rec.signals <= 0 || rec.rate <= 0 || rec.length <= 0) {
      error = "bad record line in " + name + ".hea";
      return false;
    }
  }
  for (int32_t s = 0; s < rec.signals; ++s) {
    if (!std::getline(hea, line)) {
      error = "missing signal line in " + name + ".hea";
      return false;
    }
    std::istringstream in(line);
    std::string file, gainField;
    Signal sig;
    int32_t resolution = 0, adcZero = 0;
    in >> file >> sig.format >> gainField >> resolution >> adcZero;
    if (!in) {
      error = "bad signal line in " + name + ".hea";
      return false;
    }
    // gain[(baseline)][/units]; the baseline defaults to the ADC zero.
    sig.baseline = adcZero;
    sig.gain = std::atof(gainField.c_str());
    const auto open = gainField.find('(');
    if (open != std::string::npos) sig.baseline = std::atoi(gainField.c_str() + open + 1);
    if (sig.gain == 0.0) sig.gain = 200.0;
    rec.info.push_back(sig);
  }
  if (rec.info[0].format != 212) {
    error = "only format 212 is read";
    return false;
  }
  std::ifstream dat(dir + "/" + name + ".dat", std::ios::binary);
  if (!dat) {
    error = "cannot open " + dir + "/" + name + ".dat";
    return false;
  }
  std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(dat)), std::istreambuf_iterator<char>());
  // Format 212: pairs of 12-bit samples in 3 bytes, signals interleaved per frame.
  const int64_t totalSamples = rec.length * rec.signals;
  rec.lead0.reserve(static_cast<size_t>(rec.length));
  for (int64_t k = 0; k < totalSamples; ++k) {
    const size_t pair = static_cast<size_t>(k / 2) * 3;
    if (pair + 2 >= bytes.size()) break;
    int32_t v;
    if (k % 2 == 0) {
      v = bytes[pair] | ((bytes[pair + 1] & 0x0F) << 8);
    } else {
      v = bytes[pair + 2] | ((bytes[pair + 1] & 0xF0) << 4);
    }
    if (v & 0x800) v -= 0x1000;
    if (k % rec.signals == 0) rec.lead0.push_back(static_cast<int16_t>(v));
  }
  if (static_cast<int64_t>(rec.lead0.size()) != rec.length) {
    error = "short signal file " + name + ".dat";
    return false;
  }
  return true;
}

// Reads an MIT-format annotation file (<dir>/<name>.<ext>).
inline bool ReadAnnotations(const std::string& dir, const std::string& name, const std::string& ext,
                            std::vector<Annotation>& out, std::string& error) {
  out.clear();
  std::ifstream f(dir + "/" + name + "." + ext, std::ios::binary);
  if (!f) {
    error = "cannot open " + dir + "/" + name + "." + ext;
    return false;
  }
  std::vector<unsigned char> b((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
  int64_t time = 0;
  size_t i = 0;
  auto word = [&](size_t at) { return static_cast<uint32_t>(b[at] | (b[at + 1] << 8)); };
  while (i + 1 < b.size()) {
    const uint32_t w = word(i);
    i += 2;
    const int32_t code = static_cast<int32_t>(w >> 10);
    const int32_t value = static_cast<int32_t>(w & 0x3FF);
    if (code == 0 && value == 0) break;
    if (code == 59) {  // SKIP: a 32-bit interval, high word first
      if (i + 3 >= b.size()) break;
      const int32_t interval = static_cast<int32_t>((word(i) << 16) | word(i + 2));
      i += 4;
      time += interval;
    } else if (code == 63) {  // AUX: value bytes, padded to even
      i += static_cast<size_t>(value + (value & 1));
    } else if (code == 60 || code == 61 || code == 62) {  // NUM, SUB, CHN
    } else {
      time += value;
      out.push_back({time, code});
    }
  }
  return true;
}

// Resamples by linear interpolation (tests; the validation program uses libsamplerate).
inline std::vector<float> ResampleLinear(const std::vector<float>& in, double inRate, double outRate) {
  std::vector<float> out;
  if (in.empty()) return out;
  const auto n = static_cast<size_t>(std::floor((in.size() - 1) * outRate / inRate)) + 1;
  out.resize(n);
  for (size_t k = 0; k < n; ++k) {
    const double t = k * inRate / outRate;
    const auto i = static_cast<size_t>(t);
    const double frac = t - i;
    const float a = in[i];
    const float b = i + 1 < in.size() ? in[i + 1] : a;
    out[k] = static_cast<float>(a + (b - a) * frac);
  }
  return out;
}

// mV to the unit's 12-bit ECG counts: mV x 665 + 2130, rounded, clamped to 0..4095.
inline int16_t ToUnitCounts(float mv) {
  const long v = std::lround(mv * 665.0 + 2130.0);
  return static_cast<int16_t>(std::clamp(v, 0L, 4095L));
}

struct Score {
  int64_t tp = 0, fn = 0, fp = 0;
  double errSum = 0.0, errSq = 0.0;  // detection minus reference, ms
  double Se() const { return tp + fn ? 100.0 * tp / (tp + fn) : 0.0; }
  double PPlus() const { return tp + fp ? 100.0 * tp / (tp + fp) : 0.0; }
  double MeanErr() const { return tp ? errSum / tp : 0.0; }
  double SdErr() const {
    if (tp < 2) return 0.0;
    const double m = MeanErr();
    return std::sqrt(std::max(0.0, errSq / tp - m * m));
  }
  void Add(const Score& o) {
    tp += o.tp, fn += o.fn, fp += o.fp;
    errSum += o.errSum, errSq += o.errSq;
  }
};

// Beat-by-beat comparison: each reference beat in [from, to) matches the
// nearest unmatched detection within `window` (all times in ms); detections
// in [from, to) left unmatched are false positives.
inline Score Compare(const std::vector<double>& refMs, const std::vector<double>& detMs, double from, double to,
                     double window = 150.0) {
  Score s;
  std::vector<char> used(detMs.size(), 0);
  size_t lo = 0;
  for (double r : refMs) {
    if (r < from || r >= to) continue;
    while (lo < detMs.size() && detMs[lo] < r - window) ++lo;
    int64_t best = -1;
    double bestD = window + 1.0;
    for (size_t j = lo; j < detMs.size() && detMs[j] <= r + window; ++j) {
      if (used[j]) continue;
      const double d = std::fabs(detMs[j] - r);
      if (d < bestD) bestD = d, best = static_cast<int64_t>(j);
    }
    if (best >= 0) {
      used[static_cast<size_t>(best)] = 1;
      ++s.tp;
      const double e = detMs[static_cast<size_t>(best)] - r;
      s.errSum += e;
      s.errSq += e * e;
    } else {
      ++s.fn;
    }
  }
  for (size_t j = 0; j < detMs.size(); ++j)
    if (!used[j] && detMs[j] >= from && detMs[j] < to) ++s.fp;
  return s;
}

}  // namespace nel::mitbih
