// The fixed-coefficient and MAP-coefficient methods on hand-worked pulse lists.
#include <gtest/gtest.h>

#include <span>
#include <vector>

#include <nel/bp/proc_bp_data.h>
#include "bp_test_support.h"
#include "dsp/filter_design.h"
#include "dsp/fir_filter.h"
#include "proc_bp_data_peer.h"

namespace {

using bptest::Amps;
using bptest::Pt;
using Peer = TnelProcBPDataTestPeer;

std::vector<Pt> List(const std::vector<int32_t>& amps, float p0, float step) {
  std::vector<Pt> v;
  for (size_t i = 0; i < amps.size(); ++i)
    v.push_back(Pt{0, static_cast<int16_t>(10 * i), amps[i], p0 - step * static_cast<float>(i)});
  return v;
}

// Nine pulses (too few to be filtered) from 160 to 80 mmHg; the largest,
// 10000, at 120 mmHg (index 4).
const std::vector<int32_t> kNine = {1000, 2000, 4000, 7000, 10000, 8000, 6000, 3000, 1000};

// ---- tables and offset -------------------------------------------------------

TEST(CoeffTables, FixedBandsWidenWithTheOffset) {
  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  float sh, sl, dh, dl;
  EXPECT_FLOAT_EQ(Peer::SimRatio(d, 120, &sh, &sl, &dh, &dl), 0.495404f);
  EXPECT_FLOAT_EQ(sh, 0.525f);
  EXPECT_FLOAT_EQ(sl, 0.405f);
  EXPECT_FLOAT_EQ(dh, 0.615404f);
  EXPECT_FLOAT_EQ(dl, 0.495404f);
  Peer::SimRatio(d, 49, &sh, nullptr, nullptr, &dl);
  EXPECT_FLOAT_EQ(sh, 0.59876f);
  EXPECT_FLOAT_EQ(dl, 0.452276f);
  Peer::SimRatio(d, 190, &sh, nullptr, nullptr, nullptr);
  EXPECT_FLOAT_EQ(sh, 0.506505f);
  // Another object's construction with an offset widens this object's bands.
  TnelProcBPData other(BPVCAL_KR, DATAPROCESS_STANDARD, false, 0.02f);
  Peer::SimRatio(d, 120, &sh, &sl, &dh, &dl);
  EXPECT_FLOAT_EQ(sh, 0.545f);
  EXPECT_FLOAT_EQ(sl, 0.385f);
  EXPECT_FLOAT_EQ(dh, 0.635404f);
  EXPECT_FLOAT_EQ(dl, 0.475404f);
  TnelProcBPData reset;
}

TEST(CoeffTables, ShapeBandMiddleAndAdjustments) {
  TnelProcBPData d(BPVCAL_MAPCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  float u, l;
  EXPECT_FLOAT_EQ(Peer::ShapeBand(d, 120, &u, &l), 0.421749f);
  EXPECT_FLOAT_EQ(u, 0.571749f);
  EXPECT_FLOAT_EQ(l, 0.271749f);
  EXPECT_FLOAT_EQ(Peer::ShapeBand(d, 103, nullptr, nullptr), 0.414514f);
  EXPECT_FLOAT_EQ(Peer::ShapeBand(d, 10, nullptr, nullptr), 0.387228f);
  float ka, kd;
  Peer::Adjust(d, 120, &ka, &kd);
  EXPECT_FLOAT_EQ(ka, 0.15f);
  EXPECT_FLOAT_EQ(kd, -0.08f);
  Peer::Adjust(d, 200, &ka, &kd);
  EXPECT_FLOAT_EQ(ka, 0.03f);
  EXPECT_FLOAT_EQ(kd, 0.08f);
  TnelProcBPData shifted(BPVCAL_MAPCOEFF, DATAPROCESS_STANDARD, false, 0.01f);
  Peer::Adjust(d, 120, &ka, &kd);
  EXPECT_FLOAT_EQ(ka, 0.16f);
  EXPECT_FLOAT_EQ(kd, -0.07f);
  TnelProcBPData reset;
}

// ---- amplitude low-pass and the choice of the maximum -------------------------

TEST(CoeffFilter, FewerThanElevenPulsesStayUnfiltered) {
  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  for (int n : {9, 10}) {
    std::vector<int32_t> amps = {300, 5000, 200, 900, 7000, 100, 800, 400, 2000, 600};
    amps.resize(n);
    auto v = List(amps, 150.0f, 5.0f);
    Peer::Filter(d, static_cast<int16_t>(n), v.data());
    EXPECT_EQ(Amps(v), amps) << n << " pulses";
  }
}

TEST(CoeffFilter, EqualsFilteringTheWholeZeroPaddedWorkArray) {
  TnelProcBPData d;
  for (int n : {11, 24, 37}) {
    std::vector<int32_t> amps;
    for (int i = 0; i < n; ++i) amps.push_back(1000 + (i * 7919) % 3001 - 40 * i);
    auto v = List(amps, 170.0f, 3.0f);
    Peer::Filter(d, static_cast<int16_t>(n), v.data());
    // Independent: the filter bank's FIR state over all 1600 values.
    std::vector<double> taps(static_cast<size_t>(n));
    ASSERT_TRUE(nel::dsp::DesignLowpass(5.0f / static_cast<float>(n), taps));
    nel::dsp::FirFilter fir(taps);
    std::vector<double> work(1600, 0.0);
    for (int i = 0; i < n; ++i) work[static_cast<size_t>(i)] = amps[static_cast<size_t>(i)];
    fir.Process(work);
    for (int i = 0; i < n; ++i)
      EXPECT_EQ(v[static_cast<size_t>(i)].Amplitude, static_cast<int32_t>(work[static_cast<size_t>(i + n / 2)]))
          << n << " pulses, pulse " << i;
    EXPECT_NE(Amps(v), amps);
  }
}

// 20 pulses: a broad hump peaking at index 12 and a one-pulse spike elsewhere.
std::vector<int32_t> HumpWithSpikeAt(int spike) {
  std::vector<int32_t> a;
  for (int i = 0; i < 20; ++i) {
    const int x = i - 12;
    a.push_back(std::max(100, 5000 - 60 * x * x));
  }
  a[static_cast<size_t>(spike)] = 7000;
  return a;
}

TEST(CoeffMaximum, FilteredMaximumMoreThanTwoPulsesAwayWins) {
  const auto amps = HumpWithSpikeAt(4);
  auto filtered = List(amps, 180.0f, 5.0f);
  TnelProcBPData scratch;
  Peer::Filter(scratch, 20, filtered.data());
  int m1 = 0;
  for (int i = 1; i < 20; ++i)
    if (filtered[i].Amplitude > filtered[m1].Amplitude) m1 = i;
  ASSERT_GE(m1, 11);  // the spike is smoothed away, the hump stays
  ASSERT_LE(m1, 13);

  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = List(amps, 180.0f, 5.0f);
  d.ProcGetBPData_First(20, v.data(), nullptr, BPVMODE_DEFLATE);
  for (int i = 0; i < 20; ++i) {
    const bool kept = i >= m1 - 1 && i <= m1 + 1;
    EXPECT_EQ(v[i].Amplitude, kept ? amps[i] : filtered[i].Amplitude) << "pulse " << i;
  }
  EXPECT_EQ(d.MAPPos, m1);
  EXPECT_EQ(d.MAP, static_cast<int>(180.0f - 5.0f * m1));
}

TEST(CoeffMaximum, UnfilteredMaximumWithinTwoPulsesStays) {
  const auto amps = HumpWithSpikeAt(10);
  auto filtered = List(amps, 180.0f, 5.0f);
  TnelProcBPData scratch;
  Peer::Filter(scratch, 20, filtered.data());
  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = List(amps, 180.0f, 5.0f);
  d.ProcGetBPData_First(20, v.data(), nullptr, BPVMODE_DEFLATE);
  for (int i = 0; i < 20; ++i) {
    const bool kept = i >= 9 && i <= 11;
    EXPECT_EQ(v[i].Amplitude, kept ? amps[i] : filtered[i].Amplitude) << "pulse " << i;
  }
  EXPECT_EQ(d.MAPPos, 10);
  EXPECT_EQ(d.MAP, 130);
}

TEST(CoeffMaximum, FilteredMaximumOnTheFirstPulseFails) {
  // A lone spike at index 0 meets the centre tap there: the filtered maximum.
  std::vector<int32_t> amps(12, 0);
  amps[0] = 5000;
  for (auto method : {BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
    TnelProcBPData d(method, DATAPROCESS_STANDARD, false, 0.0f);
    auto v = List(amps, 150.0f, 5.0f);
    EXPECT_FALSE(d.ProcGetBPData_First(12, v.data(), nullptr, BPVMODE_DEFLATE));
    EXPECT_NE(v[0].Amplitude, 5000) << "the filtered values stay in the caller's array";
  }
}

// ---- fixed-coefficient method -----------------------------------------------

TEST(SimCoeff, HandWorkedNinePulseList) {
  // MAP 120 (index 4), bands 0.525-0.405 and 0.615404-0.495404, maximum 10000.
  // Systolic: pulses 1-3 (2000, 4000, 7000) miss 4050-5250; the crossing of
  // 0.465 over the range lies in segment (2, 3): 140 - 10 * 0.065 / 0.3 = 137.83,
  // floored to 137. Diastolic: pulse 6 (6000) is the only one in 4954-6154; its
  // run gives index 6 (100 mmHg); narrowing keeps it (the run is one pulse).
  const auto falling = List(kNine, 160.0f, 10.0f);
  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = falling;
  ASSERT_TRUE(d.ProcGetBPData_First(9, v.data(), nullptr, BPVMODE_DEFLATE));
  EXPECT_EQ(d.MAP, 120);
  EXPECT_EQ(d.MAPPos, 4);
  EXPECT_EQ(d.SBP, 137);
  EXPECT_EQ(d.SBPPos, 2);
  EXPECT_EQ(d.DBP, 100);
  EXPECT_EQ(d.DBPPos, 6);
  EXPECT_EQ(d.MaxAmplitude, 10000);
  EXPECT_EQ(d.MapSBPRatio, 0.0f);

  // Recognition order of an inflation: reversed in place, same result.
  auto rising = bptest::Reversed(falling);
  ASSERT_TRUE(d.ProcGetBPData_First(9, rising.data(), nullptr, BPVMODE_INFLATE));
  EXPECT_TRUE(bptest::SameList(rising, falling));
  EXPECT_EQ(d.SBP, 137);
  EXPECT_EQ(d.DBPPos, 6);
}

TEST(SimCoeff, NeverTakesTheLastPulseAsMaximum) {
  auto amps = kNine;
  amps[8] = 12000;
  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = List(amps, 160.0f, 10.0f);
  d.ProcGetBPData_Secondary(9, v.data(), 0.0f);
  EXPECT_EQ(d.MAPPos, 4);
  EXPECT_EQ(d.MaxAmplitude, 10000);
  EXPECT_EQ(Amps(v), amps) << "the secondary call leaves the list as it is";

  // The MAP-coefficient method rejects a maximum on the last pulse.
  TnelProcBPData m(BPVCAL_MAPCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  v = List(amps, 160.0f, 10.0f);
  EXPECT_FALSE(m.ProcGetBPData_Secondary(9, v.data(), 0.4f));
  EXPECT_EQ(m.SBP, -1);
}

// ---- MAP-coefficient method ---------------------------------------------------

// The sample array of the largest pulse (index 4 in recognition order, foot at
// sample 400) up to the next foot at sample 410, with `high` samples 1..high at
// the pulse's amplitude above the foot: shape ratio high / 10.
std::vector<tagBPV_FILTED_DATA> Samples(int high) {
  std::vector<tagBPV_FILTED_DATA> s(nel::bp::kBPMaxFiltedCount, tagBPV_FILTED_DATA{0, -50, 0.0f, 0});
  for (int j = 400; j < 410; ++j) s[j].OscSmooth = 25;
  for (int j = 401; j <= 400 + high; ++j) s[j].OscSmooth = 25 + 10000;
  return s;
}

std::vector<Pt> RisingNine(int16_t nextFoot = 410) {
  auto v = bptest::Reversed(List(kNine, 160.0f, 10.0f));  // 80 .. 160 mmHg
  v[4].FootPos = 400;
  v[5].FootPos = nextFoot;
  return v;
}

TEST(MapCoeff, MeasuredShapeRatioInsideItsBandIsUsed) {
  auto samples = Samples(4);
  auto v = RisingNine();
  TnelProcBPData d(BPVCAL_MAPCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  // Ratio 0.4; MAP 120: X = 1.15 * 0.4 = 0.46, Y = 0.92 * 0.6 = 0.552.
  // Systolic band 0.598-0.322 holds pulse 2 alone (4000): 140 mmHg. Diastolic
  // band 0.7176-0.3864 holds pulse 6 alone (6000): 100 mmHg.
  ASSERT_TRUE(d.ProcGetBPData_First(9, v.data(), samples.data(), BPVMODE_INFLATE));
  EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.4f);
  EXPECT_FLOAT_EQ(d.SBPRatioHigh, 0.598f);
  EXPECT_FLOAT_EQ(d.SBPRatioLow, 0.322f);
  EXPECT_FLOAT_EQ(d.DBPRatioHigh, 0.7176f);
  EXPECT_FLOAT_EQ(d.DBPRatioLow, 0.3864f);
  EXPECT_EQ(d.MAP, 120);
  EXPECT_EQ(d.SBP, 140);
  EXPECT_EQ(d.SBPPos, 2);
  EXPECT_EQ(d.DBP, 100);
  EXPECT_EQ(d.DBPPos, 6);
  EXPECT_EQ(v[0].Pressure, 160.0f) << "inflation list reversed";
  EXPECT_EQ(+d.Result().MapSBPRatio, 0.4f);
}

TEST(MapCoeff, ShapeRatioOutsideItsBandOrWithoutAPeriodBecomesTheMiddle) {
  TnelProcBPData d(BPVCAL_MAPCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  auto samples = Samples(6);  // ratio 0.6, above 0.571749
  auto v = RisingNine();
  d.ProcGetBPData_First(9, v.data(), samples.data(), BPVMODE_INFLATE);
  EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.421749f);
  EXPECT_FLOAT_EQ(d.SBPRatioHigh, static_cast<float>(1.3 * (1.15f * 0.421749f)));

  samples = Samples(2);  // ratio 0.2, below 0.271749
  v = RisingNine();
  d.ProcGetBPData_First(9, v.data(), samples.data(), BPVMODE_INFLATE);
  EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.421749f);

  // The next foot not after this one: no period.
  for (int16_t next : {int16_t{400}, int16_t{395}}) {
    samples = Samples(4);
    v = RisingNine(next);
    d.ProcGetBPData_First(9, v.data(), samples.data(), BPVMODE_INFLATE);
    EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.421749f) << "next foot " << next;
  }
  // Feet beyond the recogniser's sample array, or no array at all.
  v = RisingNine(30000);
  d.ProcGetBPData_First(9, v.data(), samples.data(), BPVMODE_INFLATE);
  EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.421749f);
  v = RisingNine();
  d.ProcGetBPData_First(9, v.data(), nullptr, BPVMODE_INFLATE);
  EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.421749f);
}

