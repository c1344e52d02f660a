// ecg_eval: validates the ECG beat analyser on MIT-BIH Arrhythmia Database
// records.
//
// Each record's first lead is resampled from 360 to 1000 samples/s
// (libsamplerate), converted to the unit's ECG counts (mV x 665 + 2130,
// clamped to 0..4095) and fed sample by sample to a fresh EcgAnalyser from
// Reset, with a conclusion running over the whole record. Reported beats (R
// index) are compared with the reference beat annotations the EC57 way: 150 ms
// matching window, the first 5 minutes not scored. Prints per-record and gross
// sensitivity and positive predictivity, the R-peak timing error, and the
// conclusion mask and mean rate; the paced records 102, 104 and 107 are
// totalled apart.
//
//   ecg_eval [--data DIR] [--quality best|medium|fastest|linear] [RECORD...]
#include <samplerate.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "dsp/ecg_analyser.h"
#include "mitbih_record.h"

#ifndef NEL_SHARED_DATA_DIR
#define NEL_SHARED_DATA_DIR "../shared/data"
#endif

namespace {

using nel::mitbih::Score;

constexpr double kUnitRate = 1000.0;
constexpr double kLearningMs = 300000.0;  // first 5 minutes not scored

bool IsPaced(const std::string& name) { return name == "102" || name == "104" || name == "107"; }

bool Resample(const std::vector<float>& in, double ratio, int converter, std::vector<float>& out) {
  if (converter < 0) {
    out = nel::mitbih::ResampleLinear(in, 1.0, ratio);
    return true;
  }
  out.assign(static_cast<size_t>(in.size() * ratio) + 16, 0.0f);
  SRC_DATA d{};
  d.data_in = in.data();
  d.input_frames = static_cast<long>(in.size());
  d.data_out = out.data();
  d.output_frames = static_cast<long>(out.size());
  d.src_ratio = ratio;
  const int err = src_simple(&d, converter, 1);
  if (err) {
    std::fprintf(stderr, "libsamplerate: %s\n", src_strerror(err));
    return false;
  }
  out.resize(static_cast<size_t>(d.output_frames_gen));
  return true;
}

struct Result {
  std::string name;
  int64_t refBeats = 0;
  Score score;
  uint32_t mask = 0;
  int32_t meanRate = 0;
};

bool Evaluate(const std::string& dir, const std::string& name, int converter, Result& res) {
  nel::mitbih::Record rec;
  std::vector<nel::mitbih::Annotation> ann;
  std::string error;
  if (!nel::mitbih::ReadRecord(dir, name, rec, error) || !nel::mitbih::ReadAnnotations(dir, name, "atr", ann, error)) {
    std::fprintf(stderr, "%s: %s\n", name.c_str(), error.c_str());
    return false;
  }
  const nel::mitbih::Signal& sig = rec.info[0];
  std::vector<float> mv(rec.lead0.size());
  for (size_t i = 0; i < mv.size(); ++i) mv[i] = static_cast<float>((rec.lead0[i] - sig.baseline) / sig.gain);
  std::vector<float> resampled;
  if (!Resample(mv, kUnitRate / rec.rate, converter, resampled)) return false;

  static nel::dsp::EcgAnalyser analyser;  // large; one per program
  analyser.Reset();
  analyser.StartConclusion();
  std::vector<double> detMs;
  nel::dsp::EcgBeatRecord beat{};
  int16_t rate = 0;
  for (float v : resampled)
    if (analyser.ProcessSample(nel::mitbih::ToUnitCounts(v), &beat, &rate)) detMs.push_back(beat.RIndex);
  analyser.PauseConclusion();
  res.mask = analyser.GetConclusion(&res.meanRate);

  std::vector<double> refMs;
  for (const auto& a : ann)
    if (nel::mitbih::IsBeatCode(a.code)) refMs.push_back(a.time * 1000.0 / rec.rate);
  const double endMs = resampled.size();
  res.name = name;
  res.score = nel::mitbih::Compare(refMs, detMs, kLearningMs, endMs);
  res.refBeats = static_cast<int64_t>(refMs.size());
  return true;
}

void PrintRow(const char* name, const Score& s, const char* extra) {
  std::printf("%-8s %6lld %6lld %5lld %5lld %7.2f %7.2f %7.1f %6.1f %s\n", name, static_cast<long long>(s.tp + s.fn),
              static_cast<long long>(s.tp), static_cast<long long>(s.fn), static_cast<long long>(s.fp), s.Se(),
              s.PPlus(), s.MeanErr(), s.SdErr(), extra);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = std::string(NEL_SHARED_DATA_DIR) + "/mitdb";
  int converter = SRC_SINC_MEDIUM_QUALITY;
  std::vector<std::string> names;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--data" && i + 1 < argc) {
      dir = argv[++i];
    } else if (a == "--quality" && i + 1 < argc) {
      const std::string q = argv[++i];
      converter = q == "best"      ? SRC_SINC_BEST_QUALITY
                  : q == "fastest" ? SRC_SINC_FASTEST
                  : q == "linear"  ? -1
                                   : SRC_SINC_MEDIUM_QUALITY;
    } else if (a == "-h" || a == "--help") {
      std::printf("usage: ecg_eval [--data DIR] [--quality best|medium|fastest|linear] [RECORD...]\n");
      return 0;
    } else {
      names.push_back(a);
    }
  }
  if (names.empty()) {
    for (int r = 100; r <= 124; ++r) {
      const std::string n = std::to_string(r);
      if (std::FILE* f = std::fopen((dir + "/" + n + ".hea").c_str(), "r")) {
        std::fclose(f);
        names.push_back(n);
      }
    }
  }
  if (names.empty()) {
    std::fprintf(stderr, "no records in %s\n", dir.c_str());
    return 1;
  }

  std::printf("%-8s %6s %6s %5s %5s %7s %7s %7s %6s %s\n", "record", "ref", "TP", "FN", "FP", "Se%", "+P%", "err ms",
              "sd ms", "conclusion mask / mean rate");
  Score gross, paced;
  int failures = 0;
  for (const std::string& n : names) {
    Result r;
    if (!Evaluate(dir, n, converter, r)) {
      ++failures;
      continue;
    }
    char extra[64];
    std::snprintf(extra, sizeof extra, "0x%04x / %d%s", r.mask, r.meanRate, IsPaced(n) ? "  (paced)" : "");
    PrintRow(n.c_str(), r.score, extra);
    (IsPaced(n) ? paced : gross).Add(r.score);
  }
  std::printf("\n");
  PrintRow("gross", gross, "(records not paced)");
  if (paced.tp + paced.fn > 0) PrintRow("paced", paced, "(102, 104, 107)");
  return failures ? 1 : 0;
}
