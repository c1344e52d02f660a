// Pulse recognition on synthetic conditioned streams: window judgement, the
// envelope maximum and its review, the end checks, the toe pulse search and
// the final pulse list.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include <nel/bp/pulse_recogn.h>

namespace {

constexpr int kWin = TnelPulseRecogn::kWinLen;

// Feeds one window of 155 samples at a constant pressure whose OscSmooth is 0
// except one sample of value `amp`; returns the status of its last sample.
tagTYPE_PULSERECOGN_STATUS FeedWindow(TnelPulseRecogn& r, int amp, float pressure) {
  tagTYPE_PULSERECOGN_STATUS st = PRS_NONE;
  for (int k = 0; k < kWin; ++k) st = r.PulseRecogn(0, k == 70 ? amp : 0, pressure, true);
  return st;
}

void FeedWindows(TnelPulseRecogn& r, const std::vector<int>& amps, float pressure) {
  for (int a : amps) FeedWindow(r, a, pressure);
}

std::unique_ptr<TnelPulseRecogn> Limb(int16_t maxPressure = 280) {
  auto r = std::make_unique<TnelPulseRecogn>();
  r->Initialize(BPVMODE_INFLATE, false, maxPressure);
  return r;
}

TEST(PulseRecognInit, LimitsFollowCuffKindAndMode) {
  TnelPulseRecogn r;
  ASSERT_NE(r.FiltedData, nullptr);
  EXPECT_EQ(r.MinAmp, 600);
  EXPECT_EQ(r.MAPMinAmp, 900);
  EXPECT_EQ(r.FinishPressure, 125);
  EXPECT_EQ(r.MaxPressure, 280);
  r.Initialize(BPVMODE_INFLATE, true, 250);
  EXPECT_EQ(r.MinAmp, 380);
  EXPECT_EQ(r.MAPMinAmp, 570);
  EXPECT_EQ(r.FinishPressure, 90);
  r.Initialize(BPVMODE_DEFLATE, true, 250);
  EXPECT_EQ(r.FinishPressure, 40);
  r.Initialize(BPVMODE_DEFLATE, false, 250);
  EXPECT_EQ(r.FinishPressure, 50);
}

TEST(PulseRecognLimits, OverPressureAtExactlyTheMaximumIsLatched) {
  auto r = Limb(200);
  EXPECT_EQ(r->PulseRecogn(1, 1, 199.9f, true), PRS_NONE);
  EXPECT_EQ(r->FiltedCount, 1);
  EXPECT_EQ(r->PulseRecogn(1, 1, 200.0f, true), PRS_OVERPRESSURE);
  EXPECT_TRUE(r->OverPressure);
  EXPECT_EQ(r->FiltedCount, 1);  // the over-pressure sample is not stored
  EXPECT_EQ(r->PulseRecogn(1, 1, 50.0f, true), PRS_OVERPRESSURE);
  r->Initialize();
  EXPECT_EQ(r->PulseRecogn(1, 1, 50.0f, true), PRS_NONE);
}

TEST(PulseRecognLimits, SampleLimitAndMissingBufferAreReported) {
  auto r = Limb();
  for (int i = 0; i < TnelPulseRecogn::kMaxFilted; ++i) ASSERT_NE(r->PulseRecogn(0, 0, 20.0f, true), PRS_OVERRUN) << i;
  EXPECT_EQ(r->FiltedCount, TnelPulseRecogn::kMaxFilted);
  EXPECT_EQ(r->PulseRecogn(0, 0, 20.0f, true), PRS_OVERRUN);
  EXPECT_EQ(r->FiltedCount, TnelPulseRecogn::kMaxFilted);

  tagBPV_FILTED_DATA* saved = r->FiltedData;
  r->FiltedData = nullptr;
  r->Initialize();
  EXPECT_EQ(r->PulseRecogn(0, 0, 20.0f, true), PRS_NOBUFFER);
  r->FinalPulseRecogn();
  EXPECT_EQ(r->FeatureCount, 0);
  r->FiltedData = saved;
}

TEST(PulseRecognWindows, JudgementOfCompletedWindows) {
  auto r = Limb();
  // 154 samples complete nothing; the 155th completes the window.
  for (int k = 0; k < kWin - 1; ++k) ASSERT_EQ(r->PulseRecogn(0, k == 3 ? 700 : 0, 60.0f, true), PRS_NONE);
  EXPECT_EQ(r->WinCount, 0);
  EXPECT_EQ(r->PulseRecogn(0, 0, 60.0f, true), PRS_PULSE);
  EXPECT_EQ(r->WinCount, 1);
  EXPECT_EQ(r->Windows[0].Status, TnelPulseRecogn::WIN_VALID);
  EXPECT_EQ(r->Windows[0].Amp, 700);
  EXPECT_EQ(r->Windows[0].MaxPos, 3);
  EXPECT_EQ(r->Windows[0].MinPos, 0);  // first occurrence of the minimum

  EXPECT_EQ(FeedWindow(*r, 599, 60.0f), PRS_PULSE);
  EXPECT_EQ(r->Windows[1].Status, TnelPulseRecogn::WIN_SMALL);
  EXPECT_EQ(r->Windows[1].MinPos, kWin);

  // Below 14 mmHg: ignored, and its completion returns PRS_NONE.
  EXPECT_EQ(FeedWindow(*r, 5000, 13.9f), PRS_NONE);
  EXPECT_EQ(r->Windows[2].Status, TnelPulseRecogn::WIN_LOWPRESSURE);
  EXPECT_EQ(FeedWindow(*r, 5000, 14.0f), PRS_PULSE);
  EXPECT_EQ(r->Windows[3].Status, TnelPulseRecogn::WIN_VALID);

  // Very large windows below 40 mmHg are movement artefacts.
  EXPECT_EQ(FeedWindow(*r, 12001, 39.9f), PRS_PULSE);
  EXPECT_EQ(r->Windows[4].Status, TnelPulseRecogn::WIN_ARTEFACT);
  auto r2 = Limb();
  FeedWindow(*r2, 12001, 40.0f);
  EXPECT_EQ(r2->Windows[0].Status, TnelPulseRecogn::WIN_VALID);
}

TEST(PulseRecognWindows, NewestWindowSpikeIsAnArtefact) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1000, 1000, 1000}, 60.0f);
  FeedWindow(*r, 3400, 60.0f);  // below 3.5 x the trimmed mean 1000
  EXPECT_EQ(r->Windows[4].Status, TnelPulseRecogn::WIN_VALID);
  auto r2 = Limb();
  FeedWindows(*r2, {1000, 1000, 1000, 1000, 4000}, 60.0f);
  EXPECT_EQ(r2->Windows[4].Status, TnelPulseRecogn::WIN_ARTEFACT);
}

