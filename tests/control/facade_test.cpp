// The façade in this process: a virtual unit (or frames written by the test)
// wired to it without a line, so every pass falls on the same frames. Host
// misuse, the assembly of every mode's results, every way a pumping mode ends
// (golden/safety.txt), and the heap allocations of the processing passes,
// counted on this thread around CheckData only.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nel/control/hard_base.h>
#include <nel/dsp/fir_filter_bank.h>
#include <nel/link/hard_ctl.h>
#include <nel/link/sam_thread.h>
#include <nel/platform/last_error.h>
#include "../common/golden.h"
#include "../common/heap_hook.h"
#include "sim/device_codec.h"
#include "sim/stepped_rig.h"
#include "sim/virtual_unit.h"

namespace {

// Hands `n` bytes to the façade as its reader would and runs passes until one
// yields nothing, counting the allocations of CheckData (and of the reader's
// store); `pass` runs after each pass with its frame count.
long Passes(TnelHardBase& hb, const uint8_t* bytes, size_t n, long& allocations, const std::function<void(int)>& pass) {
  long taken = 0;
  nel::test::heap::Counter& heap = nel::test::heap::ThisThread();
  heap.count = 0;
  heap.counting = true;
  nel::sim::FeedAndDrain(hb, bytes, n, [&] {
    heap.counting = false;
    const int k = hb.GetData(static_cast<int*>(nullptr));
    taken += k;
    if (pass) pass(k);
    heap.counting = true;
  });
  heap.counting = false;
  allocations += heap.count;
  return taken;
}

// The in-process façade whose passes count their allocations and note the
// highest line pressure and the order the cuffs passed 20 mmHg.
struct Host : nel::sim::InProcessFacade {
  long frames = 0, allocations = 0;
  double peak = 0;                  // the highest line pressure after a pass, mmHg
  std::string started;              // cuff positions in the order they first passed 20 mmHg
  std::string note;                 // what a row's drive measured
  std::function<void(int)> onPass;  // after each pass with frames

