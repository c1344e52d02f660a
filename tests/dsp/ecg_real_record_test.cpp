// The ECG analyser and the heart-rate tracker on stretches of MIT-BIH records
// (shared data folder): the beats found are checked against the annotations,
// and everything produced is kept as golden records under tests/dsp/golden/.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <sstream>
#include <nel/dsp/ecg_pulse_rate.h>

#include "../../tools/mitbih_record.h"
#include "../common/golden.h"
#include "dsp/ecg_analyser.h"

namespace nel::dsp {
namespace {

struct Stretch {
  const char* record;
  int32_t fromS;
  int32_t seconds;
  const char* why;
};

const Stretch kStretches[] = {
    {"100", 0, 150, "sinus rhythm"},
    {"106", 0, 180, "ventricular bigeminy, a ventricular run, isolated PVCs"},
    {"119", 0, 180, "ventricular bigeminy and trigeminy"},
    {"114", 180, 180, "isolated PVCs on a slow, irregular rhythm"},
};

struct RecordRun {
  std::vector<EcgBeatRecord> beats;
  std::vector<int16_t> rate, pulse;  // once a second: analyser, tracker
  std::ostringstream text;           // the golden record
};

void Analyse(const std::vector<int16_t>& counts, RecordRun& r) {
  auto a = std::make_unique<EcgAnalyser>();
  TrwECGPulseRate tracker(1000);
  a->StartConclusion();
  std::vector<int32_t> thresholds;  // detection threshold when each beat was accepted
  for (size_t i = 0; i < counts.size(); ++i) {
    int16_t hr = 0;
    if (a->ProcessSample(counts[i], nullptr, &hr)) thresholds.push_back(a->Threshold());
    tracker.ProcessOnceData(counts[i]);
    // A beat is final once its conclusion step (R + 220) has run.
    for (auto k = static_cast<int32_t>(r.beats.size()); k < a->BeatCount() && a->Cursor() > a->Beat(k).RIndex + 220;
         ++k) {
      const EcgBeatRecord& x = a->Beat(k);
      r.beats.push_back(x);
      r.text << "beat " << x.RIndex << ' ' << x.Onset << ' ' << x.Offset << ' ' << x.RR << ' ' << x.RRRatio << ' '
             << x.Width << ' ' << x.Label << ' ' << int{a->RhythmCode(k)} << ' ' << thresholds[static_cast<size_t>(k)]
             << '\n';
    }
    if ((i + 1) % 1000 == 0) r.rate.push_back(hr), r.pulse.push_back(tracker.GetPulse());
  }
  for (size_t s = 0; s < r.rate.size(); s += 10) {
    r.text << "rate " << s + 1;
    for (size_t k = s; k < std::min(s + 10, r.rate.size()); ++k) r.text << ' ' << r.rate[k] << '/' << r.pulse[k];
    r.text << '\n';
  }
  int32_t meanRate = 0;
  const uint32_t mask = a->GetConclusion(&meanRate);
  r.text << "conclusion " << mask << ' ' << meanRate << '\n';
}

constexpr const char* kLayout =
    "beat R onset offset RR RRratio width label code threshold: each beat once final (R + 220); code is\n"
    "RhythmCode(k) (a slot keeps its code until a later beat there gets one), threshold when accepted\n"
    "rate SECOND analyser/tracker rate per minute at the end of each second; conclusion MASK MEAN_RATE\n"
    "Remake: NEL_UPDATE_GOLDEN=1 nel_dsp_tests --gtest_filter='*EcgRealRecord*'";

class EcgRealRecord : public ::testing::TestWithParam<Stretch> {};

TEST_P(EcgRealRecord, MatchesTheAnnotationsAndTheGoldenRecord) {
  const Stretch& s = GetParam();
  const std::string dir = std::string(NEL_SHARED_DATA_DIR) + "/mitdb";
  std::error_code ec;
  if (!std::filesystem::is_directory(dir, ec)) GTEST_SKIP() << "no recordings at " << dir;
  mitbih::Record rec;
  std::vector<mitbih::Annotation> ann;
  std::string error;
  ASSERT_TRUE(mitbih::ReadRecord(dir, s.record, rec, error)) << error;
  ASSERT_TRUE(mitbih::ReadAnnotations(dir, s.record, "atr", ann, error)) << error;
  ASSERT_EQ(rec.rate, 360.0);

  const auto from = static_cast<size_t>(s.fromS) * 360;
  std::vector<float> mv(static_cast<size_t>(s.seconds) * 360);
  for (size_t i = 0; i < mv.size(); ++i)
    mv[i] = static_cast<float>((rec.lead0[from + i] - rec.info[0].baseline) / rec.info[0].gain);
  std::vector<int16_t> counts;
  for (float v : mitbih::ResampleLinear(mv, 360.0, 1000.0)) counts.push_back(mitbih::ToUnitCounts(v));
  RecordRun run;
  Analyse(counts, run);

  // Beats: scored after 20 s of learning, up to 1 s before the end.
  std::vector<double> refMs, detMs;
  for (const auto& x : ann)
    if (mitbih::IsBeatCode(x.code) && x.time >= static_cast<int64_t>(from))
      refMs.push_back((x.time - static_cast<double>(from)) * 1000.0 / 360.0);
  for (const EcgBeatRecord& b : run.beats) detMs.push_back(b.RIndex);
  const auto score = mitbih::Compare(refMs, detMs, 20000.0, s.seconds * 1000.0 - 1000.0);
  EXPECT_GE(score.Se(), 99.0) << score.fn << " missed";
  EXPECT_GE(score.PPlus(), 99.0) << score.fp << " false";
  EXPECT_LT(std::abs(score.MeanErr()), 30.0);

  const std::string header = std::string("MIT-BIH record ") + s.record + " lead 0, " + std::to_string(s.seconds) +
                             " s from " + std::to_string(s.fromS) + " s (" + s.why + "), resampled to 1000/s " +
                             "linearly,\ncounts = mV x 665 + 2130; conclusion over the whole stretch.\n" + kLayout;
  golden::Check(std::string("dsp/golden/ecg_record_") + s.record + ".txt", run.text.str(), header);
}

INSTANTIATE_TEST_SUITE_P(Mitdb, EcgRealRecord, ::testing::ValuesIn(kStretches),
                         [](const auto& p) { return std::string("Record") + p.param.record; });

}  // namespace
}  // namespace nel::dsp