TEST(PulseRecognMaximum, NeedsFiveWindowsAndTwoValidOnEachSide) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1500, 3000, 1500}, 60.0f);
  EXPECT_EQ(r->MAPWin, -1);  // fewer than five windows: no search at all
  FeedWindow(*r, 1000, 60.0f);
  EXPECT_EQ(r->MAPWin, 2);
  EXPECT_EQ(r->MAPAmp, 3000);
  EXPECT_EQ(r->CutoffPressure, 140);
}

TEST(PulseRecognMaximum, EarlierOfTwoEqualCandidatesWins) {
  auto r = Limb();
  // Window 4 equals window 2 but has no window after it; only the earlier
  // one can be accepted, and it is.
  FeedWindows(*r, {1000, 1200, 2500, 1200, 2500}, 60.0f);
  EXPECT_EQ(r->MAPWin, 2);
}

TEST(PulseRecognMaximum, CandidateWaitsForTwoValidWindowsAfterIt) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1200, 1500, 1800, 2500}, 60.0f);
  EXPECT_EQ(r->MAPWin, -1);
  FeedWindow(*r, 2000, 60.0f);
  EXPECT_EQ(r->MAPWin, -1);
  FeedWindow(*r, 400, 60.0f);  // a small window does not count
  EXPECT_EQ(r->MAPWin, -1);
  FeedWindow(*r, 1500, 60.0f);
  EXPECT_EQ(r->MAPWin, 4);
}