  explicit Host(const nel::sim::SubjectConfig& s = nel::sim::QuietSubject()) : InProcessFacade(s) {
    EXPECT_TRUE(opened);
    take = [this](const uint8_t* bytes, size_t n) {
      Passes(hb, bytes, n, allocations, [this](int k) {
        frames += k;
        peak = std::max(peak, Highest());
        float p[27 * 6];
        const int K = hb.GetData(nullptr, p, nullptr) > 0 ? hb.Layout().cuffCount : 0;
        for (int c = 0; c < K && c < 4; ++c)
          if (p[(k - 1) * K + c] > 20.0f && started.find(char('0' + c)) == std::string::npos) started += char('0' + c);
        if (onPass) onPass(k);
      });
    };
  }
  double Highest() const {
    double m = 0;
    for (int l = 0; l < 4; ++l) m = std::max(m, unit.LinePressure(l));
    return m;
  }
};

// Writes frames 0..n-1 made by `make`, `step(i)` (else 20) a time, and runs
// passes after each chunk; returns the frames taken.
long Inject(TnelHardBase& hb, long n, const std::function<nel::sim::RawFrame(long)>& make, long& allocations,
            const std::function<void(int)>& pass = nullptr, const std::function<int(long)>& step = nullptr) {
  long taken = 0;
  for (long i = 0; i < n;) {
    std::vector<uint8_t> bytes;
    for (const long end = std::min(n, i + (step ? step(i) : 20)); i < end; ++i) {
      const auto p = nel::sim::EncodeDataRaw(make(i));
      bytes.insert(bytes.end(), p.begin(), p.end());
    }
    taken += Passes(hb, bytes.data(), bytes.size(), allocations, pass);
  }
  return taken;
}

// Four blocks of 2100 frames after 4000 of settling: the block holding the
// lowest minimum loses its minimum, the one holding the highest maximum its
// maximum, the rest are averaged; a flat PCG's datum becomes 10 and the one
// in use its floor of 20; the ECG's datum is never measured.
TEST(Facade, SignalCheckDropsTheExtremeBlocks) {
  TnelHardBase hb(0, DATAPROCESS_STANDARD);
  int base[8], datum[8], inUse[8], inUseDatum[8];
  hb.SignalCheck_GetADBaseDatum(base, datum);  // before any check: the values in use
  hb.GetADBaseValue(inUse, inUseDatum);
  for (int j = 0; j < 6; ++j) EXPECT_EQ(base[j] + datum[j], inUse[j] + inUseDatum[j]) << j;
  hb.SignalCheck_Start();
  static constexpr int kMin[4] = {0, 10, 20, -50}, kMax[4] = {100, 110, 120, 200};
  long allocations = 0;
  const auto make = [](long i) {
    nel::sim::RawFrame f;
    f.ecg = 2130;
    f.pcg = 2048;
    for (auto& t : f.transducer) t = 40;
    const long b = (i - 4000) / 2100, j = (i - 4000) % 2100;
    f.transducer[0] = i < 4000 ? 900000 : j == 7 ? kMin[b] : j == 1500 ? kMax[b] : 40;  // settling: never seen
    return f;
  };
  EXPECT_EQ(Inject(hb, 4000 + 4 * 2100, make, allocations), 4000 + 4 * 2100);
  tagHMID_DATA st{};
  hb.GetStatus(&st);
  EXPECT_TRUE(st.SignalCheckEnd);
  hb.SignalCheck_GetADBaseDatum(base, datum);  // position 2: (110 + 10) / 2 and (110 - 10) / 2
  EXPECT_EQ(std::vector<int>(base, base + 3), (std::vector<int>{2130, 2048, 60}));
  EXPECT_EQ(std::vector<int>(datum, datum + 3), (std::vector<int>{665, 10, 50}));
  hb.GetADBaseValue(base, datum);
  EXPECT_EQ(std::vector<int>(datum, datum + 2), (std::vector<int>{665, 20}));
  EXPECT_EQ(allocations, 0);
}

// Host misuse: each call in its state gives its documented result and leaves
// a reason; the old symptom is in the comment.
TEST(Facade, MisuseIsRefusedWithAReason) {
  // A measurement with every cuff, or (every wave detected) with the cuffs of channels a and b.
  auto bp = [](int maxPressure, int mode = BPMEASURE_SIMULTANEOUS, int a = -1, int b = -1) {
    return [=](TnelHardBase& hb) {
      bool sel[6];
      for (int k = 0; k < 6; ++k) sel[k] = a < 0 || k == a || k == b;
      if (a >= 0) hb.SetDetectCategory(DETECT_ALL);
      return hb.BPMeasure_Start(static_cast<tagTYPE_BPMEASUREMODE>(mode), maxPressure, sel, 70);
    };
  };
  auto exercise = [](int16_t timing, int32_t interval, int32_t pause, int16_t maxPressure) {
    return [=](TnelHardBase& hb) {
      tagExerciseStressConfig cfg = nel::sim::PausedExercise(2, pause);
      cfg.TimingMode = timing;
      cfg.IntervalMinutes = interval;
      cfg.MaxPressure = maxPressure;
      hb.ExerciseStress_Start(cfg);
      return hb.SequenceFlag();
    };
  };
  auto hold = [](int p) { return [p](TnelHardBase& hb) { return hb.FixPressure_Start(p), hb.GetPressureFixed(); }; };
  using R = nel::Result;
  const struct {
    const char* what;
    std::function<bool(TnelHardBase&)> call;  // true when accepted
    bool accepted;
    R reason;
    bool open = true;  // the port
  } cases[] = {
      {"maximum 70000 (an int16 4464)", bp(70000), false, R::kInvalidArgument},
      {"maximum -5", bp(-5), false, R::kInvalidArgument},
      {"maximum 300", bp(300), true, R::kOk},
      {"mode 3 (started no cuff)", bp(200, 3), false, R::kInvalidArgument},
      {"measurement after a CVRR check (no cuffs)",
       [&](TnelHardBase& hb) { return hb.CVRRCheck_Start(30000), bp(200)(hb); }, false, R::kInvalidArgument},
      {"record during a hold (never recorded)", [&](TnelHardBase& hb) { return hold(60)(hb) && hb.WaveRecord_Start(); },
       false, R::kRefused},
      {"hold at 5 mmHg", hold(5), false, R::kInvalidArgument},
      {"exercise every 100000 minutes (overflowed)", exercise(0, 100000, 0, 200), false, R::kInvalidArgument},
      {"exercise pausing -1 s", exercise(1, 0, -1, 200), false, R::kInvalidArgument},
      {"exercise to 400 mmHg", exercise(1, 0, 30, 400), false, R::kInvalidArgument},
      {"exercise every 5 minutes", exercise(0, 5, 0, 200), true, R::kOk},
      // Toe cuffs share the ankle lines: one controller per line at a time.
      {"right ankle and toe at once", bp(200, BPMEASURE_SIMULTANEOUS, BP_RANK, BP_RTOE), false, R::kRefused},
      {"right ankle and toe, right first", bp(200, BPMEASURE_RIGHT_THEN_LEFT, BP_RANK, BP_RTOE), false, R::kRefused},
      {"right ankle then toe", bp(200, BPMEASURE_SEQUENTIAL, BP_RANK, BP_RTOE), true, R::kOk},
      {"right ankle and left toe", bp(200, BPMEASURE_SIMULTANEOUS, BP_RANK, BP_LTOE), true, R::kOk},
      // Without an open port a measurement "started" and the host waited for ever.
      {"measurement, no port", bp(200), false, R::kNotOpen, false},
      {"hold, no port", hold(60), false, R::kNotOpen, false},
      {"exercise, no port", exercise(0, 5, 0, 200), false, R::kNotOpen, false},
  };
  for (const auto& c : cases) {
    TnelHardBase hb(0, DATAPROCESS_STANDARD);
    ASSERT_TRUE(!c.open || hb.GetHardCtl()->GetSamThread()->Protocol().OpenInProcess(nullptr, nullptr));
    nel::ClearLastError();
    EXPECT_EQ(c.call(hb), c.accepted) << c.what;
    EXPECT_EQ(nel::LastErrorCode(), c.reason) << c.what << ": " << nel::LastErrorText();
    EXPECT_EQ(hb.SequenceFlag(), c.accepted && hb.Layout().cuffCount > 0 && !hb.GetPressureFixed()) << c.what;
  }
}

// With the heap exhausted after the façade's own block, no exception leaves
// its constructor, and the façade without its parts opens nothing and says why.
TEST(Facade, ConstructorSurvivesAnExhaustedHeap) {
  std::unique_ptr<TnelHardBase> hb;
  nel::test::heap::Counter& heap = nel::test::heap::ThisThread();
  heap = {true, 0, 1};  // 0 is make_unique's own
  EXPECT_NO_THROW(hb = std::make_unique<TnelHardBase>(0, DATAPROCESS_STANDARD));
  heap = {};
  ASSERT_TRUE(hb && hb->GetHardCtl() == nullptr);
  nel::ClearLastError();
  EXPECT_FALSE(hb->OpenHardware(0x80, 1));
  EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNoMemory);
  EXPECT_FALSE(hb->CheckData());
}

