// TnelFIRFilter against the plain frame-by-frame bank (dsp/plain_filter_bank.h) and the stated behaviour.
#include <nel/dsp/fir_filter_bank.h>

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "dsp/iir_filter.h"
#include "dsp/plain_filter_bank.h"

namespace {

using nel::dsp::FirstOrderIir;
using nel::dsp::PlainFilterBank;

const std::vector<tagTYPE_NEL_WAVEDATA> kAll{WAVE_ECG,  WAVE_PCG,  WAVE_RBRA, WAVE_LBRA,
                                             WAVE_RANK, WAVE_LANK, WAVE_RTOE, WAVE_LTOE};

// Frame-major test input: distinct, band-rich signals per slot (AD-like scales).
std::vector<float> Frames(std::size_t width, int frames, int seed = 1) {
  std::vector<float> x(width * static_cast<std::size_t>(frames));
  unsigned r = static_cast<unsigned>(seed);
  for (int f = 0; f < frames; ++f)
    for (std::size_t s = 0; s < width; ++s) {
      r = r * 1664525u + 1013904223u;
      const double t = f * 0.001;
      x[f * width + s] =
          static_cast<float>(500.0 * std::sin(2 * M_PI * (1.1 + s) * t) + 80.0 * std::sin(2 * M_PI * 50.0 * t) +
                             2000.0 * s + static_cast<double>(r >> 20) - 2048.0);
    }
  return x;
}

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

void ExpectClose(const std::vector<float>& got, const std::vector<float>& expect, float scale) {
  ASSERT_EQ(got.size(), expect.size());
  // Filter outputs agree to ~1e-16; a stored float may differ by an ulp.
  const float tol = 4.0f * scale * 1.2e-7f;
  int bad = 0;
  for (std::size_t i = 0; i < got.size() && bad < 5; ++i)
    if (!(std::fabs(got[i] - expect[i]) <= tol)) {
      ++bad;
      ADD_FAILURE() << "value " << i << ": " << got[i] << " vs " << expect[i];
    }
}

TEST(TnelFIRFilter, MatchesThePlainModelInBothModesForEveryBlockSize) {
  for (auto mode : {DATAPROCESS_STANDARD, DATAPROCESS_RAW}) {
    SCOPED_TRACE(mode);
    const auto in = Frames(8, 4500);
    PlainFilterBank plain(mode);
    plain.SetWaveNumType(8, kAll.data());
    const Results expect = Feed(plain, in, 8, 27);
    Results first;
    for (int block : {1, 7, 27}) {
      TnelFIRFilter bank(mode);
      bank.SetWaveNumType(8, kAll.data());
      const Results got = Feed(bank, in, 8, block);
      ExpectClose(got.main, expect.main, 16000.0f);
      ExpectClose(got.low, expect.low, 16000.0f);
      if (block == 1) {
        first = got;
      } else {  // the block split changes nothing, bit for bit
        EXPECT_EQ(got.main, first.main) << block;
        EXPECT_EQ(got.low, first.low) << block;
      }
    }
  }
}

// Frame at which |result| of a slot peaks after an impulse at frame 0.
int PeakFrame(const std::vector<float>& r, std::size_t width, std::size_t slot) {
  int best = -1;
  float peak = 0.0f;
  for (std::size_t f = 0; f < r.size() / width; ++f)
    if (std::fabs(r[f * width + slot]) > peak) peak = std::fabs(r[f * width + slot]), best = static_cast<int>(f);
  return best;
}

std::vector<float> Impulse(std::size_t width, int frames) {
  std::vector<float> x(width * static_cast<std::size_t>(frames), 0.0f);
  for (std::size_t s = 0; s < width; ++s) x[s] = 1000.0f;
  return x;
}

TEST(TnelFIRFilter, KindsComeOutWithTheirStatedLags) {
  const auto in = Impulse(8, 2600);
  TnelFIRFilter standard(DATAPROCESS_STANDARD);
  standard.SetWaveNumType(8, kAll.data());
  auto r = Feed(standard, in, 8, 27);
  EXPECT_EQ(PeakFrame(r.main, 8, 0), 998);   // 498 + 250 + 250
  EXPECT_EQ(PeakFrame(r.main, 8, 1), 1000);  // 500 + 250 + 250
  for (std::size_t s = 2; s < 8; ++s) {
    EXPECT_EQ(PeakFrame(r.main, 8, s), 1000) << s;
    EXPECT_EQ(PeakFrame(r.low, 8, s), 1000) << s;
  }
  for (int f = 0; f < 498; ++f) ASSERT_EQ(r.main[f * 8 + 0], 0.0f) << f;
  for (int f = 0; f < 500; ++f) ASSERT_EQ(r.main[f * 8 + 1], 0.0f) << f;
  EXPECT_NE(r.main[498 * 8 + 0], 0.0f);  // the first filtered ECG sample
  EXPECT_NE(r.main[0 * 8 + 2], 0.0f);    // pulse rows are read as they are written
  // ECG and PCG: main and low are the same value
  for (std::size_t f = 0; f < 2600; ++f) {
    ASSERT_EQ(r.main[f * 8 + 0], r.low[f * 8 + 0]);
    ASSERT_EQ(r.main[f * 8 + 1], r.low[f * 8 + 1]);
  }

  TnelFIRFilter checking(DATAPROCESS_RAW);
  checking.SignalChecking = true;  // mode 2 during the signal check: full ECG chain
  checking.SetWaveNumType(8, kAll.data());
  r = Feed(checking, in, 8, 27);
  EXPECT_EQ(PeakFrame(r.main, 8, 0), 1498);
  EXPECT_EQ(PeakFrame(r.main, 8, 1), 1000);
}

TEST(TnelFIRFilter, Mode2PassesPcgRawAndEcgThroughTheHighpassOnly) {
  const auto in = Frames(8, 3500, 7);
  TnelFIRFilter bank(DATAPROCESS_RAW);
  bank.SetWaveNumType(8, kAll.data());
  const auto r = Feed(bank, in, 8, 27);
  FirstOrderIir hp(0.996666666666667, -0.996672216054523, 1.0, -0.996672216054523);
  for (int f = 0; f < 3500; ++f) {
    const float ecg = static_cast<float>(hp.Step(in[f * 8 + 0]));
    if (f + 998 < 3500) {
      ASSERT_EQ(r.main[(f + 998) * 8 + 0], ecg) << f;
    }
    if (f + 1000 < 3500) {
      ASSERT_EQ(r.main[(f + 1000) * 8 + 1], in[f * 8 + 1]) << f;
    }
    if (f < 998) {
      ASSERT_EQ(r.main[f * 8 + 0], 0.0f);
    }
    if (f < 1000) {
      ASSERT_EQ(r.main[f * 8 + 1], 0.0f);
    }
  }
}

TEST(TnelFIRFilter, SetWaveNumTypeZeroesRowsButKeepsFilterHistories) {
  const auto warm = Frames(8, 1500, 3);
  const auto later = Frames(8, 1200, 4);
  TnelFIRFilter reset(DATAPROCESS_STANDARD), kept(DATAPROCESS_STANDARD);
  reset.SetWaveNumType(8, kAll.data());
  kept.SetWaveNumType(8, kAll.data());
  Feed(reset, warm, 8, 27);
  Feed(kept, warm, 8, 27);
  reset.SetWaveNumType(8, kAll.data());
  EXPECT_EQ(reset.GetReadPos(), 0);
  EXPECT_EQ(reset.GetECGWritePos(), 498);
  EXPECT_EQ(reset.GetPCGWritePos(), 500);
  const auto a = Feed(reset, later, 8, 27);
  const auto b = Feed(kept, later, 8, 27);
  for (int f = 0; f < 1200; ++f) {
    if (f < 498) {
      ASSERT_EQ(a.main[f * 8 + 0], 0.0f) << f;
    }
    if (f < 500) {
      ASSERT_EQ(a.main[f * 8 + 1], 0.0f) << f;
    }
    for (int s = 2; s < 8; ++s) {  // pulse filters carried on exactly as without the reset
      ASSERT_EQ(a.main[f * 8 + s], b.main[f * 8 + s]);
      ASSERT_EQ(a.low[f * 8 + s], b.low[f * 8 + s]);
    }
  }
  // After the zeroed rows ECG and PCG continue from their filters' histories:
  // the rows then hold what the uninterrupted bank returns at the same frame.
  for (int f = 498; f < 1200; ++f) ASSERT_EQ(a.main[f * 8 + 0], b.main[f * 8 + 0]) << f;
  for (int f = 500; f < 1200; ++f) ASSERT_EQ(a.main[f * 8 + 1], b.main[f * 8 + 1]) << f;
  EXPECT_NE(b.main[100 * 8 + 0], 0.0f);
}

TEST(TnelFIRFilter, ConstantPulseSettlesToZeroInBothResults) {
  std::vector<float> in(6 * 4000);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = 123456.0f + static_cast<float>(i % 6) * 1000.0f;
  const std::vector<tagTYPE_NEL_WAVEDATA> pulses(kAll.begin() + 2, kAll.end());
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(6, pulses.data());
  const auto r = Feed(bank, in, 6, 27);
  for (int f = 2100; f < 4000; ++f)
    for (int s = 0; s < 6; ++s) {
      ASSERT_LE(std::fabs(r.main[f * 6 + s]), 0.05f) << f;  // a few float ulps of 1.2e5
      ASSERT_LE(std::fabs(r.low[f * 6 + s]), 0.05f) << f;
    }
  EXPECT_GT(std::fabs(r.main[500 * 6]), 1000.0f);  // not settled while the step passes the filters
}

TEST(TnelFIRFilter, EveryPositionWrapsAndPulseOnlyListsLeaveEcgAndPcgAlone) {
  const std::vector<tagTYPE_NEL_WAVEDATA> pulses{WAVE_RBRA, WAVE_LTOE};
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(2, pulses.data());
  Feed(bank, Frames(2, 2999), 2, 27);
  EXPECT_EQ(bank.GetReadPos(), 2999);
  EXPECT_EQ(bank.GetPulseWritePos(0), 2999);
  EXPECT_EQ(bank.GetPulseBaseWritePos(5), 2999);
  EXPECT_EQ(bank.GetPulseWritePos(1), 0);  // kind 3 is not in the list
  EXPECT_EQ(bank.GetECGWritePos(), 498);
  EXPECT_EQ(bank.GetPCGWritePos(), 500);
  Feed(bank, Frames(2, 1), 2, 1);
  EXPECT_EQ(bank.GetReadPos(), 0);
  EXPECT_EQ(bank.GetPulseWritePos(0), 0);
  EXPECT_EQ(bank.GetPulseBaseWritePos(5), 0);

  TnelFIRFilter all(DATAPROCESS_RAW);
  all.SetWaveNumType(8, kAll.data());
  Feed(all, Frames(8, 2002), 8, 27);  // ECG from 998, PCG from 1000: both reach 2999 then 0
  EXPECT_EQ(all.GetECGWritePos(), 0);
  EXPECT_EQ(all.GetPCGWritePos(), 2);
  EXPECT_EQ(all.GetReadPos(), 2002);
}

TEST(TnelFIRFilter, UnknownKindsEmptyBlocksAndBadArgumentsChangeNothing) {
  const std::vector<tagTYPE_NEL_WAVEDATA> kinds{WAVE_RBRA, static_cast<tagTYPE_NEL_WAVEDATA>(8),
                                                static_cast<tagTYPE_NEL_WAVEDATA>(-1)};
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(3, kinds.data());
  const auto in = Frames(3, 100);
  const auto r = Feed(bank, in, 3, 27);
  for (int f = 0; f < 100; ++f) {
    EXPECT_EQ(r.main[f * 3 + 1], in[f * 3 + 1]);  // raw value stays
    EXPECT_EQ(r.main[f * 3 + 2], in[f * 3 + 2]);
    EXPECT_EQ(r.low[f * 3 + 1], -777.0f);  // untouched
    EXPECT_EQ(r.low[f * 3 + 2], -777.0f);
  }
  EXPECT_EQ(bank.GetReadPos(), 100);
  float block[3] = {1, 2, 3}, low[3] = {4, 5, 6};
  EXPECT_TRUE(bank.WaveFilte(block, 0));
  EXPECT_TRUE(bank.WaveFilte(block, -3));
  EXPECT_TRUE(bank.WaveFilte(nullptr, 5));
  bank.GetWaveFilteResult(block, low, 0);
  bank.GetWaveFilteResult(nullptr, low, 1);
  EXPECT_EQ(bank.GetPulseWritePos(0), 100);
  EXPECT_EQ(bank.GetReadPos(), 100);
  EXPECT_EQ(block[0], 1.0f);
  EXPECT_EQ(low[2], 6.0f);

  bank.SetWaveNumType(-1, kinds.data());
  EXPECT_EQ(bank.GetWaveNum(), 0);
  std::vector<tagTYPE_NEL_WAVEDATA> many(20, WAVE_ECG);
  bank.SetWaveNumType(20, many.data());
  EXPECT_EQ(bank.GetWaveNum(), 14);
  bank.SetPath("ignored");
  bank.CloseFile();
}

// Two slots of one kind share the kind's filters and write position, sample by
// sample in frame order, exactly as frame-by-frame filtering does.
TEST(TnelFIRFilter, RepeatedKindSharesOneFilterInFrameOrder) {
  const std::vector<tagTYPE_NEL_WAVEDATA> kinds{WAVE_RANK, WAVE_ECG, WAVE_RANK, WAVE_PCG, WAVE_ECG};
  const auto in = Frames(5, 1300, 9);
  PlainFilterBank plain(DATAPROCESS_STANDARD);
  plain.SetWaveNumType(5, kinds.data());
  const auto expect = Feed(plain, in, 5, 27);
  TnelFIRFilter bank(DATAPROCESS_STANDARD);
  bank.SetWaveNumType(5, kinds.data());
  const auto got = Feed(bank, in, 5, 7);
  ExpectClose(got.main, expect.main, 16000.0f);
  ExpectClose(got.low, expect.low, 16000.0f);
  EXPECT_EQ(bank.GetPulseWritePos(2), 2600 % 3000);
}

}  // namespace
