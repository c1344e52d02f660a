// Heart sounds of a real recording: the EPHNOGRAM record ECGPCG0003 (ECG and
// phonocardiogram at 8000 samples/s) resampled to 1000 samples/s, presented as
// the ECG and PCG positions of wave records of 15 s, and analysed.
//
//   ephnogram_heart_sounds [DATA_DIR] [--save PREFIX]
//
// Prints, per 15 s record, the beats, the S1 and S2 marks and the S1-S2
// intervals; with --save writes each record as PREFIX<n>.nelwave for
// `nelctl analyse`.
#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <nel/analysis/data_ana.h>
#include <nel/analysis/wave_record_file.h>

namespace {

struct Channel {
  double gain = 1.0;
  double baseline = 0.0;
};

bool ReadHeader(const std::string& path, Channel (&ch)[2], int& rate, long& length) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return false;
  char name[64];
  int signals = 0;
  if (std::sscanf(line.c_str(), "%63s %d %d %ld", name, &signals, &rate, &length) != 4 || signals != 2) return false;
  for (int i = 0; i < 2; ++i) {
    if (!std::getline(in, line)) return false;
    char file[128];
    int format = 0;
    double gain = 0, baseline = 0;
    if (std::sscanf(line.c_str(), "%127s %d %lf(%lf)", file, &format, &gain, &baseline) != 4 || format != 16)
      return false;
    ch[i] = {gain, baseline};
  }
  return true;
}

std::vector<float> Resample(const std::vector<float>& in, double ratio) {
  std::vector<float> out(static_cast<size_t>(in.size() * ratio) + 16);
  SRC_DATA d{};
  d.data_in = in.data();
  d.input_frames = static_cast<long>(in.size());
  d.data_out = out.data();
  d.output_frames = static_cast<long>(out.size());
  d.src_ratio = ratio;
  if (src_simple(&d, SRC_SINC_MEDIUM_QUALITY, 1) != 0) return {};
  out.resize(static_cast<size_t>(d.output_frames_gen));
  return out;
}