// Frames written by the test (every count distinct) through the pass: the
// waves handed out are the filter bank's output of (count - base) / datum for
// ECG and PCG (each with its own base) and count * slope + offset for the
// pulse waves; the wave record keeps six of the category's eight waves and the
// CVRR check the ECG, and gives its result from the 30000th sample on.
TEST(Facade, PassConvertsRecordsAndHandsOutEveryWave) {
  struct Case {
    tagTYPE_DETECTCATEGORY category;
    tagTYPE_DATAPROCESSMODE mode;
    int record;  // 0 none, 1 wave record, 2 CVRR check
  } cases[] = {{DETECT_ALL, DATAPROCESS_STANDARD, 1},
               {DETECT_BRA_ANK, DATAPROCESS_RAW, 1},
               {DETECT_ECG_PCG, DATAPROCESS_STANDARD, 2},
               {DETECT_PULSE, DATAPROCESS_STANDARD, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "category " << c.category << ", mode " << c.mode);
    TnelHardBase hb(0, c.mode);
    tagAD_FORCE_CONVERT coeff[6];
    for (int k = 0; k < 6; ++k) coeff[k] = {0.0004f + 0.00002f * k, -6.0f + 1.5f * k};
    nel::sim::UseCoefficients(hb, coeff);
    c.record == 2 ? hb.CVRRCheck_Start(1) : hb.SetDetectCategory(c.category);  // raised to 30000; sets its category
    const int base[2] = {2100, 1900}, datum[2] = {600, 410};
    for (int j = 0; j < 2; ++j) hb.SetADBaseValue(base[j], datum[j], j);
    ASSERT_TRUE(c.record != 1 || hb.WaveRecord_Start());
    const int W = hb.Layout().waveCount, K = hb.Layout().cuffCount;
    TnelFIRFilter ref(c.mode);
    ref.InitFiltePara();
    ref.SetWaveNumType(static_cast<short>(W), hb.Layout().waves);

    std::vector<float> want;  // the reference's main output, frame by frame
    long mismatches = 0, allocations = 0, kept = 0;
    int32_t cvrrLen = 0;
    auto pass = [&](int n) {
      std::vector<int> raw(n * W);
      std::vector<float> in(n * W), mainOut(n * W), low(n * W), got(n * W), pressure(n * K);
      ASSERT_EQ(hb.GetData(raw.data()), n);
      ASSERT_EQ(hb.GetData(got.data(), pressure.data(), nullptr), n);
      for (int i = 0; i < n * W; ++i) {
        const int j = i % W;
        in[i] = j < 2 ? (raw[i] - static_cast<float>(base[j])) / static_cast<float>(datum[j])
                      : raw[i] * coeff[j - 2].Slope + coeff[j - 2].Offset;
      }
      ref.WaveFilte(in.data(), static_cast<short>(n));
      ref.GetWaveFilteResult(mainOut.data(), low.data(), static_cast<short>(n));
      for (int i = 0; i < n * W; ++i) mismatches += got[i] != low[i];
      want.insert(want.end(), mainOut.begin(), mainOut.end());
    };
    const auto make = [](long i) {
      nel::sim::RawFrame r;
      r.ecg = static_cast<uint16_t>(1000 + (i * 37) % 2000);
      r.pcg = static_cast<uint16_t>(900 + (i * 53) % 2500);
      for (int t = 0; t < 4; ++t) r.transducer[t] = 200000 + static_cast<int32_t>((i * (311 + 97 * t)) % 90000);
      return r;
    };
    // Chunks of 20 frames; the CVRR check stops at 29999 samples on its way.
    const auto step = [&](long) {
      const int32_t saved = hb.CVRRCheck_GetCurrSavedDataLen();
      return c.record == 2 && saved < 29999 ? std::clamp(29999 - saved, 1, 20) : 20;
    };
    const long n = c.record == 2 ? 31200 : 8000;
    const auto checked = [&](int m) {
      pass(m);
      if (c.record == 2 && hb.CVRRCheck_GetCurrSavedDataLen() == 29999 && kept == 0) {
        tagCVRR_ANA_RESULT res;
        std::memset(&res, 0x7F, sizeof res);
        EXPECT_FALSE(hb.CVRRCheck_GetResult(&res)) << "a result from 29999 samples";
        EXPECT_EQ(res.DataLen + res.RR[1199], 0);
        kept = 1;
      }
    };
    EXPECT_EQ(Inject(hb, n, make, allocations, checked, step), n);
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(allocations, 0);
    // A category changed since the pass (eight waves, six cuffs) does not
    // change what the pass's copies write.
    hb.SetDetectCategory(DETECT_ALL);
    const int last = hb.GetData(static_cast<int*>(nullptr));
    std::vector<float> waves(last * W + 1, 1234.5f), pressures(last * K + 1, 1234.5f);
    std::vector<int> raw(last * W + 1, 777);
    EXPECT_EQ(hb.GetData(waves.data(), pressures.data(), nullptr), last);
    EXPECT_EQ(hb.GetData(raw.data()), last);
    EXPECT_EQ(waves.back() + pressures.back() + raw.back(), 1234.5f * 2 + 777);
    if (c.record == 1) {
      // Settling: 2000 frames, rounded up to whole passes of 20.
      int count = 0;
      const tagSAVE_WAVEDATA* rec = hb.WaveRecord_DataAssign(&count);
      ASSERT_EQ(count, 6000);
      for (int r = 0; r < count; ++r)
        for (int j = 0; j < 6; ++j) {
          const float v = rec[r].Wave[j];
          mismatches += j < W && v != want[(2000 + r) * W + j];
          mismatches += rec[r].Mark[j] != 0;
        }
      EXPECT_EQ(mismatches, 0);
    } else if (c.record == 2) {
      EXPECT_GT(kept, 0) << "never stood at 29999 samples";
      const float* buf = hb.CVRRCheck_AssignECGWaveData(&cvrrLen);
      EXPECT_EQ(cvrrLen, 30000);
      for (int s = 0; s < 30000; ++s) mismatches += buf[s] != want[static_cast<size_t>(1000 + s) * W];
      EXPECT_EQ(mismatches, 0);
      auto res = std::make_unique<tagCVRR_ANA_RESULT>();
      EXPECT_TRUE(hb.CVRRCheck_GetResult(res.get()));
      EXPECT_EQ(res->DataLen, 30000);
      hb.CVRRCheck_Cancel();
      EXPECT_EQ(hb.CVRRCheck_AssignECGWaveData(&cvrrLen), nullptr);
    }
  }
}

