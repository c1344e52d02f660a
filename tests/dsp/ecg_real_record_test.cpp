// The ECG analyser on the first minutes of a real recording (MIT-BIH record
// 100, read from the shared data folder), resampled from 360 to 1000 samples/s
// by linear interpolation.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

#include "../../tools/mitbih_record.h"
#include "dsp/ecg_analyser.h"

namespace nel::dsp {
namespace {

// The recordings are not part of the project; without them there is nothing to check.
bool HaveRecordings(const std::string& dir) {
  std::error_code ec;
  return std::filesystem::is_directory(dir, ec);
}

TEST(EcgRealRecord, FindsTheAnnotatedBeatsOfRecord100) {
  const std::string dir = std::string(NEL_SHARED_DATA_DIR) + "/mitdb";
  if (!HaveRecordings(dir)) GTEST_SKIP() << "no recordings at " << dir << " (set NEL_SHARED_DATA)";
  mitbih::Record rec;
  std::vector<mitbih::Annotation> ann;
  std::string error;
  ASSERT_TRUE(mitbih::ReadRecord(dir, "100", rec, error)) << error;
  ASSERT_TRUE(mitbih::ReadAnnotations(dir, "100", "atr", ann, error)) << error;
  ASSERT_EQ(rec.rate, 360.0);

  constexpr size_t kSeconds = 150;
  std::vector<float> mv(kSeconds * 360);
  for (size_t i = 0; i < mv.size(); ++i)
    mv[i] = static_cast<float>((rec.lead0[i] - rec.info[0].baseline) / rec.info[0].gain);
  const auto at1000 = mitbih::ResampleLinear(mv, 360.0, 1000.0);

  auto a = std::make_unique<EcgAnalyser>();
  std::vector<double> detected;
  EcgBeatRecord beat{};
  int16_t rate = 0;
  for (float v : at1000)
    if (a->ProcessSample(mitbih::ToUnitCounts(v), &beat, &rate)) detected.push_back(beat.RIndex);

  std::vector<double> reference;
  for (const auto& x : ann)
    if (mitbih::IsBeatCode(x.code)) reference.push_back(x.time * 1000.0 / 360.0);
  // Scored after 20 s of learning, up to 1 s before the end of the stretch.
  const auto s = mitbih::Compare(reference, detected, 20000.0, kSeconds * 1000.0 - 1000.0);
  ASSERT_GT(s.tp + s.fn, 150);
  EXPECT_LE(s.fn, 1);
  EXPECT_LE(s.fp, 1);
  EXPECT_LT(std::abs(s.MeanErr()), 20.0);
  // Record 100 runs at about 75 beats per minute.
  EXPECT_GE(rate, 65);
  EXPECT_LE(rate, 85);
}

TEST(EcgRealRecord, AnnotationReaderFindsEveryBeatOfRecord100) {
  const std::string dir = std::string(NEL_SHARED_DATA_DIR) + "/mitdb";
  if (!HaveRecordings(dir)) GTEST_SKIP() << "no recordings at " << dir << " (set NEL_SHARED_DATA)";
  std::vector<mitbih::Annotation> ann;
  std::string error;
  ASSERT_TRUE(mitbih::ReadAnnotations(dir, "100", "atr", ann, error)) << error;
  int beats = 0;
  for (const auto& x : ann) beats += mitbih::IsBeatCode(x.code);
  EXPECT_EQ(beats, 2273);  // records.tsv
  for (size_t i = 1; i < ann.size(); ++i) ASSERT_GE(ann[i].time, ann[i - 1].time);
  EXPECT_LT(ann.back().time, 650000);
}

}  // namespace
}  // namespace nel::dsp