TEST(MapCoeff, ToeCuffTakesTheBandMiddleWithoutMeasuring) {
  auto samples = Samples(4);  // would measure 0.4
  auto v = RisingNine();
  TnelProcBPData d(BPVCAL_MAPCOEFF, DATAPROCESS_STANDARD, true, 0.0f);
  EXPECT_TRUE(d.ProcGetBPData_First(9, v.data(), samples.data(), BPVMODE_INFLATE));
  EXPECT_FLOAT_EQ(d.MapSBPRatio, 0.421749f);
  // The secondary call ignores the toe flag and uses the ratio it is given,
  // without writing it back.
  auto falling = List(kNine, 160.0f, 10.0f);
  d.MapSBPRatio = 0.0f;
  EXPECT_TRUE(d.ProcGetBPData_Secondary(9, falling.data(), 0.4f));
  EXPECT_FLOAT_EQ(d.SBPRatioHigh, 0.598f);
  EXPECT_EQ(d.MapSBPRatio, 0.0f);
  // A ratio outside the band is replaced by its middle for the search.
  EXPECT_TRUE(d.ProcGetBPData_Secondary(9, falling.data(), 0.9f));
  EXPECT_FLOAT_EQ(d.SBPRatioHigh, static_cast<float>(1.3 * (1.15f * 0.421749f)));
}

