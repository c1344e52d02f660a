// Zero-point calibration: the ring of every fourth call, the steadiness test,
// the new offsets, the debug message and the failure line in coefficient.txt.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include <nel/cuff/zero_pressure_adjust.h>
#include <nel/platform/diagnostics.h>
#include "platform/gbk.h"
#include "platform/paths.h"
#include "result_file_lock.h"

namespace {

using nel::platform::ExecutableFolder;
using nel::platform::JoinPath;
using nel::platform::Utf8ToGbk;

std::string ResultPath() { return JoinPath(ExecutableFolder(), "coefficient.txt"); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void CaptureDebugText(nel::platform::DiagKind kind, nel::platform::DiagLevel, const char*, size_t, const char* text,
                      size_t len, void* ctx) {
  if (kind == nel::platform::DiagKind::kDebugString)
    static_cast<std::vector<std::string>*>(ctx)->emplace_back(text, len);
}

class ZeroPressureAdjust : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(lock_.Held());
    nel::platform::SetDiagnosticSink(&CaptureDebugText, &messages_);
  }
  void TearDown() override { nel::platform::SetDiagnosticSink(nullptr, nullptr); }

  static void Fill(tagAD_FORCE_CONVERT (&coeffs)[6], float slope) {
    for (int c = 0; c < 6; ++c) coeffs[c] = {slope, 100.0f + static_cast<float>(c)};
  }

  // Calls StartPressureAdjust `calls` times; `counts(callIndex, channel)` gives
  // each count, callIndex being CallCount at that call.
  static void Run(TnelZeroPressureAdjust& z, tagAD_FORCE_CONVERT* coeffs, int calls,
                  const std::function<int(int, int)>& counts) {
    for (int k = 0; k < calls; ++k) {
      const int call = z.CallCount;
      int ad[4];
      for (int i = 0; i < 4; ++i) ad[i] = counts(call, i);
      z.StartPressureAdjust(ad, nullptr, coeffs, nullptr);
    }
  }

  nel::test::ResultFileLock lock_;
  std::vector<std::string> messages_;
};

TEST_F(ZeroPressureAdjust, SteadyCountsAreZeroedAtTheFirstEvaluation) {
  TnelZeroPressureAdjust z;
  tagAD_FORCE_CONVERT coeffs[6];
  Fill(coeffs, 0.0003f);
  const auto constant = [](int, int) { return 61000; };
  int ad[4] = {1, 2, 3, 4};
  z.StartPressureAdjust(nullptr, nullptr, coeffs, nullptr);  // calls without counts or coefficients are ignored
  z.StartPressureAdjust(ad, nullptr, nullptr, nullptr);
  EXPECT_EQ(z.CallCount, 0);

  Run(z, coeffs, 2000, constant);
  for (int c = 0; c < 6; ++c) EXPECT_EQ(coeffs[c].Offset, 100.0f + c) << "no change before call 2001";
  EXPECT_TRUE(messages_.empty());

  Run(z, coeffs, 1, constant);  // call 2001
  for (int c = 0; c < 6; ++c) {
    EXPECT_FLOAT_EQ(coeffs[c].Offset, -18.3f) << c;
    EXPECT_EQ(coeffs[c].Slope, 0.0003f) << "slope kept";
  }
  for (bool done : z.ChlDone) EXPECT_TRUE(done);
  EXPECT_FALSE(z.Finished) << "noticed on the next call";
  ASSERT_EQ(messages_.size(), 4u);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(messages_[i], Utf8ToGbk(std::to_string(i) + "  通道零点压力校准成功!\n"));

  Run(z, coeffs, 1, constant);
  EXPECT_TRUE(z.Finished);
  EXPECT_TRUE(z.Success);
  EXPECT_EQ(z.CallCount, 2002);
  Run(z, coeffs, 100, [](int, int) { return 999999; });  // done: counts are not looked at
  EXPECT_FLOAT_EQ(coeffs[0].Offset, -18.3f);
  EXPECT_EQ(messages_.size(), 4u);
  EXPECT_EQ(ReadFile(ResultPath()), "");
  z.Init();  // a new calibration counts again from the start
  EXPECT_EQ(z.CallCount, 0);
  EXPECT_FALSE(z.Finished || z.Success || z.ChlDone[0] || z.ChlDone[3]);
}