TEST(PulseRecognMaximum, CandidateBelowFortyMmHgOrTooSmallIsNotTaken) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1500, 3000, 1500, 1000}, 39.0f);
  EXPECT_EQ(r->MAPWin, -1);
  auto r2 = Limb();
  FeedWindows(*r2, {700, 750, 899, 750, 700}, 60.0f);
  EXPECT_EQ(r2->MAPWin, -1);
}

TEST(PulseRecognMaximum, TwoLargerWindowsAfterTheMaximumDropIt) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1500, 3000, 1500, 1000, 3500}, 60.0f);
  EXPECT_EQ(r->MAPWin, 2);
  FeedWindow(*r, 3600, 60.0f);
  EXPECT_EQ(r->MAPWin, -1);
  EXPECT_EQ(r->SearchStart, 0);
  FeedWindows(*r, {2000, 1500}, 60.0f);
  EXPECT_EQ(r->MAPWin, 6);
}

// The review runs in the call that accepts a maximum: two movement artefacts
// right after it, larger than it, drop it at once, before the end check can
// take it for the envelope's top.
TEST(PulseRecognMaximum, TwoArtefactsRightAfterAnAcceptedMaximumDropItInTheSameCall) {
  auto r = Limb();
  // Window 5 is a spike when it arrives, window 6 more than 1.5 x a spike;
  // window 8 brings the second valid window after the maximum (window 4).
  FeedWindows(*r, {2000, 2200, 2400, 2600, 3000, 12000, 19000, 2500}, 60.0f);
  ASSERT_EQ(r->MAPWin, -1);
  FeedWindow(*r, 2400, 60.0f);
  ASSERT_EQ(r->Windows[5].Status, TnelPulseRecogn::WIN_ARTEFACT);
  ASSERT_EQ(r->Windows[6].Status, TnelPulseRecogn::WIN_ARTEFACT);
  EXPECT_EQ(r->MAPWin, -1);
  EXPECT_EQ(r->SearchStart, 0);
  EXPECT_FALSE(r->EnvelopeEnded);
}

TEST(PulseRecognMaximum, StillRisingEnvelopeDropsTheMaximum) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1500, 3000, 1500, 1000, 1200, 1800}, 60.0f);
  EXPECT_EQ(r->MAPWin, 2);
  FeedWindow(*r, 2400, 60.0f);  // third window in a row below its newer neighbour
  EXPECT_EQ(r->MAPWin, -1);
  EXPECT_EQ(r->SearchStart, 4);                                 // windows 6, 5 and 4 each below their newer neighbour
  EXPECT_EQ(r->Windows[2].Status, TnelPulseRecogn::WIN_VALID);  // 1.5 x 2400 >= 3000
}

TEST(PulseRecognMaximum, LowEnvelopeEndsAndRisingAgainMarksTheOldMaximum) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1500, 3000, 1500, 1200}, 60.0f);
  ASSERT_EQ(r->MAPWin, 2);
  EXPECT_FALSE(r->EnvelopeEnded);  // 1200 is not below 0.38 x 3000
  FeedWindow(*r, 700, 60.0f);      // valid window below 0.38 x 3000
  EXPECT_TRUE(r->EnvelopeEnded);
  FeedWindows(*r, {900, 1100, 1300}, 60.0f);
  EXPECT_EQ(r->MAPWin, -1);
  EXPECT_FALSE(r->EnvelopeEnded);
  EXPECT_EQ(r->Windows[2].Status, TnelPulseRecogn::WIN_ARTEFACT);  // 1.5 x 1300 < 3000
  EXPECT_EQ(r->SearchStart, 5);
}