TEST(MapCoeff, AllZeroAmplitudesGiveADefinedRejectedResult) {
  // Maximum 0: every pulse is "in band" and every relative drop is 0/0, which
  // is passed over; the crossing of the run stays. Nothing is undefined.
  std::vector<int32_t> zeros(12, 0);
  for (auto method : {BPVCAL_SIMCOEFF, BPVCAL_MAPCOEFF}) {
    TnelProcBPData d(method, DATAPROCESS_STANDARD, false, 0.0f);
    auto v = List(zeros, 150.0f, 5.0f);
    EXPECT_FALSE(d.ProcGetBPData_Secondary(12, v.data(), 0.4f)) << method;
  }
  TnelProcBPData d(BPVCAL_SIMCOEFF, DATAPROCESS_STANDARD, false, 0.0f);
  auto v = List(zeros, 150.0f, 5.0f);
  d.ProcGetBPData_Secondary(12, v.data(), 0.0f);
  EXPECT_EQ(d.MAPPos, 0);
  EXPECT_EQ(d.MAP, 150);
  EXPECT_EQ(d.DBPPos, 1);  // run 1-11, crossing at its start, narrowed range 1-3
  EXPECT_EQ(d.DBP, 145);
}

// ---- the band search --------------------------------------------------------

TEST(BandSearch, MapOf70KeepsTheCrossingAbove70TheSteepestRiseWins) {
  // Systolic side, pressures 150 - 2i, maximum 1000 at index 10, band
  // 300-750: run 2-7 (closed by 900). Crossing of 0.525 in segment (3, 4):
  // 144 + (0.025 / 0.06) * -2 = 143.17.
  const std::vector<int32_t> amps = {100, 200, 330, 500, 560, 740, 745, 748, 900, 950, 1000};
  TnelProcBPData d;
  auto v = List(amps, 150.0f, 2.0f);
  int16_t pos, p;
  EXPECT_EQ(Peer::Search(d, v.data(), 11, 70, 10, 1000, 0.75f, 0.3f, 1, 9, &pos, &p, true), 1);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(p, 143);
  // Above 70: range 2-5 (crossing 3 +- 2); rises 180 (5), 60 (4), 170 (3):
  // pulse 5, after the crossing: pressure (140 + 142) / 2 = 141.
  Peer::Search(d, v.data(), 11, 71, 10, 1000, 0.75f, 0.3f, 1, 9, &pos, &p, true);
  EXPECT_EQ(pos, 5);
  EXPECT_EQ(p, 141);
  // Equal rises (180 at pulses 5 and 3): the lower index wins; it is the
  // crossing itself, so its own pressure is reported.
  v[2].Amplitude = 320;
  Peer::Search(d, v.data(), 11, 71, 10, 1000, 0.75f, 0.3f, 1, 9, &pos, &p, true);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(p, 144);
}