TEST_F(ZeroPressureAdjust, RingHoldsEveryFourthCallOfTheLast2000) {
  TnelZeroPressureAdjust z;
  tagAD_FORCE_CONVERT coeffs[6];
  Fill(coeffs, 0.0003f);
  // Calls between the samples carry wild counts: they are never looked at.
  // A spike on the sampled call 4 (ring slot 1) keeps every channel unsteady
  // until call 2004 overwrites that slot.
  const auto counts = [](int call, int i) {
    if (call % 4 != 0) return 5000000;
    if (call == 4) return 70000;
    return 61000 + 10 * i;
  };
  Run(z, coeffs, 2004, counts);  // CallCount 0..2003
  for (bool done : z.ChlDone) EXPECT_FALSE(done);
  Run(z, coeffs, 1, counts);  // CallCount 2004
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(z.ChlDone[i]) << i;
    EXPECT_FLOAT_EQ(coeffs[i].Offset, -0.0003f * (61000 + 10 * i)) << i;
  }
  EXPECT_EQ(coeffs[4].Offset, coeffs[2].Offset);
  EXPECT_EQ(coeffs[5].Offset, coeffs[3].Offset);
}

TEST_F(ZeroPressureAdjust, SteadinessUsesEachChannelsSlopeAndIsStrict) {
  TnelZeroPressureAdjust z;
  tagAD_FORCE_CONVERT coeffs[6];
  Fill(coeffs, 0.05f);
  coeffs[2].Slope = 0.001f;
  coeffs[3].Slope = 0.0f;  // a zero slope reads every spread as steady
  // Channel 0 spreads 3 counts (0.15 mmHg), channel 1 spreads 4 (0.2 mmHg,
  // not under 0.2), channel 2 spreads 100 counts at 0.001 (0.1 mmHg) around a
  // negative mean, channel 3 wanders widely.
  const auto counts = [](int call, int i) {
    const bool odd = (call / 4) % 2 == 1;
    switch (i) {
      case 0: return odd ? 1003 : 1000;
      case 1: return odd ? 1004 : 1000;
      case 2: return odd ? -950 : -1050;
      default: return call * 1000;
    }
  };
  Run(z, coeffs, 2001, counts);
  EXPECT_TRUE(z.ChlDone[0]);
  EXPECT_FALSE(z.ChlDone[1]);
  EXPECT_TRUE(z.ChlDone[2]);
  EXPECT_TRUE(z.ChlDone[3]);
  EXPECT_FLOAT_EQ(coeffs[0].Offset, -0.05f * 1001.5f);
  EXPECT_EQ(coeffs[1].Offset, 101.0f);
  EXPECT_FLOAT_EQ(coeffs[2].Offset, 1.0f);  // mean -1000 at 0.001 mmHg per count
  EXPECT_EQ(coeffs[4].Offset, coeffs[2].Offset);
  EXPECT_EQ(coeffs[5].Offset, 0.0f);  // -0 * sum
  ASSERT_EQ(messages_.size(), 3u);
  EXPECT_EQ(messages_[1].substr(0, 3), "2  ");
}

TEST_F(ZeroPressureAdjust, UnsteadyChannelFailsAfter10000CallsAndKeepsWriting) {
  {
    std::ofstream old(ResultPath(), std::ios::binary);
    old << "left over from an earlier run";
  }
  TnelZeroPressureAdjust z;
  ASSERT_NE(z.ResultFile, nullptr);
  EXPECT_EQ(ReadFile(ResultPath()), "") << "emptied when the object is created";

  tagAD_FORCE_CONVERT coeffs[6];
  Fill(coeffs, 0.0003f);
  // Channel 1 never settles; the others are steady.
  const auto counts = [](int call, int i) { return i == 1 ? (call % 8) * 1000 : 61000; };
  Run(z, coeffs, 10004, counts);  // CallCount 0..10003
  EXPECT_FALSE(z.Finished);
  EXPECT_TRUE(z.Busy);
  EXPECT_EQ(ReadFile(ResultPath()), "");
  EXPECT_TRUE(z.ChlDone[0] && z.ChlDone[2] && z.ChlDone[3]);

  const std::string line = Utf8ToGbk("压力校准失败!\n");
  Run(z, coeffs, 1, counts);  // CallCount 10004, the first evaluation past 10000
  EXPECT_TRUE(z.Finished);
  EXPECT_FALSE(z.Busy);
  EXPECT_FALSE(z.Success);
  EXPECT_EQ(ReadFile(ResultPath()), line);

  Run(z, coeffs, 4 + 4 * 4, counts);  // through CallCount 10024: five more evaluations
  EXPECT_EQ(ReadFile(ResultPath()), line + line + line + line + line + line);
  EXPECT_FLOAT_EQ(coeffs[0].Offset, -18.3f) << "steady channels keep their new offsets";
  EXPECT_EQ(coeffs[1].Offset, 101.0f);
  z.StopPressureAdjust();
  EXPECT_TRUE(z.Finished);
  EXPECT_FALSE(z.Busy);
}

}  // namespace