TEST(PulseRecognEnd, ThreeTrailingSmallWindowsEndOnlyAboveFinishPressure) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1000}, 100.0f);
  FeedWindows(*r, {100, 100}, 100.0f);
  EXPECT_EQ(FeedWindow(*r, 100, 100.0f), PRS_PULSE);  // 100 mmHg, no maximum: no end
  EXPECT_FALSE(r->Finished);

  auto r2 = Limb();
  FeedWindows(*r2, {1000, 100, 100}, 130.0f);
  FeedWindow(*r2, 100, 13.0f);  // ignored, passed over by the trailing count
  EXPECT_EQ(FeedWindow(*r2, 100, 130.0f), PRS_COMPLETE);
  EXPECT_TRUE(r2->Finished);
  EXPECT_TRUE(r2->EnvelopeEnded);
  EXPECT_EQ(r2->PulseRecogn(0, 0, 130.0f, true), PRS_COMPLETE);  // latched

  // Window 0 is never counted, and a valid window stops the count.
  auto r3 = Limb();
  FeedWindows(*r3, {100, 100, 1000, 100}, 130.0f);
  EXPECT_EQ(FeedWindow(*r3, 100, 130.0f), PRS_PULSE);
}

TEST(PulseRecognEnd, KnownMaximumAllowsTheEndAboveFortyMmHg) {
  auto r = Limb();
  FeedWindows(*r, {1000, 1500, 3000, 1500, 1000}, 60.0f);
  ASSERT_EQ(r->MAPWin, 2);
  FeedWindows(*r, {500, 500}, 60.0f);
  EXPECT_EQ(FeedWindow(*r, 500, 60.0f), PRS_COMPLETE);
}

// --- a whole synthetic inflation ---------------------------------------------

struct SyntheticCuff {
  double mapPressure = 95.0;  // envelope maximum
  double width = 25.0;        // envelope width, mmHg
  double peakAmp = 3000.0;
  double rate = 0.04;  // mmHg per sample (4 mmHg/s)
  int period = 80;     // samples per beat (75 beats per minute)
  int rise = 12;       // samples from foot to peak

  float Pressure(int i) const { return static_cast<float>(14.0 + rate * i); }
  int Smooth(int i) const {
    const int beat = i / period;
    const int t = i % period;
    const double p = 14.0 + rate * (beat * period);
    const double a = peakAmp * std::exp(-std::pow((p - mapPressure) / width, 2.0));
    const double shape = t < rise ? double(t) / rise : 1.0 - double(t - rise) / (period - rise);
    return static_cast<int>(a * shape);
  }
};

TEST(PulseRecognInflation, LimbCuffEndsBehindTheMaximumAndListsRisingPulses) {
  const SyntheticCuff cuff;
  auto r = Limb();
  tagTYPE_PULSERECOGN_STATUS st = PRS_NONE;
  int i = 0;
  for (; i < 10000 && st != PRS_COMPLETE; ++i) st = r->PulseRecogn(i, cuff.Smooth(i), cuff.Pressure(i), true);
  ASSERT_EQ(st, PRS_COMPLETE);
  EXPECT_GT(cuff.Pressure(i - 1), 125.0f);
  EXPECT_LT(cuff.Pressure(i - 1), 135.0f);
  ASSERT_NE(r->MAPWin, -1);
  EXPECT_NEAR(r->WindowPressure(r->MAPWin), cuff.mapPressure, 8.0);

  r->FinalPulseRecogn();
  ASSERT_GE(r->FeatureCount, 15);
  int best = 0;
  for (int k = 0; k < r->FeatureCount; ++k) {
    const auto& fp = r->FeaturePoint[k];
    EXPECT_EQ(fp.PeakPos - fp.FootPos, cuff.rise - 1) << k;  // the foot lies one sample after the trough
    EXPECT_EQ(fp.Amplitude, cuff.Smooth(fp.PeakPos) - cuff.Smooth(fp.FootPos));
    EXPECT_EQ(fp.Pressure, cuff.Pressure(fp.FootPos));
    EXPECT_EQ(r->FiltedData[fp.PeakPos].Mark, 2);
    EXPECT_EQ(r->FiltedData[fp.FootPos].Mark, 1);
    if (k > 0) {
      EXPECT_GT(fp.Pressure, r->FeaturePoint[k - 1].Pressure);
    }
    if (fp.Amplitude > r->FeaturePoint[best].Amplitude) best = k;
  }
  EXPECT_NEAR(r->FeaturePoint[best].Pressure, cuff.mapPressure, 4.0);
  int marks = 0;
  for (int k = 0; k < r->FiltedCount; ++k) marks += r->FiltedData[k].Mark != 0;
  EXPECT_EQ(marks, 2 * r->FeatureCount);
}

