// Pulse recognition on synthetic conditioned streams: window judgement, the
// envelope maximum and its review, the end checks, the toe pulse search and
// the final pulse list. Whole recorded inflations are in bp_golden_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include <nel/bp/pulse_recogn.h>

namespace {

constexpr int kWin = TnelPulseRecogn::kWinLen;
using R = TnelPulseRecogn;

// One window of 155 samples at a constant pressure whose OscSmooth is 0
// except one sample of value `amp`; returns the status of its last sample.
tagTYPE_PULSERECOGN_STATUS FeedWindow(R& r, int amp, float pressure) {
  tagTYPE_PULSERECOGN_STATUS st = PRS_NONE;
  for (int k = 0; k < kWin; ++k) st = r.PulseRecogn(0, k == 70 ? amp : 0, pressure, true);
  return st;
}

std::unique_ptr<R> Limb(int16_t maxPressure = 280, tagTYPE_BPVMEASUE_MODE mode = BPVMODE_INFLATE) {
  auto r = std::make_unique<R>();
  r->Initialize(mode, false, maxPressure);
  return r;
}

TEST(PulseRecognLimits, CuffKindModeOverPressureAndBuffers) {
  struct Case {
    tagTYPE_BPVMEASUE_MODE mode;
    bool toe;
    int minAmp, mapMinAmp, finish;
  } cases[] = {{BPVMODE_INFLATE, false, 600, 900, 125},
               {BPVMODE_INFLATE, true, 380, 570, 90},
               {BPVMODE_DEFLATE, true, 380, 570, 40},
               {BPVMODE_DEFLATE, false, 600, 900, 50}};
  for (const Case& c : cases) {
    R r;
    r.Initialize(c.mode, c.toe, 250);
    EXPECT_EQ(r.MinAmp, c.minAmp);
    EXPECT_EQ(r.MAPMinAmp, c.mapMinAmp);
    EXPECT_EQ(r.FinishPressure, c.finish);
  }
  // Over-pressure at exactly the maximum: latched, the sample not stored.
  auto r = Limb(200);
  EXPECT_EQ(r->PulseRecogn(1, 1, 199.9f, true), PRS_NONE);
  EXPECT_EQ(r->PulseRecogn(1, 1, 200.0f, true), PRS_OVERPRESSURE);
  EXPECT_EQ(r->PulseRecogn(1, 1, 50.0f, true), PRS_OVERPRESSURE);
  EXPECT_EQ(r->FiltedCount, 1);
  r->Initialize();
  EXPECT_EQ(r->PulseRecogn(1, 1, 50.0f, true), PRS_NONE);
  // The sample limit, and a missing buffer.
  for (int i = 1; i < R::kMaxFilted; ++i) ASSERT_NE(r->PulseRecogn(0, 0, 20.0f, true), PRS_OVERRUN) << i;
  EXPECT_EQ(r->PulseRecogn(0, 0, 20.0f, true), PRS_OVERRUN);
  EXPECT_EQ(r->FiltedCount, R::kMaxFilted);
  tagBPV_FILTED_DATA* saved = r->FiltedData;
  r->FiltedData = nullptr;
  r->Initialize();
  EXPECT_EQ(r->PulseRecogn(0, 0, 20.0f, true), PRS_NOBUFFER);
  r->FinalPulseRecogn();
  EXPECT_EQ(r->FeatureCount, 0);
  r->FiltedData = saved;
}

// A run of windows (amplitude, pressure) and the state after the last one:
// the statuses (V valid, S small, L low pressure, A artefact; N: not checked),
// the maximum window, the envelope's end, the last status returned, the
// cut-off pressure and the search start (-1: not checked), and the mode.
struct WindowRun {
  const char* name;
  std::vector<std::pair<int, float>> windows;
  const char* statuses = nullptr;  // nullptr: not checked
  int mapWin = -1;
  bool ended = false;
  tagTYPE_PULSERECOGN_STATUS last = PRS_PULSE;
  int cutoff = -1;       // -1: not checked
  int searchStart = -1;  // -1: not checked
  tagTYPE_BPVMEASUE_MODE mode = BPVMODE_INFLATE;
};

std::vector<std::pair<int, float>> At(float p, std::initializer_list<int> amps) {
  std::vector<std::pair<int, float>> v;
  for (int a : amps) v.emplace_back(a, p);
  return v;
}
std::vector<std::pair<int, float>> operator+(std::vector<std::pair<int, float>> a,
                                             const std::vector<std::pair<int, float>>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}
constexpr const char* N = nullptr;

class WindowRuns : public ::testing::TestWithParam<WindowRun> {};

TEST_P(WindowRuns, StateAfterTheLastWindow) {
  const WindowRun& c = GetParam();
  auto r = Limb(280, c.mode);
  tagTYPE_PULSERECOGN_STATUS st = PRS_NONE;
  for (const auto& [amp, p] : c.windows) st = FeedWindow(*r, amp, p);
  if (c.statuses != nullptr) {
    std::string got;
    for (int w = 0; w < r->WinCount; ++w) got += "VSLA"[r->Windows[w].Status];
    EXPECT_EQ(got, c.statuses);
  }
  EXPECT_EQ(r->MAPWin, c.mapWin);
  EXPECT_EQ(r->EnvelopeEnded, c.ended);
  EXPECT_EQ(st, c.last);
  if (c.cutoff != -1) {
    EXPECT_EQ(r->CutoffPressure, c.cutoff);
  }
  if (c.searchStart != -1) {
    EXPECT_EQ(r->SearchStart, c.searchStart);
  }
}

const WindowRun kRuns[] = {
    // Judgement: below 600 small, below 14 mmHg ignored, over 12000 below 40 mmHg an artefact.
    {"judged", At(60, {700, 599}) + At(13.9f, {5000}) + At(14, {5000}) + At(39.9f, {12001}), "VSLVA"},
    {"large_at_40", At(40, {12001}), "V"},
    {"low_pressure_window_reports_nothing", At(60, {700}) + At(13.9f, {5000}), "VL", -1, false, PRS_NONE},
    // Against the trimmed mean of the last five valid windows (1000 here).
    {"newest_below_3_5_mean", At(60, {1000, 1000, 1000, 1000, 3400}), "VVVVV"},
    {"newest_spike", At(60, {1000, 1000, 1000, 1000, 4000}), "VVVVA"},
    {"older_below_3_mean", At(60, {1000, 1000, 1000, 1000, 2750, 1000}), "VVVVVV"},
    {"older_above_3_mean", At(60, {1000, 1000, 1000, 1000, 3100, 1000}), "VVVVAV"},
    {"older_below_0_15_mean", At(60, {5000, 5000, 5000, 600, 5000}), "VVVSV"},
    {"older_above_0_15_mean", At(60, {5000, 5000, 5000, 800, 5000}), "VVVVV"},
    // The envelope maximum: five windows, two valid ones either side, 900 and 40 mmHg.
    {"four_windows", At(60, {1000, 1500, 3000, 1500}), N, -1},
    {"maximum", At(60, {1000, 1500, 3000, 1500, 1000}), N, 2, true, PRS_PULSE, 140},
    {"one_valid_before", At(60, {1000, 3000, 1500, 1000, 900}), "VVVVV", -1},
    {"earlier_of_equal", At(60, {1000, 1200, 2500, 1200, 2500}), N, 2},
    {"second_valid_after", At(60, {1000, 1200, 1500, 1800, 2500, 2000, 400, 1500}), N, 4},
    {"below_40", At(39, {1000, 1500, 3000, 1500, 1000}), N, -1},
    {"below_900", At(60, {700, 750, 899, 750, 700}), N, -1},
    {"cutoff_clamped_high", At(210, {1000, 1500, 3000, 1500, 1200}), N, 2, false, PRS_PULSE, 280},
    {"cutoff_clamped_low", At(60, {1000, 1500, 3000, 1500, 1400}), N, 2, false, PRS_PULSE, 20, -1, BPVMODE_DEFLATE},
    // Review: two larger windows after it, or a still rising envelope, drop it.
    {"two_larger_after", At(60, {1000, 1500, 3000, 1500, 1000, 3500, 3600}), N, -1, false, PRS_PULSE, -1, 0},
    {"new_maximum", At(60, {1000, 1500, 3000, 1500, 1000, 3500, 3600, 2000, 1500}), N, 6},
    {"two_artefacts_after", At(60, {2000, 2200, 2400, 2600, 3000, 12000, 19000, 2500, 2400}), "VVVVVAAVV", -1, false,
     PRS_PULSE, -1, 0},
    {"still_rising", At(60, {1000, 1500, 3000, 1500, 1000, 1200, 1800, 2400}), "VVVVVVVV", -1, false, PRS_PULSE, -1, 4},
    {"rising_again_marks_the_old_maximum", At(60, {1000, 1500, 3000, 1500, 1200, 700, 900, 1100, 1300}), "VVAVVVVVV",
     -1, false, PRS_PULSE, -1, 5},
    // The end of the envelope behind the maximum: a valid window below 0.38 of it, or two low windows.
    {"above_0_38", At(60, {1000, 1500, 3000, 1500, 1150}), N, 2},
    {"below_0_38", At(60, {1000, 1500, 3000, 1500, 1130}), N, 2, true},
    {"one_low_window", At(60, {1000, 1500, 3000, 1500, 1200, 500}), N, 2},
    {"two_low_windows", At(60, {1000, 1500, 3000, 1500, 1200, 500, 500}), N, 2, true},
    {"three_small_end_with_maximum", At(60, {1000, 1500, 3000, 1500, 1000, 500, 500, 500}), N, 2, true, PRS_COMPLETE},
    // Three trailing small windows end the recognition above the finish pressure.
    {"three_small_below_finish", At(100, {1000, 1000, 100, 100, 100})},
    {"three_small_above_finish", At(130, {1000, 100, 100}) + At(13, {100}) + At(130, {100}), N, -1, true, PRS_COMPLETE},
    {"valid_window_breaks_the_count", At(130, {100, 100, 1000, 100, 100})},
};
INSTANTIATE_TEST_SUITE_P(PulseRecogn, WindowRuns, ::testing::ValuesIn(kRuns),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(PulseRecognEnd, FinishedIsLatched) {
  auto r = Limb();
  for (int a : {1000, 100, 100, 100}) FeedWindow(*r, a, 130.0f);
  ASSERT_TRUE(r->Finished);
  EXPECT_EQ(r->PulseRecogn(0, 0, 130.0f, true), PRS_COMPLETE);
}

// --- limb pulse search on hand-made signals ----------------------------------

// A signal of `windows` valid windows (amplitude `winAmp`, pressure rising
// 0.01 mmHg per sample from 50) with linear pulses {peak, rise, top, fall,
// bottom}; the expected peaks of the final list.
struct Shape {
  int peak, rise, top, fall, bottom;
};
struct SearchCase {
  const char* name;
  int windows, winAmp;
  std::vector<Shape> pulses;
  std::vector<int> peaks;
  int artefactWindow = -1;  // a disturbed window with its maximum at sample 200
};

class BigCuffSearch : public ::testing::TestWithParam<SearchCase> {};

TEST_P(BigCuffSearch, FinalList) {
  const SearchCase& c = GetParam();
  std::vector<int> s(static_cast<size_t>(c.windows * kWin), 0);
  for (const Shape& p : c.pulses) {
    const int base = s[p.peak - p.rise];
    for (int k = 1; k <= p.rise; ++k) s[p.peak - p.rise + k] = base + (p.top - base) * k / p.rise;
    for (int k = 1; k <= p.fall; ++k) s[p.peak + k] = p.top + (p.bottom - p.top) * k / p.fall;
    for (size_t k = p.peak + p.fall + 1; k < s.size(); ++k) s[k] = p.bottom;
  }
  auto r = Limb();
  r->FiltedCount = static_cast<int32_t>(s.size());
  for (size_t i = 0; i < s.size(); ++i) r->FiltedData[i] = {0, s[i], 50.0f + 0.01f * static_cast<float>(i), 0};
  r->WinCount = c.windows;
  for (int w = 0; w < c.windows; ++w) r->Windows[w] = {c.winAmp, 0, R::WIN_VALID, c.winAmp, w * kWin, w * kWin};
  if (c.artefactWindow >= 0) r->Windows[c.artefactWindow] = {0, 0, R::WIN_ARTEFACT, 0, 200, c.artefactWindow * kWin};
  r->FinalPulseRecogn();
  std::vector<int> peaks;
  for (int k = 0; k < r->FeatureCount; ++k) peaks.push_back(r->FeaturePoint[k].PeakPos);
  EXPECT_EQ(peaks, c.peaks);
}

const SearchCase kSearches[] = {
    {"closer_pulse_with_a_much_shorter_rise_replaces",
     2,
     3000,
     {{116, 16, 2000, 10, 1000}, {136, 4, 3000, 60, 0}},
     {136}},
    {"close_pulse_alike_is_dropped", 2, 2000, {{116, 16, 2000, 4, 0}, {136, 16, 2000, 60, 0}}, {116}},
    {"single_small_precursor_replaced", 2, 2000, {{100, 10, 800, 10, 0}, {130, 10, 2000, 60, 0}}, {130}},
    {"far_apart_kept_small_dropped",
     3,
     2000,
     {{100, 10, 2000, 30, 0}, {200, 10, 500, 30, 0}, {300, 10, 1800, 30, 0}},
     {100, 300}},
    {"disturbed_window_skipped",
     3,
     2000,
     {{100, 10, 2000, 30, 0}, {200, 10, 2000, 30, 0}, {400, 10, 2000, 30, 0}},
     {100, 400},
     1},
};
INSTANTIATE_TEST_SUITE_P(PulseRecogn, BigCuffSearch, ::testing::ValuesIn(kSearches),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(BigCuffSearch, PulseFieldsAndMarks) {
  auto r = Limb();
  std::vector<int> s(2 * kWin, 0);
  for (int k = 1; k <= 4; ++k) s[132 + k] = 1000 * k;  // foot at 133, peak 4000 at 136
  for (int k = 137; k < 2 * kWin; ++k) s[k] = std::max(0, 4000 - 60 * (k - 136));
  r->FiltedCount = 2 * kWin;
  for (int i = 0; i < 2 * kWin; ++i) r->FiltedData[i] = {0, s[i], 50.0f + i, 0};
  r->WinCount = 2;
  for (int w = 0; w < 2; ++w) r->Windows[w] = {4000, 0, R::WIN_VALID, 4000, w * kWin, w * kWin};
  r->FinalPulseRecogn();
  ASSERT_EQ(r->FeatureCount, 1);
  const tagBPV_PULSE_FEATURE_POINT p = r->FeaturePoint[0];
  EXPECT_EQ(p.PeakPos, 136);
  EXPECT_EQ(p.FootPos, 133);
  EXPECT_EQ(p.Amplitude, 3000);
  EXPECT_EQ(p.Pressure, 183.0f);
  EXPECT_EQ(r->FiltedData[136].Mark, 2);
  EXPECT_EQ(r->FiltedData[133].Mark, 1);
}

// --- toe cuffs ----------------------------------------------------------------

TEST(PulseRecognToe, WindowNeedsOneRecognisablePulse) {
  R r;
  r.Initialize(BPVMODE_INFLATE, true, 280);
  EXPECT_EQ(r.PulseRecogn(0, 100, 30.0f, false), PRS_NONE);  // nothing stored without SampleEnable
  EXPECT_EQ(r.FiltedCount, 0);
  // A pulse: flat, rise over 40..55 to 1000, fall back to 0 by 120.
  for (int k = 0; k < kWin; ++k) {
    int v = 0;
    if (k > 40 && k <= 55) v = 1000 * (k - 40) / 15;
    if (k > 55 && k < 120) v = 1000 - 1000 * (k - 55) / 65;
    r.PulseRecogn(0, v, 30.0f + 0.001f * k, true);
  }
  const R::PulseWindow w0 = r.Windows[0];
  EXPECT_EQ(w0.Status, R::WIN_VALID);
  EXPECT_EQ(w0.MaxPos, 55);
  EXPECT_EQ(w0.MinPos, 41);
  EXPECT_EQ(w0.Amp, 1000 - 1000 / 15);
  // A steady climb has no sample followed by 32 without a new maximum.
  for (int k = 0; k < kWin; ++k) r.PulseRecogn(0, 10 * k, 37.0f, true);
  EXPECT_EQ(r.Windows[1].Status, R::WIN_ARTEFACT);
  // A decline, then a climb from sample 90 to `top`: a pulse when 32 samples
  // follow its top inside the window, not when 31 do.
  auto climb = [&r](int top, float pressure) {
    for (int k = 0; k < kWin; ++k)
      r.PulseRecogn(0, k <= 90 ? 2000 - 10 * k : 1100 + 40 * (std::min(k, top) - 90), pressure, true);
  };
  climb(122, 44.0f);
  EXPECT_EQ(r.Windows[2].Status, R::WIN_VALID);
  EXPECT_EQ(r.Windows[2].MaxPos, 2 * kWin + 122);
  EXPECT_EQ(r.Windows[2].MinPos, 2 * kWin + 91);
  climb(123, 51.0f);
  EXPECT_EQ(r.Windows[3].Status, R::WIN_ARTEFACT);
}

// The neighbour walk on the list a toe cuff builds: one entry per valid window.
struct Entry {
  float pressure;
  int amp;
  int rise = 10;
};
struct WalkCase {
  const char* name;
  std::vector<Entry> entries;
  std::vector<float> pressures;  // of the final list
  std::vector<int> amps = {};    // of the final list; empty: not checked
  int spacing = 155;
};

class NeighbourWalk : public ::testing::TestWithParam<WalkCase> {};

TEST_P(NeighbourWalk, FinalList) {
  const WalkCase& c = GetParam();
  R r;
  r.Initialize(BPVMODE_INFLATE, true, 280);
  r.WinCount = static_cast<int32_t>(c.entries.size());
  r.FiltedCount = std::max(r.WinCount * kWin, r.WinCount * c.spacing + 60);
  for (int w = 0; w < r.WinCount; ++w) {
    const int foot = w * c.spacing + 20;
    r.Windows[w] = {c.entries[w].amp, 0, R::WIN_VALID, c.entries[w].amp, foot + c.entries[w].rise, foot};
    r.FiltedData[foot].Pressure = c.entries[w].pressure;
  }
  r.FinalPulseRecogn();
  std::vector<float> p;
  std::vector<int> a;
  for (int k = 0; k < r.FeatureCount; ++k) {
    p.push_back(r.FeaturePoint[k].Pressure);
    a.push_back(r.FeaturePoint[k].Amplitude);
    EXPECT_EQ(r.FiltedData[r.FeaturePoint[k].PeakPos].Mark, 2);
    EXPECT_EQ(r.FiltedData[r.FeaturePoint[k].FootPos].Mark, 1);
  }
  EXPECT_EQ(p, c.pressures);
  if (!c.amps.empty()) {
    EXPECT_EQ(a, c.amps);
  }
}

const WalkCase kWalks[] = {
    {"pressure_rises", {{20, 1000}, {30, 1000}, {25, 1000}, {40, 1000}, {50, 1000}}, {20, 30, 40, 50}},
    {"stops_at_three", {{50, 1000}, {40, 1000}, {30, 1000}, {20, 1000}}, {50, 40, 30}},
    {"close_spike",
     {{20, 1000}, {30, 1000}, {40, 5000}, {50, 1000}, {60, 1000}, {70, 1000}},
     {20, 30, 50, 60, 70},
     {},
     100},
    {"distant_spike",
     {{20, 1000}, {30, 1000}, {40, 5000}, {50, 1000}, {60, 1000}, {70, 1000}},
     {20, 30, 40, 50, 60, 70},
     {},
     210},
    {"equal_pressure_less_extreme",
     {{20, 1000}, {30, 1000}, {30, 1200}, {40, 1000}, {50, 1000}},
     {20, 30, 40, 50},
     {1000, 1000, 1000, 1000}},
    {"equal_pressure_local_maximum",
     {{20, 1000}, {30, 1500}, {30, 1200}, {40, 1000}, {50, 1000}},
     {20, 30, 40, 50},
     {1000, 1200, 1000, 1000}},
    {"equal_pressure_first_entry",
     {{30, 1100}, {30, 1000}, {40, 1000}, {50, 1000}, {60, 1000}},
     {30, 40, 50, 60},
     {1000, 1000, 1000, 1000}},
    {"slow_rise", {{20, 1000}, {30, 1000}, {40, 1000}, {50, 1000}, {60, 1000, 40}, {70, 1000}}, {20, 30, 40, 50, 70}},
    {"five_entries_no_rise_filter",
     {{20, 1000}, {30, 1000}, {40, 1000}, {50, 1000, 40}, {60, 1000}},
     {20, 30, 40, 50, 60}},
};
INSTANTIATE_TEST_SUITE_P(PulseRecogn, NeighbourWalk, ::testing::ValuesIn(kWalks),
                         [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
