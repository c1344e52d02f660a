// TnelFIRFilter against the plain frame-by-frame bank (dsp/plain_filter_bank.h),
// a golden record and the stated behaviour.
#include <nel/dsp/fir_filter_bank.h>

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "../common/golden.h"
#include "dsp/plain_filter_bank.h"

namespace {

using nel::dsp::PlainFilterBank;

const std::vector<tagTYPE_NEL_WAVEDATA> kAll{WAVE_ECG,  WAVE_PCG,  WAVE_RBRA, WAVE_LBRA,
                                             WAVE_RANK, WAVE_LANK, WAVE_RTOE, WAVE_LTOE};

struct Results {
  std::vector<float> main, low;
};

// Feeds `in` in blocks of `block` frames (WaveFilte then GetWaveFilteResult).
template <class Bank>
Results Feed(Bank& bank, const std::vector<float>& in, std::size_t width, int block) {
  const int frames = static_cast<int>(in.size() / width);
  Results r{in, std::vector<float>(in.size(), -777.0f)};  // main filtered in place, as the owner does
  for (int f = 0; f < frames; f += block) {
    const int n = std::min(block, frames - f);
    bank.WaveFilte(&r.main[f * width], static_cast<short>(n));
    bank.GetWaveFilteResult(&r.main[f * width], &r.low[f * width], static_cast<short>(n));
  }
  return r;
}

// Filter outputs agree to ~1e-16; a stored float may differ by an ulp.
void ExpectClose(const std::vector<float>& got, const std::vector<float>& expect) {
  ASSERT_EQ(got.size(), expect.size());
  for (std::size_t i = 0; i < got.size(); ++i) ASSERT_NEAR(got[i], expect[i], 4 * 16000 * 1.2e-7) << i;
}

// Frame-major input: in slot s at frame f (counted from `from`) a sine of
// 1 + s Hz, mains hum, an offset of 2000 s and a step at frame 300 + 100 s.
std::vector<float> Steps(std::size_t width, int frames, int from = 0) {
  std::vector<float> x(width * static_cast<std::size_t>(frames));
  for (int i = 0; i < frames; ++i)
    for (std::size_t s = 0; s < width; ++s) {
      const int f = from + i;
      x[i * width + s] = static_cast<float>(2000.0 * s + 400.0 * std::sin(2 * M_PI * (1.0 + s) * f / 1000.0) +
                                            60.0 * std::sin(2 * M_PI * 50.0 * f / 1000.0) +
                                            (f >= 300 + 100 * static_cast<int>(s) ? 300.0 : 0.0));
    }
  return x;
}

// Every chain in both modes and during the signal check, against the plain
// bank and as a golden record: every 23rd frame of both results, and the sums
// of each slot over all frames.
TEST(TnelFIRFilter, EveryChainMatchesThePlainBankAndTheGoldenRecord) {
  constexpr int kFrames = 2600;
  const auto in = Steps(8, kFrames);
  struct Mode {
    const char* name;
    tagTYPE_DATAPROCESSMODE mode;
    bool checking;
  };
  std::string text;
  char buf[64];
  for (const Mode m : {Mode{"standard", DATAPROCESS_STANDARD, false}, Mode{"raw", DATAPROCESS_RAW, false},
                       Mode{"raw-checking", DATAPROCESS_RAW, true}}) {
    SCOPED_TRACE(m.name);
    PlainFilterBank plain(m.mode);
    plain.SignalChecking = m.checking;
    plain.SetWaveNumType(8, kAll.data());
    const Results expect = Feed(plain, in, 8, 27);
    std::vector<Results> got;
    for (int block : {27, 1, 7}) {
      TnelFIRFilter bank(m.mode);
      bank.SignalChecking = m.checking;
      bank.SetWaveNumType(8, kAll.data());
      got.push_back(Feed(bank, in, 8, block));
      EXPECT_TRUE(got.back().main == got[0].main && got.back().low == got[0].low) << "block " << block;
    }
    ExpectClose(got[0].main, expect.main);
    ExpectClose(got[0].low, expect.low);
    double sum[16] = {};
    for (int f = 0; f < kFrames; ++f) {
      const bool kept = f % 23 == 0;
      if (kept) text += std::string(m.name) + " " + std::to_string(f);
      for (int s = 0; s < 16; ++s) {
        const float v = (s < 8 ? got[0].main : got[0].low)[f * 8 + s % 8];
        sum[s] += v;
        if (kept) std::snprintf(buf, sizeof buf, " %.3f", v), text += buf;
      }
      if (kept) text += "\n";
    }
    text += std::string("sum ") + m.name;
    for (double v : sum) std::snprintf(buf, sizeof buf, " %.3f", v), text += buf;
    text += "\n";
  }
  nel::golden::Check("dsp/golden/filter_bank.txt", text,
                     "TnelFIRFilter, 8 slots (kinds 0..7), 2600 frames fed in blocks of 27.\n"
                     "Input of slot s at frame f: 2000 s + 400 sin(2 pi (1 + s) f / 1000) + 60 sin(2 pi 50 f / 1000)\n"
                     "  + 300 from frame 300 + 100 s on.\n"
                     "MODE FRAME main0..main7 low0..low7 every 23rd frame; sum MODE: each column over all frames.\n"
                     "Modes: standard, raw (mode 2), raw-checking (mode 2 during the signal check).\n"
                     "Remake: NEL_UPDATE_GOLDEN=1 nel_dsp_tests --gtest_filter='*TnelFIRFilter.EveryChain*'",
                     {0.01, 1e-6});
}

TEST(TnelFIRFilter, SetWaveNumTypeZeroesRowsButKeepsFilterHistories) {
  TnelFIRFilter reset(DATAPROCESS_STANDARD), kept(DATAPROCESS_STANDARD);
  for (TnelFIRFilter* b : {&reset, &kept}) {
    b->SetWaveNumType(8, kAll.data());
    Feed(*b, Steps(8, 1500), 8, 27);
  }
  reset.SetWaveNumType(8, kAll.data());
  EXPECT_EQ(reset.GetReadPos(), 0);
  EXPECT_EQ(reset.GetECGWritePos(), 498);
  EXPECT_EQ(reset.GetPCGWritePos(), 500);
  const auto a = Feed(reset, Steps(8, 1200, 1500), 8, 27);
  const auto b = Feed(kept, Steps(8, 1200, 1500), 8, 27);
  // ECG rows start zeroed for 498 frames, PCG for 500; after that, and for
  // the pulse slots throughout, the filters carry on as without the reset.
  for (int f = 0; f < 1200; ++f)
    for (int s = 0; s < 8; ++s) {
      const bool zeroed = (s == 0 && f < 498) || (s == 1 && f < 500);
      ASSERT_EQ(a.main[f * 8 + s], zeroed ? 0.0f : b.main[f * 8 + s]) << f << " " << s;
      if (s >= 2) {
        ASSERT_EQ(a.low[f * 8 + s], b.low[f * 8 + s]);
      }
    }
  EXPECT_NE(b.main[100 * 8 + 0], 0.0f);
}

// Two slots of one kind share the kind's filters and write position, sample by
// sample in frame order, exactly as frame-by-frame filtering does.
TEST(TnelFIRFilter, RepeatedKindSharesOneFilterInFrameOrder) {
  const std::vector<tagTYPE_NEL_WAVEDATA> kinds{WAVE_RANK, WAVE_ECG, WAVE_RANK, WAVE_PCG, WAVE_ECG};
  const auto in = Steps(5, 1300);
  PlainFilterBank plain(DATAPROCESS_STANDARD);
  plain.SetWaveNumType(5, kinds.data());
  const auto expect = Feed(plain, in, 5, 27);
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(5, kinds.data());
  const auto got = Feed(bank, in, 5, 7);
  ExpectClose(got.main, expect.main);
  ExpectClose(got.low, expect.low);
  EXPECT_EQ(bank.GetPulseWritePos(2), 2600 % 3000);
}

}  // namespace