// Every way a measurement or a hold ends, on a unit whose own protections
// (firmware ceiling, command watchdog) are off, so that only the library acts.
// After each row's end the host does nothing but run passes (while its port is
// open and the unit talks); each row's outcome is a line of the golden file.
bool Stopped(Host& h) { return h.hb.GetSafetyReport().Reason != SAFETY_NONE; }

// Measures in `mode` with the cuffs of `selected` (by channel) to the end; a
// maximum of 100 mmHg is below the subject's systolic pressures: the first
// cuff to reach it stops the measurement.
std::function<bool(Host&)> Measured(tagTYPE_BPMEASUREMODE mode, tagTYPE_DETECTCATEGORY category, const char* selected,
                                    int maxPressure = 250) {
  return [=](Host& h) {
    h.hb.SetDetectCategory(category);
    bool sel[6];
    for (int k = 0; k < 6; ++k) sel[k] = selected[k] == '1';
    return h.hb.BPMeasure_Start(mode, maxPressure, sel, 70) &&
           h.Run(600, [&] { return h.Status().BPMeasureEnd || Stopped(h); });
  };
}

// `setup`, then the host's `act` once it held.
std::function<bool(Host&)> Then(bool (*setup)(Host&), void (*act)(Host&)) {
  return [=](Host& h) { return setup(h) && (act(h), true); };
}