// Display units as the façade delivers them: (12-bit count - ADBase) / ADDatum.
float Display(double counts, int base, int datum) {
  const double c = std::clamp(std::round(counts), 0.0, 4095.0);
  return static_cast<float>((c - base) / datum);
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir = std::string(NEL_SHARED_DATA_DIR) + "/ephnogram";
  std::string save;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--save") == 0 && i + 1 < argc)
      save = argv[++i];
    else
      dir = argv[i];
  }
  Channel ch[2];
  int rate = 0;
  long length = 0;
  if (!ReadHeader(dir + "/ECGPCG0003.hea", ch, rate, length)) {
    std::fprintf(stderr, "cannot read %s/ECGPCG0003.hea\n", dir.c_str());
    return 1;
  }
  std::ifstream dat(dir + "/ECGPCG0003.dat", std::ios::binary);
  std::vector<int16_t> raw(static_cast<size_t>(length) * 2);
  dat.read(reinterpret_cast<char*>(raw.data()), static_cast<std::streamsize>(raw.size() * 2));
  if (dat.gcount() != static_cast<std::streamsize>(raw.size() * 2)) {
    std::fprintf(stderr, "short data file\n");
    return 1;
  }
  std::vector<float> ecgMv(length), pcgMv(length);
  for (long i = 0; i < length; ++i) {
    ecgMv[i] = static_cast<float>((raw[2 * i] - ch[0].baseline) / ch[0].gain);
    pcgMv[i] = static_cast<float>((raw[2 * i + 1] - ch[1].baseline) / ch[1].gain);
  }
  const std::vector<float> ecg = Resample(ecgMv, 1000.0 / rate);
  const std::vector<float> pcg = Resample(pcgMv, 1000.0 / rate);
  if (ecg.empty() || pcg.size() != ecg.size()) {
    std::fprintf(stderr, "resampling failed\n");
    return 1;
  }
  // ECG: mV x 665 + 2130 counts (the unit's scale). PCG: scaled so that its
  // largest excursion is 1500 counts around 2130 (the heart-sound input has no
  // calibrated unit; the analysis normalises the PCG).
  double pcgMax = 0;
  for (float v : pcg) pcgMax = std::max(pcgMax, std::fabs(static_cast<double>(v)));
  const double pcgScale = pcgMax > 0 ? 1500.0 / pcgMax : 1.0;

  const tagTYPE_NEL_WAVEDATA kinds[2] = {WAVE_ECG, WAVE_PCG};
  const size_t recLen = 15000;
  std::printf("EPHNOGRAM ECGPCG0003: %ld samples at %d/s -> %zu at 1000/s, records of %zu\n", length, rate, ecg.size(),
              recLen);
  std::vector<int> allIntervals;
  for (size_t start = 0, n = 0; start + recLen <= ecg.size(); start += recLen, ++n) {
    std::vector<tagSAVE_WAVEDATA> rec(recLen);
    std::memset(rec.data(), 0, rec.size() * sizeof rec[0]);
    for (size_t i = 0; i < recLen; ++i) {
      rec[i].Wave[0] = Display(ecg[start + i] * 665.0 + 2130.0, 2130, 665);
      rec[i].Wave[1] = Display(pcg[start + i] * pcgScale + 2130.0, 2130, 100);
    }
    TnelDataAna ana(2, kinds, rec.data(), static_cast<int32_t>(recLen), 1000);
    const bool ok = ana.Analysis(true, 170, 0.0f, false);
    std::vector<int32_t> onsets, rPeaks;
    for (size_t i = 0; i < recLen; ++i) {
      if (rec[i].Mark[0] == MARK_ECG_ONSET) onsets.push_back(static_cast<int32_t>(i));
      if (rec[i].Mark[0] == MARK_ECG_R) rPeaks.push_back(static_cast<int32_t>(i));
    }
    int beats = 0, withS1 = 0, withS2 = 0, withBoth = 0;
    std::vector<int> iv;
    for (size_t b = 0; b + 1 < onsets.size(); ++b) {
      ++beats;
      int s1 = -1, s2 = -1;
      for (int32_t i = onsets[b]; i < onsets[b + 1]; ++i) {
        if (rec[i].Mark[1] == MARK_PCG_S1) s1 = i;
        if (rec[i].Mark[1] == MARK_PCG_S2) s2 = i;
      }
      withS1 += s1 >= 0;
      withS2 += s2 >= 0;
      if (s1 >= 0 && s2 >= 0) {
        ++withBoth;
        iv.push_back(s2 - s1);
      }
    }
    allIntervals.insert(allIntervals.end(), iv.begin(), iv.end());
    std::printf(
        "record %zu (%5.1f-%5.1f s): analysis %s, heart rate %d, beat length %d, R peaks %zu, beats %d, "
        "with S1 %d, with S2 %d, with both %d\n",
        n, start / 1000.0, (start + recLen) / 1000.0, ok ? "ok" : "FAILED", ana.HeartRate, ana.BeatLen, rPeaks.size(),
        beats, withS1, withS2, withBoth);
    if (!iv.empty()) {
      std::printf("  S1-S2 intervals (ms):");
      for (int v : iv) std::printf(" %d", v);
      std::printf("\n");
    }
    if (!save.empty()) {
      nel::analysis::WaveRecordFile f;
      f.sampleRate = 1000;
      f.kinds = {WAVE_ECG, WAVE_PCG};
      f.records = rec;
      for (auto& r : f.records) std::memset(r.Mark, 0, sizeof r.Mark);
      std::string error;
      const std::string path = save + std::to_string(n) + ".nelwave";
      if (!nel::analysis::WriteWaveRecordFile(path, f, error))
        std::fprintf(stderr, "%s\n", error.c_str());
      else
        std::printf("  saved %s\n", path.c_str());
    }
  }
  if (!allIntervals.empty()) {
    std::sort(allIntervals.begin(), allIntervals.end());
    double sum = 0;
    for (int v : allIntervals) sum += v;
    std::printf("all records: %zu S1-S2 intervals, min %d, median %d, mean %.1f, max %d ms\n", allIntervals.size(),
                allIntervals.front(), allIntervals[allIntervals.size() / 2], sum / allIntervals.size(),
                allIntervals.back());
  }
  return 0;
}