// --- limb pulse search on a hand-made signal --------------------------------

class BigCuffSearch : public ::testing::Test {
 protected:
  void SetUp() override { r_ = Limb(); }

  // Lays out `signal` as the stored samples (pressure rising 0.01 mmHg per
  // sample from 50) in valid windows of amplitude `winAmp`.
  void Load(const std::vector<int>& signal, int winAmp) {
    r_->FiltedCount = static_cast<int32_t>(signal.size());
    for (size_t i = 0; i < signal.size(); ++i)
      r_->FiltedData[i] = {0, signal[i], 50.0f + 0.01f * static_cast<float>(i), 0};
    r_->WinCount = r_->FiltedCount / kWin;
    for (int w = 0; w < r_->WinCount; ++w)
      r_->Windows[w] = {winAmp, 0, TnelPulseRecogn::WIN_VALID, winAmp, w * kWin, w * kWin};
  }
  // Adds a pulse: a linear rise from `from` (exclusive) to `peak` over `rise`
  // samples ending at `peak`, from the value already there.
  static void Ramp(std::vector<int>& s, int peak, int rise, int top) {
    const int base = s[peak - rise];
    for (int k = 1; k <= rise; ++k) s[peak - rise + k] = base + (top - base) * k / rise;
  }
  static void Fall(std::vector<int>& s, int from, int len, int bottom) {
    const int top = s[from];
    for (int k = 1; k <= len; ++k) s[from + k] = top + (bottom - top) * k / len;
    for (size_t k = from + len + 1; k < s.size(); ++k) s[k] = bottom;
  }

  std::unique_ptr<TnelPulseRecogn> r_;
};

TEST_F(BigCuffSearch, CloserPulseWithAMuchShorterRiseReplacesTheFirst) {
  std::vector<int> s(2 * kWin, 0);
  Ramp(s, 116, 16, 2000);
  Fall(s, 116, 10, 1000);
  Ramp(s, 136, 4, 3000);
  Fall(s, 136, 60, 0);
  Load(s, 3000);
  r_->FinalPulseRecogn();
  ASSERT_EQ(r_->FeatureCount, 1);
  EXPECT_EQ(r_->FeaturePoint[0].PeakPos, 136);
  EXPECT_EQ(r_->FeaturePoint[0].FootPos, 133);
  EXPECT_EQ(r_->FeaturePoint[0].Amplitude, 1500);
}

TEST_F(BigCuffSearch, ClosePulseWithEqualRiseAndAmplitudeIsDropped) {
  std::vector<int> s(2 * kWin, 0);
  Ramp(s, 116, 16, 2000);
  Fall(s, 116, 4, 0);
  Ramp(s, 136, 16, 2000);
  Fall(s, 136, 60, 0);
  Load(s, 2000);
  r_->FinalPulseRecogn();
  ASSERT_EQ(r_->FeatureCount, 1);
  EXPECT_EQ(r_->FeaturePoint[0].PeakPos, 116);
}

TEST_F(BigCuffSearch, SingleSmallPrecursorIsReplacedByTheFullPulse) {
  // Design decision: with one entry in the list the amplitude alternative of
  // the close-peak rule compares with that entry alone.
  std::vector<int> s(2 * kWin, 0);
  Ramp(s, 100, 10, 800);
  Fall(s, 100, 10, 0);
  Ramp(s, 130, 10, 2000);
  Fall(s, 130, 60, 0);
  Load(s, 2000);
  r_->FinalPulseRecogn();
  ASSERT_EQ(r_->FeatureCount, 1);
  EXPECT_EQ(r_->FeaturePoint[0].PeakPos, 130);
}