bool StartFour(Host& h, tagTYPE_BPMEASUREMODE mode, int maxPressure) {
  bool sel[6] = {true, true, true, true, false, false};
  return h.hb.BPMeasure_Start(mode, maxPressure, sel, 70);
}

bool Inflated(Host& h) {
  return StartFour(h, BPMEASURE_SIMULTANEOUS, 250) && h.Run(60, [&] { return h.Highest() > 60; });
}

// A hold at 60 mmHg settles on every line.
bool Held(Host& h) {
  h.hb.FixPressure_Start(60);
  if (!h.Run(60, [&] { return h.Status().FixPressureEnd; })) return false;
  float p[27 * 4];
  EXPECT_GT(h.hb.GetData(nullptr, p, nullptr), 0);
  for (int k = 0; k < 4; ++k) EXPECT_TRUE(p[k] >= 59.3f && p[k] <= 64.2f) << k << ": " << p[k];
  return true;
}

// A protocol of two checks timed by interval (mode 0, a minute from each
// check's start; simultaneous) or by pause (mode 1, 5 s from each check's end;
// right side first) to its end: the first check's time of day; the frames to
// the first wait, the countdown then (s) and the frames to the second check.
std::function<bool(Host&)> Exercised(int16_t mode) {
  return [=](Host& h) {
    tagExerciseStressConfig cfg = nel::sim::PausedExercise(2, 5);
    cfg.TimingMode = mode;
    cfg.IntervalMinutes = 1;
    cfg.BPMeasureMode = mode == 0 ? BPMEASURE_SIMULTANEOUS : BPMEASURE_RIGHT_THEN_LEFT;
    const auto now = [] {
      const std::time_t t = std::time(nullptr);
      std::tm parts{};
      localtime_r(&t, &parts);
      return parts.tm_hour * 10000 + parts.tm_min * 100 + parts.tm_sec;
    };
    const int before = now();
    h.hb.ExerciseStress_Start(cfg);
    const int after = now();
    tagExerciseStressRec rec{};
    EXPECT_TRUE(h.hb.ExerciseStress_GetResult(&rec) && (rec.Check[0].Time == before || rec.Check[0].Time == after));
    long wait = -1, second = -1;
    int countdown = -1;
    h.onPass = [&](int) {
      const int stage = h.Status().ExerciseStage;
      if (stage == 2 && countdown < 0) wait = h.frames, countdown = h.hb.ExerciseStress_GetNextProcElapseSeconds();
      if (second < 0 && stage == 0 && h.hb.ExerciseStress_GetCurrChkNo() == 1) second = h.frames;
    };
    const bool ended = h.Run(300, [&] { return h.Status().ExerciseEnd; });
    h.onPass = nullptr;
    h.note = std::to_string(wait) + " " + std::to_string(countdown) + " " + std::to_string(second);
    return ended;
  };
}