TEST(BandSearch, Above70TheLargestRelativeDropWinsOnTheDiastolicSide) {
  // Pressures 100 - 3i, maximum 1000 at index 0; run 2-6 (740 ... 330).
  // Crossing of 0.525 in segment (4, 5): 88 - 2.625 = 85.375, floored to 85.
  const std::vector<int32_t> amps = {1000, 950, 740, 700, 560, 520, 330, 200, 100, 50, 20};
  TnelProcBPData d;
  auto v = List(amps, 100.0f, 3.0f);
  int16_t pos, p;
  Peer::Search(d, v.data(), 11, 60, 0, 1000, 0.75f, 0.3f, 1, 10, &pos, &p, false);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(p, 85);
  // Range 2-6; drops 40/740, 140/700, 40/560 over i = 2..4: pulse 3, before
  // the crossing: (88 + 91 + 1) / 2 = 90 (the + 1 rounds the odd sum up).
  Peer::Search(d, v.data(), 11, 100, 0, 1000, 0.75f, 0.3f, 1, 10, &pos, &p, false);
  EXPECT_EQ(pos, 3);
  EXPECT_EQ(p, 90);
}

TEST(BandSearch, NoPulseInTheBandGivesTheFlooredCrossingOfTheWholeRange) {
  // Band 500-600 (0.6/0.5 of 1000) between 400 and 700: the crossing of 0.55
  // lies halfway in segment (2, 3), 144.3 - 1.5 = 142.8, floored to 142.
  const std::vector<int32_t> amps = {100, 200, 400, 700, 1000};
  TnelProcBPData d;
  auto v = List(amps, 150.3f, 3.0f);
  int16_t pos, p;
  EXPECT_EQ(Peer::Search(d, v.data(), 5, 120, 4, 1000, 0.6f, 0.5f, 1, 3, &pos, &p, true), 0);
  EXPECT_EQ(pos, 2);
  EXPECT_EQ(p, 142);
}

TEST(BandSearch, LongestClosedRunIsPreferredToAnOpenOne) {
  // In band (300-750): 1; 3-5; 7-9 (still open at the end of the range).
  // The closed run 3-5 is longer than run 1. Its crossing, on the flattened
  // amplitudes 485, 520, 522, has no enclosing segment: the nearest point to
  // 525 is index 4 (96 mmHg). The open run would have given 7 or 8.
  const std::vector<int32_t> amps = {0, 500, 900, 400, 520, 600, 800, 450, 530, 700, 1000};
  TnelProcBPData d;
  auto v = List(amps, 104.0f, 2.0f);
  int16_t pos, p;
  Peer::Search(d, v.data(), 11, 60, 10, 1000, 0.75f, 0.3f, 1, 9, &pos, &p, true);
  EXPECT_EQ(pos, 4);
  EXPECT_EQ(p, 96);
}

}  // namespace