TEST_F(BigCuffSearch, PulsesFarApartAreBothKeptAndSmallOnesDropped) {
  std::vector<int> s(3 * kWin, 0);
  Ramp(s, 100, 10, 2000);
  Fall(s, 100, 30, 0);
  Ramp(s, 200, 10, 500);  // below the smallest pulse amplitude
  Fall(s, 200, 30, 0);
  Ramp(s, 300, 10, 1800);
  Fall(s, 300, 30, 0);
  Load(s, 2000);
  r_->FinalPulseRecogn();
  ASSERT_EQ(r_->FeatureCount, 2);
  EXPECT_EQ(r_->FeaturePoint[0].PeakPos, 100);
  EXPECT_EQ(r_->FeaturePoint[1].PeakPos, 300);
}

TEST_F(BigCuffSearch, DisturbedWindowsAreSkipped) {
  std::vector<int> s(3 * kWin, 0);
  Ramp(s, 100, 10, 2000);
  Fall(s, 100, 30, 0);
  Ramp(s, 200, 10, 2000);
  Fall(s, 200, 30, 0);
  Ramp(s, 400, 10, 2000);
  Fall(s, 400, 30, 0);
  Load(s, 2000);
  r_->Windows[1].Status = TnelPulseRecogn::WIN_ARTEFACT;  // samples 155..309
  r_->Windows[1].MaxPos = 200;
  r_->Windows[1].MinPos = 155;
  r_->FinalPulseRecogn();
  ASSERT_EQ(r_->FeatureCount, 2);
  EXPECT_EQ(r_->FeaturePoint[0].PeakPos, 100);
  EXPECT_EQ(r_->FeaturePoint[1].PeakPos, 400);
}

// --- toe cuffs ----------------------------------------------------------------

TEST(PulseRecognToe, WindowNeedsOneRecognisablePulse) {
  TnelPulseRecogn r;
  r.Initialize(BPVMODE_INFLATE, true, 280);
  // Without SampleEnable nothing is stored.
  EXPECT_EQ(r.PulseRecogn(0, 100, 30.0f, false), PRS_NONE);
  EXPECT_EQ(r.FiltedCount, 0);

  // A pulse: flat, rise over 40..55 to 1000, fall back to 0 by 120.
  for (int k = 0; k < kWin; ++k) {
    int v = 0;
    if (k > 40 && k <= 55) v = 1000 * (k - 40) / 15;
    if (k > 55 && k < 120) v = 1000 - 1000 * (k - 55) / 65;
    r.PulseRecogn(0, v, 30.0f + 0.001f * k, true);
  }
  ASSERT_EQ(r.WinCount, 1);
  EXPECT_EQ(r.Windows[0].Status, TnelPulseRecogn::WIN_VALID);
  EXPECT_EQ(r.Windows[0].MaxPos, 55);
  EXPECT_EQ(r.Windows[0].MinPos, 41);
  EXPECT_EQ(r.Windows[0].Amp, 1000 - 1000 / 15);

  // A steady climb has no sample followed by 32 without a new maximum.
  for (int k = 0; k < kWin; ++k) r.PulseRecogn(0, 10 * k, 37.0f, true);
  EXPECT_EQ(r.Windows[1].Status, TnelPulseRecogn::WIN_ARTEFACT);

  // A steady decline, then a climb from sample 90 to `top`: the climb is a
  // pulse when 32 samples follow its top inside the window, not when 31 do.
  auto climb = [&r](int top, float pressure) {
    for (int k = 0; k < kWin; ++k) {
      const int v = k <= 90 ? 2000 - 10 * k : 1100 + 40 * (std::min(k, top) - 90);
      r.PulseRecogn(0, v, pressure, true);
    }
  };
  climb(122, 44.0f);
  EXPECT_EQ(r.Windows[2].Status, TnelPulseRecogn::WIN_VALID);
  EXPECT_EQ(r.Windows[2].MaxPos, 2 * kWin + 122);
  EXPECT_EQ(r.Windows[2].MinPos, 2 * kWin + 91);
  climb(123, 51.0f);
  EXPECT_EQ(r.Windows[3].Status, TnelPulseRecogn::WIN_ARTEFACT);
}