TEST(Facade, EveryCuffEmptiesAndNoPumpStartsAfterTheEnd) {
  const struct {
    const char* name;
    bool passes;                       // the unit's frames still reach the façade afterwards
    std::function<bool(Host&)> drive;  // up to the library's action; false if it never came
    bool toes = false;                 // the unit's ankle lines carry toe cuffs
    double ceiling = 260;              // mmHg: maximum + 10 of a measurement, 80 in a hold
  } rows[] = {
      {"simultaneous", true, Measured(BPMEASURE_SIMULTANEOUS, DETECT_BRA_ANK, "111100")},
      {"sequential", true, Measured(BPMEASURE_SEQUENTIAL, DETECT_BRA_ANK, "111100")},
      {"sequential, second cuff first", true, Measured(BPMEASURE_SEQUENTIAL, DETECT_BRA_ANK, "011100")},
      {"right then left", true, Measured(BPMEASURE_RIGHT_THEN_LEFT, DETECT_BRA_ANK, "111100")},
      {"toe cuffs", true, Measured(BPMEASURE_SIMULTANEOUS, DETECT_BRA_TOE, "000011"), true},
      {"exercise every minute", true, Exercised(0)},
      {"exercise pausing 5 s, right side first", true, Exercised(1)},
      {"over-pressure, simultaneous, six-cuff list", true, Measured(BPMEASURE_SIMULTANEOUS, DETECT_ALL, "111100", 100),
       false, 110},
      {"over-pressure, sequential", true, Measured(BPMEASURE_SEQUENTIAL, DETECT_BRA_ANK, "111100", 100), false, 110},
      {"over-pressure, right then left", true, Measured(BPMEASURE_RIGHT_THEN_LEFT, DETECT_BRA_ANK, "111100", 100),
       false, 110},
      {"over-pressure, exercise protocol", true,
       [](Host& h) {
         tagExerciseStressConfig cfg = nel::sim::PausedExercise(3, 2);
         cfg.MaxPressure = 100;
         h.hb.ExerciseStress_Start(cfg);
         return h.Run(120, [&] { return Stopped(h); });
       },
       false, 110},
      {"over-pressure in a hold (a pump left running)", true,
       [](Host& h) {
         return Held(h) && (h.hb.GetHardCtl()->StartInflate(9000, BP_LBRA, 0), h.Run(60, [&] { return Stopped(h); }));
       },
       false, 80},
      {"hold, then the cuffs left inflated: time limit", true,
       [](Host& h) { return Held(h) && (h.hb.FixPressure_Cancel(false), h.Run(200, [&] { return Stopped(h); })); },
       false, 80},
      {"hold cancelled with deflation", true, Then(Held, [](Host& h) { h.hb.FixPressure_Cancel(true); }), false, 80},
      {"measurement cancelled", true, Then(Inflated, [](Host& h) { h.hb.BPMeasure_Cancel(); })},
      {"CloseHardware during a measurement", false, Then(Inflated, [](Host& h) { h.hb.CloseHardware(); })},
      {"CloseHardware during a hold", false, Then(Held, [](Host& h) { h.hb.CloseHardware(); }), false, 80},
      {"the unit falls silent mid-inflation", false,
       [](Host& h) {
         h.hb.StartADSample(false);  // the link watch runs while sampling (the reply is not awaited here)
         if (!Inflated(h)) return false;
         h.hb.SetSilenceLimitMs(200);
         for (int t = 0; t < 100 && !Stopped(h); ++t, std::this_thread::sleep_for(std::chrono::milliseconds(10)))
           h.hb.CheckData();
         return Stopped(h);
       }},
  };
  std::ostringstream out;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    nel::sim::SubjectConfig subject = nel::sim::QuietSubject();
    subject.firmware.ceiling_mmhg = 400;
    subject.firmware.watchdog_s = 3600;
    subject.SetToeLines(row.toes);
    Host h(subject);
    ASSERT_TRUE(row.drive(h)) << "the library never acted";
    const bool ended = h.Status().BPMeasureEnd;
    const int32_t readPos = h.hb.GetFilter()->GetReadPos();
    long empty = 0;
    for (; empty <= 10000 && h.Highest() >= 15; empty += 20) h.Run(0.02, nullptr, row.passes);
    std::printf("[ safety   ] %s: peak %.1f mmHg, every line below 15 mmHg %.2f s after\n", row.name, h.peak,
                static_cast<double>(empty) / 1000.0);
    const nel::sim::UnitStats settled = h.unit.Stats();
    h.Run(2, nullptr, row.passes);
    const nel::sim::UnitStats end = h.unit.Stats();
    // The safety claims themselves, besides the record: under the ceiling (plus the lag of the 200-frame mean the
    // monitor reads), empty within 10 s, no pump started afterwards.
    EXPECT_LE(h.peak, row.ceiling + 2.0);
    EXPECT_LE(empty, 10000);
    EXPECT_EQ(end.pump_on_commands, settled.pump_on_commands);
    const tagHMID_DATA st = h.Status();
    const tagSAFETY_REPORT r = h.hb.GetSafetyReport();
    tagNEL_PULSEPEAK pp{};
    h.hb.GetNELPulsePeak(&pp, static_cast<short>(h.started.empty() ? 0 : h.started[0] - '0'));
    tagExerciseStressRec ex{};
    const bool exercised = h.hb.ExerciseStress_GetResult(&ex);
    out << row.name << " | " << h.peak << ' ' << empty << ' ' << end.pump_on_commands - settled.pump_on_commands << ' '
        << end.all_off_commands << ' ' << end.pump_on_since_all_off << " | " << r.Reason << ' ' << r.Line << ' '
        << r.Ceiling << ' ' << r.Seconds << " | " << ended << st.BPMeasureEnd
        << (h.hb.GetFilter()->GetReadPos() == readPos) << st.ExerciseEnd << h.hb.DeviceLost() << ' ' << h.allocations
        << " |";
    for (int k = 0; k < 4; ++k)
      out << ' ' << st.BPResult[k].SBP << '/' << st.BPResult[k].DBP << '/' << st.BPResult[k].MAP << ':'
          << st.BPResult[k].Status;
    out << " | " << (h.started.empty() ? "-" : h.started) << ' ' << h.hb.CurrentCuffPosition() << ' ' << pp.Count << ' '
        << pp.SBPPos << ' ' << pp.DBPPos << " | " << exercised << ' ' << ex.CheckNum;
    for (int c = 0; c < ex.CheckNum && c < 2; ++c) {
      out << " /";
      for (int p = 0; p < 4; ++p)
        out << ' ' << ex.Check[c].BP[p][0] << '/' << ex.Check[c].BP[p][1] << '/' << ex.Check[c].BP[p][2];
      out << ' ' << ex.Check[c].RightABI << ' ' << ex.Check[c].LeftABI << ' ' << ex.Check[c].RightBAI << ' '
          << ex.Check[c].LeftBAI;
    }
    out << " | " << (h.note.empty() ? "-" : h.note) << '\n';
    EXPECT_NEAR(st.PulseRate, subject.heart_rate_bpm, 5.0);  // the ECG analyser is shared: not in the record
    if (row.passes || h.hb.DeviceLost()) continue;           // closed: nothing pumps again
    nel::ClearLastError();
    EXPECT_FALSE(StartFour(h, BPMEASURE_SIMULTANEOUS, 250));
    EXPECT_EQ(nel::LastErrorCode(), nel::Result::kNotOpen);
  }
  nel::golden::Check(
      "control/golden/safety.txt", out.str(),
      "EveryCuffEmptiesAndNoPumpStartsAfterTheEnd in facade_test.cpp, quiet subject, firmware ceiling 400 mmHg,\n"
      "watchdog off. name | peak line pressure (mmHg; ceilings: 250-mmHg measurements 260, maximum 100: 110,\n"
      "holds 80), frames until every line < 15 mmHg, pumps started after that, all-off commands, pumps started\n"
      "since | safety reason, line, ceiling, seconds | end reported at the action, 2 s later; filter read position\n"
      "kept; exercise end; device lost; pass allocations | per cuff SBP/DBP/MAP:status | cuffs in the order they\n"
      "passed 20 mmHg, position, first cuff's pulses, SBP and DBP index | exercise record read, checks, per check\n"
      "/ SBP/DBP/MAP of RBra LBra RAnk LAnk, ABI R L, BAI R L | exercise timing (Exercised) or -\n"
      "Remake: NEL_UPDATE_GOLDEN=1 nel_control_tests --gtest_filter='*EveryCuffEmpties*'",
      {1e-4, 4e-4});
}

}  // namespace