// The neighbour walk works on the list a toe cuff builds: one entry per valid
// window, taken from the window's peak, foot, amplitude and pressure.
class NeighbourWalk : public ::testing::Test {
 protected:
  struct Entry {
    float pressure;
    int amp;
    int rise = 10;
  };
  void Run(const std::vector<Entry>& entries, int spacing = 155) {
    r_.Initialize(BPVMODE_INFLATE, true, 280);
    r_.WinCount = static_cast<int32_t>(entries.size());
    r_.FiltedCount = std::max(r_.WinCount * kWin, r_.WinCount * spacing + 60);
    for (int w = 0; w < r_.WinCount; ++w) {
      const int foot = w * spacing + 20;
      const int peak = foot + entries[w].rise;
      r_.Windows[w] = {entries[w].amp, 0, TnelPulseRecogn::WIN_VALID, entries[w].amp, peak, foot};
      r_.FiltedData[foot].Pressure = entries[w].pressure;
    }
    r_.FinalPulseRecogn();
  }
  std::vector<float> Pressures() const {
    std::vector<float> p;
    for (int k = 0; k < r_.FeatureCount; ++k) p.push_back(r_.FeaturePoint[k].Pressure);
    return p;
  }
  TnelPulseRecogn r_;
};

TEST_F(NeighbourWalk, PressureMustRiseWithTheIndex) {
  Run({{20, 1000}, {30, 1000}, {25, 1000}, {40, 1000}, {50, 1000}});
  EXPECT_EQ(Pressures(), (std::vector<float>{20, 30, 40, 50}));
}

TEST_F(NeighbourWalk, StopsAtThreeEntries) {
  Run({{50, 1000}, {40, 1000}, {30, 1000}, {20, 1000}});
  EXPECT_EQ(Pressures(), (std::vector<float>{50, 40, 30}));
}

TEST_F(NeighbourWalk, CloseSpikeIsRemovedDistantOneKept) {
  Run({{20, 1000}, {30, 1000}, {40, 5000}, {50, 1000}, {60, 1000}, {70, 1000}}, 100);
  EXPECT_EQ(Pressures(), (std::vector<float>{20, 30, 50, 60, 70}));
  Run({{20, 1000}, {30, 1000}, {40, 5000}, {50, 1000}, {60, 1000}, {70, 1000}}, 210);
  EXPECT_EQ(r_.FeatureCount, 6);
}

TEST_F(NeighbourWalk, EqualPressuresKeepTheLessExtremeEntry) {
  Run({{20, 1000}, {30, 1000}, {30, 1200}, {40, 1000}, {50, 1000}});
  EXPECT_EQ(Pressures(), (std::vector<float>{20, 30, 40, 50}));
  EXPECT_EQ(r_.FeaturePoint[1].Amplitude, 1000);
  Run({{20, 1000}, {30, 1500}, {30, 1200}, {40, 1000}, {50, 1000}});
  EXPECT_EQ(r_.FeaturePoint[1].Amplitude, 1200);  // entry 1 was a local maximum
  Run({{30, 1100}, {30, 1000}, {40, 1000}, {50, 1000}, {60, 1000}});
  EXPECT_EQ(Pressures(), (std::vector<float>{30, 40, 50, 60}));
  EXPECT_EQ(r_.FeaturePoint[0].Amplitude, 1000);  // entry 0 removed when inflating
}

TEST_F(NeighbourWalk, SlowRisesAgainstTheMeanAreRemoved) {
  Run({{20, 1000}, {30, 1000}, {40, 1000}, {50, 1000}, {60, 1000, 40}, {70, 1000}});
  EXPECT_EQ(Pressures(), (std::vector<float>{20, 30, 40, 50, 70}));  // 40 > 1.75 x 15
  Run({{20, 1000}, {30, 1000}, {40, 1000}, {50, 1000, 40}, {60, 1000}});
  EXPECT_EQ(r_.FeatureCount, 5);  // five entries: no rise-time filter
  for (int k = 0; k < r_.FeatureCount; ++k) {
    EXPECT_EQ(r_.FiltedData[r_.FeaturePoint[k].PeakPos].Mark, 2);
    EXPECT_EQ(r_.FiltedData[r_.FeaturePoint[k].FootPos].Mark, 1);
  }
}

}  // namespace
